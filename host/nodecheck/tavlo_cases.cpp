// tavlo protocol checks: identification, selection, echo rules, the
// 24-character cut, averaging and settling, and scans (format, timing,
// noise against averaging).
//
// The unit keeps Averaging and ChDel in RAM and takes no 0 for either ('A0'
// keeps the value), so a value of 0 found at the start cannot be set back
// over the line: ChDel 1 waits as long as 0, Averaging has no equivalent and
// the report says so.
#include <algorithm>
#include <cmath>

#include "bytes.hpp"
#include "check.hpp"
#include "errors.hpp"
#include "reader.hpp"
#include "tavlo.hpp"

namespace check {
namespace {

using host::TavloClient;
using SteadyClock = std::chrono::steady_clock;

struct Unit {
  explicit Unit(Session& s) : s_(s), ro(s.line(), s.opt().address, s.clock()), a(std::to_string(s.opt().address)) {}

  // Sends bytes; returns what comes back until quiet.
  std::string talk(const std::string& bytes, Duration quiet = 50ms) {
    s_.checkpoint();
    return ro.raw(bytes, quiet);
  }
  // The reply is complete at the length expected (a busy host may see it in
  // pieces); then anything right behind it is taken too.
  void expect(const std::string& bytes, const std::string& want, const std::string& what) {
    s_.checkpoint();
    host::Reader r(s_.line(), s_.clock());
    r.discard();
    s_.line().write(bytes);
    const auto start = SteadyClock::now();
    std::string got;
    if (want.empty()) {
      if (auto b = r.exactly(1, start + 300ms)) got = *b;
    } else if (auto b = r.exactly(want.size(), start + 500ms)) {
      got = *b;
    } else {
      got = r.take_pending();
    }
    got += r.until_quiet(20ms, SteadyClock::now() + 40ms);
    require(got == want, what + ": " + quoted(bytes) + " drew " + quoted(got) + ", expected " +
                             (want.empty() ? std::string("no answer") : quoted(want)));
  }
  void select() { ro.select(); }
  void deselect() { ro.deselect(); }

