// The nodectl command line, on CLI11: node and command subcommands, typed
// options with their ranges, the help generated from the same definitions.
//
// Options may stand anywhere on the line, before the node, between node and
// command, or after the command (`nodectl -p X velmora -a 2 set 5`), as
// operators type them. CLI11 ties an option to the subcommand it follows, so
// the words are first sorted: node and command, then every option; the
// command's own arguments are counted here and parsed by the command, so that
// a negative number ("set -5") is an argument for it to refuse.
#include "cli.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "cli_context.hpp"
#include "errors.hpp"
#include "serial_port.hpp"
#include "tavlo.hpp"
#include "velmora.hpp"

#ifndef NODECTL_VERSION
#define NODECTL_VERSION "unknown"
#endif

namespace host {
namespace {

// ------------------------------------------------------------ commands ----

const std::vector<std::string> kCommon = {"port", "baud", "timeout-ms", "trace", "format", "strict", "address"};

const std::vector<CommandDef>& commands() {
  static const std::vector<CommandDef> cmds = {
      {"velmora", "read", "", "read the output voltage ('H') and its ADC code ('R')",
       "Two queries, answered one after the other: each reading is printed with the time it came\n"
       "(seconds from the command's start). While the output moves they can disagree by more than\n"
       "the calibration explains.",
       {}, 0, 0},
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
      {"velmora", "dump", "", "dump the four ADC inputs and the temperature ('D')",
       "The temperature is shown as the node prints it (raw: (1317 - sensor code) * 10 / 13) and\n"
       "converted to degrees Celsius with the data sheet's typical sensor figures (780 mV at 25 C,\n"
       "-1.3 mV/C, 2.5 V reference): an estimate, not a calibrated reading.",
       {}, 0, 0},
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
       "Sends A1 .. A252 (--from/--to) with a short time-out each.\n"
       "What it can tell: which addresses answer, and answers that arrive garbled (two nodes at one\n"
       "address whose answers differ in content or timing, noise, a wrong baud rate).\n"
       "What it cannot tell: two nodes at one address that answer with the same bytes at the same\n"
       "moment; on the host's side that is one answer, so such an address shows as 'answers'.\n"
       "To find them, change the address of the node you can reach and scan again.\n"
       "Exit 4 when no address answers, 5 when an answer was garbled.",
       {"from", "to", "per-address-ms"}, 0, 0},
      {"velmora", "monitor", "", "read volts and code periodically (CSV, optional SVG picture)",
       "Samples 'H' and 'R' every --interval-ms until --count, --duration-s or Ctrl-C; each of the\n"
       "two readings keeps its own time. -o FILE writes CSV (volts_time_s,volts,code_time_s,code);\n"
       "--svg FILE draws the voltage over time. On stdout: one line per sample (text), CSV rows, or\n"
       "JSON lines. --on-after-ms MS --volts V switches the output on (from off) that long after the\n"
       "start, at V or ramped to V with --ramp, so the record shows the switch-on, the ramp and the\n"
       "settling, with the set-point sent drawn beside the reading (CSV column setpoint_v).",
       {"interval-ms", "count", "duration-s", "output", "svg", "on-after-ms", "volts", "ramp", "limits"}, 0, 0},
      {"velmora", "raw", "TEXT", "send one frame (CR appended) and print the reply",
       "TEXT may use \\r \\n \\xNN escapes. The bus sync \"0\\r\" goes before the frame and after a\n"
       "reply (--no-sync: not after): it closes the address that a reply's LF leaves every node\n"
       "waiting for, before their watchdogs reset them.",
       {"no-cr", "no-sync", "quiet-ms"}, 1, 1},
      {"velmora", "term", "", "keyboard to the line, line to the screen; a pipe is sent frame by frame",
       "Enter sends CR. After each reply line the bus sync \"0\\r\" is sent (--no-sync: not).\n"
       "Ctrl-] quits. Input from a pipe or file is sent one line at a time: each line as a frame,\n"
       "then its reply is awaited (its start within --timeout-ms, its end after --quiet-ms of\n"
       "silence) and printed before the next line goes out.",
       {"quiet-ms", "no-sync", "timestamps", "hex"}, 0, 0},

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
      {"tavlo", "term", "", "keyboard to the line, line to the screen; a pipe is sent line by line",
       "Enter sends CR. Ctrl-] quits. Input from a pipe or file is sent one line at a time (CR\n"
       "appended, but not after a lone M, R or Z), each reply awaited and printed before the next.",
       {"quiet-ms", "timestamps", "hex"}, 0, 0},
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

std::string arg_help(const CommandDef& c) {
  const std::string n = c.name;
  if (n == "set") return "the output voltage in whole volts, 0..2010 (a trailing V is allowed)";
  if (n == "set-code") return "the set-point in ADC codes, 0..4095";
  if (n == "calibrate") return "the voltage a meter reads at the output, in whole volts";
  if (n == "address") return "the new address, 1..252 (without it: ask the address)";
  if (n == "averaging") return "the exponent, 1..15 (without it: ask)";
  if (n == "settle") return "the settling time, 1..65535 (without it: ask)";
  if (n == "acquire") return "the number of scans, 1..1000000";
  return "the text to send; \\r \\n \\xNN escapes allowed";
}

// ------------------------------------------------------------ options -----

// A whole number in lo..hi, with the message naming the option.
CLI::Validator whole(const std::string& name, unsigned lo, unsigned hi) {
  return CLI::Validator(
      [=](std::string& v) -> std::string {
        auto x = parse_decimal(v, 0xFFFFFFFFu);
        if (!x)
          return name + " must be a whole number " + std::to_string(lo) + ".." + std::to_string(hi) + ", got '" +
                 escape_cut(v) + "'";
        if (*x < lo || *x > hi)
          return name + " " + v + " out of range " + std::to_string(lo) + ".." + std::to_string(hi);
        return {};
      },
      std::to_string(lo) + ".." + std::to_string(hi));
}

CLI::Validator one_of(const std::string& name, std::vector<std::string> values) {
  std::string list;
  for (std::size_t i = 0; i < values.size(); ++i)
    list += (i ? (i + 1 == values.size() ? " or " : ", ") : "") + values[i];
  return CLI::Validator(
      [=](std::string& v) -> std::string {
        for (const auto& ok : values)
          if (v == ok) return {};
        return name + " must be " + list + ", got '" + escape_cut(v) + "'";
      },
      "");
}

CLI::Validator baud_rate() {
  return CLI::Validator(
      [](std::string& v) -> std::string {
        auto x = parse_decimal(v, 10'000'000);
        if (!x || !valid_baud(static_cast<unsigned>(*x)))
          return "bad baud rate '" + escape_cut(v) +
                 "' (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)";
        return {};
      },
      "");
}

constexpr unsigned kMaxMs = 3'600'000;

using Adder = std::function<CLI::Option*(CLI::App&, Settings&, const CommandDef&)>;

const std::map<std::string, Adder>& adders() {
  static const std::map<std::string, Adder> a = {
      {"port",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("-p,--port", s.port,
                               "serial device (/dev/ttyUSB0, /dev/serial/by-id/...), a simulator's pseudo-terminal,\n"
                               "or tcp:HOST:PORT; default: $NODECTL_PORT")
             ->type_name("PORT");
       }},
      {"baud",
       [](CLI::App& app, Settings& s, const CommandDef& c) {
         return app.add_option("-b,--baud", s.baud,
                               std::string("line rate in baud (default ") +
                                   (std::string(c.node) == "velmora" ? "9600" : "115200") + ")")
             ->type_name("N")
             ->check(baud_rate());
       }},
      {"timeout-ms",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("-t,--timeout-ms", s.timeout_ms, "how long to wait for a reply to begin (default 300)")
             ->type_name("MS")
             ->check(whole("--timeout-ms", 1, kMaxMs));
       }},
      {"trace",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--trace", s.trace,
                               "log every byte with its time and direction ('>' to the node, '<' from it)")
             ->type_name("FILE");
       }},
      {"format",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("-f,--format", s.format, "output: text (default), csv or json")
             ->type_name("FMT")
             ->check(one_of("--format", {"text", "csv", "json"}));
       }},
      {"strict",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--strict", s.strict, "treat an unverified set as a failure (exit 6)");
       }},
      {"address",
       [](CLI::App& app, Settings& s, const CommandDef& c) {
         const bool velmora = std::string(c.node) == "velmora";
         return app
             .add_option("-a,--address", s.address,
                         velmora ? "node address 1..252, or 253 (broadcast) for queries; default 1"
                                 : "unit address 0..65535; default 1")
             ->type_name("N")
             ->check(velmora ? whole("--address", 1, kBroadcastAddress) : whole("--address", 0, 65535));
       }},
      {"persist",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--persist", s.persist,
                             "store the change in the node's parameter store ('V', 'G', 'S' instead of 'U', 'N', 'F')");
       }},
      {"limits",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--limits", s.limits,
                               "limit file: refuse sets beyond an address's max volts, code or step")
             ->type_name("FILE");
       }},
      {"ramp",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--ramp", s.ramp,
                               "change the voltage in steps at RATE (e.g. 50V/s), reading back after every step")
             ->type_name("RATE");
       }},
      {"ramp-interval-ms",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--ramp-interval-ms", s.ramp_interval_ms, "time between ramp steps (default 250)")
             ->type_name("MS")
             ->check(whole("--ramp-interval-ms", 1, kMaxMs));
       }},
      {"settle-ms",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--settle-ms", s.settle_ms, "how long a set may take to show in the readback (default 3000)")
             ->type_name("MS")
             ->check(whole("--settle-ms", 1, kMaxMs));
       }},
      {"tolerance",
       [](CLI::App& app, Settings& s, const CommandDef& c) {
         const bool codes = std::string(c.name) == "set-code";
         return app
             .add_option("--tolerance", s.tolerance,
                         codes ? "accepted readback difference in codes (default 3)"
                               : "accepted readback difference in volts (default 3)")
             ->type_name("N")
             ->check(whole("--tolerance", 0, codes ? kAdcMaxCode : kNodeMaxVolts));
       }},
      {"volts",
       [](CLI::App& app, Settings& s, const CommandDef& c) {
         const bool monitor = std::string(c.name) == "monitor";
         return app
             .add_option("--volts", s.volts,
                         monitor ? "the set-point to switch on at (with --on-after-ms)"
                                 : "switch on at this set-point (sent before the output is switched on)")
             ->type_name("V")
             ->transform(CLI::Validator(
                 [](std::string& v) {
                   if (!v.empty() && (v.back() == 'V' || v.back() == 'v')) v.pop_back();
                   return std::string();
                 },
                 ""))
             ->check(whole("--volts", 0, kNodeMaxVolts));
       }},
      {"on-after-ms",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--on-after-ms", s.on_after_ms,
                               "switch the output on this long after the first sample (needs --volts)")
             ->type_name("MS")
             ->check(whole("--on-after-ms", 0, kMaxMs));
       }},
      {"interval-ms",
       [](CLI::App& app, Settings& s, const CommandDef& c) {
         const bool monitor = std::string(c.name) == "monitor";
         return app
             .add_option("--interval-ms", s.interval_ms,
                         monitor ? "time between samples (default 1000)" : "time between scans (default 0)")
             ->type_name("MS")
             ->check(whole("--interval-ms", monitor ? 1 : 0, kMaxMs));
       }},
      {"count",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("-n,--count", s.count, "number of samples (default: until Ctrl-C or --duration-s)")
             ->type_name("N")
             ->check(whole("--count", 1, 100'000'000));
       }},
      {"duration-s",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--duration-s", s.duration_s, "stop after this many seconds")
             ->type_name("S")
             ->check(whole("--duration-s", 1, 100'000'000));
       }},
      {"output",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("-o,--output", s.output, "write the CSV data to FILE")->type_name("FILE");
       }},
      {"svg",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--svg", s.svg, "write a picture (SVG) to FILE")->type_name("FILE");
       }},
      {"from",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--from", s.from, "first address to scan (default 1)")
             ->type_name("N")
             ->check(whole("--from", 1, 252));
       }},
      {"to",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--to", s.to, "last address to scan (default 252)")
             ->type_name("N")
             ->check(whole("--to", 1, 252));
       }},
      {"per-address-ms",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--per-address-ms", s.per_address_ms, "how long to wait for each address (default 40)")
             ->type_name("MS")
             ->check(whole("--per-address-ms", 1, kMaxMs));
       }},
      {"wait",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_option("--wait", s.wait,
                               "after 'M': computed (sleep the computed scan time, default) or queued (send 'R' at once)")
             ->type_name("MODE")
             ->check(one_of("--wait", {"computed", "queued"}));
       }},
      {"no-wait",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--no-wait", s.no_wait, "return right after sending 'M'");
       }},
      {"no-select",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--no-select", s.no_select, "do not select the unit first (the scan time is then unknown)");
       }},
      {"no-cr",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--no-cr", s.no_cr, "send the text without a final CR");
       }},
      {"no-sync",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--no-sync", s.no_sync, "do not send the bus sync \"0\\r\" after a reply");
       }},
      {"quiet-ms",
       [](CLI::App& app, Settings& s, const CommandDef& c) {
         const bool term = std::string(c.name) == "term";
         return app
             .add_option("--quiet-ms", s.quiet_ms,
                         term ? "a reply has ended after this much silence (default 300)"
                              : "a reply has ended after this much silence (default 100)")
             ->type_name("MS")
             ->check(whole("--quiet-ms", 1, kMaxMs));
       }},
      {"timestamps",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--timestamps", s.timestamps,
                             "lead each received line with its time in seconds since the start");
       }},
      {"hex",
       [](CLI::App& app, Settings& s, const CommandDef&) {
         return app.add_flag("--hex", s.hex, "show received bytes in hex, a line of them per received line");
       }},
  };
  return a;
}

