// Start-up and exception dispatch of the board-support code, run in the
// simulator on the probe images.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "aduc702x.h"
#include "machine.h"
#include "periph/core_blocks.h"

using namespace sim;

namespace {

struct Probe : ::testing::Test {
    Machine m;
    void SetUp() override {
        m.loadElf(PROBE_ELF);
        m.powerOn(0xA5A5A5A5);
    }
    void boot() {
        auto r = m.runUntil([&] { return m.readSym("probe_main_entered") == 1; }, fromMillis(10));
        ASSERT_EQ(r.reason, StopReason::Condition) << r.report;
    }
};

TEST_F(Probe, StartupInitialisesRamWhateverItHeldAndEntersMainInUserMode) {
    boot();
    EXPECT_EQ(m.readSym("probe_initialised", 0), 0x11111111u);
    EXPECT_EQ(m.readSym("probe_initialised", 12), 0x44444444u);
    for (uint32_t off = 0; off < 16; off += 4) EXPECT_EQ(m.readSym("probe_zeroed", off), 0u);
    for (const char* slot : {"IRQ", "FIQ", "SWI", "UNDEF", "PABORT", "DABORT"}) EXPECT_EQ(m.readSym(slot), 0u) << slot;
    EXPECT_EQ(m.readSym("probe_powcon_at_main"), 3u);
    EXPECT_EQ(m.chip().coreDivider(), 3u);
    EXPECT_EQ(m.mode(), Mode::User);
    EXPECT_EQ(m.cpsr() & 0xC0, 0u) << "interrupts must be unmasked in the core";

    // Mode stacks: each pointer at the top of its area, carved from 0x12000.
    EXPECT_EQ(m.bankedSp(Mode::Undefined), 0x12000u);
    EXPECT_EQ(m.bankedSp(Mode::Abort), 0x11FC0u);
    EXPECT_EQ(m.bankedSp(Mode::Fiq), 0x11F80u);
    EXPECT_EQ(m.bankedSp(Mode::Irq), 0x11F00u);
    EXPECT_EQ(m.bankedSp(Mode::Supervisor), 0x11E80u);
    EXPECT_EQ(m.reg(10), 0x11E40u - 0x400u) << "stack limit register";

    // A second reset with RAM dirty gives the same state.
    m.writeSym("probe_initialised", 0);
    m.writeSym("probe_zeroed", 77);
    m.writeSym("IRQ", 0x1234);
    m.writeSym("probe_main_entered", 0);
    m.reset(ResetCause::Software);
    boot();
    EXPECT_EQ(m.readSym("probe_initialised"), 0x11111111u);
    EXPECT_EQ(m.readSym("probe_zeroed"), 0u);
    EXPECT_EQ(m.readSym("IRQ"), 0u);
}

// POWCON changes only when its three writes come with no other memory
// access between them: a RAM store or a literal load from the flash
// inside the sequence breaks it, is reported with the step it came
// before, and leaves POWCON as it was.
TEST_F(Probe, KeyedWritesTakeEffectOnlyBackToBack) {
    boot();
    const uint32_t fn = m.symbol("probe_keyed_powcon");
    auto at = [&](uint32_t off) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%08X", fn + off);
        return std::string(b);
    };
    m.call("probe_keyed_powcon", {0x01, 0});
    EXPECT_EQ(m.chip().coreDivider(), 1u);
    EXPECT_EQ(m.chip().power().brokenSequences(), 0u);

    m.call("probe_keyed_powcon", {0x02, 1});
    EXPECT_EQ(m.chip().coreDivider(), 1u) << "a RAM store after POWKEY1";
    ASSERT_EQ(m.chip().power().brokenSequences(), 1u);
    EXPECT_NE(m.chip().reports().back().find("broken by a RAM or flash access before the instruction at " + at(0x44)),
              std::string::npos)
        << m.chip().reports().back();

    m.call("probe_keyed_powcon", {0x03, 2});
    EXPECT_EQ(m.chip().coreDivider(), 1u) << "a literal load before POWKEY2";
    EXPECT_EQ(m.chip().power().brokenSequences(), 2u);
    EXPECT_NE(m.chip().reports().back().find("access before the instruction at " + at(0x5C)), std::string::npos) << m.chip().reports().back();

    m.call("probe_keyed_powcon", {0x00, 0});
    EXPECT_EQ(m.chip().coreDivider(), 0u) << "a broken sequence leaves nothing open";

    // Across blocks: a branch between the steps is no access, a load in
    // the block it goes to is one.
    m.call("probe_keyed_powcon", {0x02, 3});
    EXPECT_EQ(m.chip().coreDivider(), 2u);
    EXPECT_EQ(m.chip().power().brokenSequences(), 2u);
    m.call("probe_keyed_powcon", {0x01, 4});
    EXPECT_EQ(m.chip().coreDivider(), 2u) << "a RAM load in the block branched to";
    EXPECT_EQ(m.chip().power().brokenSequences(), 3u);

