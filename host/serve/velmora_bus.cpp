#include "velmora_bus.hpp"

#include <algorithm>
#include <cmath>

#include "errors.hpp"
#include "serve_errors.hpp"

namespace host::serve {
namespace {

unsigned absdiff(unsigned a, unsigned b) { return a > b ? a - b : b - a; }

json limit_json(const Limit& l) {
  json j = json::object();
  if (l.max_volts) j["max_volts"] = *l.max_volts;
  if (l.max_step) j["max_step"] = *l.max_step;
  if (l.max_code) j["max_code"] = *l.max_code;
  if (l.max_step_code) j["max_step_code"] = *l.max_step_code;
  return j;
}

template <class T>
json opt_json(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}

// Characters one poll puts on the line: "H12\r" "e=2010\r\n" "0\r" and the
// same for 'R' (addresses of one or two digits, four-digit readings).
constexpr double kPollChars = 2 * (4 + 8 + 2);

}  // namespace

const char* verdict_name(Verdict v) { return to_string(v); }

json outcome_json(const Outcome& o) {
  json j = {{"verdict", to_string(o.verdict)}, {"detail", o.detail}, {"readback", opt_json(o.readback)}};
  if (!o.steps.empty()) {
    json steps = json::array();
    for (const auto& s : o.steps) steps.push_back({{"target", s.target}, {"readback", opt_json(s.readback)}});
    j["steps"] = steps;
  }
  return j;
}

VelmoraBus::VelmoraBus(std::string where, unsigned baud, VelmoraOptions opt, EventHub& hub, Failures& failures)
    : LineWorker("velmora", std::move(where), baud, hub), opt_(std::move(opt)), failures_(failures) {
  for (unsigned a : opt_.nodes) nodes_[a].address = a;
  scanned_ = !opt_.nodes.empty();
}

// ------------------------------------------------------------ snapshots ----

std::string VelmoraBus::regulation(const Node& n) const {
  if (n.reply == "no reply" || n.reply == "reply garbled" || n.reply == "line lost" || n.reply == "unknown")
    return n.reply;
  if (n.ramp) return "ramping";
  if (!n.volts) return "unknown";
  const VelmoraTolerance tol;
  if (*n.volts <= tol.live_volts) return n.output.value_or(false) && n.setpoint.value_or(0) > tol.live_volts
                                             ? "no output"
                                             : "off";
  if (n.output && !*n.output) return "falling";
  if (!n.setpoint) return "on";
  return absdiff(*n.volts, *n.setpoint) <= opt_.band ? "within band" : "out of band";
}

json VelmoraBus::node_view(const Node& n) const {
  const VelmoraTolerance tol;
  json j = {{"address", n.address},
            {"volts", opt_json(n.volts)},
            {"code", opt_json(n.code)},
            {"setpoint", opt_json(n.setpoint)},
            {"on", n.volts ? json(*n.volts > tol.live_volts) : json(nullptr)},
            {"state", regulation(n)},
            {"reply", n.reply},
            {"error", n.error},
            {"last_reply", n.last_reply},
            {"band", opt_.band},
            {"limit", limit_json(opt_.limits.for_address(n.address))},
            {"t", unix_ms()}};
  if (n.ramp)
    j["ramp"] = {{"from", n.ramp->from}, {"to", n.ramp->to}, {"step", n.ramp->step},
                 {"k", n.ramp->k},       {"n", n.ramp->n},   {"target", n.ramp->target}};
  double rate = 0;
  if (n.polls.size() >= 2) {
    const double span = (n.polls.back() - n.polls.front()) / 1000.0;
    if (span > 0) rate = (n.polls.size() - 1) / span;
  }
  j["poll_hz"] = std::round(rate * 100) / 100;
  if (!n.history.empty()) j["sample"] = {n.history.back().t, n.history.back().volts, n.history.back().code};
  return j;
}

json VelmoraBus::nodes_json() {
  std::lock_guard<std::mutex> lock(m_);
  json out = json::array();
  for (const auto& [a, n] : nodes_) out.push_back(node_view(n));
  return out;
}

std::optional<json> VelmoraBus::node_json(unsigned address) {
  std::lock_guard<std::mutex> lock(m_);
  auto it = nodes_.find(address);
  if (it == nodes_.end()) return std::nullopt;
  return node_view(it->second);
}

bool VelmoraBus::has_node(unsigned address) {
  std::lock_guard<std::mutex> lock(m_);
  return nodes_.count(address) != 0;
}

std::optional<std::vector<Sample>> VelmoraBus::history(unsigned address, double secs) {
  std::lock_guard<std::mutex> lock(m_);
  auto it = nodes_.find(address);
  if (it == nodes_.end()) return std::nullopt;
  const auto since = secs > 0 ? unix_ms() - static_cast<std::int64_t>(secs * 1000) : 0;
  std::vector<Sample> out;
  for (const auto& s : it->second.history)
    if (s.t >= since) out.push_back(s);
  return out;
}

json VelmoraBus::rates_json() {
  std::size_t count;
  double measured = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    count = nodes_.size();
    for (const auto& [a, n] : nodes_)
      if (n.polls.size() >= 2) {
        const double span = (n.polls.back() - n.polls.front()) / 1000.0;
        if (span > 0) measured += (n.polls.size() - 1) / span;
      }
  }
  // The bus carries 960 characters a second at 9600 Bd (10 bits each); a
  // poll of one node (volts and code) needs kPollChars of them, plus the
  // node's turn-around and the quiet gap the client waits for after a reply.
  const double baud = line_json()["baud"].get<double>();
  const double wire = kPollChars * 10.0 / baud + 2 * 0.0035;
  json j = {{"bus_polls_per_s", std::round(10 / wire) / 10}, {"nodes", count}, {"measured_polls_per_s",
                                                                                std::round(measured * 10) / 10}};
  j["per_node_hz"] = count ? std::round(10 / wire / count) / 10 : 0.0;
  j["scan"] = scan_state_;
  return j;
}

