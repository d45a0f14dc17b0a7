// The nodectl commands: what each one sends, waits for and prints.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/App.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "cli_context.hpp"
#include "errors.hpp"
#include "limits.hpp"
#include "output.hpp"
#include "serial_port.hpp"
#include "svg.hpp"
#include "tavlo.hpp"
#include "velmora.hpp"

namespace host {

// ------------------------------------------------------------ context -----

Ctx::~Ctx() {
  trace.reset();
  if (trace_file) std::fclose(trace_file);
}

bool Ctx::given(const std::string& name) const {
  if (!app) return false;
  auto* o = app->get_option_no_throw("--" + name);
  return o && o->count() > 0;
}

Transport& Ctx::line() {
  if (trace) return *trace;
  if (port) return *port;
  std::string where = s.port;
  if (where.empty())
    if (const char* env = std::getenv("NODECTL_PORT"); env && *env) where = env;
  if (where.empty())
    throw usage_error("missing --port (e.g. -p /dev/ttyUSB0, -p /dev/serial/by-id/..., -p tcp:127.0.0.1:5000)");
  port = open_line(where, s.baud);
  if (!s.trace.empty()) {
    trace_file = std::fopen(s.trace.c_str(), "w");
    if (!trace_file) throw Error(Exit::failure, "cannot write trace file " + s.trace);
    trace = std::make_unique<TraceLine>(*port, trace_file, system_clock());
    trace->note(std::string("nodectl ") + cmd->node + " " + cmd->name + " on " + port->name() + " at " +
                std::to_string(s.baud) + " Bd; '>' to the node, '<' from it; times in seconds");
    return *trace;
  }
  return *port;
}

void Ctx::emit(const std::vector<Record>& rows, const std::string& text, bool as_list) {
  switch (format) {
    case Format::text: out << text; break;
    case Format::csv: write_csv(out, rows); break;
    case Format::json: write_json(out, rows, as_list); break;
  }
  out.flush();
}

namespace {

// ------------------------------------------------------------ values ------

unsigned parse_uint(const std::string& text, const std::string& what, unsigned lo, unsigned hi) {
  auto v = parse_decimal(text, 0xFFFFFFFFu);
  if (!v)
    throw usage_error(what + " must be a whole number " + std::to_string(lo) + ".." + std::to_string(hi) +
                      ", got '" + escape_cut(text) + "'");
  if (*v < lo || *v > hi)
    throw usage_error(what + " " + text + " out of range " + std::to_string(lo) + ".." + std::to_string(hi));
  return static_cast<unsigned>(*v);
}

unsigned parse_volts(std::string text, const std::string& what, unsigned hi) {
  if (!text.empty() && (text.back() == 'V' || text.back() == 'v')) text.pop_back();
  if (text.find_first_of(".,") != std::string::npos)
    throw usage_error(what + " must be whole volts (the node takes integer volts), got '" + escape_cut(text) + "'");
  return parse_uint(text, what, 0, hi);
}

Ramp parse_ramp(const std::string& text, Duration interval) {
  std::string t;
  for (char c : text)
    if (c != ' ') t += c;
  for (const char* suffix : {"V/s", "v/s", "/s"}) {
    std::string s = suffix;
    if (t.size() > s.size() && t.compare(t.size() - s.size(), s.size(), s) == 0) {
      t.erase(t.size() - s.size());
      break;
    }
  }
  auto v = parse_decimal(t, 100000);
  if (!v || *v == 0)
    throw usage_error("ramp rate must be a whole number of volts per second above 0, like 50V/s; got '" +
                      escape_cut(text) + "'");
  return Ramp{static_cast<unsigned>(*v), interval};
}

// ------------------------------------------------------------ signals -----

volatile std::sig_atomic_t g_stop = 0;
// The first Ctrl-C ends the loop at the next sample or scan; a second one
// ends the program at once.
extern "C" void on_stop_signal(int sig) {
  if (g_stop) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
  g_stop = 1;
}

void catch_stop_signals() {
  g_stop = 0;
  struct sigaction sa{};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a poll in progress returns early
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// Sleeps in short pieces so that Ctrl-C ends a long wait promptly.
void sleep_until_or_stopped(TimePoint t) {
  while (!g_stop) {
    auto now = std::chrono::steady_clock::now();
    if (now >= t) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(t - now, 50ms));
  }
}

double since(TimePoint start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
// Times in records are kept to the millisecond, as they are printed.
double ms_round(double s) { return std::round(s * 1000) / 1000; }

std::string fixed3(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3f", v);
  return b;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  if (!f || !(f << content) || !f.flush()) throw Error(Exit::failure, "cannot write " + path);
}

Value num(long long v) { return Value(v); }
Value opt_value(std::optional<unsigned> v) { return v ? num(*v) : Value(); }

int verdict_exit(const Ctx& c, Verdict v) {
  if (v == Verdict::mismatch || (v == Verdict::unverified && c.s.strict)) return static_cast<int>(Exit::mismatch);
  return 0;
}

int report_outcome(Ctx& c, const std::string& who, const std::string& action, const Outcome& o, Record extra = {}) {
  std::ostringstream text;
  text << who << ": " << action << ": " << to_string(o.verdict) << ", " << o.detail << '\n';
  Json steps = Json::array();
  std::string steps_text;
  for (std::size_t i = 0; i < o.steps.size(); ++i) {
    const auto& s = o.steps[i];
    text << "  step " << i + 1 << ": " << s.target << " V, reads "
         << (s.readback ? std::to_string(*s.readback) + " V" : std::string("-")) << '\n';
    Json step = {{"target", s.target}, {"readback", nullptr}};
    if (s.readback) step["readback"] = *s.readback;
    steps.push_back(step);
    steps_text += (i ? ";" : "") + std::to_string(s.target) + ":" + (s.readback ? std::to_string(*s.readback) : "");
  }
  Record r = {{"action", action}};
  r.insert(r.end(), extra.begin(), extra.end());
  r.push_back({"verdict", std::string(to_string(o.verdict))});
  r.push_back({"readback", opt_value(o.readback)});
  r.push_back({"detail", o.detail});
  if (!o.steps.empty()) r.push_back({"steps", Nested{steps, steps_text}});
  c.emit({r}, text.str());
  return verdict_exit(c, o.verdict);
}

// ------------------------------------------------------------ term --------

class StdinRaw {
 public:
  StdinRaw() {
    if (::isatty(0) && ::tcgetattr(0, &saved_) == 0) {
      struct termios t = saved_;
      ::cfmakeraw(&t);
      t.c_oflag |= OPOST | ONLCR;  // keep the screen readable
      active_ = ::tcsetattr(0, TCSANOW, &t) == 0;
    }
  }
  ~StdinRaw() {
    if (active_) ::tcsetattr(0, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

 private:
  struct termios saved_{};
  bool active_ = false;
};

// What the line sends, as the screen shows it: the bytes as they are, or
// each byte in hex (a line of them per received line), optionally each line
// led by the time since the terminal started.
class TermScreen {
 public:
  TermScreen(std::ostream& out, bool timestamps, bool hex)
      : out_(out), timestamps_(timestamps), hex_(hex), start_(std::chrono::steady_clock::now()) {}

  void show(const std::string& bytes) {
    for (unsigned char c : bytes) {
      if (at_line_start_ && timestamps_) {
        char b[24];
        std::snprintf(b, sizeof b, "[%9.3f] ", since(start_));
        out_ << b;
      }
      at_line_start_ = false;
      if (hex_) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", c);
        out_ << (column_++ ? " " : "") << b;
        if (c == '\n') end_line();
      } else {
        out_.put(static_cast<char>(c));
        if (c == '\n') at_line_start_ = true;
      }
    }
    out_.flush();
  }
  // Ends a hex line that the line left open (a reply without LF).
  void finish() {
    if (hex_ && column_) end_line();
    out_.flush();
  }

 private:
  void end_line() {
    out_ << '\n';
    column_ = 0;
    at_line_start_ = true;
  }
  std::ostream& out_;
  bool timestamps_, hex_;
  TimePoint start_;
  bool at_line_start_ = true;
  unsigned column_ = 0;
};

// Input from a pipe or file: one frame at a time. Each line goes out as a
// frame, then the reply is awaited (its first byte within the reply time-out,
// its end at the first quiet gap) before the next frame, so that frames and
// replies never meet on the bus.
int run_term_paced(Ctx& c, Transport& line, TermScreen& screen, Duration quiet, bool velmora, bool sync_after_reply) {
  Reader reader(line, system_clock());
  std::string pending;
  bool eof = false;
  auto next_line = [&]() -> std::optional<std::string> {
    for (;;) {
      auto nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string l = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return l;
      }
      if (eof) {
        if (pending.empty()) return std::nullopt;
        std::string l;
        l.swap(pending);
        return l;
      }
      char buf[4096];
      ssize_t n = ::read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) {
        if (g_stop) return std::nullopt;
        continue;
      }
      if (n <= 0) eof = true;
      else pending.append(buf, static_cast<std::size_t>(n));
    }
  };
  if (velmora) line.write("0\r");  // close whatever a node was waiting for
  while (!g_stop) {
    auto l = next_line();
    if (!l) break;
    if (!l->empty() && l->back() == '\r') l->pop_back();
    if (l->find('\x1d') != std::string::npos) break;
    std::string frame = *l;
    // tavlo takes 'M', 'R' and 'Z' without a line end: a CR after them would
    // be read as the next command.
    const bool lone = !velmora && frame.size() == 1 && std::string("MRZmrz").find(frame[0]) != std::string::npos;
    if (!lone) frame += '\r';
    reader.discard();
    line.write(frame);
    const auto deadline = std::chrono::steady_clock::now() + wire_time(frame.size(), line.baud()) + c.timeout;
    auto first = reader.exactly(1, deadline);
    if (!first) continue;  // no reply: the frame was one that gets none
    std::string reply = *first + reader.until_quiet(quiet, std::chrono::steady_clock::now() + 60s);
    screen.show(reply);
    // A reply's LF leaves every velmora on the bus waiting for an address.
    if (sync_after_reply && reply.find('\n') != std::string::npos) line.write("0\r");
  }
  screen.finish();
  return 0;
}

int run_term(Ctx& c, Duration quiet, bool velmora, bool sync_after_reply) {
  Transport& line = c.line();
  catch_stop_signals();
  TermScreen screen(c.out, c.s.timestamps, c.s.hex);
  if (!::isatty(0)) {
    c.err << "connected to " << line.name() << " at " << c.s.baud << " Bd; sending the input a line at a time\n";
    c.err.flush();
    return run_term_paced(c, line, screen, quiet, velmora, sync_after_reply);
  }
  c.err << "connected to " << line.name() << " at " << c.s.baud << " Bd; Ctrl-] quits\n";
  c.err.flush();
  StdinRaw raw;
  bool stdin_open = true;
  auto last_rx = std::chrono::steady_clock::now();
  while (!g_stop) {
    if (stdin_open) {
      struct pollfd p{0, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        char buf[256];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0) {
          stdin_open = false;
          last_rx = std::chrono::steady_clock::now();
        } else {
          std::string s(buf, static_cast<std::size_t>(n));
          auto quit = s.find('\x1d');
          bool done = quit != std::string::npos;
          if (done) s.erase(quit);
          // Both nodes end a line with CR alone; an LF would start a new command.
          for (auto& ch : s)
            if (ch == '\n') ch = '\r';
          if (!s.empty()) line.write(s);
          if (done) break;
        }
      }
    }
    std::string got = line.read_some(stdin_open ? 10ms : quiet);
    if (!got.empty()) {
      last_rx = std::chrono::steady_clock::now();
      screen.show(got);
      // A reply's LF leaves every velmora on the bus waiting for an address;
      // without a byte within 125 ms their watchdogs reset them.
      if (sync_after_reply && got.back() == '\n') line.write("0\r");
    } else if (!stdin_open && std::chrono::steady_clock::now() - last_rx >= quiet) {
      break;  // input ended and the line has gone quiet
    }
  }
  screen.finish();
  if (raw.active()) c.err << "\r\n";
  return 0;
}

// ------------------------------------------------------------ raw ---------

std::string raw_text(const Ctx& c, bool tavlo) {
  std::string data = unescape_bytes(c.arg(0));
  if (data.empty()) throw usage_error("raw needs some text to send");
  bool add_cr = !c.s.no_cr && data.back() != '\r';
  // 'M', 'R' and 'Z' take no line: a CR after them is read as the next command.
  if (tavlo && data.size() == 1 && std::string("MRZmrz").find(data[0]) != std::string::npos) add_cr = false;
  if (add_cr) data += '\r';
  return data;
}

int print_raw(Ctx& c, const std::string& sent, const std::string& reply) {
  if (reply.empty()) {
    c.err << "nodectl: no reply to \"" << escape_cut(sent) << "\"\n";
    return static_cast<int>(Exit::no_reply);
  }
  c.emit({{{"sent", sent}, {"reply", reply}}}, '"' + escape_bytes(reply) + "\"\n");
  return 0;
}

// ---------------------------------------------------------- velmora -------

// The set-point the monitor itself sent, drawn as steps beside the reading.
struct SetpointTrail {
  Series series{"set-point", "#d62728", {}, {}};
  void add(double t, unsigned volts) {
    if (!series.y.empty()) {
      series.x.push_back(t);
      series.y.push_back(series.y.back());
    }
    series.x.push_back(t);
    series.y.push_back(volts);
  }
  void extend_to(double t) {
    if (!series.y.empty() && t > series.x.back()) {
      series.x.push_back(t);
      series.y.push_back(series.y.back());
    }
  }
};

// Samples 'H' and 'R' every interval. 'H' (volts) and 'R' (code) are two
// queries, answered some milliseconds apart, so each keeps its own time: in a
// transient they differ by more than the calibration explains. With
// --on-after-ms the monitor switches the output on itself (ramped with
// --ramp), so that the recording covers the output from off through the ramp
// and the settling, with the set-point it sent beside the reading.
int velmora_monitor(Ctx& c, const std::function<VelmoraClient()>& client, const std::string& who,
                    const Limit& limit) {
  const Duration interval = millis(c.given("interval-ms") ? c.s.interval_ms : 1000);
  const bool switch_on = c.given("on-after-ms");
  std::optional<Ramp> ramp;
  if (c.given("ramp")) ramp = parse_ramp(c.s.ramp, interval);
  if (switch_on != c.given("volts")) throw usage_error("--on-after-ms and --volts go together");
  if (ramp && !switch_on) throw usage_error("--ramp needs --on-after-ms and --volts for 'monitor'");
  const unsigned target = c.s.volts;
  const unsigned address = c.s.address;
  if (switch_on) {
    if (limit.max_volts && target > *limit.max_volts)
      throw refused_error("refused: " + std::to_string(target) + " V exceeds the limit of " +
                          std::to_string(*limit.max_volts) + " V for address " + std::to_string(address));
    const double per_sample = ramp ? ramp->volts_per_s * seconds(interval) : target;
    if (limit.max_step && per_sample > *limit.max_step)
      throw refused_error("refused: steps of " + std::to_string(static_cast<unsigned>(std::ceil(per_sample))) +
                          " V are larger than the largest step " + std::to_string(*limit.max_step) +
                          " V for address " + std::to_string(address) +
                          (ramp ? " (slow the ramp or shorten --interval-ms)" : " (use a ramp)"));
  }
  std::unique_ptr<std::ofstream> csv;
  const std::string header =
      std::string("volts_time_s,volts,code_time_s,code") + (switch_on ? ",setpoint_v" : "") + "\n";
  if (c.given("output")) {
    csv = std::make_unique<std::ofstream>(c.s.output);
    if (!*csv) throw Error(Exit::failure, "cannot write " + c.s.output);
    *csv << header;
  }
  auto v = client();
  if (switch_on) {
    const unsigned now_v = v.read_volts();
    if (now_v > v.tolerance().live_volts)
      throw refused_error("refused: the output is on already (reads " + std::to_string(now_v) +
                          " V); --on-after-ms records a switch-on from off");
  }
  catch_stop_signals();
  Series volts_series{"output ('H')", "#1f77b4", {}, {}};
  SetpointTrail trail;
  const auto start = std::chrono::steady_clock::now();
  int last_error = 0;
  unsigned failures = 0;
  std::optional<unsigned> setpoint;  // sent by this monitor; none before switch-on
  double on_time = 0;
  double last_t = 0;
  if (switch_on) trail.add(0, 0);  // off: no output, whatever the node's set-point
  if (c.format == Format::csv) c.out << header;
  for (unsigned k = 0; !g_stop; ++k) {
    sleep_until_or_stopped(start + k * interval);
    if (g_stop) break;
    const double t = since(start);
    last_t = t;
    try {
      if (switch_on && !setpoint && t * 1000 >= c.s.on_after_ms) {
        setpoint = ramp ? 0u : target;
        v.send_frame('U', *setpoint);
        v.send_frame('N');
        on_time = since(start);
        trail.add(on_time, *setpoint);
      } else if (setpoint && ramp && *setpoint < target) {
        const double due = std::floor(ramp->volts_per_s * (t - on_time));
        const unsigned want = static_cast<unsigned>(std::min<double>(target, due));
        if (want != *setpoint) {
          v.send_frame('U', want);
          setpoint = want;
          trail.add(since(start), want);
        }
      }
      const unsigned volts = v.read_volts();
      const double tv = ms_round(since(start));
      const unsigned code = v.read_code();
      const double tc = ms_round(since(start));
      volts_series.x.push_back(tv);
      volts_series.y.push_back(volts);
      Record r = {{"volts_time_s", tv}, {"volts", num(volts)}, {"code_time_s", tc}, {"code", num(code)}};
      if (switch_on) r.push_back({"setpoint_v", opt_value(setpoint)});
      if (csv) {
        write_csv(*csv, {r}, false);
        csv->flush();
      }
      if (c.format == Format::json) {
        c.out << json_object(r) << '\n';
      } else if (c.format == Format::csv) {
        write_csv(c.out, {r}, false);
      } else {
        c.out << fixed3(tv) << " s  " << volts << " V    " << fixed3(tc) << " s  code " << code;
        if (setpoint) c.out << "    set-point " << *setpoint << " V";
        c.out << '\n';
      }
      c.out.flush();
    } catch (const Error& e) {
      if (g_stop) break;
      // One lost sample should not end a long recording; it is noted and counted.
      ++failures;
      last_error = static_cast<int>(e.code());
      c.err << "nodectl: " << fixed3(t) << " s: " << e.what() << '\n';
      if (csv) *csv << fixed3(t) << ",,," << (switch_on ? "," : "") << '\n' << std::flush;
      if (e.code() == Exit::port) break;
    }
    if (c.s.count && k + 1 >= c.s.count) break;
    if (c.s.duration_s && t >= c.s.duration_s) break;
  }
  if (c.given("svg")) {
    Chart chart;
    chart.title = who + (switch_on ? " output voltage and set-point" : " output voltage");
    chart.x_label = "time (s)";
    chart.y_label = "volts";
    chart.y_min = 0;
    chart.markers = volts_series.x.size() < 200;
    chart.series = {volts_series};
    if (switch_on) {
      trail.extend_to(std::max(last_t, volts_series.x.empty() ? 0.0 : volts_series.x.back()));
      chart.series.push_back(trail.series);
    }
    write_file(c.s.svg, render_svg(chart));
  }
  if (failures) c.err << "nodectl: " << failures << " sample(s) failed\n";
  return last_error;
}

constexpr const char* kScanLimits =
    "two nodes at one address answer with the same bytes at the same moment, which the host cannot tell\n"
    "from one answer; only answers that differ (in content or timing) show up as garbled";

int velmora_command(Ctx& c) {
  const std::string name = c.cmd->name;
  const unsigned addr = c.s.address;
  VelmoraTiming timing;
  timing.reply_timeout = c.timeout;
  timing.settle = millis(c.s.settle_ms);
  VelmoraTolerance tol;
  if (name == "set-code") tol.codes = c.s.tolerance;
  else tol.volts = c.s.tolerance;
  Limit limit;
  if (c.given("limits")) limit = LimitTable::load(c.s.limits).for_address(addr);
  std::optional<Ramp> ramp;
  if (c.given("ramp") && name != "monitor") ramp = parse_ramp(c.s.ramp, millis(c.s.ramp_interval_ms));
  const bool persist = c.s.persist;
  const std::string who = "velmora " + std::to_string(addr);
  if (addr == kBroadcastAddress && name != "address" && name != "scan" && name != "raw" && name != "term")
    throw usage_error("address 253 is the broadcast address, accepted only by 'address'");

  auto client = [&] { return VelmoraClient(c.line(), addr, system_clock(), timing, tol); };

  if (name == "read") {
    auto v = client();
    const auto start = std::chrono::steady_clock::now();
    const unsigned volts = v.read_volts();
    const double tv = ms_round(since(start));
    const unsigned code = v.read_code();
    const double tc = ms_round(since(start));
    c.emit({{{"address", num(addr)},
             {"volts", num(volts)},
             {"volts_time_s", tv},
             {"code", num(code)},
             {"code_time_s", tc}}},
           who + ": " + std::to_string(volts) + " V ('H' at " + fixed3(tv) + " s); code " + std::to_string(code) +
               " ('R' at " + fixed3(tc) + " s); two readings, taken one after the other\n");
    return 0;
  }
  if (name == "set") {
    const unsigned volts = parse_volts(c.arg(0), "voltage", kNodeMaxVolts);
    auto v = client();
    Outcome o = v.set_volts(volts, persist, limit, ramp);
    return report_outcome(c, who, "set " + std::to_string(volts) + " V" + (persist ? " (stored)" : ""), o,
                          {{"address", num(addr)}, {"target", num(volts)}, {"persist", persist}});
  }
  if (name == "set-code") {
    const unsigned code = parse_uint(c.arg(0), "code", 0, kAdcMaxCode);
    auto v = client();
    Outcome o = v.set_code(code, limit);
    return report_outcome(c, who, "set code " + std::to_string(code), o,
                          {{"address", num(addr)}, {"target", num(code)}});
  }
  if (name == "on") {
    std::optional<unsigned> volts;
    if (c.given("volts")) volts = c.s.volts;
    if (ramp && !volts) throw usage_error("--ramp needs --volts for 'on'");
    auto v = client();
    Outcome o = v.switch_on(persist, volts, limit, ramp);
    return report_outcome(c, who, std::string("output on") + (persist ? " (stored)" : ""), o,
                          {{"address", num(addr)}, {"persist", persist}});
  }
  if (name == "off") {
    auto v = client();
    Outcome o = v.switch_off(persist);
    return report_outcome(c, who, std::string("output off") + (persist ? " (stored)" : ""), o,
                          {{"address", num(addr)}, {"persist", persist}});
  }
  if (name == "calibrate") {
    const unsigned volts = parse_volts(c.arg(0), "calibration voltage", 65535);
    auto v = client();
    Outcome o = v.calibrate(volts);
    return report_outcome(c, who, "calibrate to " + std::to_string(volts) + " V", o,
                          {{"address", num(addr)}, {"volts", num(volts)}});
  }
  if (name == "dump") {
    auto v = client();
    Dump d = v.dump();
    const double celsius = std::round(die_celsius(d.temperature) * 10) / 10;
    char deg[32];
    std::snprintf(deg, sizeof deg, "%.1f", celsius);
    std::ostringstream t;
    t << who << ":";
    for (unsigned i = 0; i < 4; ++i) t << " ADC" << i << "=" << d.adc[i];
    t << " temperature: raw " << d.temperature << " (the node's value), about " << deg
      << " \u00b0C (typical sensor figures)\n";
    c.emit({{{"address", num(addr)},
             {"adc0", num(d.adc[0])},
             {"adc1", num(d.adc[1])},
             {"adc2", num(d.adc[2])},
             {"adc3", num(d.adc[3])},
             {"temperature_raw", num(d.temperature)},
             {"temperature_c", celsius}}},
           t.str());
    return 0;
  }
  if (name == "address") {
    if (c.arg_count() == 0) {
      auto v = client();
      const unsigned a = v.query_address();
      c.emit({{{"address", num(a)}}}, "velmora answers at address " + std::to_string(a) + "\n");
      return 0;
    }
    const unsigned to = parse_uint(c.arg(0), "new address", 1, 252);
    auto v = client();
    Outcome o = v.change_address(to);
    return report_outcome(c, who, "change address to " + std::to_string(to), o,
                          {{"old_address", num(addr)}, {"new_address", num(to)}});
  }
  if (name == "reset") {
    auto v = client();
    Outcome o = v.reset();
    return report_outcome(c, who, "reset", o, {{"address", num(addr)}});
  }
  if (name == "scan") {
    const unsigned from = c.s.from;
    const unsigned to = c.s.to;
    if (to < from) throw usage_error("--to " + std::to_string(to) + " is below --from " + std::to_string(from));
    const Duration per = millis(c.s.per_address_ms);
    auto v = client();
    catch_stop_signals();
    auto found = scan_bus(v, from, to, per, [](unsigned) { return !g_stop; });
    std::vector<Record> rows;
    std::ostringstream t;
    for (const auto& e : found) {
      const bool ok = e.kind == ProbeKind::answered;
      rows.push_back({{"address", num(e.address)},
                      {"status", std::string(ok ? "answers" : "garbled")},
                      {"reply", e.bytes}});
      t << "address " << e.address << ": "
        << (ok ? std::string("answers")
               : "garbled reply \"" + escape_cut(e.bytes) + "\" (two nodes at one address, or noise)")
        << '\n';
    }
    t << found.size() << (found.size() == 1 ? " address" : " addresses") << " of " << from << ".." << to
      << " answered\n"
      << "note: an address that answers may still hold two nodes: " << kScanLimits << '\n';
    c.emit(rows, t.str(), true);
    if (found.empty()) return static_cast<int>(Exit::no_reply);
    for (const auto& e : found)
      if (e.kind != ProbeKind::answered) return static_cast<int>(Exit::malformed);
    return 0;
  }
  if (name == "monitor") return velmora_monitor(c, client, who, limit);
  if (name == "raw") {
    const std::string data = raw_text(c, false);
    auto v = client();
    std::string reply = v.raw(data, millis(c.given("quiet-ms") ? c.s.quiet_ms : 100), !c.s.no_sync);
    return print_raw(c, data, reply);
  }
  if (name == "term") return run_term(c, millis(c.given("quiet-ms") ? c.s.quiet_ms : 300), true, !c.s.no_sync);
  throw usage_error("unknown velmora command '" + name + "'");
}

// ------------------------------------------------------------ tavlo -------

std::vector<Record> scan_rows(const Scan& s, std::optional<unsigned> scan_no) {
  std::vector<Record> rows;
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    Record r;
    if (scan_no) r.push_back({"scan", num(*scan_no)});
    r.push_back({"channel", num(ch)});
    r.push_back({"x", num(s[ch].x)});
    r.push_back({"y", num(s[ch].y)});
    rows.push_back(std::move(r));
  }
  return rows;
}

