// Bus faults on a velmora node: bytes lost, bytes garbled (cleanly, or so
// that the UART flags them), frames of two hosts colliding or interleaved
// byte by byte, and the line held in break. Whatever happens on the line:
//   - the node does exactly what the bytes that reached it spell, by the
//     frame grammar, and nothing else: a frame that carried a byte the UART
//     flagged (framing error, break, overrun) is dropped whole, so a break or
//     a garbled byte never cuts a number short into a new set-point;
//   - the set-point never exceeds MaxADC and the supply regulates to it;
//   - after the host's resync ("0\r", and at most one watchdog reset for a
//     frame left open) the node answers a clean frame and carries it out.
// The protocol has no checksum: a digit lost or garbled without the UART
// noticing gives another valid number, which the node cannot tell; hosts
// verify a set by reading it back.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "support/bus_fake.h"
#include "support/bus_velmora.h"

namespace {

using sim::fromMillis;

// The command loop's frame grammar over the bytes on the line, for the
// set-point, the output state and the address.
struct LineModel {
    uint32_t address = 1, setting = 0;
    bool output = false;
    float c2v = 0;
    int32_t maxAdc = 0;

    void feed(uint8_t c, bool flagged) {
        const bool digit = c >= '0' && c <= '9';
        if (state_ == Top) {
            // Line ends are passed over; an error they carried counts
            // against the next frame.
            if (c == '\r' || c == '\n') {
                pending_ |= flagged;
                return;
            }
            letter_ = char(c >= 'a' && c <= 'z' ? c - 32 : c);
            number_ = 0;
            error_ = flagged || pending_;
            pending_ = false;
            state_ = letter_ == 'A' ? AddressA : Address;
            return;
        }
        error_ |= flagged;
        if (digit) {
            number_ = number_ * 10 + uint32_t(c - '0');
            return;
        }
        const uint32_t n = number_ & 0xFF, value = number_;
        number_ = 0;
        const State was = state_;
        state_ = Top;
        switch (was) {
            case AddressA:
                if (!error_ && (n == 253 || n == address) && c == ' ') state_ = NewAddress;
                break;
            case NewAddress:
                if (!error_ && n != 0) address = n;
                break;
            case Address:
                if (n != address || error_) break;
                if (letter_ == 'C' || letter_ == 'E' || letter_ == 'U' || letter_ == 'V') state_ = Value;
                if (letter_ == 'G' || letter_ == 'N') output = true;
                if (letter_ == 'F' || letter_ == 'S') output = false;
                break;
            case Value: {
                if (error_ || letter_ == 'C') break;
                uint32_t v = value;
                if (letter_ != 'E') {
                    const float f = float(int32_t(v)) / c2v;
                    v = !(f > 0) ? 0 : f >= 4294967296.0f ? UINT32_MAX : uint32_t(f);
                }
                setting = int32_t(v) < maxAdc ? v : uint32_t(maxAdc);
                break;
            }
            case Top:
                break;
        }
    }

private:
    enum State { Top, AddressA, NewAddress, Address, Value };
    State state_ = Top;
    char letter_ = 0;
    uint32_t number_ = 0;
    bool error_ = false, pending_ = false;
};

class BusFaults : public ::testing::Test {
protected:
    bus_velmora::Rig rig{1};
    sim::Machine& m = rig.node(1).machine;
    size_t mark_ = 0;

    // Starts watching the line; the model starts from the node's state.
    LineModel watch() {
        rig.bus.runFor(fromMillis(5));
        mark_ = rig.bus.line().size();
        LineModel lm;
        lm.address = m.readSym("MyAddress");
        lm.setting = m.readSym("HV_Setting");
        lm.output = rig.node(1).board.outputEnabled();
        lm.c2v = std::bit_cast<float>(m.readSym("Code2Voltage"));
        lm.maxAdc = static_cast<int32_t>(m.readSym("MaxADC"));
        return lm;
    }

    // Feeds the model every byte the line carried since watch(); a byte sent
    // at a rate 2 % or more off the node's comes with a framing error.
    void follow(LineModel& lm) {
        const auto& line = rig.bus.line();
        for (size_t i = mark_; i < line.size(); ++i)
            lm.feed(line[i].value, std::fabs(line[i].baud - 9600.0) > 0.02 * 9600.0);
        mark_ = line.size();
    }

    void expectFollows(LineModel& lm, const std::string& what) {
        rig.bus.runFor(fromMillis(20));
        follow(lm);
        EXPECT_EQ(m.readSym("HV_Setting"), lm.setting) << what;
        EXPECT_LE(static_cast<int32_t>(m.readSym("HV_Setting")), static_cast<int32_t>(m.readSym("MaxADC"))) << what;
        EXPECT_EQ(rig.node(1).board.outputEnabled(), lm.output) << what;
    }