  Session& s_;
  TavloClient ro;
  std::string a;
};

// Restores Averaging and ChDel to what the unit had; a 0 cannot be set.
struct Parameters {
  unsigned averaging = 0, settle = 0;
};

std::shared_ptr<Unit> with_parameters_restored(Session& s, Parameters& found) {
  auto u = std::make_shared<Unit>(s);
  u->select();
  found.averaging = u->ro.averaging();
  found.settle = u->ro.settle_time();
  const Parameters f = found;
  s.on_restore("averaging " + std::to_string(f.averaging) + " and settling " + std::to_string(f.settle), [u, f] {
    u->ro.select();
    // ChDel 1 and 0 both wait nothing before X and Y.
    u->ro.set_settle_time(std::max(f.settle, 1u));
    if (f.averaging == 0) {
      u->ro.set_averaging(1);
      throw Unrestorable(
                        "averaging was 0 and the unit takes no 0 over the line ('A0' keeps the value): left at 1 "
                        "(2 passes); reset the unit (power) to return to 0");
    }
    if (u->ro.set_averaging(f.averaging).verdict != host::Verdict::verified)
      throw host::mismatch_error("averaging does not read back " + std::to_string(f.averaging));
  });
  return u;
}

Result identify_case(Session& s) {
  Unit u(s);
  const std::string idn = "IDN" + u.a + "\r\n";
  u.deselect();
  u.expect("IDN\r", idn, "identification");
  u.expect("idn?\r", idn, "identification in lower case, more characters after IDN");
  u.expect("ID\r", "", "an incomplete identification");
  // Read-out and parameter letters are dropped while unselected.
  u.expect("R", "", "R while unselected");
  u.expect("V\r", "", "V while unselected");
  u.expect("A\r", "", "A while unselected");
  return {Status::pass, "IDN, idn? -> " + quoted(idn) + "; ID, R, V, A unselected silent", ""};
}

Result selection_case(Session& s) {
  auto u = std::make_shared<Unit>(s);
  s.on_restore("unselected", [u] { u->deselect(); });
  const std::string sel = "S" + u->a + "\r\n";
  const unsigned addr = s.opt().address;
  u->deselect();
  u->expect("S" + u->a + "\r", sel, "selection");
  const std::string v = u->talk("V\r");
  require(v.size() >= 7 && v.substr(0, 4) == "V\r\nV" && v.substr(v.size() - 2) == "\r\n" &&
              host::parse_decimal(std::string_view(v).substr(4, v.size() - 6), 65535),
          "V when selected drew " + quoted(v) + ", expected V CR LF V<version> CR LF");
  // Deselected by another address, silently; then nothing is answered.
  u->expect("S0\r", "", "selection of address 0");
  u->expect("V\r", "", "V after deselection");
  u->expect("s" + u->a + "\r", sel, "selection in lower case");
  u->expect("S " + u->a + "\r", "", "selection with a space before the address (reads 0)");
  u->expect("V\r", "", "V after S with a space");
  u->expect("S0" + u->a + "\r", sel, "selection with a leading zero");
  u->expect("S" + std::to_string(addr + 65536) + "\r", sel, "selection modulo 65536");
  u->expect("S" + u->a + "X\r", sel, "selection with a character after the number");
  u->deselect();
  u->expect("IDN\r", "IDN" + u->a + "\r\n", "identification after deselection");
  s.restored("unselected");
  return {Status::pass, "S" + u->a + ", s, S0" + u->a + ", S" + std::to_string(addr + 65536) +
                            " select; S0 and \"S " + u->a + "\" deselect; version " + v.substr(4, v.size() - 6),
          ""};
}

Result echo_case(Session& s) {
  auto u = std::make_shared<Unit>(s);
  s.on_restore("unselected", [u] { u->deselect(); });
  u->select();
  const unsigned avg = u->ro.averaging();
  const std::string rep = "A" + std::to_string(avg) + "\r\n";
  u->expect("A\r", "A\r\n" + rep, "A with an empty line");
  u->expect("a\x1b", "A\r\n" + rep, "ESC ends the line empty, lower case echoed as capital");
  u->expect("A3\x08\r", "A3\x08\r\n" + rep, "BS removes the 3 and is echoed");
  u->expect("A3\x08\x08\r", "A3\x08\x08\r\n" + rep, "BS on an empty line is echoed too");
  u->expect("Q\r", "Q\r\n?", "an unknown letter");
  u->expect("IDN\r", "IDN\r\n?", "IDN while selected (no identification)");
  u->expect("V1\r", "V1\r\n", "V with a line (no version)");
  // 'S' and its line are never echoed.
  u->expect("S" + u->a + "\r", "S" + u->a + "\r\n", "S while selected");
  u->deselect();
  s.restored("unselected");
  return {Status::pass, "echo, CR LF, reply: A, a ESC, A3 BS; Q and IDN -> ?; V1 silent; S not echoed", ""};
}

Result cut_case(Session& s) {
  auto u = std::make_shared<Unit>(s);
  s.on_restore("unselected", [u] { u->deselect(); });
  u->select();
  const std::string v = "V" + std::to_string(u->ro.version()) + "\r\n";
  // The line ends after its 24th character; the 'V' that follows is the next
  // command letter (it waits in the receiver while the unit answers; the
  // unit holds one byte, so the CR comes once it has answered).
  const std::string body = "Q" + std::string(24, '0');
  u->expect(body + "V", body + "\r\n?V", "a line of 25 characters");
  u->expect("\r", "\r\n" + v, "the CR after the cut line's extra V");
  const std::string exact = "Q" + std::string(23, '0');
  u->expect(exact + "\r", exact + "\r\n?", "a line of 23 characters and CR");
  u->deselect();
  s.restored("unselected");
  return {Status::pass, "line cut after 24 characters, the rest read as the next command", ""};
}

Result parameters_case(Session& s) {
  Parameters found;
  auto u = with_parameters_restored(s, found);
  auto& ro = u->ro;
  auto set_a = [&](unsigned v) {
    auto o = ro.set_averaging(v);
    require(o.verdict == host::Verdict::verified, "A" + std::to_string(v) + ": " + o.detail);
    const unsigned back = ro.averaging();
    require(back == v, "A" + std::to_string(v) + " then A reads " + std::to_string(back));
  };
  set_a(found.averaging == 3 ? 4 : 3);
  const unsigned a_now = ro.averaging();
  u->expect("A0\r", "A0\r\nA" + std::to_string(a_now) + "\r\n", "A0 keeps the value");
  u->expect("AX\r", "AX\r\nA" + std::to_string(a_now) + "\r\n", "A with no number keeps the value");
  auto o = ro.set_settle_time(found.settle == 100 ? 120 : 100);
  require(o.verdict == host::Verdict::verified, "D: " + o.detail);
  const unsigned d_now = ro.settle_time();
  require(d_now == (found.settle == 100 ? 120u : 100u), "D reads back " + std::to_string(d_now));
  u->expect("D0\r", "D0\r\nD" + std::to_string(d_now) + "\r\n", "D0 keeps the value");
  u->expect("D-1\r", "D-1\r\nD65535\r\n", "D-1 (modulo 65536)");
  u->expect("D+250\r", "D+250\r\nD250\r\n", "D with a plus sign");
  return {Status::pass,
          "found A" + std::to_string(found.averaging) + " D" + std::to_string(found.settle) + "; A" +
              std::to_string(a_now) + ", D" + std::to_string(d_now) + ", D-1 -> 65535, D+250 read back; 0 keeps",
          ""};
}

// One scan with 'M' and a queued 'R': the time from 'M' on the wire to the
// first byte of the reply is the scan time (plus one character).
Duration timed_scan(Unit& u, host::Scan& out, Duration expect) {
  host::Transport& line = u.s_.line();
  host::Reader r(line, u.s_.clock());
  r.discard();  // the commands before have had their replies: the unit is idle
  const auto sent = SteadyClock::now();
  line.write("MR");
  const auto on_wire = sent + host::wire_time(2, line.baud());
  const auto first = r.exactly(1, on_wire + expect * 3 + 1s);
  if (!first) throw Failure("no reply to R queued after M within " + std::to_string(host::seconds(expect * 3 + 1s)) + " s");
  const Duration took = std::chrono::duration_cast<Duration>(SteadyClock::now() - on_wire);
  if (*first != "R") throw Failure("reply to R starts with " + quoted(*first));
  // The 64 lines, checked like the client's own 'R'.
  std::string rest;
  for (unsigned ch = 0; ch < host::kChannels; ++ch) {
    auto l = r.until('\n', SteadyClock::now() + 500ms);
    if (!l) throw Failure("R reply cut after " + std::to_string(ch) + " lines: " + quoted(r.pending()));
    const auto sp = l->find(' ');
    const bool ok = l->size() >= 5 && l->substr(l->size() - 2) == "\r\n" && sp != std::string::npos &&
                    host::parse_decimal(std::string_view(*l).substr(0, sp), 4095) &&
                    host::parse_decimal(std::string_view(*l).substr(sp + 1, l->size() - sp - 3), 4095);
    if (!ok) throw Failure("R line " + std::to_string(ch) + " is " + quoted(*l) + ", expected <x> <y> CR LF");
    out[ch].x = static_cast<unsigned>(*host::parse_decimal(std::string_view(*l).substr(0, sp), 4095));
    out[ch].y = static_cast<unsigned>(*host::parse_decimal(std::string_view(*l).substr(sp + 1, l->size() - sp - 3), 4095));
  }
  const std::string extra = r.until_quiet(5ms, SteadyClock::now() + 20ms);
  if (!extra.empty()) throw Failure("bytes after the 64 lines of R: " + quoted(extra));
  return took;
}

Result scan_case(Session& s) {
  Parameters found;
  auto u = with_parameters_restored(s, found);
  auto& ro = u->ro;
  // Format: 'R' and the 'L' listing give the same 64 pairs.
  ro.set_averaging(2);
  ro.set_settle_time(50);
  host::Scan a = ro.measure(host::ScanWait::computed);
  host::Scan l = ro.list();
  require(a == l, "R and L disagree about the same scan");
  const double tol = s.opt().tol_timing;
  const Duration slack = 20ms;  // the line's own delays (USB adapters poll)
  struct Point {
    unsigned avg, del;
  };
  const std::vector<Point> points = s.opt().quick ? std::vector<Point>{{3, 200}, {5, 200}, {3, 800}}
                                                  : std::vector<Point>{{4, 100}, {7, 100}, {4, 1000}, {6, 2000}};
  std::string fig;
  for (const Point& p : points) {
    ro.set_averaging(p.avg);
    ro.set_settle_time(p.del);
    const Duration model = TavloClient::scan_time(p.avg, p.del);
    host::Scan sc;
    const Duration took = timed_scan(*u, sc, model);
    const double dev = host::seconds(took) / host::seconds(model) - 1;
    char b[96];
    std::snprintf(b, sizeof b, "%sA%u D%u %.0f ms (model %.0f)", fig.empty() ? "" : ", ", p.avg, p.del,
                  host::seconds(took) * 1e3, host::seconds(model) * 1e3);
    fig += b;
    require(std::fabs(host::seconds(took) - host::seconds(model)) <= tol * host::seconds(model) + host::seconds(slack),
            "scan with A" + std::to_string(p.avg) + " D" + std::to_string(p.del) + " took " +
                std::to_string(host::seconds(took) * 1e3) + " ms, the model says " +
                std::to_string(host::seconds(model) * 1e3) + " ms (+/- " + std::to_string(int(tol * 100)) +
                " %, --timing-tolerance); " + (dev > 0 ? "slower" : "faster"));
  }
  return {Status::pass, fig, ""};
}

double mean_sd(const std::vector<host::Scan>& scans) {
  // Per channel and axis the sample standard deviation over the scans,
  // averaged over the 128 signals.
  double sum = 0;
  for (unsigned ch = 0; ch < host::kChannels; ++ch)
    for (int axis = 0; axis < 2; ++axis) {
      double m = 0, q = 0;
      for (const auto& s : scans) m += axis ? s[ch].y : s[ch].x;
      m /= scans.size();
      for (const auto& s : scans) {
        const double d = (axis ? s[ch].y : s[ch].x) - m;
        q += d * d;
      }
      sum += std::sqrt(q / (scans.size() - 1));
    }
  return sum / (2 * host::kChannels);
}

Result noise_case(Session& s) {
  Parameters found;
  auto u = with_parameters_restored(s, found);
  auto& ro = u->ro;
  const unsigned n = s.opt().quick ? 8 : 16;
  const unsigned exp_hi = 4;
  ro.set_settle_time(std::max(found.settle, 20u));
  auto scans = [&](unsigned avg) {
    ro.set_averaging(avg);
    std::vector<host::Scan> v;
    for (unsigned i = 0; i < n; ++i) {
      s.checkpoint();
      v.push_back(ro.measure(host::ScanWait::queued));
    }
    return v;
  };
  // Averaging 0 is not settable: 1 (2 passes) is the low end.
  const unsigned exp_lo = 1;
  const double sd_lo = mean_sd(scans(exp_lo));
  const double sd_hi = mean_sd(scans(exp_hi));
  char fig[160];
  std::snprintf(fig, sizeof fig, "noise %.2f LSB at A%u, %.2f LSB at A%u: ratio %.2f (ideal %.2f)", sd_lo, exp_lo,
                sd_hi, exp_hi, sd_hi > 0 ? sd_lo / sd_hi : INFINITY, std::pow(2.0, (exp_hi - exp_lo) / 2.0));
  if (sd_lo < 0.3) return {Status::skip, fig, "noise below the ADC's resolution: nothing to compare"};
  const double ideal = std::pow(2.0, (exp_hi - exp_lo) / 2.0);
  const double ratio = sd_hi > 0 ? sd_lo / sd_hi : INFINITY;
  require(ratio >= ideal * s.opt().noise_ratio_min,
          std::string(fig) + ": less than " + std::to_string(s.opt().noise_ratio_min) +
              " of the ideal reduction (--noise-ratio-min)");
  return {Status::pass, fig, ""};
}

}  // namespace

std::vector<Case> tavlo_cases() {
  return {
      {"tavlo.identify", "IDN answered only when unselected", identify_case},
      {"tavlo.selection", "selection and deselection", selection_case},
      {"tavlo.echo", "echo rules of the selected state", echo_case},
      {"tavlo.line-cut", "a line ends after 24 characters", cut_case},
      {"tavlo.parameters", "averaging and settling set and read back", parameters_case},
      {"tavlo.scan", "64 lines of the right format; scan time against ChDel and Averaging", scan_case},
      {"tavlo.noise", "noise falls with averaging", noise_case},
  };
}

void tavlo_preflight(Session& s) {
  TavloClient ro(s.line(), s.opt().address, s.clock());
  ro.select();
  ro.version();
  ro.deselect();
}

}  // namespace check