// Commands run by other parts of the program (a console, say): the words
// after the name go to them unparsed.
struct Forwarded {
  std::string name, summary;
  SubcommandMain main;
};
std::vector<Forwarded>& forwarded() {
  static std::vector<Forwarded> f;
  return f;
}

// The whole command tree, each command with its own and the common options.
struct Parser {
  CLI::App root{"nodectl - operate velmora high-voltage nodes and tavlo readout units over a serial line",
                "nodectl"};
  std::map<std::string, CLI::App*> nodes;
  std::map<const CommandDef*, CLI::App*> apps;
  std::shared_ptr<CLI::Formatter> format = std::make_shared<CLI::Formatter>();
  bool help_flag = false;  // -h is taken before parsing; this shows it in the help

  explicit Parser(Settings& s) {
    format->column_width(28);
    root.set_help_flag();
    root.require_subcommand(0, 1);
    for (const char* node : {"velmora", "tavlo"}) {
      CLI::App* n = root.add_subcommand(
          node, std::string(node) == "velmora" ? "velmora high-voltage nodes on a 9600 Bd multi-drop bus"
                                               : "tavlo 64-channel readout units on a 115200 Bd line");
      n->set_help_flag();
      n->require_subcommand(0, 1);
      nodes[node] = n;
    }
    for (const auto& c : commands()) {
      CLI::App* a = nodes[c.node]->add_subcommand(c.name, c.summary);
      a->set_help_flag();
      a->formatter(format);
      std::string footer;
      if (c.details[0]) footer += std::string(c.details) + "\n\n";
      footer += kExitCodes;
      a->footer(footer);
      if (c.max_args > 0) {
        std::string shown = c.args;
        if (shown.front() == '[') shown = shown.substr(1, shown.size() - 2);
        a->add_option(shown, s.args, arg_help(c))->type_name("")->expected(0, c.max_args);
      }
      for (const auto& o : c.options) adders().at(o)(*a, s, c);
      for (const auto& o : kCommon) adders().at(o)(*a, s, c)->group("Options common to all commands");
      a->add_flag("-h,--help", help_flag, "show help for the node or command given")->group("Options common to all commands");
      apps[&c] = a;
    }
  }