    // A debugger stepping through the sequence is no access either.
    m.setReg(0, 0x01);
    m.setReg(1, 0);
    m.setReg(14, m.symbol("__Return_from_Main"));
    m.jump(fn);
    for (int i = 0; i < 30 && m.pc() != m.symbol("__Return_from_Main"); ++i) ASSERT_TRUE(m.step());
    EXPECT_EQ(m.chip().coreDivider(), 1u);
    EXPECT_EQ(m.chip().power().brokenSequences(), 3u);
}

TEST_F(Probe, ReturningMainSpinsInReturnFromMain) {
    boot();
    m.runFor(fromMicros(200));
    uint32_t spin = m.symbol("__Return_from_Main");
    EXPECT_EQ(m.pc(), spin);
    EXPECT_FALSE(m.fault());
}

TEST(ProbeBare, EmptyDataSectionCopiesNothing) {
    Machine m;
    m.loadElf(PROBE_BARE_ELF);
    m.powerOn(0x5A5A5A5A);
    ASSERT_EQ(m.symbol("_data"), m.symbol("_edata"));
    auto r = m.runToSymbol("LoopZI", fromMillis(1));
    ASSERT_EQ(r.reason, StopReason::Condition) << r.report;
    // Nothing was copied over the first words of RAM.
    EXPECT_EQ(m.read32(m.symbol("_data")), 0x5A5A5A5Au);
    r = m.runToSymbol("main", fromMillis(1));
    ASSERT_EQ(r.reason, StopReason::Condition) << r.report;
    EXPECT_EQ(m.chip().coreDivider(), 0u);
    m.runFor(fromMicros(50));
    EXPECT_EQ(m.readSym("bare_powcon_at_main"), 0u);
}

TEST_F(Probe, RoutineCallsPassFourArgumentsAndInterwork) {
    boot();
    EXPECT_EQ(m.call("probe_mix", {1, 2, 3, 4}), 1u + 4 + 9 + 16);
    EXPECT_EQ(m.call("thumb_add", {40, 2}), 42u);
    EXPECT_EQ(m.call("probe_call_thumb", {40, 2}), 43u);
    EXPECT_EQ(m.mode(), Mode::User);
}

TEST_F(Probe, IrqWithEmptySlotReturnsWithRegistersAndFlagsIntact) {
    boot();
    // Spin with known registers, then raise an enabled interrupt source.
    uint32_t spin = m.symbol("probe_spin");
    m.setReg(PC, spin);
    auto loop = m.symbol("probe_spin_loop");
    ASSERT_EQ(m.runToAddress(loop, fromMillis(1)).reason, StopReason::Condition);
    m.setCpsr((m.cpsr() & ~0xF0000000u) | 0x60000000u);  // Z and C set
    uint32_t before[16];
    for (int i = 0; i < 16; ++i) before[i] = m.reg(i);
    uint32_t cpsrBefore = m.cpsr();

    m.chip().write(IRQEN.addr, INT_TIMER1);
    m.chip().setSource(INT_TIMER1, true);
    uint64_t taken = m.interruptsTaken();
    // Each round trip (entry, the wrapper's six pushes and pops, the slot's
    // literal, all ARM from flash) takes some 60 core cycles, 11.5 us at
    // CD 3: four or more in 60 us.
    m.runFor(fromMicros(60));
    EXPECT_GT(m.interruptsTaken(), taken + 3) << "an unserviced source keeps re-entering";
    m.chip().setSource(INT_TIMER1, false);
    m.runFor(fromMicros(20));
    for (int i = 0; i < 15; ++i) EXPECT_EQ(m.reg(i), before[i]) << "r" << i;
    EXPECT_EQ(m.pc(), loop);
    EXPECT_EQ(m.cpsr(), cpsrBefore);
    EXPECT_FALSE(m.fault());
}

