// nodecheck: the protocol checks against one node on a line, a simulator's
// pseudo-terminal or a real node behind a serial adapter.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <regex>

#include "check.hpp"
#include "errors.hpp"
#include "serial_port.hpp"
#include "tavlo.hpp"
#include "velmora.hpp"

namespace {

// Exit codes: 0 every case passed (skips allowed); 1 a case failed; 2 usage;
// 3 the line could not be used or the node did not answer before the first
// case; 4 a restore failed (the node is not as the run found it); 130
// interrupted.
constexpr int kFailed = 1, kUsage = 2, kNoNode = 3, kRestoreFailed = 4, kInterrupted = 130;

}  // namespace

int main(int argc, char** argv) {
  check::Options opt;
  CLI::App app{"Protocol checks against one velmora or tavlo node: a line per case with PASS, FAIL or SKIP and "
               "the measured figure, then a summary. The same cases run against aducsim's pseudo-terminal and a "
               "real node.",
               "nodecheck"};
  app.add_option("node", opt.node, "velmora or tavlo")->required()->check(CLI::IsMember({"velmora", "tavlo"}));
  app.add_option("-p,--port", opt.port, "serial device, pseudo-terminal or tcp:HOST:PORT")->required();
  app.add_option("-a,--address", opt.address, "the node's address (velmora 1..252, tavlo its unit address)")
      ->check(CLI::Range(0u, 65535u));
  auto* hv = app.add_option("--allow-hv", opt.allow_hv,
                            "velmora: allow the output on, with no set-point above VOLTS (otherwise the output "
                            "stays off and the cases that need it are skipped)")
                 ->check(CLI::Range(1u, 2010u));
  hv->type_name("VOLTS");
  app.add_option("--tolerance-volts", opt.tol_volts, "velmora: read-back tolerance of set-points in volts")
      ->capture_default_str();
  app.add_option("--tolerance-codes", opt.tol_codes, "velmora: read-back tolerance of set-points in ADC codes")
      ->capture_default_str();
  app.add_option("--calibration", opt.calibration,
                 "velmora: the node's stored factor ADC2HV (volts per code x 32768; 26936 from the factory), "
                 "put back exactly after the calibration case (it must agree with the measured factor to 0.15 %); "
                 "without it the factor is measured and put back as measured")
      ->check(CLI::Range(1u, 65535u));
  app.add_option("--reply-max-ms", opt.reply_max_ms, "velmora: longest frame-to-reply time")->capture_default_str();
  app.add_option("--timing-tolerance", opt.tol_timing, "tavlo: scan time against its model, relative")
      ->capture_default_str();
  app.add_option("--noise-ratio-min", opt.noise_ratio_min,
                 "tavlo: least share of the ideal noise reduction by averaging")
      ->capture_default_str();
  app.add_flag("--quick", opt.quick,
               "shorter timing and noise cases (fewer and shorter scans, fewer samples); used under the simulator");
  app.add_option("--only", opt.only, "run only these cases (names with or without the node prefix, comma-separated)")->delimiter(',');
  std::string junit;
  app.add_option("--junit", junit, "also write the results as JUnit XML");
  bool list = false;
  app.add_flag("--list", list, "list the cases and exit");
  app.add_flag("-v,--verbose", opt.verbose, "log what each case restored");
  CLI11_PARSE(app, argc, argv);

  std::vector<check::Case> cases = opt.node == "velmora" ? check::velmora_cases() : check::tavlo_cases();
  if (!opt.only.empty()) {
    std::erase_if(cases, [&](const check::Case& c) {
      const std::string shortname = c.name.substr(c.name.find('.') + 1);
      for (const auto& w : opt.only)
        if (w == c.name || w == shortname) return false;
      return true;
    });
    if (cases.empty()) {
      std::cerr << "nodecheck: no case matches --only\n";
      return kUsage;
    }
  }
  if (list) {
    for (const auto& c : cases) std::cout << c.name << "  " << c.summary << "\n";
    return 0;
  }
  if (opt.node == "velmora" && opt.address > 252) {
    std::cerr << "nodecheck: a velmora address is 0..252\n";
    return kUsage;
  }

  check::install_interrupt_handler();
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<host::Transport> line;
  try {
    line = host::open_line(opt.port, opt.node == "velmora" ? host::kVelmoraBaud : host::kTavloBaud);
  } catch (const host::Error& e) {
    std::cerr << "nodecheck: " << e.what() << "\n";
    return kNoNode;
  }
  check::Session session(opt, *line);
  std::cout << "nodecheck " << opt.node << " " << opt.address << " on " << line->name()
            << (opt.node == "velmora"
                    ? (opt.allow_hv ? ", output allowed up to " + std::to_string(*opt.allow_hv) + " V"
                                    : ", output kept off")
                    : std::string())
            << (opt.quick ? ", quick" : "") << "\n";
  try {
    if (opt.node == "velmora") check::velmora_preflight(session);
    else check::tavlo_preflight(session);
  } catch (const std::exception& e) {
    std::cout << "no run: " << e.what() << "\n";
    return kNoNode;
  }
  auto outcomes = check::run_cases(session, cases, std::cout);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unsigned pass = 0, fail = 0, skip = 0, restore_failed = 0;
  for (const auto& o : outcomes) {
    if (o.result.status == check::Status::pass) ++pass;
    if (o.result.status == check::Status::fail) ++fail;
    if (o.result.status == check::Status::skip) ++skip;
    restore_failed += static_cast<unsigned>(o.restore_failures.size());
  }
  char summary[160];
  std::snprintf(summary, sizeof summary, "%u passed, %u failed, %u skipped", pass, fail, skip);
  std::cout << "nodecheck: " << summary << (restore_failed ? ", " + std::to_string(restore_failed) + " NOT RESTORED" : "")
            << (check::interrupt_requested() ? " (interrupted)" : "") << " in " << std::fixed
            << std::setprecision(1) << secs << " s\n";
  if (!junit.empty()) {
    try {
      check::write_junit(junit, "nodecheck." + opt.node, outcomes, secs);
    } catch (const std::exception& e) {
      std::cerr << "nodecheck: " << e.what() << "\n";
      return kFailed;
    }
  }
  if (restore_failed) return kRestoreFailed;
  if (check::interrupt_requested()) return kInterrupted;
  return fail ? kFailed : 0;
}
