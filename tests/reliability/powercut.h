// Power-cut campaign for the velmora node's parameter store.
//
// A recording run sends a realistic mix of persisting frames ('A' new
// address, 'V' set-point, 'C' calibration, 'G' and 'S' output state) over the
// bus to a node that starts from blank flash, until the store has gone
// through the requested number of page transfers in each direction. Before
// every flash command (each halfword program and each page erase) it keeps a
// copy of the store's two pages, which command it is, and the frame it
// belongs to with the parameters before and after that frame.
//
// A cut point is one of those commands with a way to lose power: before the
// command (nothing changes) or half-way through it (a program leaves some of
// its bits cleared, an erase leaves the page with arbitrary contents, from a
// seeded generator). A third kind stands for the clean-up erase that boot's
// recovery gives a page of no use next to the valid one: at the start of
// every frame, that other page torn the way one tear in 256 leaves it, its
// status reading 6 like the valid page's. Power is lost as the command starts, so the store's
// pages as they were then, torn by the command, are all the node keeps: a
// cut point is tried by restoring those pages (no replay) and powering on.
// Then, through the serial line and the symbols:
//   - boot reaches the command loop inside the watchdog period, with no
//     watchdog reset on the way;
//   - every parameter holds its value from before or after the interrupted
//     frame, and the output pin follows the stored on/off state;
//   - the node answers "A253";
//   - a second boot runs recovery again with no flash command and the same
//     pages (recovery run twice gives the same state);
//   - the next persisted frame ('V') is stored: it survives a power cycle;
//   - and power is cut again before and half-way through every flash command
//     of the recovery that followed the first cut, with the same checks on
//     the values.
// A wear run counts page erases over 5,000 changing writes.
//
// The campaign has a budget of frames, boots and virtual time; a node that
// never settles (a page never erased, so the transfers never come round)
// ends it with BudgetExceeded instead of running on.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/bus.h"
#include "board/velmora_board.h"
#include "periph/flash_ee.h"

namespace powercut {

inline constexpr uint32_t kStore = 0xF000;
inline constexpr uint32_t kStoreSize = 0x400;
inline constexpr sim::Ticks kWatchdogPeriod = sim::fromMillis(125);
using Pages = std::array<uint8_t, kStoreSize>;

struct Params {
    uint32_t address = 0, setting = 0, calibration = 0, flags = 0;
    bool operator==(const Params&) const = default;
    std::string text() const {
        return "address " + std::to_string(address) + ", set-point " + std::to_string(setting) + ", calibration " +
               std::to_string(calibration) + ", flags " + std::to_string(flags);
    }
};

// What one campaign may spend; exceeded, it stops with BudgetExceeded.
struct Budget {
    uint64_t frames = 0;        // frames of the recording
    uint64_t boots = 0;         // power-ons, the wear run's included
    sim::Ticks virtualTime = 0; // simulated time of the node
};

struct BudgetExceeded : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Config {
    unsigned transfers = 4;     // page transfers in each direction
    unsigned duringSeeds = 1;   // half-way cuts per command, each with its own seed
    unsigned stride = 1;        // 1: every command; n: every n-th outside the transfers
    unsigned secondStride = 1;  // the same for the second cuts during recovery
    uint64_t seed = 1;
    unsigned sixSeeds = 1;      // torn clean-up erases reading 6, per frame
    Budget budget{};            // 0 in a field: unlimited
};

// The frames a recording of `transfers` each way may take: about twice what
// a working store needs (127 records a page, most frames write one).
inline uint64_t frameBudget(unsigned transfers) { return 250ull * (2 * transfers + 1); }

enum class Cut { Before, During, Six };
inline const char* toString(Cut c) { return c == Cut::Before ? "before" : c == Cut::During ? "during" : "six"; }

struct Point {
    size_t command;  // index of the flash command in the recording
    Cut cut;
    uint64_t seed;   // the tear of a half-way cut
    std::optional<size_t> second;  // index of a recovery command cut again
    Cut secondCut = Cut::Before;
    uint64_t secondSeed = 0;
    std::string text() const {
        std::string s = "--command " + std::to_string(command) + " --cut " + toString(cut) + " --point-seed " +
                        std::to_string(seed);
        if (second)
            s += " --second " + std::to_string(*second) + " --second-cut " + toString(secondCut) + " --second-seed " +
                 std::to_string(secondSeed);
        return s;
    }
};

struct Report {
    uint64_t points = 0, secondPoints = 0;  // cut points tried (first cuts, second cuts)
    uint64_t lost = 0;                      // parameters found with neither value
    uint64_t sixPoints = 0;                 // of the first cuts, torn clean-up erases reading 6
    uint64_t boots = 0;                     // power-ons in all
    sim::Ticks virtualTime = 0;             // simulated time in all
    uint64_t commands = 0, frames = 0, transfersTo0 = 0, transfersTo1 = 0;
    sim::Ticks slowestBoot = 0;
    std::vector<std::string> failures;      // each with its point, to reproduce
};

class Campaign {
public:
    explicit Campaign(const Config& c) : cfg_(c), rng_(c.seed) {
        node_ = std::make_unique<sim::VelmoraNode>();
        node_->machine.loadElf(VELMORA_ELF);
        // A blank store: loading the image wrote only the program.
        std::memset(node_->machine.chip().flash() + kStore, 0xFF, kStoreSize);
        bus_.addNode(node_->station);
        m().onReset = [this](sim::ResetCause c) {
            if (c == sim::ResetCause::Watchdog) ++watchdogResets_;
        };
        flash().beforeCommand = [this](const sim::FlashCommand& c) {
            if (sink_) sink_->push_back({c, pages(), step_});
            return sim::CutAction::None;
        };
    }

