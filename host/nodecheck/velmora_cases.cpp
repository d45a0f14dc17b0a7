// velmora protocol checks: addressing, reply formats, set-points, calibration,
// persistence over a reset, the watchdog, receive errors and timing.
//
// The output stays off unless the operator allows a voltage; then no
// set-point above it is sent, in volts or in codes (codes are converted with
// the node's own factor, measured first). Every reset is preceded by storing
// the output state off ('S'), so a reset never switches the output on.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <regex>

#include "bytes.hpp"
#include "check.hpp"
#include "errors.hpp"
#include "reader.hpp"
#include "serial_port.hpp"
#include "velmora.hpp"

namespace check {
namespace {

using host::VelmoraClient;
using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr unsigned kLiveVolts = 10;            // a reading at or below this counts as "no output"
constexpr double kDefaultFactor = 26936.0 / 32768.0;  // first-boot ADC2HV (volts per code)
constexpr Duration kWatchdog = 125ms;          // Timer3 period of the node
constexpr Duration kSettle = 4s;               // for the output to reach a set-point
constexpr Duration kBoot = 600ms;              // reset to answering again, with margin

std::string ms(Duration d) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f ms", std::chrono::duration<double, std::milli>(d).count());
  return b;
}

unsigned absdiff(unsigned a, unsigned b) { return a > b ? a - b : b - a; }

// The node's arithmetic for 'C' (single precision, as the firmware does it):
// the ADC2HV it stores for `volts` measured at set-point `code`.
unsigned stored_factor(unsigned volts, unsigned code) {
  const float c2v = static_cast<float>(static_cast<int>(volts)) / static_cast<float>(code);
  const double a = static_cast<double>(c2v * 32768.0f) + 0.5;
  return a <= 0 ? 0u : a >= 4294967296.0 ? 0xFFFFFFFFu : static_cast<unsigned>(a);
}

class Velmora {
 public:
  explicit Velmora(Session& s)
      : s_(s), line_(s.line()), addr_(s.opt().address) {
    retarget(addr_);
  }

  VelmoraClient& client() { return *hv_; }
  // Talks to the node at another address from now on.
  void retarget(unsigned a) {
    addr_ = a;
    hv_ = std::make_unique<VelmoraClient>(line_, a, s_.clock());
  }
  unsigned addr() const { return addr_; }
  std::string frame(char letter, unsigned address, std::optional<unsigned> value = {}) const {
    std::string f(1, letter);
    f += std::to_string(address);
    if (value) f += " " + std::to_string(*value);
    return f + "\r";
  }

  // Sends `bytes` and returns what came back until the line was quiet for
  // `quiet`, with the time to the first byte; syncs the bus afterwards.
  struct Answer {
    std::string bytes;
    Duration first{};  // from the end of the frame on the wire to the first reply byte
    Duration span{};   // first to last reply byte
  };
  // A reply ends with its `lines`-th LF (the dump: and the CR after it).
  // Every listening node may take that LF as a command letter and wait for
  // an address, and its watchdog resets it 125 ms later: so the reply is
  // taken as complete as soon as its shape says so, and the bus is synced at
  // once, never after waiting for the line to fall quiet.
  Answer talk(const std::string& bytes, Duration wait = 300ms, unsigned lines = 1, bool trailing_cr = false) {
    s_.checkpoint();
    hv_->sync();
    host::Reader r(line_, s_.clock());
    r.discard();
    const auto sent = SteadyClock::now();
    line_.write(bytes);
    const auto on_wire = sent + host::wire_time(bytes.size(), line_.baud());
    Answer a;
    if (auto first = r.exactly(1, on_wire + wait)) {
      const auto t1 = SteadyClock::now();
      a.first = std::chrono::duration_cast<Duration>(t1 - on_wire);
      a.bytes = *first;
      auto last = t1;
      // Each line within 100 ms of the one before: far longer than the node
      // takes (1 ms a character), short of its watchdog.
      unsigned got = a.bytes == "\n" ? 1 : 0;
      while (got < lines) {
        auto l = r.until('\n', SteadyClock::now() + 100ms);
        if (!l) {
          a.bytes += r.take_pending();
          break;
        }
        a.bytes += *l;
        last = SteadyClock::now();
        ++got;
      }
      if (got == lines && trailing_cr) {
        if (auto cr = r.exactly(1, SteadyClock::now() + 50ms)) {
          a.bytes += *cr;
          last = SteadyClock::now();
        }
      }
      a.span = std::chrono::duration_cast<Duration>(last - t1);
      hv_->sync();
      // Anything right behind the reply (a second talker, a garbled tail).
      a.bytes += r.until_quiet(5ms, SteadyClock::now() + 5ms);
    }
    hv_->sync();
    return a;
  }

