#include "readout.hpp"

#include "errors.hpp"

namespace host::serve {

Readout::Readout(std::string where, unsigned baud, ReadoutOptions opt, EventHub& hub, Failures& failures)
    : LineWorker("tavlo", std::move(where), baud, hub), opt_(opt), failures_(failures) {
  address_ = opt_.address;
}

json Readout::unit_view() const {
  auto o = [](const std::optional<unsigned>& v) { return v ? json(*v) : json(nullptr); };
  json j = {{"address", o(address_)}, {"averaging", o(averaging_)}, {"settle", o(settle_)},
            {"version", o(version_)}, {"reply", reply_},            {"error", error_},
            {"last_reply", last_reply_}, {"running", running_},     {"t", unix_ms()},
            {"scans", seq_}};
  if (averaging_ && settle_)
    j["scan_ms"] = std::chrono::duration<double, std::milli>(TavloClient::scan_time(*averaging_, *settle_)).count();
  return j;
}

json Readout::unit_json() {
  std::lock_guard<std::mutex> lock(m_);
  return unit_view();
}

std::optional<json> Readout::profile() {
  std::lock_guard<std::mutex> lock(m_);
  return profile_;
}

void Readout::publish_unit() { hub_.publish("unit", unit_json()); }

TavloClient& Readout::client() {
  if (!client_) {
    TavloTiming t;
    t.reply_timeout = opt_.reply_timeout;
    if (!address_) {
      TavloClient probe(line(), 1, system_clock(), t);
      const unsigned a = probe.identify();
      std::lock_guard<std::mutex> lock(m_);
      address_ = a;
    }
    client_ = std::make_unique<TavloClient>(line(), *address_, system_clock(), t);
  }
  return *client_;
}

void Readout::failed(const Error& e) {
  if (e.code() == Exit::port) throw e;
  client_.reset();  // the unit may have been reset and left the selected state
  {
    std::lock_guard<std::mutex> lock(m_);
    reply_ = e.code() == Exit::no_reply ? "no reply" : "reply garbled";
    error_ = e.what();
  }
  publish_unit();
}

void Readout::learn() {
  auto& c = client();
  c.select();
  const unsigned a = c.averaging();
  const unsigned d = c.settle_time();
  const unsigned v = c.version();
  {
    std::lock_guard<std::mutex> lock(m_);
    averaging_ = a;
    settle_ = d;
    version_ = v;
    reply_ = "ok";
    error_.clear();
    last_reply_ = unix_ms();
  }
  publish_unit();
}

void Readout::on_open() {
  client_.reset();
  try {
    learn();
  } catch (const Error& e) {
    failed(e);
  }
  next_check_ = system_clock().now() + opt_.check_every;
}

void Readout::on_lost(const std::string& why) {
  client_.reset();
  {
    std::lock_guard<std::mutex> lock(m_);
    reply_ = "line lost";
    error_ = why;
  }
  publish_unit();
}

void Readout::measure_once() {
  auto& c = client();
  Scan s = c.measure(ScanWait::computed);
  json x = json::array(), y = json::array();
  unsigned px = 0, py = 0;
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    x.push_back(s[ch].x);
    y.push_back(s[ch].y);
    if (s[ch].x > s[px].x) px = ch;
    if (s[ch].y > s[py].y) py = ch;
  }
  json p;
  {
    std::lock_guard<std::mutex> lock(m_);
    p = {{"t", unix_ms()}, {"seq", ++seq_}, {"x", x}, {"y", y}, {"peak", {{"x", px}, {"y", py}}},
         {"averaging", averaging_ ? json(*averaging_) : json(nullptr)},
         {"settle", settle_ ? json(*settle_) : json(nullptr)}};
    profile_ = p;
    reply_ = "ok";
    error_.clear();
    last_reply_ = unix_ms();
  }
  hub_.publish("profile", p);
}

bool Readout::background() {
  const auto now = system_clock().now();
  bool running;
  {
    std::lock_guard<std::mutex> lock(m_);
    running = running_;
  }
  if (!running && now < next_check_) return false;
  next_check_ = now + opt_.check_every;
  try {
    if (!client_) {
      learn();
    } else if (running) {
      measure_once();
      return true;
    } else {
      const unsigned v = client().version();
      std::lock_guard<std::mutex> lock(m_);
      version_ = v;
      reply_ = "ok";
      error_.clear();
      last_reply_ = unix_ms();
    }
    publish_unit();
  } catch (const Error& e) {
    failed(e);
  }
  return false;
}

json Readout::select() {
  return call([this]() -> json {
    try {
      client_.reset();
      learn();
    } catch (const Error& e) {
      failed(e);
    }
    return {{"verdict", "verified"}, {"unit", unit_json()}};
  });
}

json Readout::averaging(unsigned exponent) {
  if (exponent < 1 || exponent > kMaxAveraging)
    throw usage_error("averaging exponent must be 1.." + std::to_string(kMaxAveraging) + " (2^N passes)");
  return set_parameter([=, this] { return client().set_averaging(exponent); }, averaging_);
}

json Readout::settle(unsigned units) {
  if (units < 1 || units > 65535) throw usage_error("settling time must be 1..65535 units of about 1 us");
  return set_parameter([=, this] { return client().set_settle_time(units); }, settle_);
}

// Sends one parameter on the line thread and keeps the unit's read-back of it.
json Readout::set_parameter(std::function<Outcome()> send, std::optional<unsigned>& kept) {
  return call([=, this, &kept]() -> json {
    try {
      Outcome o = send();
      {
        std::lock_guard<std::mutex> lock(m_);
        kept = o.readback;
        last_reply_ = unix_ms();
        reply_ = "ok";
      }
      publish_unit();
      return {{"verdict", to_string(o.verdict)}, {"detail", o.detail}, {"readback", o.readback.value_or(0)}};
    } catch (const Error& e) {
      failed(e);
      throw;
    }
  });
}

json Readout::acquire(unsigned count) {
  if (count < 1 || count > 100) throw usage_error("count must be 1..100 scans");
  return call([=, this]() -> json {
    try {
      for (unsigned i = 0; i < count; ++i) measure_once();
      publish_unit();
      return {{"verdict", "verified"}, {"count", count}, {"profile", *profile()}};
    } catch (const Error& e) {
      failed(e);
      throw;
    }
  });
}

json Readout::run(bool on) {
  return call([=, this]() -> json {
    {
      std::lock_guard<std::mutex> lock(m_);
      running_ = on;
    }
    publish_unit();
    return {{"verdict", "verified"}, {"running", on}};
  });
}

}  // namespace host::serve
