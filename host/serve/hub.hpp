#pragma once
// What the console's lines share with its HTTP side: the event stream that
// pages watch, the log of frames and failures, and the audit log of every
// state change.
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "transport.hpp"

namespace host::serve {

using json = nlohmann::json;

// Milliseconds since the Unix epoch: the time stamps the page and the CSV use.
std::int64_t unix_ms();
// "2026-12-08T17:40:01.123Z"
std::string iso_time(std::int64_t ms);

struct Event {
  std::uint64_t id = 0;
  std::string type;
  std::string data;  // JSON text, encoded once for every watcher
};

// Fan-out of events to any number of watchers. Watchers that fall behind
// more than the ring holds miss the oldest events and are told to reload.
class EventHub {
 public:
  explicit EventHub(std::size_t keep = 512) : keep_(keep) {}
  void publish(const std::string& type, const json& data);
  // Events after `after`, waiting at most `timeout` for the first one.
  // `lost` is set when some were dropped from the ring before being seen.
  std::vector<Event> wait_after(std::uint64_t after, std::chrono::milliseconds timeout, bool& lost);
  std::uint64_t last_id();
  // Wakes every waiter for good (server shutting down).
  void close();
  bool closed() const { return closed_; }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Event> ring_;
  std::uint64_t next_ = 1;
  std::size_t keep_;
  std::atomic<bool> closed_{false};
};

// The last frames on one line, each chunk with its time, direction and bytes.
class FrameLog {
 public:
  explicit FrameLog(std::size_t keep = 400) : keep_(keep) {}
  void add(char dir, std::string_view bytes);
  // Entries newer than `after` (sequence numbers), at most `max` of the newest.
  json since(std::uint64_t after, std::size_t max, std::uint64_t& last);

 private:
  struct Entry {
    std::uint64_t seq;
    std::int64_t t;
    char dir;
    std::string bytes;
  };
  std::mutex m_;
  std::deque<Entry> ring_;
  std::uint64_t seq_ = 0;
  std::size_t keep_;
};

// A Transport that records every chunk in a FrameLog.
class TapLine final : public Transport {
 public:
  TapLine(std::unique_ptr<Transport> inner, FrameLog& log) : inner_(std::move(inner)), log_(log) {}
  void write(std::string_view bytes) override {
    log_.add('>', bytes);
    inner_->write(bytes);
  }
  std::string read_some(Duration timeout) override {
    auto got = inner_->read_some(timeout);
    if (!got.empty()) log_.add('<', got);
    return got;
  }
  unsigned baud() const override { return inner_->baud(); }
  std::string name() const override { return inner_->name(); }
  int poll_fd() const override { return inner_->poll_fd(); }

 private:
  std::unique_ptr<Transport> inner_;
  FrameLog& log_;
};

// Refused and failed commands, kept for the page (newest last).
class Failures {
 public:
  void add(const json& entry);
  json all();

 private:
  std::mutex m_;
  std::deque<json> ring_;
};

// Appends one JSON line per state change: time, client, request, result.
class AuditLog {
 public:
  explicit AuditLog(const std::string& path);  // "" keeps it in memory only
  ~AuditLog();
  void append(const std::string& client, const json& request, const json& result);
  json tail(std::size_t n);

 private:
  std::mutex m_;
  std::FILE* f_ = nullptr;
  std::deque<json> recent_;
};

}  // namespace host::serve