  // Any command's definition of an option, to know whether it takes a value.
  const CLI::Option* any_option(const std::string& flag) const {
    for (const auto& [def, app] : apps)
      if (auto* o = app->get_option_no_throw(flag)) return o;
    return nullptr;
  }
};

// ------------------------------------------------------------ help --------

std::string usage_of(const CommandDef& c) {
  return std::string("nodectl ") + c.node + " " + c.name + (c.args[0] ? std::string(" ") + c.args : "");
}

void list_commands(std::ostream& os, const std::string& node) {
  for (const auto& c : commands()) {
    if (node != c.node) continue;
    std::string head = std::string("  ") + c.name + (c.args[0] ? std::string(" ") + c.args : "");
    os << head << std::string(head.size() < 22 ? 22 - head.size() : 1, ' ') << c.summary << '\n';
  }
}

void print_main_help(std::ostream& os, Parser& p) {
  os << p.root.get_description() << "\n\n"
     << "Usage:\n"
        "  nodectl [options] velmora COMMAND [ARGS]\n"
        "  nodectl [options] tavlo COMMAND [ARGS]\n";
  for (const auto& f : forwarded()) os << "  nodectl " << f.name << " [ARGS]\n";
  os << "  nodectl help [velmora|tavlo [COMMAND]]     (or --help anywhere)\n"
        "  nodectl --version\n"
        "  nodectl completion bash                    (a bash completion script)\n\n"
        "Options common to all commands:\n";
  const CLI::App* any = p.apps.begin()->second;
  for (const auto& name : kCommon) os << p.format->make_option(any->get_option("--" + name), false);
  os << "  -h, --help                show help for the node or command given\n"
        "  --version                 show the program's version\n";
  for (const char* node : {"velmora", "tavlo"}) {
    os << "\n" << node << " commands:\n";
    list_commands(os, node);
  }
  if (!forwarded().empty()) {
    os << "\nOther commands:\n";
    for (const auto& f : forwarded())
      os << "  " << f.name << std::string(f.name.size() < 20 ? 20 - f.name.size() : 1, ' ') << f.summary << '\n';
  }
  os << "\n" << kExitCodes
     << "\nExamples:\n"
        "  nodectl -p /dev/ttyUSB0 velmora read\n"
        "  nodectl -p /dev/pts/5 velmora -a 2 set 1500 --persist --limits hv.limits --ramp 50V/s\n"
        "  nodectl -p tcp:127.0.0.1:5000 tavlo acquire 10 -o scans.csv --svg profile.svg\n"
        "  printf 'H1\\nR1\\n' | nodectl -p /dev/pts/5 velmora term\n";
}