TEST_F(Probe, IrqCallsArmAndThumbHandlersThroughTheSlot) {
    boot();
    m.call("probe_install", {1});
    m.chip().write(IRQEN.addr, INT_TIMER1);
    // One pulse of the source: the handler runs once per entry while it is high.
    m.chip().setSource(INT_TIMER1, true);
    m.runUntil([&] { return m.readSym("probe_irq_count") >= 1; }, fromMillis(1));
    m.chip().setSource(INT_TIMER1, false);
    uint32_t armCount = m.readSym("probe_irq_count");
    EXPECT_GE(armCount, 1u);
    m.call("probe_install", {2});
    m.writeSym("probe_irq_count", 0);
    m.chip().setSource(INT_TIMER1, true);
    m.runUntil([&] { return m.readSym("probe_irq_count") >= 16; }, fromMillis(1));
    m.chip().setSource(INT_TIMER1, false);
    m.runFor(fromMicros(50));
    EXPECT_EQ(m.readSym("probe_irq_count") % 16, 0u) << "only the Thumb handler ran";
    EXPECT_GE(m.readSym("probe_irq_count"), 16u);
    EXPECT_EQ(m.mode(), Mode::User);
    EXPECT_FALSE(m.thumb()) << "back in main's ARM code";
    EXPECT_EQ(m.pc(), m.symbol("__Return_from_Main"));
    EXPECT_FALSE(m.fault());
}

TEST_F(Probe, UndefinedInstructionAndSwiResumeAfterTheInstruction) {
    boot();
    m.call("probe_undefined");
    m.call("probe_swi");
    EXPECT_EQ(m.mode(), Mode::User);
    EXPECT_FALSE(m.fault());
    ASSERT_GE(m.chip().reports().size(), 2u);
    EXPECT_NE(m.chip().reports()[0].find("undefined instruction"), std::string::npos);
    EXPECT_NE(m.chip().reports()[1].find("software interrupt"), std::string::npos);
}

// The emulated core would read its CP15 ID register; this chip's ARM7TDMI
// has no coprocessor and takes the undefined-instruction exception, unless
// the instruction's condition fails.
TEST_F(Probe, CoprocessorInstructionsAreUndefined) {
    boot();
    EXPECT_EQ(m.call("probe_coprocessor"), 0x55u);
    EXPECT_EQ(m.mode(), Mode::User);
    EXPECT_FALSE(m.fault());
    ASSERT_EQ(m.chip().reports().size(), 1u);
    EXPECT_NE(m.chip().reports()[0].find("(probe_coprocessor+0x4)"), std::string::npos)
        << m.chip().reports()[0];
}

TEST_F(Probe, BadAccessesStopWithAReport) {
    boot();
    // A load from outside every memory region.
    EXPECT_THROW(m.callAddress(0x00200000), SimError);
    ASSERT_TRUE(m.fault());
    EXPECT_NE(m.fault()->find("outside memory"), std::string::npos) << *m.fault();
    EXPECT_NE(m.fault()->find("mode"), std::string::npos);
}

}  // namespace

namespace {

// Exception entry as the core does it, seen at the first instruction of the
// IRQ vector: banked LR = interrupted instruction + 4, SPSR = interrupted
// CPSR, IRQ mode with I set and F unchanged, ARM state.
TEST_F(Probe, IrqEntryFollowsTheArchitectureFromArmAndThumb) {
    boot();
    m.setReg(PC, m.symbol("probe_spin"));
    uint32_t loop = m.symbol("probe_spin_loop");
    ASSERT_EQ(m.runToAddress(loop, fromMillis(1)).reason, StopReason::Condition);
    uint32_t cpsrBefore = m.cpsr();
    m.chip().write(IRQEN.addr, INT_TIMER1);
    m.chip().setSource(INT_TIMER1, true);
    ASSERT_EQ(m.runToAddress(0x18, fromMillis(1)).reason, StopReason::Condition);
    EXPECT_EQ(m.mode(), Mode::Irq);
    EXPECT_EQ(m.reg(LR), loop + 4);
    EXPECT_EQ(m.spsr(), cpsrBefore);
    EXPECT_EQ(m.cpsr() & 0xE0, 0x80u) << "I set, F as before, ARM state";
    m.chip().setSource(INT_TIMER1, false);
    m.runFor(fromMicros(30));
    EXPECT_EQ(m.pc(), loop);

    // From Thumb code: the pending interrupt is taken before thumb_add's
    // first instruction; SPSR keeps the T bit and the wrapper returns there.
    uint32_t thumbAdd = m.symbol("thumb_add");
    ASSERT_EQ(thumbAdd & 1, 1u);
    m.setReg(LR, loop);
    m.setReg(0, 40);
    m.setReg(1, 2);
    m.jump(thumbAdd);
    m.chip().setSource(INT_TIMER1, true);
    ASSERT_EQ(m.runToAddress(0x18, fromMillis(1)).reason, StopReason::Condition);
    EXPECT_EQ(m.reg(LR), (thumbAdd & ~1u) + 4);
    EXPECT_EQ(m.spsr() & 0x20, 0x20u) << "interrupted in Thumb state";
    EXPECT_FALSE(m.thumb());
    m.chip().setSource(INT_TIMER1, false);
    ASSERT_EQ(m.runToAddress(loop, fromMillis(1)).reason, StopReason::Condition);
    EXPECT_EQ(m.reg(0), 42u) << "thumb_add ran to completion after the interrupt";
    EXPECT_FALSE(m.fault());
}

// Resets restart at the reset vector in Supervisor mode with the blocks at
// their reset values and RAM as it was.
TEST_F(Probe, ResetsRestartFromTheVectorAndKeepRam) {
    boot();
    m.write32(0x11000, 0xCAFEF00D);  // an unused word in RAM
    m.chip().write(IRQEN.addr, INT_TIMER1);
    m.reset(ResetCause::Watchdog);
    EXPECT_EQ(m.pc(), 0u);
    EXPECT_EQ(m.mode(), Mode::Supervisor);
    EXPECT_EQ(m.cpsr() & 0xC0, 0xC0u);
    EXPECT_EQ(m.chip().read(IRQEN.addr), 0u);
    EXPECT_EQ(m.chip().read(RSTSTA.addr) & RST_WATCHDOG, RST_WATCHDOG);
    EXPECT_EQ(m.read32(0x11000), 0xCAFEF00Du);
    // A software reset requested through RSTSTA is carried out by the run loop.
    boot();
    m.chip().write(RSTSTA.addr, RST_SOFTWARE);
    unsigned resets = m.resets();
    m.writeSym("probe_main_entered", 0);
    boot();
    EXPECT_EQ(m.resets(), resets + 1);
    EXPECT_EQ(m.read32(0x11000), 0xCAFEF00Du);
    // Power-on fills RAM with the pattern.
    m.powerOn(0x01020304);
    EXPECT_EQ(m.read32(0x11000), 0x01020304u);
}

}  // namespace

