// The GDB remote protocol (all-stop, one thread) over a loopback TCP socket.
//
// Registers follow GDB's ARM target description: r0..r12, sp, lr, pc, then
// cpsr as register 25 (numbers 16..24 were the FPA registers, which this
// core has not), then our own feature with the SPSR and the banked SP and
// LR of every mode, so `info registers sp_irq` shows the interrupt stack.
//
// While the debugger lets the core run we run it in slices of virtual time
// sized to a few milliseconds of wall time, and look for Ctrl-C (a raw 0x03
// byte) between slices. Nothing else advances the Machine: a halted core
// keeps its virtual time.
#include "debug/gdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "aduc702x.h"
#include "core/machine.h"

namespace sim {

namespace {

constexpr size_t kPacketSize = 0x1000;   // what we announce and accept
constexpr size_t kMaxReports = 40;       // chip reports forwarded per stop

// Signals in stop replies.
// (GDB's own numbering.) A reset is reported as a power failure: a signal
// GDB always stops for, even in the middle of stepping over a breakpoint.
constexpr int kSigInt = 2, kSigTrap = 5, kSigSegv = 11, kSigPwr = 32;

// Our register numbers (GDB's, from the target description below).
constexpr int kRegCpsr = 25, kRegSpsr = 26, kRegBanked = 27;
constexpr Mode kBankedModes[] = {Mode::User, Mode::Supervisor, Mode::Abort, Mode::Undefined, Mode::Irq, Mode::Fiq};
constexpr const char* kBankedNames[] = {"usr", "svc", "abt", "und", "irq", "fiq"};
constexpr int kRegLast = kRegBanked + 2 * 6 - 1;

std::string targetXml() {
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

std::string hex32(uint32_t v) {  // target byte order
    char b[9];
    std::snprintf(b, sizeof b, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
    return b;
}

std::string hexBytes(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hexText(const std::string& t) { return hexBytes(reinterpret_cast<const uint8_t*>(t.data()), t.size()); }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> unhex(const std::string& s) {
    if (s.size() % 2) return std::nullopt;
    std::vector<uint8_t> out(s.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int h = hexDigit(s[2 * i]), l = hexDigit(s[2 * i + 1]);
        if (h < 0 || l < 0) return std::nullopt;
        out[i] = uint8_t(h << 4 | l);
    }
    return out;
}

// A hex number; the whole string must be one.
std::optional<uint32_t> parseHex(const std::string& s) {
    if (s.empty() || s.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        v = v << 4 | uint32_t(d);
    }
    return v;
}

std::optional<uint32_t> wordFromTarget(const std::string& s) {
    auto b = unhex(s);
    if (!b || b->size() != 4) return std::nullopt;
    return uint32_t((*b)[0]) | uint32_t((*b)[1]) << 8 | uint32_t((*b)[2]) << 16 | uint32_t((*b)[3]) << 24;
}

// "addr,len" (and what follows a ':' when asked for).
bool parseAddrLen(const std::string& s, uint32_t& addr, uint32_t& len, std::string* rest = nullptr) {
    size_t comma = s.find(',');
    if (comma == std::string::npos) return false;
    size_t colon = s.find(':', comma);
    if (rest && colon == std::string::npos) return false;
    auto a = parseHex(s.substr(0, comma));
    auto l = parseHex(s.substr(comma + 1, (colon == std::string::npos ? s.size() : colon) - comma - 1));
    if (!a || !l) return false;
    addr = *a;
    len = *l;
    if (rest) *rest = s.substr(colon + 1);
    return true;
}

// Binary data in packets: '$', '#', '}' and '*' travel as '}' + (c ^ 0x20).
std::string escapeBinary(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '$' || c == '#' || c == '}' || c == '*') {
            out += '}';
            out += char(c ^ 0x20);
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<uint8_t> unescapeBinary(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '}' && i + 1 < s.size()) out.push_back(uint8_t(s[++i] ^ 0x20));
        else out.push_back(uint8_t(s[i]));
    }
    return out;
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string t; in >> t;) w.push_back(t);
    return w;
}

}  // namespace

struct GdbServer::Impl {
    GdbServer& self;
    Machine& m;
    int listenFd = -1;
    int fd = -1;
    uint16_t port = 0;
    bool noAck = false;
    bool running = false;
    bool interrupt = false;
    std::string in;        // received, not yet handled
    std::string lastSent;  // for a retransmission request
    std::string lastStop = "S05";
    std::atomic<bool> stopFlag{false};
    std::optional<End> ended;
    std::map<uint32_t, bool> breaks;  // address -> set as a hardware breakpoint
    struct Watch { uint32_t addr, len; Machine::Access access; };
    std::vector<Watch> watches;
    Ticks slice = fromMillis(1);
    std::vector<std::string> reports;
    size_t droppedReports = 0;
    std::function<void(const std::string&)> savedOnReport;
    bool savedStopOnReset = false;