void print_node_help(std::ostream& os, const std::string& node) {
  os << "Usage: nodectl [options] " << node << " COMMAND [ARGS]\n\nCommands:\n";
  list_commands(os, node);
  os << "\nDefault line rate: " << (node == "velmora" ? "9600" : "115200") << " Bd. 'nodectl " << node
     << " COMMAND --help' describes a command.\n\n"
     << kExitCodes;
}

void print_command_help(std::ostream& os, Parser& p, const CommandDef& c) {
  os << "Usage: " << usage_of(c) << " [options]\n\n" << c.summary << ".\n\n";
  // CLI11's own page without its usage line, which names only the last word.
  std::string page = p.apps.at(&c)->help("", CLI::AppFormatMode::Normal);
  auto first = page.find("\nPositionals");
  if (first == std::string::npos) first = page.find("\nOptions");
  os << (first == std::string::npos ? page : page.substr(first + 1));
}

// ------------------------------------------------------------ completion --

// A bash completion script made from the command tree: nodes, commands, each
// command's options, and the values of the options that have a fixed set.
void print_bash_completion(std::ostream& os, Parser& p) {
  std::vector<std::string> flags;
  for (const auto& [def, app] : p.apps)
    for (const CLI::Option* o : app->get_options()) {
      if (o->get_positional() || o->get_items_expected_max() == 0) continue;
      for (const auto& n : o->get_lnames()) flags.push_back("--" + n);
      for (const auto& n : o->get_snames()) flags.push_back("-" + n);
    }
  std::sort(flags.begin(), flags.end());
  flags.erase(std::unique(flags.begin(), flags.end()), flags.end());
  std::string takes_value;
  for (const auto& f : flags) takes_value += (takes_value.empty() ? "" : "|") + f;
  os << "# bash completion for nodectl: source it, or save it as\n"
        "# /usr/share/bash-completion/completions/nodectl (nodectl completion bash > ...)\n"
        "_nodectl() {\n"
        "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} node= cmd= skip= w i\n"
        "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "    w=${COMP_WORDS[i]}\n"
        "    if [ -n \"$skip\" ]; then skip=; continue; fi\n"
        "    case $w in\n"
        "      "
     << takes_value
     << ") skip=1 ;;\n"
        "      -*) ;;\n"
        "      *) if [ -z \"$node\" ]; then node=$w; elif [ -z \"$cmd\" ]; then cmd=$w; fi ;;\n"
        "    esac\n"
        "  done\n"
        "  case $prev in\n"
        "    -f|--format) COMPREPLY=($(compgen -W 'text csv json' -- \"$cur\")); return ;;\n"
        "    --wait) COMPREPLY=($(compgen -W 'computed queued' -- \"$cur\")); return ;;\n"
        "    -b|--baud) COMPREPLY=($(compgen -W '1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 "
        "921600' -- \"$cur\")); return ;;\n"
        "    -p|--port|--trace|--limits|-o|--output|--svg) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
        "    "
     << takes_value
     << ") return ;;\n"
        "  esac\n"
        "  local words\n"
        "  case $node/$cmd in\n";
  for (const char* node : {"velmora", "tavlo"}) {
    os << "    " << node << "/) words='";
    bool first = true;
    for (const auto& c : commands())
      if (std::string(c.node) == node) os << (first ? "" : " ") << c.name, first = false;
    os << "' ;;\n";
  }
  for (const auto& c : commands()) {
    os << "    " << c.node << "/" << c.name << ") words='";
    bool first = true;
    for (const CLI::Option* o : p.apps.at(&c)->get_options()) {
      if (o->get_positional()) continue;
      for (const auto& n : o->get_lnames()) os << (first ? "" : " ") << "--" << n, first = false;
    }
    os << "' ;;\n";
  }
  os << "    /) words='velmora tavlo help";
  for (const auto& f : forwarded()) os << ' ' << f.name;
  os << " --help --version' ;;\n"
        "    *) words= ;;\n"
        "  esac\n"
        "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
        "}\n"
        "complete -F _nodectl nodectl\n";
}