namespace {

// Skipping the passes of a polling loop must not change the run: the same
// interrupts at the same times, the same instruction count, the same state.
TEST(FastForward, PollingLoopSkipsLeaveTheRunUnchanged) {
    struct Outcome {
        Ticks time;
        uint64_t instructions;
        uint32_t count, result, pc;
        uint64_t skipped;
    };
    auto runOnce = [](bool fastForward) {
        Machine m;
        m.setFastForward(fastForward);
        m.loadElf(PROBE_ELF);
        m.runUntil([&] { return m.readSym("probe_main_entered") == 1; }, fromMillis(10));
        m.call("probe_timer_start", {800});  // a tick every 2.45 ms
        uint32_t result = m.call("probe_poll", {40}, fromMillis(200));
        m.runFor(fromMillis(3));
        return Outcome{m.now(), m.instructions(), m.readSym("probe_irq_count"), result, m.pc(),
                       m.skippedInstructions()};
    };
    Outcome slow = runOnce(false), fast = runOnce(true);
    EXPECT_EQ(slow.skipped, 0u);
    EXPECT_GT(fast.skipped, fast.instructions / 2) << "most of the waiting was skipped";
    EXPECT_EQ(fast.time, slow.time);
    EXPECT_EQ(fast.instructions, slow.instructions);
    EXPECT_EQ(fast.count, slow.count);
    EXPECT_EQ(fast.count, 41u);
    EXPECT_EQ(fast.result, 1u);
    EXPECT_EQ(fast.pc, slow.pc);
}

// A pass that stores is a fixed point only if RAM ends as it began: the
// same value every pass is skipped, a counter never is.
TEST(FastForward, PollingLoopsThatStoreAreSkippedOnlyWhenRamRepeats) {
    struct Outcome {
        Ticks time;
        uint64_t instructions, skipped;
        uint32_t passes, result;
    };
    auto runOnce = [](bool fastForward, uint32_t count) {
        Machine m;
        m.setFastForward(fastForward);
        m.loadElf(PROBE_ELF);
        m.runUntil([&] { return m.readSym("probe_main_entered") == 1; }, fromMillis(10));
        m.call("probe_timer_start", {800});
        uint32_t result = m.call("probe_poll_storing", {10, count}, fromMillis(200));
        return Outcome{m.now(), m.instructions(), m.skippedInstructions(), m.readSym("probe_passes"), result};
    };
    for (uint32_t count : {0u, 1u}) {
        SCOPED_TRACE(count ? "a new value every pass" : "the same value every pass");
        const Outcome slow = runOnce(false, count), fast = runOnce(true, count);
        EXPECT_EQ(fast.time, slow.time);
        EXPECT_EQ(fast.instructions, slow.instructions);
        EXPECT_EQ(fast.passes, slow.passes);
        EXPECT_EQ(fast.result, 1u);
        if (count) {
            EXPECT_GT(fast.passes, 1000u);
            EXPECT_EQ(fast.skipped, 0u);
        } else {
            EXPECT_EQ(fast.passes, 0u);
            EXPECT_GT(fast.skipped, fast.instructions / 2);
        }
    }
}

}  // namespace