// ---------------------------------------------------------- line thread ----

VelmoraClient& VelmoraBus::client(Node& n) {
  if (!n.client) {
    VelmoraTiming t;
    t.reply_timeout = opt_.reply_timeout;
    t.settle = opt_.settle;
    n.client = std::make_unique<VelmoraClient>(line(), n.address, system_clock(), t);
  }
  return *n.client;
}

void VelmoraBus::on_open() {
  {
    std::lock_guard<std::mutex> lock(m_);
    for (auto& [a, n] : nodes_) n.client.reset();  // a new line: sync again
  }
  if (!scanned_) {
    do_scan(opt_.scan_from, opt_.scan_to);
    scanned_ = true;
  }
}

void VelmoraBus::on_lost(const std::string& why) {
  std::lock_guard<std::mutex> lock(m_);
  for (auto& [a, n] : nodes_) {
    n.client.reset();
    n.reply = "line lost";
    n.error = why;
    if (n.ramp) {
      n.ramp->done(n.ramp->request, {{"verdict", "mismatch"}, {"detail", "ramp stopped: line lost (" + why + ")"}});
      n.ramp.reset();
    }
  }
  for (auto& [a, n] : nodes_) hub_.publish("node", node_view(n));
}

void VelmoraBus::do_scan(unsigned from, unsigned to) {
  {
    std::lock_guard<std::mutex> lock(m_);
    scan_state_ = "scanning " + std::to_string(from) + ".." + std::to_string(to);
  }
  hub_.publish("scan", {{"state", scan_state_}});
  VelmoraTiming t;
  t.reply_timeout = opt_.reply_timeout;
  VelmoraClient probe(line(), kBroadcastAddress, system_clock(), t);
  auto found = scan_bus(probe, from, to, opt_.scan_per_address, [this](unsigned) { return !stopping(); });
  {
    std::lock_guard<std::mutex> lock(m_);
    for (const auto& e : found) {
      Node& n = nodes_[e.address];
      n.address = e.address;
      if (e.kind == ProbeKind::garbled) {
        n.reply = "reply garbled";
        n.error = "garbled answer to A" + std::to_string(e.address) + " (two nodes at one address?)";
      }
    }
    scan_state_ = "";
  }
  json addrs = json::array();
  for (const auto& e : found) addrs.push_back(e.address);
  hub_.publish("scan", {{"state", ""}, {"found", addrs}, {"from", from}, {"to", to}});
  hub_.publish("nodes", nodes_json());
}

