#include "velmora.hpp"

#include <algorithm>
#include <cmath>

#include "bytes.hpp"
#include "errors.hpp"

namespace host {
namespace {

constexpr std::string_view kSync = "0\r";
constexpr std::size_t kReplyLenE = 14;     // "e=4294967295\r\n"
constexpr std::size_t kReplyLenA = 5;      // "252\r\n"
constexpr std::size_t kReplyLenDump = 90;  // the whole 'D' dump after CR LF expansion
constexpr unsigned kCalibrateMinCode = 50;

unsigned absdiff(unsigned a, unsigned b) { return a > b ? a - b : b - a; }

std::string quoted(std::string_view bytes) { return "\"" + escape_cut(bytes) + "\""; }

// "ADC[2]=1234" -> 1234 when the index matches.
std::optional<unsigned> parse_adc_line(std::string_view s, unsigned index) {
  const std::string head = "ADC[" + std::to_string(index) + "]=";
  if (s.substr(0, head.size()) != head) return std::nullopt;
  auto v = parse_decimal(s.substr(head.size()), 0xFFFFFFFFu);
  if (!v) return std::nullopt;
  return static_cast<unsigned>(*v);
}

std::optional<int> parse_temperature(std::string_view s) {
  constexpr std::string_view head = "Temperature=";
  if (s.substr(0, head.size()) != head) return std::nullopt;
  s.remove_prefix(head.size());
  bool neg = !s.empty() && s.front() == '-';
  if (neg) s.remove_prefix(1);
  auto v = parse_decimal(s, 0x80000000u);
  if (!v) return std::nullopt;
  long long x = neg ? -static_cast<long long>(*v) : static_cast<long long>(*v);
  if (x > 0x7FFFFFFF) return std::nullopt;
  return static_cast<int>(x);
}

}  // namespace

double die_celsius(int printed) {
  constexpr double kOffsetCode = 1317;     // the firmware's offset
  constexpr double kVref = 2.5;            // data sheet: internal reference, V
  constexpr double kFullScale = 4096;      // 12-bit ADC
  constexpr double kSensorAt25 = 0.780;    // data sheet: typical, V at 25 C
  constexpr double kSensorSlope = -0.0013; // data sheet: typical, V per C
  const double code = kOffsetCode - 1.3 * printed;
  const double volts = code * kVref / kFullScale;
  return 25.0 + (volts - kSensorAt25) / kSensorSlope;
}

VelmoraClient::VelmoraClient(Transport& line, unsigned address, Clock& clock, VelmoraTiming timing,
                             VelmoraTolerance tolerance)
    : line_(line), clock_(clock), reader_(line, clock), address_(address), timing_(timing), tol_(tolerance) {
  if (address > 255) throw usage_error("velmora address " + std::to_string(address) + " out of range 0..255");
}

std::string VelmoraClient::frame(char letter, unsigned address, std::optional<unsigned> value) const {
  std::string f(1, letter);
  f += std::to_string(address);
  if (value) f += " " + std::to_string(*value);
  f += '\r';
  return f;
}

void VelmoraClient::sync() {
  line_.write(kSync);
  synced_ = true;
}

void VelmoraClient::prepare() {
  if (!synced_) sync();
  reader_.discard();  // stale bytes belong to nothing we are about to ask
}

void VelmoraClient::send_frame(char letter, std::optional<unsigned> value) {
  prepare();
  line_.write(frame(letter, address_, value));
}

void VelmoraClient::send_volts(unsigned volts, bool persist) {
  if (persist) {
    // 'V' stores only a set-point that differs from the present one, so a
    // store of the value already set would silently not happen: step 2 V
    // aside first (at least one code at any storable calibration).
    send_frame('U', volts >= 2 ? volts - 2 : volts + 2);
    send_frame('V', volts);
  } else {
    send_frame('U', volts);
  }
}

std::string VelmoraClient::exchange(const std::string& f, std::size_t reply_len, Duration timeout) {
  prepare();
  line_.write(f);
  const Duration gap = std::max<Duration>(wire_time(3, line_.baud()), 5ms);
  const auto deadline = clock_.now() + wire_time(f.size() + reply_len, line_.baud()) + timeout;
  auto got = reader_.until('\n', deadline);
  const std::string what = escape_cut(trim_cr(f));
  if (!got) {
    std::string partial = reader_.take_pending();
    if (partial.empty())
      throw no_reply_error("no reply from velmora " + std::to_string(address_) + " to " + what + " within " +
                           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count()) +
                           " ms");
    sync();
    throw malformed_error("truncated reply " + quoted(partial) + " to " + what);
  }
  // Bytes right after the LF mean a second talker on the bus.
  std::string extra = reader_.until_quiet(gap, clock_.now() + gap);
  sync();
  if (!clean_ascii(*got) || !extra.empty() || got->size() < 2 || (*got)[got->size() - 2] != '\r')
    throw malformed_error("garbled reply " + quoted(*got + extra) + " to " + what +
                          " (two nodes answering at once, or wrong baud rate?)");
  return std::string(trim_cr(*got));
}

