#include "clock.hpp"

#include <thread>

namespace host {
namespace {

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  void sleep_for(Duration d) override {
    if (d > Duration::zero()) std::this_thread::sleep_for(d);
  }
};

}  // namespace

Clock& system_clock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace host
