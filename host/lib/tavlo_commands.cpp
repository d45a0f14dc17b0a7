// The tavlo commands: what each sends, waits for and prints.
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

}  // namespace host::cmds