unsigned VelmoraClient::read_e(char letter) {
  const std::string f = frame(letter, address_, std::nullopt);
  std::string r = exchange(f, kReplyLenE, timing_.reply_timeout);
  if (r.size() < 3 || r[0] != 'e' || r[1] != '=')
    throw malformed_error("unexpected reply " + quoted(r) + " to " + escape_cut(trim_cr(f)) + " (expected e=N)");
  auto v = parse_decimal(std::string_view(r).substr(2), 0xFFFFFFFFu);
  if (!v) throw malformed_error("bad number in reply " + quoted(r));
  return static_cast<unsigned>(*v);
}

unsigned VelmoraClient::read_volts() { return read_e('H'); }
unsigned VelmoraClient::read_code() { return read_e('R'); }

Dump VelmoraClient::dump() {
  prepare();
  const std::string f = frame('D', address_, std::nullopt);
  line_.write(f);
  const auto deadline = clock_.now() + wire_time(f.size() + kReplyLenDump, line_.baud()) + timing_.reply_timeout;
  // "\n", four "ADC[i]=u\n\r", "Temperature=i\n\r", "\n\r": seven LFs, and a
  // last CR after the final LF.
  std::vector<std::string> lines;
  for (int i = 0; i < 7; ++i) {
    auto l = reader_.until('\n', deadline);
    if (!l) {
      std::string partial = reader_.take_pending();
      if (lines.empty() && partial.empty())
        throw no_reply_error("no reply from velmora " + std::to_string(address_) + " to D" +
                             std::to_string(address_));
      sync();
      throw malformed_error("dump cut after " + std::to_string(lines.size()) + " of 7 lines (then " +
                            quoted(partial) + ")");
    }
    lines.push_back(*l);
  }
  const Duration gap = std::max<Duration>(wire_time(3, line_.baud()), 5ms);
  std::string tail = reader_.until_quiet(gap, clock_.now() + wire_time(1, line_.baud()) + gap);
  sync();
  std::string all;
  for (auto& l : lines) all += l;
  if (!clean_ascii(all + tail) || (tail != "\r" && !tail.empty()))
    throw malformed_error("garbled dump " + quoted(all + tail));
  Dump d;
  if (!trim_cr(lines[0]).empty()) throw malformed_error("dump does not start with an empty line: " + quoted(all));
  for (unsigned i = 0; i < 4; ++i) {
    auto v = parse_adc_line(trim_cr(lines[i + 1]), i);
    if (!v) throw malformed_error("bad dump line " + quoted(lines[i + 1]));
    d.adc[i] = *v;
  }
  auto t = parse_temperature(trim_cr(lines[5]));
  if (!t) throw malformed_error("bad dump line " + quoted(lines[5]));
  d.temperature = *t;
  if (!trim_cr(lines[6]).empty()) throw malformed_error("bad last dump line " + quoted(lines[6]));
  return d;
}

