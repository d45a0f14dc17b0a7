// The readout unit's scan routines called inside the simulator, on a unit
// that has come up to its command loop, with the readout board around it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/tavlo_unit.h"

namespace {

using namespace tavlo_test;

constexpr uint32_t GP0DAT = 0xFFFFF420;
constexpr uint32_t GP1DAT = 0xFFFFF430;

// Start-up sets the lines up, pauses about 10 ms, then waits for a command.
TEST(TavloStartUp, ComesUpQuietWithItsLinesAtRest) {
    Unit u;
    const sim::Ticks t0 = u.m.now();
    const sim::RunResult r = u.m.runToSymbol("getchar", kBootTime);
    ASSERT_TRUE(r) << r.report;
    const sim::Ticks boot = u.m.now() - t0;
    EXPECT_GE(boot, 409959u);  // delay(10000): 41 x 9999 Timer1 counts
    EXPECT_LT(boot, 409959u + sim::fromMicros(100));
    EXPECT_EQ(u.m.readSym("MyAddress"), 1u);
    EXPECT_EQ(u.m.readSym("IamSelected"), 0u);
    // P4.2 driven high; multiplexer lines driven low; the line at 115200 Bd.
    EXPECT_TRUE(u.board.scanIndicator());
    EXPECT_EQ(u.m.read32(GP0DAT) & 0xFFFF0000, 0xF0000000u);
    EXPECT_EQ(u.m.read32(GP1DAT) & 0xFFFF0000, 0xF0000000u);
    EXPECT_EQ(u.board.addressed(), std::nullopt);
    EXPECT_NEAR(u.m.chip().uart().baud(), 115200.0, 115200.0 * 0.0002);
    EXPECT_TRUE(u.m.chip().reports().empty()) << u.m.chip().reports().front();
}

class TavloReadout : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(u.bootAlone()); }
    void scan(uint32_t chdel, uint32_t averaging) {
        u.m.writeSym("ChDel", chdel);
        u.m.writeSym("Averaging", averaging);
        u.board.clearIndicatorEdges();
        u.m.call("ScanXY", {}, sim::fromSeconds(1));
    }
    uint32_t x(unsigned ch) { return u.m.readSym("xs", 4 * ch); }
    uint32_t y(unsigned ch) { return u.m.readSym("ys", 4 * ch); }
    Unit u;
};

TEST_F(TavloReadout, OnePassVisitsEveryChannelInOrder) {
    u.setCodes(Axis::X, [](unsigned ch) { return 60 * ch + 7; });
    u.setCodes(Axis::Y, [](unsigned ch) { return 4090 - 60 * ch; });
    // Start-up drove the indicator high.
    ASSERT_EQ(u.board.indicatorEdges().size(), 1u);
    EXPECT_TRUE(u.board.indicatorEdges()[0].second);
    u.board.recordSamples(true);
    scan(20, 0);

    // X then Y of each channel, on the channel the board has at that index.
    const auto& s = u.board.samples();
    ASSERT_EQ(s.size(), 2 * kChannels);
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        const auto& sx = s[2 * ch];
        const auto& sy = s[2 * ch + 1];
        EXPECT_EQ(sx.axis, Axis::X) << ch;
        EXPECT_EQ(sy.axis, Axis::Y) << ch;
        EXPECT_EQ(sx.channel, std::optional<unsigned>(ch));
        EXPECT_EQ(sy.channel, std::optional<unsigned>(ch));
        EXPECT_EQ(x(ch), 60 * ch + 7) << ch;
        EXPECT_EQ(y(ch), 4090 - 60 * ch) << ch;
    }
    // The input number changes before the select: once the select has
    // switched, the lines address the channel about to be converted, never
    // the new multiplexer's input of the previous channel.
    const auto& sw = u.board.switches();
    ASSERT_GE(sw.size(), kChannels);
    size_t next = 0;
    for (size_t i = 0; i < sw.size(); ++i) {
        while (next < s.size() && s[next].t < sw[i].t) ++next;
        ASSERT_LT(next, s.size()) << "switch after the last conversion";
        const bool selectChanged = sw[i].enables != (i ? sw[i - 1].enables : 0);
        if (selectChanged) {
            EXPECT_EQ(sw[i].channel, s[next].channel) << "switch " << i;
        }
    }
    // Low for the scan, high again after it.
    const auto& e = u.board.indicatorEdges();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_FALSE(e[0].second);
    EXPECT_TRUE(e[1].second);
    EXPECT_LT(e[0].first, s.front().t);
    EXPECT_GT(e[1].first, s.back().t);
    // The lines keep channel 63's address: P1.7 and input number 13.
    EXPECT_EQ(u.board.addressed(), std::optional<unsigned>(63));
    EXPECT_EQ((u.m.read32(GP1DAT) >> 20) & 0xF, 0x8u);
    EXPECT_EQ((u.m.read32(GP0DAT) >> 20) & 0xF, 0xDu);
    EXPECT_EQ(u.board.contentions(), 0u);
    EXPECT_TRUE(u.m.chip().reports().empty()) << u.m.chip().reports().front();
}

TEST_F(TavloReadout, AveragingThreeIsTheFloorOfTheMeanOfEightSamples) {
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        u.board.setNoisy(Axis::X, ch, codeVolts(1000 + 40 * ch), 0.004);  // about 6.5 codes
        u.board.setNoisy(Axis::Y, ch, codeVolts(3000 - 20 * ch), 0.0015);
    }
    u.board.recordSamples(true);
    scan(40, 3);

    const auto& s = u.board.samples();
    ASSERT_EQ(s.size(), 8 * 2 * kChannels);
    unsigned roundedDown = 0;
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        uint32_t sx = 0, sy = 0;
        for (unsigned pass = 0; pass < 8; ++pass) {
            const auto& a = s[pass * 128 + 2 * ch];
            const auto& b = s[pass * 128 + 2 * ch + 1];
            ASSERT_EQ(a.channel, std::optional<unsigned>(ch));
            sx += adcCode(a.volts);
            sy += adcCode(b.volts);
        }
        EXPECT_EQ(x(ch), sx / 8) << ch;
        EXPECT_EQ(y(ch), sy / 8) << ch;
        roundedDown += (sx % 8 != 0) + (sy % 8 != 0);
    }
    // The noise makes most sums fall between multiples of 8.
    EXPECT_GT(roundedDown, 64u);
}

