#pragma once
// The velmora bus as the console runs it: every node's volts and code polled
// in turn, a history ring per node, ramps stepped between polls, and the
// operator's commands run between two polls with the limit file enforced.
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "limits.hpp"
#include "line_worker.hpp"
#include "velmora.hpp"

namespace host::serve {

struct VelmoraOptions {
  std::vector<unsigned> nodes;  // empty: scan at start
  unsigned scan_from = 1, scan_to = 252;
  Duration scan_per_address = 50ms;
  Duration reply_timeout = 200ms;
  Duration settle = 3s;
  Duration ramp_interval = 250ms;
  unsigned band = 5;              // volts: "within band" of the set-point
  std::size_t history = 6000;     // samples kept per node
  LimitTable limits;
};

struct Sample {
  std::int64_t t;  // unix ms
  unsigned volts;
  unsigned code;
};

// Who asked, for the audit line written when a ramp ends.
using Finished = std::function<void(const json& request, const json& result)>;

class VelmoraBus final : public LineWorker {
 public:
  VelmoraBus(std::string where, unsigned baud, VelmoraOptions opt, EventHub& hub, Failures& failures);

  // Snapshots for the HTTP side.
  json nodes_json();
  std::optional<json> node_json(unsigned address);
  bool has_node(unsigned address);
  // Samples of the last `seconds` (0: all).
  std::optional<std::vector<Sample>> history(unsigned address, double seconds);
  json rates_json();

  // Commands (called from HTTP threads; each runs on the line's thread).
  // Errors are host::Error: usage (bad value), refused (limits), port, no_reply...
  json set(unsigned address, unsigned volts, std::optional<unsigned> ramp, bool persist, Finished done);
  json on(unsigned address, std::optional<unsigned> volts, std::optional<unsigned> ramp, bool persist, Finished done);
  json off(unsigned address, bool persist);
  json calibrate(unsigned address, unsigned volts);
  json change_address(unsigned address, unsigned to);
  json all_off(bool persist);
  json scan(unsigned from, unsigned to);

  const Limit limit_for(unsigned address) const { return opt_.limits.for_address(address); }

 private:
  struct RampRun {
    unsigned from = 0, to = 0, step = 1, n = 1, k = 0, target = 0;
    bool persist = false;
    TimePoint sent{};
    json request;
    Finished done;
  };
  struct Node {
    unsigned address = 0;
    std::optional<unsigned> volts, code;
    std::optional<unsigned> setpoint;  // what the console last sent; the node cannot tell
    std::optional<bool> output;        // likewise for on/off
    std::string reply = "unknown";     // "ok", "no reply", "reply garbled", "line lost"
    std::string error;
    std::int64_t last_reply = 0;
    std::deque<Sample> history;
    std::deque<std::int64_t> polls;    // times of the last polls, for the rate
    std::optional<RampRun> ramp;
    std::unique_ptr<VelmoraClient> client;
  };

  void on_open() override;
  void on_lost(const std::string& why) override;
  bool background() override;

  Node& node(unsigned address);  // under m_; throws a 404-type usage error
  VelmoraClient& client(Node& n);
  void poll(Node& n);
  void step_ramp(Node& n);
  void end_ramp(Node& n, const std::string& verdict, const std::string& detail);
  json start_ramp(Node& n, unsigned from, unsigned to, unsigned rate, bool persist, const json& request,
                  Finished done);
  void publish_node(const Node& n);
  json node_view(const Node& n) const;
  std::string regulation(const Node& n) const;
  void do_scan(unsigned from, unsigned to);

  VelmoraOptions opt_;
  Failures& failures_;
  mutable std::mutex m_;  // guards nodes_ for readers on other threads
  std::map<unsigned, Node> nodes_;
  std::size_t next_ = 0;     // round-robin position
  bool ramp_turn_ = false;   // alternate ramping nodes with the others
  bool scanned_ = false;
  std::string scan_state_;   // "", "scanning 1..252"
};

json outcome_json(const Outcome& o);

}  // namespace host::serve