Probe VelmoraClient::probe(unsigned address, Duration timeout) {
  prepare();
  const std::string f = frame('A', address, std::nullopt);
  line_.write(f);
  const Duration gap = std::max<Duration>(wire_time(3, line_.baud()), 5ms);
  const auto deadline = clock_.now() + wire_time(f.size() + kReplyLenA, line_.baud()) + timeout;
  Probe p;
  auto got = reader_.until('\n', deadline);
  if (!got) {
    p.bytes = reader_.take_pending();
    if (p.bytes.empty()) return p;
    p.bytes += reader_.until_quiet(gap, clock_.now() + 10 * gap);
    sync();
    p.kind = ProbeKind::garbled;
    return p;
  }
  p.bytes = *got + reader_.until_quiet(gap, clock_.now() + gap);
  sync();
  auto v = parse_decimal(trim_cr(p.bytes), 255);
  const bool tidy = clean_ascii(p.bytes) && p.bytes.size() >= 3 && p.bytes.substr(p.bytes.size() - 2) == "\r\n";
  if (tidy && v && (address == kBroadcastAddress || *v == address)) {
    p.kind = ProbeKind::answered;
    p.value = static_cast<unsigned>(*v);
  } else {
    p.kind = ProbeKind::garbled;
  }
  return p;
}

unsigned VelmoraClient::query_address() {
  Probe p = probe(address_, timing_.reply_timeout);
  if (p.kind == ProbeKind::silent)
    throw no_reply_error("no node answers at address " + std::to_string(address_));
  if (p.kind == ProbeKind::garbled)
    throw malformed_error("garbled answer " + quoted(p.bytes) + " at address " + std::to_string(address_) +
                          " (two nodes with one address?)");
  return p.value;
}

std::pair<bool, unsigned> VelmoraClient::await(const std::function<unsigned()>& read,
                                               const std::function<bool(unsigned)>& ok, TimePoint deadline) {
  unsigned last = 0;
  for (;;) {
    clock_.sleep_for(timing_.poll);
    last = read();
    if (ok(last)) return {true, last};
    if (clock_.now() >= deadline) return {false, last};
  }
}

Outcome VelmoraClient::verify_volts(unsigned target, TimePoint deadline) {
  auto [ok, last] = await([this] { return read_volts(); },
                          [&](unsigned v) { return absdiff(v, target) <= tol_.volts; }, deadline);
  Outcome o;
  o.readback = last;
  if (ok) {
    o.verdict = Verdict::verified;
    o.detail = "reads " + std::to_string(last) + " V";
  } else if (last <= tol_.volts && target > 2 * tol_.volts) {
    o.verdict = Verdict::unverified;
    o.detail = "reads " + std::to_string(last) + " V: output off? The set-point was sent but cannot be seen";
  } else {
    o.verdict = Verdict::mismatch;
    o.detail = "reads " + std::to_string(last) + " V, expected " + std::to_string(target) + " V +/- " +
               std::to_string(tol_.volts) + " V";
  }
  return o;
}

Outcome VelmoraClient::run_ramp(unsigned from, unsigned to, bool persist, unsigned step, Duration interval) {
  Outcome o;
  const unsigned span = absdiff(from, to);
  const unsigned n = std::max(1u, (span + step - 1) / step);
  for (unsigned k = 1; k <= n; ++k) {
    const unsigned target = k == n ? to : (to > from ? from + k * step : from - k * step);
    // The last step of several differs from the one before, so its 'V' stores.
    if (k == n && n == 1) send_volts(target, persist);
    else send_frame(k == n && persist ? 'V' : 'U', target);
    const auto sent = clock_.now();
    Outcome s = verify_volts(target, sent + timing_.settle);
    o.steps.push_back({target, s.readback});
    o.readback = s.readback;
    if (s.verdict != Verdict::verified) {
      o.verdict = s.verdict;
      o.detail = "ramp stopped at step " + std::to_string(k) + " of " + std::to_string(n) + " (" +
                 std::to_string(target) + " V): " + s.detail + "; set-point left at " + std::to_string(target) + " V";
      return o;
    }
    // Pace the ramp: the next step no sooner than one interval after this one.
    if (k < n) clock_.sleep_until(sent + interval);
  }
  o.verdict = Verdict::verified;
  o.detail = "ramped from " + std::to_string(from) + " V to " + std::to_string(to) + " V in " + std::to_string(n) +
             " steps, reads " + std::to_string(o.readback.value_or(0)) + " V";
  return o;
}

