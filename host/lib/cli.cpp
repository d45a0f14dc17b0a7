#include "cli.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "errors.hpp"
#include "limits.hpp"
#include "output.hpp"
#include "serial_port.hpp"
#include "svg.hpp"
#include "tavlo.hpp"
#include "trace.hpp"
#include "velmora.hpp"

namespace host {
namespace {

// ---------------------------------------------------------------- options --

struct OptionDef {
  const char* name;
  char short_name;
  const char* arg;  // nullptr for a flag
  const char* help;
};

constexpr OptionDef kOptions[] = {
    {"port", 'p', "PORT",
     "serial device (/dev/ttyUSB0, /dev/serial/by-id/...), a simulator's pseudo-terminal, or tcp:HOST:PORT;\n"
     "default: $NODECTL_PORT"},
    {"baud", 'b', "N", "line rate in baud (default: velmora 9600, tavlo 115200)"},
    {"timeout-ms", 't', "MS", "how long to wait for a reply to begin (default 300)"},
    {"trace", 0, "FILE", "log every byte with its time and direction ('>' to the node, '<' from it)"},
    {"format", 'f', "FMT", "output: text (default), csv or json"},
    {"strict", 0, nullptr, "treat an unverified set as a failure (exit 6)"},
    {"help", 'h', nullptr, "show help for the node or command given"},
    {"address", 'a', "N", "node address (velmora 1..252, 253 = broadcast for queries; tavlo 0..65535); default 1"},
    {"persist", 0, nullptr, "store the change in the node's parameter store ('V', 'G', 'S' instead of 'U', 'N', 'F')"},
    {"limits", 0, "FILE", "limit file: refuse sets beyond an address's max volts, code or step"},
    {"ramp", 0, "RATE", "change the voltage in steps at RATE (e.g. 50V/s), reading back after every step"},
    {"ramp-interval-ms", 0, "MS", "time between ramp steps (default 250)"},
    {"settle-ms", 0, "MS", "how long a set may take to show in the readback (default 3000)"},
    {"tolerance", 0, "N", "accepted readback difference, volts or codes (default 3)"},
    {"volts", 0, "V", "switch on at this set-point (sent before the output is switched on)"},
    {"interval-ms", 0, "MS", "time between samples or scans (monitor default 1000, acquire 0)"},
    {"count", 'n', "N", "number of samples (default: until Ctrl-C or --duration-s)"},
    {"duration-s", 0, "S", "stop after this many seconds"},
    {"output", 'o', "FILE", "write the CSV data to FILE"},
    {"svg", 0, "FILE", "write a picture (SVG) to FILE"},
    {"from", 0, "N", "first address to scan (default 1)"},
    {"to", 0, "N", "last address to scan (default 252)"},
    {"per-address-ms", 0, "MS", "scan: how long to wait for each address (default 40)"},
    {"wait", 0, "MODE", "after 'M': computed (sleep the computed scan time, default) or queued (send 'R' at once)"},
    {"no-wait", 0, nullptr, "trigger: return right after sending 'M'"},
    {"no-select", 0, nullptr, "trigger: do not select the unit first (the scan time is then unknown)"},
    {"no-cr", 0, nullptr, "raw: send the text without a final CR"},
    {"no-sync", 0, nullptr, "raw/term: do not send the bus sync \"0\\r\" after a reply"},
    {"quiet-ms", 0, "MS", "raw/term: a reply has ended after this much silence (default 100)"},
};

const OptionDef* find_option(std::string_view name) {
  for (const auto& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

const OptionDef* find_short(char c) {
  for (const auto& o : kOptions)
    if (o.short_name == c) return &o;
  return nullptr;
}

struct CommandDef {
  const char* node;
  const char* name;
  const char* args;
  const char* summary;
  const char* details;
  std::vector<std::string> options;
  int min_args, max_args;
};

const std::vector<std::string> kCommon = {"port", "baud", "timeout-ms", "trace", "format", "strict", "help", "address"};

const std::vector<CommandDef>& commands() {
  static const std::vector<CommandDef> cmds = {
      {"velmora", "read", "", "read the output voltage ('H') and its ADC code ('R')",
       "Prints the measured output in volts and in ADC codes.", {}, 0, 0},
      {"velmora", "set", "VOLTS", "set the output voltage in whole volts ('U'; 'V' with --persist)",
       "Sends the set-point, then reads the output back ('H') until it is within the tolerance or\n"
       "--settle-ms passes, and reports verified, mismatch or unverified (the output reads 0 V: off?).\n"
       "With --limits, values above max_volts and changes larger than max_step are refused before\n"
       "anything is sent; --ramp RATE goes there in steps no larger than max_step, checking each one.",
       {"persist", "limits", "ramp", "ramp-interval-ms", "settle-ms", "tolerance"}, 1, 1},
      {"velmora", "set-code", "CODE", "set the output in ADC codes 0..4095 ('E'), verified with 'R'",
       "With --limits the address needs max_code (and max_step_code is honoured).",
       {"limits", "settle-ms", "tolerance"}, 1, 1},
      {"velmora", "on", "", "switch the output on ('N'; 'G' with --persist)",
       "Verified when the output rises above 10 V. With --volts V the set-point is sent first (and\n"
       "verified against V); with --ramp the output is switched on at 0 V and ramped to V. When\n"
       "--limits apply to the address, --volts is required: the node's set-point cannot be read.",
       {"persist", "volts", "limits", "ramp", "ramp-interval-ms", "settle-ms", "tolerance"}, 0, 0},
      {"velmora", "off", "", "switch the output off ('F'; 'S' with --persist)",
       "Verified when the output falls to 10 V or below; unverified when it read that low before.",
       {"persist", "settle-ms"}, 0, 0},
      {"velmora", "calibrate", "VOLTS", "tell the node the voltage measured at its present set-point ('C')",
       "Refused unless the output reads well above 0. Verified when 'H' then reads VOLTS.",
       {"settle-ms", "tolerance"}, 1, 1},
      {"velmora", "dump", "", "dump the four ADC inputs and the temperature ('D')", "", {}, 0, 0},
      {"velmora", "address", "[NEW]", "ask the node's address ('A'), or change it to NEW",
       "Without NEW: the node at -a answers with its address (-a 253 asks a lone node on the bus).\n"
       "With NEW: checks that nobody answers at NEW, changes the address (stored by the node),\n"
       "then confirms the node answers at NEW and not at the old address.",
       {}, 0, 1},
      {"velmora", "reset", "", "reset the node ('K') and wait until it answers again",
       "The reset cannot be seen on the line, so the result is reported as unverified once the\n"
       "node answers its address again.",
       {"settle-ms"}, 0, 0},
      {"velmora", "scan", "", "list the addresses on the bus that answer 'A'",
       "Sends A1 .. A252 (--from/--to) with a short time-out each. Garbled answers show two nodes\n"
       "sharing an address. Exit 4 when no address answers, 5 when an answer was garbled.",
       {"from", "to", "per-address-ms"}, 0, 0},
      {"velmora", "monitor", "", "read volts and code periodically (CSV, optional SVG picture)",
       "Samples every --interval-ms until --count, --duration-s or Ctrl-C. -o FILE writes CSV\n"
       "(time_s,volts,code); --svg FILE draws the voltage over time. On stdout: one line per sample\n"
       "(text), CSV rows, or JSON lines.",
       {"interval-ms", "count", "duration-s", "output", "svg"}, 0, 0},
      {"velmora", "raw", "TEXT", "send one frame (CR appended) and print the reply",
       "TEXT may use \\r \\n \\xNN escapes. The bus sync \"0\\r\" goes before the frame and after a\n"
       "reply (--no-sync: not after): it closes the address that a reply's LF leaves every node\n"
       "waiting for, before their watchdogs reset them.",
       {"no-cr", "no-sync", "quiet-ms"}, 1, 1},
      {"velmora", "term", "", "interactive: keyboard to the line, line to the screen",
       "Enter sends CR (LF from a pipe is sent as CR). After each reply line the bus sync \"0\\r\"\n"
       "is sent (--no-sync: not). Ctrl-] quits.",
       {"quiet-ms", "no-sync"}, 0, 0},

      {"tavlo", "identify", "", "deselect every unit and ask 'IDN'; prints the address that answers", "", {}, 0, 0},
      {"tavlo", "select", "", "select the unit at -a ('S')", "", {}, 0, 0},
      {"tavlo", "trigger", "", "start a scan ('M') and wait the computed scan time",
       "Selects the unit first to learn its averaging and settling time (--no-select: not), so the\n"
       "scan time is known; --no-wait returns at once. 'M' is acted on by every unit on the line.",
       {"no-wait", "no-select"}, 0, 0},
      {"tavlo", "read", "", "read the last scan's 64 X/Y pairs ('R')", "--svg FILE draws the X/Y profile.",
       {"svg"}, 0, 0},
      {"tavlo", "list", "", "read the last scan through the unit's listing ('L')", "--svg FILE draws the profile.",
       {"svg"}, 0, 0},
      {"tavlo", "averaging", "[N]", "ask or set the averaging exponent ('A'); a scan runs 2^N passes",
       "N is 1..15; 0 cannot be set (the unit keeps its value), only a reset restores it.", {}, 0, 1},
      {"tavlo", "settle", "[N]", "ask or set the settling time ('D'), 1..65535 units of about 1 us", "", {}, 0, 1},
      {"tavlo", "version", "", "ask the firmware version ('V')", "", {}, 0, 0},
      {"tavlo", "acquire", "N", "run N scans ('M' then 'R' each) and write them as CSV",
       "Rows scan,channel,x,y to -o FILE or stdout (--format json: JSON). --svg FILE draws the last\n"
       "scan's profile. --wait computed sleeps the computed scan time before 'R'; --wait queued\n"
       "sends 'R' at once, which the unit takes up when its scan ends.",
       {"wait", "interval-ms", "output", "svg"}, 1, 1},
      {"tavlo", "raw", "TEXT", "send one line (CR appended, but not after a lone M, R or Z) and print the reply",
       "TEXT may use \\r \\n \\xNN escapes.", {"no-cr", "quiet-ms"}, 1, 1},
      {"tavlo", "term", "", "interactive: keyboard to the line, line to the screen",
       "Enter sends CR (LF from a pipe is sent as CR). Ctrl-] quits.", {"quiet-ms"}, 0, 0},
  };
  return cmds;
}

const CommandDef* find_command(const std::string& node, const std::string& name) {
  for (const auto& c : commands())
    if (node == c.node && name == c.name) return &c;
  return nullptr;
}

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  success (a set may still be reported \"unverified\"; see --strict)\n"
    "  1  other failure (e.g. an output file cannot be written)\n"
    "  2  usage error: bad command line or value\n"
    "  3  port error: cannot open, lock (\"port held by another program\") or use the line\n"
    "  4  no reply within the time-out\n"
    "  5  malformed reply: truncated, garbled (e.g. two nodes answering at once) or unexpected\n"
    "  6  readback mismatch after a set (with --strict also: unverified)\n"
    "  7  refused by a limit or safety check before anything was sent\n";

void print_option(std::ostream& os, const OptionDef& o) {
  std::string head = "  ";
  head += o.short_name ? std::string("-") + o.short_name + ", " : "    ";
  head += std::string("--") + o.name;
  if (o.arg) head += std::string(" ") + o.arg;
  std::string help = o.help;
  std::string pad(26, ' ');
  os << head;
  if (head.size() < 26) os << std::string(26 - head.size(), ' ');
  else os << '\n' << pad;
  for (char c : help) {
    os << c;
    if (c == '\n') os << pad;
  }
  os << '\n';
}

void print_main_help(std::ostream& os) {
  os << "nodectl - operate velmora high-voltage nodes and tavlo readout units over a serial line\n\n"
        "Usage:\n"
        "  nodectl [options] velmora COMMAND [ARGS]\n"
        "  nodectl [options] tavlo COMMAND [ARGS]\n"
        "  nodectl help [velmora|tavlo [COMMAND]]     (or --help anywhere)\n\n"
        "Options common to all commands:\n";
  for (const auto& name : kCommon) print_option(os, *find_option(name));
  for (const char* node : {"velmora", "tavlo"}) {
    os << "\n" << node << " commands:\n";
    for (const auto& c : commands()) {
      if (std::string(c.node) != node) continue;
      std::string head = std::string("  ") + c.name + (c.args[0] ? std::string(" ") + c.args : "");
      os << head << std::string(head.size() < 22 ? 22 - head.size() : 1, ' ') << c.summary << '\n';
    }
  }
  os << "\n" << kExitCodes
     << "\nExamples:\n"
        "  nodectl -p /dev/ttyUSB0 velmora read\n"
        "  nodectl -p /dev/pts/5 velmora -a 2 set 1500 --persist --limits hv.limits --ramp 50V/s\n"
        "  nodectl -p tcp:127.0.0.1:5000 tavlo acquire 10 -o scans.csv --svg profile.svg\n";
}

void print_node_help(std::ostream& os, const std::string& node) {
  os << "Usage: nodectl [options] " << node << " COMMAND [ARGS]\n\nCommands:\n";
  for (const auto& c : commands()) {
    if (node != c.node) continue;
    std::string head = std::string("  ") + c.name + (c.args[0] ? std::string(" ") + c.args : "");
    os << head << std::string(head.size() < 22 ? 22 - head.size() : 1, ' ') << c.summary << '\n';
  }
  os << "\nDefault line rate: " << (node == "velmora" ? "9600" : "115200")
     << " Bd. 'nodectl " << node << " COMMAND --help' describes a command.\n\n"
     << kExitCodes;
}

void print_command_help(std::ostream& os, const CommandDef& c) {
  os << "Usage: nodectl [options] " << c.node << ' ' << c.name << (c.args[0] ? std::string(" ") + c.args : "")
     << "\n\n" << c.summary << ".\n";
  if (c.details[0]) os << '\n' << c.details << '\n';
  os << "\nOptions:\n";
  for (const auto& name : c.options) print_option(os, *find_option(name));
  for (const auto& name : kCommon) print_option(os, *find_option(name));
  os << '\n' << kExitCodes;
}

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> opts;
  bool has(const std::string& n) const { return opts.count(n) != 0; }
};

Args parse_args(int argc, char** argv) {
  Args a;
  bool rest = false;
  for (int i = 1; i < argc; ++i) {
    std::string s = argv[i];
    if (rest || s == "-" || s.size() < 2 || s[0] != '-') {
      a.positional.push_back(s);
      continue;
    }
    if (s == "--") {
      rest = true;
      continue;
    }
    const OptionDef* def = nullptr;
    std::optional<std::string> inline_value;
    std::string shown = s;
    if (s[1] == '-') {
      std::string name = s.substr(2);
      auto eq = name.find('=');
      if (eq != std::string::npos) inline_value = name.substr(eq + 1), name.erase(eq), shown = "--" + name;
      def = find_option(name);
    } else if (std::isdigit(static_cast<unsigned char>(s[1]))) {
      a.positional.push_back(s);  // a negative number; its command will refuse it
      continue;
    } else {
      def = find_short(s[1]);
      shown = s.substr(0, 2);
      if (s.size() > 2) inline_value = s.substr(2);
    }
    if (!def) throw usage_error("unknown option '" + shown + "'");
    if (!def->arg) {
      if (inline_value) throw usage_error("option '" + shown + "' takes no value");
      a.opts[def->name] = "";
      continue;
    }
    if (!inline_value) {
      if (i + 1 >= argc) throw usage_error("option '" + shown + "' needs a value (" + def->arg + ")");
      inline_value = argv[++i];
    }
    if (a.opts.count(def->name)) throw usage_error("option '" + shown + "' given twice");
    a.opts[def->name] = *inline_value;
  }
  return a;
}

// ------------------------------------------------------------ values ------

unsigned parse_uint(const std::string& text, const std::string& what, unsigned lo, unsigned hi) {
  auto v = parse_decimal(text, 0xFFFFFFFFu);
  if (!v) throw usage_error(what + " must be a whole number " + std::to_string(lo) + ".." + std::to_string(hi) +
                            ", got '" + text + "'");
  if (*v < lo || *v > hi)
    throw usage_error(what + " " + text + " out of range " + std::to_string(lo) + ".." + std::to_string(hi));
  return static_cast<unsigned>(*v);
}

unsigned parse_volts(std::string text, const std::string& what, unsigned hi) {
  if (!text.empty() && (text.back() == 'V' || text.back() == 'v')) text.pop_back();
  if (text.find_first_of(".,") != std::string::npos)
    throw usage_error(what + " must be whole volts (the node takes integer volts), got '" + text + "'");
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
    throw usage_error("ramp rate must be a whole number of volts per second above 0, like 50V/s; got '" + text + "'");
  return Ramp{static_cast<unsigned>(*v), interval};
}

// ------------------------------------------------------------ context -----

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

struct Ctx {
  Args args;
  const CommandDef* cmd = nullptr;
  std::string node;
  Format format = Format::text;
  std::ostream& out;
  std::ostream& err;
  unsigned baud = 0;
  Duration timeout = 300ms;
  bool strict = false;

  std::unique_ptr<Transport> port;
  std::unique_ptr<TraceLine> trace;
  std::FILE* trace_file = nullptr;

  Ctx(std::ostream& o, std::ostream& e) : out(o), err(e) {}
  ~Ctx() {
    trace.reset();
    if (trace_file) std::fclose(trace_file);
  }

  const std::string* opt(const std::string& n) const {
    auto it = args.opts.find(n);
    return it == args.opts.end() ? nullptr : &it->second;
  }
  bool flag(const std::string& n) const { return args.has(n); }
  unsigned uint_opt(const std::string& n, unsigned def, unsigned lo, unsigned hi) const {
    auto* v = opt(n);
    return v ? parse_uint(*v, "--" + n, lo, hi) : def;
  }
  Duration ms_opt(const std::string& n, unsigned def_ms) const {
    return millis(uint_opt(n, def_ms, 1, 3'600'000));
  }
  const std::string& arg(std::size_t i) const { return args.positional.at(i + 2); }
  std::size_t arg_count() const { return args.positional.size() - 2; }

  // Opens the line on first use, so that every bad value is reported before.
  Transport& line() {
    if (trace) return *trace;
    if (port) return *port;
    std::string where;
    if (auto* p = opt("port")) where = *p;
    else if (const char* env = std::getenv("NODECTL_PORT"); env && *env) where = env;
    if (where.empty())
      throw usage_error("missing --port (e.g. -p /dev/ttyUSB0, -p /dev/serial/by-id/..., -p tcp:127.0.0.1:5000)");
    port = open_line(where, baud);
    if (auto* t = opt("trace")) {
      trace_file = std::fopen(t->c_str(), "w");
      if (!trace_file) throw Error(Exit::failure, "cannot write trace file " + *t);
      trace = std::make_unique<TraceLine>(*port, trace_file, system_clock());
      trace->note("nodectl " + node + " " + cmd->name + " on " + port->name() + " at " + std::to_string(baud) +
                  " Bd; '>' to the node, '<' from it; times in seconds");
      return *trace;
    }
    return *port;
  }

  void emit(const std::vector<Record>& rows, const std::string& text, bool as_list = false) {
    switch (format) {
      case Format::text: out << text; break;
      case Format::csv: write_csv(out, rows); break;
      case Format::json: write_json(out, rows, as_list); break;
    }
    out.flush();
  }
};

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  if (!f || !(f << content) || !f.flush()) throw Error(Exit::failure, "cannot write " + path);
}

Value num(long long v) { return Value(v); }
Value opt_value(std::optional<unsigned> v) { return v ? num(*v) : Value(); }

int verdict_exit(const Ctx& c, Verdict v) {
  if (v == Verdict::mismatch || (v == Verdict::unverified && c.strict)) return static_cast<int>(Exit::mismatch);
  return 0;
}

int report_outcome(Ctx& c, const std::string& who, const std::string& action, const Outcome& o, Record extra = {}) {
  std::ostringstream text;
  text << who << ": " << action << ": " << to_string(o.verdict) << ", " << o.detail << '\n';
  std::string steps_json = "[", steps_text;
  for (std::size_t i = 0; i < o.steps.size(); ++i) {
    const auto& s = o.steps[i];
    text << "  step " << i + 1 << ": " << s.target << " V, reads "
         << (s.readback ? std::to_string(*s.readback) + " V" : std::string("-")) << '\n';
    steps_json += (i ? ", " : "") + std::string("{\"target\": ") + std::to_string(s.target) +
                  ", \"readback\": " + (s.readback ? std::to_string(*s.readback) : "null") + "}";
    steps_text += (i ? ";" : "") + std::to_string(s.target) + ":" + (s.readback ? std::to_string(*s.readback) : "");
  }
  steps_json += "]";
  Record r = {{"action", action}};
  r.insert(r.end(), extra.begin(), extra.end());
  r.push_back({"verdict", std::string(to_string(o.verdict))});
  r.push_back({"readback", opt_value(o.readback)});
  r.push_back({"detail", o.detail});
  if (!o.steps.empty()) r.push_back({"steps", JsonRaw{steps_json, steps_text}});
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

int run_term(Ctx& c, Duration quiet, bool sync_after_reply) {
  Transport& line = c.line();
  catch_stop_signals();
  c.err << "connected to " << line.name() << " at " << c.baud << " Bd; Ctrl-] quits\n";
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
      c.out.write(got.data(), static_cast<std::streamsize>(got.size()));
      c.out.flush();
      // A reply's LF leaves every velmora on the bus waiting for an address;
      // without a byte within 125 ms their watchdogs reset them.
      if (sync_after_reply && got.back() == '\n') line.write("0\r");
    } else if (!stdin_open && std::chrono::steady_clock::now() - last_rx >= quiet) {
      break;  // input ended and the line has gone quiet
    }
  }
  if (raw.active()) c.err << "\r\n";
  return 0;
}

// ---------------------------------------------------------- velmora -------

std::string raw_text(const Ctx& c, bool tavlo) {
  std::string data = unescape_bytes(c.arg(0));
  if (data.empty()) throw usage_error("raw needs some text to send");
  bool add_cr = !c.flag("no-cr") && data.back() != '\r';
  // 'M', 'R' and 'Z' take no line: a CR after them is read as the next command.
  if (tavlo && data.size() == 1 && std::string("MRZmrz").find(data[0]) != std::string::npos) add_cr = false;
  if (add_cr) data += '\r';
  return data;
}

int print_raw(Ctx& c, const std::string& sent, const std::string& reply) {
  std::ostringstream text;
  if (reply.empty()) {
    c.err << "nodectl: no reply to \"" << escape_bytes(sent) << "\"\n";
    return static_cast<int>(Exit::no_reply);
  }
  text << '"' << escape_bytes(reply) << "\"\n";
  c.emit({{{"sent", sent}, {"reply", reply}}}, text.str());
  return 0;
}

int velmora_command(Ctx& c) {
  const std::string& name = c.cmd->name;
  const unsigned addr = c.uint_opt("address", 1, 0, 253);
  VelmoraTiming timing;
  timing.reply_timeout = c.timeout;
  timing.settle = c.ms_opt("settle-ms", 3000);
  VelmoraTolerance tol;
  if (name == "set-code") tol.codes = c.uint_opt("tolerance", 3, 0, 4095);
  else tol.volts = c.uint_opt("tolerance", 3, 0, 2010);
  Limit limit;
  if (auto* f = c.opt("limits")) limit = LimitTable::load(*f).for_address(addr);
  std::optional<Ramp> ramp;
  if (auto* r = c.opt("ramp")) ramp = parse_ramp(*r, c.ms_opt("ramp-interval-ms", 250));
  const bool persist = c.flag("persist");
  const std::string who = "velmora " + std::to_string(addr);
  if (addr == kBroadcastAddress && name != "address" && name != "scan" && name != "raw" && name != "term")
    throw usage_error("address 253 is the broadcast address, accepted only by 'address'");

  auto client = [&] { return VelmoraClient(c.line(), addr, system_clock(), timing, tol); };

  if (name == "read") {
    auto v = client();
    const unsigned volts = v.read_volts();
    const unsigned code = v.read_code();
    c.emit({{{"address", num(addr)}, {"volts", num(volts)}, {"code", num(code)}}},
           who + ": " + std::to_string(volts) + " V (code " + std::to_string(code) + ")\n");
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
    if (auto* s = c.opt("volts")) volts = parse_volts(*s, "--volts", kNodeMaxVolts);
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
    std::ostringstream t;
    t << who << ":";
    for (unsigned i = 0; i < 4; ++i) t << " ADC" << i << "=" << d.adc[i];
    t << " temperature=" << d.temperature << '\n';
    c.emit({{{"address", num(addr)},
             {"adc0", num(d.adc[0])},
             {"adc1", num(d.adc[1])},
             {"adc2", num(d.adc[2])},
             {"adc3", num(d.adc[3])},
             {"temperature", num(d.temperature)}}},
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
    const unsigned from = c.uint_opt("from", 1, 1, 252);
    const unsigned to = c.uint_opt("to", 252, from, 252);
    const Duration per = c.ms_opt("per-address-ms", 40);
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
        << (ok ? std::string("answers") : "garbled reply \"" + escape_bytes(e.bytes) + "\" (two nodes at one address?)")
        << '\n';
    }
    t << found.size() << (found.size() == 1 ? " address" : " addresses") << " of " << from << ".." << to
      << " answered\n";
    c.emit(rows, t.str(), true);
    if (found.empty()) return static_cast<int>(Exit::no_reply);
    for (const auto& e : found)
      if (e.kind != ProbeKind::answered) return static_cast<int>(Exit::malformed);
    return 0;
  }
  if (name == "monitor") {
    const Duration interval = c.ms_opt("interval-ms", 1000);
    const unsigned count = c.uint_opt("count", 0, 1, 100'000'000);
    const unsigned duration_s = c.uint_opt("duration-s", 0, 1, 100'000'000);
    std::unique_ptr<std::ofstream> csv;
    if (auto* o = c.opt("output")) {
      csv = std::make_unique<std::ofstream>(*o);
      if (!*csv) throw Error(Exit::failure, "cannot write " + *o);
      *csv << "time_s,volts,code\n";
    }
    auto v = client();
    catch_stop_signals();
    Series volts_series{"output", "#1f77b4", {}, {}};
    const auto start = std::chrono::steady_clock::now();
    int last_error = 0;
    unsigned failures = 0;
    if (c.format == Format::csv) c.out << "time_s,volts,code\n";
    for (unsigned k = 0; !g_stop; ++k) {
      sleep_until_or_stopped(start + k * interval);
      if (g_stop) break;
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      char ts[32];
      std::snprintf(ts, sizeof ts, "%.3f", t);
      try {
        const unsigned volts = v.read_volts();
        const unsigned code = v.read_code();
        volts_series.x.push_back(t);
        volts_series.y.push_back(volts);
        if (csv) *csv << ts << ',' << volts << ',' << code << '\n' << std::flush;
        Record r = {{"time_s", t}, {"volts", num(volts)}, {"code", num(code)}};
        if (c.format == Format::json) c.out << json_object(r) << '\n';
        else if (c.format == Format::csv) write_csv(c.out, {r}, false);
        else c.out << ts << " s  " << volts << " V  code " << code << '\n';
        c.out.flush();
      } catch (const Error& e) {
        if (g_stop) break;
        // One lost sample should not end a long recording; it is noted and counted.
        ++failures;
        last_error = static_cast<int>(e.code());
        c.err << "nodectl: " << ts << " s: " << e.what() << '\n';
        if (csv) *csv << ts << ",,\n" << std::flush;
        if (e.code() == Exit::port) break;
      }
      if (count && k + 1 >= count) break;
      if (duration_s && t >= duration_s) break;
    }
    if (auto* s = c.opt("svg")) {
      Chart chart;
      chart.title = who + " output voltage";
      chart.x_label = "time (s)";
      chart.y_label = "volts";
      chart.y_min = 0;
      chart.markers = volts_series.x.size() < 200;
      chart.series = {volts_series};
      write_file(*s, render_svg(chart));
    }
    if (failures) c.err << "nodectl: " << failures << " sample(s) failed\n";
    return last_error;
  }
  if (name == "raw") {
    const std::string data = raw_text(c, false);
    auto v = client();
    std::string reply = v.raw(data, c.ms_opt("quiet-ms", 100), !c.flag("no-sync"));
    return print_raw(c, data, reply);
  }
  if (name == "term") return run_term(c, c.ms_opt("quiet-ms", 300), !c.flag("no-sync"));
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
  const std::string& name = c.cmd->name;
  const unsigned addr = c.uint_opt("address", 1, 0, 65535);
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
    if (!c.flag("no-select")) t.select();
    const Duration wait = t.trigger();
    const double ms = seconds(wait) * 1000;
    if (!c.flag("no-wait")) sleep_until_or_stopped(std::chrono::steady_clock::now() + wait);
    char text[120];
    std::snprintf(text, sizeof text, "%s: scan started, %s %.1f ms\n", who.c_str(),
                  c.flag("no-wait") ? "expected to take" : "waited", ms);
    c.emit({{{"address", num(addr)}, {"scan_ms", ms}, {"waited", !c.flag("no-wait")}}}, text);
    return 0;
  }
  if (name == "read" || name == "list") {
    auto t = client();
    Scan s = name == "read" ? t.read() : t.list();
    if (auto* f = c.opt("svg")) write_file(*f, scan_profile_svg(s, who + " X/Y profile"));
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
    ScanWait wait = ScanWait::computed;
    if (auto* w = c.opt("wait")) {
      if (*w == "computed") wait = ScanWait::computed;
      else if (*w == "queued") wait = ScanWait::queued;
      else throw usage_error("--wait must be computed or queued, got '" + *w + "'");
    }
    const Duration interval = millis(c.uint_opt("interval-ms", 0, 0, 3'600'000));
    std::unique_ptr<std::ofstream> file;
    if (auto* o = c.opt("output")) {
      file = std::make_unique<std::ofstream>(*o);
      if (!*file) throw Error(Exit::failure, "cannot write " + *o);
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
    if (auto* f = c.opt("svg"))
      write_file(*f, scan_profile_svg(last, who + " X/Y profile, scan " + std::to_string(done) + " of " +
                                                std::to_string(n)));
    if (file) {
      c.out << who << ": " << done << " scan(s) written to " << *c.opt("output") << '\n';
      if (!*file) throw Error(Exit::failure, "cannot write " + *c.opt("output"));
    }
    return 0;
  }
  if (name == "raw") {
    const std::string data = raw_text(c, true);
    auto t = client();
    std::string reply = t.raw(data, c.ms_opt("quiet-ms", 100));
    return print_raw(c, data, reply);
  }
  if (name == "term") return run_term(c, c.ms_opt("quiet-ms", 300), false);
  throw usage_error("unknown tavlo command '" + name + "'");
}

int run(Ctx& c, int argc, char** argv) {
  c.args = parse_args(argc, argv);
  auto& pos = c.args.positional;
  const bool want_help = c.flag("help") || (!pos.empty() && pos[0] == "help");
  if (!pos.empty() && pos[0] == "help") pos.erase(pos.begin());
  if (pos.empty()) {
    if (want_help) {
      print_main_help(c.out);
      return 0;
    }
    throw usage_error("say which node: velmora or tavlo");
  }
  c.node = pos[0];
  if (c.node != "velmora" && c.node != "tavlo")
    throw usage_error("unknown node '" + c.node + "' (velmora or tavlo)");
  if (pos.size() < 2) {
    if (want_help) {
      print_node_help(c.out, c.node);
      return 0;
    }
    throw usage_error("say which " + c.node + " command (see 'nodectl " + c.node + " --help')");
  }
  c.cmd = find_command(c.node, pos[1]);
  if (!c.cmd) throw usage_error("unknown " + c.node + " command '" + pos[1] + "' (see 'nodectl " + c.node + " --help')");
  if (want_help) {
    print_command_help(c.out, *c.cmd);
    return 0;
  }
  for (const auto& [name, value] : c.args.opts) {
    (void)value;
    bool ok = std::find(kCommon.begin(), kCommon.end(), name) != kCommon.end() ||
              std::find(c.cmd->options.begin(), c.cmd->options.end(), name) != c.cmd->options.end();
    if (!ok) throw usage_error("option --" + name + " does not apply to '" + c.node + " " + c.cmd->name + "'");
  }
  const int nargs = static_cast<int>(pos.size()) - 2;
  if (nargs < c.cmd->min_args || nargs > c.cmd->max_args) {
    std::string usage = std::string("nodectl ") + c.node + " " + c.cmd->name + (c.cmd->args[0] ? " " : "") + c.cmd->args;
    throw usage_error(nargs < c.cmd->min_args ? "missing argument: " + usage
                                              : "too many arguments: " + usage);
  }

  const bool velmora = c.node == "velmora";
  const unsigned def_baud = velmora ? kVelmoraBaud : kTavloBaud;
  if (auto* b = c.opt("baud")) {
    auto v = parse_decimal(*b, 10'000'000);
    if (!v || !valid_baud(static_cast<unsigned>(*v)))
      throw usage_error("bad baud rate '" + *b + "' (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, "
                        "460800, 921600)");
    c.baud = static_cast<unsigned>(*v);
  } else {
    c.baud = def_baud;
  }
  c.timeout = c.ms_opt("timeout-ms", 300);
  if (auto* f = c.opt("format")) {
    if (*f == "text") c.format = Format::text;
    else if (*f == "csv") c.format = Format::csv;
    else if (*f == "json") c.format = Format::json;
    else throw usage_error("--format must be text, csv or json, got '" + *f + "'");
  }
  c.strict = c.flag("strict");
  return velmora ? velmora_command(c) : tavlo_command(c);
}

}  // namespace

int nodectl_main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  Ctx c(out, err);
  try {
    return run(c, argc, argv);
  } catch (const Error& e) {
    out.flush();
    err << "nodectl: " << e.what() << '\n';
    if (e.code() == Exit::usage) err << "Try 'nodectl --help'.\n";
    return static_cast<int>(e.code());
  } catch (const std::exception& e) {
    out.flush();
    err << "nodectl: " << e.what() << '\n';
    return static_cast<int>(Exit::failure);
  }
}

}  // namespace host
