// velmora's regulation tick measured on an image: every tick from IRQ entry
// to return, in instructions and in the profiler's estimated core cycles,
// at the fastest tick while regulating. Shared by the firmware benchmarks.
#pragma once
#include <algorithm>
#include <cmath>
#include <memory>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "aduc702x.h"
#include "machine.h"
#include "profiler.h"
#include "support/velmora_host.h"

namespace tick_cost {

using namespace sim;

inline constexpr double kCoreHz = 41'779'200.0 / 8;  // CD 3
inline constexpr unsigned kFastTickCycles = 25 * 16;  // T0LD 25, Timer0 at core / 16

inline double cyclesToMicros(double c) { return c * 1e6 / kCoreHz; }

struct Tick {
    unsigned slot = 0;
    uint64_t instructions = 0, cycles = 0;
    Ticks start = 0, end = 0;
};

struct TickFigures {
    double worstCycles = 0;
    double cpuShare = 0;
};

// Prints the table when `print` is set.
inline TickFigures measure(const std::string& elf, bool print = true) {
    auto say = [print](const char* format, auto... args) {
        if (print) std::printf(format, args...);
    };
    nodetest::VelmoraHost h;
    h.m.loadElf(elf);
    h.powerOnAndBoot();
    // Output on and a set-point the measurement never reaches: every fifth
    // tick regulates and the tick stays at its fastest.
    h.exchange("N1\r");
    h.exchange("E1 3000\r");  // limited to MaxADC; the measured 2200 stays far below
    h.m.runFor(fromMillis(30));
    if (h.m.read32(T0LD.addr) != 25) say("(tick period T0LD %u, not the fastest)\n", h.m.read32(T0LD.addr));
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
    say("Regulation tick, IRQ entry to return, output on and regulating (T0LD 25: %u cycles, %.1f us)\n",
                kFastTickCycles, cyclesToMicros(kFastTickCycles));
    // "flat us": the time base before the cycle model, 2 cycles an instruction.
    say("  %-22s %6s %12s %12s %12s %12s %14s %10s\n", "slot", "ticks", "instructions", "cycles", "worst cyc",
                "est. us", "sim us", "flat us");
    TickFigures f;
    double cycleSum = 0;
    for (const auto& [slot, s] : slots) {
        const char* name = slot == 0 ? "0 (ADC0, regulates)" : slot == 16 ? "16 (temperature)" : nullptr;
        std::string label = name ? name : std::to_string(slot) + " (ADC" + std::to_string(slot) + ")";
        say("  %-22s %6llu %12.1f %12.1f %12llu %12.1f %14.1f %10.1f\n", label.c_str(), (unsigned long long)s.n,
                    double(s.instr) / s.n, double(s.cycles) / s.n, (unsigned long long)s.worst,
                    cyclesToMicros(double(s.worst)), s.micros / s.n, cyclesToMicros(2.0 * double(s.instr) / s.n));
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
    say("  per tick: exception entry and vector %.1f cycles, wrapper %.1f, handler %.1f\n", entry,
                share("ADI_IRQ_Interrupt_Wrapper"), share("Timer0_IRQ_Handler"));
    say("  ADC conversion: %.2f us of each tick is the conversion itself\n",
                toMicros(h.m.chip().adc().conversionTime()));
    say("  (the worst tick with one-cycle fetches, as from SRAM: %llu cycles, %.0f%% of the period)\n",
                (unsigned long long)qWorst, 100.0 * double(qWorst) / kFastTickCycles);
    f.cpuShare = slots.empty() ? 0 : cycleSum / double(slots.size()) / kFastTickCycles;
    say("  worst tick %.0f cycles = %.1f us = %.0f%% of the period (goal: at most 33%%, %u cycles)\n",
                f.worstCycles, cyclesToMicros(f.worstCycles), 100.0 * f.worstCycles / kFastTickCycles,
                kFastTickCycles / 3);
    say("  CPU share of the tick at 76.6 us: %.0f%% (mean over the five slots)\n\n", 100.0 * f.cpuShare);
    return f;
}

// The time base against the cost model: the same ticks run twice from the
// same state, once under the profiler (every pass charged, the estimate)
// and once as the simulator runs them (polling loops fast-forwarded), and
// each slot's simulated duration, IRQ entry to return, is compared with the
// estimate.
struct TimeBase {
    double slot0SimUs = 0, slot0ModelUs = 0, worstRatio = 1, slackCycles = 0;
};

inline TimeBase timeBase(const std::string& elf, bool print = true) {
    struct Sums {
        double n = 0, simUs = 0, cycles = 0, slack = 0;
    };
    auto run = [&](bool profile) {
        std::map<unsigned, Sums> slots;
        nodetest::VelmoraHost h;
        h.m.loadElf(elf);
        h.powerOnAndBoot();
        h.exchange("N1\r");
        h.exchange("E1 3000\r");
        h.m.runFor(fromMillis(30));
        const uint32_t slotAddr = h.m.symbol("_ZZ18Timer0_IRQ_HandlerE11input_index");
        std::unique_ptr<Profiler> p;
        if (profile) p = std::make_unique<Profiler>(h.m);
        unsigned slot = 0;
        Ticks start = 0;
        uint64_t c0 = 0, s0 = 0;
        uint32_t back = 0;
        bool in = false;
        auto entry = [&] {
            slot = h.m.read32(slotAddr);
            start = h.m.now();
            c0 = p ? p->cycles() : 0;
            s0 = p ? p->conditionalSlack() : 0;
            back = h.m.pc();
            in = true;
        };
        auto leave = [&](uint32_t addr) {
            if (!in || addr != back) return;
            in = false;
            Sums& s = slots[slot];
            s.n += 1;
            s.simUs += toMicros(h.m.now() - start);
            if (p) {
                s.cycles += double(p->cycles() - c0);
                s.slack += double(p->conditionalSlack() - s0);
            }
        };
        if (p) {
            p->onException = [&](uint32_t v) { if (v == 0x18) entry(); };
            p->onBlock = leave;
        } else {
            h.m.onException = [&](uint32_t v, Mode) { if (v == 0x18) entry(); };
            h.m.onBlock = [&](uint32_t addr, uint32_t) { leave(addr); };
        }
        for (const auto& c : {std::pair<uint32_t, int32_t>{2000, 50000}, {2000, 129440}, {2445, -1000}}) {
            h.m.writeSym("HV_Setting", c.first);
            h.m.writeSym("integral", uint32_t(c.second));
            h.m.runFor(fromMillis(3));
        }
        return slots;
    };
    const auto model = run(true), sim = run(false);
    TimeBase tb;
    if (print)
        std::printf("Time base: each slot's simulated time (fast-forward on) against the cost model's estimate\n"
                    "  %-6s %6s %10s %10s %8s %16s\n", "slot", "ticks", "sim us", "model us", "ratio", "cond. slack cyc");
    double worst = 1;
    for (const auto& [slot, m] : model) {
        auto it = sim.find(slot);
        if (it == sim.end() || m.n == 0 || it->second.n == 0) continue;
        const double simUs = it->second.simUs / it->second.n;
        const double modelUs = cyclesToMicros(m.cycles / m.n);
        const double ratio = simUs / modelUs;
        if (std::fabs(ratio - 1) >= std::fabs(worst - 1)) worst = ratio;
        if (slot == 0) {
            tb.slot0SimUs = simUs;
            tb.slot0ModelUs = modelUs;
        }
        tb.slackCycles = std::max(tb.slackCycles, m.slack / m.n);
        if (print)
            std::printf("  %-6u %6.0f %10.2f %10.2f %8.4f %16.1f\n", slot, it->second.n, simUs, modelUs, ratio,
                        m.slack / m.n);
    }
    tb.worstRatio = worst;
    if (print)
        std::printf("  (cond. slack: cycles charged to conditional instructions beyond their fetch, the bound of\n"
                    "   the estimate's error from conditions that fail; both columns carry it alike)\n");
    return tb;
}

}  // namespace tick_cost
