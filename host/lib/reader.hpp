#pragma once
// Buffered reading from a Transport against deadlines. Bytes that arrive past
// what a caller asked for stay buffered for the next call.
#include <optional>
#include <string>

#include "clock.hpp"
#include "transport.hpp"

namespace host {

class Reader {
 public:
  Reader(Transport& line, Clock& clock) : line_(line), clock_(clock) {}

  // Bytes up to and including the first `delim`, or nullopt when the deadline
  // passes first (what did arrive stays in pending()).
  std::optional<std::string> until(char delim, TimePoint deadline);
  // Exactly n bytes, or nullopt at the deadline (partial bytes stay pending).
  std::optional<std::string> exactly(std::size_t n, TimePoint deadline);
  // Everything that arrives until the line has been quiet for `gap`, but not
  // past `deadline`. Includes what was already pending.
  std::string until_quiet(Duration gap, TimePoint deadline);
  // Drops the buffer and whatever the line delivers right now.
  std::string discard();

  const std::string& pending() const { return buf_; }
  std::string take_pending();
  Clock& clock() { return clock_; }
  Transport& line() { return line_; }

 private:
  // Reads one chunk; false when the deadline passed without input.
  bool fill(TimePoint deadline);

  Transport& line_;
  Clock& clock_;
  std::string buf_;
};

}  // namespace host
