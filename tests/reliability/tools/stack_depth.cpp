// Worst-case stack depth of a firmware image from its call graph: every
// function's frame (the compiler's -fstack-usage figure, or for code without
// one, such as the assembly dispatchers, the size its prologue pushes), the
// calls decoded from the image (ARM and Thumb BL, branches into other
// functions), and the indirect calls named on the command line. Prints the
// .su figures and, for each root, the deepest path against the stack area of
// the processor mode it runs in (from the image's start-up symbols). Exit 1
// when a path does not fit, 2 on bad input.
//
//   stack_depth IMAGE.elf SU_DIR [--root FUNCTION:MODE]... [--edge CALLER=CALLEE[,CALLEE]]...
//
// MODE is one of User, IRQ, FIQ, Supervisor, Abort, Undefined.
#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "elf_image.h"

namespace {

struct Function {
    std::string name;  // symbol
    std::string base;  // unqualified name, for matching .su lines
    uint32_t start = 0, size = 0;
    bool thumb = false;
    std::optional<unsigned> su;  // -fstack-usage figure
    unsigned pushed = 0;         // decoded from the prologue
    std::set<std::string> calls;
    unsigned indirect = 0;       // indirect call sites
    unsigned frame() const { return su ? *su : pushed; }
};

std::string baseName(std::string s) {
    // "void {anonymous}::appendTo(u16, u16, u16)", "int32_t {anonymous}::to_i32(F) [with F = float]",
    // "(anonymous namespace)::to_i32<float>(float)": the identifier before the parameter list.
    if (auto w = s.find(" [with"); w != std::string::npos) s.erase(w);
    if (s.empty() || s.back() != ')') return {};  // a lambda or a broken line
    int depth = 0;
    size_t open = std::string::npos;
    for (size_t i = s.size(); i-- > 0;) {
        if (s[i] == ')') ++depth;
        if (s[i] == '(' && --depth == 0) {
            open = i;
            break;
        }
    }
    if (open == std::string::npos) return {};
    s.erase(open);
    if (!s.empty() && s.back() == '>') {  // template arguments
        int d = 0;
        for (size_t i = s.size(); i-- > 0;) {
            if (s[i] == '>') ++d;
            if (s[i] == '<' && --d == 0) {
                s.erase(i);
                break;
            }
        }
    }
    if (auto c = s.rfind("::"); c != std::string::npos) s.erase(0, c + 2);
    if (auto sp = s.rfind(' '); sp != std::string::npos) s.erase(0, sp + 1);
    return s;
}

std::string demangled(const std::string& sym) {
    int status = 0;
    char* d = abi::__cxa_demangle(sym.c_str(), nullptr, nullptr, &status);
    std::string out = status == 0 && d ? d : sym;
    std::free(d);
    return out;
}

unsigned bits(uint32_t v) { return unsigned(__builtin_popcount(v)); }

int32_t signExtend(uint32_t v, unsigned width) { return int32_t(v << (32 - width)) >> (32 - width); }

struct Image {
    sim::ElfImage elf;
    std::vector<uint8_t> flash;  // from 0x80000
    bool has(uint32_t a, unsigned n) const { return a >= 0x80000 && a - 0x80000 + n <= flash.size(); }
    uint32_t word(uint32_t a) const {
        uint32_t v;
        std::memcpy(&v, &flash[a - 0x80000], 4);
        return v;
    }
    uint16_t half(uint32_t a) const { return uint16_t(flash[a - 0x80000] | flash[a - 0x80000 + 1] << 8); }
};

void decode(const Image& img, Function& f, const std::map<uint32_t, std::string>& starts) {
    const auto target = [&](uint32_t t) -> const std::string* {
        auto it = starts.find(t);
        return it == starts.end() ? nullptr : &it->second;
    };
    const uint32_t end = f.start + f.size;
    bool prologue = true;
    if (!f.thumb) {
        uint32_t prev = 0;
        for (uint32_t a = f.start; a + 4 <= end && img.has(a, 4); a += 4) {
            const uint32_t i = img.word(a);
            if (prologue) {
                if ((i & 0x0FFF0000) == 0x092D0000) f.pushed += 4 * bits(i & 0xFFFF);  // stmdb sp!, {...}
                else if ((i & 0x0FFF0FFF) == 0x052D0004) f.pushed += 4;             // str rX, [sp, #-4]!
                else if ((i & 0x0FFFF000) == 0x024DD000) {                           // sub sp, sp, #imm
                    const unsigned rot = ((i >> 8) & 0xF) * 2, imm = i & 0xFF;
                    f.pushed += (imm >> rot) | (imm << ((32 - rot) & 31));
                } else if (a > f.start + 8) prologue = false;
            }
            if ((i & 0x0E000000) == 0x0A000000 && (i >> 28) != 0xF) {  // b / bl
                const uint32_t t = a + 8 + uint32_t(signExtend(i & 0xFFFFFF, 24) << 2);
                const bool link = i & 0x01000000;
                if (const std::string* n = target(t); n && (link || t < f.start || t >= end)) f.calls.insert(*n);
            }
            // mov lr, pc then bx rN / ldr pc: a call through a pointer.
            if ((prev & 0x0FFFFFFF) == 0x01A0E00F && ((i & 0x0FFFFFF0) == 0x012FFF10 || (i & 0x0FFFF000) == 0x059FF000 ||
                                                      (i & 0x0E10F000) == 0x0410F000))
                ++f.indirect;
            prev = i;
        }
    } else {
        for (uint32_t a = f.start; a + 2 <= end && img.has(a, 2); a += 2) {
            const uint16_t h = img.half(a);
            if (prologue) {
                if ((h & 0xFE00) == 0xB400) f.pushed += 4 * (bits(h & 0xFF) + ((h >> 8) & 1));  // push
                else if ((h & 0xFF80) == 0xB080) f.pushed += 4 * (h & 0x7F);                   // sub sp, #imm
                else if (a > f.start + 4) prologue = false;
            }
            if ((h & 0xF800) == 0xF000 && img.has(a + 2, 2) && (img.half(a + 2) & 0xF800) == 0xF800) {
                const uint32_t off = uint32_t(signExtend(((h & 0x7FFu) << 12) | ((img.half(a + 2) & 0x7FFu) << 1), 23));
                const uint32_t t = a + 4 + off;
                if (const std::string* n = target(t); n) {
                    if (n->rfind("_call_via_", 0) == 0) ++f.indirect;
                    else f.calls.insert(*n);
                }
                a += 2;
            } else if ((h & 0xF800) == 0xE000) {  // b: a tail call when it leaves the function
                const uint32_t t = a + 4 + uint32_t(signExtend((h & 0x7FFu) << 1, 12));
                if (const std::string* n = target(t); n && (t < f.start || t >= end)) f.calls.insert(*n);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: stack_depth IMAGE.elf SU_DIR [--root FUNCTION:MODE]... [--edge CALLER=CALLEE,...]...\n");
        return 2;
    }
    Image img;
    try {
        img.elf.load(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "stack_depth: %s\n", e.what());
        return 2;
    }
    for (const auto& seg : img.elf.segments()) {
        if (seg.addr < 0x80000) continue;
        const size_t off = seg.addr - 0x80000;
        if (img.flash.size() < off + seg.bytes.size()) img.flash.resize(off + seg.bytes.size(), 0xFF);
        std::copy(seg.bytes.begin(), seg.bytes.end(), img.flash.begin() + long(off));
    }

    std::map<std::string, Function> fns;
    std::map<uint32_t, std::string> starts;
    for (const auto& s : img.elf.symbols()) {
        if (!s.function || s.size == 0) continue;
        Function f;
        f.name = s.name;
        f.base = baseName(demangled(s.name));
        if (f.base.empty()) f.base = s.name;
        f.start = s.value & ~1u;
        f.size = s.size;
        f.thumb = s.value & 1;
        starts[f.start] = s.name;
        fns[s.name] = f;
    }
    // Assembly routines have no size in some images: take them up to the next symbol.
    for (const char* name : {"ADI_IRQ_Interrupt_Wrapper", "ADI_FIQ_Interrupt_Setup", "Reset_Handler"}) {
        auto v = img.elf.find(name);
        if (!v || fns.count(name)) continue;
        Function f;
        f.name = f.base = name;
        f.start = *v & ~1u;
        auto next = starts.upper_bound(f.start);
        f.size = next == starts.end() ? 64 : next->first - f.start;
        starts[f.start] = name;
        fns[name] = f;
    }
    for (auto& [name, f] : fns) decode(img, f, starts);

    // The compiler's figures, matched by unqualified name.
    std::vector<std::pair<std::string, unsigned>> suLines;
    std::map<std::string, unsigned> suByBase;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(argv[2], ec)) {
        if (e.path().extension() != ".su") continue;
        std::ifstream in(e.path());
        std::string line;
        while (std::getline(in, line)) {
            const auto t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
            if (t1 == std::string::npos || t2 == std::string::npos) continue;
            std::string where = line.substr(0, t1);
            const unsigned size = unsigned(std::strtoul(line.c_str() + t1 + 1, nullptr, 10));
            // file:line:col:name
            size_t p = 0;
            for (int k = 0; k < 3 && p != std::string::npos; ++k) p = where.find(':', p + 1);
            const std::string name = p == std::string::npos ? where : where.substr(p + 1);
            suLines.push_back({e.path().filename().string() + ": " + name, size});
            const std::string b = baseName(name);
            if (!b.empty()) suByBase[b] = std::max(suByBase[b], size);
        }
    }
    if (suLines.empty()) {
        std::fprintf(stderr, "stack_depth: no .su files under %s (built with -fstack-usage?)\n", argv[2]);
        return 2;
    }
    for (auto& [name, f] : fns)
        if (auto it = suByBase.find(f.base); it != suByBase.end()) f.su = it->second;

    const auto lookup = [&](const std::string& n) -> const std::string* {
        if (auto it = fns.find(n); it != fns.end()) return &it->first;
        for (const auto& [name, f] : fns)
            if (f.base == n) return &name;
        return nullptr;
    };
    std::vector<std::pair<std::string, std::string>> roots;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) {
            const std::string r = argv[++i];
            const auto colon = r.find(':');
            if (colon == std::string::npos) return 2;
            roots.push_back({r.substr(0, colon), r.substr(colon + 1)});
        } else if (a == "--edge" && i + 1 < argc) {
            // CALLER=CALLEE,... by symbol or unqualified name; an empty list: calls nothing.
            const std::string e = argv[++i];
            const auto eq = e.find('=');
            const std::string* caller = eq == std::string::npos ? nullptr : lookup(e.substr(0, eq));
            if (!caller) {
                std::fprintf(stderr, "stack_depth: bad edge %s\n", e.c_str());
                return 2;
            }
            Function& f = fns[*caller];
            f.indirect = 0;
            std::stringstream callees(e.substr(eq + 1));
            std::string c;
            while (std::getline(callees, c, ',')) {
                const std::string* callee = lookup(c);
                if (!callee) {
                    std::fprintf(stderr, "stack_depth: no function %s\n", c.c_str());
                    return 2;
                }
                f.calls.insert(*callee);
            }
        } else {
            std::fprintf(stderr, "stack_depth: unknown argument %s\n", a.c_str());
            return 2;
        }
    }

