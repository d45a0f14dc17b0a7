// Simulated instructions per second of the core on a tight loop: the probe
// image's main returns and start-up spins on one branch, with no events.
#include <chrono>
#include <cstdio>

#include "machine.h"

int main() {
    using namespace sim;
    Machine m;
    m.loadElf(PROBE_ELF);
    m.runToSymbol("__Return_from_Main", fromMillis(10));
    const double virtualSeconds = 2.0;
    uint64_t i0 = m.instructions();
    auto t0 = std::chrono::steady_clock::now();
    m.runFor(fromSeconds(virtualSeconds));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double instr = double(m.instructions() - i0);
    std::printf("%-28s %14s %12s %10s\n", "workload", "instr/s", "virtual/wall", "wall s");
    std::printf("%-28s %14.0f %12.2f %10.3f\n", "tight loop (b .)", instr / wall, virtualSeconds / wall, wall);
    std::printf("BENCH core_speed tight_loop_ips=%.0f ratio=%.3f\n", instr / wall, virtualSeconds / wall);
}
