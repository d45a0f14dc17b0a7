// Simulator speed on the firmware's real workloads: virtual time per CPU
// second, and simulated instructions per second against the bare emulator
// core running a tight loop in this process (no hooks, no peripherals: the
// ceiling on this machine), each beside its goal. Then an account of where
// velmora's time goes answering frames.
//
//   bench_sim_speed [reps] [key]    (key: only the workloads whose key holds it)
//
// Instruction counts and virtual times are exact and repeatable; CPU times
// vary with the machine's load (caches), so every workload runs several
// times and the median is shown. "simulated" counts every instruction the chip executes,
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
#include <optional>
#include <string>
#include <unordered_map>
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

// CPU seconds per pass of a loop on the bare core (code at 0x80000, r2
// pointing into RAM at 0x10000 mapped as the Machine maps SRAM), optionally
// with an empty block hook.
double barePass(const std::vector<uint32_t>& loop, bool blockHook, uint32_t passes) {
    uc_engine* uc = nullptr;
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc) != UC_ERR_OK) fail("cannot open the emulator");
    uc_ctl_set_cpu_model(uc, UC_CPU_ARM_TI925T);
    static std::vector<uint8_t> ram(0x2000);
    uc_mem_map(uc, 0x80000, 0x1000, UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_map_ptr(uc, 0x10000, ram.size(), UC_PROT_ALL, ram.data());
    uc_mmio_map(uc, 0xFFFF0000, 0x1000, +[](uc_engine*, uint64_t, unsigned, void*) -> uint64_t { return 0; }, nullptr,
                +[](uc_engine*, uint64_t, unsigned, uint64_t, void*) {}, nullptr);
    std::vector<uint32_t> code = loop;
    code.push_back(0xEAFFFFFE);  // b .   (never reached: `until` stops first)
    uc_mem_write(uc, 0x80000, code.data(), code.size() * 4);
    const uint32_t r2 = 0x10100, r3 = 0xFFFF0700;
    uc_reg_write(uc, UC_ARM_REG_R0, &passes);
    uc_reg_write(uc, UC_ARM_REG_R2, &r2);
    uc_reg_write(uc, UC_ARM_REG_R3, &r3);
    uc_hook h = 0;
    if (blockHook)
        uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(+[](uc_engine*, uint64_t, uint32_t, void*) {}),
                    nullptr, 1, 0);
    const double t0 = cpuSeconds();
    const uc_err e = uc_emu_start(uc, 0x80000, 0x80000 + 4 * loop.size(), 0, 0);
    const double cpu = cpuSeconds() - t0;
    uc_close(uc);
    if (e != UC_ERR_OK) fail(std::string("bare core: ") + uc_strerror(e));
    return cpu / passes;
}

constexpr uint32_t kSubs = 0xE2500001;  // subs r0, r0, #1
constexpr uint32_t kStr = 0xE5821000;   // str  r1, [r2]
constexpr uint32_t kLdrIo = 0xE5931000; // ldr  r1, [r3]   (a register block)
uint32_t bne(int back) { return 0x1A000000 | (uint32_t(-back - 2) & 0xFFFFFF); }

double bareCoreIps() { return 2.0 / barePass({kSubs, bne(1)}, false, 100'000'000); }

// What the emulator itself charges, measured on the bare core: one store to
// RAM, one block hook call (an empty hook), one start of the core for a
// short stretch.
struct EmulatorCosts {
    double store = 0, hook = 0, start = 0, io = 0;
};

