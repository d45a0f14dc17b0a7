// The profiler: the core's own instruction count split over the routines
// that ran, and the cycle estimate of each instruction class against the
// ARM7TDMI data sheet's S/N/I timings on the ADuC702x's 16-bit flash.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "aduc702x.h"
#include "machine.h"
#include "profiler.h"

namespace {

using namespace sim;

uint64_t routineInstructions(const Profiler& p, const std::string& name) {
    for (const auto& r : p.routines())
        if (r.name == name) return r.instructions;
    return 0;
}

TEST(Profiler, SplitsTheCoresOwnCountOverTheRoutinesThatRan) {
    for (const char* elf : {VELMORA_ELF, TAVLO_ELF}) {
        SCOPED_TRACE(elf);
        Machine m;
        m.loadElf(elf);
        ASSERT_TRUE(m.runToSymbol("main", fromMillis(5)));
        m.jump(m.symbol("__Return_from_Main"));
        m.write32(T1CON.addr, 0x180);
        ASSERT_TRUE(m.fastForward());
        uint64_t total = 0;
        {
            Profiler p(m);
            EXPECT_FALSE(m.fastForward()) << "every pass is charged while profiling";
            const uint64_t i0 = m.instructions();
            m.call("delay", {300});
            m.runFor(fromMicros(50));  // and idle in start-up's loop
            total = p.instructions();
            EXPECT_EQ(total, m.instructions() - i0);
            uint64_t sum = 0;
            for (const auto& r : p.routines()) sum += r.instructions;
            EXPECT_EQ(sum, total);
            // The wait loop dominates, in whichever routine the image has it.
            const auto top = p.routines().front();
            EXPECT_TRUE(top.name == "delay" || top.name.find("delay_ticks") != std::string::npos) << top.name;
            EXPECT_GT(top.instructions, total / 2);
            EXPECT_GT(routineInstructions(p, "Reset_Handler"), 0u) << "start-up's idle loop";
            EXPECT_GE(p.cycles(), total) << "no instruction takes less than a cycle";
        }
        EXPECT_TRUE(m.fastForward()) << "restored when the profile ends";
    }
}

TEST(Profiler, CyclesFollowTheDataSheetTimingsOnSixteenBitFlash) {
    struct Case {
        const char* what;
        uint32_t insn;
        bool thumb;
        bool branched;
        unsigned flash, ram;  // cycles from flash and from SRAM
    };
    // ARM from flash: every S or N fetch is two halfword reads; Thumb one.
    const Case cases[] = {
        {"add r0, r1, r2 (1S)", 0xE0810002, false, false, 2, 1},
        {"add r0, r1, r2, lsl r3 (1S+1I)", 0xE0810312, false, false, 3, 2},
        {"ldr r0, [r1] (1S+1N+1I)", 0xE5910000, false, false, 4, 3},
        {"ldr r0, [pc, #8]: literal from flash (2 reads, a dead cycle)", 0xE59F0008, false, false, 6, 3},
        {"str r0, [r1] (2N)", 0xE5810000, false, false, 3, 2},
        {"stmfd sp!, {r0-r3, r12, lr} (5S+2N)", 0xE92D500F, false, false, 8, 7},
        {"ldmfd sp!, {r4, pc} (3S+2N+1I with the refill)", 0xE8BD8010, false, true, 9, 6},
        {"b (2S+1N)", 0xEA000000, false, true, 6, 3},
        {"bne not taken (1S)", 0x1A000000, false, false, 2, 1},
        {"bx lr (2S+1N)", 0xE12FFF1E, false, true, 6, 3},
        {"mul r0, r1, r2 (1S+mI, m=4)", 0xE0000291, false, false, 6, 5},
        {"swp r0, r1, [r2] (1S+2N+1I)", 0xE1020091, false, false, 5, 4},
        {"thumb adds r0, r1, #1 (1S)", 0x1C48, true, false, 1, 1},
        {"thumb ldr r0, [pc, #4]: literal from flash", 0x4801, true, false, 5, 3},
        {"thumb push {r4, lr} (1S+2N)", 0xB510, true, false, 3, 3},
        {"thumb pop {r4, pc}", 0xBD10, true, true, 6, 6},
        {"thumb bhi taken (2S+1N)", 0xD8FC, true, true, 3, 3},
        {"thumb bl suffix (2S+1N)", 0xF800, true, true, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const InsnInfo i = c.thumb ? decodeThumb(uint16_t(c.insn)) : decodeArm(c.insn);
        EXPECT_EQ(i.writesPc, c.branched || (c.insn >> 28) == 1) << "flow changes are recognised";
        EXPECT_EQ(instructionCycles(i, c.thumb, true, c.branched), c.flash);
        EXPECT_EQ(instructionCycles(i, c.thumb, false, c.branched), c.ram);
    }
    EXPECT_EQ(decodeArm(0xE0810312).cls, InsnClass::AluShiftReg);
    EXPECT_EQ(decodeArm(0xE1D000B2).cls, InsnClass::Load) << "ldrh r0, [r0, #2]";
    EXPECT_EQ(decodeArm(0xE1C000B2).cls, InsnClass::Store) << "strh r0, [r0, #2]";
    EXPECT_EQ(decodeArm(0xEF000000).cls, InsnClass::Swi);
    EXPECT_EQ(decodeThumb(0xF000).cls, InsnClass::Alu) << "bl prefix only sets up lr";
}

}  // namespace
