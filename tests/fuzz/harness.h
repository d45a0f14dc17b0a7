// Hostile input for the two command interpreters: one booted node in the
// simulator, restored from its post-boot snapshot for every input, fed the
// input byte by byte on its serial line and judged by what a node must never
// do, whatever it is sent:
//
//   - take an exception other than IRQ, access memory outside the map, or run
//     a stack beyond its area (the Machine's faults and stack checks);
//   - report anything the chip would punish (a flash bit programmed from 0
//     back to 1, a register written while busy, ...);
//   - leave a waiting byte unread for more than ten times the instructions the
//     worst valid frame needs (a hang; tavlo's scan and halt loop aside);
//   - stop answering a valid frame once the input has ended (velmora may take
//     one watchdog reset to get there, tavlo none), or not carry it out;
//   - velmora: change a persisted parameter other than by a valid frame that
//     persists it, switch the output on other than by 'G', 'N' or boot, or
//     hold a set-point above MaxADC (taken as signed) after a set command.
//
// Both harnesses serve the coverage-guided fuzzers (tests/fuzz/*_fuzz.cpp),
// the corpus replay and the seeded random frames of the CI suite. Every run is
// deterministic: the boards here are stateless (constant analog inputs, no
// noise), so a snapshot restores everything that matters.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "machine.h"
#include "periph/flash_ee.h"
#include "periph/gpio.h"
#include "periph/uart.h"

namespace fuzz {

// Bytes on the line: at the line rate like any host, or each one as soon as
// the node has taken the one before (faster than any line, for throughput;
// nothing in either interpreter depends on how fast bytes come).
enum class Pacing { Line, Eager };

struct Outcome {
    std::string finding;  // empty: the node behaved
    bool slow = false;    // ran out of simulated time in a legitimately long scan (not judged)
    std::string detail;   // what the node sent, for a report
    explicit operator bool() const { return finding.empty(); }
};

// Edge coverage of the firmware's basic blocks, as 8-bit counters (the
// layout libFuzzer takes as extra counters).
struct Coverage {
    uint8_t* counters = nullptr;
    size_t size = 0;  // a power of two
    uint32_t prev = 0;
    void hit(uint32_t block) {
        if (!counters) return;
        const uint32_t b = block >> 1;
        const uint32_t i = (b ^ prev) & uint32_t(size - 1);
        if (counters[i] != 0xFF) ++counters[i];
        prev = (b >> 1) | (b << 31);
    }
    // A block on its own, outside the chain of edges.
    void count(uint32_t block) {
        if (!counters) return;
        uint8_t& c = counters[(block * 0x9E3779B1u >> 7) & uint32_t(size - 1)];
        if (c != 0xFF) ++c;
    }
};

inline std::string printable(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c >= 0x20 && c < 0x7F && c != '\\') out += char(c);
        else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        }
    }
    return out;
}

