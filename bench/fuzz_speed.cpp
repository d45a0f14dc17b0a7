// Fuzzing throughput of the two command interpreters: executions per second
// of the harnesses the fuzzers use (tests/fuzz), replaying the fuzzers'
// corpus on one core, with the share of each execution spent restoring the
// node and the share spent running the input.
//
// libFuzzer's own figure (exec/s in its status lines) also counts mutation
// and its bookkeeping, a few percent; the corpus holds the inputs the long
// runs kept, so it is a fair sample of what they execute.
//
// The coverage line is exact: the number of edge counters each input sets,
// summed over the corpus, and a hash of them; a change in the harness or the
// simulator that loses or adds coverage per execution changes it.
//
//   bench_fuzz_speed [seconds per node]     (default 4)
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/tavlo_harness.h"
#include "fuzz/velmora_harness.h"

namespace {

namespace fs = std::filesystem;
// CPU time of the process: on a shared machine the wall time also counts
// the waits for a core.
double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

std::vector<std::string> corpus(const char* node) {
    std::vector<fs::path> paths;
    const fs::path dir = fs::path(FUZZ_DIR) / "corpus" / node;
    if (fs::is_directory(dir))
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file()) paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> out;
    for (const auto& p : paths) {
        std::ifstream in(p, std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

constexpr double kGoal = 2000;  // executions per second per core

template <class Harness>
void measure(const char* name, double budget, std::string& machine) {
    static uint8_t counters[1 << 16];
    const auto inputs = corpus(name);
    if (inputs.empty()) {
        std::fprintf(stderr, "fuzz_speed: no corpus for %s under %s\n", name, FUZZ_DIR);
        std::exit(1);
    }
    Harness node;
    node.setCoverage(counters, sizeof counters);
    double started = 0, restored = 0, restoring = 0;
    node.beforeInput = [&] { restored = cpuSeconds(); };

    // One pass for the coverage figures, then as many as the budget allows.
    uint64_t features = 0, hash = 0xCBF29CE484222325ull, findings = 0;
    for (const std::string& in : inputs) {
        std::fill(std::begin(counters), std::end(counters), 0);
        if (!node.run(in)) ++findings;
        for (size_t i = 0; i < sizeof counters; ++i)
            if (counters[i]) {
                ++features;
                hash = (hash ^ (i << 8 | counters[i])) * 0x100000001B3ull;
            }
    }
    // What one execution costs in the simulator's own terms (exact).
    sim::Machine& m = node.machine();
    uint64_t stretches = 0;
    m.onSlice = [&] { ++stretches; };
    double virt = 0;
    uint64_t simulated = 0, skipped = 0, interrupts = 0, starts = 0;
    sim::Ticks t = 0;
    uint64_t i = 0, q = 0, k = 0, s0 = 0;
    node.beforeInput = [&] {  // the restored node, before the input
        t = m.now();
        i = m.instructions();
        q = m.interruptsTaken();
        k = m.skippedInstructions();
        s0 = stretches;
    };
    for (const std::string& in : inputs) {
        node.run(in);
        virt += sim::toMillis(m.now() - t);
        simulated += m.instructions() - i;
        skipped += m.skippedInstructions() - k;
        interrupts += m.interruptsTaken() - q;
        starts += stretches - s0;
    }
    node.beforeInput = [&] { restored = cpuSeconds(); };
    const double n = double(inputs.size());
    std::printf("%-8s per execution: %.2f ms simulated, %.0f instructions (%.0f emulated), %.1f interrupts, "
                "%.0f core starts\n",
                name, virt / n, simulated / n, (simulated - skipped) / n, interrupts / n, starts / n);
    m.onSlice = nullptr;

    uint64_t execs = 0;
    const double t0 = cpuSeconds();
    double wall = 0;
    do {
        for (const std::string& in : inputs) {
            std::fill(std::begin(counters), std::end(counters), 0);  // as libFuzzer does
            started = cpuSeconds();
            node.run(in);
            restoring += restored - started;
            ++execs;
        }
        wall = cpuSeconds() - t0;
    } while (wall < budget);
    const double rate = execs / wall;
    std::printf("%-8s %6zu %8llu %7.2f %9.0f %8s %9.1f %9.1f %10llu  %016llx %8llu\n", name, inputs.size(),
                (unsigned long long)execs, wall, rate, (">=" + std::to_string(int(kGoal))).c_str(),
                1e6 * restoring / execs, 1e6 * (wall - restoring) / execs, (unsigned long long)features,
                (unsigned long long)hash, (unsigned long long)findings);
    char buf[200];
    std::snprintf(buf, sizeof buf, " %s_exec_s=%.0f %s_restore_us=%.1f %s_run_us=%.1f %s_features=%llu", name, rate,
                  name, 1e6 * restoring / execs, name, 1e6 * (wall - restoring) / execs, name,
                  (unsigned long long)features);
    machine += buf;
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 4.0;
    std::printf("corpus replay on one core, eager pacing (as the fuzzers run); rates per CPU second\n\n");
    std::printf("%-8s %6s %8s %7s %9s %8s %9s %9s %10s  %-16s %8s\n", "node", "inputs", "execs", "cpu s", "exec/s",
                "(goal)", "restore us", "run us", "features", "coverage hash", "findings");
    std::string machine = "BENCH fuzz_speed";
    measure<fuzz::Velmora>("velmora", budget, machine);
    measure<fuzz::Tavlo>("tavlo", budget, machine);
    std::printf("\n%s\n", machine.c_str());
}
