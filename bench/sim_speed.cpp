// Simulator speed on the firmware's real workloads: virtual time per wall
// time, and simulated instructions per second against the bare emulator
// core running a tight loop in this process (no hooks, no peripherals: the
// ceiling on this machine).
//
// Instruction counts and virtual times are exact and repeatable; wall times
// depend on the machine's load, so every workload runs several times and the
// median is shown. "simulated" counts every instruction the chip executes,
// "emulated" only those the core really ran (the rest were polling passes
// skipped up to the next event).
#include <unicorn/unicorn.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "aduc702x.h"
#include "board/bus.h"
#include "board/readout_board.h"
#include "board/velmora_board.h"
#include "machine.h"
#include "support/bus_velmora.h"

namespace {

using namespace sim;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The process's CPU time: on a shared machine the wall time also counts the
// waits for a core, which no change of ours can shorten.
double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "sim_speed: %s\n", what.c_str());
    std::exit(1);
}

// ---- The ceiling: the bare core on `subs r0, r0, #1; bne .-4` ----

double bareCoreIps() {
    uc_engine* uc = nullptr;
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc) != UC_ERR_OK) fail("cannot open the emulator");
    uc_ctl_set_cpu_model(uc, UC_CPU_ARM_TI925T);
    uc_mem_map(uc, 0x80000, 0x1000, UC_PROT_ALL);
    const uint32_t code[] = {0xE2500001,   // subs r0, r0, #1
                             0x1AFFFFFD,   // bne  loop
                             0xEAFFFFFE};  // b    .   (never reached: `until` stops first)
    uc_mem_write(uc, 0x80000, code, sizeof code);
    const uint32_t passes = 100'000'000;
    uc_reg_write(uc, UC_ARM_REG_R0, &passes);
    const double t0 = cpuSeconds();
    const uc_err e = uc_emu_start(uc, 0x80000, 0x80008, 0, 0);
    const double wall = cpuSeconds() - t0;
    uc_close(uc);
    if (e != UC_ERR_OK) fail(std::string("bare core: ") + uc_strerror(e));
    return 2.0 * passes / wall;
}

// ---- Workloads ----

// Instruction and time counters over the machines of one workload.
struct Counters {
    std::vector<Machine*> machines;
    uint64_t simulated() const {
        uint64_t n = 0;
        for (Machine* m : machines) n += m->instructions();
        return n;
    }
    uint64_t skipped() const {
        uint64_t n = 0;
        for (Machine* m : machines) n += m->skippedInstructions();
        return n;
    }
};

struct Run {
    double virtualSeconds = 0, wall = 0, cpu = 0;
    uint64_t simulated = 0, emulated = 0;
};

// A workload: set-up (not timed) returns the timed part, which returns the
// virtual time it covered.
struct Workload {
    const char* name;
    const char* key;
    double realTimeGoal;  // times faster than the chip
    double bareGoal;      // simulated instructions per second against the bare core (0: none)
    std::function<std::function<Ticks()>(Counters&, std::vector<std::shared_ptr<void>>&)> setup;
};

Run runOnce(const Workload& w) {
    Counters c;
    std::vector<std::shared_ptr<void>> keep;
    auto timed = w.setup(c, keep);
    const uint64_t s0 = c.simulated(), k0 = c.skipped();
    const auto t0 = Clock::now();
    const double c0 = cpuSeconds();
    const Ticks virt = timed();
    Run r;
    r.cpu = cpuSeconds() - c0;
    r.wall = seconds(t0, Clock::now());
    r.virtualSeconds = toSeconds(virt);
    r.simulated = c.simulated() - s0;
    r.emulated = r.simulated - (c.skipped() - k0);
    return r;
}

// One velmora node on its bus, booted, output on and settled at 2200 codes.
struct OneVelmora {
    VelmoraNode node;
    Bus bus;
    OneVelmora() {
        node.machine.loadElf(VELMORA_ELF);
        node.machine.powerOn();
        bus.addNode(node.station);
        const uint32_t ok = node.machine.symbol("ProgramOk");
        if (!bus.runUntil([&] { return node.machine.read32(ok) == 1; }, fromMillis(1000)))
            fail("velmora did not reach its command loop");
        bus.hostSend("N1\r");
        bus.runFor(fromSeconds(2));
        if (node.machine.read32(T0LD.addr) != 800) fail("velmora did not settle (tick still fast)");
    }
};