void VelmoraBus::publish_node(const Node& n) {
  json view;
  {
    std::lock_guard<std::mutex> lock(m_);
    view = node_view(n);
  }
  hub_.publish("node", view);
}

void VelmoraBus::poll(Node& n) {
  auto& c = client(n);
  std::string reply = "ok", error;
  unsigned volts = 0, code = 0;
  try {
    volts = c.read_volts();
    code = c.read_code();
  } catch (const Error& e) {
    if (e.code() == Exit::port) throw;
    reply = e.code() == Exit::no_reply ? "no reply" : "reply garbled";
    error = e.what();
  }
  const auto now = unix_ms();
  {
    std::lock_guard<std::mutex> lock(m_);
    n.reply = reply;
    n.error = error;
    n.polls.push_back(now);
    while (n.polls.size() > 2 && now - n.polls.front() > 5000) n.polls.pop_front();
    if (reply == "ok") {
      n.volts = volts;
      n.code = code;
      n.last_reply = now;
      n.history.push_back({now, volts, code});
      while (n.history.size() > opt_.history) n.history.pop_front();
    }
  }
  if (n.ramp) step_ramp(n);
  publish_node(n);
}

bool VelmoraBus::background() {
  if (nodes_.empty()) return false;
  // Nodes that ramp get every other turn, so their steps follow quickly.
  Node* pick = nullptr;
  if (ramp_turn_) {
    for (auto& [a, n] : nodes_)
      if (n.ramp && (!pick || n.ramp->sent < pick->ramp->sent)) pick = &n;
  }
  ramp_turn_ = !ramp_turn_;
  if (!pick) {
    next_ %= nodes_.size();
    auto it = std::next(nodes_.begin(), static_cast<long>(next_++));
    pick = &it->second;
  }
  poll(*pick);
  return true;
}

void VelmoraBus::end_ramp(Node& n, const std::string& verdict, const std::string& detail) {
  RampRun r;
  {
    std::lock_guard<std::mutex> lock(m_);
    r = std::move(*n.ramp);
    n.ramp.reset();
  }
  json result = {{"verdict", verdict}, {"detail", detail}, {"readback", opt_json(n.volts)}};
  if (verdict != "verified")
    failures_.add({{"t", unix_ms()}, {"what", "ramp of velmora " + std::to_string(n.address)}, {"error", detail}});
  hub_.publish("result", {{"address", n.address}, {"what", "ramp"}, {"result", result}});
  if (r.done) r.done(r.request, result);
}