  // A frame that must draw no answer.
  void silent(const std::string& bytes, const std::string& why) {
    Answer a = talk(bytes, 250ms);
    require(a.bytes.empty(), why + ": " + quoted(bytes) + " drew " + quoted(a.bytes) + ", expected no answer");
  }

  // A free address near ours (for "another node" frames and address moves).
  unsigned free_address() {
    for (unsigned k = 1; k < 20; ++k) {
      const unsigned a = (addr_ + k * 7 - 1) % 252 + 1;
      if (a == addr_) continue;
      if (hv_->probe(a, 250ms).kind == host::ProbeKind::silent) return a;
    }
    throw Skipped("no free address found near " + std::to_string(addr_));
  }

  unsigned volts() { return hv_->read_volts(); }
  unsigned code() { return hv_->read_code(); }

  // Polls a reading until `ok`; returns the last reading.
  unsigned await(bool use_code, const std::function<bool(unsigned)>& ok, Duration limit = kSettle) {
    const auto end = SteadyClock::now() + limit;
    unsigned v = 0;
    for (;;) {
      s_.sleep(100ms);
      v = use_code ? code() : volts();
      if (ok(v) || SteadyClock::now() >= end) return v;
    }
  }

  // Safety: every set-point goes through here.
  // Sends a frame that has no reply; with `check`, also sees that none comes.
  void send(char letter, std::optional<unsigned> value, bool check) {
    if (!check) return hv_->send_frame(letter, value);
    silent(frame(letter, addr_, value), std::string(1, letter) + " has no reply");
  }
  void set_volts(unsigned v, bool check = false) {
    if (!s_.opt().allow_hv || v > *s_.opt().allow_hv)
      throw std::logic_error("refusing a set-point of " + std::to_string(v) + " V beyond --allow-hv");
    send('U', v, check);
  }
  void set_code(unsigned c, double factor, bool check = false) {
    if (!s_.opt().allow_hv || c * factor > *s_.opt().allow_hv)
      throw std::logic_error("refusing code " + std::to_string(c) + " (" + std::to_string(c * factor) +
                             " V) beyond --allow-hv");
    send('E', c, check);
  }
  void output_on(bool check = false) {
    if (!s_.opt().allow_hv) throw std::logic_error("output on without --allow-hv");
    send('N', std::nullopt, check);
  }
  // Off, and seen to be off.
  void output_off() {
    hv_->send_frame('F');
    const unsigned v = await(false, [](unsigned x) { return x <= kLiveVolts; });
    if (v > kLiveVolts) throw host::mismatch_error("output still reads " + std::to_string(v) + " V after F");
  }

  // Stores the output state off, resets the node and waits until it answers.
  // RAM state (set-point, calibration factor in use) comes back from the
  // store. Used as the restore of volatile changes too.
  Duration reset() {
    hv_->send_frame('F');
    hv_->send_frame('S');
    const auto start = SteadyClock::now();
    hv_->send_frame('K');
    host::system_clock().sleep_for(kBoot / 2);
    const auto end = start + 3s;
    for (;;) {
      hv_->sync();
      if (hv_->probe(addr_, 100ms).kind == host::ProbeKind::answered) break;
      if (SteadyClock::now() >= end)
        throw host::no_reply_error("velmora " + std::to_string(addr_) + " does not answer after a reset");
    }
    const unsigned v = volts();
    if (v > kLiveVolts) throw host::mismatch_error("output reads " + std::to_string(v) + " V after a reset");
    return std::chrono::duration_cast<Duration>(SteadyClock::now() - start);
  }

