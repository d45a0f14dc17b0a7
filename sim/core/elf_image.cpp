#include "core/elf_image.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/machine.h"

namespace sim {

namespace {
struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) close(fd); }
};
struct ElfHandle {
    Elf* e;
    ~ElfHandle() { if (e) elf_end(e); }
};
}  // namespace

void ElfImage::load(const std::string& path) {
    auto fail = [&](const std::string& why) { throw SimError(path + ": " + why); };
    if (elf_version(EV_CURRENT) == EV_NONE) fail("libelf initialisation failed");
    Fd fd{open(path.c_str(), O_RDONLY)};
    if (fd.fd < 0) fail(std::strerror(errno));
    ElfHandle eh{elf_begin(fd.fd, ELF_C_READ, nullptr)};
    if (!eh.e || elf_kind(eh.e) != ELF_K_ELF) fail("not an ELF file");
    GElf_Ehdr eh_;
    if (!gelf_getehdr(eh.e, &eh_)) fail("truncated or malformed ELF header");
    if (gelf_getclass(eh.e) != ELFCLASS32 || eh_.e_machine != EM_ARM)
        fail("not a 32-bit ARM image");
    if (eh_.e_ident[EI_DATA] != ELFDATA2LSB) fail("not a little-endian image");

    std::vector<Segment> segs;
    size_t nph = 0;
    if (elf_getphdrnum(eh.e, &nph) != 0) fail("malformed program headers");
    for (size_t i = 0; i < nph; ++i) {
        GElf_Phdr ph;
        if (!gelf_getphdr(eh.e, int(i), &ph)) fail("malformed program header");
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
        Elf_Data* d = elf_getdata_rawchunk(eh.e, off_t(ph.p_offset), ph.p_filesz, ELF_T_BYTE);
        if (!d || d->d_size != ph.p_filesz) fail("truncated segment data");
        Segment s;
        s.addr = uint32_t(ph.p_paddr);
        auto* p = static_cast<const uint8_t*>(d->d_buf);
        s.bytes.assign(p, p + d->d_size);
        segs.push_back(std::move(s));
    }
    if (segs.empty()) fail("no loadable segments");

    std::vector<Symbol> syms;
    Elf_Scn* scn = nullptr;
    while ((scn = elf_nextscn(eh.e, scn))) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB) continue;
        Elf_Data* d = elf_getdata(scn, nullptr);
        if (!d || sh.sh_entsize == 0) continue;
        size_t n = sh.sh_size / sh.sh_entsize;
        for (size_t i = 0; i < n; ++i) {
            GElf_Sym sym;
            if (!gelf_getsym(d, int(i), &sym)) continue;
            const char* nm = elf_strptr(eh.e, sh.sh_link, sym.st_name);
            if (!nm || !*nm) continue;
            int type = GELF_ST_TYPE(sym.st_info);
            if (type == STT_SECTION || type == STT_FILE) continue;
            Symbol s{nm, uint32_t(sym.st_value), uint32_t(sym.st_size), type == STT_FUNC};
            syms.push_back(std::move(s));
        }
    }

    path_ = path;
    entry_ = uint32_t(eh_.e_entry);
    segments_ = std::move(segs);
    symbols_ = std::move(syms);
    byName_.clear();
    byAddr_.clear();
    for (size_t i = 0; i < symbols_.size(); ++i) {
        const Symbol& s = symbols_[i];
        bool mapping = s.name[0] == '$';
        if (!mapping) {
            // Prefer a global definition over a local one of the same name.
            byName_.emplace(s.name, i);
        }
        if (!mapping && (s.function || s.size > 0)) byAddr_[s.value & ~1u] = i;
    }
}

std::optional<uint32_t> ElfImage::find(const std::string& name) const {
    auto it = byName_.find(name);
    if (it == byName_.end()) return std::nullopt;
    return symbols_[it->second].value;
}

const ElfImage::Symbol* ElfImage::at(uint32_t addr) const {
    auto it = byAddr_.upper_bound(addr);
    if (it == byAddr_.begin()) return nullptr;
    --it;
    const Symbol& s = symbols_[it->second];
    uint32_t start = s.value & ~1u;
    uint32_t size = s.size ? s.size : 4;
    if (addr >= start && addr < start + size) return &s;
    // Unsized labels in assembly: accept the nearest preceding function label.
    if (s.size == 0 && s.function && addr - start < 0x200) return &s;
    return nullptr;
}

std::string ElfImage::describe(uint32_t addr) const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08X", addr);
    const Symbol* s = at(addr);
    if (!s) return buf;
    uint32_t off = addr - (s->value & ~1u);
    char o[24];
    std::snprintf(o, sizeof o, "+0x%X", off);
    return std::string(buf) + " (" + s->name + (off ? o : "") + ")";
}

}  // namespace sim
