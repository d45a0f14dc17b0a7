// The multi-drop bus with fake stations: line decoding, driver enables,
// collisions, byte timing and the host end.
#include <gtest/gtest.h>

#include <memory>

#include "aduc702x.h"
#include "board/bus.h"
#include "board/velmora_board.h"
#include "chip.h"
#include "periph/blocks.h"
#include "support/bus_fake.h"

using namespace sim;
using bus_fake::FakeStation;

namespace {

constexpr Ticks kChar = 43520;  // 10 bits at 9600 Bd: 4352 ticks a bit
constexpr Ticks kBit = kChar / 10;

struct ThreeNodes {
    Bus bus;
    FakeStation n[3];
    ThreeNodes() {
        for (auto& s : n) bus.addNode(s);
    }
};

}  // namespace

TEST(Bus, FrameTimingAndWhoHearsWhat) {
    ThreeNodes t;
    EXPECT_EQ(t.bus.charTime(), kChar);
    EXPECT_EQ(t.bus.hostSend("H1\r"), 3 * kChar);
    ASSERT_TRUE(t.bus.runFor(fromMillis(5)));

    // The host's frame: back to back, each byte at a receiver at its stop bit's end.
    for (auto& s : t.n) {
        ASSERT_EQ(s.text(), "H1\r");
        for (unsigned k = 0; k < 3; ++k) {
            EXPECT_EQ(s.rx[k].at, (k + 1) * kChar);
            EXPECT_DOUBLE_EQ(s.rx[k].baud, 9600);
        }
    }
    ASSERT_EQ(t.bus.line().size(), 3u);
    EXPECT_EQ(t.bus.line()[1].start, kChar);
    EXPECT_TRUE(t.bus.line()[2].fromHost());
    EXPECT_NEAR(toMillis(t.bus.line()[2].end), 3.125, 1e-3);
    EXPECT_TRUE(t.bus.hostReceived().empty());  // the host does not hear itself

    // A node's reply reaches the other nodes and the host; its own receiver
    // is off while it drives. A station whose receiver stays on hears itself.
    const Ticks at = fromMillis(6);
    t.n[2].hearsOwn = true;
    t.n[1].putsAt(at, "ok");
    ASSERT_TRUE(t.bus.runFor(fromMillis(5)));
    EXPECT_EQ(t.n[0].text(), "H1\rok");
    EXPECT_EQ(t.n[1].text(), "H1\r");
    EXPECT_EQ(t.n[2].text(), "H1\rok");
    EXPECT_EQ(t.bus.hostText(), "ok");
    t.n[2].putsAt(t.bus.now() + fromMillis(1), "!");
    ASSERT_TRUE(t.bus.runFor(fromMillis(3)));
    EXPECT_EQ(t.n[2].text(), "H1\rok!");
    EXPECT_EQ(t.n[1].text(), "H1\r!");
    const LineByte& o = t.bus.hostReceived()[0];
    EXPECT_EQ(o.start, at + FakeStation::kSetup);
    EXPECT_EQ(o.end, o.start + kChar);
    EXPECT_EQ(o.drivers, 1u << 1);
    EXPECT_EQ(t.n[0].rx[3].at, o.end);
    EXPECT_TRUE(t.bus.collisions().empty());
    EXPECT_TRUE(t.bus.txFaults().empty());
    EXPECT_TRUE(t.bus.reports().empty());

    // Another rate: the receivers get the sender's rate and the bytes take longer.
    t.bus.setHostBaud(4800);
    const Ticks start = t.bus.now();
    t.bus.hostSend("Z");
    ASSERT_TRUE(t.bus.runFor(fromMillis(5)));
    EXPECT_EQ(t.n[2].rx.back().value, 'Z');
    EXPECT_EQ(t.n[2].rx.back().at, start + 2 * kChar);
    EXPECT_DOUBLE_EQ(t.n[2].rx.back().baud, 4800);

    // A bus joined by a station that has run on its own starts where it is.
    FakeStation ahead;
    ahead.runTo(fromMillis(2));
    Bus late;
    late.addNode(ahead);
    EXPECT_EQ(late.hostSend("x"), fromMillis(2) + kChar);
    ASSERT_TRUE(late.runFor(fromMillis(2)));
    EXPECT_EQ(ahead.text(), "x");
}