void VelmoraBus::step_ramp(Node& n) {
  RampRun& r = *n.ramp;
  const VelmoraTolerance tol;
  const auto now = system_clock().now();
  if (n.reply != "ok") {
    if (now - r.sent > opt_.settle)
      end_ramp(n, "mismatch", "ramp stopped at step " + std::to_string(r.k) + " of " + std::to_string(r.n) + " (" +
                                  std::to_string(r.target) + " V): " + n.reply + "; set-point left at " +
                                  std::to_string(r.target) + " V");
    return;
  }
  const unsigned v = n.volts.value_or(0);
  if (absdiff(v, r.target) > tol.volts) {
    if (now - r.sent > opt_.settle)
      end_ramp(n, "mismatch", "ramp stopped at step " + std::to_string(r.k) + " of " + std::to_string(r.n) + " (" +
                                  std::to_string(r.target) + " V): reads " + std::to_string(v) +
                                  " V; set-point left at " + std::to_string(r.target) + " V");
    return;
  }
  if (r.k == r.n) {
    end_ramp(n, "verified",
             "ramped from " + std::to_string(r.from) + " V to " + std::to_string(r.to) + " V in " + std::to_string(r.n) +
                 " steps, reads " + std::to_string(v) + " V");
    return;
  }
  if (now < r.sent + opt_.ramp_interval) return;
  auto& c = client(n);
  const unsigned k = r.k + 1;
  const unsigned target = k == r.n ? r.to : (r.to > r.from ? r.from + k * r.step : r.from - k * r.step);
  // The last step differs from the one before it, so its 'V' stores.
  c.send_frame(k == r.n && r.persist ? 'V' : 'U', target);
  std::lock_guard<std::mutex> lock(m_);
  r.k = k;
  r.target = target;
  r.sent = system_clock().now();
  n.setpoint = target;
}

json VelmoraBus::start_ramp(Node& n, unsigned from, unsigned to, unsigned rate, bool persist, const json& request,
                            Finished done) {
  const Limit limit = opt_.limits.for_address(n.address);
  const double per_step = rate * seconds(opt_.ramp_interval);
  unsigned step = static_cast<unsigned>(std::max(1.0, std::floor(per_step)));
  if (limit.max_step) step = std::min(step, *limit.max_step);
  RampRun r;
  r.from = from;
  r.to = to;
  r.step = step;
  r.n = std::max(1u, (absdiff(from, to) + step - 1) / step);
  r.persist = persist;
  r.request = request;
  r.done = std::move(done);
  r.k = 1;
  r.target = r.n == 1 ? to : (to > from ? from + step : from - step);
  auto& c = client(n);
  if (r.n == 1 && persist) {
    c.send_frame('U', to >= 2 ? to - 2 : to + 2);  // 'V' stores only a change
    c.send_frame('V', to);
  } else {
    c.send_frame(r.n == 1 && persist ? 'V' : 'U', r.target);
  }
  r.sent = system_clock().now();
  json j = {{"verdict", "started"},
            {"detail", "ramping " + std::to_string(from) + " V to " + std::to_string(to) + " V in " +
                           std::to_string(r.n) + " steps of at most " + std::to_string(step) + " V"},
            {"steps", r.n},
            {"step", step}};
  {
    std::lock_guard<std::mutex> lock(m_);
    n.setpoint = r.target;
    n.ramp = std::move(r);
  }
  publish_node(n);
  return j;
}

VelmoraBus::Node& VelmoraBus::node(unsigned address) {
  auto it = nodes_.find(address);
  if (it == nodes_.end()) throw NotFound("no velmora node " + std::to_string(address) + " on the bus");
  return it->second;
}

// ------------------------------------------------------------- commands ----

namespace {

void check_volts(unsigned volts, const Limit& limit, unsigned address) {
  if (volts > kNodeMaxVolts)
    throw usage_error(std::to_string(volts) + " V is beyond the node's range (it clamps set-points to " +
                      std::to_string(kNodeMaxVolts) + " V)");
  if (limit.max_volts && volts > *limit.max_volts)
    throw refused_error("refused: " + std::to_string(volts) + " V exceeds the limit of " +
                        std::to_string(*limit.max_volts) + " V for address " + std::to_string(address));
}

void check_rate(unsigned rate) {
  if (rate == 0 || rate > 10000) throw usage_error("ramp rate must be 1..10000 V/s");
}

}  // namespace

