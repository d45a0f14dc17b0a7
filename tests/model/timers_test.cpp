// Timer0 to Timer3 and the core blocks (power keys, nap, resets, FIQ).
#include <string>
#include <vector>

#include "model_util.h"

using namespace modeltest;
using sim::Chip;
using sim::ResetCause;

TEST(Timer0, PeriodicTickFromTheReloadValueAtCoreClockOver16) {
    Chip chip;
    advance(chip, 1000);
    chip.write(T0LD.addr, 25);
    chip.write(T0CON.addr, 0xC4);
    chip.write(IRQEN.addr, INT_TIMER0);
    const Ticks t0 = chip.now();
    const Ticks count = 8 * 16;  // divider 3, prescaler 16
    const Ticks period = 25 * count;
    EXPECT_NEAR(sim::toMicros(period), 76.6, 0.05);  // the 77 us tick at 5.2224 MHz

    advanceTo(chip, t0 + 10 * count);
    EXPECT_EQ(chip.read(T0VAL.addr), 15u);
    advanceTo(chip, t0 + period - 1);
    EXPECT_FALSE(chip.irqLine());
    advanceTo(chip, t0 + period);
    EXPECT_TRUE(chip.irqLine());
    EXPECT_EQ(chip.read(IRQSTA.addr), INT_TIMER0);
    EXPECT_EQ(chip.read(T0VAL.addr), 25u);  // reloaded
    chip.write(T0CLRI.addr, 0);
    EXPECT_FALSE(chip.irqLine());

    // A new reload value applies from the next reload on.
    chip.write(T0LD.addr, 800);
    advanceTo(chip, t0 + 2 * period - 1);
    EXPECT_FALSE(chip.irqLine());
    advanceTo(chip, t0 + 2 * period);
    EXPECT_TRUE(chip.irqLine());
    chip.write(T0CLRI.addr, 0);
    const Ticks t1 = t0 + 2 * period;

    // Half-way through, the core clock goes up 8 times: the count continues
    // from where it was at the new rate.
    advanceTo(chip, t1 + 400 * count);
    EXPECT_EQ(chip.read(T0VAL.addr), 400u);
    setPowcon(chip, 0);
    advanceTo(chip, t1 + 400 * count + 400 * 16 - 1);
    EXPECT_FALSE(chip.irqLine());
    advanceTo(chip, t1 + 400 * count + 400 * 16);
    EXPECT_TRUE(chip.irqLine());
}

TEST(Timer1, FreeRunningUpCountOfTheCoreClockWrapsAtThirtyTwoBits) {
    Chip chip;
    chip.write(T1CON.addr, 0x180);
    advance(chip, 8000);
    EXPECT_EQ(chip.read(T1VAL.addr), 1000u);  // one count per core cycle of 8 ticks

    chip.timer1().setValue(0xFFFFFF00);
    const Ticks t0 = chip.now();
    advanceTo(chip, t0 + 0xFF * 8);
    EXPECT_EQ(chip.read(T1VAL.addr), 0xFFFFFFFFu);
    EXPECT_EQ(chip.read(IRQSIG.addr) & INT_TIMER1, 0u);
    advanceTo(chip, t0 + 0x100 * 8);
    EXPECT_EQ(chip.read(T1VAL.addr), 0u);
    EXPECT_NE(chip.read(IRQSIG.addr) & INT_TIMER1, 0u);  // the wrap raises its interrupt
    advanceTo(chip, t0 + 0x200 * 8);
    EXPECT_EQ(chip.read(T1VAL.addr), 0x100u);

    // Divider 0: eight times the rate, from the same count.
    setPowcon(chip, 0);
    advance(chip, 1000);
    EXPECT_EQ(chip.read(T1VAL.addr), 0x100u + 1000u);
}

