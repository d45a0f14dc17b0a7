// The packets a debugger sends, each to its handler, and the simulator's
// own `monitor` commands.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "debug/gdb_session.h"

namespace sim {

using namespace gdb;

std::string GdbServer::Impl::monitor(const std::string& line) {
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

void GdbServer::Impl::handle(const std::string& p) {
    if (p.empty()) return send("");
    try {
        dispatch(p);
    } catch (const std::exception& e) {
        log(std::string("error: ") + e.what());
        send("E01");
    }
}

void GdbServer::Impl::dispatch(const std::string& p) {
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

void GdbServer::Impl::vPacket(const std::string& p) {
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

void GdbServer::Impl::query(const std::string& p) {
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

}  // namespace sim