json VelmoraBus::set(unsigned address, unsigned volts, std::optional<unsigned> ramp, bool persist, Finished done) {
  if (!has_node(address)) throw NotFound("no velmora node " + std::to_string(address) + " on the bus");
  const Limit limit = opt_.limits.for_address(address);
  check_volts(volts, limit, address);
  if (ramp) check_rate(*ramp);
  json request = {{"command", "set"}, {"address", address}, {"volts", volts}, {"ramp", opt_json(ramp)},
                  {"persist", persist}};
  return call([=, this, done = std::move(done)]() -> json {
    Node& n = node(address);
    if (n.ramp) throw refused_error("refused: velmora " + std::to_string(address) + " is ramping");
    auto& c = client(n);
    if (ramp) {
      const unsigned from = c.read_volts();
      if (from <= VelmoraTolerance{}.live_volts)
        throw refused_error("refused: velmora " + std::to_string(address) + " reads " + std::to_string(from) +
                            " V, its output is off; switch it on with a voltage and a ramp");
      return start_ramp(n, from, volts, *ramp, persist, request, done);
    }
    Outcome o = c.set_volts(volts, persist, limit);
    {
      std::lock_guard<std::mutex> lock(m_);
      n.setpoint = volts;
    }
    publish_node(n);
    return outcome_json(o);
  });
}

json VelmoraBus::on(unsigned address, std::optional<unsigned> volts, std::optional<unsigned> ramp, bool persist,
                    Finished done) {
  if (!has_node(address)) throw NotFound("no velmora node " + std::to_string(address) + " on the bus");
  const Limit limit = opt_.limits.for_address(address);
  if (volts) check_volts(*volts, limit, address);
  if (ramp) check_rate(*ramp);
  if (ramp && !volts) throw usage_error("a ramp needs the voltage to switch on at");
  if (limit.any() && !volts)
    throw refused_error("refused: limits apply to address " + std::to_string(address) +
                        " and the node's set-point cannot be read; give the voltage to switch on at");
  json request = {{"command", "on"}, {"address", address}, {"volts", opt_json(volts)}, {"ramp", opt_json(ramp)},
                  {"persist", persist}};
  return call([=, this, done = std::move(done)]() -> json {
    Node& n = node(address);
    if (n.ramp) throw refused_error("refused: velmora " + std::to_string(address) + " is ramping");
    auto& c = client(n);
    if (ramp) {
      const unsigned before = c.read_volts();
      if (before <= VelmoraTolerance{}.live_volts) {
        c.send_frame('U', 0);
        c.send_frame(persist ? 'G' : 'N');
        std::lock_guard<std::mutex> lock(m_);
        n.output = true;
        n.setpoint = 0;
      }
      return start_ramp(n, before <= VelmoraTolerance{}.live_volts ? 0 : before, *volts, *ramp, persist, request,
                        done);
    }
    Outcome o = c.switch_on(persist, volts, limit);
    {
      std::lock_guard<std::mutex> lock(m_);
      n.output = true;
      if (volts) n.setpoint = *volts;
    }
    publish_node(n);
    return outcome_json(o);
  });
}

json VelmoraBus::off(unsigned address, bool persist) {
  if (!has_node(address)) throw NotFound("no velmora node " + std::to_string(address) + " on the bus");
  return call([=, this]() -> json {
    Node& n = node(address);
    if (n.ramp) end_ramp(n, "mismatch", "ramp stopped: output switched off");
    Outcome o = client(n).switch_off(persist);
    {
      std::lock_guard<std::mutex> lock(m_);
      n.output = false;
    }
    publish_node(n);
    return outcome_json(o);
  });
}

json VelmoraBus::calibrate(unsigned address, unsigned volts) {
  if (!has_node(address)) throw NotFound("no velmora node " + std::to_string(address) + " on the bus");
  if (volts == 0 || volts > 65535) throw usage_error("calibration voltage must be 1..65535 V");
  return call([=, this]() -> json {
    Node& n = node(address);
    if (n.ramp) throw refused_error("refused: velmora " + std::to_string(address) + " is ramping");
    Outcome o = client(n).calibrate(volts);
    publish_node(n);
    return outcome_json(o);
  });
}

