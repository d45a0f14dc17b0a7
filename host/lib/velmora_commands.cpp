// The velmora commands: what each sends, waits for and prints.
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

namespace host::cmds {

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

}  // namespace host::cmds