    // ---- Recording ----

    struct Command {
        sim::FlashCommand cmd;
        Pages before;  // the store's pages as the command starts
        size_t step;   // the frame it belongs to (0: first boot)
    };
    struct Step {
        std::string frame;
        Params before, after;
        size_t firstCommand = 0, commands = 0;
    };

    void record() {
        sink_ = &commands_;
        step_ = 0;
        steps_.push_back({"(first boot: format and defaults)", kDefaults, kDefaults, 0, 0});
        powerOn();
        if (!bootUp()) throw std::runtime_error("first boot failed");
        steps_[0].commands = commands_.size();
        steps_[0].after = params();
        if (steps_[0].after != kDefaults) throw std::runtime_error("first boot gave " + steps_[0].after.text());
        unsigned to0 = 0, to1 = 0;
        uint16_t active = activePage();
        while (to0 < cfg_.transfers || to1 < cfg_.transfers) {
            if (cfg_.budget.frames && steps_.size() > cfg_.budget.frames)
                throw BudgetExceeded("budget exceeded: " + std::to_string(steps_.size() - 1) +
                                     " frames recorded (budget " + std::to_string(cfg_.budget.frames) + ") and " +
                                     std::to_string(to0) + " + " + std::to_string(to1) + " of " +
                                     std::to_string(2 * cfg_.transfers) +
                                     " page transfers: the store does not move on to the other page");
            Step s;
            s.before = params();
            s.frame = nextFrame(s.before);
            s.firstCommand = commands_.size();
            step_ = steps_.size();
            steps_.push_back(s);
            if (!sendAndWait(s.frame)) throw std::runtime_error("'" + s.frame + "' was not carried out");
            if (s.frame[0] == 'A') {
                // It replied: close the address its own echo opened, then it
                // must answer at the new address.
                sendFrame("0\r");
                if (!ask("A" + std::to_string(m().readSym("MyAddress")) + "\r"))
                    throw std::runtime_error("no answer after '" + s.frame + "'");
            }
            steps_.back().after = params();
            steps_.back().commands = commands_.size() - s.firstCommand;
            const uint16_t now = activePage();
            if (now != active) (now == 0 ? to0 : to1) += 1;
            active = now;
        }
        sink_ = nullptr;
        report_.commands = commands_.size();
        report_.frames = steps_.size() - 1;
        report_.transfersTo0 = to0;
        report_.transfersTo1 = to1;
    }

    const std::vector<Command>& commands() const { return commands_; }
    const std::vector<Step>& steps() const { return steps_; }

