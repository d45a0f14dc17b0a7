#include "reader.hpp"

namespace host {

bool Reader::fill(TimePoint deadline) {
  // A read may come back empty before its time (a signal); only the deadline ends the wait.
  for (;;) {
    const auto now = clock_.now();
    if (now >= deadline) return false;
    auto chunk = line_.read_some(std::chrono::duration_cast<Duration>(deadline - now));
    if (!chunk.empty()) {
      buf_ += chunk;
      return true;
    }
  }
}

std::optional<std::string> Reader::until(char delim, TimePoint deadline) {
  std::size_t searched = 0;
  for (;;) {
    auto pos = buf_.find(delim, searched);
    if (pos != std::string::npos) {
      std::string out = buf_.substr(0, pos + 1);
      buf_.erase(0, pos + 1);
      return out;
    }
    searched = buf_.size();
    if (!fill(deadline)) return std::nullopt;
  }
}

std::optional<std::string> Reader::exactly(std::size_t n, TimePoint deadline) {
  while (buf_.size() < n)
    if (!fill(deadline)) return std::nullopt;
  std::string out = buf_.substr(0, n);
  buf_.erase(0, n);
  return out;
}

std::string Reader::until_quiet(Duration gap, TimePoint deadline) {
  for (;;) {
    const auto now = clock_.now();
    const auto quiet_end = now + gap;
    if (!fill(quiet_end < deadline ? quiet_end : deadline)) break;
  }
  return take_pending();
}

std::string Reader::discard() {
  std::string dropped = take_pending();
  for (;;) {
    auto chunk = line_.read_some(Duration::zero());
    if (chunk.empty()) break;
    dropped += chunk;
  }
  return dropped;
}

std::string Reader::take_pending() {
  std::string out;
  out.swap(buf_);
  return out;
}

}  // namespace host