std::function<Ticks()> velmoraIdle(Counters& c, std::vector<std::shared_ptr<void>>& keep) {
    auto v = std::make_shared<OneVelmora>();
    keep.push_back(v);
    c.machines = {&v->node.machine};
    return [v] {
        const Ticks t0 = v->bus.now();
        v->bus.runFor(fromSeconds(10));
        return v->bus.now() - t0;
    };
}

std::function<Ticks()> velmoraFrames(Counters& c, std::vector<std::shared_ptr<void>>& keep) {
    auto v = std::make_shared<OneVelmora>();
    keep.push_back(v);
    c.machines = {&v->node.machine};
    return [v] {
        const Ticks t0 = v->bus.now();
        for (int k = 0; k < 40; ++k) {
            // "0\r" first, as the host library does: it ends whatever frame
            // the nodes made of the last reply they heard on the bus.
            v->bus.hostSend(k % 2 ? "0\rD1\r" : "0\rH1\r");
            if (v->bus.runUntilReply(fromMillis(200)).empty()) fail("velmora did not answer");
        }
        return v->bus.now() - t0;
    };
}

// n velmora nodes on one bus, every output on. quarterSlices: the bus in
// lock-step slices of a quarter character, as it ran before it looked one
// character ahead (the same run, only slower: for comparison).
std::shared_ptr<bus_velmora::Rig> nodesOnABus(unsigned n, bool quarterSlices, Counters& c,
                                              std::vector<std::shared_ptr<void>>& keep) {
    auto rig = std::make_shared<bus_velmora::Rig>(n);
    keep.push_back(rig);
    if (quarterSlices) rig->bus.setMaxSlice(rig->bus.charTime() / 4);
    for (unsigned k = 1; k <= n; ++k) {
        c.machines.push_back(&rig->node(k).machine);
        rig->bus.hostSend("N" + std::to_string(k) + "\r");
    }
    rig->bus.runFor(fromSeconds(2));
    return rig;
}

auto busIdle(unsigned n, bool quarterSlices) {
    return [=](Counters& c, std::vector<std::shared_ptr<void>>& keep) -> std::function<Ticks()> {
        auto rig = nodesOnABus(n, quarterSlices, c, keep);
        const Ticks span = fromSeconds(n > 4 ? 2 : 5);
        return [rig, span] {
            const Ticks t0 = rig->bus.now();
            rig->bus.runFor(span);
            return rig->bus.now() - t0;
        };
    };
}

// Every node hears every frame and every reply and parses them all.
auto busFrames(unsigned n, bool quarterSlices) {
    return [=](Counters& c, std::vector<std::shared_ptr<void>>& keep) -> std::function<Ticks()> {
        auto rig = nodesOnABus(n, quarterSlices, c, keep);
        return [rig, n] {
            const Ticks t0 = rig->bus.now();
            for (unsigned k = 0; k < 40; ++k) {
                const std::string frame = (k % (2 * n) < n ? "0\rH" : "0\rD") + std::to_string(k % n + 1) + "\r";
                if (rig->ask(frame).empty()) fail("a node on the bus did not answer " + frame);
            }
            return rig->bus.now() - t0;
        };
    };
}

struct Tavlo {
    ReadoutNode node{1};
    Machine& m = node.machine;
    ReadoutBoard& board = node.board;
    Bus line{115200, Wiring::FullDuplex};
    Tavlo() {
        m.loadElf(TAVLO_ELF);
        m.powerOn();
        line.addNode(node.station);
        line.runFor(fromMillis(12));
        for (unsigned ch = 0; ch < ReadoutBoard::kChannels; ++ch) {
            board.setConstant(ReadoutBoard::Axis::X, ch, 0.5 + ch * 0.01);
            board.setConstant(ReadoutBoard::Axis::Y, ch, 2.0 - ch * 0.01);
        }
        exchange("S1\r", "S1\r\n");
        exchange("A3\r", "A3\r\nA3\r\n");
        exchange("D100\r", "D100\r\nD100\r\n");
    }
    void settle() {
        const Ticks from = line.now();
        line.runUntil([&] {
            return !line.hostSending() && !line.frameInProgress() &&
                   line.now() >= std::max(from, line.lastActivity()) + fromMillis(1);
        }, fromSeconds(10));
    }
    void exchange(const char* frame, const char* expect) {
        line.clearHostReceived();
        line.hostSend(frame);
        settle();
        if (line.hostText() != expect) fail(std::string("tavlo answered '") + line.hostText() + "' to " + frame);
    }
};