EmulatorCosts emulatorCosts() {
    EmulatorCosts c;
    const uint32_t n = 4'000'000;
    const double plain = barePass({kSubs, bne(1)}, false, n);
    c.store = barePass({kStr, kSubs, bne(2)}, false, n) - plain * 1.5;
    c.hook = barePass({kSubs, bne(1)}, true, n) - plain;
    c.io = barePass({kLdrIo, kSubs, bne(2)}, false, n) - plain * 1.5;
    // A start that runs a few blocks and is stopped by a block hook, as the
    // Machine stops the core (no exit address: one would cost a flush of
    // its code at every start).
    uc_engine* uc = nullptr;
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc) != UC_ERR_OK) fail("cannot open the emulator");
    uc_ctl_set_cpu_model(uc, UC_CPU_ARM_TI925T);
    uc_ctl_exits_enable(uc);
    uc_mem_map(uc, 0x80000, 0x1000, UC_PROT_READ | UC_PROT_EXEC);
    const uint32_t code[] = {kSubs, bne(1), 0xEAFFFFFE};
    uc_mem_write(uc, 0x80000, code, sizeof code);
    static int blocks = 0;
    uc_hook h;
    uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(+[](uc_engine* u, uint64_t, uint32_t, void*) {
                    if (++blocks == 4) uc_emu_stop(u);
                }),
                nullptr, 1, 0);
    const int starts = 200'000;
    const uint32_t many = 1000;
    const double t0 = cpuSeconds();
    for (int i = 0; i < starts; ++i) {
        blocks = 0;
        uc_reg_write(uc, UC_ARM_REG_R0, &many);
        uc_emu_start(uc, 0x80000, 0xFFFFFFFEull, 0, 0);
    }
    c.start = (cpuSeconds() - t0) / starts - 3 * (plain + c.hook);
    uc_close(uc);
    return c;
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
    uint64_t starts = 0;  // core starts, all machines
    size_t nodes = 1;
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
    uint64_t starts = 0;
    for (Machine* m : c.machines) m->onSlice = [&starts] { ++starts; };
    const auto t0 = Clock::now();
    const double c0 = cpuSeconds();
    const Ticks virt = timed();
    Run r;
    r.cpu = cpuSeconds() - c0;
    r.wall = seconds(t0, Clock::now());
    r.virtualSeconds = toSeconds(virt);
    r.simulated = c.simulated() - s0;
    r.emulated = r.simulated - (c.skipped() - k0);
    r.starts = starts;
    r.nodes = std::max<size_t>(c.machines.size(), 1);
    for (Machine* m : c.machines) m->onSlice = nullptr;
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

// Counts over one run of velmora answering frames: blocks the core ran
// (one block hook call each), store instructions in them (STR, STRB, STRH,
// and every register of an STM; conditional ones counted), core starts.
struct FrameCounts {
    uint64_t blocks = 0, stores = 0, starts = 0, emulated = 0, interrupts = 0, io = 0;
};

unsigned armStores(const uint8_t* flash, uint32_t addr, uint32_t size) {
    unsigned n = 0;
    for (uint32_t a = addr; a + 4 <= addr + size; a += 4) {
        const uint8_t* p = flash + (a - 0x80000);
        const uint32_t i = uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
        if ((i >> 28) == 0xF) continue;
        if ((i & 0x0C100000) == 0x04000000 || (i & 0x0E1000F0) == 0x000000B0) ++n;
        else if ((i & 0x0E100000) == 0x08000000) n += unsigned(__builtin_popcount(i & 0xFFFF));
    }
    return n;
}

