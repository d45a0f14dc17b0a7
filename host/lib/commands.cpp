// The nodectl commands: what each one sends, waits for and prints.
//
// Here: the context the commands run in, the helpers they share, `raw`, and
// the choice of the command; each node's commands and the terminal have
// their own files.
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
#include "commands_shared.hpp"

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

namespace cmds {

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

namespace {

extern "C" void on_stop_signal(int sig) {
  if (g_stop) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
  g_stop = 1;
}

}  // namespace

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

int report_outcome(Ctx& c, const std::string& who, const std::string& action, const Outcome& o, Record extra) {
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

}  // namespace cmds

int run_command(Ctx& c) {
  return std::string(c.cmd->node) == "velmora" ? cmds::velmora_command(c) : cmds::tavlo_command(c);
}

}  // namespace host