    // The points the configuration asks for: every command of a frame that
    // moved the store to the other page (and of the first boot), every
    // stride-th command otherwise; before, and half-way with each seed.
    std::vector<Point> points() {
        std::vector<Point> out;
        for (size_t i = 0; i < commands_.size(); ++i) {
            const Step& s = steps_[commands_[i].step];
            const bool heavy = s.commands > 4 || commands_[i].step == 0;
            if (!heavy && i % cfg_.stride != 0) continue;
            out.push_back({i, Cut::Before, 0, {}, Cut::Before, 0});
            for (unsigned k = 0; k < cfg_.duringSeeds; ++k) out.push_back({i, Cut::During, rng_(), {}, Cut::Before, 0});
            // A frame's first command, with one page valid and the other
            // erased: the state a clean-up erase leaves when it is torn.
            const bool first = i == steps_[commands_[i].step].firstCommand && commands_[i].step != 0;
            if (first && settledValid(commands_[i].before))
                for (unsigned k = 0; k < cfg_.sixSeeds; ++k) out.push_back({i, Cut::Six, rng_(), {}, Cut::Before, 0});
        }
        // Once the points are known: three boots for each, up to five for its
        // second cuts (two a recovery command, about two commands a recovery),
        // and 0.7 s of simulated time a frame plus 50 ms a boot.
        if (cfg_.budget.frames) {
            cfg_.budget.boots = report_.boots + 8 * out.size();
            cfg_.budget.virtualTime = m().now() + sim::fromSeconds(0.05 * double(8 * out.size()));
        }
        return out;
    }

    // ---- Trying points ----

    // One point with all its checks, and the second cuts during its recovery.
    void run(const Point& p) {
        std::vector<Command> recovery;
        std::string why = tryPoint(p, &recovery);
        ++report_.points;
        if (p.cut == Cut::Six) ++report_.sixPoints;
        if (!why.empty()) {
            report_.failures.push_back("--seed " + std::to_string(cfg_.seed) + " " + p.text() + ": " + why);
            return;
        }
        for (size_t r = 0; r < recovery.size(); ++r) {
            if (r % cfg_.secondStride != 0 && recovery[r].cmd.kind != sim::FlashCommand::Kind::Erase) continue;
            for (Cut c : {Cut::Before, Cut::During}) {
                Point q = p;
                q.second = r;
                q.secondCut = c;
                q.secondSeed = c == Cut::During ? rng_() : 0;
                ++report_.secondPoints;
                why = trySecond(q, recovery[r]);
                if (!why.empty())
                    report_.failures.push_back("--seed " + std::to_string(cfg_.seed) + " " + q.text() + ": " + why);
            }
        }
    }

    // Reproduces one point from its description (second cut included).
    std::string reproduce(const Point& p) {
        std::vector<Command> recovery;
        std::string why = tryPoint(p, &recovery);
        if (!why.empty() || !p.second) return why;
        if (*p.second >= recovery.size()) return "the recovery has no command " + std::to_string(*p.second);
        return trySecond(p, recovery[*p.second]);
    }

    // ---- Wear ----

    // Erases over `writes` changing writes of the set-point, through the
    // store's write-if-changed routine that the 'V' frame uses (called
    // directly: 5,000 frames on the line would take a minute of simulated time).
    uint64_t wear(unsigned writes) {
        powerOn();
        if (!bootUp()) throw std::runtime_error("first boot failed");
        // Calls run in the context they find: the command loop's, not a tick's
        // with interrupts masked (no tick would then feed the watchdog).
        if (!m().runToSymbol("received", sim::fromMillis(50))) throw std::runtime_error("no command loop");
        const uint32_t scratch = (m().symbol("_end") + 0x100) & ~3u;
        uint64_t erases = 0;
        flash().beforeCommand = [&](const sim::FlashCommand& c) {
            if (c.kind == sim::FlashCommand::Kind::Erase) ++erases;
            return sim::CutAction::None;
        };
        for (unsigned i = 0; i < writes; ++i) {
            const uint32_t value = 1000 + i % 2;
            m().writeSym("ProgramOk", 1);  // the command loop does not run between calls: keep the watchdog fed
            m().call("EE_Set", {2, value}, sim::fromMillis(200));
            m().write32(scratch, 0);
            m().writeSym("ProgramOk", 1);
            if ((m().call("EE_Read", {2, scratch}, sim::fromMillis(200)) & 0xFF) != 1 || m().read32(scratch) != value)
                throw std::runtime_error("write " + std::to_string(i) + " of the set-point did not read back");
        }
        return erases;
    }

    const Budget& budget() const { return cfg_.budget; }
    Report& report() {
        report_.virtualTime = m().now();
        return report_;
    }
    sim::Machine& m() { return node_->machine; }
    sim::Bus& bus() { return bus_; }

private:
    static constexpr Params kDefaults{1, 2200, 26936, 0};

    sim::FlashEe& flash() { return m().chip().flashEe(); }

