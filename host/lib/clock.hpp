#pragma once
// Time source for every wait and deadline of the clients. Tests substitute a
// fake clock that a scripted line advances, so time-out paths run instantly.
#include <chrono>

namespace host {

using Duration = std::chrono::microseconds;
using TimePoint = std::chrono::steady_clock::time_point;
using namespace std::chrono_literals;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  virtual void sleep_for(Duration d) = 0;
  void sleep_until(TimePoint t) {
    const auto n = now();
    if (t > n) sleep_for(std::chrono::duration_cast<Duration>(t - n));
  }
};

// The process-wide steady clock.
Clock& system_clock();

inline double seconds(Duration d) { return std::chrono::duration<double>(d).count(); }
inline Duration millis(long long ms) { return std::chrono::milliseconds(ms); }

}  // namespace host
