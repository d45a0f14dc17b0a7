// Busy-wait delays of both images, run with and without skipping the passes
// of their Timer1 polling loop: the same instructions, the same time, the
// same count afterwards, wherever the count stands when the delay starts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "aduc702x.h"
#include "machine.h"
#include "periph/timers.h"

namespace {

using namespace sim;

struct Outcome {
    Ticks start, end;
    uint64_t instructions, skipped;
    uint32_t count, r0, r1, r2, r3, pc;
};

// Start-up only, then the core parks in start-up's idle loop and Timer1
// free-runs from `start`; `delay` is called from there.
Outcome runDelay(const char* elf, bool fastForward, uint32_t start, uint32_t units) {
    Machine m;
    m.setFastForward(fastForward);
    m.loadElf(elf);
    const RunResult r = m.runToSymbol("main", fromMillis(5));
    if (!r) throw SimError("start-up: " + r.report);
    m.jump(m.symbol("__Return_from_Main"));
    m.runFor(fromMicros(1));
    m.write32(T1CON.addr, 0x180);  // up-count of the core clock, as both images set it
    m.chip().timer1().setValue(start);
    Outcome o{};
    o.start = m.now();
    const uint64_t i0 = m.instructions(), k0 = m.skippedInstructions();
    o.r0 = m.call("delay", {units});
    o.end = m.now();
    o.instructions = m.instructions() - i0;
    o.skipped = m.skippedInstructions() - k0;
    o.count = m.read32(T1VAL.addr);
    o.r1 = m.reg(1);
    o.r2 = m.reg(2);
    o.r3 = m.reg(3);
    o.pc = m.pc();
    return o;
}

TEST(TimedLoopSkip, DelaysTakeTheSameInstructionsAndTimeWithAndWithoutSkipping) {
    struct Image {
        const char* elf;
        uint32_t countsPerUnit;
    };
    for (const Image& img : {Image{VELMORA_ELF, 5}, Image{TAVLO_ELF, 41}}) {
        // The plain frame, a target past 0x80000000, and the shifted frame
        // running through the wrap of the count (an event of its own).
        for (uint32_t start : {0x00001000u, 0x7FFFF000u, 0xFFFFF000u}) {
            SCOPED_TRACE(std::string(img.elf) + " from count " + std::to_string(start));
            const uint32_t units = 2000;
            const Outcome slow = runDelay(img.elf, false, start, units);
            const Outcome fast = runDelay(img.elf, true, start, units);
            EXPECT_EQ(slow.skipped, 0u);
            EXPECT_GT(fast.skipped, fast.instructions * 9 / 10) << "the waiting was skipped";
            EXPECT_EQ(fast.start, slow.start);
            EXPECT_EQ(fast.end, slow.end);
            EXPECT_EQ(fast.instructions, slow.instructions);
            EXPECT_EQ(fast.count, slow.count);
            EXPECT_EQ(fast.r0, slow.r0);
            EXPECT_EQ(fast.r1, slow.r1);
            EXPECT_EQ(fast.r2, slow.r2);
            EXPECT_EQ(fast.r3, slow.r3);
            EXPECT_EQ(fast.pc, slow.pc);
            // The delay itself: at least its counts, and not a pass more.
            const uint32_t waited = slow.count - start;
            EXPECT_GE(waited, img.countsPerUnit * (units - 1));
            EXPECT_LT(waited, img.countsPerUnit * (units - 1) + 200);
        }
    }
}

}  // namespace