std::string scan_text(const Scan& s) {
  std::ostringstream t;
  t << "ch     X     Y\n";
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    char line[40];
    std::snprintf(line, sizeof line, "%2u  %4u  %4u\n", ch, s[ch].x, s[ch].y);
    t << line;
  }
  return t.str();
}

int tavlo_command(Ctx& c) {
  const std::string name = c.cmd->name;
  const unsigned addr = c.s.address;
  TavloTiming timing;
  timing.reply_timeout = c.timeout;
  const std::string who = "tavlo " + std::to_string(addr);
  auto client = [&] { return TavloClient(c.line(), addr, system_clock(), timing); };

  if (name == "identify") {
    auto t = client();
    const unsigned a = t.identify();
    c.emit({{{"address", num(a)}}}, "tavlo answers IDN" + std::to_string(a) + "\n");
    return 0;
  }
  if (name == "select") {
    auto t = client();
    t.select();
    c.emit({{{"address", num(addr)}, {"selected", true}}}, who + ": selected\n");
    return 0;
  }
  if (name == "trigger") {
    auto t = client();
    if (!c.s.no_select) t.select();
    const Duration wait = t.trigger();
    const double ms = seconds(wait) * 1000;
    if (!c.s.no_wait) sleep_until_or_stopped(std::chrono::steady_clock::now() + wait);
    char text[120];
    std::snprintf(text, sizeof text, "%s: scan started, %s %.1f ms\n", who.c_str(),
                  c.s.no_wait ? "expected to take" : "waited", ms);
    c.emit({{{"address", num(addr)}, {"scan_ms", ms}, {"waited", !c.s.no_wait}}}, text);
    return 0;
  }
  if (name == "read" || name == "list") {
    auto t = client();
    Scan s = name == "read" ? t.read() : t.list();
    if (c.given("svg")) write_file(c.s.svg, scan_profile_svg(s, who + " X/Y profile"));
    c.emit(scan_rows(s, std::nullopt), scan_text(s), true);
    return 0;
  }
  if (name == "averaging" || name == "settle") {
    const bool avg = name == "averaging";
    std::optional<unsigned> want;
    if (c.arg_count() == 1)
      want = avg ? parse_uint(c.arg(0), "averaging exponent", 1, kMaxAveraging)
                 : parse_uint(c.arg(0), "settling time", 1, 65535);
    auto t = client();
    if (!want) {
      const unsigned v = avg ? t.averaging() : t.settle_time();
      c.emit({{{"address", num(addr)}, {name, num(v)}}}, who + ": " + name + " " + std::to_string(v) + "\n");
      return 0;
    }
    Outcome o = avg ? t.set_averaging(*want) : t.set_settle_time(*want);
    return report_outcome(c, who, "set " + name + " " + std::to_string(*want), o, {{"address", num(addr)}});
  }
  if (name == "version") {
    auto t = client();
    const unsigned v = t.version();
    c.emit({{{"address", num(addr)}, {"version", num(v)}}}, who + ": version " + std::to_string(v) + "\n");
    return 0;
  }
  if (name == "acquire") {
    const unsigned n = parse_uint(c.arg(0), "number of scans", 1, 1'000'000);
    const ScanWait wait = c.s.wait == "queued" ? ScanWait::queued : ScanWait::computed;
    const Duration interval = millis(c.given("interval-ms") ? c.s.interval_ms : 0);
    std::unique_ptr<std::ofstream> file;
    if (c.given("output")) {
      file = std::make_unique<std::ofstream>(c.s.output);
      if (!*file) throw Error(Exit::failure, "cannot write " + c.s.output);
    }
    std::ostream& data = file ? *file : c.out;
    const bool json = c.format == Format::json && !file;
    auto t = client();
    catch_stop_signals();
    Scan last{};
    unsigned done = 0;
    const auto start = std::chrono::steady_clock::now();
    if (json) data << "[";
    for (unsigned k = 0; k < n && !g_stop; ++k) {
      sleep_until_or_stopped(start + k * interval);
      if (g_stop) break;
      try {
        last = t.measure(wait);
      } catch (const Error&) {
        if (g_stop) break;  // interrupted inside a wait: keep what was taken
        throw;
      }
      ++done;
      auto rows = scan_rows(last, k + 1);
      if (json) {
        for (std::size_t i = 0; i < rows.size(); ++i) data << (k || i ? ",\n " : "") << json_object(rows[i]);
      } else {
        write_csv(data, rows, k == 0);
      }
      data.flush();
    }
    if (json) data << "]\n";
    if (c.given("svg"))
      write_file(c.s.svg, scan_profile_svg(last, who + " X/Y profile, scan " + std::to_string(done) + " of " +
                                                     std::to_string(n)));
    if (file) {
      c.out << who << ": " << done << " scan(s) written to " << c.s.output << '\n';
      if (!*file) throw Error(Exit::failure, "cannot write " + c.s.output);
    }
    return 0;
  }
  if (name == "raw") {
    const std::string data = raw_text(c, true);
    auto t = client();
    std::string reply = t.raw(data, millis(c.given("quiet-ms") ? c.s.quiet_ms : 100));
    return print_raw(c, data, reply);
  }
  if (name == "term") return run_term(c, millis(c.given("quiet-ms") ? c.s.quiet_ms : 300), false, false);
  throw usage_error("unknown tavlo command '" + name + "'");
}

}  // namespace

int run_command(Ctx& c) {
  return std::string(c.cmd->node) == "velmora" ? velmora_command(c) : tavlo_command(c);
}

}  // namespace host