    // Stack areas from start-up, in its order.
    std::map<std::string, unsigned> area;
    {
        const char* names[][2] = {{"Undefined", "UNDEF_Stack_Size"}, {"Abort", "ABT_Stack_Size"},
                                  {"FIQ", "FIQ_Stack_Size"},         {"IRQ", "IRQ_Stack_Size"},
                                  {"Supervisor", "SVC_Stack_Size"},  {"User", "USR_Stack_Size"}};
        for (auto& n : names)
            if (auto v = img.elf.find(n[1])) area[n[0]] = *v;
    }

    std::printf("%s\n  -fstack-usage (bytes):\n", argv[1]);
    std::sort(suLines.begin(), suLines.end(), [](auto& a, auto& b) { return a.second > b.second; });
    for (const auto& [name, size] : suLines) std::printf("    %5u  %s\n", size, name.c_str());

    bool fits = true;
    for (const auto& [root, mode] : roots) {
        if (!fns.count(root)) {
            std::fprintf(stderr, "stack_depth: no function %s\n", root.c_str());
            return 2;
        }
        std::map<std::string, std::pair<unsigned, std::string>> memo;  // depth, next on the path
        std::set<std::string> onPath, recursive, unresolved;
        std::function<unsigned(const std::string&)> depth = [&](const std::string& n) -> unsigned {
            if (auto it = memo.find(n); it != memo.end()) return it->second.first;
            if (onPath.count(n)) {
                recursive.insert(n);
                return 0;
            }
            onPath.insert(n);
            const Function& f = fns[n];
            if (f.indirect) unresolved.insert(n);
            unsigned best = 0;
            std::string via;
            for (const auto& c : f.calls) {
                const unsigned d = depth(c);
                if (via.empty() || d > best) {
                    best = d;
                    via = c;
                }
            }
            onPath.erase(n);
            memo[n] = {f.frame() + best, via};
            return f.frame() + best;
        };
        const unsigned worst = depth(root);
        const unsigned room = area.count(mode) ? area[mode] : 0;
        std::printf("  %s (%s mode): worst path %u bytes of a %u-byte area\n", root.c_str(), mode.c_str(), worst, room);
        for (std::string n = root; !n.empty(); n = memo[n].second) {
            const Function& f = fns[n];
            std::printf("    %5u  %s%s\n", f.frame(), demangled(n).c_str(), f.su ? "" : "  (prologue)");
        }
        for (const auto& n : recursive) std::printf("    recursion through %s: not bounded\n", n.c_str());
        for (const auto& n : unresolved)
            std::printf("    %s calls through a pointer not named with --edge\n", demangled(n).c_str());
        if (worst > room || !recursive.empty() || !unresolved.empty()) fits = false;
    }
    return fits ? 0 : 1;
}