Outcome VelmoraClient::set_volts(unsigned volts, bool persist, const Limit& limit, std::optional<Ramp> ramp) {
  if (volts > kNodeMaxVolts)
    throw usage_error(std::to_string(volts) + " V is beyond the node's range (it clamps set-points to " +
                      std::to_string(kNodeMaxVolts) + " V)");
  if (limit.max_volts && volts > *limit.max_volts)
    throw refused_error("refused: " + std::to_string(volts) + " V exceeds the limit of " +
                        std::to_string(*limit.max_volts) + " V for address " + std::to_string(address_));
  if (ramp) {
    if (ramp->volts_per_s == 0) throw usage_error("ramp rate must be above 0 V/s");
    const double per_step = ramp->volts_per_s * seconds(ramp->interval);
    unsigned step = static_cast<unsigned>(std::max(1.0, std::floor(per_step)));
    if (limit.max_step) step = std::min(step, *limit.max_step);
    const unsigned from = read_volts();
    return run_ramp(from, volts, persist, step, ramp->interval);
  }
  if (limit.max_step) {
    const unsigned now_v = read_volts();
    if (absdiff(now_v, volts) > *limit.max_step)
      throw refused_error("refused: a change from " + std::to_string(now_v) + " V to " + std::to_string(volts) +
                          " V is larger than the largest step " + std::to_string(*limit.max_step) +
                          " V for address " + std::to_string(address_) + " (use a ramp)");
  }
  send_volts(volts, persist);
  return verify_volts(volts, clock_.now() + timing_.settle);
}

Outcome VelmoraClient::set_code(unsigned code, const Limit& limit) {
  if (code > kAdcMaxCode)
    throw usage_error("code " + std::to_string(code) + " is beyond the 12-bit ADC range 0.." +
                      std::to_string(kAdcMaxCode));
  if (limit.any()) {
    if (!limit.max_code)
      throw refused_error("refused: limits apply to address " + std::to_string(address_) +
                          " but give no max_code; code sets need one");
    if (code > *limit.max_code)
      throw refused_error("refused: code " + std::to_string(code) + " exceeds the limit " +
                          std::to_string(*limit.max_code) + " for address " + std::to_string(address_));
    if (limit.max_step_code) {
      const unsigned now_c = read_code();
      if (absdiff(now_c, code) > *limit.max_step_code)
        throw refused_error("refused: a change from code " + std::to_string(now_c) + " to " + std::to_string(code) +
                            " is larger than the largest step " + std::to_string(*limit.max_step_code) +
                            " codes for address " + std::to_string(address_));
    }
  }
  send_frame('E', code);
  auto [ok, last] = await([this] { return read_code(); },
                          [&](unsigned v) { return absdiff(v, code) <= tol_.codes; }, clock_.now() + timing_.settle);
  Outcome o;
  o.readback = last;
  if (ok) {
    o.verdict = Verdict::verified;
    o.detail = "reads code " + std::to_string(last);
  } else if (last <= tol_.codes && code > 2 * tol_.codes) {
    o.verdict = Verdict::unverified;
    o.detail = "reads code " + std::to_string(last) + ": output off? The set-point was sent but cannot be seen";
  } else {
    o.verdict = Verdict::mismatch;
    o.detail = "reads code " + std::to_string(last) + ", expected " + std::to_string(code) + " +/- " +
               std::to_string(tol_.codes) + " (the node also clamps to the code of 2010 V)";
  }
  return o;
}

