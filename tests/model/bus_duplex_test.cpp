// The full-duplex wiring of the bus (the readout units' line): the host's
// wire to every node, the nodes' transmitters wired-AND on the host's receive
// wire; and a real readout unit on it.
#include <gtest/gtest.h>

#include <memory>

#include "board/bus.h"
#include "board/readout_board.h"
#include "periph/uart.h"
#include "support/bus_fake.h"

using namespace sim;
using bus_fake::FakeStation;

namespace {

constexpr double kBaud = 115200;
const Ticks kChar = Ticks(std::llround(10.0 * double(kTicksPerSecond) / kBaud));

// Fakes whose transmitters drive all the time, as a unit without a
// transceiver does: switched on before they join the line.
struct Units {
    Bus bus{kBaud, Wiring::FullDuplex};
    FakeStation n[3] = {FakeStation(kBaud), FakeStation(kBaud), FakeStation(kBaud)};
    Units() {
        for (auto& s : n) {
            s.driverAt(0, true);
            s.runTo(0);
            bus.addNode(s);
        }
    }
};

}  // namespace

TEST(FullDuplexBus, HostToAllNodesToHostAlone) {
    Units t;
    EXPECT_EQ(t.bus.charTime(), kChar);
    EXPECT_EQ(t.bus.hostSend("S2\r"), 3 * kChar);
    // A node answers while the host is still sending: the wires are separate.
    t.n[1].sendAt(kChar / 2, 'x');
    ASSERT_TRUE(t.bus.runFor(fromMillis(1)));
    for (auto& s : t.n) {
        ASSERT_EQ(s.text(), "S2\r");  // nobody hears a node, itself included
        for (unsigned k = 0; k < 3; ++k) EXPECT_EQ(s.rx[k].at, (k + 1) * kChar);
    }
    ASSERT_EQ(t.bus.hostReceived().size(), 1u);
    const LineByte& x = t.bus.hostReceived()[0];
    EXPECT_EQ(x.value, 'x');
    EXPECT_EQ(x.start, kChar / 2);
    EXPECT_EQ(x.drivers, 1u << 1);  // only the sender, though all drivers are on
    EXPECT_FALSE(x.collision);
    EXPECT_TRUE(t.bus.collisions().empty());
    EXPECT_TRUE(t.bus.txFaults().empty());
    // The host's bytes are on record too, as they reached the nodes.
    ASSERT_EQ(t.bus.line().size(), 4u);
    EXPECT_EQ(t.bus.line()[3].end, 3 * kChar);
    EXPECT_TRUE(t.bus.line()[3].fromHost());

    // Two nodes at once pull the host's wire low together: the host gets a
    // garbled byte, flagged, and the collision names both.
    const Ticks at = fromMillis(2);
    t.n[0].sendAt(at, 0x0F);
    t.n[2].sendAt(at + 2 * kChar / 10, 0xF0);
    ASSERT_TRUE(t.bus.runTo(at + fromMillis(1)));
    ASSERT_EQ(t.bus.collisions().size(), 1u);
    EXPECT_EQ(t.bus.collisions()[0].drivers, 0b101u);
    ASSERT_GE(t.bus.hostReceived().size(), 2u);
    const LineByte& g = t.bus.hostReceived()[1];
    EXPECT_TRUE(g.collision);
    EXPECT_NE(g.value, 0x0F);
    EXPECT_NE(g.value, 0xF0);
    for (auto& s : t.n) EXPECT_EQ(s.text(), "S2\r");
}

TEST(FullDuplexBus, DeliveryDoesNotDependOnSliceLength) {
    auto run = [](Ticks slice) {
        auto t = std::make_unique<Units>();
        t->bus.setMaxSlice(slice);
        t->bus.hostSend("abc");
        t->n[2].sendAt(fromMicros(30), 'z');
        t->bus.runFor(fromMillis(2));
        return t;
    };
    auto a = run(7), b = run(fromMillis(1));
    for (int n = 0; n < 3; ++n) {
        ASSERT_EQ(b->n[n].rx.size(), 3u);
        for (size_t k = 0; k < 3; ++k) EXPECT_EQ(b->n[n].rx[k].at, a->n[n].rx[k].at);
    }
    ASSERT_EQ(b->bus.hostReceived().size(), 1u);
    EXPECT_EQ(b->bus.hostReceived()[0].start, a->bus.hostReceived()[0].start);
}

// A real unit, slices far longer than a character: every byte is read as it
// arrives (a polling loop is never fast-forwarded past a byte that came in),
// and the reply follows the command's last byte at once.
TEST(FullDuplexBus, ReadoutUnitAnswersAsSoonAsItsLineEnds) {
    ReadoutNode unit;
    unit.machine.loadElf(TAVLO_ELF);
    unit.machine.powerOn();
    Bus bus(kBaud, Wiring::FullDuplex);
    bus.setMaxSlice(fromMillis(5));
    bus.addNode(unit.station);
    ASSERT_TRUE(bus.runFor(fromMillis(12)));
    const Ticks end = bus.hostSend("S1\r");
    EXPECT_EQ(bus.runUntilReply(fromMillis(20)), "S1\r\n");
    EXPECT_EQ(unit.machine.chip().uart().overruns(), 0u);
    const Ticks latency = bus.hostReceived().front().start - end;
    EXPECT_LT(latency, fromMicros(50)) << toMicros(latency) << " us";
    // Selected, the unit echoes each byte as it comes, while the host sends.
    bus.clearHostReceived();
    const Ticks start = bus.now();
    bus.hostSend("V\r");
    EXPECT_EQ(bus.runUntilReply(fromMillis(20)), "V\r\nV3\r\n");
    EXPECT_LT(bus.hostReceived().front().start, start + kChar + fromMicros(50));
    EXPECT_TRUE(bus.collisions().empty());
}