    Impl(GdbServer& s, Machine& mach) : self(s), m(mach) {}

    void log(const std::string& line) {
        if (self.trace) self.trace(line);
    }

    // ---- Connection ----

    bool accept(int timeoutMs) {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return false;
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd = c;
        noAck = false;
        running = interrupt = false;
        in.clear();
        lastSent.clear();
        lastStop = "S05";
        ended.reset();
        // Chip reports go to the debugger's console as well.
        savedOnReport = m.chip().onReport;
        m.chip().onReport = [this](const std::string& r) {
            if (savedOnReport) savedOnReport(r);
            if (reports.size() < kMaxReports) reports.push_back(r);
            else ++droppedReports;
        };
        savedStopOnReset = m.stopOnReset;
        m.stopOnReset = true;
        log("debugger connected");
        return true;
    }

    void endSession(End how) {
        for (const auto& [addr, hw] : breaks) m.removeBreakpoint(addr);
        breaks.clear();
        for (const auto& w : watches) m.removeWatchpoint(w.addr, w.len, w.access);
        watches.clear();
        m.chip().onReport = savedOnReport;
        m.stopOnReset = savedStopOnReset;
        reports.clear();
        if (fd >= 0) ::close(fd);
        fd = -1;
        running = false;
        ended = how;
        log(how == End::Detached ? "debugger detached" : how == End::Killed ? "debugger killed the program"
                                                                           : "debugger connection ended");
    }

    // Reads what has arrived; false when the connection is gone.
    bool receive(int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, timeoutMs);
        if (r < 0) return errno == EINTR;
        if (r == 0) return true;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
        in.append(buf, size_t(n));
        return true;
    }

    void sendRaw(const std::string& s) {
        size_t done = 0;
        while (done < s.size() && fd >= 0) {
            ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;  // a dead connection shows on the next receive
            }
            done += size_t(n);
        }
    }

    void send(const std::string& payload) {
        unsigned sum = 0;
        for (unsigned char c : payload) sum += c;
        char tail[4];
        std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
        lastSent = "$" + payload + tail;
        log("-> " + (payload.size() > 200 ? payload.substr(0, 200) + "..." : payload));
        sendRaw(lastSent);
    }

    void console(const std::string& text) {
        for (size_t i = 0; i < text.size(); i += 400) send("O" + hexText(text.substr(i, 400)));
    }

    // The next whole packet, if one has arrived; acks, retransmission
    // requests and Ctrl-C are taken on the way.
    std::optional<std::string> nextPacket() {
        while (!in.empty()) {
            char c = in[0];
            if (c != '$') {
                in.erase(0, 1);
                if (c == '-' && !lastSent.empty()) sendRaw(lastSent);
                if (c == 0x03) interrupt = true;
                continue;
            }
            size_t hash = in.find('#');
            if (hash == std::string::npos || hash + 2 >= in.size()) return std::nullopt;
            std::string payload = in.substr(1, hash - 1);
            auto sum = parseHex(in.substr(hash + 1, 2));
            in.erase(0, hash + 3);
            unsigned mine = 0;
            for (unsigned char b : payload) mine += b;
            bool good = sum && *sum == (mine & 0xFF);
            if (!noAck) sendRaw(good ? "+" : "-");
            if (!good) continue;
            log("<- " + (payload.size() > 200 ? payload.substr(0, 200) + "..." : payload));
            return payload;
        }
        return std::nullopt;
    }

