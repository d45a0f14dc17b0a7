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

namespace {

using namespace sim;

constexpr double kCoreHz = 41'779'200.0 / 8;  // CD 3
constexpr unsigned kFastTickCycles = 25 * 16;  // T0LD 25, Timer0 at core / 16

double cyclesToMicros(double c) { return c * 1e6 / kCoreHz; }

std::string elfPath;

// ---- The tick ----

struct Tick {
    unsigned slot = 0;
    uint64_t instructions = 0, cycles = 0;
    Ticks start = 0, end = 0;
};

struct TickFigures {
    double worstCycles = 0;
    double cpuShare = 0;
};

TickFigures tickCost() {
    nodetest::VelmoraHost h;
    h.m.loadElf(elfPath);
    h.powerOnAndBoot();
    // Output on and a set-point the measurement never reaches: every fifth
    // tick regulates and the tick stays at its fastest.
    h.exchange("N1\r");
    h.exchange("E1 3000\r");  // limited to MaxADC; the measured 2200 stays far below
    h.m.runFor(fromMillis(30));
    if (h.m.read32(T0LD.addr) != 25) std::printf("(tick period T0LD %u, not the fastest)\n", h.m.read32(T0LD.addr));
    const uint32_t slotAddr = h.m.symbol("_ZZ18Timer0_IRQ_HandlerE11input_index");

    Profiler p(h.m);
    // What the same ticks would cost with every instruction fetched (and
    // every literal read) in one cycle, as from SRAM.
    CycleModel fromRam;
    fromRam.armFlashFetch = 1;
    fromRam.flashHalfword = 0;
    fromRam.flashDeadTime = 1;
    Profiler q(h.m, fromRam);
    uint64_t qStart = 0, qWorst = 0;
    std::vector<Tick> ticks;
    Tick cur;
    bool inTick = false;
    uint32_t back = 0;
    p.onException = [&](uint32_t vector) {
        if (vector != 0x18) return;
        cur = Tick{h.m.read32(slotAddr), p.instructions(), p.cycles(), h.m.now(), 0};
        qStart = q.cycles();
        back = h.m.pc();
        inTick = true;
    };
    p.onBlock = [&](uint32_t addr) {
        if (!inTick || addr != back) return;
        inTick = false;
        cur.instructions = p.instructions() - cur.instructions;
        cur.cycles = p.cycles() - cur.cycles;
        cur.end = h.m.now();
        ticks.push_back(cur);
        qWorst = std::max(qWorst, q.cycles() - qStart);
    };
    // Each branch of the regulator in turn (the measured code is 2200):
    // integral within range, clamped at its top, and negative.
    struct Case {
        uint32_t setting;
        int32_t integral;
    };
    for (const Case c : {Case{2000, 50000}, Case{2000, 129440}, Case{2445, -1000}}) {
        h.m.writeSym("HV_Setting", c.setting);
        h.m.writeSym("integral", uint32_t(c.integral));
        h.m.runFor(fromMillis(3));  // about forty ticks
    }
    const auto routines = p.routines();

    struct Slot {
        uint64_t n = 0, instr = 0, cycles = 0, worst = 0;
        double micros = 0;
    };
    std::map<unsigned, Slot> slots;
    for (const Tick& t : ticks) {
        Slot& s = slots[t.slot];
        ++s.n;
        s.instr += t.instructions;
        s.cycles += t.cycles;
        s.worst = std::max<uint64_t>(s.worst, t.cycles);
        s.micros += toMicros(t.end - t.start);
    }
    std::printf("Regulation tick, IRQ entry to return, output on and regulating (T0LD 25: %u cycles, %.1f us)\n",
                kFastTickCycles, cyclesToMicros(kFastTickCycles));
    std::printf("  %-22s %6s %12s %12s %12s %12s %14s\n", "slot", "ticks", "instructions", "cycles", "worst cyc",
                "est. us", "sim us (2 CPI)");
    TickFigures f;
    double cycleSum = 0;
    for (const auto& [slot, s] : slots) {
        const char* name = slot == 0 ? "0 (ADC0, regulates)" : slot == 16 ? "16 (temperature)" : nullptr;
        std::string label = name ? name : std::to_string(slot) + " (ADC" + std::to_string(slot) + ")";
        std::printf("  %-22s %6llu %12.1f %12.1f %12llu %12.1f %14.1f\n", label.c_str(), (unsigned long long)s.n,
                    double(s.instr) / s.n, double(s.cycles) / s.n, (unsigned long long)s.worst,
                    cyclesToMicros(double(s.worst)), s.micros / s.n);
        f.worstCycles = std::max(f.worstCycles, double(s.worst));
        cycleSum += double(s.cycles) / s.n;
    }
    // Where a tick's cycles go, averaged over all ticks.
    const double n = ticks.empty() ? 1 : double(ticks.size());
    auto share = [&](const char* name) {
        for (const auto& r : routines)
            if (r.name == name) return double(r.cycles) / n;
        return 0.0;
    };
    const double entry = share("(exception entry)") + share("(outside any routine)");
    std::printf("  per tick: exception entry and vector %.1f cycles, wrapper %.1f, handler %.1f\n", entry,
                share("ADI_IRQ_Interrupt_Wrapper"), share("Timer0_IRQ_Handler"));
    std::printf("  ADC conversion: %.2f us of each tick is the conversion itself\n",
                toMicros(h.m.chip().adc().conversionTime()));
    std::printf("  (the worst tick with one-cycle fetches, as from SRAM: %llu cycles, %.0f%% of the period)\n",
                (unsigned long long)qWorst, 100.0 * double(qWorst) / kFastTickCycles);
    f.cpuShare = slots.empty() ? 0 : cycleSum / double(slots.size()) / kFastTickCycles;
    std::printf("  worst tick %.0f cycles = %.1f us = %.0f%% of the period (goal: at most 33%%, %u cycles)\n",
                f.worstCycles, cyclesToMicros(f.worstCycles), 100.0 * f.worstCycles / kFastTickCycles,
                kFastTickCycles / 3);
    std::printf("  CPU share of the tick at 76.6 us: %.0f%% (mean over the five slots)\n\n", 100.0 * f.cpuShare);
    return f;
}

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
    std::printf("Command loop, %zu frames of every command (pages of the store transferred: %u flash commands)\n",
                commandStream().size(), unsigned(m.chip().flashEe().commandCount()));
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
    const TickFigures t = tickCost();
    std::printf("BENCH firmware_cost tick_worst_cycles=%.0f tick_worst_us=%.1f tick_cpu_share=%.2f\n\n", t.worstCycles,
                cyclesToMicros(t.worstCycles), t.cpuShare);
    loopAway();
    replyLatency();
}