// What both harnesses share: the machine, its snapshot, the byte feeder and
// the oracles that hold for any node.
class Node {
public:
    virtual ~Node() { m_.chip().setBoard(nullptr); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    sim::Machine& machine() { return m_; }
    void setPacing(Pacing p) { pacing_ = p; }
    void setCoverage(uint8_t* counters, size_t size) {
        cov_.counters = counters;
        cov_.size = size;
    }
    // Runs after the snapshot is restored and before the input: a seam for
    // tests that plant a fault to see an oracle catch it.
    std::function<void()> beforeInput;

    // Instructions a waiting byte may stay unread (ten times the worst valid frame).
    uint64_t hangLimit() const { return hangLimit_; }
    uint64_t worstValidFrame() const { return worstValid_; }

    Outcome run(std::string_view input) {
        begin();
        for (unsigned char c : input) {
            if (!feed(c)) return finish();
        }
        settle();
        if (ok()) ending();
        return finish();
    }

protected:
    Node() = default;

    // A scan may run this long before the run is given up as slow (not
    // judged): averaging and settling values can make one last for hours,
    // and each settling wait costs the simulator a timer loop. A scan with
    // the start-up values takes about 1 ms.
    static constexpr sim::Ticks kScanBudget = sim::fromMillis(2);

    // ---- Set-up, by the concrete harness ----

    void boot(const char* elf, sim::Board& board, sim::Ticks bootTime) {
        m_.loadElf(elf);
        m_.chip().setBoard(&board);
        m_.powerOn();
        uart().onTx = [this](const sim::TxByte& b) { transmitted(b); };
        m_.onException = [this](uint32_t vector, sim::Mode mode) {
            if (vector != 0x18)
                fail("exception", "vector 0x" + hex(vector) + " (" + sim::toString(mode) + " mode) at " +
                                      m_.describe(m_.pc()));
        };
        m_.onReset = [this](sim::ResetCause c) { resetHappened(c); };
        m_.onBlock = [this](uint32_t addr, uint32_t size) { block(addr, size); };
        // Where the firmware polls its receiver: getchar, and the command
        // loop's received where there is one.
        for (const auto& s : m_.image().symbols())
            if (s.name == "getchar" || s.name == "received") {
                poll_.push_back({s.value & ~1u, (s.value & ~1u) + std::max<uint32_t>(s.size, 2)});
                pollNames_.push_back(s.name);
            }
        for (const char* name : skipNames())
            for (const auto& s : m_.image().symbols())
                if (s.name == name) skip_.push_back({s.value & ~1u, (s.value & ~1u) + std::max<uint32_t>(s.size, 4)});
        running_ = true;
        if (!m_.runFor(bootTime)) throw sim::SimError("boot: " + m_.fault().value_or("?"));
        running_ = false;
        reportsAtSnapshot_ = m_.chip().reports().size();
        snapshot_ = m_.save();
    }

    // Measures the worst valid frames from the snapshot; the hang limit is ten times that.
    void calibrate(const std::vector<std::string>& validInputs) {
        hangLimit_ = ~0ull;
        uint64_t worst = 0;
        for (const auto& in : validInputs) {
            Outcome o = run(in);
            if (!o) throw sim::SimError("calibration frame '" + printable(in) + "' failed: " + o.finding);
            worst = std::max(worst, worstWait_);
        }
        worstValid_ = worst;
        hangLimit_ = 10 * std::max<uint64_t>(worst, 1000);
    }

    // ---- What the concrete harness adds ----
    virtual std::vector<const char*> skipNames() const { return {}; }  // interrupt code: no edges
    virtual void restoreBoard() = 0;
    virtual void consumed(uint8_t) {}       // the firmware took a byte from its receiver
    virtual void onReset(sim::ResetCause) {}
    virtual bool scanning() { return false; }   // busy with a scan: a long wait, no hang
    virtual sim::Ticks scanStart() { return 0; }
    virtual bool halted() { return false; }     // stopped for good by a command: no hang either
    virtual unsigned scansStarted() { return 0; }
    virtual bool transmitting() { return !uart().txIdle(); }
    virtual void ending() = 0;              // the known-good frames and final checks
    virtual void onBlockExtra(uint32_t) {}

    sim::Uart& uart() { return m_.chip().uart(); }

    void fail(const std::string& kind, const std::string& detail) {
        if (finding_.empty()) finding_ = kind + ": " + detail;
    }
    bool ok() const { return finding_.empty() && !slow_; }

    static std::string hex(uint32_t v) {
        char b[12];
        std::snprintf(b, sizeof b, "%X", v);
        return b;
    }

    // Sends bytes with the harness's pacing; false once the run is over.
    bool send(std::string_view bytes) {
        for (unsigned char c : bytes)
            if (!feed(c)) return false;
        return true;
    }

    // Runs until the node is quiet: polling its empty receiver, nothing to
    // send, no byte on its way back (velmora hears itself); at most `limit`.
    void settle(sim::Ticks limit = sim::fromMillis(300)) {
        if (!ok()) return;
        sim::Ticks end = m_.now() + limit;
        while (ok() && !halted()) {
            if (scanning()) {
                runUntil([&] { return !scanning(); }, kScanBudget);
                end = std::max(end, m_.now() + limit);
                continue;
            }
            if (quiet()) return;
            if (m_.now() >= end) {
                fail("hang", "the node did not come to rest within " + std::to_string(sim::toMillis(limit)) +
                                 " ms; " + where());
                return;
            }
            runUntil([&] { return quiet(); }, end - m_.now());
        }
    }

    // A block of one instruction, `b .`: 4 bytes in ARM state, 2 in Thumb
    // (the block's size tells the state without asking the core).
    bool selfBranch(uint32_t addr, uint32_t size) {
        const uint32_t off = addr - 0x80000;
        if (addr < 0x80000 || off + 4 > sim::Chip::kFlashSize || (size != 2 && size != 4)) return false;
        const uint8_t* f = m_.chip().flash() + off;
        const uint32_t w = uint32_t(f[0] | f[1] << 8 | f[2] << 16 | uint32_t(f[3]) << 24);
        return size == 2 ? (w & 0xFFFF) == 0xE7FE : w == 0xEAFFFFFE;
    }

    // Where the node last waited for input: "received" (velmora's loop top)
    // or "getchar" (inside a frame, or tavlo anywhere).
    const std::string& waitingIn() const { return lastPoll_; }

    std::string sentSince(size_t from) const { return sent_.substr(std::min(from, sent_.size())); }
    size_t sentCount() const { return sent_.size(); }
    std::string where() { return "pc " + m_.describe(m_.pc()) + ", " + sim::toString(m_.mode()) + " mode"; }
    unsigned watchdogResets() const { return watchdogResets_; }

    sim::Machine m_;
    Coverage cov_;
    Pacing pacing_ = Pacing::Eager;

private:
    // A host gets nothing through while the node is still starting up (its
    // receive pin not yet the UART's, no bit rate): it waits, as a host that
    // sent 'K' waits for the node to come back.
    bool listening() { return m_.chip().gpio().function(1, 0) == 1 && uart().baud() > 0; }

    bool scanOverBudget() { return scanning() && m_.now() - scanStart() > kScanBudget; }

    bool quiet() {
        return polled_ && !transmitting() && !pending_ && !uart().rxReady() && !scanning();
    }

    void begin() {
        m_.restore(*snapshot_);
        m_.clearFault();
        restoreBoard();
        finding_.clear();
        slow_ = false;
        sent_.clear();
        pending_.reset();
        polled_ = false;
        watchdogResets_ = 0;
        worstWait_ = 0;
        lastDeliveryEnd_ = m_.now();
        cov_.prev = 0;
        running_ = true;
        if (beforeInput) beforeInput();
    }

    Outcome finish() {
        running_ = false;
        if (m_.fault()) fail("fault", *m_.fault());
        const auto& reports = m_.chip().reports();
        if (reports.size() > reportsAtSnapshot_) fail("chip report", reports[reportsAtSnapshot_]);
        Outcome o;
        o.finding = finding_;
        o.slow = slow_ && finding_.empty();
        o.detail = "sent by the node: \"" + printable(sent_) + "\"";
        return o;
    }

    // One byte from the host: waits until the node has taken the previous one
    // and is not sending (a bus host waits for the line), then delivers it
    // and runs until the node takes it.
    bool feed(uint8_t c) {
        if (!ok()) return false;
        const sim::Ticks limit = sim::fromMillis(400);
        sim::Ticks start = m_.now();
        // A line host only waits for the line; the eager one also for the node
        // to look for input again.
        const auto ready = [&] {
            return !pending_ && !uart().rxReady() && !transmitting() && listening() &&
                   (pacing_ == Pacing::Line || polled_);
        };
        while (!ready()) {
            if (!ok() || halted()) return false;
            if (scanning()) {
                start = m_.now();
            } else if (m_.now() - start > limit) {
                fail("hang", "the node neither took a byte, nor finished sending, nor listened within 400 ms; " +
                                 where());
                return false;
            }
            runUntil(ready, limit);
        }
        if (pacing_ == Pacing::Line && m_.now() < lastDeliveryEnd_ + uart().charTime()) {
            runFor(lastDeliveryEnd_ + uart().charTime() - m_.now());
            if (!ok()) return false;
        }
        deliver(c);
        lastDeliveryEnd_ = m_.now();
        return ok();
    }

    void deliver(uint8_t c) {
        const bool accepted = !uart().rxReady();
        uart().receive(c, uart().baud());
        if (!accepted) return;
        pending_ = c;
        waitingSince_ = m_.instructions();
        scansAtDelivery_ = scansStarted();
        const uint64_t limit = hangLimit_;
        const sim::Ticks timeLimit = sim::fromMillis(500);
        while (pending_ && ok()) {
            runUntil([&] { return !pending_ || m_.instructions() - waitingSince_ > limit; }, timeLimit);
            if (!pending_ || !ok()) break;
            if (halted()) {
                pending_.reset();  // it stays unread for good, as it should
                return;
            }
            if (scanning() || scansStarted() != scansAtDelivery_) {
                waitingSince_ = m_.instructions();
                scansAtDelivery_ = scansStarted();
                continue;
            }
            fail("hang", "byte 0x" + hex(c) + " unread after " + std::to_string(m_.instructions() - waitingSince_) +
                             " instructions (limit " + std::to_string(limit) + "); " + where());
        }
    }

    // Every run also stops once a scan has used up its budget, which ends
    // the input as slow.
    void runUntil(const std::function<bool()>& cond, sim::Ticks limit) {
        const sim::RunResult r = m_.runUntil([&] { return cond() || scanOverBudget() || halted(); }, limit);
        if (r.reason == sim::StopReason::Fault) fail("fault", r.report);
        if (scanOverBudget()) slow_ = true;
    }
    void runFor(sim::Ticks d) {
        const sim::RunResult r = m_.runFor(d);
        if (r.reason == sim::StopReason::Fault) fail("fault", r.report);
    }

    void block(uint32_t addr, uint32_t size) {
        if (!running_) return;
        if (pending_ && !uart().rxReady()) {
            const uint8_t c = *pending_;
            pending_.reset();
            polled_ = false;
            if (scansStarted() == scansAtDelivery_) worstWait_ = std::max(worstWait_, m_.instructions() - waitingSince_);
            consumed(c);
            m_.chip().requestStop();  // the feeder may go on
        }
        // The firmware looks at an empty receiver: it waits for input.
        if (!polled_ && !pending_ && !uart().rxReady())
            for (size_t i = 0; i < poll_.size(); ++i)
                if (addr >= poll_[i].first && addr < poll_[i].second) {
                    polled_ = true;
                    lastPoll_ = pollNames_[i];
                    m_.chip().requestStop();
                }
        // A branch to itself: nothing will ever change (tavlo's halt loop);
        // the run stops so that the waits see it at once.
        if (addr == prevBlock_ && selfBranch(addr, size)) m_.chip().requestStop();
        prevBlock_ = addr;
        onBlockExtra(addr);
        for (const auto& r : skip_)
            if (addr >= r.first && addr < r.second) return cov_.count(addr);
        cov_.hit(addr);
    }

    void transmitted(const sim::TxByte& b) {
        polled_ = false;
        sent_ += char(b.value);
    }

    void resetHappened(sim::ResetCause c) {
        if (!running_) return;
        if (c == sim::ResetCause::Watchdog) ++watchdogResets_;
        pending_.reset();  // the receiver is cleared with the chip
        polled_ = false;
        onReset(c);
    }

protected:
private:
    std::shared_ptr<const sim::Machine::Snapshot> snapshot_;
    size_t reportsAtSnapshot_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> skip_;
    std::string finding_;
    bool slow_ = false;
    bool running_ = false;
    unsigned scansAtDelivery_ = 0;
    std::string sent_;
    std::optional<uint8_t> pending_;
    bool polled_ = false;
    std::vector<std::pair<uint32_t, uint32_t>> poll_;
    std::vector<std::string> pollNames_;
    uint32_t prevBlock_ = 0;
    std::string lastPoll_;
    uint64_t waitingSince_ = 0;
    uint64_t worstWait_ = 0;
    uint64_t hangLimit_ = ~0ull;
    uint64_t worstValid_ = 0;
    unsigned watchdogResets_ = 0;
    sim::Ticks lastDeliveryEnd_ = 0;
};

}  // namespace fuzz
