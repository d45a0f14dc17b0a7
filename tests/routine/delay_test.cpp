// The busy-wait delay of both images, measured on the Timer1 count it
// watches. The chip's register trace gives every T1VAL read the routine
// makes: the first picks the frame, the second is the start, the rest poll.
// So the wait can be checked to the count: the last poll is the first one at
// or past start + K x (duration - 1), and the poll before it is short of that.
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
void PrintTo(const Image& i, std::ostream* os) { *os << "K=" << i.k; }

class Delay : public ::testing::TestWithParam<Image> {
protected:
    void SetUp() override {
        n.startUp();
        n.setReg(T1CON.addr, 0x180);
    }

    struct Run {
        std::vector<uint32_t> reads;  // T1VAL as the routine read it
        uint32_t waited;              // counts between call and return
    };
    Run run(uint32_t duration, uint32_t from) {
        n.m.chip().timer1().setValue(from);
        Run r{};
        const uint32_t before = n.reg(T1VAL.addr);
        n.m.chip().setTrace([&](const std::string& line) {
            unsigned long long t;
            char kind;
            unsigned addr, value;
            if (std::sscanf(line.c_str(), "%llu %c %x %x", &t, &kind, &addr, &value) == 4 && kind == 'R' &&
                addr == T1VAL.addr)
                r.reads.push_back(value);
        });
        n.m.call("delay", {duration});
        n.m.chip().setTrace(nullptr);
        r.waited = n.reg(T1VAL.addr) - before;
        return r;
    }
    uint32_t ticks(uint32_t duration) const { return GetParam().k * (duration - 1); }

    // The wait ended at the first poll that reached the target, not before,
    // and not a poll later. Differences are taken modulo 2^32, so they hold in
    // both frames and across the wrap of the count.
    void expectExactWait(const Run& r, uint32_t duration) {
        ASSERT_GE(r.reads.size(), 3u) << "frame read, start read, at least one poll";
        const uint32_t start = r.reads[1];
        const uint32_t target = ticks(duration);
        EXPECT_GE(r.reads.back() - start, target);
        if (r.reads.size() >= 4) {
            EXPECT_LT(r.reads[r.reads.size() - 2] - start, target);
        }
        EXPECT_GE(r.waited, target);
    }

    Node n{GetParam().elf};
};

TEST_P(Delay, TenThousandUnits) {
    EXPECT_EQ(ticks(10000), GetParam().k == 5 ? 49995u : 409959u);
    const Run r = run(10000, 0x1000);
    expectExactWait(r, 10000);
}

TEST_P(Delay, ZeroAndOneDoNotWait) {
    for (uint32_t from : {0x10u, 0x7FFFFFF0u, 0x80000000u, 0x80000001u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(from);
        EXPECT_TRUE(run(0, from).reads.empty());  // not even a look at the timer
        const Run one = run(1, from);
        ASSERT_EQ(one.reads.size(), 3u);  // frame, start, one poll that ends it
    }
}

TEST_P(Delay, AcrossTheWrapOfTheCount) {
    // About 0x200 counts from 0xFFFFFF00: ends past the wrap, neither at the
    // wrap nor a whole period later.
    const uint32_t d = 0x200 / GetParam().k + 1;
    const Run r = run(d, 0xFFFFFF00);
    expectExactWait(r, d);
    EXPECT_LT(r.reads.back(), 0x200u);
    EXPECT_GT(r.reads.back(), 0x100u);
}

TEST_P(Delay, AcrossTheHalfWayPoint) {
    const uint32_t d = 0x200 / GetParam().k + 1;
    const Run r = run(d, 0x7FFFFF00);
    expectExactWait(r, d);
    EXPECT_GT(r.reads.back(), 0x80000100u);
}

TEST_P(Delay, EveryStartNearTheFrameBoundaries) {
    // Whichever frame the first read picks, and wherever the second read
    // lands, the wait is the same.
    const uint32_t d = 40;
    for (uint32_t base : {0x80000000u, 0u}) {
        for (int32_t off = -40; off <= 40; off += 2) {
            const uint32_t from = base + static_cast<uint32_t>(off);
            SCOPED_TRACE(from);
            expectExactWait(run(d, from), d);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothImages, Delay, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return info.param.k == 5 ? "velmora" : "tavlo"; });

}  // namespace