Outcome VelmoraClient::switch_on(bool persist, std::optional<unsigned> volts, const Limit& limit,
                                 std::optional<Ramp> ramp) {
  if (volts && *volts > kNodeMaxVolts)
    throw usage_error(std::to_string(*volts) + " V is beyond the node's range (it clamps set-points to " +
                      std::to_string(kNodeMaxVolts) + " V)");
  if (limit.any() && !volts)
    throw refused_error("refused: limits apply to address " + std::to_string(address_) +
                        " and the node's set-point cannot be read; give the voltage to switch on at");
  if (volts && limit.max_volts && *volts > *limit.max_volts)
    throw refused_error("refused: " + std::to_string(*volts) + " V exceeds the limit of " +
                        std::to_string(*limit.max_volts) + " V for address " + std::to_string(address_));
  const char on = persist ? 'G' : 'N';
  const unsigned before = read_volts();
  if (before > tol_.live_volts) {
    // Already on: switching again would only restart the regulator.
    Outcome o;
    if (volts) o = set_volts(*volts, persist, limit, ramp);
    if (persist) send_frame(on);
    o.detail = "output was already on (" + std::to_string(before) + " V)" + (volts ? "; " + o.detail : "");
    if (!volts) o.verdict = Verdict::unverified, o.readback = before;
    return o;
  }
  if (volts) {
    if (ramp) {
      send_frame('U', 0);
      send_frame(on);
      return set_volts(*volts, persist, limit, ramp);
    }
    if (limit.max_step && *volts > *limit.max_step)
      throw refused_error("refused: switching on at " + std::to_string(*volts) +
                          " V is a step larger than the largest step " + std::to_string(*limit.max_step) +
                          " V for address " + std::to_string(address_) + " (use a ramp)");
    send_volts(*volts, persist);
    send_frame(on);
    return verify_volts(*volts, clock_.now() + timing_.settle);
  }
  send_frame(on);
  auto [ok, last] = await([this] { return read_volts(); }, [&](unsigned v) { return v > tol_.live_volts; },
                          clock_.now() + timing_.settle);
  Outcome o;
  o.readback = last;
  o.verdict = ok ? Verdict::verified : Verdict::unverified;
  o.detail = ok ? "reads " + std::to_string(last) + " V"
                : "reads " + std::to_string(last) + " V: no voltage seen (set-point 0, or supply fault?)";
  return o;
}

Outcome VelmoraClient::switch_off(bool persist) {
  const unsigned before = read_volts();
  send_frame(persist ? 'S' : 'F');
  auto [ok, last] = await([this] { return read_volts(); }, [&](unsigned v) { return v <= tol_.live_volts; },
                          clock_.now() + timing_.settle);
  Outcome o;
  o.readback = last;
  if (!ok) {
    o.verdict = Verdict::mismatch;
    o.detail = "still reads " + std::to_string(last) + " V";
  } else if (before <= tol_.live_volts) {
    o.verdict = Verdict::unverified;
    o.detail = "reads " + std::to_string(last) + " V, as it did before (" + std::to_string(before) + " V)";
  } else {
    o.verdict = Verdict::verified;
    o.detail = "fell from " + std::to_string(before) + " V to " + std::to_string(last) + " V";
  }
  return o;
}

Outcome VelmoraClient::calibrate(unsigned volts) {
  if (volts == 0 || volts > 65535)
    throw usage_error("calibration voltage must be 1..65535 V (0 would make the node divide by zero)");
  const unsigned code = read_code();
  if (code < kCalibrateMinCode)
    throw refused_error("refused: the output reads code " + std::to_string(code) +
                        "; calibrate with the output on and settled at a set-point well above 0");
  if (volts >= 2 * code)
    throw refused_error("refused: " + std::to_string(volts) + " V at code " + std::to_string(code) +
                        " is 2 V per code or more, which the node cannot store");
  send_frame('C', volts);
  auto [ok, last] = await([this] { return read_volts(); },
                          [&](unsigned v) { return absdiff(v, volts) <= tol_.volts; }, clock_.now() + timing_.settle);
  Outcome o;
  o.readback = last;
  o.verdict = ok ? Verdict::verified : Verdict::mismatch;
  o.detail = "reads " + std::to_string(last) + " V" +
             (ok ? "" : ", expected " + std::to_string(volts) + " V +/- " + std::to_string(tol_.volts) + " V");
  return o;
}

