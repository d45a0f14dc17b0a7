// The busy-wait delay of both images, measured in Timer1 counts, the clock
// it watches: plain waits, the waits that cross the half-way point or the
// wrap of the count, and no wait at all for 0 and 1.
#include <gtest/gtest.h>

#include "aduc702x.h"
#include "support/node.h"

using namespace nodetest;

namespace {

struct Image {
    const char* elf;
    uint32_t k;  // Timer1 counts per unit
};
const Image kImages[] = {{VELMORA_ELF, 5}, {TAVLO_ELF, 41}};

// The call itself and one final pass of the polling loop.
constexpr uint32_t kSlack = 48;

class Delay : public ::testing::TestWithParam<Image> {
protected:
    void SetUp() override {
        n.startUp();
        if (!n.m.findSymbol("delay")) GTEST_FAIL() << "no delay in " << GetParam().elf;
        n.setReg(T1CON.addr, 0x180);
    }
    // Counts that pass during delay(duration) started with T1VAL at `from`.
    uint32_t counts(uint32_t duration, uint32_t from, uint32_t* end = nullptr) {
        n.m.chip().timer1().setValue(from);
        const uint32_t before = n.reg(T1VAL.addr);
        n.m.call("delay", {duration});
        const uint32_t after = n.reg(T1VAL.addr);
        if (end) *end = after;
        return after - before;
    }
    uint32_t ticks(uint32_t duration) const { return GetParam().k * (duration - 1); }

    Node n{GetParam().elf};
};

TEST_P(Delay, TenThousandUnits) {
    const uint32_t waited = counts(10000, 0x1000);
    const uint32_t expected = GetParam().k == 5 ? 49995u : 409959u;
    EXPECT_EQ(ticks(10000), expected);
    EXPECT_GE(waited, expected);
    EXPECT_LT(waited, expected + kSlack);
    std::printf("%s: delay(10000) took %u Timer1 counts (%.3f ms)\n", GetParam().elf, waited,
                waited * 1e3 * (1u << n.m.chip().coreDivider()) / sim::kTicksPerSecond);
}

TEST_P(Delay, ZeroAndOneDoNotWait) {
    for (uint32_t from : {0x10u, 0x7FFFFFF0u, 0x80000000u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(from);
        EXPECT_LT(counts(0, from), kSlack);
        EXPECT_LT(counts(1, from), kSlack);
    }
}

TEST_P(Delay, AcrossTheWrapOfTheCount) {
    // About 0x200 counts from 0xFFFFFF00: ends past the wrap, neither at the
    // wrap nor a whole period later.
    const uint32_t d = 0x200 / GetParam().k + 1;
    uint32_t end = 0;
    const uint32_t waited = counts(d, 0xFFFFFF00, &end);
    EXPECT_GE(waited, ticks(d));
    EXPECT_LT(waited, ticks(d) + kSlack);
    EXPECT_LT(end, 0x200u);
}

TEST_P(Delay, AcrossTheHalfWayPoint) {
    const uint32_t d = 0x200 / GetParam().k + 1;
    uint32_t end = 0;
    const uint32_t waited = counts(d, 0x7FFFFF00, &end);
    EXPECT_GE(waited, ticks(d));
    EXPECT_LT(waited, ticks(d) + kSlack);
    EXPECT_GT(end, 0x80000000u);
}

TEST_P(Delay, EveryStartNearTheFrameBoundaries) {
    // Whichever frame the first read picks, and wherever the second read
    // lands, the wait is the same.
    const uint32_t d = 40;
    for (uint32_t base : {0x80000000u, 0u}) {
        for (int32_t off = -64; off <= 64; off += 3) {
            const uint32_t from = base + static_cast<uint32_t>(off);
            SCOPED_TRACE(from);
            const uint32_t waited = counts(d, from);
            EXPECT_GE(waited, ticks(d));
            EXPECT_LT(waited, ticks(d) + kSlack);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothImages, Delay, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return info.param.k == 5 ? "velmora" : "tavlo"; });

}  // namespace