    // The host's way back: it waits out the watchdog (a frame left open
    // costs the node one reset), sends "0\r", and then a clean query and a
    // clean set ('V', so that RAM and store agree again) are carried out.
    void expectRecovers(const std::string& what) {
        const unsigned resets = m.resets();
        rig.bus.runFor(fromMillis(150));
        rig.bus.hostSend("0\r");
        EXPECT_EQ(rig.ask("A253\r"), std::to_string(m.readSym("MyAddress")) + "\r\n") << what;
        EXPECT_LE(m.resets() - resets, 1u) << what;
        LineModel lm = watch();
        const std::string frame = std::string(m.readSym("HV_Setting") == 973 ? "V1 850" : "V1 800") + "\r";
        rig.bus.hostSend("0\r" + frame);
        rig.bus.runFor(fromMillis(30));
        follow(lm);
        EXPECT_EQ(m.readSym("HV_Setting"), lm.setting) << what << ": '" << frame << "' after the fault";
        EXPECT_NE(lm.setting, 0u);
    }
};

TEST_F(BusFaults, LostBytesGiveWhatTheRestSpells) {
    const std::string frame = "V1 1234\rE1 1800\r";
    for (size_t i = 0; i < frame.size(); ++i) {
        std::string lossy = frame;
        lossy.erase(i, 1);
        LineModel lm = watch();
        rig.bus.hostSend(lossy);
        expectFollows(lm, "byte " + std::to_string(i) + " lost");
        expectRecovers("byte " + std::to_string(i) + " lost");
    }
}

TEST_F(BusFaults, GarbledBytesFlaggedByTheUartDropTheirFrame) {
    // Each byte of a set frame sent at a wrong rate (the UART reads something
    // else and flags a framing error), or as a break 60 ms and 200 ms long:
    // the frame is dropped and the set-point stays.
    const std::string frame = "V1 1500\r";
    for (size_t i = 0; i < frame.size(); ++i) {
        for (double baud : {7000.0, 11000.0, 150.0, 50.0}) {
            const std::string what = "byte " + std::to_string(i) + " at " + std::to_string(int(baud)) + " Bd";
            LineModel lm = watch();
            const uint32_t before = m.readSym("HV_Setting");
            rig.bus.hostSend(frame.substr(0, i));
            rig.bus.runUntil([&] { return !rig.bus.hostSending(); }, fromMillis(50));
            rig.bus.setHostBaud(baud);
            rig.bus.hostSend(std::string(1, baud < 1000 ? '\0' : frame[i]));  // a low-rate zero: the line held low
            rig.bus.runUntil([&] { return !rig.bus.hostSending(); }, fromMillis(300));
            rig.bus.setHostBaud(9600);
            rig.bus.hostSend(frame.substr(i + 1));
            expectFollows(lm, what);
            EXPECT_EQ(m.readSym("HV_Setting"), before) << what;
            expectRecovers(what);
        }
    }
}

TEST_F(BusFaults, GarbledBytesTheUartCannotSeeGiveWhatTheySpell) {
    // One or two bits flipped in the address, value and end characters (a
    // garbled letter is another command, as it would be on any line).
    std::mt19937 rng(7);
    const std::string frame = "V1 1500\rE1 900\r";
    for (int k = 0; k < 40; ++k) {
        std::string bad = frame;
        for (int n = 1 + int(rng() % 2); n > 0; --n) {
            size_t at;
            do at = rng() % bad.size(); while (bad[at] == 'V' || bad[at] == 'E');
            bad[at] = char(bad[at] ^ (1u << (rng() % 7)));
        }
        LineModel lm = watch();
        rig.bus.hostSend(bad);
        expectFollows(lm, "\"" + bad + "\"");
        expectRecovers("\"" + bad + "\"");
    }
}

TEST_F(BusFaults, TwoHostsCollidingOrInterleaving) {
    bus_fake::FakeStation other;
    rig.bus.addNode(other);
    // Both start a set frame within one character of each other: the
    // collisions garble bytes the node cannot tell from clean ones, so any
    // set-point may come of it, but never one above MaxADC, and the output
    // stays off.
    for (int offset = 0; offset <= 1200; offset += 100) {
        const std::string what = "second host " + std::to_string(offset) + " us later";
        const sim::Ticks t = rig.bus.now() + fromMillis(1);
        rig.bus.hostSendAt(t, "V1 1500\r");
        other.putsAt(t + sim::fromMicros(offset), "E1 900\r");
        rig.bus.runFor(fromMillis(30));
        EXPECT_LE(static_cast<int32_t>(m.readSym("HV_Setting")), static_cast<int32_t>(m.readSym("MaxADC"))) << what;
        EXPECT_FALSE(rig.node(1).board.outputEnabled()) << what;
        expectRecovers(what);
    }
    EXPECT_GE(rig.bus.collisions().size(), 10u);
    // Taking turns byte by byte, never at once: the node reads one mixed stream.
    LineModel lm = watch();
    sim::Ticks t = rig.bus.now() + fromMillis(1);
    const std::string a = "V1 1500\r", b = "E1 900\r";
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i < a.size()) t = rig.bus.hostSendAt(t, a.substr(i, 1)) + fromMillis(1.2);
        if (i < b.size()) t = other.putcharAt(t, uint8_t(b[i])) + fromMillis(0.2);
    }
    rig.bus.runUntil([&] { return rig.bus.now() > t; }, fromMillis(100));
    expectFollows(lm, "interleaved byte by byte");
    expectRecovers("interleaved byte by byte");
}

TEST_F(BusFaults, SupplyRegulatesToTheSetPointThroughTheFaults) {
    rig.bus.hostSend("N1\rE1 1500\r");
    rig.bus.runFor(fromMillis(600));
    const auto volts = [&] { return rig.node(1).board.outputVolts(rig.bus.now()); };
    EXPECT_NEAR(volts(), 1500 * 0.8182, 25.0);
    // A break in the middle of a new set-point: the frame is dropped, the
    // supply stays where it was.
    rig.bus.hostSend("E1 8");
    rig.bus.runUntil([&] { return !rig.bus.hostSending(); }, fromMillis(50));
    rig.bus.setHostBaud(150);
    rig.bus.hostSend(std::string(1, '\0'));
    rig.bus.runUntil([&] { return !rig.bus.hostSending(); }, fromMillis(300));
    rig.bus.setHostBaud(9600);
    rig.bus.hostSend("00\r");
    rig.bus.runFor(fromMillis(600));
    EXPECT_EQ(m.readSym("HV_Setting"), 1500u);
    EXPECT_NEAR(volts(), 1500 * 0.8182, 25.0);
}

}  // namespace
