#include "line_worker.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "errors.hpp"
#include "serial_port.hpp"

namespace host::serve {

LineWorker::LineWorker(std::string kind, std::string where, unsigned baud, EventHub& hub)
    : hub_(hub), kind_(std::move(kind)), where_(std::move(where)), baud_(baud) {
  since_ = unix_ms();
}

LineWorker::~LineWorker() { stop(); }

void LineWorker::start() { thread_ = std::thread([this] { run(); }); }

void LineWorker::stop() {
  stop_ = true;
  jobs_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

json LineWorker::call(std::function<json()> fn, std::chrono::milliseconds timeout) {
  if (!line_open()) {
    std::lock_guard<std::mutex> lock(state_m_);
    throw port_error("the " + kind_ + " line " + where_ + " is " + state_ + (error_.empty() ? "" : ": " + error_));
  }
  std::packaged_task<json()> task([this, fn = std::move(fn)] {
    if (!line_) throw port_error("the " + kind_ + " line " + where_ + " was lost");
    return fn();
  });
  auto result = task.get_future();
  {
    std::lock_guard<std::mutex> lock(jobs_m_);
    jobs_.push_back(std::move(task));
  }
  jobs_cv_.notify_all();
  if (result.wait_for(timeout) != std::future_status::ready)
    throw Error(Exit::failure, "the " + kind_ + " line did not finish the command in time");
  return result.get();
}

json LineWorker::line_json() {
  std::lock_guard<std::mutex> lock(state_m_);
  return {{"kind", kind_}, {"port", where_}, {"baud", baud_}, {"state", state_}, {"error", error_},
          {"since", since_}};
}

bool LineWorker::line_open() {
  std::lock_guard<std::mutex> lock(state_m_);
  return state_ == "open";
}

void LineWorker::publish_line() { hub_.publish("line", line_json()); }

void LineWorker::set_state(const std::string& state, const std::string& error) {
  {
    std::lock_guard<std::mutex> lock(state_m_);
    if (state_ == state && error_ == error) return;
    state_ = state;
    error_ = error;
    since_ = unix_ms();
  }
  publish_line();
}

bool LineWorker::run_one_job() {
  std::packaged_task<json()> job;
  {
    std::lock_guard<std::mutex> lock(jobs_m_);
    if (jobs_.empty()) return false;
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
  job();  // exceptions are stored in the job's future
  return true;
}

void LineWorker::run() {
  // A velmora reply leaves every node waiting for an address until the host's
  // sync follows; 125 ms later their watchdogs reset them. So this thread
  // asks for a better share of the processor than the HTTP threads (allowed
  // for root or with CAP_SYS_NICE; without, it runs at the normal share).
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);
  while (!stop_) {
    if (!line_) {
      try {
        line_ = std::make_unique<TapLine>(open_line(where_, baud_, std::chrono::seconds(1)), frames_);
        set_state("open", "");
        on_open();
      } catch (const Error& e) {
        const bool was_open = line_ != nullptr;
        line_.reset();
        set_state("lost", e.what());
        if (was_open) on_lost(e.what());
        // Commands queued while the line went away fail now; the next ones fail at once.
        while (run_one_job()) {
        }
        std::unique_lock<std::mutex> lock(jobs_m_);
        jobs_cv_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stop_.load(); });
        continue;
      }
    }
    try {
      if (run_one_job()) continue;
      if (!background()) {
        std::unique_lock<std::mutex> lock(jobs_m_);
        jobs_cv_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stop_ || !jobs_.empty(); });
      }
    } catch (const Error& e) {
      if (e.code() != Exit::port) continue;  // node-level faults are handled where they happen
      line_.reset();
      set_state("lost", e.what());
      on_lost(e.what());
    }
  }
}

}  // namespace host::serve
