// What the debugger costs: simulated instructions per second with nothing
// set, with a breakpoint the core never reaches, with a watchpoint (every
// instruction traced), and single steps per second. Workload: the probe
// counting loop of loads, stores and arithmetic.
#include <chrono>
#include <cstdio>
#include <functional>

#include "machine.h"

using namespace sim;

namespace {

double seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A counting loop placed in unused flash: load, add, store, count down,
// branch (five instructions per pass). Returns instructions per second.
double countLoop(Machine& m, double virtualSeconds) {
    const uint32_t at = 0x0008E000;
    m.writeBytes(at, {0x00, 0x20, 0x90, 0xE5,    // ldr  r2, [r0]
                      0x01, 0x20, 0x82, 0xE2,    // add  r2, r2, #1
                      0x00, 0x20, 0x80, 0xE5,    // str  r2, [r0]
                      0x01, 0x10, 0x51, 0xE2,    // subs r1, r1, #1
                      0xFA, 0xFF, 0xFF, 0x1A,    // bne  loop
                      0xFE, 0xFF, 0xFF, 0xEA});  // b    .
    m.setReg(0, m.symbol("probe_zeroed") + 8);
    m.setReg(1, 0xFFFFFFFF);
    m.jump(at);
    uint64_t i0 = m.instructions();
    double wall = seconds([&] { m.runFor(fromSeconds(virtualSeconds)); });
    return double(m.instructions() - i0) / wall;
}

}  // namespace

int main() {
    Machine m;
    m.loadElf(PROBE_ELF);
    m.runToSymbol("__Return_from_Main", fromMillis(10));
    countLoop(m, 0.2);  // warm up: translation, first allocations
    std::printf("%-36s %14s\n", "setting", "instr/s");
    double plain = countLoop(m, 1.0);
    std::printf("%-36s %14.0f\n", "nothing set", plain);

    m.addBreakpoint(m.symbol("probe_undefined"));
    double withBreak = countLoop(m, 1.0);
    std::printf("%-36s %14.0f\n", "breakpoint elsewhere", withBreak);
    m.clearBreakpoints();

    m.addWatchpoint(m.symbol("probe_zeroed"), 4, Machine::Access::Write);
    double withWatch = countLoop(m, 0.2);
    std::printf("%-36s %14.0f\n", "watchpoint (not hit)", withWatch);
    m.clearWatchpoints();

    m.runToSymbol("__Return_from_Main", fromMillis(10));
    m.jump(m.symbol("probe_call_thumb"));
    m.setReg(LR, m.symbol("__Return_from_Main"));
    const int steps = 20000;
    double wall = seconds([&] {
        for (int i = 0; i < steps; ++i) m.step();
    });
    std::printf("%-36s %14.0f\n", "single steps per second", steps / wall);
    std::printf("BENCH debugger_speed plain_ips=%.0f break_ips=%.0f watch_ips=%.0f steps_per_s=%.0f\n", plain,
                withBreak, withWatch, steps / wall);
}
