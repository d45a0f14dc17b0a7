// What velmora's firmware costs the chip, measured in the simulator on the
// real image and estimated in core cycles with the profiler's ARM7TDMI model
// (16-bit flash: an ARM opcode is two fetches):
//
//   - the regulation tick per slot, IRQ entry to return, at the fast tick
//     (T0LD 25, every 400 core cycles = 76.6 us) while regulating, with its
//     parts (exception entry and vector, wrapper, handler) and its share of
//     the CPU; goal: the worst tick within a third of the period;
//   - the longest the command loop stays away from its top (the watchdog
//     gives it 125 ms), over a stream of every command;
//   - the time from a frame's last stop bit to the start bit of its reply.
//
// Usage: bench_firmware_cost [velmora.elf]   (default: the build's image)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "aduc702x.h"
#include "board/bus.h"
#include "board/velmora_board.h"
#include "machine.h"
#include "profiler.h"
#include "support/velmora_host.h"
#include "tick_cost.h"

namespace {

using namespace sim;

std::string elfPath;

// ---- The command loop ----

// The stores of the command loop's top: "ProgramOk = 1", found in the code
// as a store through a register loaded with ProgramOk's address from a
// literal (outside the tick, which stores 0 there).
std::vector<uint32_t> loopTops(Machine& m) {
    const uint32_t ok = m.symbol("ProgramOk");
    const uint32_t tickLo = m.symbol("Timer0_IRQ_Handler");
    uint32_t tickHi = tickLo;
    for (const auto& s : m.image().symbols())
        if (s.name == "Timer0_IRQ_Handler") tickHi = tickLo + s.size;
    std::vector<uint32_t> tops;
    for (const auto& s : m.image().symbols()) {
        if (!s.function || (s.value & 1) || s.size == 0 || s.value == tickLo) continue;
        int baseReg = -1;
        for (uint32_t a = s.value; a + 4 <= s.value + s.size; a += 4) {
            const uint32_t insn = m.read32(a);
            if ((insn & 0x0FFF0000) == 0x059F0000) {  // ldr rY, [pc, #imm]
                const uint32_t lit = a + 8 + (insn & 0xFFF);
                if (lit + 4 <= s.value + s.size + 0x1000 && m.read32(lit) == ok) baseReg = int((insn >> 12) & 0xF);
            } else if (baseReg >= 0 && (insn & 0x0FFF0FFF) == (0x05800000u | uint32_t(baseReg) << 16)) {
                if (a < tickLo || a >= tickHi) tops.push_back(a);  // str rX, [rY]
            }
        }
    }
    return tops;
}

struct NodeOnBus {
    VelmoraNode node;
    Bus bus;
    explicit NodeOnBus(bool fastForward) {
        node.machine.setFastForward(fastForward);
        node.machine.loadElf(elfPath);
        node.machine.powerOn();
        bus.addNode(node.station);
        const uint32_t ok = node.machine.symbol("ProgramOk");
        bus.runUntil([&] { return node.machine.read32(ok) == 1; }, fromMillis(1000));
        bus.hostSend("0\rN1\r");
        bus.runFor(fromMillis(300));
    }
};

// Every command the node knows, with its address, in an order that keeps
// changing the stored parameters (so that the store's page fills and is
// transferred) and the output on at the end.
std::vector<std::string> commandStream() {
    std::vector<std::string> s;
    for (int k = 0; k < 12; ++k) {
        const std::string v = std::to_string(1400 + 10 * k);
        for (const std::string& f : std::vector<std::string>{"H1", "R1", "D1", "A1", "E1 2100", "U1 " + v, "V1 " + v,
                                                             "C1 " + std::to_string(1200 + k), "S1", "G1", "F1", "N1"})
            s.push_back(f + "\r");
    }
    return s;
}

void loopAway() {
    NodeOnBus n(false);  // every pass of the loop runs, so every pass is seen
    Machine& m = n.node.machine;
    const std::vector<uint32_t> tops = loopTops(m);
    if (tops.empty()) {
        std::printf("Command loop: its top (the store of 1 to ProgramOk) was not found in the code\n\n");
        return;
    }
    Ticks last = m.now(), longest = 0;
    std::string current = "(boot)", worstFrame;
    m.onBlock = [&](uint32_t addr, uint32_t size) {
        for (uint32_t t : tops)
            if (t >= addr && t < addr + size) {
                if (m.now() - last > longest) {
                    longest = m.now() - last;
                    worstFrame = current;
                }
                last = m.now();
            }
    };
    const auto resetsBefore = m.resets();
    for (const std::string& f : commandStream()) {
        current = f.substr(0, f.size() - 1);
        n.bus.hostSend("0\r" + f);
        n.bus.runUntilReply(fromMillis(150));
        n.bus.runFor(fromMillis(3));
    }
    m.onBlock = nullptr;
    std::printf("Command loop (top: the store to ProgramOk at %zu place%s), %zu frames of every command, %u flash "
                "commands of the store\n",
                tops.size(), tops.size() == 1 ? "" : "s", commandStream().size(),
                unsigned(m.chip().flashEe().commandCount()));
    std::printf("  longest time away from the loop's top: %.2f ms, during '%s' (watchdog: 125 ms)%s\n\n",
                toMillis(longest), worstFrame.c_str(), m.resets() != resetsBefore ? "; THE CHIP WAS RESET" : "");
    std::printf("BENCH firmware_cost loop_away_ms=%.2f\n", toMillis(longest));
}

void replyLatency() {
    NodeOnBus n(true);
    std::printf("Frame to reply: last stop bit of the frame to the start bit of the reply\n");
    std::printf("  %-8s %10s %10s %10s\n", "frame", "min us", "max us", "frames");
    std::string machine;
    for (const char* f : {"H1\r", "R1\r", "A1\r", "D1\r"}) {
        double lo = 1e9, hi = 0;
        int count = 0;
        for (int k = 0; k < 20; ++k) {
            n.bus.hostSend("0\r");
            n.bus.runFor(fromMillis(1 + k % 3));  // vary the phase against the tick
            const size_t mark = n.bus.hostReceived().size();
            const Ticks end = n.bus.hostSend(f);
            n.bus.runUntilReply(fromMillis(150));
            if (n.bus.hostReceived().size() == mark) continue;
            const double us = toMicros(n.bus.hostReceived()[mark].start - end);
            lo = std::min(lo, us);
            hi = std::max(hi, us);
            ++count;
        }
        std::printf("  %-8.2s %10.1f %10.1f %10d\n", f, lo, hi, count);
        machine += std::string(" reply_") + char(f[0] | 0x20) + "_max_us=" + std::to_string(int(hi + 0.5));
    }
    std::printf("\nBENCH firmware_cost%s\n", machine.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    elfPath = argc > 1 ? argv[1] : VELMORA_ELF;
    std::printf("image %s\n\n", elfPath.c_str());
    const tick_cost::TickFigures t = tick_cost::measure(elfPath);
    std::printf("BENCH firmware_cost tick_worst_cycles=%.0f tick_worst_us=%.1f tick_cpu_share=%.2f\n\n", t.worstCycles,
                tick_cost::cyclesToMicros(t.worstCycles), t.cpuShare);
    const tick_cost::TimeBase tb = tick_cost::timeBase(elfPath);
    std::printf("BENCH time_base slot0_sim_us=%.2f slot0_model_us=%.2f worst_ratio=%.4f\n\n", tb.slot0SimUs,
                tb.slot0ModelUs, tb.worstRatio);
    loopAway();
    replyLatency();
}
