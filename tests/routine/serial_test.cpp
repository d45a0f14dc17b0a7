// The serial driver of both images, called inside each image: line rate on
// the wire, the bus driver enable around each velmora byte, tavlo's
// double-buffered transmit, and the receive side.
#include <gtest/gtest.h>

#include "aduc702x.h"
#include "support/node.h"

using namespace nodetest;
using sim::fromMicros;
using sim::fromMillis;

namespace {

constexpr unsigned kDriverEnableBit = 7;  // P0.7

// Start-up, then the driver's own set-up as boot does it (velmora has its
// bus driver off and P0.7 an output before the line comes up).
void setUpLine(Node& n, bool velmora) {
    n.startUp();
    if (velmora) n.setReg(GP0DAT.addr, 0x80000000);
    n.m.call("InitSerial");
}

TEST(VelmoraSerial, EveryByteHasItsOwnDriverPulseAtNineThousandSixHundredBaud) {
    Node n(VELMORA_ELF);
    setUpLine(n, true);
    // P0.0 an output driven high: putchar must leave it alone.
    n.setReg(GP0DAT.addr, 0x81010000);
    n.board.edges.clear();

    EXPECT_EQ(n.m.call("putchar", {0x141}), 0x141u);  // returns its argument
    const Ticks returned = n.m.now();
    EXPECT_EQ(n.m.call("putchar", {'B'}), uint32_t('B'));

    ASSERT_EQ(n.tx.size(), 2u);
    EXPECT_EQ(n.tx[0].value, 0x41);  // the low 8 bits
    EXPECT_EQ(n.tx[1].value, 'B');
    const auto rises = n.board.transitions(0, kDriverEnableBit, true);
    const auto falls = n.board.transitions(0, kDriverEnableBit, false);
    ASSERT_EQ(rises.size(), 2u);
    ASSERT_EQ(falls.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& b = n.tx[i];
        // On before the start bit, off only once the stop bit has left, and
        // not much later: the wait ends on "transmitter empty".
        EXPECT_LE(rises[i], b.start);
        EXPECT_GE(falls[i], b.end);
        EXPECT_LT(falls[i] - b.end, fromMicros(20));
        EXPECT_NEAR(baudOf(b), 9600.0, 0.5);
        EXPECT_EQ(b.baud, 9600u);
    }
    // The driver is released between the bytes and putchar returns only once
    // its byte is completely on the wire.
    EXPECT_LT(falls[0], rises[1]);
    EXPECT_GE(returned, n.tx[0].end);
    EXPECT_EQ(n.reg(GP0DAT.addr) & 0xFFFF0000, 0x81010000u);
}

TEST(TavloSerial, KeepsTheTransmitterFedAtOneHundredFifteenKiloBaud) {
    Node n(TAVLO_ELF);
    setUpLine(n, false);

    std::vector<Ticks> returned;
    for (char c : std::string("xyz")) {
        EXPECT_EQ(n.m.call("putchar", {uint32_t(c)}), uint32_t(c));
        returned.push_back(n.m.now());
    }
    n.drain();

    // The third byte had to wait for room: written at once it would have
    // replaced the second in the holding register.
    ASSERT_EQ(n.take(), "xyz");
    EXPECT_LT(returned[0], n.tx[0].end);  // returns while its byte is in flight
    EXPECT_GE(returned[2], n.tx[1].start);
    EXPECT_LT(returned[2] - n.tx[1].start, fromMicros(5));
}

TEST(TavloSerial, LineRateAndBackToBackBytes) {
    Node n(TAVLO_ELF);
    setUpLine(n, false);
    n.m.call("putchar", {'U'});
    n.m.call("putchar", {'U'});
    n.drain();
    ASSERT_EQ(n.tx.size(), 2u);
    EXPECT_NEAR(baudOf(n.tx[0]), 115213.0, 12.0);  // 0.011 % fast of 115200
    EXPECT_EQ(n.tx[1].start, n.tx[0].end);        // no gap between bytes
}

// The receive side is the same in both images; `received` is velmora's.
void checkReceive(Node& n, bool velmora) {
    auto& uart = n.m.chip().uart();
    uart.receive(0xE9, velmora ? 9600 : 115200);
    n.m.runFor(fromMicros(10));
    ASSERT_TRUE(uart.rxReady());

    // Sending never takes the waiting byte.
    n.m.call("putchar", {'a'});
    n.poke(kScratch, std::string("bc", 3));
    EXPECT_EQ(n.m.call("write", {0, kScratch, 3}), 2u);
    EXPECT_TRUE(uart.rxReady());
    if (velmora) {
        EXPECT_EQ(n.m.call("received"), 1u);
        EXPECT_EQ(n.m.call("received"), 1u);  // only looks
    }
    EXPECT_EQ(n.m.call("getchar"), 233u);  // not sign-extended
    EXPECT_FALSE(uart.rxReady());
    if (velmora) {
        EXPECT_EQ(n.m.call("received"), 0u);
    }
}

TEST(VelmoraSerial, ReceiveSide) {
    Node n(VELMORA_ELF);
    setUpLine(n, true);
    checkReceive(n, true);
}

TEST(TavloSerial, ReceiveSideAndNoBusExtras) {
    Node n(TAVLO_ELF);
    setUpLine(n, false);
    checkReceive(n, false);
    // Only the bus node has the non-blocking test and the plain string writer.
    EXPECT_FALSE(n.m.findSymbol("received"));
    EXPECT_FALSE(n.m.findSymbol("puts"));
}

// write stops at len or at a NUL, whichever comes first; puts adds nothing.
void checkWriters(Node& n, bool velmora) {
    struct Case {
        std::string bytes;
        int32_t len;
        std::string sent;
    };
    const Case cases[] = {
        {std::string("AB\0C", 4), 4, "AB"},
        {"ABC", 2, "AB"},
        {"ABC", 0, ""},
        {"ABC", -1, ""},
        {"A\nB", 3, "A\nB"},  // bytes pass unchanged: no CR added
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes + " len " + std::to_string(c.len));
        n.tx.clear();
        n.poke(kScratch, c.bytes);
        EXPECT_EQ(n.m.call("write", {7, kScratch, uint32_t(c.len)}), c.sent.size());
        n.drain();
        EXPECT_EQ(n.text(), c.sent);
    }
    if (velmora) {
        n.tx.clear();
        n.poke(kScratch, std::string("X\n", 3));
        EXPECT_EQ(n.m.call("puts", {kScratch}), 1u);
        EXPECT_EQ(n.text(), "X\n");
    }
}

TEST(VelmoraSerial, Writers) {
    Node n(VELMORA_ELF);
    setUpLine(n, true);
    checkWriters(n, true);
}

TEST(TavloSerial, Writers) {
    Node n(TAVLO_ELF);
    setUpLine(n, false);
    checkWriters(n, false);
}

TEST(Serial, SetUpOwnsTheWholePortOneFunctionRegister) {
    for (const char* elf : {VELMORA_ELF, TAVLO_ELF}) {
        SCOPED_TRACE(elf);
        Node n(elf);
        n.startUp();
        n.setReg(GP1CON.addr, 0x33333333);
        n.m.call("InitSerial");
        EXPECT_EQ(n.reg(GP1CON.addr), 0x11u);
    }
}

}  // namespace
