// velmora's boot against a watchdog that keeps running through watchdog and
// software resets: the boot's T3LD/T3CON writes are refused, and the boot
// must reach its first refresh (T3CLRI, step 7) before the running watchdog
// expires, then the command loop's first refresh (by the tick) within one
// period after that, on a first boot (format and defaults) as well.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "aduc702x.h"
#include "periph/timers.h"
#include "support/velmora_host.h"

namespace {

using namespace nodetest;
using sim::Ticks;

inline constexpr Ticks kPeriod = 4096 * sim::kTicksPerXtal;  // T3LD 0x1000 of the 32.768 kHz clock

// Every T3CLRI write with the time left on the watchdog just before it.
struct Refreshes {
    struct Refresh {
        Ticks at, left;
    };
    std::vector<Refresh> seen;
    explicit Refreshes(sim::Chip& chip) {
        chip.setTrace([this, &chip](const std::string& line) {
            unsigned long long t;
            char kind;
            unsigned addr;
            if (std::sscanf(line.c_str(), "%llu %c %x", &t, &kind, &addr) != 3 || kind != 'W' || addr != T3CLRI.addr)
                return;
            const Ticks expiry = chip.watchdog().nextExpiry();
            seen.push_back({chip.now(), expiry == sim::kNever ? sim::kNever : expiry - chip.now()});
        });
    }
};

// From a reset to the loop: the margin left at the boot's own refresh (the
// watchdog was already counting) and between that refresh and the loop's
// first one.
struct BootMargins {
    double atBootRefreshMs = 0;  // time left on the running watchdog at step 7
    double loopMs = 0;           // step 7 to the first refresh by a tick
};

// Refreshes since the last reset (see the test's onReset).
BootMargins bootAfter(VelmoraHost& node, Refreshes& r) {
    // The boot's two refreshes, then the tick's.
    const auto ok = node.m.runUntil([&] { return r.seen.size() >= 3; }, sim::fromMillis(300));
    EXPECT_TRUE(ok) << ok.report;
    BootMargins b;
    if (r.seen.size() < 3) return b;
    b.atBootRefreshMs = r.seen[0].left == sim::kNever ? 1e9 : sim::toMillis(r.seen[0].left);
    b.loopMs = sim::toMillis(r.seen[2].at - r.seen[1].at);
    return b;
}

TEST(VelmoraWatchdog, BootReachesItsRefreshesInTimeAfterEveryKindOfReset) {
    VelmoraHost node;
    // The reports a running watchdog gives a booting image, and its own.
    node.reports.allow("write-protected in watchdog mode");
    node.reports.allow("watchdog reset");
    Refreshes r(node.m.chip());
    node.m.onReset = [&](sim::ResetCause) { r.seen.clear(); };

    // First boot: blank store, format and defaults after the refresh.
    node.m.powerOn();
    const BootMargins first = bootAfter(node, r);
    EXPECT_EQ(node.m.chip().watchdog().refusedWrites(), 0u);
    EXPECT_LT(first.loopMs, sim::toMillis(kPeriod));
    node.waitForLoop();

    // 'K': the watchdog runs on, the boot's set-up of it is refused.
    const unsigned before = node.resets();
    node.send("K1\r");
    ASSERT_EQ(node.resets(), before + 1);
    EXPECT_EQ(node.m.chip().lastReset(), sim::ResetCause::Software);
    const BootMargins soft = bootAfter(node, r);
    EXPECT_EQ(node.m.chip().watchdog().refusedWrites(), 2u) << "T3LD and T3CON";
    EXPECT_GT(soft.atBootRefreshMs, 0.0);
    EXPECT_LT(soft.loopMs, sim::toMillis(kPeriod));
    node.waitForLoop();

    // An unfinished frame: the watchdog resets the chip and counts on.
    node.m.chip().uart().receive('H', kBusBaud);
    const auto reset = node.m.runUntil([&] { return node.resets() > before + 1; }, sim::fromMillis(300));
    ASSERT_TRUE(reset) << reset.report;
    EXPECT_EQ(node.m.chip().lastReset(), sim::ResetCause::Watchdog);
    const BootMargins dog = bootAfter(node, r);
    EXPECT_EQ(node.m.chip().watchdog().refusedWrites(), 4u);
    EXPECT_GT(dog.atBootRefreshMs, 0.0);
    EXPECT_LT(dog.loopMs, sim::toMillis(kPeriod));
    node.waitForLoop();
    EXPECT_EQ(node.exchange("A1\r"), "1\r\n");

    std::printf("watchdog margins: first boot %.2f ms of %.0f to the loop; after 'K' %.2f ms left at the boot's "
                "refresh, %.2f ms to the loop; after a watchdog reset %.2f ms left, %.2f ms to the loop\n",
                first.loopMs, sim::toMillis(kPeriod), soft.atBootRefreshMs, soft.loopMs, dog.atBootRefreshMs,
                dog.loopMs);
}

}  // namespace
