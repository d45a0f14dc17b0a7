// Virtual time of the simulated board.
#pragma once
#include <cstdint>

namespace sim {

// One tick is one period of the 41.7792 MHz PLL clock. The core clock is that
// divided by 2^CD, and the 32.768 kHz crystal period is exactly 1275 ticks,
// so every clock on the chip is a whole number of ticks.
using Ticks = uint64_t;

inline constexpr uint64_t kTicksPerSecond = 41'779'200;
inline constexpr Ticks kTicksPerXtal = 1275;  // one 32.768 kHz period
inline constexpr Ticks kNever = ~Ticks{0};

inline constexpr Ticks fromMicros(double us) { return Ticks(us * kTicksPerSecond / 1e6 + 0.5); }
inline constexpr Ticks fromMillis(double ms) { return Ticks(ms * kTicksPerSecond / 1e3 + 0.5); }
inline constexpr Ticks fromSeconds(double s) { return Ticks(s * kTicksPerSecond + 0.5); }
inline constexpr double toSeconds(Ticks t) { return double(t) / kTicksPerSecond; }
inline constexpr double toMicros(Ticks t) { return double(t) * 1e6 / kTicksPerSecond; }
inline constexpr double toMillis(Ticks t) { return double(t) * 1e3 / kTicksPerSecond; }

}  // namespace sim