std::function<Ticks()> tavloScan(Counters& c, std::vector<std::shared_ptr<void>>& keep) {
    auto t = std::make_shared<Tavlo>();
    keep.push_back(t);
    c.machines = {&t->m};
    return [t] {
        const Ticks t0 = t->line.now();
        for (int k = 0; k < 3; ++k) {
            t->board.clearIndicatorEdges();
            t->line.hostSend("M");
            if (!t->line.runUntil([&] { return t->board.indicatorEdges().size() >= 2; }, fromSeconds(2)))
                fail("tavlo's scan did not end");
        }
        return t->line.now() - t0;
    };
}

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const char* only = argc > 2 ? argv[2] : nullptr;  // workloads whose key holds this
    std::vector<double> bare;
    for (int i = 0; i < reps; ++i) bare.push_back(bareCoreIps());
    const double ceiling = median(bare);

    // The "1/4-char" rows run the same bus in lock-step slices of a quarter
    // character, as before the lookahead: the before and after of one run.
    const Workload workloads[] = {
        {"velmora idle, regulating", "velmora_idle", 100, 0, velmoraIdle},
        {"velmora 'H'/'D' frames", "velmora_frames", 100, 0.5, velmoraFrames},
        {"tavlo scan A3 D100", "tavlo_scan", 5, 0, tavloScan},
        {"4 velmora on a bus, idle", "velmora_bus4_idle", 100, 0, busIdle(4, false)},
        {"  same, 1/4-char slices", "velmora_bus4_idle_q", 100, 0, busIdle(4, true)},
        {"4 velmora, 'H'/'D' frames", "velmora_bus4_frames", 100, 0, busFrames(4, false)},
        {"  same, 1/4-char slices", "velmora_bus4_frames_q", 100, 0, busFrames(4, true)},
        {"16 velmora on a bus, idle", "velmora_bus16_idle", 25, 0, busIdle(16, false)},
        {"  same, 1/4-char slices", "velmora_bus16_idle_q", 25, 0, busIdle(16, true)},
        {"16 velmora, 'H'/'D' frames", "velmora_bus16_frames", 25, 0, busFrames(16, false)},
        {"  same, 1/4-char slices", "velmora_bus16_frames_q", 25, 0, busFrames(16, true)},
    };

    std::printf("bare core, tight loop: %.0f instructions/s (median of %d)\n", ceiling, reps);
    std::printf("rates per CPU second of this process (the wall time also counts waits for a core on a busy "
                "machine)\n\n");
    std::printf("%-27s %9s %8s %8s %10s %7s %13s %13s %8s %7s %8s\n", "workload", "virtual s", "wall s", "cpu s", "x realtime",
                "(goal)", "simulated/s", "emulated/s", "sim/bare", "(goal)", "emu/bare");
    std::string machine = "BENCH sim_speed bare_ips=" + std::to_string(uint64_t(ceiling));
    for (const Workload& w : workloads) {
        if (only && !std::strstr(w.key, only)) continue;
        std::vector<Run> runs;
        for (int i = 0; i < reps; ++i) runs.push_back(runOnce(w));
        std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.cpu < b.cpu; });
        const Run& r = runs[runs.size() / 2];
        const double ratio = r.virtualSeconds / r.cpu;
        const double simIps = double(r.simulated) / r.cpu, emuIps = double(r.emulated) / r.cpu;
        char bareGoal[16] = "";
        if (w.bareGoal > 0) std::snprintf(bareGoal, sizeof bareGoal, ">=%.1f", w.bareGoal);
        std::printf("%-27s %9.3f %8.3f %8.3f %10.1f %7s %13.0f %13.0f %8.2f %7s %8.2f\n", w.name, r.virtualSeconds,
                    r.wall, r.cpu, ratio, (">=" + std::to_string(int(w.realTimeGoal))).c_str(), simIps, emuIps, simIps / ceiling,
                    bareGoal, emuIps / ceiling);
        char buf[256];
        std::snprintf(buf, sizeof buf, " %s_ratio=%.1f %s_sim_ips=%.0f %s_emu_ips=%.0f %s_instr=%llu %s_emulated=%llu",
                      w.key, ratio, w.key, simIps, w.key, emuIps, w.key, (unsigned long long)r.simulated, w.key,
                      (unsigned long long)r.emulated);
        machine += buf;
    }
    std::printf("\n%s\n", machine.c_str());
}