  // Volts per code as the node converts: H / R at a steady output.
  double factor(unsigned samples = 6) {
    double h = 0, r = 0;
    for (unsigned i = 0; i < samples; ++i) {
      h += volts();
      r += code();
    }
    if (r < 1) throw Failure("the output reads code 0: no voltage to measure the factor at");
    return (h + 0.5 * samples) / r;  // 'H' truncates
  }

  // Puts the stored calibration to exactly `a` (ADC2HV): 'C' at a set-point
  // h and volts i for which the node's own arithmetic stores `a`. The output
  // is off meanwhile and h stays within the allowed voltage.
  void store_factor(unsigned a, double factor_now) {
    const double limit = s_.opt().allow_hv ? *s_.opt().allow_hv : 0;
    const unsigned hmax = std::min<unsigned>(2400, static_cast<unsigned>(limit / std::max(factor_now, 0.01)));
    for (unsigned h = hmax; h >= 50; --h) {
      const unsigned i = static_cast<unsigned>(std::lround(h * (a / 32768.0)));
      if (i == 0 || stored_factor(i, h) != a) continue;
      hv_->send_frame('F');
      hv_->send_frame('E', h);
      hv_->send_frame('C', i);
      s_.note("stored factor " + std::to_string(a) + " with E" + std::to_string(h) + ", C" + std::to_string(i));
      return;
    }
    throw host::Error(host::Exit::failure, "no set-point up to " + std::to_string(hmax) +
                                               " codes stores the factor " + std::to_string(a) + " exactly");
  }

