#pragma once
// Test doubles for the host clients: a clock that only moves when the code
// under test waits, a line that follows a script, and a small velmora bus.
#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.hpp"
#include "errors.hpp"
#include "clock.hpp"
#include "transport.hpp"

namespace fake {

using host::Duration;
using host::TimePoint;
using namespace std::chrono_literals;

class Clock final : public host::Clock {
 public:
  TimePoint now() const override { return t_; }
  void sleep_for(Duration d) override {
    if (d > Duration::zero()) t_ += d;
  }
  // Milliseconds since the clock was made.
  double ms() const { return std::chrono::duration<double, std::milli>(t_ - start_).count(); }

 private:
  TimePoint start_{std::chrono::hours(1)};
  TimePoint t_{start_};
};

// Delivers scheduled bytes; a read with nothing due moves the clock on.
class TimedLine : public host::Transport {
 public:
  TimedLine(Clock& clock, unsigned baud) : clock_(clock), baud_(baud) {}

  std::string read_some(Duration timeout) override {
    if (out_.empty() || out_.front().first > clock_.now() + timeout) {
      clock_.sleep_for(timeout);
      return {};
    }
    clock_.sleep_until(out_.front().first);
    std::string got;
    while (!out_.empty() && out_.front().first <= clock_.now()) {
      got += out_.front().second;
      out_.pop_front();
    }
    return got;
  }
  unsigned baud() const override { return baud_; }
  std::string name() const override { return "fake"; }

  // Every byte the host wrote, in order, with the time of each write.
  const std::string& written() const { return written_; }
  std::vector<std::pair<double, std::string>> writes;

 protected:
  void send_later(Duration delay, std::string bytes) {
    TimePoint at = clock_.now() + delay;
    if (!out_.empty()) at = std::max(at, out_.back().first);
    out_.emplace_back(at, std::move(bytes));
  }
  void record(std::string_view bytes) {
    written_ += bytes;
    writes.emplace_back(clock_.ms(), std::string(bytes));
  }
  Clock& clock_;

 private:
  unsigned baud_;
  std::deque<std::pair<TimePoint, std::string>> out_;
  std::string written_;
};

// The far end answers from a script: once the host has written a step's
// `expect` bytes, the step's reply follows after its delay. The velmora bus
// sync "0\r" is let through wherever it appears unless syncs are counted.
class ScriptedLine final : public TimedLine {
 public:
  explicit ScriptedLine(Clock& clock, unsigned baud = 9600) : TimedLine(clock, baud) {}

  ScriptedLine& expect(std::string bytes, std::string reply = "", Duration delay = 2ms) {
    steps_.push_back({std::move(bytes), std::move(reply), delay});
    return *this;
  }
  void strict_sync() { skip_sync_ = false; }

  void write(std::string_view bytes) override {
    record(bytes);
    pending_ += bytes;
    for (;;) {
      if (skip_sync_ && pending_.rfind("0\r", 0) == 0) {
        pending_.erase(0, 2);
        continue;
      }
      if (pending_.empty()) return;
      if (steps_.empty()) {
        violations.push_back("unexpected \"" + host::escape_bytes(pending_) + "\"");
        pending_.clear();
        return;
      }
      const auto& want = steps_.front().expect;
      const std::size_t n = std::min(want.size(), pending_.size());
      if (pending_.compare(0, n, want, 0, n) != 0) {
        violations.push_back("expected \"" + host::escape_bytes(want) + "\", got \"" +
                             host::escape_bytes(pending_) + "\"");
        pending_.clear();
        steps_.pop_front();
        return;
      }
      if (pending_.size() < want.size()) return;
      pending_.erase(0, want.size());
      if (!steps_.front().reply.empty()) send_later(steps_.front().delay, steps_.front().reply);
      steps_.pop_front();
    }
  }

  bool finished() const { return steps_.empty() && pending_.empty(); }
  std::vector<std::string> violations;

