// Keyed writes of POWCON and PLLCON, and the PLL's lock after a change.
#include "model_util.h"

using namespace modeltest;
using sim::Chip;

// Only the three writes back to back take effect; any other access in
// between breaks the sequence, which is reported and changes nothing.
TEST(KeyedWrites, AnyOtherAccessBreaksTheSequence) {
    Chip chip;
    setPowcon(chip, 0x01);
    EXPECT_EQ(chip.coreDivider(), 1u);
    EXPECT_TRUE(chip.reports().empty());

    // A register of another block between key and value, or value and key.
    chip.write(POWKEY1.addr, POWKEY1_VAL);
    chip.read(T1VAL.addr);
    chip.write(POWCON.addr, 0x00);
    chip.write(POWKEY2.addr, POWKEY2_VAL);
    EXPECT_EQ(chip.coreDivider(), 1u);
    EXPECT_TRUE(reported(chip, "POWCON key sequence broken by a read of 0xFFFF0324"));

    chip.write(POWKEY1.addr, POWKEY1_VAL);
    chip.write(POWCON.addr, 0x00);
    chip.write(GP0DAT.addr, 0);
    chip.write(POWKEY2.addr, POWKEY2_VAL);
    EXPECT_EQ(chip.coreDivider(), 1u);
    EXPECT_EQ(chip.power().brokenSequences(), 2u);

    // Inside the power block too: reading POWCON back, or the PLL's keys.
    chip.write(POWKEY1.addr, POWKEY1_VAL);
    chip.read(POWCON.addr);
    chip.write(POWCON.addr, 0x00);
    chip.write(POWKEY2.addr, POWKEY2_VAL);
    chip.write(PLLKEY1.addr, PLLKEY1_VAL);
    chip.write(PLLCON.addr, 0x01);
    chip.write(POWKEY1.addr, POWKEY1_VAL);
    chip.write(PLLKEY2.addr, PLLKEY2_VAL);
    EXPECT_EQ(chip.coreDivider(), 1u);
    EXPECT_EQ(chip.read(PLLCON.addr), 0x21u);
    // The read, the PLL's sequence, and the power sequence POWKEY1 opened.
    EXPECT_EQ(chip.power().brokenSequences(), 5u);

    // A memory access the core reports (the CPU side tells the block).
    chip.write(POWKEY1.addr, POWKEY1_VAL);
    chip.power().otherAccess("a RAM access");
    chip.write(POWCON.addr, 0x00);
    chip.write(POWKEY2.addr, POWKEY2_VAL);
    EXPECT_EQ(chip.coreDivider(), 1u);
    EXPECT_TRUE(reported(chip, "broken by a RAM access"));

    // Nothing open, nothing to break.
    chip.power().otherAccess("a RAM access");
    EXPECT_EQ(chip.power().brokenSequences(), 6u);
    setPowcon(chip, 0x00);
    EXPECT_EQ(chip.coreDivider(), 0u);
}

// A new PLLCON takes effect after the lock time; the clock switch recipe
// (PLLCON, then nap until Timer2 wakes the core) passes when the nap lasts
// longer than the lock, and a core that runs on or wakes too early is
// reported.
TEST(KeyedWrites, PllChangeWaitsForTheLock) {
    auto switchPll = [](Chip& chip) {
        chip.write(PLLKEY1.addr, PLLKEY1_VAL);
        chip.write(PLLCON.addr, 0x01);
        chip.write(PLLKEY2.addr, PLLKEY2_VAL);
    };
    {
        Chip chip;
        switchPll(chip);
        setPowcon(chip, 0x23 | 0x04);  // nap
        EXPECT_FALSE(chip.power().pllLocked());
        EXPECT_EQ(chip.power().pllcon(), 0x21u);
        EXPECT_EQ(chip.read(PLLCON.addr), 0x01u);
        advance(chip, sim::Power::kPllLockTicks);
        EXPECT_TRUE(chip.power().pllLocked());
        EXPECT_EQ(chip.power().pllcon(), 0x01u);
        advance(chip, 3 * sim::kTicksPerXtal);
        chip.power().wake();
        EXPECT_TRUE(chip.reports().empty());
    }
    {
        Chip chip;  // woken before the lock
        switchPll(chip);
        setPowcon(chip, 0x27);
        advance(chip, sim::Power::kPllLockTicks / 2);
        chip.power().wake();
        EXPECT_TRUE(reported(chip, "before the PLL locked"));
        advance(chip, sim::Power::kPllLockTicks);
        EXPECT_EQ(chip.reports().size(), 1u);
    }
    {
        Chip chip;  // no nap at all
        switchPll(chip);
        advance(chip, sim::Power::kPllLockTicks);
        EXPECT_TRUE(reported(chip, "ran from the PLL while it was locking"));
    }
}