TEST(WakeupTimer, StartsOnThe32kHzEdgeAndInterruptsAtZero) {
    Chip chip;
    advance(chip, 100);  // between two crystal edges
    EXPECT_EQ(chip.read(T2VAL.addr), 0u);
    chip.write(T2LD.addr, 5);
    chip.write(T2CON.addr, 0x480);
    chip.write(IRQEN.addr, INT_TIMER2);
    EXPECT_EQ(chip.read(T2VAL.addr), 0u);  // not started before the next edge

    const Ticks edge = sim::kTicksPerXtal;
    advanceTo(chip, edge);
    EXPECT_EQ(chip.read(T2VAL.addr), 5u);
    advanceTo(chip, 3 * edge);
    EXPECT_EQ(chip.read(T2VAL.addr), 3u);
    advanceTo(chip, 6 * edge - 1);
    EXPECT_EQ(chip.read(T2VAL.addr), 1u);
    EXPECT_FALSE(chip.irqLine());
    advanceTo(chip, 6 * edge);
    EXPECT_EQ(chip.read(IRQSTA.addr), INT_TIMER2);

    chip.write(T2CON.addr, 0);
    chip.write(T2CLRI.addr, 0);
    EXPECT_FALSE(chip.irqLine());
    advance(chip, 10 * edge);
    EXPECT_EQ(chip.read(T2VAL.addr), 0u);  // stopped
    EXPECT_FALSE(chip.irqLine());
}

TEST(Watchdog, ResetsTheChip125msAfterTheLastRefreshAndNotBefore) {
    Chip chip;
    advance(chip, 777);
    chip.write(T3LD.addr, 0x1000);
    chip.write(T3CON.addr, 0xE0);
    for (int i = 0; i < 10; ++i) {
        advance(chip, sim::fromMillis(100));
        chip.write(T3CLRI.addr, 0xFF);
        EXPECT_FALSE(chip.takeResetRequest().has_value()) << "refresh " << i;
    }
    const Ticks last = chip.now();

    advanceTo(chip, last + sim::fromMillis(125));
    EXPECT_FALSE(chip.takeResetRequest().has_value());
    EXPECT_FALSE(reported(chip, "watchdog reset"));
    // The refresh lands on the next 32 kHz edge: at most one period late.
    advanceTo(chip, last + sim::fromMillis(125) + sim::kTicksPerXtal);
    auto cause = chip.takeResetRequest();
    ASSERT_TRUE(cause.has_value());
    EXPECT_EQ(*cause, ResetCause::Watchdog);
    EXPECT_TRUE(reported(chip, "watchdog reset"));
    chip.reset(*cause);
    EXPECT_EQ(chip.read(RSTSTA.addr) & RST_WATCHDOG, RST_WATCHDOG);
}

