#pragma once
// A byte line to one or more nodes: a serial port, a simulator pseudo-terminal,
// a TCP socket, or a scripted fake in tests. Reads never block longer than asked.
#include <cstddef>
#include <string>
#include <string_view>

#include "clock.hpp"

namespace host {

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends all bytes; throws a port error when the line refuses them.
  virtual void write(std::string_view bytes) = 0;
  // Waits at most `timeout` for input and returns what has arrived, possibly
  // nothing. Throws a port error when the line is gone.
  virtual std::string read_some(Duration timeout) = 0;
  // Line rate in baud, 0 when the line has none (TCP). Used for time budgets.
  virtual unsigned baud() const { return 0; }
  virtual std::string name() const = 0;
  // A descriptor that poll() can wait on, or -1.
  virtual int poll_fd() const { return -1; }
};

// Time that `bytes` characters take on a line of `baud` (8N1: ten bits each).
// A line without a rate is taken as instantaneous.
inline Duration wire_time(std::size_t bytes, unsigned baud) {
  if (baud == 0) return Duration::zero();
  return Duration(static_cast<long long>(bytes) * 10 * 1'000'000 / baud);
}

}  // namespace host