TEST_F(TavloReadout, TooShortSettlingReadsBetweenChannels) {
    // Neighbouring channels far apart: even ones low, odd ones high.
    auto code = [](unsigned ch) { return ch % 2 ? 3500u : 500u; };
    u.setCodes(Axis::X, code);
    u.setCodes(Axis::Y, code);
    scan(0, 0);
    for (unsigned ch = 1; ch < kChannels; ++ch) {
        // Still on its way from the previous channel's level; Y, taken
        // later, is closer to its own.
        EXPECT_GT(x(ch), 500u) << ch;
        EXPECT_LT(x(ch), 3500u) << ch;
        const auto gapX = std::abs(int(x(ch)) - int(code(ch)));
        const auto gapY = std::abs(int(y(ch)) - int(code(ch)));
        EXPECT_LT(gapY, gapX) << ch;
    }
    // With time to settle every value is its own again.
    scan(30, 0);
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        EXPECT_EQ(x(ch), code(ch)) << ch;
        EXPECT_EQ(y(ch), code(ch)) << ch;
    }
}

TEST_F(TavloReadout, ReadAdcConvertsTheAddressedChannel) {
    u.setCodes(Axis::X, [](unsigned ch) { return 1000 + ch; });
    u.setCodes(Axis::Y, [](unsigned ch) { return 2000 + ch; });
    for (unsigned ch : {5u, 37u, 62u}) {
        // Address the channel by the board's own wiring.
        const auto w = ReadoutBoard::wiring(ch);
        u.m.write32(GP0DAT, (u.m.read32(GP0DAT) & 0xFF0FFFFF) | (w.input << 20));
        u.m.write32(GP1DAT, (u.m.read32(GP1DAT) & 0xFF0FFFFF) | ((1u << w.mux) << 20));
        ASSERT_EQ(u.board.addressed(), std::optional<unsigned>(ch));
        u.m.runFor(sim::fromMicros(50));
        EXPECT_EQ(u.m.call("ReadADC", {0}), 1000 + ch);
        EXPECT_EQ(u.m.call("ReadADC", {1}), 2000 + ch);
    }
}

TEST_F(TavloReadout, DelayCountsFortyOneTimerCountsPerUnit) {
    auto counts = [&](uint32_t units) {
        const sim::Ticks t0 = u.m.now();
        u.m.call("delay", {units});
        return u.m.now() - t0;  // core clock undivided: one tick per count
    };
    const sim::Ticks overhead = counts(0);
    EXPECT_LT(counts(1), overhead + 40);
    const sim::Ticks hundred = counts(100);
    EXPECT_GE(hundred, 41u * 99);
    EXPECT_LT(hundred, 41u * 99 + overhead + 40);
    const sim::Ticks tenThousand = counts(10000);
    EXPECT_GE(tenThousand, 409959u);
    EXPECT_LT(tenThousand, 409959u + overhead + 40);
}

TEST_F(TavloReadout, DumpListsEveryChannel) {
    u.m.writeSym("xs", 1234, 4 * 5);
    u.m.writeSym("ys", 567, 4 * 5);
    u.m.writeSym("xs", 4095, 4 * 63);
    u.m.writeSym("ys", 9, 4 * 63);
    std::string out;
    u.m.chip().uart().onTx = [&](const auto& b) { out += char(b.value); };
    u.m.call("DumpXY", {}, sim::fromMillis(200));
    u.m.runFor(sim::fromMillis(1));  // the last bytes leave after the call
    std::string expected;
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        if (ch == 5)
            expected += "Ch= 5 1234  567\r\n";
        else if (ch == 63)
            expected += "Ch=63 4095    9\r\n";
        else {
            char line[32];
            std::snprintf(line, sizeof line, "Ch=%2u    0    0\r\n", ch);
            expected += line;
        }
    }
    EXPECT_EQ(out, expected);
}

TEST_F(TavloReadout, GetIntParsesASignedDecimal) {
    const uint32_t inStr = u.m.symbol("InStr");
    auto parse = [&](const std::string& text) {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        bytes.push_back(0);
        u.m.writeBytes(inStr, bytes);
        u.m.writeSym("SPtr", inStr);
        const uint32_t v = u.m.call("GetInt");
        return std::make_pair(v, u.m.readSym("SPtr") - inStr);  // value, characters taken
    };
    EXPECT_EQ(parse("42"), std::make_pair(42u, 2u));
    EXPECT_EQ(parse("+17X"), std::make_pair(17u, 3u));
    EXPECT_EQ(parse("-1"), std::make_pair(0xFFFFFFFFu, 2u));
    EXPECT_EQ(parse("0065537"), std::make_pair(65537u, 7u));
    EXPECT_EQ(parse(" 5"), std::make_pair(0u, 0u));
    EXPECT_EQ(parse("-"), std::make_pair(0u, 1u));
    EXPECT_EQ(parse(""), std::make_pair(0u, 0u));
    EXPECT_EQ(parse("4294967297"), std::make_pair(1u, 10u));  // wraps modulo 2^32
    EXPECT_EQ(parse("-2147483648"), std::make_pair(0x80000000u, 11u));
}

}  // namespace
