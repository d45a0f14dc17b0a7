// The nodectl options on CLI11, each with its range check and help line,
// and the command tree built from the command table.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "cli_tree.hpp"
#include "serial_port.hpp"
#include "tavlo.hpp"
#include "velmora.hpp"

namespace host::cmdline {

namespace {

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

}  // namespace

std::vector<Forwarded>& forwarded() {
  static std::vector<Forwarded> f;
  return f;
}

Parser::Parser(Settings& s) {
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

}  // namespace host::cmdline