// Once in watchdog mode, T3LD and T3CON refuse every write (each refusal
// reported once) and only a power-on reset stops the count: a watchdog or
// software reset leaves it running from where it was.
TEST(Watchdog, WriteProtectedAndRunningAcrossAllButPowerOnResets) {
    Chip chip;
    chip.write(T3LD.addr, 0x1000);
    chip.write(T3CON.addr, 0xE0);
    advance(chip, sim::fromMillis(10));
    chip.write(T3CLRI.addr, 0xFF);  // reload from 4096 at the next edge
    advance(chip, sim::fromMillis(50));
    const size_t before = chip.reports().size();
    chip.write(T3CON.addr, 0);
    chip.write(T3LD.addr, 0xFFFF);
    ASSERT_EQ(chip.reports().size(), before + 2);
    EXPECT_NE(chip.reports()[before].find("T3CON write 0x0 refused"), std::string::npos);
    EXPECT_NE(chip.reports()[before + 1].find("T3LD write 0xFFFF refused"), std::string::npos);
    EXPECT_EQ(chip.read(T3CON.addr), 0xE0u);
    EXPECT_EQ(chip.read(T3LD.addr), 0x1000u);
    EXPECT_EQ(chip.watchdog().refusedWrites(), 2u);

    // A software reset keeps the count going: the chip resets 125 ms after
    // the refresh, not 125 ms after the reset.
    const Ticks refresh = chip.now() - sim::fromMillis(50);
    const uint32_t count = chip.read(T3VAL.addr);
    chip.reset(ResetCause::Software);
    EXPECT_EQ(chip.read(T3VAL.addr), count);
    EXPECT_EQ(chip.read(T3CON.addr), 0xE0u);
    chip.write(T3LD.addr, 0x2000);  // what a booting image would do: refused
    EXPECT_EQ(chip.read(T3LD.addr), 0x1000u);
    advanceTo(chip, refresh + sim::fromMillis(125) - sim::kTicksPerXtal);
    EXPECT_FALSE(chip.takeResetRequest().has_value());
    advanceTo(chip, refresh + sim::fromMillis(125) + sim::kTicksPerXtal);
    auto cause = chip.takeResetRequest();
    ASSERT_TRUE(cause.has_value());

    // After the watchdog's own reset it has reloaded and counts on: with no
    // refresh it resets again one period later.
    const Ticks fired = chip.now();
    chip.reset(*cause);
    EXPECT_TRUE(chip.watchdog().running());
    EXPECT_GT(chip.read(T3VAL.addr), 0xF00u);
    advanceTo(chip, fired + sim::fromMillis(125) + sim::kTicksPerXtal);
    ASSERT_TRUE(chip.takeResetRequest().has_value());

    // Power-on stops it, and the registers take writes again.
    chip.reset(ResetCause::PowerOn);
    EXPECT_FALSE(chip.watchdog().running());
    chip.write(T3LD.addr, 0x20);
    EXPECT_EQ(chip.read(T3LD.addr), 0x20u);
    advance(chip, sim::fromMillis(500));
    EXPECT_FALSE(chip.takeResetRequest().has_value());
}

TEST(CoreBlocks, KeyedPowconNapSoftwareResetAndFiqTakesTheSourceFromIrq) {
    Chip chip;
    chip.write(POWCON.addr, 0);  // no keys
    EXPECT_EQ(chip.coreDivider(), 3u);
    chip.write(POWKEY1.addr, POWKEY1_VAL);
    chip.write(POWCON.addr, 0);
    chip.write(POWKEY2.addr, 0x12);  // wrong second key
    EXPECT_EQ(chip.coreDivider(), 3u);
    setPowcon(chip, 0);
    EXPECT_EQ(chip.coreDivider(), 0u);
    setPowcon(chip, 0x27);
    EXPECT_TRUE(chip.napping());
    EXPECT_EQ(chip.coreDivider(), 7u);

    chip.write(IRQEN.addr, INT_TIMER0 | INT_TIMER2);
    chip.write(FIQEN.addr, INT_TIMER2);
    EXPECT_EQ(chip.read(IRQEN.addr), INT_TIMER0);
    chip.setSource(INT_TIMER2, true);
    EXPECT_TRUE(chip.fiqLine());
    EXPECT_FALSE(chip.irqLine());
    EXPECT_EQ(chip.read(FIQSTA.addr), INT_TIMER2);
    EXPECT_EQ(chip.read(IRQSTA.addr), 0u);

    // The register trace carries the time of every access.
    std::vector<std::string> lines;
    chip.setTrace([&](const std::string& l) { lines.push_back(l); });
    chip.write(T0LD.addr, 7);
    chip.read(T0LD.addr);
    chip.setTrace(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(std::to_string(chip.now()) + " W 0xFFFF0300 0x00000007", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind(std::to_string(chip.now()) + " R 0xFFFF0300 0x00000007", 0), 0u) << lines[1];

    chip.write(RSTSTA.addr, RST_SOFTWARE);
    auto cause = chip.takeResetRequest();
    ASSERT_TRUE(cause.has_value());
    EXPECT_EQ(*cause, ResetCause::Software);
    chip.reset(*cause);
    EXPECT_EQ(chip.read(RSTSTA.addr) & RST_SOFTWARE, RST_SOFTWARE);
    EXPECT_EQ(chip.coreDivider(), 3u);
    EXPECT_FALSE(chip.napping());
    EXPECT_EQ(chip.read(IRQEN.addr), 0u);
}
