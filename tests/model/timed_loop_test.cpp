// The recogniser of polling loops on a timer's count, on hand-assembled
// blocks: which loops it accepts, and whether a pass leaves the loop for a
// given count.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "timed_loop.h"

namespace {

using sim::TimedLoop;

constexpr uint32_t kT1Val = 0xFFFF0324;
constexpr uint32_t kMmrBase = 0xFFFF0FFF;  // mvn r2, #0xF000: the firmware's register base

template <typename T>
std::optional<TimedLoop> decode(const std::vector<T>& code, uint32_t addr) {
    std::vector<uint8_t> bytes(code.size() * sizeof(T));
    std::memcpy(bytes.data(), code.data(), bytes.size());
    return TimedLoop::decode(bytes.data(), uint32_t(bytes.size()), addr, sizeof(T) == 2);
}

// Timer1's count, a word of RAM and the flash literals; any other register
// must not be read.
TimedLoop::Memory memory() {
    TimedLoop::Memory m;
    m.isCount = [](uint32_t a) { return a == kT1Val; };
    m.read = [](uint32_t a, unsigned) -> std::optional<uint32_t> {
        if (a >= 0x10000 && a < 0x12000) return 0x1234;
        if (a == 0x80214) return kT1Val;
        return std::nullopt;
    };
    return m;
}

struct Regs {
    uint32_t r[16] = {};
};

TEST(TimedLoop, DelayLoopsOfBothInstructionSetsLeaveWhenTheCountReachesTheTarget) {
    // ARM: ldr r3, [r2, #-3291]; cmp r0, r3; bhi loop
    auto arm = decode<uint32_t>({0xE5123CDB, 0xE1500003, 0x8AFFFFFC}, 0x80B80);
    // Thumb: ldr r3, [r2]; cmp r0, r3; bhi loop (r2 from a literal)
    auto thumb = decode<uint16_t>({0x6813, 0x4298, 0xD8FC}, 0x801F2);
    ASSERT_TRUE(arm && thumb);
    EXPECT_EQ(arm->instructions(), 3u);
    EXPECT_EQ(arm->liveIn(), (1u << 0) | (1u << 2)) << "r3 is written before it is read";

    Regs a, t;
    a.r[0] = t.r[0] = 5000;  // target
    a.r[2] = kMmrBase;
    t.r[2] = kT1Val;
    a.r[3] = t.r[3] = 0xDEAD;  // last pass's count: not an input
    for (const auto& [loop, regs] : {std::pair{&*arm, &a}, std::pair{&*thumb, &t}}) {
        const auto before = loop->evaluate(regs->r, 4999, memory());
        const auto at = loop->evaluate(regs->r, 5000, memory());
        ASSERT_TRUE(before.valid && at.valid);
        EXPECT_TRUE(before.loops);
        EXPECT_FALSE(at.loops);
        EXPECT_EQ(at.countAddr, kT1Val);
        EXPECT_EQ(at.coeff, 1);
        EXPECT_EQ(at.order, TimedLoop::Order::Unsigned);
        EXPECT_TRUE(TimedLoop::monotonic(at, 0, 0xFFFFFFFF)) << "the count itself never wraps inside a window";
        // The exit test alone, for other counts, as a whole pass would find.
        for (uint32_t v : {0u, 4998u, 4999u, 5000u, 5001u, 0xFFFFFFFFu})
            EXPECT_EQ(TimedLoop::loops(at, v), loop->evaluate(regs->r, v, memory()).loops) << v;
    }
}

TEST(TimedLoop, ShiftedFrameIsMonotonicOnlyWhileTheShiftedCountDoesNotWrap) {
    // ARM: ldr r1, [r2, #-3291]; add r1, r1, #0x80000000; cmp r3, r1; bhi loop
    auto arm = decode<uint32_t>({0xE5121CDB, 0xE2811102, 0xE1530001, 0x8AFFFFFB}, 0x80B98);
    // Thumb: movs r0, #128; ldr r1, [r2]; lsls r0, r0, #24; adds r1, r1, r0; cmp r3, r1; bhi loop
    auto thumb = decode<uint16_t>({0x2080, 0x6811, 0x0600, 0x1809, 0x428B, 0xD8F9}, 0x80204);
    ASSERT_TRUE(arm && thumb);
    Regs a, t;
    a.r[2] = kMmrBase;
    t.r[2] = kT1Val;
    a.r[3] = t.r[3] = 0x10;  // target in the shifted frame: count 0x80000010
    for (const auto& [loop, regs] : {std::pair{&*arm, &a}, std::pair{&*thumb, &t}}) {
        const auto p = loop->evaluate(regs->r, 0x8000000F, memory());
        ASSERT_TRUE(p.valid);
        EXPECT_TRUE(p.loops);
        EXPECT_FALSE(loop->evaluate(regs->r, 0x80000010, memory()).loops);
        for (uint32_t v : {0u, 0x7FFFFFFFu, 0x80000000u, 0x8000000Fu, 0x80000010u, 0xFFFFFFFFu})
            EXPECT_EQ(TimedLoop::loops(p, v), loop->evaluate(regs->r, v, memory()).loops) << v;
        EXPECT_EQ(p.offset, 0x80000000u);
        EXPECT_TRUE(TimedLoop::monotonic(p, 0x80000001, 0xFFFFFFFF));
        EXPECT_FALSE(TimedLoop::monotonic(p, 0x7FFFFFF0, 0x80000010)) << "the shifted count wraps at 0x80000000";
    }
}

TEST(TimedLoop, LoopsThatDependOnMoreThanTheCountAreRefused) {
    // A store, a loop-carried counter, a branch elsewhere, a conditional
    // instruction inside: not accepted at all.
    EXPECT_FALSE(decode<uint32_t>({0xE5823000, 0xE5123CDB, 0xE1500003, 0x8AFFFFFB}, 0x1000));  // str r3, [r2]
    EXPECT_FALSE(decode<uint32_t>({0xE2844001, 0xE5123CDB, 0xE1500003, 0x8AFFFFFB}, 0x1000));  // add r4, r4, #1
    EXPECT_FALSE(decode<uint32_t>({0xE5123CDB, 0xE1500003, 0x8AFFFFFD}, 0x1000));  // bhi elsewhere
    EXPECT_FALSE(decode<uint32_t>({0x05123CDB, 0xE1500003, 0x8AFFFFFC}, 0x1000));  // ldreq
    EXPECT_FALSE(decode<uint32_t>({0xE5123CDB, 0xEAFFFFFD}, 0x1000)) << "an unconditional loop never leaves";
    EXPECT_FALSE(decode<uint16_t>({0x6813, 0x4158, 0xD8FC}, 0x1000)) << "adc reads the last pass's carry";

    Regs r;
    r.r[0] = 5000;
    r.r[2] = kMmrBase;
    // Accepted shapes whose pass still depends on something else.
    auto eq = decode<uint32_t>({0xE5123CDB, 0xE1500003, 0x1AFFFFFC}, 0x1000);  // bne: waits for one exact count
    ASSERT_TRUE(eq);
    EXPECT_FALSE(eq->evaluate(r.r, 4000, memory()).valid);
    auto status = decode<uint32_t>({0xE5123CDB, 0xE1500003, 0x8AFFFFFC}, 0x1000);
    ASSERT_TRUE(status);
    r.r[2] = kMmrBase - 0x200;  // the same code on another register (not a count)
    EXPECT_FALSE(status->evaluate(r.r, 4000, memory()).valid);
    r.r[2] = 0x10000 + 3291;  // a word of RAM: constant, so the test does not depend on the count
    const auto ram = status->evaluate(r.r, 4000, memory());
    ASSERT_TRUE(ram.valid);
    EXPECT_EQ(ram.coeff, 0);
    EXPECT_TRUE(ram.loops);
}

}  // namespace