TEST(Bus, DriverEnableDecidesWhatReachesTheLine) {
    ThreeNodes t;
    std::vector<std::string> reports;
    t.bus.onReport = [&](const std::string& r) { reports.push_back(r); };

    // Driver off: the byte leaves the UART but never the transceiver.
    t.n[0].sendAt(fromMillis(1), 'A');
    ASSERT_TRUE(t.bus.runFor(fromMillis(4)));
    for (auto& s : t.n) EXPECT_TRUE(s.rx.empty());
    EXPECT_TRUE(t.bus.line().empty());
    ASSERT_EQ(t.bus.txFaults().size(), 1u);
    EXPECT_TRUE(t.bus.txFaults()[0].offAtStart);
    EXPECT_EQ(t.bus.txFaults()[0].value, 'A');
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("driver off"), std::string::npos);

    // Driver dropped after three data bits: the rest reads as idle ones. The
    // sender's receiver was off at the start bit: it gets nothing.
    const Ticks s = fromMillis(5);
    t.n[2].driverAt(s - 10, true);
    t.n[2].sendAt(s, 0x00);
    t.n[2].driverAt(s + 4 * kBit, false);
    ASSERT_TRUE(t.bus.runFor(fromMillis(4)));
    for (auto& st : {&t.n[0], &t.n[1]}) {
        ASSERT_EQ(st->rx.size(), 1u);
        EXPECT_EQ(st->rx[0].value, 0xF8);
    }
    EXPECT_TRUE(t.n[2].rx.empty());
    // A receiver switched off part-way (its driver on, nothing sent): the
    // bits it missed read as idle ones. The idle level it drives meanwhile
    // is a collision with the sender.
    t.n[0].putcharAt(fromMillis(10), 0x00);
    t.n[1].driverAt(fromMillis(10) + FakeStation::kSetup + 5 * kBit, true);
    t.n[1].driverAt(fromMillis(10) + FakeStation::kSetup + 7 * kBit, false);
    ASSERT_TRUE(t.bus.runFor(fromMillis(4)));
    ASSERT_EQ(t.n[1].rx.size(), 2u);
    EXPECT_EQ(t.n[1].rx[1].value, 0x30);  // data bits 4 and 5 sampled while off
    ASSERT_EQ(t.n[2].rx.size(), 1u);
    EXPECT_EQ(t.n[2].rx[0].value, 0x30);  // the line itself: the collision reads idle
    EXPECT_EQ(t.bus.collisions().size(), 1u);
    EXPECT_EQ(t.bus.txFaults().size(), 2u);
    reports.clear();
    ASSERT_EQ(t.bus.txFaults().size(), 2u);
    EXPECT_FALSE(t.bus.txFaults()[1].offAtStart);
    EXPECT_EQ(t.bus.txFaults()[1].node, 2u);

    // Driver on in good time and off after the stop bit: clean.
    t.n[1].putcharAt(t.bus.now() + fromMillis(1), 0x55);
    ASSERT_TRUE(t.bus.runFor(fromMillis(4)));
    EXPECT_EQ(t.n[0].rx.back().value, 0x55);
    EXPECT_EQ(t.bus.txFaults().size(), 2u);
    EXPECT_EQ(t.bus.collisions().size(), 1u);
}