// ------------------------------------------------------------ arguments ---

struct Words {
  std::vector<std::string> positional;  // node, command, the command's arguments
  std::vector<std::string> options;     // as CLI11 is to see them
  std::vector<std::string> option_names;
  bool help = false, version = false;
};

bool is_number_word(const std::string& s) {
  return s.size() >= 2 && s[0] == '-' && std::isdigit(static_cast<unsigned char>(s[1]));
}

Words sort_words(int argc, char** argv, const Parser& p) {
  Words w;
  bool rest = false;
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (rest || s == "-" || s.size() < 2 || s[0] != '-' || is_number_word(s)) {
      w.positional.push_back(s);
      continue;
    }
    if (s == "--") {
      rest = true;
      continue;
    }
    std::string flag = s, shown = s;
    bool inline_value = false;
    if (s[1] == '-') {
      auto eq = s.find('=');
      if (eq != std::string::npos) flag = s.substr(0, eq), shown = flag, inline_value = true;
    } else {
      flag = s.substr(0, 2);
      shown = flag;
      inline_value = s.size() > 2;
    }
    if (flag == "-h" || flag == "--help") {
      if (inline_value) throw usage_error("option '" + shown + "' takes no value");
      w.help = true;
      continue;
    }
    if (flag == "--version") {
      w.version = true;
      continue;
    }
    const CLI::Option* o = p.any_option(flag);
    if (!o) throw usage_error("unknown option '" + escape_cut(shown) + "'");
    const bool takes_value = o->get_items_expected_max() > 0;
    if (!takes_value && inline_value) throw usage_error("option '" + shown + "' takes no value");
    w.option_names.push_back(o->get_name());
    if (!takes_value) {
      w.options.push_back(flag);
    } else if (inline_value) {
      w.options.push_back(flag);
      w.options.push_back(s[1] == '-' ? s.substr(flag.size() + 1) : s.substr(2));
    } else {
      if (i + 1 >= argc) throw usage_error("option '" + shown + "' needs a value (" + o->get_type_name() + ")");
      w.options.push_back(flag);
      w.options.push_back(argv[++i]);
    }
  }
  return w;
}

