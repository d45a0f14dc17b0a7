#pragma once
// One thread owns one line: it opens it (and opens it again after it was
// lost), polls the nodes on it, and runs the commands that HTTP requests hand
// it between two polls, so that nothing else ever writes to the line.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "hub.hpp"
#include "transport.hpp"

namespace host::serve {

class LineWorker {
 public:
  LineWorker(std::string kind, std::string where, unsigned baud, EventHub& hub);
  virtual ~LineWorker();
  LineWorker(const LineWorker&) = delete;
  LineWorker& operator=(const LineWorker&) = delete;

  void start();
  void stop();

  // Runs `fn` on the line's thread and returns its result; its exceptions
  // (host::Error) come back here. A lost line is a port error at once.
  json call(std::function<json()> fn, std::chrono::milliseconds timeout = std::chrono::seconds(120));

  const std::string& kind() const { return kind_; }
  const std::string& where() const { return where_; }
  FrameLog& frames() { return frames_; }
  // {"kind", "port", "baud", "state": "opening"|"open"|"lost", "error", "since"}
  json line_json();
  bool line_open();

 protected:
  // On the line's thread: after every (re)open; may throw.
  virtual void on_open() = 0;
  // On the line's thread: the line failed and was closed.
  virtual void on_lost(const std::string& why) = 0;
  // On the line's thread: one unit of background work (a poll); may throw.
  // Returns false when there was nothing to do (the thread then naps briefly).
  virtual bool background() = 0;
  // Published after a change of the line's state.
  virtual void publish_line();

  Transport& line() { return *line_; }
  EventHub& hub_;
  bool stopping() const { return stop_; }

 private:
  void run();
  void set_state(const std::string& state, const std::string& error);
  bool run_one_job();

  std::string kind_, where_;
  unsigned baud_;
  FrameLog frames_;
  std::unique_ptr<Transport> line_;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::mutex jobs_m_;
  std::condition_variable jobs_cv_;
  std::deque<std::packaged_task<json()>> jobs_;

  std::mutex state_m_;
  std::string state_ = "opening";
  std::string error_;
  std::int64_t since_ = 0;
};

}  // namespace host::serve