TEST(Bus, CollisionsCorruptAndAreReported) {
    ThreeNodes t;
    std::vector<std::string> reports;
    t.bus.onReport = [&](const std::string& r) { reports.push_back(r); };

    // Two replies at once, three bits apart.
    t.n[0].putsAt(fromMillis(1), "17\r\n");
    t.n[1].putsAt(fromMillis(1) + 3 * kBit, "42\r\n");
    ASSERT_TRUE(t.bus.runFor(fromMillis(10)));
    ASSERT_FALSE(t.bus.collisions().empty());
    const Collision& c = t.bus.collisions()[0];
    EXPECT_EQ(c.drivers, 0b11u);
    EXPECT_GE(c.start, fromMillis(1));
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports[0].find("collision"), std::string::npos);
    EXPECT_NE(reports[0].find("node 0, node 1"), std::string::npos);
    const std::string heard = t.n[2].text();
    EXPECT_NE(heard, "17\r\n");
    EXPECT_NE(heard, "42\r\n");
    ASSERT_FALSE(t.bus.line().empty());
    for (const LineByte& b : t.bus.line()) EXPECT_TRUE(b.collision);
    EXPECT_EQ(t.bus.hostText(), heard);

    // A node whose driver stays on jams the host's frame, though it sends nothing.
    ThreeNodes j;
    j.n[2].driverAt(0, true);
    j.bus.hostSendAt(fromMillis(1), "H1\r");
    ASSERT_TRUE(j.bus.runFor(fromMillis(6)));
    EXPECT_NE(j.n[0].text(), "H1\r");
    ASSERT_EQ(j.bus.collisions().size(), 1u);
    EXPECT_EQ(j.bus.collisions()[0].drivers, (1u << 2) | (1u << kHostBit));
    EXPECT_EQ(j.bus.collisions()[0].start, fromMillis(1));
    EXPECT_EQ(j.bus.collisions()[0].end, fromMillis(1) + 3 * kChar);

    // Identical bytes in step do not fight, but two drivers are still a collision.
    ThreeNodes same;
    same.n[0].putcharAt(fromMillis(1), 'A');
    same.n[1].putcharAt(fromMillis(1), 'A');
    ASSERT_TRUE(same.bus.runFor(fromMillis(3)));
    EXPECT_EQ(same.n[2].text(), "A");
    ASSERT_EQ(same.bus.line().size(), 1u);
    EXPECT_TRUE(same.bus.line()[0].collision);
    EXPECT_EQ(same.bus.line()[0].drivers, 0b11u);
}

// A stop bit read as space is a framing error at every receiver; the line
// held at space for a whole frame is a break, after which the receivers
// wait for the line to return to mark before the next start bit.
TEST(Bus, StopBitAtSpaceIsAFramingErrorAndAHeldLineABreak) {
    ThreeNodes t;
    const Ticks breakEnd = t.bus.hostBreak(3 * kChar);
    EXPECT_EQ(breakEnd, 3 * kChar);
    t.bus.hostSend("H1\r");
    ASSERT_TRUE(t.bus.runFor(fromMillis(10)));
    for (const FakeStation& s : t.n) {
        ASSERT_EQ(s.rx.size(), 4u);
        EXPECT_EQ(s.rx[0].value, 0x00);
        EXPECT_EQ(s.rx[0].at, kChar) << "a break is one byte, at the end of the first frame";
        ASSERT_EQ(s.errors.size(), 1u);
        EXPECT_EQ(s.errors[0].index, 0u);
        EXPECT_TRUE(s.errors[0].isBreak);
        EXPECT_EQ(s.text().substr(1), "H1\r") << "the next start bit comes after the line went back to mark";
    }
    ASSERT_EQ(t.bus.line().size(), 4u);
    EXPECT_TRUE(t.bus.line()[0].isBreak);
    EXPECT_FALSE(t.bus.line()[1].framingError);

    // Node 0 lets go of the line during its stop bit while node 1 starts a
    // byte: the stop bit reads as space.
    ThreeNodes f;
    const Ticks t0 = fromMillis(1);
    f.n[0].driverAt(t0, true);
    f.n[0].sendAt(t0, 'A');
    f.n[0].driverAt(t0 + 9 * kBit, false);
    f.n[1].driverAt(t0 + 9 * kBit, true);
    f.n[1].sendAt(t0 + 9 * kBit, 0xFF);
    f.n[1].driverAt(t0 + 19 * kBit + 100, false);
    ASSERT_TRUE(f.bus.runFor(fromMillis(5)));
    ASSERT_GE(f.n[2].rx.size(), 1u);
    EXPECT_EQ(f.n[2].rx[0].value, 'A');
    ASSERT_GE(f.n[2].errors.size(), 1u);
    EXPECT_EQ(f.n[2].errors[0].index, 0u);
    EXPECT_FALSE(f.n[2].errors[0].isBreak);
    EXPECT_TRUE(f.bus.line()[0].framingError);
}