  Session& s_;
  host::Transport& line_;
  std::unique_ptr<VelmoraClient> hv_;
  unsigned addr_;
};

void need_hv(Session& s, const std::string& what) {
  if (!s.opt().allow_hv) throw Skipped(what + " needs the output on: give --allow-hv VOLTS");
  if (*s.opt().allow_hv < 100) throw Skipped(what + " needs --allow-hv of 100 V or more");
}

// ---------------------------------------------------------------------------

Result address_case(Session& s) {
  Velmora n(s);
  const std::string a = std::to_string(n.addr());
  auto r = n.talk(n.frame('A', n.addr()));
  require(r.bytes == a + "\r\n", "A" + a + " drew " + quoted(r.bytes) + ", expected " + quoted(a + "\r\n"));
  r = n.talk("a" + a + "\r");
  require(r.bytes == a + "\r\n", "lower-case a" + a + " drew " + quoted(r.bytes) + ", expected " + quoted(a + "\r\n"));
  // The low 8 bits are the address.
  r = n.talk(n.frame('A', n.addr() + 256));
  require(r.bytes == a + "\r\n",
          "A" + std::to_string(n.addr() + 256) + " (low 8 bits " + a + ") drew " + quoted(r.bytes));
  // 'A' with a new address of 0 changes nothing and reports the present one.
  r = n.talk(n.frame('A', n.addr(), 0));
  require(r.bytes == a + "\r\n", "A" + a + " 0 drew " + quoted(r.bytes) + ", expected " + quoted(a + "\r\n"));
  r = n.talk(n.frame('A', host::kBroadcastAddress));
  if (r.bytes != a + "\r\n") {
    if (!host::clean_ascii(r.bytes) || r.bytes.size() > a.size() + 2)
      return {Status::pass, "A" + a + " -> " + a, "broadcast skipped: several nodes answer A253 at once"};
    throw Failure("A253 drew " + quoted(r.bytes) + ", expected this node's address " + quoted(a + "\r\n"));
  }
  return {Status::pass, "A" + a + ", a" + a + ", A" + std::to_string(n.addr() + 256) + ", A253 -> " + a, ""};
}

Result foreign_case(Session& s) {
  Velmora n(s);
  const unsigned other = n.free_address();
  const std::string o = std::to_string(other);
  for (char c : std::string("AHRD")) n.silent(n.frame(c, other), "a frame for address " + o);
  // Its value is read as a new frame: digit '0' as the letter and this
  // node's address; a digit is no command.
  n.silent("E" + o + " 0" + std::to_string(n.addr()) + "\r", "a frame for address " + o);
  // No digits: address 0.
  if (n.addr() != 0) n.silent("H\r", "a frame without address");
  // The node reads the next frame normally.
  const unsigned v = n.volts();
  return {Status::pass, "silent to A/H/R/D/E" + o + "; then H" + std::to_string(n.addr()) + " -> e=" + std::to_string(v),
          ""};
}

Result formats_case(Session& s) {
  Velmora n(s);
  const std::string a = std::to_string(n.addr());
  static const std::regex e_reply("e=[0-9]+\r\n");
  std::string seen;
  for (std::string f : {"H", "R", "h", "r"}) {
    auto r = n.talk(f + a + "\r");
    require(std::regex_match(r.bytes, e_reply),
            f + a + " drew " + quoted(r.bytes) + ", expected e=<decimal> CR LF");
    if (f == "H") seen = "H -> " + std::string(host::trim_cr(r.bytes).substr(0, r.bytes.size() - 2));
  }
  auto d = n.talk(n.frame('D', n.addr()), 300ms, 7, true);
  static const std::regex dump(
      "\r\n(ADC\\[0\\]=[0-9]+\r\n\r)(ADC\\[1\\]=[0-9]+\r\n\r)(ADC\\[2\\]=[0-9]+\r\n\r)(ADC\\[3\\]=[0-9]+\r\n\r)"
      "Temperature=(-?[0-9]+)\r\n\r\r\n\r");
  std::smatch m;
  require(std::regex_match(d.bytes, m, dump),
          "D" + a + " drew " + quoted(d.bytes) +
              ", expected CR LF, four ADC[i]=<n> CR LF CR, Temperature=<n> CR LF CR, CR LF CR");
  // Commands without a reply, and letters that are no command.
  n.silent(n.frame('F', n.addr()), "F (output off) has no reply");
  for (char c : std::string("BZ1"))
    n.silent(std::string(1, c) + a + "\r", std::string("letter ") + c + " is no command");
  if (!s.opt().allow_hv) {
    const unsigned v = n.volts();
    require(v <= kLiveVolts, "the output reads " + std::to_string(v) + " V although it was switched off");
  }
  return {Status::pass, seen + ", D temperature " + m[5].str() + ", F/B/Z/1 silent", ""};
}

Result setpoint_case(Session& s) {
  need_hv(s, "set-points");
  auto np = std::make_shared<Velmora>(s);
  Velmora& n = *np;
  const unsigned top = *s.opt().allow_hv;
  const unsigned tol_v = s.opt().tol_volts, tol_c = s.opt().tol_codes;
  s.on_restore("output off, set-point as stored (reset)", [np] { np->reset(); });
  // In volts: the highest allowed set-point.
  n.set_volts(top, true);
  n.output_on(true);
  const auto t0 = SteadyClock::now();
  unsigned v = n.await(false, [&](unsigned x) { return absdiff(x, top) <= tol_v; });
  require(absdiff(v, top) <= tol_v,
          "U" + std::to_string(n.addr()) + " " + std::to_string(top) + " with the output on: reads " +
              std::to_string(v) + " V after " + ms(kSettle) + ", expected " + std::to_string(top) + " V +/- " +
              std::to_string(tol_v) + " V");
  const auto settle = std::chrono::duration_cast<Duration>(SteadyClock::now() - t0);
  n.s_.sleep(300ms);
  const double k = n.factor();
  // In codes: 60 % of the allowed voltage at the node's own factor.
  const unsigned c = static_cast<unsigned>(0.6 * top / k);
  n.set_code(c, k, true);
  unsigned got = n.await(true, [&](unsigned x) { return absdiff(x, c) <= tol_c; });
  require(absdiff(got, c) <= tol_c, "E" + std::to_string(n.addr()) + " " + std::to_string(c) + ": reads code " +
                                        std::to_string(got) + ", expected " + std::to_string(c) + " +/- " +
                                        std::to_string(tol_c));
  n.s_.sleep(200ms);
  const unsigned vc = n.volts();
  const unsigned want = static_cast<unsigned>(c * k);
  require(absdiff(vc, want) <= tol_v, "at code " + std::to_string(c) + " the node reads " + std::to_string(vc) +
                                          " V, expected " + std::to_string(want) + " V +/- " + std::to_string(tol_v));
  n.output_off();
  n.reset();
  s.restored("output off, set-point as stored (reset)");
  char fig[160];
  std::snprintf(fig, sizeof fig, "U %u V -> %u V (in %.1f s), E %u -> code %u, %u V; %.5f V/code; U, N, E no reply", top, v,
                host::seconds(settle), c, got, vc, k);
  return {Status::pass, fig, ""};
}

Result calibration_case(Session& s) {
  need_hv(s, "calibration");
  auto np = std::make_shared<Velmora>(s);
  Velmora& n = *np;
  const unsigned top = *s.opt().allow_hv;
  const unsigned tol_v = s.opt().tol_volts;
  // Whatever happens, the output goes off and the stored factor back.
  struct Cal {
    std::optional<unsigned> original;
    double k_now = kDefaultFactor;
    bool approximate = false;
    bool changed = false;  // 'C' sent
    bool done = false;     // put back by the case itself
  };
  auto cal = std::make_shared<Cal>();
  cal->original = s.opt().calibration;
  cal->approximate = !cal->original;
  auto& original = cal->original;
  auto& k_now = cal->k_now;
  const bool approximate = cal->approximate;
  s.on_restore("output off, set-point as stored (reset)", [np] { np->reset(); });
  s.on_restore("calibration (stored factor)", [np, cal] {
    if (!cal->changed) return;  // no 'C' sent yet
    if (!cal->done) {
      np->store_factor(*cal->original, cal->k_now);
      np->reset();
    }
    if (cal->approximate)
      throw Unrestorable("the stored factor was put back to " + std::to_string(*cal->original) +
                         " as measured; the exact value cannot be read over the line (give --calibration)");
  });
  n.set_volts(top / 2);
  n.output_on();
  const unsigned v0 = n.await(false, [&](unsigned x) { return absdiff(x, top / 2) <= tol_v; });
  require(absdiff(v0, top / 2) <= tol_v, "output reads " + std::to_string(v0) + " V at a set-point of " +
                                             std::to_string(top / 2) + " V");
  n.s_.sleep(300ms);
  // 'H' truncates: at one steady output its fraction is fixed, so the factor
  // is taken over several set-points whose fractions differ.
  double k0 = n.factor(4);
  {
    double h = 0, r = 0;
    const unsigned c_top = static_cast<unsigned>(0.5 * top / k0);
    for (unsigned j = 0; j < 6; ++j) {
      const unsigned cj = c_top - 7 * j;
      n.set_code(cj, k0);
      n.await(true, [&](unsigned x) { return absdiff(x, cj) <= s.opt().tol_codes; }, 2s);
      n.s_.sleep(150ms);
      for (unsigned i = 0; i < 5; ++i) {
        h += n.volts() + 0.5;
        r += n.code();
      }
    }
    k0 = h / r;
  }
  n.set_volts(top / 2);
  n.await(false, [&](unsigned x) { return absdiff(x, top / 2) <= tol_v; }, 2s);
  n.s_.sleep(150ms);
  k_now = k0;
  const unsigned measured = static_cast<unsigned>(std::lround(k0 * 32768));
  if (original) {
    // The operator's record of the factor must be what the node uses.
    const double k_given = *original / 32768.0;
    require(std::fabs(k_given - k0) <= 0.0015 * k0,
            "the node converts with " + std::to_string(k0) + " V/code as measured, --calibration " +
                std::to_string(*original) + " means " + std::to_string(k_given) +
                " (more than 0.15 % apart): not the node's stored factor");
  } else {
    original = measured;
  }
  const unsigned c = n.code();
  // Tell the node its output is 5 % higher than it thinks: the readback in
  // volts follows, the output itself does not move.
  const unsigned claim = static_cast<unsigned>(std::lround(v0 * 1.05));
  cal->changed = true;
  n.client().send_frame('C', claim);
  s.note("calibration claimed: C" + std::to_string(n.addr()) + " " + std::to_string(claim) + " at code " +
         std::to_string(c));
  unsigned v1 = n.await(false, [&](unsigned x) { return absdiff(x, claim) <= tol_v; }, 2s);
  require(absdiff(v1, claim) <= tol_v, "after C" + std::to_string(n.addr()) + " " + std::to_string(claim) +
                                           " the node reads " + std::to_string(v1) + " V, expected " +
                                           std::to_string(claim) + " V +/- " + std::to_string(tol_v));
  const unsigned rc = n.code();
  require(absdiff(rc, c) <= s.opt().tol_codes, "calibrating moved the output: code " + std::to_string(c) +
                                                   " before, " + std::to_string(rc) + " after");
  // The new factor survives a reset: the same code reads the claimed volts.
  n.output_off();
  n.reset();
  const double k1 = k0 * 1.05;
  n.set_code(c, k0);
  n.output_on();
  unsigned v2 = n.await(true, [&](unsigned x) { return absdiff(x, c) <= s.opt().tol_codes; });
  n.s_.sleep(300ms);
  v2 = n.volts();
  const unsigned want = static_cast<unsigned>(n.code() * k1);
  require(absdiff(v2, want) <= tol_v + 1, "after a reset, code " + std::to_string(c) + " reads " +
                                              std::to_string(v2) + " V, expected " + std::to_string(want) +
                                              " V (the stored factor)");
  n.output_off();
  k_now = k1;
  // Put the factor back and see it in use.
  n.store_factor(*original, k1);
  n.reset();
  n.set_code(c, k0);
  n.output_on();
  n.await(true, [&](unsigned x) { return absdiff(x, c) <= s.opt().tol_codes; });
  n.s_.sleep(300ms);
  const double k2 = n.factor();
  n.output_off();
  n.reset();
  k_now = k2;
  cal->done = true;
  s.restored("output off, set-point as stored (reset)");
  require(std::fabs(k2 - k0) * c <= tol_v, "after restoring, the node converts with " + std::to_string(k2) +
                                               " V/code instead of " + std::to_string(k0));
  if (!approximate) s.restored("calibration (stored factor)");
  char fig[200];
  std::snprintf(fig, sizeof fig, "%.5f -> %.5f V/code (C %u at %u V), kept over a reset, restored to %u/32768%s", k0,
                k1, claim, v0, *original, approximate ? " (as measured)" : "");
  return {Status::pass, fig, ""};
}

Result persistence_case(Session& s) {
  auto np = std::make_shared<Velmora>(s);
  Velmora& n = *np;
  const unsigned home = n.addr();
  const unsigned away = n.free_address();
  const std::string h = std::to_string(home), w = std::to_string(away);
  s.on_restore("node address " + h, [np, home, away] {
    np->retarget(home);
    auto& c = np->client();
    c.sync();
    if (c.probe(home, 300ms).kind == host::ProbeKind::answered) return;
    if (c.probe(away, 300ms).kind != host::ProbeKind::answered)
      throw host::no_reply_error("the node answers neither at " + std::to_string(home) + " nor at " +
                                 std::to_string(away));
    host::VelmoraClient there(np->line_, away);
    there.raw("A" + std::to_string(away) + " " + std::to_string(home) + "\r", 20ms);
    if (c.probe(home, 300ms).kind != host::ProbeKind::answered)
      throw host::no_reply_error("the node does not answer at " + std::to_string(home) + " after A" +
                                 std::to_string(away) + " " + std::to_string(home));
  });
  auto r = n.talk(n.frame('A', home, away));
  s.note("address moved: A" + h + " " + w);
  require(r.bytes == w + "\r\n", "A" + h + " " + w + " drew " + quoted(r.bytes) + ", expected " + quoted(w + "\r\n"));
  n.retarget(away);
  const Duration boot = n.reset();
  require(n.client().probe(home, 250ms).kind == host::ProbeKind::silent,
          "after a reset a node still answers at the old address " + h);
  auto back = n.talk(n.frame('A', away, home));
  require(back.bytes == h + "\r\n", "A" + w + " " + h + " drew " + quoted(back.bytes));
  n.retarget(home);
  n.reset();
  require(n.client().probe(away, 250ms).kind == host::ProbeKind::silent,
          "after a reset a node still answers at " + w);
  s.restored("node address " + h);
  std::string fig = "address " + h + " -> " + w + " kept over a reset (answers " + ms(boot) + " after K), and back";
  if (s.opt().allow_hv) {
    // 'N' is not stored: after a reset the output is off again.
    s.on_restore("output off (reset)", [np] { np->reset(); });
    n.set_volts(std::min(*s.opt().allow_hv, 100u));
    n.output_on();
    const unsigned on = n.await(false, [](unsigned x) { return x > kLiveVolts; });
    require(on > kLiveVolts, "the output reads " + std::to_string(on) + " V after N");
    n.client().send_frame('K');
    n.s_.sleep(kBoot);
    const unsigned after = n.volts();
    n.reset();
    s.restored("output off (reset)");
    require(after <= kLiveVolts, "switched on with N (not stored), the output reads " + std::to_string(after) +
                                     " V after a reset; the stored state is off");
    fig += "; N not kept (" + std::to_string(on) + " V, then " + std::to_string(after) + " V after K)";
  }
  return {Status::pass, fig, ""};
}

Result watchdog_case(Session& s) {
  Velmora n(s);
  const std::string a = std::to_string(n.addr());
  // An unterminated frame leaves the command loop waiting for the address;
  // the watchdog must reset the node, which forgets the frame.
  n.client().sync();
  n.s_.sleep(50ms);
  const auto start = SteadyClock::now();
  n.line_.write("H" + a);
  n.s_.sleep(kWatchdog + kBoot);
  // Had the node not reset, this CR would complete the frame and draw e=N.
  // The sync right behind it closes the address a node of older firmware
  // would now wait for (it takes the CR as a command letter).
  host::Reader rd(n.line_, s.clock());
  rd.discard();
  n.line_.write("\r0\r");
  Velmora::Answer r;
  if (auto got = rd.exactly(1, SteadyClock::now() + 250ms)) r.bytes = *got + rd.until_quiet(20ms, SteadyClock::now() + 100ms);
  n.client().sync();
  require(r.bytes.empty(), "after an unterminated H" + a + " and " + ms(kWatchdog + kBoot) +
                               " of silence, a CR drew " + quoted(r.bytes) +
                               ": the node was still inside the frame (no watchdog reset)");
  const auto end = SteadyClock::now() + 3s;
  while (n.client().probe(n.addr(), 200ms).kind != host::ProbeKind::answered) {
    if (SteadyClock::now() >= end) throw Failure("the node does not answer after its watchdog reset");
  }
  const unsigned v = n.volts();
  require(v <= kLiveVolts || s.opt().allow_hv,
          "the output reads " + std::to_string(v) + " V after the watchdog reset");
  return {Status::pass,
          "H" + a + " without CR forgotten (" + ms(kWatchdog + kBoot) + " later its CR drew nothing), answers again " +
              ms(std::chrono::duration_cast<Duration>(SteadyClock::now() - start)) + " after the frame",
          ""};
}

Result baud_case(Session& s) {
  auto* port = dynamic_cast<host::SerialPort*>(&s.line());
  if (!port) throw Skipped("the line has no baud rate to change (TCP)");
  Velmora n(s);
  const std::string a = std::to_string(n.addr());
  const unsigned wrong = 19200;
  n.client().sync();
  n.s_.sleep(20ms);
  host::Reader r(s.line(), s.clock());
  r.discard();
  port->set_baud(wrong);
  s.on_restore("line rate 9600 Bd", [port] { port->set_baud(host::kVelmoraBaud); });
  port->write("A" + a + "\rH" + a + "\r");
  port->set_baud(wrong);  // waits until the frame has left
  host::system_clock().sleep_for(50ms);
  port->set_baud(host::kVelmoraBaud);
  s.restored("line rate 9600 Bd");
  // The garbled bytes may leave the node waiting for an address: close it
  // before its watchdog does.
  n.client().sync();
  std::string heard = r.until_quiet(100ms, SteadyClock::now() + 400ms);
  require(heard.empty(), "frames sent at " + std::to_string(wrong) + " Bd drew " + quoted(heard) +
                             ": the node took them as if sent at 9600 Bd");
  // The garbled bytes leave the node at worst waiting for an address, which
  // the sync closes: it answers the next frame.
  const unsigned got = n.client().query_address();
  require(got == n.addr(), "after the garbled frames A" + a + " drew " + std::to_string(got));
  return {Status::pass, "A" + a + " and H" + a + " at " + std::to_string(wrong) + " Bd ignored, then answers", ""};
}

Result timing_case(Session& s) {
  Velmora n(s);
  const unsigned runs = s.opt().quick ? 4 : 10;
  std::vector<double> lat;
  for (unsigned i = 0; i < runs; ++i) {
    for (char c : std::string("AH")) {
      auto r = n.talk(n.frame(c, n.addr()));
      require(!r.bytes.empty(), std::string("no reply to ") + c + std::to_string(n.addr()));
      lat.push_back(std::chrono::duration<double, std::milli>(r.first).count());
    }
  }
  std::sort(lat.begin(), lat.end());
  const double median = lat[lat.size() / 2], worst = lat.back();
  require(worst <= s.opt().reply_max_ms, "frame to reply took up to " + std::to_string(worst) + " ms, more than " +
                                             std::to_string(s.opt().reply_max_ms) + " ms (--reply-max-ms)");
  // The dump is the longest reply; it must end inside the watchdog period,
  // or the watchdog cuts it short and resets the node.
  double dump_ms = 0;
  for (unsigned i = 0; i < (s.opt().quick ? 2u : 5u); ++i) {
    auto d = n.talk(n.frame('D', n.addr()), 300ms, 7, true);
    require(d.bytes.size() >= 70 && d.bytes.substr(d.bytes.size() - 3) == "\r\n\r",
            "D dump cut short: " + quoted(d.bytes));
    // A dump that runs past the watchdog period is cut short by the reset,
    // so a complete one ended inside it; its span on the line is the figure
    // (the host's own delays can only add to it).
    const double span = std::chrono::duration<double, std::milli>(d.span).count();
    dump_ms = std::max(dump_ms, span);
    const double limit = std::chrono::duration<double, std::milli>(kWatchdog).count() + s.opt().reply_max_ms;
    require(span < limit, "the D dump took " + std::to_string(span) + " ms from first to last byte, beyond the " +
                              "watchdog's 125 ms (+ " + std::to_string(s.opt().reply_max_ms) + " ms for the line)");
    require(n.client().query_address() == n.addr(), "no answer right after the dump");
  }
  char fig[160];
  std::snprintf(fig, sizeof fig, "frame to reply median %.1f ms, max %.1f ms (%zu replies); D dump complete, %.1f ms on the line",
                median, worst, lat.size(), dump_ms);
  return {Status::pass, fig, ""};
}

}  // namespace

