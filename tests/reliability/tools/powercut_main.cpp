// The power-cut campaign of the velmora node (see powercut.h).
//
//   powercut_campaign [--quick | --long] [--seed N]     the campaign, with its report
//   powercut_campaign --command I --cut before|during --seed S
//                     [--second R --second-cut before|during --second-seed T]
//                                                       one point, as a failure names it
//
// --quick (the default; what CI runs): four page transfers each way, a cut
// before and one half-way through every command of the transfers and of
// every 8th command otherwise; second cuts at every erase and every 4th
// other command of the recoveries; at the start of every frame, one torn
// clean-up erase whose page reads 6. --long: eight transfers each way, a cut
// before and three half-way cuts with their own seeds at every command, three
// torn clean-up erases a frame, all second cuts. POWERCUT_MODE=long in the
// environment does the same as --long. Either run has a budget of frames,
// boots and simulated time (see powercut.h); a node that never settles
// fails the run with "budget exceeded" instead of keeping it going.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "powercut.h"

namespace {

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: powercut_campaign [--quick | --long] [--seed N] [--wear N]\n"
                 "       powercut_campaign [--seed N] --command I --cut before|during|six --point-seed S\n"
                 "                         [--second R --second-cut before|during --second-seed T]\n");
    std::exit(2);
}

powercut::Cut cutOf(const char* s) {
    if (std::strcmp(s, "before") == 0) return powercut::Cut::Before;
    if (std::strcmp(s, "during") == 0) return powercut::Cut::During;
    if (std::strcmp(s, "six") == 0) return powercut::Cut::Six;
    usage();
}

int run(const powercut::Config& cfg, bool longMode, unsigned wearWrites, const std::optional<powercut::Point>& one);

}  // namespace

int main(int argc, char** argv) {
    powercut::Config cfg;
    bool longMode = false;
    const char* env = std::getenv("POWERCUT_MODE");
    if (env && std::strcmp(env, "long") == 0) longMode = true;
    unsigned wearWrites = 5000;
    std::optional<powercut::Point> one;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&] {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--quick") longMode = false;
        else if (a == "--long") longMode = true;
        else if (a == "--seed") cfg.seed = std::strtoull(value(), nullptr, 0);
        else if (a == "--wear") wearWrites = unsigned(std::strtoul(value(), nullptr, 0));
        else if (a == "--command") { one.emplace(); one->command = std::strtoull(value(), nullptr, 0); }
        else if (a == "--cut" && one) one->cut = cutOf(value());
        else if (a == "--point-seed" && one) one->seed = std::strtoull(value(), nullptr, 0);
        else if (a == "--second" && one) one->second = std::strtoull(value(), nullptr, 0);
        else if (a == "--second-cut" && one) one->secondCut = cutOf(value());
        else if (a == "--second-seed" && one) one->secondSeed = std::strtoull(value(), nullptr, 0);
        else usage();
    }
    if (longMode) {
        cfg.transfers = 8;
        cfg.duringSeeds = 3;
        cfg.stride = 1;
        cfg.secondStride = 1;
        cfg.sixSeeds = 3;
    } else {
        cfg.transfers = 4;
        cfg.duringSeeds = 1;
        cfg.stride = 8;
        cfg.secondStride = 4;
        cfg.sixSeeds = 1;
    }
    cfg.budget.frames = powercut::frameBudget(cfg.transfers);
    try {
        return run(cfg, longMode, wearWrites, one);
    } catch (const std::exception& e) {
        std::printf("power-cut campaign (%s, seed %llu) failed: %s\n", longMode ? "long" : "quick",
                    static_cast<unsigned long long>(cfg.seed), e.what());
        return 1;
    }
}

namespace {

int run(const powercut::Config& cfg, bool longMode, unsigned wearWrites, const std::optional<powercut::Point>& one) {
    const auto t0 = std::chrono::steady_clock::now();
    powercut::Campaign c(cfg);
    c.record();
    const auto t1 = std::chrono::steady_clock::now();
    if (one) {
        const std::string why = c.reproduce(*one);
        std::printf("%s: %s\n", one->text().c_str(), why.empty() ? "passed" : why.c_str());
        return why.empty() ? 0 : 1;
    }
    const auto points = c.points();
    for (const auto& p : points) c.run(p);
    const auto t2 = std::chrono::steady_clock::now();
    powercut::Campaign w(cfg);
    const uint64_t erases = w.wear(wearWrites);
    const auto t3 = std::chrono::steady_clock::now();
    const uint64_t allowed = (wearWrites + 126) / 127 + 1;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const powercut::Report& r = c.report();
    std::printf("power-cut campaign (%s, seed %llu)\n", longMode ? "long" : "quick",
                static_cast<unsigned long long>(cfg.seed));
    std::printf("  recording: %llu frames, %llu flash commands, page transfers %llu to page 0 and %llu to page 1\n",
                static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.commands),
                static_cast<unsigned long long>(r.transfersTo0), static_cast<unsigned long long>(r.transfersTo1));
    std::printf("  cut points tried: %llu (%llu first cuts, %llu second cuts during recovery)\n",
                static_cast<unsigned long long>(r.points + r.secondPoints), static_cast<unsigned long long>(r.points),
                static_cast<unsigned long long>(r.secondPoints));
    std::printf("  of the first cuts, torn clean-up erases whose page reads 6: %llu\n",
                static_cast<unsigned long long>(r.sixPoints));
    std::printf("  values lost: %llu\n", static_cast<unsigned long long>(r.lost));
    std::printf("  spent: %llu frames, %llu boots, %.0f s simulated (budget %llu, %llu, %.0f s)\n",
                static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.boots + w.report().boots),
                sim::toSeconds(r.virtualTime + w.report().virtualTime), static_cast<unsigned long long>(c.budget().frames),
                static_cast<unsigned long long>(c.budget().boots), sim::toSeconds(c.budget().virtualTime));
    std::printf("  slowest boot after a cut: %.1f ms (watchdog period 125 ms)\n", sim::toMillis(r.slowestBoot));
    std::printf("  wear: %u changing writes, %llu page erases (at most %llu allowed)\n", wearWrites,
                static_cast<unsigned long long>(erases), static_cast<unsigned long long>(allowed));
    std::printf("  failed points: %zu\n", r.failures.size());
    for (const auto& f : r.failures) std::printf("    %s\n", f.c_str());
    const auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
    std::printf("  wall time %.1f s (recording %.1f s, cut points %.1f s, wear %.1f s)\n", wall, secs(t0, t1),
                secs(t1, t2), secs(t2, t3));
    return r.failures.empty() && r.lost == 0 && erases <= allowed ? 0 : 1;
}

}  // namespace
