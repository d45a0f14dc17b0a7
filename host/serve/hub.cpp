#include "hub.hpp"

#include <chrono>
#include <ctime>

#include "bytes.hpp"
#include "errors.hpp"

namespace host::serve {

std::int64_t unix_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string iso_time(std::int64_t ms) {
  std::time_t s = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&s, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

void EventHub::publish(const std::string& type, const json& data) {
  {
    std::lock_guard<std::mutex> lock(m_);
    ring_.push_back({next_++, type, data.dump(-1, ' ', false, json::error_handler_t::replace)});
    while (ring_.size() > keep_) ring_.pop_front();
  }
  cv_.notify_all();
}

std::vector<Event> EventHub::wait_after(std::uint64_t after, std::chrono::milliseconds timeout, bool& lost) {
  std::unique_lock<std::mutex> lock(m_);
  cv_.wait_for(lock, timeout, [&] { return closed_ || (!ring_.empty() && ring_.back().id > after); });
  std::vector<Event> out;
  lost = !ring_.empty() && after != 0 && ring_.front().id > after + 1;
  for (const auto& e : ring_)
    if (e.id > after) out.push_back(e);
  return out;
}

std::uint64_t EventHub::last_id() {
  std::lock_guard<std::mutex> lock(m_);
  return next_ - 1;
}

void EventHub::close() {
  closed_ = true;
  cv_.notify_all();
}

void FrameLog::add(char dir, std::string_view bytes) {
  std::lock_guard<std::mutex> lock(m_);
  // Consecutive reads of one reply arrive in pieces; join them when close in time.
  const auto now = unix_ms();
  if (!ring_.empty() && ring_.back().dir == dir && dir == '<' && now - ring_.back().t < 20 &&
      ring_.back().bytes.back() != '\n') {
    ring_.back().bytes += bytes;
    return;
  }
  ring_.push_back({++seq_, now, dir, std::string(bytes)});
  while (ring_.size() > keep_) ring_.pop_front();
}

json FrameLog::since(std::uint64_t after, std::size_t max, std::uint64_t& last) {
  std::lock_guard<std::mutex> lock(m_);
  json out = json::array();
  std::size_t start = ring_.size() > max ? ring_.size() - max : 0;
  for (std::size_t i = start; i < ring_.size(); ++i) {
    const auto& e = ring_[i];
    if (e.seq <= after) continue;
    out.push_back({{"t", e.t}, {"dir", std::string(1, e.dir)}, {"bytes", escape_bytes(e.bytes)}});
  }
  last = seq_;
  return out;
}

void Failures::add(const json& entry) {
  std::lock_guard<std::mutex> lock(m_);
  ring_.push_back(entry);
  while (ring_.size() > 200) ring_.pop_front();
}

json Failures::all() {
  std::lock_guard<std::mutex> lock(m_);
  return json(ring_);
}

AuditLog::AuditLog(const std::string& path) {
  if (path.empty()) return;
  f_ = std::fopen(path.c_str(), "a");
  if (!f_) throw usage_error("cannot open the audit log " + path + " for appending");
}

AuditLog::~AuditLog() {
  if (f_) std::fclose(f_);
}

void AuditLog::append(const std::string& client, const json& request, const json& result) {
  json line = {{"time", iso_time(unix_ms())}, {"client", client}, {"request", request}, {"result", result}};
  std::lock_guard<std::mutex> lock(m_);
  if (f_) {
    const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
    std::fprintf(f_, "%s\n", text.c_str());
    std::fflush(f_);  // the record must survive a crash of the server
  }
  recent_.push_back(std::move(line));
  while (recent_.size() > 200) recent_.pop_front();
}

json AuditLog::tail(std::size_t n) {
  std::lock_guard<std::mutex> lock(m_);
  json out = json::array();
  std::size_t start = recent_.size() > n ? recent_.size() - n : 0;
  for (std::size_t i = start; i < recent_.size(); ++i) out.push_back(recent_[i]);
  return out;
}

}  // namespace host::serve