Outcome VelmoraClient::change_address(unsigned new_address) {
  if (new_address < 1 || new_address > 252)
    throw usage_error("new address must be 1..252 (253 is the broadcast address)");
  if (address_ < 1 || address_ > 252)
    throw usage_error("give the node's present address (1..252), not " + std::to_string(address_));
  Outcome o;
  if (new_address == address_) {
    o.readback = query_address();
    o.verdict = Verdict::verified;
    o.detail = "node already answers at " + std::to_string(address_);
    return o;
  }
  const unsigned old = address_;
  query_address();
  Probe taken = probe(new_address, timing_.reply_timeout);
  if (taken.kind != ProbeKind::silent)
    throw refused_error("refused: address " + std::to_string(new_address) + " is taken (answer " + quoted(taken.bytes) +
                        ")");
  const std::string f = frame('A', old, new_address);
  std::string r = exchange(f, kReplyLenA, timing_.reply_timeout);
  auto v = parse_decimal(r, 255);
  if (!v) throw malformed_error("unexpected reply " + quoted(r) + " to " + escape_cut(trim_cr(f)));
  if (*v != new_address) {
    o.verdict = Verdict::mismatch;
    o.readback = static_cast<unsigned>(*v);
    o.detail = "node replied " + r + " instead of " + std::to_string(new_address);
    if (*v != 0) address_ = static_cast<unsigned>(*v);
    return o;
  }
  address_ = new_address;
  Probe at_new = probe(new_address, timing_.reply_timeout);
  Probe at_old = probe(old, timing_.reply_timeout);
  o.readback = at_new.kind == ProbeKind::answered ? std::optional<unsigned>(at_new.value) : std::nullopt;
  if (at_new.kind != ProbeKind::answered) {
    o.verdict = Verdict::mismatch;
    o.detail = "no clean answer at the new address " + std::to_string(new_address);
  } else if (at_old.kind != ProbeKind::silent) {
    o.verdict = Verdict::mismatch;
    o.detail = "a node still answers at the old address " + std::to_string(old);
  } else {
    o.verdict = Verdict::verified;
    o.detail = "node answers at " + std::to_string(new_address) + ", none at " + std::to_string(old);
  }
  return o;
}

Outcome VelmoraClient::reset() {
  send_frame('K');
  clock_.sleep_for(timing_.boot);
  const auto start = clock_.now();
  const auto deadline = start + timing_.settle;
  // Probe faster than the 125 ms watchdog: a byte that reached the node while
  // it booted leaves it waiting for an address, and the next sync closes it.
  const Duration probe_timeout = std::min<Duration>(timing_.reply_timeout, 80ms);
  for (;;) {
    sync();
    Probe p = probe(address_, probe_timeout);
    if (p.kind == ProbeKind::answered) {
      Outcome o;
      o.verdict = Verdict::unverified;
      o.readback = p.value;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - start + timing_.boot);
      o.detail = "node answers again " + std::to_string(ms.count()) +
                 " ms after the reset command (the reset itself cannot be seen on the line)";
      return o;
    }
    if (clock_.now() >= deadline)
      throw no_reply_error("velmora " + std::to_string(address_) + " did not answer after the reset");
  }
}

std::string VelmoraClient::raw(std::string_view data, Duration quiet, bool sync_after) {
  prepare();
  line_.write(data);
  const auto deadline = clock_.now() + wire_time(data.size(), line_.baud()) + timing_.reply_timeout;
  std::string out;
  if (auto first = reader_.exactly(1, deadline)) out = *first + reader_.until_quiet(quiet, clock_.now() + 60s);
  if (!out.empty() && sync_after) sync();
  return out;
}

std::vector<BusEntry> scan_bus(VelmoraClient& client, unsigned first, unsigned last, Duration per_address,
                               const std::function<bool(unsigned)>& keep_going) {
  std::vector<BusEntry> found;
  for (unsigned a = first; a <= last; ++a) {
    if (keep_going && !keep_going(a)) break;
    Probe p = client.probe(a, per_address);
    if (p.kind != ProbeKind::silent) found.push_back({a, p.kind, p.bytes});
  }
  return found;
}

}  // namespace host
