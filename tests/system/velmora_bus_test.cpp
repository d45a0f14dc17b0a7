// velmora nodes on the shared bus with their high-voltage supplies: the
// regulator closes the loop on a real supply model, a node keeps off the
// line for frames that are not its own, and a node whose store says "on"
// regulates again after a reset.
#include <gtest/gtest.h>

#include <cmath>

#include "aduc702x.h"
#include "support/bus_velmora.h"

using sim::fromMillis;

namespace {

// Every node parses every byte on the line, replies included: a reply's
// final LF reads as a command letter, and the parsers then wait for an
// address. A lone CR ends it (address 0, ignored) before the next frame.
std::string ask(bus_velmora::Rig& rig, const std::string& frame) {
    const std::string reply = rig.ask(frame);
    if (!reply.empty()) {
        EXPECT_EQ(rig.ask("\r", fromMillis(10)), "");
    }
    return reply;
}

// The reply's number, or -1 when the reply is not "e=<digits>\r\n".
long replyValue(const std::string& reply) {
    if (reply.size() < 5 || reply.compare(0, 2, "e=") != 0 || reply.compare(reply.size() - 2, 2, "\r\n") != 0)
        return -1;
    return std::strtol(reply.c_str() + 2, nullptr, 10);
}

TEST(VelmoraBus, RegulatesTheSupplyToTheSetPointAndOthersStayQuiet) {
    bus_velmora::Rig rig(2);
    EXPECT_EQ(ask(rig, "G2\r"), "");  // no reply, nor from node 1
    rig.bus.runFor(fromMillis(600));

    // Node 2 holds its output at the set-point, within the noise of the
    // feedback; node 1 stays off.
    const long code = replyValue(ask(rig, "R2\r"));
    EXPECT_NEAR(code, 2200, 3);
    const long volts = replyValue(ask(rig, "H2\r"));
    EXPECT_NEAR(volts, 1808, 4);
    auto& on = rig.node(2);
    EXPECT_TRUE(on.board.outputEnabled());
    EXPECT_NEAR(on.board.outputVolts(on.machine.now()), 2200 * 0.8182, 5);
    EXPECT_EQ(on.machine.read32(T0LD.addr), 800u);  // settled: the slow tick
    EXPECT_FALSE(rig.node(1).board.outputEnabled());

    // A new set-point in volts: the loop follows.
    EXPECT_EQ(ask(rig, "U2 1000\r"), "");
    rig.bus.runFor(fromMillis(600));
    EXPECT_NEAR(replyValue(ask(rig, "R2\r")), 1216, 3);

    // Frames for node 1 change nothing at node 2.
    EXPECT_EQ(ask(rig, "S1\r"), "");
    EXPECT_EQ(ask(rig, "E1 100\r"), "");
    EXPECT_EQ(ask(rig, "A1\r"), "1\r\n");
    EXPECT_NEAR(replyValue(ask(rig, "R2\r")), 1216, 3);
    EXPECT_EQ(on.machine.readSym("HV_Setting"), 1216u);
}

TEST(VelmoraBus, StoredOnRegulatesAgainAfterReset) {
    bus_velmora::Rig rig(1);
    EXPECT_EQ(ask(rig, "G1\r"), "");
    rig.bus.runFor(fromMillis(300));
    rig.allowReports("write-protected in watchdog mode");
    EXPECT_EQ(ask(rig, "K1\r"), "");
    auto& node = rig.node(1);
    // Boot switches the output on from the stored flags, and the regulator
    // brings it back to the set-point without a command.
    rig.bus.runFor(fromMillis(800));
    EXPECT_TRUE(node.board.outputEnabled());
    EXPECT_NEAR(replyValue(ask(rig, "R1\r")), 2200, 3);
}

}  // namespace

namespace {

// A debugger holds node 2: where it stops (a breakpoint in its tick), the
// bus and node 1 stand still at the same time, however far the run was to
// go; once the breakpoint is gone all run on and both answer.
TEST(VelmoraBus, NodeHeldByADebuggerStopsTheWholeBus) {
    bus_velmora::Rig rig(2);
    sim::Machine& held = rig.node(2).machine;
    sim::Machine& other = rig.node(1).machine;
    rig.bus.setLead(1);
    const uint32_t tick = held.symbol("Timer0_IRQ_Handler") & ~1u;
    held.addBreakpoint(tick);

    const sim::Ticks before = rig.bus.now();
    ASSERT_TRUE(rig.bus.runTo(before + fromMillis(50)));
    EXPECT_TRUE(rig.bus.leadStopped());
    EXPECT_EQ(held.lastRun().reason, sim::StopReason::Breakpoint);
    EXPECT_EQ(held.pc(), tick);
    EXPECT_LT(rig.bus.now(), before + fromMillis(50));
    EXPECT_EQ(rig.bus.now(), held.now());
    // Node 1 finishes the block it is in (a few instructions), no more; a
    // slice of its own would have been a quarter character (260 us).
    EXPECT_GE(other.now(), held.now());
    EXPECT_LT(other.now() - held.now(), sim::fromMicros(5)) << "node 1 ran on past the stop";

    // The debugger lets go: one step off the breakpoint, then all run on.
    held.removeBreakpoint(tick);
    held.step();
    ASSERT_TRUE(rig.bus.runTo(rig.bus.now() + fromMillis(20)));
    EXPECT_FALSE(rig.bus.leadStopped());
    EXPECT_GE(other.now(), rig.bus.now());
    EXPECT_NE(replyValue(ask(rig, "R2\r")), -1);
    EXPECT_NE(replyValue(ask(rig, "R1\r")), -1);
}

}  // namespace