// A node that answers frames ending in its address digit and a carriage
// return, as an addressed node would; it never takes its own reply for a frame.
static void answerWith(FakeStation& s, char address, std::string reply, Ticks delay) {
    auto last = std::make_shared<uint8_t>(0);
    auto busyUntil = std::make_shared<Ticks>(0);
    s.onByte = [&s, address, reply, delay, last, busyUntil](uint8_t b) {
        if (b == '\r' && *last == address && s.now() > *busyUntil) *busyUntil = s.putsAt(s.now() + delay, reply);
        *last = b;
    };
}

TEST(Bus, HostWaitsForReplyUntilTheLineIsIdle) {
    ThreeNodes t;
    answerWith(t.n[1], '1', "e=42\r\n", fromMicros(500));
    t.bus.hostSend("H1\r");
    EXPECT_EQ(t.bus.runUntilReply(fromMillis(100)), "e=42\r\n");
    const auto& rx = t.bus.hostReceived();
    ASSERT_EQ(rx.size(), 6u);
    // The reply starts after the frame's last byte, the node's delay and its driver set-up.
    EXPECT_EQ(rx[0].start, 3 * kChar + fromMicros(500) + FakeStation::kSetup);
    EXPECT_EQ(t.bus.now(), rx.back().end + 2 * kChar);
    for (size_t k = 1; k < rx.size(); ++k) EXPECT_GT(rx[k].start, rx[k - 1].end);

    // No one answers: nothing, after the whole timeout.
    const Ticks before = t.bus.now();
    t.bus.hostSend("H7\r");
    EXPECT_EQ(t.bus.runUntilReply(fromMillis(30)), "");
    EXPECT_EQ(t.bus.now(), before + fromMillis(30));

    // Every node hears the other's reply too, and answers are not mixed up.
    EXPECT_EQ(t.n[0].text(), "H1\re=42\r\nH7\r");
}

// Slices of a few ticks, of a quarter character and of nearly one, and the
// default (as long as the lookahead allows: one character of the fastest
// station, here one sending at twice the bus rate) give the same line.
TEST(Bus, LockStepResultDoesNotDependOnSliceLength) {
    struct MixedRates {
        Bus bus;
        FakeStation n[3]{FakeStation(9600), FakeStation(19200), FakeStation(9600)};
        MixedRates() {
            for (auto& s : n) bus.addNode(s);
        }
    };
    auto scenario = [](Ticks slice) {
        auto t = std::make_unique<MixedRates>();
        if (slice) t->bus.setMaxSlice(slice);
        answerWith(t->n[0], 'X', "A1\r\n", fromMicros(300));
        answerWith(t->n[2], 'X', "B22\r\n", fromMicros(2900));  // overlaps the first reply
        t->bus.hostSend("X\r");
        t->n[1].sendAt(fromMillis(20), 'q');  // driver off
        t->n[1].putsAt(fromMillis(25), "fast");
        t->bus.runFor(fromMillis(40));
        return t;
    };
    auto a = scenario(fromMicros(260)), b = scenario(7), c = scenario(fromMicros(1000)), d = scenario(0);
    ASSERT_GT(a->bus.line().size(), 5u);
    EXPECT_FALSE(a->bus.collisions().empty());
    EXPECT_EQ(a->n[0].text().substr(a->n[0].text().size() - 4), "fast");
    EXPECT_EQ(d->bus.lookahead(), kChar / 2);
    for (auto* other : {b.get(), c.get(), d.get()}) {
        ASSERT_EQ(other->bus.line().size(), a->bus.line().size());
        for (size_t k = 0; k < a->bus.line().size(); ++k) {
            const LineByte &x = a->bus.line()[k], &y = other->bus.line()[k];
            EXPECT_EQ(x.value, y.value);
            EXPECT_EQ(x.start, y.start);
            EXPECT_EQ(x.end, y.end);
            EXPECT_EQ(x.drivers, y.drivers);
            EXPECT_EQ(x.collision, y.collision);
        }
        EXPECT_EQ(other->bus.reports(), a->bus.reports());
        for (int n = 0; n < 3; ++n) {
            ASSERT_EQ(other->n[n].rx.size(), a->n[n].rx.size());
            for (size_t k = 0; k < a->n[n].rx.size(); ++k) EXPECT_EQ(other->n[n].rx[k].at, a->n[n].rx[k].at);
        }
    }
}