 private:
  struct Step {
    std::string expect, reply;
    Duration delay;
  };
  std::deque<Step> steps_;
  std::string pending_;
  bool skip_sync_ = true;
};

// A bus of velmora-like nodes, enough to exercise verification and ramps:
// frames are parsed as the nodes parse them, the supply output follows the
// set-point at once while on (optionally clamped, as by a weak supply), and
// every frame is logged with its time.
class VelmoraBus final : public TimedLine {
 public:
  struct Node {
    unsigned address = 1;
    unsigned setpoint = 2200;  // ADC codes
    bool on = false;
    double c2v = 0.822021484375;
    unsigned clamp_volts = 100000;  // the supply gives no more than this
    bool stuck_on = false;          // the output does not switch off
    std::optional<unsigned> stored_setpoint;  // what 'V' put in the parameter store
    std::optional<bool> stored_on;
  };
  struct Frame {
    double ms;
    char letter;
    unsigned address;
    std::optional<unsigned> value;
  };

  explicit VelmoraBus(Clock& clock) : TimedLine(clock, 9600) {}
  Node& add(unsigned address) {
    nodes_.push_back(Node{});
    nodes_.back().address = address;
    return nodes_.back();
  }
  Node& node(std::size_t i) { return nodes_.at(i); }

  unsigned measured_code(const Node& n) const {
    if (!n.on && !n.stuck_on) return 0;
    const unsigned clamp = static_cast<unsigned>(n.clamp_volts / n.c2v);
    return std::min(n.setpoint, clamp);
  }

  void write(std::string_view bytes) override {
    record(bytes);
    for (char ch : bytes) {
      if (ch == '\n') lf_seen = true;
      if (ch != '\r') {
        pending_ += ch;
        continue;
      }
      handle(pending_);
      pending_.clear();
    }
  }

  std::vector<Frame> frames;  // every frame except the sync
  bool lf_seen = false;

 private:
  void handle(const std::string& f) {
    if (f == "0" || f.empty()) return;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(f[0])));
    std::string rest = f.substr(1);
    auto sp = rest.find(' ');
    unsigned addr = static_cast<unsigned>(std::stoul(rest.substr(0, sp)));
    std::optional<unsigned> value;
    if (sp != std::string::npos) value = static_cast<unsigned>(std::stoul(rest.substr(sp + 1)));
    frames.push_back({clock_.ms(), letter, addr, value});
    for (auto& n : nodes_) {
      if (letter == 'A' && (addr == n.address || addr == 253)) {
        if (value && *value) n.address = *value & 0xFF;
        reply(std::to_string(n.address) + "\r\n");
        continue;
      }
      if (addr != n.address) continue;
      const unsigned max_code = static_cast<unsigned>(2010 / n.c2v);
      switch (letter) {
        case 'E': n.setpoint = std::min(*value, max_code); break;
        case 'U': n.setpoint = std::min(static_cast<unsigned>(*value / n.c2v), max_code); break;
        case 'V': {
          // Like the node: an unchanged set-point is not written to the store.
          const unsigned code = std::min(static_cast<unsigned>(*value / n.c2v), max_code);
          if (code != n.setpoint) n.setpoint = code, n.stored_setpoint = code;
          break;
        }
        case 'N': n.on = true; break;
        case 'G': n.on = true, n.stored_on = true; break;
        case 'F': n.on = false; break;
        case 'S': n.on = false, n.stored_on = false; break;
        case 'C': n.c2v = static_cast<double>(*value) / n.setpoint; break;
        case 'H': reply("e=" + std::to_string(static_cast<unsigned>(measured_code(n) * n.c2v)) + "\r\n"); break;
        case 'R': reply("e=" + std::to_string(measured_code(n)) + "\r\n"); break;
        default: break;
      }
    }
  }
  void reply(const std::string& s) { send_later(5ms, s); }

  std::deque<Node> nodes_;
  std::string pending_;
};


// Runs `f`, expecting a host::Error of `code`; returns its message.
template <class F>
std::string error_of(host::Exit code, F&& f) {
  try {
    f();
  } catch (const host::Error& e) {
    EXPECT_EQ(static_cast<int>(e.code()), static_cast<int>(code)) << e.what();
    return e.what();
  }
  ADD_FAILURE() << "no error thrown";
  return {};
}

}  // namespace fake