    void powerOn() {
        ++report_.boots;
        const Budget& b = cfg_.budget;
        if (b.boots && report_.boots > b.boots)
            throw BudgetExceeded("budget exceeded: " + std::to_string(report_.boots) + " boots (budget " +
                                 std::to_string(b.boots) + ")");
        if (b.virtualTime && m().now() > b.virtualTime)
            throw BudgetExceeded("budget exceeded: " + std::to_string(sim::toSeconds(m().now())) +
                                 " s of simulated time (budget " + std::to_string(sim::toSeconds(b.virtualTime)) +
                                 " s)");
        m().powerOn();
    }

    // Page 0 or page 1 valid (status 6), the other erased: nothing under way.
    static bool settledValid(const Pages& p) {
        const auto status = [&](size_t at) { return uint16_t(p[at] | p[at + 1] << 8); };
        const uint16_t s0 = status(0), s1 = status(0x200);
        return ((s0 & 0xFF) == 6 && s1 == 0xFFFF) || ((s1 & 0xFF) == 6 && s0 == 0xFFFF);
    }

    // The erased page next to the valid one, torn: random contents whose
    // status reads 6 in its low byte.
    void tearSix(uint64_t seed) {
        uint8_t* f = m().chip().flash() + kStore;
        uint8_t* torn = f[0] == 0xFF && f[1] == 0xFF ? f : f + 0x200;
        std::mt19937_64 g(seed);
        for (size_t i = 0; i < 0x200; ++i) torn[i] = uint8_t(g());
        torn[0] = 6;
    }
    Pages pages() {
        Pages p;
        std::copy_n(m().chip().flash() + kStore, kStoreSize, p.begin());
        return p;
    }
    void setPages(const Pages& p) { std::copy(p.begin(), p.end(), m().chip().flash() + kStore); }
    uint16_t activePage() {
        const uint8_t* f = m().chip().flash() + kStore;
        return f[0] == 6 ? 0 : f[0x200] == 6 ? 1 : 2;
    }

    Params params() {
        return {m().readSym("MyAddress"), m().readSym("HV_Setting"), m().readSym("ADC2HV"), m().readSym("Flags")};
    }
    float code2Voltage() { return std::bit_cast<float>(m().readSym("Code2Voltage")); }

    // The workload: mostly set-points, output on and off, some
    // calibrations, now and then a new address.
    std::string nextFrame(const Params& p) {
        const std::string a = std::to_string(p.address);
        const unsigned r = unsigned(rng_() % 100);
        if (r < 45) {
            const uint32_t code = 600 + unsigned(rng_() % 1400);
            return "V" + a + " " + std::to_string(unsigned(float(code) * code2Voltage())) + "\r";
        }
        if (r < 70) return (p.flags & 1 ? "S" : "G") + a + "\r";
        if (r < 90) {
            const double factor = 0.78 + double(rng_() % 800) / 10000.0;
            return "C" + a + " " + std::to_string(unsigned(p.setting * factor)) + "\r";
        }
        uint32_t n;
        do n = 1 + unsigned(rng_() % 252); while (n == p.address);
        return "A" + a + " " + std::to_string(n) + "\r";
    }

    // Runs until the command loop turns (the node stores 1 in ProgramOk on
    // every pass; power-on leaves a pattern there).
    bool bootUp(sim::Ticks limit = sim::fromMillis(400)) {
        const uint32_t ok = m().symbol("ProgramOk");
        return bus_.runUntil([&] { return m().read32(ok) == 1; }, limit);
    }

    void sendFrame(const std::string& frame) {
        bus_.hostSend(frame);
        bus_.runUntil([&] { return !bus_.hostSending(); }, sim::fromMillis(200));
    }

    // Sends a frame and runs until the node has carried it out: the command
    // loop stores 1 in ProgramOk at the top of every pass and nothing else
    // does, so a 2 stored after the frame's last byte turns into 1 only once
    // the loop is round again (the tick may clear it to 0 meanwhile).
    bool sendAndWait(const std::string& frame) {
        sendFrame(frame);
        const uint32_t ok = m().symbol("ProgramOk");
        m().write32(ok, 2);
        return bus_.runUntil([&] { return m().read32(ok) == 1; }, sim::fromMillis(500));
    }