// CLI11's message "NAME: TEXT", where our validators' TEXT names the option itself.
std::string parse_message(const CLI::ParseError& e) {
  std::string m = e.what();
  if (dynamic_cast<const CLI::ValidationError*>(&e)) {
    auto colon = m.find(": ");
    if (colon != std::string::npos && m.compare(colon + 2, 1, "-") == 0) return m.substr(colon + 2);
    if (colon != std::string::npos && m.find("bad baud rate") != std::string::npos) return m.substr(colon + 2);
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
    auto colon = m.find(':');
    return "option '" + m.substr(0, colon) + "' given more than once";
  }
  return m;
}

int run(Ctx& c, int argc, char** argv) {
  // A forwarded command takes every other word as it stands. Its name is the
  // first word that is a command name (others before it are option values).
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--" || s == "velmora" || s == "tavlo" || s == "help") break;
    if (s.empty() || s[0] == '-') continue;
    for (const auto& f : forwarded()) {
      if (s != f.name) continue;
      std::vector<char*> args;
      std::string prog = "nodectl " + f.name;
      args.push_back(prog.data());
      for (int k = 1; k < argc; ++k)
        if (k != i) args.push_back(argv[k]);
      args.push_back(nullptr);
      return f.main(static_cast<int>(args.size()) - 1, args.data());
    }
  }

  Parser p(c.s);
  if (argc == 3 && std::string(argv[1]) == "completion") {
    if (std::string(argv[2]) != "bash") throw usage_error("completion: only bash is offered");
    print_bash_completion(c.out, p);
    return 0;
  }
  Words w = sort_words(argc, argv, p);
  auto& pos = w.positional;
  if (!pos.empty() && pos[0] == "help") {
    w.help = true;
    pos.erase(pos.begin());
  }
  if (w.version && !w.help) {
    c.out << "nodectl " << NODECTL_VERSION << '\n';
    return 0;
  }
  if (pos.empty()) {
    if (w.help) {
      print_main_help(c.out, p);
      return 0;
    }
    throw usage_error("say which node: velmora or tavlo");
  }
  const std::string node = pos[0];
  if (node != "velmora" && node != "tavlo") throw usage_error("unknown node '" + escape_cut(node) + "' (velmora or tavlo)");
  if (pos.size() < 2) {
    if (w.help) {
      print_node_help(c.out, node);
      return 0;
    }
    throw usage_error("say which " + node + " command (see 'nodectl " + node + " --help')");
  }
  c.cmd = find_command(node, pos[1]);
  if (!c.cmd)
    throw usage_error("unknown " + node + " command '" + escape_cut(pos[1]) + "' (see 'nodectl " + node + " --help')");
  if (w.help) {
    print_command_help(c.out, p, *c.cmd);
    return 0;
  }
  CLI::App* app = p.apps.at(c.cmd);
  for (const auto& name : w.option_names) {
    if (!app->get_option_no_throw(name))
      throw usage_error("option " + name + " does not apply to '" + node + " " + c.cmd->name + "'");
  }
  const int nargs = static_cast<int>(pos.size()) - 2;
  if (nargs < c.cmd->min_args) throw usage_error("missing argument: " + usage_of(*c.cmd));
  if (nargs > c.cmd->max_args)
    throw usage_error("too many arguments: '" + escape_cut(pos[2 + c.cmd->max_args]) + "' is extra; usage: " +
                      usage_of(*c.cmd));

  // The arguments were counted above and each command parses its own; the
  // parser gets the options only (it lists the arguments in the help).
  std::vector<std::string> words = {"nodectl", node, c.cmd->name};
  words.insert(words.end(), w.options.begin(), w.options.end());
  std::vector<char*> cargv;
  for (auto& s : words) cargv.push_back(s.data());
  try {
    p.root.parse(static_cast<int>(cargv.size()), cargv.data());
  } catch (const CLI::ParseError& e) {
    throw usage_error(parse_message(e));
  }
  c.app = app;
  c.s.args.assign(pos.begin() + 2, pos.end());
  const bool velmora = node == "velmora";
  if (!c.given("baud")) c.s.baud = velmora ? kVelmoraBaud : kTavloBaud;
  c.timeout = millis(c.s.timeout_ms);
  c.format = c.s.format == "csv" ? Format::csv : c.s.format == "json" ? Format::json : Format::text;
  return run_command(c);
}

}  // namespace

void add_forwarded_command(const std::string& name, const std::string& summary, SubcommandMain main) {
  forwarded().push_back({name, summary, main});
}

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
