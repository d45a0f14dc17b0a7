// Measurements as a host sees them: 'M' to scan, 'R' and 'L' to read, with
// the readout board's sources behind the multiplexers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/tavlo_unit.h"

namespace {

using namespace tavlo_test;

// Distinct values everywhere, so a channel read at another's index shows.
unsigned xCode(unsigned ch) { return 37 * ch + 101; }
unsigned yCode(unsigned ch) { return 4000 - 53 * ch; }

TEST(TavloScan, EveryChannelArrivesAtItsOwnIndex) {
    Line l;
    Unit& u = l.unit();
    u.setCodes(Axis::X, xCode);
    u.setCodes(Axis::Y, yCode);
    ASSERT_EQ(l.exchange("S1\r"), "S1\r\n");
    ASSERT_EQ(l.exchange("D100\r"), "D100\r\nD100\r\n");
    l.measure();
    EXPECT_EQ(l.exchange("R"), readReply(xCode, yCode));

    std::string dump = "L\r\n";
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        char line[32];
        std::snprintf(line, sizeof line, "Ch=%2u %4u %4u\r\n", ch, xCode(ch), yCode(ch));
        dump += line;
    }
    EXPECT_EQ(l.exchange("L\r"), dump);
    EXPECT_EQ(u.board.contentions(), 0u) << "two multiplexers were enabled at once";
}

TEST(TavloScan, BeamProfile) {
    Line l;
    Unit& u = l.unit();
    // A beam centred between channels 40 and 41 on X, a narrow one at 9 on Y.
    u.board.setGaussianBeam(Axis::X, 2.0, 40.5, 4.0, 0.1);
    u.board.setGaussianBeam(Axis::Y, 1.5, 9.0, 1.5, 0.05);
    l.exchange("S1\r");
    l.exchange("D60\r");
    l.measure();
    l.exchange("R");
    const std::string r = l.text();
    ASSERT_EQ(r.front(), 'R');
    std::vector<unsigned> x, y;
    for (size_t pos = 1; pos < r.size();) {
        unsigned a = 0, b = 0;
        ASSERT_EQ(std::sscanf(r.c_str() + pos, "%u %u", &a, &b), 2);
        x.push_back(a);
        y.push_back(b);
        pos = r.find('\n', pos) + 1;
    }
    ASSERT_EQ(x.size(), kChannels);
    // Symmetric around 40.5 and peaked there; Y peaks at 9.
    for (unsigned d = 0; d < 20; ++d) EXPECT_NEAR(double(x[40 - d]), double(x[41 + d]), 1.0) << d;
    EXPECT_GT(x[40], x[35]);
    EXPECT_GT(x[35], x[30]);
    for (unsigned ch = 0; ch < kChannels; ++ch)
        if (ch != 9) {
            EXPECT_LT(y[ch], y[9]) << ch;
        }
    EXPECT_NEAR(double(y[9]), (1.55 / kVref) * 4096, 1.0);
}

// The scan's length follows from its waits: per channel a settling delay of
// ChDel units and one of ChDel / 8 (41 Timer1 counts per unit, one unit less
// than asked) and two conversions, plus the instructions around them.
TEST(TavloScan, ScanTakesItsSettlingTimes) {
    Line l;
    ASSERT_EQ(l.exchange("S1\r"), "S1\r\n");
    ASSERT_EQ(l.exchange("D100\r"), "D100\r\nD100\r\n");
    const sim::Ticks conversion = l.unit().m.chip().adc().conversionTime();
    const sim::Ticks waits = 64 * (41 * 99 + 41 * 11 + 2 * conversion);
    // Some 200 instructions per channel at most, at most 3 core cycles each
    // on average (Thumb from flash: one fetch, a transfer or a refill on
    // some), and a core cycle is one tick at CD 0: far less than one more
    // settling delay would add.
    constexpr sim::Ticks kCyclesPerInstructionAtMost = 3;
    const sim::Ticks slack = 64 * 200 * kCyclesPerInstructionAtMost;
    const sim::Ticks one = l.measure();
    EXPECT_GE(one, waits);
    EXPECT_LE(one, waits + slack);

    ASSERT_EQ(l.exchange("A3\r"), "A3\r\nA3\r\n");
    const sim::Ticks eight = l.measure();
    // Eight passes back to back, with no pause between them.
    EXPECT_GE(eight, 8 * waits);
    EXPECT_NEAR(double(eight), 8.0 * double(one), 1600.0);
    std::printf("scan with ChDel 100: %.3f ms at Averaging 0, %.3f ms at Averaging 3\n",
                sim::toMillis(one), sim::toMillis(eight));
    EXPECT_TRUE(l.unit().board.scanIndicator());
}

}  // namespace