std::vector<Case> velmora_cases() {
  return {
      {"velmora.address", "address query, low 8 bits, broadcast", address_case},
      {"velmora.foreign-address", "frames for another address are ignored", foreign_case},
      {"velmora.reply-formats", "every reply's format; commands without replies stay silent", formats_case},
      {"velmora.setpoint", "set-points in volts and codes read back (needs --allow-hv)", setpoint_case},
      {"velmora.calibration", "calibration round trip, restored (needs --allow-hv)", calibration_case},
      {"velmora.persistence", "stored values back after a reset", persistence_case},
      {"velmora.watchdog", "an unterminated frame, then the node answers again", watchdog_case},
      {"velmora.wrong-baud", "a frame at the wrong baud rate is ignored", baud_case},
      {"velmora.timing", "frame-to-reply time; the D dump inside the watchdog period", timing_case},
  };
}

// Before any case: the node answers, and its output is off unless allowed.
void velmora_preflight(Session& s) {
  host::VelmoraClient hv(s.line(), s.opt().address);
  hv.query_address();
  const unsigned v = hv.read_volts();
  if (v > kLiveVolts)
    throw host::refused_error("velmora " + std::to_string(s.opt().address) + " output is on (" + std::to_string(v) +
                              " V): switch it off before the run");
}

}  // namespace check