// Real chip models (no CPU) behind their boards' transceivers: the test plays
// the firmware, writing the registers the way the serial driver does.
TEST(Bus, ChipStationsSpeakThroughTheirTransceivers) {
    VelmoraBoard boardA, boardB;
    Chip a, b;
    a.setBoard(&boardA);
    b.setBoard(&boardB);
    ChipNode stationA(a, boardA), stationB(b, boardB);
    Bus bus;
    bus.addNode(stationA);
    bus.addNode(stationB);
    for (Chip* c : {&a, &b}) {
        c->write(GP0DAT.addr, 0x80000000);  // P0.7 output, low
        c->write(GP1CON.addr, 0x11);
        c->write(COMCON0.addr, 0x80);
        c->write(COMDIV0.addr, 17);
        c->write(COMDIV1.addr, 0);
        c->write(COMCON0.addr, 3);
    }
    auto putchar = [&](Chip& c, uint8_t v) {
        c.write(GP0DAT.addr, c.read(GP0DAT.addr) | 0x00800000);
        c.write(COMTX.addr, v);
        ASSERT_TRUE(bus.runUntil([&] { return (c.read(COMSTA0.addr) & COMSTA0_TEMT) != 0; }, fromMillis(2)));
        c.write(GP0DAT.addr, c.read(GP0DAT.addr) & ~0x00800000u);
    };
    auto received = [&](Chip& c) -> int {
        if (!(c.read(COMSTA0.addr) & COMSTA0_DR)) return -1;
        return int(c.read(COMRX.addr) & 0xFF);
    };

    ASSERT_TRUE(bus.runFor(fromMillis(1)));
    const Ticks sent = bus.now();
    putchar(a, 'A');
    EXPECT_EQ(bus.now(), sent + kChar);  // the byte took one character at 9600 Bd
    EXPECT_EQ(received(b), 'A');
    EXPECT_EQ(received(a), -1);  // receive enable tied to P0.7: not its own bytes
    ASSERT_EQ(bus.hostReceived().size(), 1u);
    EXPECT_EQ(bus.hostReceived()[0].start, sent);
    EXPECT_EQ(bus.hostReceived()[0].end, sent + kChar);
    EXPECT_TRUE(bus.txFaults().empty());

    // The other wiring, receiver always on: the node hears itself.
    EXPECT_EQ(boardA.applyParam("bus.rx_always_on=1"), "");
    putchar(a, 'a');
    EXPECT_EQ(received(a), 'a');
    EXPECT_EQ(received(b), 'a');

    // P0.7 left as an input: the pull-down keeps the driver off.
    ASSERT_TRUE(bus.runFor(fromMillis(1)));
    a.write(GP0DAT.addr, 0x00000000);
    putchar(a, 'B');
    ASSERT_TRUE(bus.runFor(fromMillis(1)));
    EXPECT_EQ(received(b), -1);
    ASSERT_EQ(bus.txFaults().size(), 1u);
    EXPECT_EQ(bus.txFaults()[0].value, 'B');

    // A host frame, read byte by byte as the command loop would.
    const Ticks frame = bus.now();
    bus.hostSend("H1\r");
    std::string got;
    std::vector<Ticks> at;
    while (got.size() < 3) {
        ASSERT_TRUE(bus.runUntil([&] { return b.uart().rxReady(); }, fromMillis(5)));
        at.push_back(bus.now());
        got += char(received(b));
    }
    EXPECT_EQ(got, "H1\r");
    EXPECT_EQ(at, (std::vector<Ticks>{frame + kChar, frame + 2 * kChar, frame + 3 * kChar}));
    EXPECT_EQ(b.uart().overruns(), 0u);
    EXPECT_EQ(a.uart().overruns(), 2u);  // nobody read node A's receiver

    // A break from the host: the break flag and one 0x00, no framing error.
    bus.hostBreak(2 * kChar);
    ASSERT_TRUE(bus.runUntil([&] { return b.uart().rxReady(); }, fromMillis(5)));
    const uint32_t status = b.read(COMSTA0.addr);
    EXPECT_EQ(status & (COMSTA0_BI | COMSTA0_FE), COMSTA0_BI);
    EXPECT_EQ(received(b), 0x00);
}