    // ---- Registers ----

    uint32_t banked(Mode mode, int r) {
        uint32_t c = m.cpsr();
        m.setCpsr((c & ~0x1Fu) | uint32_t(mode));
        uint32_t v = m.reg(r);
        m.setCpsr(c);
        return v;
    }

    void setBanked(Mode mode, int r, uint32_t v) {
        uint32_t c = m.cpsr();
        m.setCpsr((c & ~0x1Fu) | uint32_t(mode));
        m.setReg(r, v);
        m.setCpsr(c);
    }

    bool hasSpsr() { return m.mode() != Mode::User && m.mode() != Mode::System; }

    std::optional<uint32_t> readReg(int n) {
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

    bool writeReg(int n, uint32_t v) {
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

    std::vector<int> allRegs() {
        std::vector<int> r;
        for (int i = 0; i <= 15; ++i) r.push_back(i);
        for (int i = kRegCpsr; i <= kRegLast; ++i) r.push_back(i);
        return r;
    }

    // ---- Memory ----

    // Registers read through the models, as the core would read them (with
    // their side effects); words no block answers read as 0.
    std::optional<std::vector<uint8_t>> readMemory(uint32_t addr, uint32_t len) {
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
    bool writeMemory(uint32_t addr, const std::vector<uint8_t>& bytes) {
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

    // ---- Stops ----

    void flushReports() {
        for (const auto& r : reports) console("aducsim: " + r + "\n");
        if (droppedReports) console("aducsim: ... and " + std::to_string(droppedReports) + " more reports\n");
        reports.clear();
        droppedReports = 0;
    }

    std::string expedited() {
        std::string s;
        for (int n : {int(SP), int(LR), int(PC), kRegCpsr}) {
            char b[4];
            std::snprintf(b, sizeof b, "%02x", n);
            s += std::string(b) + ":" + hex32(*readReg(n)) + ";";
        }
        return s;
    }

    void reportStop(int signal, const std::string& reason = "") {
        running = false;
        flushReports();
        char b[4];
        std::snprintf(b, sizeof b, "%02x", signal);
        lastStop = "T" + std::string(b) + expedited() + reason;
        send(lastStop);
    }

    void reportWatch() {
        const auto& hit = *m.watchHit();
        // Name the kind of watchpoint GDB set that covers the access.
        const char* kind = "awatch";
        for (const auto& w : watches) {
            if (hit.addr < w.addr || hit.addr >= w.addr + w.len) continue;
            if (w.access == hit.access) {
                kind = hit.access == Machine::Access::Write ? "watch" : "rwatch";
                break;
            }
        }
        char b[16];
        std::snprintf(b, sizeof b, "%x", hit.addr);
        reportStop(kSigTrap, std::string(kind) + ":" + b + ";");
    }

    // Reports how a run or step ended; returns false when the core runs on.
    bool stopFor(const RunResult& r, bool stepping) {
        switch (r.reason) {
            case StopReason::Time:
                if (!stepping) return false;
                reportStop(kSigTrap);
                return true;
            case StopReason::Breakpoint: {
                auto it = breaks.find(m.pc());
                reportStop(kSigTrap, it != breaks.end() && it->second ? "hwbreak:;" : "swbreak:;");
                return true;
            }
            case StopReason::Watchpoint:
                reportWatch();
                return true;
            case StopReason::Fault: {
                std::string line = "fault: " + r.report;
                reports.erase(std::remove(reports.begin(), reports.end(), line), reports.end());
                reports.push_back(line);
                reportStop(kSigSegv);
                return true;
            }
            case StopReason::Reset:
                reports.push_back(r.report + ": the core is at the reset vector");
                reportStop(kSigPwr);
                return true;
            default:
                reportStop(kSigTrap);
                return true;
        }
    }

    void step() { stopFor(m.step(), true); }

    void resume(std::optional<uint32_t> addr) {
        if (addr) m.jump((*addr & ~1u) | (m.thumb() ? 1u : 0u));
        // Leave a breakpoint at the current instruction first (GDB steps
        // over its own, but a resumed core must not stop where it stands).
        if (breaks.count(m.pc())) {
            RunResult r = m.step();
            if (r.reason == StopReason::Fault || r.reason == StopReason::Watchpoint || r.reason == StopReason::Reset) {
                stopFor(r, true);
                return;
            }
        }
        running = true;
        interrupt = false;
    }

    // One slice of a resumed core; the slice follows the wall time it took.
    void runSlice() {
        auto t0 = std::chrono::steady_clock::now();
        RunResult r = self.run ? self.run(slice) : m.runFor(slice);
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
        if (us < 2000 && slice < fromSeconds(1)) slice *= 2;
        else if (us > 10000 && slice > fromMicros(10)) slice /= 2;
        stopFor(r, false);
    }

    // ---- Monitor commands ----

    std::string monitor(const std::string& line) {
        auto w = words(line);
        if (w.empty() || w[0] == "help")
            return "monitor commands:\n"
                   "  reset [power]      reset the chip (RAM kept; 'power': power-on, RAM filled)\n"
                   "  time               virtual time and instructions executed\n"
                   "  peripherals        every block's state\n"
                   "  peripheral NAME    one block's state\n"
                   "After a reset, 'flushregs' makes GDB read the registers again.\n";
        if (w[0] == "time") {
            char b[160];
            std::snprintf(b, sizeof b, "virtual time %.6f ms (%llu ticks), %llu instructions, core clock %.4f MHz\n",
                          toMillis(m.now()), (unsigned long long)m.now(), (unsigned long long)m.instructions(),
                          double(kTicksPerSecond) / double(m.chip().coreCycle()) / 1e6);
            return b;
        }
        if (w[0] == "reset") {
            m.clearFault();
            bool power = w.size() > 1 && w[1] == "power";
            if (power) m.powerOn();
            else m.reset(ResetCause::Software);
            return std::string(power ? "power-on" : "software") + " reset: the core is at the reset vector\n";
        }
        if (w[0] == "peripherals") {
            std::string out;
            for (Peripheral* p : m.chip().blocks()) {
                std::string st = p->state();
                out += std::string(p->name()) + ": " + (st.empty() ? "(not modelled)" : st) + "\n";
            }
            return out;
        }
        if (w[0] == "peripheral" && w.size() == 2) {
            std::string names;
            for (Peripheral* p : m.chip().blocks()) {
                if (w[1] == p->name()) {
                    std::string st = p->state();
                    return std::string(p->name()) + ": " + (st.empty() ? "(not modelled)" : st) + "\n";
                }
                names += std::string(" ") + p->name();
            }
            return "no block named '" + w[1] + "'; blocks:" + names + "\n";
        }
        return "unknown monitor command '" + line + "' (try 'monitor help')\n";
    }

    // ---- Packets ----

    void handle(const std::string& p) {
        if (p.empty()) return send("");
        try {
            dispatch(p);
        } catch (const std::exception& e) {
            log(std::string("error: ") + e.what());
            send("E01");
        }
    }

    void dispatch(const std::string& p) {
        const std::string args = p.substr(1);
        switch (p[0]) {
            case '?': return send(lastStop);
            case 'g': {
                std::string s;
                for (int n : allRegs()) s += hex32(*readReg(n));
                return send(s);
            }
            case 'G': {
                auto regs = allRegs();
                if (args.size() < 8 * regs.size()) return send("E01");
                // The mode first: it chooses which SP and LR the rest land in.
                auto cpsr = wordFromTarget(args.substr(8 * 16, 8));
                if (!cpsr) return send("E01");
                m.setCpsr(*cpsr);
                for (size_t i = 0; i < regs.size(); ++i) {
                    if (regs[i] == kRegCpsr) continue;
                    auto v = wordFromTarget(args.substr(8 * i, 8));
                    if (!v) return send("E01");
                    writeReg(regs[i], *v);
                }
                return send("OK");
            }
            case 'p': {
                auto n = parseHex(args);
                auto v = n ? readReg(int(*n)) : std::nullopt;
                return send(v ? hex32(*v) : "E01");
            }
            case 'P': {
                size_t eq = args.find('=');
                auto n = parseHex(args.substr(0, eq));
                auto v = eq == std::string::npos ? std::nullopt : wordFromTarget(args.substr(eq + 1));
                return send(n && v && writeReg(int(*n), *v) ? "OK" : "E01");
            }
            case 'm': {
                uint32_t addr, len;
                if (!parseAddrLen(args, addr, len)) return send("E01");
                len = std::min<uint32_t>(len, (kPacketSize - 4) / 2);
                auto b = readMemory(addr, len);
                return send(b ? hexBytes(b->data(), b->size()) : "E01");
            }
            case 'M': {
                uint32_t addr, len;
                std::string data;
                if (!parseAddrLen(args, addr, len, &data)) return send("E01");
                auto b = unhex(data);
                if (!b || b->size() != len) return send("E01");
                return send(writeMemory(addr, *b) ? "OK" : "E01");
            }
            case 'X': {
                uint32_t addr, len;
                std::string data;
                if (!parseAddrLen(args, addr, len, &data)) return send("E01");
                auto b = unescapeBinary(data);
                if (b.size() != len) return send("E01");
                return send(writeMemory(addr, b) ? "OK" : "E01");
            }
            case 'c':
            case 's':
            case 'C':
            case 'S': {
                // "c[addr]", "Csig[;addr]": signals mean nothing to this core.
                std::string a = args;
                if (p[0] == 'C' || p[0] == 'S') {
                    size_t semi = a.find(';');
                    a = semi == std::string::npos ? "" : a.substr(semi + 1);
                }
                std::optional<uint32_t> addr;
                if (!a.empty()) addr = parseHex(a);
                if (p[0] == 'c' || p[0] == 'C') return resume(addr);
                if (addr) m.jump((*addr & ~1u) | (m.thumb() ? 1u : 0u));
                return step();
            }
            case 'v': return vPacket(p);
            case 'Z':
            case 'z': return breakpointPacket(p);
            case 'q': return query(p);
            case 'Q':
                if (p == "QStartNoAckMode") {
                    send("OK");
                    noAck = true;
                    return;
                }
                return send("");
            case 'H': return send("OK");
            case 'T': return send("OK");  // the one thread is alive
            case 'D':
                send("OK");
                return endSession(End::Detached);
            case 'k': return endSession(End::Killed);
            default: return send("");
        }
    }

    void vPacket(const std::string& p) {
        if (p == "vCont?") return send("vCont;c;C;s;S");
        if (p.rfind("vCont;", 0) == 0) {
            // One thread: the first action is the one for it.
            std::string action = p.substr(6, p.find_first_of(";:", 6) - 6);
            if (action.empty()) return send("E01");
            if (action[0] == 'c' || action[0] == 'C') return resume(std::nullopt);
            if (action[0] == 's' || action[0] == 'S') return step();
            return send("E01");
        }
        if (p.rfind("vKill", 0) == 0) {
            send("OK");
            return endSession(End::Killed);
        }
        return send("");
    }

    void breakpointPacket(const std::string& p) {
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

    void query(const std::string& p) {
        if (p.rfind("qSupported", 0) == 0) {
            char b[128];
            std::snprintf(b, sizeof b,
                          "PacketSize=%zx;qXfer:features:read+;swbreak+;hwbreak+;QStartNoAckMode+;vContSupported+",
                          kPacketSize);
            return send(b);
        }
        if (p.rfind("qXfer:features:read:", 0) == 0) {
            std::string rest = p.substr(20);
            size_t colon = rest.find(':');
            uint32_t off, len;
            if (colon == std::string::npos || !parseAddrLen(rest.substr(colon + 1), off, len)) return send("E01");
            if (rest.substr(0, colon) != "target.xml") return send("E00");
            std::string xml = targetXml();
            if (off >= xml.size()) return send("l");
            std::string part = xml.substr(off, std::min<size_t>(len, kPacketSize / 2));
            return send((off + part.size() >= xml.size() ? "l" : "m") + escapeBinary(part));
        }
        if (p == "qAttached") return send("1");  // quitting GDB detaches: the node runs on
        if (p == "qC") return send("QC1");
        if (p == "qfThreadInfo") return send("m1");
        if (p == "qsThreadInfo") return send("l");
        if (p.rfind("qSymbol", 0) == 0) return send("OK");
        if (p.rfind("qRcmd,", 0) == 0) {
            auto cmd = unhex(p.substr(6));
            if (!cmd) return send("E01");
            std::string out = monitor(std::string(cmd->begin(), cmd->end()));
            flushReports();
            console(out);
            return send("OK");
        }
        return send("");
    }

    // ---- Session loop ----

    bool poll(int timeoutMs) {
        if (fd < 0) {
            if (stopFlag || !accept(timeoutMs)) return false;
        }
        if (running) {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            while (running && !stopFlag) {
                if (!receive(0)) return lost();
                while (auto pkt = nextPacket()) handle(*pkt);  // only acks are expected now
                if (fd < 0) return false;
                if (interrupt) {
                    interrupt = false;
                    reportStop(kSigInt);
                    break;
                }
                runSlice();
                if (std::chrono::steady_clock::now() > until) break;
            }
        } else {
            if (!receive(timeoutMs)) return lost();
        }
        while (fd >= 0 && !running) {
            auto pkt = nextPacket();
            if (!pkt) break;
            handle(*pkt);
        }
        interrupt = interrupt && running;  // Ctrl-C with the core already halted is moot
        return fd >= 0;
    }

    bool lost() {
        endSession(End::Disconnected);
        return false;
    }
};

GdbServer::GdbServer(Machine& m, uint16_t port) : impl_(std::make_unique<Impl>(*this, m)) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) throw SimError(std::string("gdb server: socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never reachable from other hosts
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(s, 1) < 0) {
        std::string why = std::strerror(errno);
        ::close(s);
        throw SimError("gdb server: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    impl_->listenFd = s;
    impl_->port = ntohs(a.sin_port);
}

GdbServer::~GdbServer() {
    if (impl_->fd >= 0) impl_->endSession(End::Stopped);
    if (impl_->listenFd >= 0) ::close(impl_->listenFd);
}

uint16_t GdbServer::port() const { return impl_->port; }
bool GdbServer::poll(int timeoutMs) { return impl_->poll(timeoutMs); }
bool GdbServer::attached() const { return impl_->fd >= 0; }
bool GdbServer::running() const { return impl_->running; }
std::optional<GdbServer::End> GdbServer::lastEnd() const { return impl_->ended; }
void GdbServer::stop() { impl_->stopFlag = true; }

GdbServer::End GdbServer::serve() {
    impl_->ended.reset();
    while (!impl_->stopFlag) {
        impl_->poll(100);
        if (impl_->ended) return *impl_->ended;
    }
    if (impl_->fd >= 0) impl_->endSession(End::Stopped);
    return End::Stopped;
}

GdbServer::End serveGdb(Machine& m, uint16_t port, const std::function<void(uint16_t)>& listening) {
    GdbServer server(m, port);
    if (listening) listening(server.port());
    return server.serve();
}

}  // namespace sim
