// What the debugger reads and writes: the registers (with every mode's banked
// SP and LR), memory through the chip's memory map, and breakpoints and
// watchpoints.
#include <algorithm>
#include <cstdint>
#include <string>

#include "aduc702x.h"
#include "debug/gdb_session.h"

namespace sim {

using namespace gdb;

std::string gdb::targetXml() {
    std::string x =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
        "<target version=\"1.0\">\n"
        "  <architecture>armv4t</architecture>\n"
        "  <feature name=\"org.gnu.gdb.arm.core\">\n";
    for (int i = 0; i <= 12; ++i)
        x += "    <reg name=\"r" + std::to_string(i) + "\" bitsize=\"32\" type=\"uint32\" regnum=\"" +
             std::to_string(i) + "\"/>\n";
    x += "    <reg name=\"sp\" bitsize=\"32\" type=\"data_ptr\" regnum=\"13\"/>\n"
         "    <reg name=\"lr\" bitsize=\"32\" type=\"code_ptr\" regnum=\"14\"/>\n"
         "    <reg name=\"pc\" bitsize=\"32\" type=\"code_ptr\" regnum=\"15\"/>\n"
         "    <reg name=\"cpsr\" bitsize=\"32\" regnum=\"25\"/>\n"
         "  </feature>\n"
         "  <feature name=\"org.aducsim.banked\">\n"
         "    <reg name=\"spsr\" bitsize=\"32\" type=\"uint32\" regnum=\"26\" group=\"system\"/>\n";
    int n = kRegBanked;
    for (const char* mode : kBankedNames) {
        x += std::string("    <reg name=\"sp_") + mode + "\" bitsize=\"32\" type=\"data_ptr\" regnum=\"" +
             std::to_string(n++) + "\" group=\"system\"/>\n";
        x += std::string("    <reg name=\"lr_") + mode + "\" bitsize=\"32\" type=\"code_ptr\" regnum=\"" +
             std::to_string(n++) + "\" group=\"system\"/>\n";
    }
    x += "  </feature>\n</target>\n";
    return x;
}

namespace {

// What lies where, for the debugger's memory accesses.
enum class Region { None, Ram, Flash, FlashMirror, Registers, Trap };
struct Span { uint32_t base, size; Region kind; };
constexpr Span kSpans[] = {
    {0x00000000, Chip::kFlashSize, Region::FlashMirror},
    {SRAM_BASE, SRAM_SIZE, Region::Ram},
    {FLASH_BASE, Chip::kFlashSize, Region::Flash},
    {0x00100000, 0x400, Region::Trap},  // where called routines return to
    {MMR_BASE_0, MMR_BLOCK_SIZE, Region::Registers},
    {MMR_BASE_1, MMR_BLOCK_SIZE, Region::Registers},
};

const Span* spanAt(uint32_t addr) {
    for (const auto& s : kSpans)
        if (addr >= s.base && uint64_t(addr) < uint64_t(s.base) + s.size) return &s;
    return nullptr;
}

}  // namespace

uint32_t GdbServer::Impl::banked(Mode mode, int r) {
    uint32_t c = m.cpsr();
    m.setCpsr((c & ~0x1Fu) | uint32_t(mode));
    uint32_t v = m.reg(r);
    m.setCpsr(c);
    return v;
}

void GdbServer::Impl::setBanked(Mode mode, int r, uint32_t v) {
    uint32_t c = m.cpsr();
    m.setCpsr((c & ~0x1Fu) | uint32_t(mode));
    m.setReg(r, v);
    m.setCpsr(c);
}

std::optional<uint32_t> GdbServer::Impl::readReg(int n) {
    if (n >= 0 && n < 15) return m.reg(n);
    if (n == PC) return m.pc();
    if (n == kRegCpsr) return m.cpsr();
    if (n == kRegSpsr) return hasSpsr() ? m.spsr() : 0;
    if (n >= kRegBanked && n <= kRegLast) {
        int i = n - kRegBanked;
        return banked(kBankedModes[i / 2], i % 2 ? LR : SP);
    }
    return std::nullopt;
}

bool GdbServer::Impl::writeReg(int n, uint32_t v) {
    if (n >= 0 && n < 15) m.setReg(n, v);
    else if (n == PC) m.jump((v & ~1u) | (m.thumb() ? 1u : 0u));  // the T bit says the state
    else if (n == kRegCpsr) m.setCpsr(v);
    else if (n == kRegSpsr) { if (hasSpsr()) m.setSpsr(v); }
    else if (n >= kRegBanked && n <= kRegLast) {
        int i = n - kRegBanked;
        setBanked(kBankedModes[i / 2], i % 2 ? LR : SP, v);
    } else {
        return false;
    }
    return true;
}

std::vector<int> GdbServer::Impl::allRegs() {
    std::vector<int> r;
    for (int i = 0; i <= 15; ++i) r.push_back(i);
    for (int i = kRegCpsr; i <= kRegLast; ++i) r.push_back(i);
    return r;
}

// Registers read through the models, as the core would read them (with
// their side effects); words no block answers read as 0.
std::optional<std::vector<uint8_t>> GdbServer::Impl::readMemory(uint32_t addr, uint32_t len) {
    std::vector<uint8_t> out;
    uint64_t a = addr, end = uint64_t(addr) + len;
    while (a < end) {
        const Span* s = spanAt(uint32_t(a));
        if (!s) break;
        uint64_t upto = std::min<uint64_t>(end, uint64_t(s->base) + s->size);
        if (s->kind == Region::Registers) {
            for (; a < upto;) {
                uint32_t word = uint32_t(a) & ~3u;
                uint32_t v = m.chip().isRegister(word) ? m.chip().read(word) : 0;
                for (; a < upto && (uint32_t(a) & ~3u) == word; ++a) out.push_back(uint8_t(v >> (8 * (a & 3))));
            }
        } else {
            auto b = m.readBytes(uint32_t(a), size_t(upto - a));
            out.insert(out.end(), b.begin(), b.end());
            a = upto;
        }
    }
    if (out.empty() && len) return std::nullopt;
    return out;
}

// RAM as is; flash is patched in place (the simulator's flash array,
// not through the flash controller); registers take aligned words only.
bool GdbServer::Impl::writeMemory(uint32_t addr, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;
    uint64_t end = uint64_t(addr) + bytes.size();
    const Span* s = spanAt(addr);
    if (!s || end > uint64_t(s->base) + s->size) return false;
    switch (s->kind) {
        case Region::Ram:
        case Region::Flash:
            m.writeBytes(addr, bytes);
            return true;
        case Region::FlashMirror:
            m.writeBytes(addr + FLASH_BASE, bytes);
            return true;
        case Region::Registers:
            if ((addr & 3) || (bytes.size() & 3)) return false;
            for (size_t i = 0; i < bytes.size(); i += 4) {
                uint32_t v = uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8 | uint32_t(bytes[i + 2]) << 16 |
                             uint32_t(bytes[i + 3]) << 24;
                if (!m.chip().isRegister(addr + uint32_t(i))) return false;
                m.chip().write(addr + uint32_t(i), v);
            }
            return true;
        default:
            return false;
    }
}

void GdbServer::Impl::breakpointPacket(const std::string& p) {
    bool insert = p[0] == 'Z';
    uint32_t addr, arg;
    if (p.size() < 3 || p[2] != ',' || !parseAddrLen(p.substr(3), addr, arg)) return send("E01");
    char type = p[1];
    if (type == '0' || type == '1') {
        // The kind (2 Thumb, 4 ARM) needs nothing here: the core stops
        // before the instruction at addr in either state.
        addr &= ~1u;
        if (insert) {
            m.addBreakpoint(addr);
            breaks[addr] = type == '1';
        } else {
            m.removeBreakpoint(addr);
            breaks.erase(addr);
        }
        return send("OK");
    }
    if (type >= '2' && type <= '4') {
        auto access = type == '2' ? Machine::Access::Write : type == '3' ? Machine::Access::Read : Machine::Access::Any;
        if (insert) {
            try {
                m.addWatchpoint(addr, arg, access);
            } catch (const SimError& e) {
                log(e.what());
                return send("E01");
            }
            watches.push_back({addr, arg ? arg : 1, access});
        } else {
            m.removeWatchpoint(addr, arg, access);
            auto it = std::find_if(watches.begin(), watches.end(), [&](const Watch& w) {
                return w.addr == addr && w.len == (arg ? arg : 1) && w.access == access;
            });
            if (it != watches.end()) watches.erase(it);
        }
        return send("OK");
    }
    return send("");
}

}  // namespace sim
