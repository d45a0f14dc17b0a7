// Busy-wait of about one microsecond per unit on the free-running Timer1
// count (T1CON 0x180). One implementation; each node instantiates it with its
// own factor K = Timer1 counts per unit (the core clock in MHz, rounded down)
// in the module that owns `delay`.
#pragma once

#include <stdint.h>

#include "aduc702x.h"

extern "C" void delay(uint32_t duration);

// Timer1 counts per unit at core clock divider `cd`.
constexpr uint32_t delay_factor(unsigned cd) { return (PLL_HZ >> cd) / 1'000'000; }
static_assert(delay_factor(3) == 5 && delay_factor(0) == 41);

// Returns once K x (duration - 1) counts have passed since the start, so a
// duration of 1 does not wait. The caller keeps K x (duration - 1) below 2^31:
// then the target lies in the same frame as the start and a plain unsigned
// compare ends the wait, also across the wrap of T1VAL.
template <uint32_t K>
inline void delay_ticks(uint32_t duration) {
    if (duration == 0) return;
    const uint32_t ticks = K * duration - K;
    // The first read only picks the frame; the wait counts from the second.
    if (static_cast<uint32_t>(T1VAL) <= 0x80000000u) {
        const uint32_t target = T1VAL + ticks;
        while (static_cast<uint32_t>(T1VAL) < target) {}
    } else {
        // Shifted frame: the upper half of the count maps onto 1..0x7FFFFFFF
        // and runs on through the wrap of T1VAL without a jump.
        constexpr uint32_t kShift = 0x80000000u;
        const uint32_t target = (T1VAL + kShift) + ticks;
        while (T1VAL + kShift < target) {}
    }
}