json VelmoraBus::change_address(unsigned address, unsigned to) {
  if (!has_node(address)) throw NotFound("no velmora node " + std::to_string(address) + " on the bus");
  if (to < 1 || to > 252) throw usage_error("new address must be 1..252 (253 is the broadcast address)");
  if (to != address && has_node(to)) throw refused_error("refused: address " + std::to_string(to) + " is taken");
  return call([=, this]() -> json {
    Node& n = node(address);
    if (n.ramp) throw refused_error("refused: velmora " + std::to_string(address) + " is ramping");
    Outcome o = client(n).change_address(to);
    const unsigned now_at = n.client->address();
    if (now_at != address) {
      std::lock_guard<std::mutex> lock(m_);
      auto handle = nodes_.extract(address);
      handle.key() = now_at;
      handle.mapped().address = now_at;
      handle.mapped().client.reset();
      nodes_.insert(std::move(handle));
    }
    hub_.publish("nodes", nodes_json());
    return outcome_json(o);
  });
}

json VelmoraBus::all_off(bool persist) {
  return call([=, this]() -> json {
    // Every node is told first, then each is read back.
    std::vector<Node*> all;
    for (auto& [a, n] : nodes_) {
      if (n.ramp) end_ramp(n, "mismatch", "ramp stopped: all outputs off");
      all.push_back(&n);
    }
    json sent = json::object();
    for (Node* n : all) {
      try {
        client(*n).send_frame(persist ? 'S' : 'F');
        std::lock_guard<std::mutex> lock(m_);
        n->output = false;
        sent[std::to_string(n->address)] = true;
      } catch (const Error& e) {
        if (e.code() == Exit::port) throw;
        sent[std::to_string(n->address)] = false;
      }
    }
    const VelmoraTolerance tol;
    const auto deadline = system_clock().now() + opt_.settle;
    std::map<unsigned, json> result;
    for (;;) {
      bool pending = false;
      for (Node* n : all) {
        if (result.count(n->address) && result[n->address]["verdict"] == "verified") continue;
        try {
          const unsigned v = client(*n).read_volts();
          {
            std::lock_guard<std::mutex> lock(m_);
            n->volts = v;
            n->reply = "ok";
            n->last_reply = unix_ms();
          }
          publish_node(*n);
          if (v <= tol.live_volts)
            result[n->address] = {{"verdict", "verified"}, {"readback", v}, {"detail", "reads " + std::to_string(v) + " V"}};
          else {
            result[n->address] = {{"verdict", "mismatch"}, {"readback", v},
                                  {"detail", "still reads " + std::to_string(v) + " V"}};
            pending = true;
          }
        } catch (const Error& e) {
          if (e.code() == Exit::port) throw;
          result[n->address] = {{"verdict", "unverified"}, {"readback", nullptr}, {"detail", e.what()}};
        }
      }
      if (!pending || system_clock().now() >= deadline) break;
      system_clock().sleep_for(100ms);
    }
    json nodes = json::object();
    bool all_ok = true;
    for (auto& [a, r] : result) {
      all_ok = all_ok && r["verdict"] == "verified";
      nodes[std::to_string(a)] = r;
    }
    return {{"verdict", all_ok ? "verified" : "mismatch"}, {"nodes", nodes}, {"persist", persist}};
  });
}

json VelmoraBus::scan(unsigned from, unsigned to) {
  if (from < 1 || to > 252 || from > to) throw usage_error("scan range must be within 1..252, from <= to");
  return call([=, this]() -> json {
    for (auto& [a, n] : nodes_)
      if (n.ramp) throw refused_error("refused: velmora " + std::to_string(a) + " is ramping");
    do_scan(from, to);
    json found = json::array();
    std::lock_guard<std::mutex> lock(m_);
    for (auto& [a, n] : nodes_)
      if (a >= from && a <= to) found.push_back(a);
    return {{"verdict", "verified"}, {"nodes", found}};
  });
}

}  // namespace host::serve
