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
    EXPECT_EQ(ask(rig, "K1\r"), "");
    auto& node = rig.node(1);
    // Boot switches the output on from the stored flags, and the regulator
    // brings it back to the set-point without a command.
    rig.bus.runFor(fromMillis(800));
    EXPECT_TRUE(node.board.outputEnabled());
    EXPECT_NEAR(replyValue(ask(rig, "R1\r")), 2200, 3);
}

}  // namespace