FrameCounts countFrames() {
    Counters c;
    std::vector<std::shared_ptr<void>> keep;
    auto timed = velmoraFrames(c, keep);
    Machine& m = *c.machines.front();
    FrameCounts f;
    std::unordered_map<uint32_t, unsigned> stores;
    m.onBlock = [&](uint32_t addr, uint32_t size) {
        ++f.blocks;
        if (addr < 0x80000 || addr + size > 0x80000 + Chip::kFlashSize) return;
        auto it = stores.find(addr);
        if (it == stores.end()) it = stores.emplace(addr, armStores(m.chip().flash(), addr, size)).first;
        f.stores += it->second;
    };
    m.onSlice = [&] { ++f.starts; };
    m.chip().setTrace([&](const std::string&) { ++f.io; });  // one line per register access
    const uint64_t i0 = m.instructions() - m.skippedInstructions(), q0 = m.interruptsTaken();
    timed();
    f.emulated = m.instructions() - m.skippedInstructions() - i0;
    f.interrupts = m.interruptsTaken() - q0;
    m.onBlock = nullptr;
    m.onSlice = nullptr;
    m.chip().setTrace(nullptr);
    return f;
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
    std::printf("%-27s %9s %8s %8s %10s %7s %13s %13s %8s %7s %8s %12s\n", "workload", "virtual s", "wall s", "cpu s", "x realtime",
                "(goal)", "simulated/s", "emulated/s", "sim/bare", "(goal)", "emu/bare", "starts/node");
    std::string machine = "BENCH sim_speed bare_ips=" + std::to_string(uint64_t(ceiling));
    std::optional<Run> frames;
    for (const Workload& w : workloads) {
        if (only && !std::strstr(w.key, only)) continue;
        std::vector<Run> runs;
        for (int i = 0; i < reps; ++i) runs.push_back(runOnce(w));
        std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.cpu < b.cpu; });
        const Run& r = runs[runs.size() / 2];
        if (std::strcmp(w.key, "velmora_frames") == 0) frames = r;
        const double ratio = r.virtualSeconds / r.cpu;
        const double simIps = double(r.simulated) / r.cpu, emuIps = double(r.emulated) / r.cpu;
        char bareGoal[16] = "";
        if (w.bareGoal > 0) std::snprintf(bareGoal, sizeof bareGoal, ">=%.1f", w.bareGoal);
        // Core starts per node and virtual second: the emulator's entry, and
        // its translation lookups after it, cost alike whatever ran.
        const double startsPerNode = double(r.starts) / double(r.nodes) / r.virtualSeconds;
        std::printf("%-27s %9.3f %8.3f %8.3f %10.1f %7s %13.0f %13.0f %8.2f %7s %8.2f %12.0f\n", w.name, r.virtualSeconds,
                    r.wall, r.cpu, ratio, (">=" + std::to_string(int(w.realTimeGoal))).c_str(), simIps, emuIps, simIps / ceiling,
                    bareGoal, emuIps / ceiling, startsPerNode);
        char buf[256];
        std::snprintf(buf, sizeof buf, " %s_ratio=%.1f %s_sim_ips=%.0f %s_emu_ips=%.0f %s_instr=%llu %s_emulated=%llu %s_starts_per_node_s=%.0f",
                      w.key, ratio, w.key, simIps, w.key, emuIps, w.key, (unsigned long long)r.simulated, w.key,
                      (unsigned long long)r.emulated, w.key, startsPerNode);
        machine += buf;
    }

    // Where the time of velmora answering frames goes: the emulator's own
    // charges measured on the bare core, times how often the run incurs them.
    if (frames) {
        const EmulatorCosts e = emulatorCosts();
        const FrameCounts f = countFrames();
        const double total = frames->cpu;
        struct Part {
            const char* what;
            double seconds;
            std::string how;
        };
        char b[5][96];
        std::snprintf(b[0], sizeof b[0], "%llu x %.1f ns", (unsigned long long)f.emulated, 1e9 / ceiling);
        std::snprintf(b[1], sizeof b[1], "%llu x %.1f ns", (unsigned long long)f.stores, 1e9 * e.store);
        std::snprintf(b[2], sizeof b[2], "%llu x %.1f ns", (unsigned long long)f.blocks, 1e9 * e.hook);
        std::snprintf(b[3], sizeof b[3], "%llu x %.0f ns", (unsigned long long)f.starts, 1e9 * e.start);
        std::snprintf(b[4], sizeof b[4], "%llu x %.1f ns", (unsigned long long)f.io, 1e9 * e.io);
        Part parts[] = {{"instructions at the bare core's rate", f.emulated / ceiling, b[0]},
                        {"stores (the emulator's slow path)", f.stores * e.store, b[1]},
                        {"block hook calls (the emulator's side)", f.blocks * e.hook, b[2]},
                        {"core starts (stops at events, slices)", f.starts * e.start, b[3]},
                        {"register accesses (the emulator's side)", f.io * e.io, b[4]},
                        {"the simulator's own code (the rest)", 0,
                         "block hook, fast-forward, chip models, events, bus"}};
        double known = 0;
        for (const Part& p : parts) known += p.seconds;
        parts[5].seconds = total - known;
        std::printf("\nwhere velmora's time goes answering frames (%.1f ms CPU for %.3f s simulated, %llu interrupts):\n",
                    1e3 * total, frames->virtualSeconds, (unsigned long long)f.interrupts);
        for (const Part& p : parts)
            std::printf("  %-40s %8.2f ms %5.1f%%   %s\n", p.what, 1e3 * p.seconds, 100 * p.seconds / total, p.how.c_str());
        char buf[200];
        std::snprintf(buf, sizeof buf, " store_ns=%.1f hook_ns=%.1f start_ns=%.0f io_ns=%.1f frames_stores=%llu frames_blocks=%llu frames_starts=%llu",
                      1e9 * e.store, 1e9 * e.hook, 1e9 * e.start, 1e9 * e.io, (unsigned long long)f.stores,
                      (unsigned long long)f.blocks, (unsigned long long)f.starts);
        machine += buf;
    }
    std::printf("\n%s\n", machine.c_str());
}
