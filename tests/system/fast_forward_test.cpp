// Whole images run with and without skipping the passes of their polling
// loops (status registers, Timer1 waits): the same replies at the same
// times, the same instruction counts, the same results in RAM.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board/bus.h"
#include "board/readout_board.h"
#include "board/velmora_board.h"
#include "machine.h"

namespace {

using namespace sim;

struct Step {
    std::string reply;
    Ticks time;
    uint64_t instructions;
    bool operator==(const Step&) const = default;
};

// velmora on its bus: boot, output on, settle, then frames that answer,
// store parameters and dump; the node's state after each one.
std::vector<Step> velmoraRun(bool fastForward, uint64_t* skipped) {
    VelmoraNode node;
    node.machine.setFastForward(fastForward);
    node.machine.loadElf(VELMORA_ELF);
    node.machine.powerOn();
    Bus bus;
    bus.addNode(node.station);
    std::vector<Step> steps;
    auto record = [&](std::string reply) {
        steps.push_back({std::move(reply), node.machine.now(), node.machine.instructions()});
    };
    bus.runFor(fromMillis(100));
    record("");
    for (const char* frame : {"0\rN1\r", "0\rH1\r", "0\rV1 1500\r", "0\rR1\r", "0\rD1\r", "0\rA1\r", "0\rH1\r"}) {
        bus.hostSend(frame);
        record(bus.runUntilReply(fromMillis(150)));
        bus.runFor(fromMillis(40));  // regulating meanwhile
        record("");
    }
    *skipped = node.machine.skippedInstructions();
    return steps;
}

TEST(FastForward, VelmoraOnItsBusRunsTheSameWithAndWithoutSkipping) {
    uint64_t skippedSlow = 0, skippedFast = 0;
    const auto slow = velmoraRun(false, &skippedSlow);
    const auto fast = velmoraRun(true, &skippedFast);
    EXPECT_EQ(skippedSlow, 0u);
    // The fast tick takes most of the core while the supply settles (some
    // 80 % at 76.6 us), so polling is a smaller part of the run than the
    // ticks: still a third of every instruction is a skipped pass.
    EXPECT_GT(skippedFast, fast.back().instructions / 3) << "the polling was skipped";
    ASSERT_EQ(slow.size(), fast.size());
    for (size_t i = 0; i < slow.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(fast[i].reply, slow[i].reply);
        EXPECT_EQ(fast[i].time, slow[i].time);
        EXPECT_EQ(fast[i].instructions, slow[i].instructions);
    }
    EXPECT_EQ(slow[3].reply.substr(0, 2), "e=") << "the node answered 'H'";
}

// A supply held below its set-point (compliance) keeps the regulation in
// its fast tick, an interrupt every 77 us: the waits for the transmitter
// between those interrupts are skipped all the same, and give the same run.
struct Tick {
    std::string reply;
    Ticks time;
    uint64_t instructions, skipped, interrupts;
};

Tick velmoraClamped(bool fastForward) {
    VelmoraParams p;
    p.supply.maxVolts = 200;
    VelmoraNode node(p);
    node.machine.setFastForward(fastForward);
    node.machine.loadElf(VELMORA_ELF);
    node.machine.powerOn();
    Bus bus;
    bus.addNode(node.station);
    bus.runFor(fromMillis(100));
    bus.hostSend("0\rN1\r0\rV1 1500\r");
    bus.runUntilReply(fromMillis(150));
    bus.runFor(fromMillis(20));
    const uint64_t i0 = node.machine.instructions(), k0 = node.machine.skippedInstructions();
    const uint64_t n0 = node.machine.interruptsTaken();
    bus.hostSend("0\rD1\r");
    Tick t{bus.runUntilReply(fromMillis(300)), node.machine.now(), 0, 0, 0};
    t.instructions = node.machine.instructions() - i0;
    t.skipped = node.machine.skippedInstructions() - k0;
    t.interrupts = node.machine.interruptsTaken() - n0;
    return t;
}

TEST(FastForward, WaitsBetweenFrequentInterruptsAreSkippedAlike) {
    const Tick slow = velmoraClamped(false), fast = velmoraClamped(true);
    EXPECT_EQ(fast.reply, slow.reply);
    EXPECT_EQ(fast.time, slow.time);
    EXPECT_EQ(fast.instructions, slow.instructions);
    EXPECT_EQ(fast.interrupts, slow.interrupts);
    ASSERT_GT(fast.reply.size(), 20u) << "the dump came back";
    // Fast ticks throughout: more than ten per character on the line.
    EXPECT_GT(fast.interrupts, 10 * fast.reply.size());
    EXPECT_GT(fast.skipped, fast.instructions / 4) << fast.skipped << " of " << fast.instructions;
}

struct ScanResult {
    Ticks time;
    uint64_t instructions, skipped;
    std::vector<uint32_t> xs, ys;
    std::string text;
};

// tavlo scanning with averaging and a settling delay: one 'M', then 'R'.
ScanResult tavloRun(bool fastForward) {
    ReadoutNode node(7);
    Machine& m = node.machine;
    ReadoutBoard& board = node.board;
    m.setFastForward(fastForward);
    m.loadElf(TAVLO_ELF);
    m.powerOn();
    for (unsigned ch = 0; ch < ReadoutBoard::kChannels; ++ch) {
        board.setNoisy(ReadoutBoard::Axis::X, ch, 0.3 + 0.02 * ch, 0.01);
        board.setConstant(ReadoutBoard::Axis::Y, ch, 2.2 - 0.015 * ch);
    }
    ScanResult r;
    {
        Bus line(115200, Wiring::FullDuplex);
        line.addNode(node.station);
        line.runFor(fromMillis(12));
        auto settle = [&] {
            const Ticks from = line.now();
            line.runUntil([&] {
                return !line.hostSending() && !line.frameInProgress() &&
                       line.now() >= std::max(from, line.lastActivity()) + fromMillis(1);
            }, fromSeconds(10));
        };
        for (const char* frame : {"S1\r", "A2\r", "D60\r"}) {
            line.hostSend(frame);
            settle();
        }
        board.clearIndicatorEdges();
        line.hostSend("M");
        line.runUntil([&] { return board.indicatorEdges().size() >= 2; }, fromSeconds(1));
        line.hostSend("R");
        settle();
        r.text = line.hostText();
    }
    r.time = m.now();
    r.instructions = m.instructions();
    r.skipped = m.skippedInstructions();
    for (unsigned ch = 0; ch < ReadoutBoard::kChannels; ++ch) {
        r.xs.push_back(m.readSym("xs", 4 * ch));
        r.ys.push_back(m.readSym("ys", 4 * ch));
    }
    return r;
}

TEST(FastForward, TavloScanRunsTheSameWithAndWithoutSkipping) {
    const ScanResult slow = tavloRun(false), fast = tavloRun(true);
    EXPECT_EQ(slow.skipped, 0u);
    EXPECT_GT(fast.skipped, fast.instructions / 2) << "the settling delays were skipped";
    EXPECT_EQ(fast.time, slow.time);
    EXPECT_EQ(fast.instructions, slow.instructions);
    EXPECT_EQ(fast.xs, slow.xs);
    EXPECT_EQ(fast.ys, slow.ys);
    EXPECT_EQ(fast.text, slow.text);
    EXPECT_EQ(fast.text.substr(0, 4), "S1\r\n") << "the unit answered";
    EXPECT_NE(fast.text.find("R"), std::string::npos);
    EXPECT_GT(fast.xs[63], fast.xs[0]);
}

}  // namespace