    // A query and its reply, then the sync a host sends after every reply.
    std::optional<std::string> askFor(const std::string& frame) {
        bus_.clearHostReceived();
        bus_.hostSend(frame);
        std::string reply = bus_.runUntilReply(sim::fromMillis(300));
        sendFrame("0\r");
        bus_.runFor(sim::fromMillis(2));
        if (reply.empty()) return std::nullopt;
        return reply;
    }
    bool ask(const std::string& frame) { return askFor(frame).has_value(); }

    // Power on with the store as the cut left it and check boot and values.
    std::string bootAndCheck(const Step& s, std::vector<Command>* recovery, bool askLine) {
        watchdogResets_ = 0;
        powerOn();
        const sim::Ticks t0 = m().now();
        sink_ = recovery;
        const bool booted = bootUp();
        sink_ = nullptr;
        const sim::Ticks boot = m().now() - t0;
        report_.slowestBoot = std::max(report_.slowestBoot, boot);
        if (!booted) return "boot did not reach the command loop; " + m().describe(m().pc());
        if (watchdogResets_ != 0) return "boot took a watchdog reset";
        if (boot >= kWatchdogPeriod) return "boot took " + std::to_string(sim::toMillis(boot)) + " ms";
        const Params v = params();
        unsigned lost = 0;
        std::string which;
        const auto check = [&](uint32_t now, uint32_t before, uint32_t after, const char* name) {
            if (now == before || now == after) return;
            ++lost;
            which += std::string(" ") + name + " " + std::to_string(now) + " (before " + std::to_string(before) +
                     ", after " + std::to_string(after) + ")";
        };
        check(v.address, s.before.address, s.after.address, "address");
        check(v.setting, s.before.setting, s.after.setting, "set-point");
        check(v.calibration, s.before.calibration, s.after.calibration, "calibration");
        check(v.flags, s.before.flags, s.after.flags, "flags");
        report_.lost += lost;
        if (lost) return "values lost in '" + s.frame + "':" + which;
        if (node_->board.outputEnabled() != ((v.flags & 1) != 0)) return "output pin does not follow the stored flags";
        if (!askLine) return {};
        const auto reply = askFor("A253\r");
        if (reply != std::to_string(v.address) + "\r\n") return "'A253' got '" + reply.value_or("") + "'";
        return {};
    }

    std::string tryPoint(const Point& p, std::vector<Command>* recovery) {
        if (p.command >= commands_.size()) return "no such command";
        const Command& c = commands_[p.command];
        const Step& s = steps_[c.step];
        setPages(c.before);
        if (p.cut == Cut::During) {
            flash().setCutSeed(p.seed);
            flash().tear(c.cmd);
        } else if (p.cut == Cut::Six) {
            tearSix(p.seed);
        }
        std::string why = bootAndCheck(s, recovery, true);
        if (!why.empty()) return why;

        // Recovery once more: nothing left to do.
        const Pages after = pages();
        const Params values = params();
        const uint64_t issued = flash().commandCount();
        watchdogResets_ = 0;
        powerOn();
        if (!bootUp()) return "second boot did not reach the command loop";
        if (flash().commandCount() != issued) return "second recovery issued flash commands";
        if (pages() != after || params() != values) return "second recovery changed the store";

        // The next persisted frame is kept.
        const uint32_t target = values.setting > 1200 ? 800 : 1600;
        const std::string frame = "V" + std::to_string(values.address) + " " +
                                  std::to_string(unsigned(float(target) * code2Voltage())) + "\r";
        if (!sendAndWait(frame)) return "'" + frame + "' was not carried out";
        const Params set = params();
        if (set.setting == values.setting) return "'" + frame + "' did not change the set-point";
        powerOn();
        if (!bootUp()) return "boot after '" + frame + "' did not reach the command loop";
        if (params() != set) return "'" + frame + "' was not kept: " + params().text() + ", expected " + set.text();
        return {};
    }

    std::string trySecond(const Point& q, const Command& r) {
        const Step& s = steps_[commands_[q.command].step];
        setPages(r.before);
        if (q.secondCut == Cut::During) {
            flash().setCutSeed(q.secondSeed);
            flash().tear(r.cmd);
        }
        return bootAndCheck(s, nullptr, false);
    }

    Config cfg_;
    std::mt19937_64 rng_;
    std::unique_ptr<sim::VelmoraNode> node_;
    sim::Bus bus_;
    std::vector<Command> commands_;
    std::vector<Step> steps_;
    std::vector<Command>* sink_ = nullptr;
    size_t step_ = 0;
    unsigned watchdogResets_ = 0;
    Report report_;
};

}  // namespace powercut
