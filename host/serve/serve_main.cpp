// nodectl serve: options, the lines' threads and the HTTP server.
#include <CLI/CLI.hpp>
#include <httplib.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <thread>

#include "bytes.hpp"
#include "errors.hpp"
#include "http_api.hpp"
#include "serial_port.hpp"
#include "serve.hpp"
#include "tavlo.hpp"
#include "velmora.hpp"

namespace host {
namespace {

std::vector<unsigned> parse_node_list(const std::string& text) {
  std::vector<unsigned> out;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, ',')) {
    auto v = parse_decimal(item, 252);
    if (!v || *v == 0) throw usage_error("--nodes takes addresses 1..252 separated by commas, got '" + text + "'");
    out.push_back(static_cast<unsigned>(*v));
  }
  if (out.empty()) throw usage_error("--nodes needs at least one address");
  return out;
}

std::pair<unsigned, unsigned> parse_range(const std::string& text) {
  auto dash = text.find('-');
  auto a = parse_decimal(text.substr(0, dash), 252);
  auto b = dash == std::string::npos ? a : parse_decimal(text.substr(dash + 1), 252);
  if (!a || !b || *a == 0 || *a > *b) throw usage_error("--scan takes FROM-TO within 1..252, got '" + text + "'");
  return {static_cast<unsigned>(*a), static_cast<unsigned>(*b)};
}

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:80", ":8080" (loopback)
std::pair<std::string, int> parse_listen(const std::string& text) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) throw usage_error("--listen takes ADDRESS:PORT, got '" + text + "'");
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) host = "127.0.0.1";
  auto port = parse_decimal(text.substr(colon + 1), 65535);
  if (!port) throw usage_error("--listen: bad port in '" + text + "'");
  return {host, static_cast<int>(*port)};
}

bool is_loopback(const std::string& host) { return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0; }

int run(int argc, char** argv) {
  CLI::App app{"Operator console in the browser: the velmora supplies and the tavlo readout, live.\n"
               "Owns its lines (locked like every nodectl command) and serves a page and a JSON API.",
               "nodectl serve"};
  std::string velmora, tavlo, nodes, scan = "1-252", listen = "127.0.0.1:8080", token, limits;
  std::string audit = "nodectl-audit.jsonl", dygraphs = "/usr/share/javascript/dygraphs";
  unsigned velmora_baud = kVelmoraBaud, tavlo_baud = kTavloBaud, timeout_ms = 200, band = 5, ramp_ms = 250,
           history = 6000, settle_ms = 3000, scan_ms = 50;
  std::optional<unsigned> tavlo_address;
  app.add_option("--velmora", velmora, "velmora bus: serial device, simulator pty or tcp:HOST:PORT");
  app.add_option("--tavlo", tavlo, "tavlo line: serial device, simulator pty or tcp:HOST:PORT");
  app.add_option("--nodes", nodes, "velmora addresses, e.g. 1,2 (default: scan the bus at start)");
  app.add_option("--scan", scan, "address range of the start-up scan")->capture_default_str();
  app.add_option("--scan-timeout-ms", scan_ms, "how long the scan waits at each address")->capture_default_str()
      ->check(CLI::Range(10u, 2000u));
  app.add_option("--tavlo-address", tavlo_address, "the readout unit's address (default: ask with IDN)")
      ->check(CLI::Range(0u, 65535u));
  app.add_option("--listen", listen, "ADDRESS:PORT to serve on; other than loopback needs --token")->capture_default_str();
  app.add_option("--token", token, "secret every request must carry (Authorization: Bearer, or ?token= once)")
      ->envname("NODECTL_TOKEN");
  app.add_option("--limits", limits, "nodectl limit file, enforced for every request");
  app.add_option("--audit", audit, "audit log (JSON lines) of every state change")->capture_default_str();
  app.add_option("--velmora-baud", velmora_baud, "velmora line rate")->capture_default_str();
  app.add_option("--tavlo-baud", tavlo_baud, "tavlo line rate")->capture_default_str();
  app.add_option("--timeout-ms", timeout_ms, "reply time-out of one poll")->capture_default_str()->check(CLI::Range(20u, 5000u));
  app.add_option("--settle-ms", settle_ms, "how long a set may take to show in the readback")->capture_default_str()
      ->check(CLI::Range(100u, 60000u));
  app.add_option("--band", band, "volts around the set-point that count as within band")->capture_default_str()
      ->check(CLI::Range(1u, 500u));
  app.add_option("--ramp-interval-ms", ramp_ms, "time between ramp steps")->capture_default_str()->check(CLI::Range(50u, 10000u));
  app.add_option("--history", history, "samples kept per node for the trend")->capture_default_str()->check(CLI::Range(10u, 1000000u));
  app.add_option("--dygraphs-dir", dygraphs, "where Debian's libjs-dygraphs is installed")->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int r = app.exit(e);
    return r == 0 ? 0 : static_cast<int>(Exit::usage);
  }
  if (velmora.empty() && tavlo.empty()) throw usage_error("give --velmora PORT and/or --tavlo PORT");
  if (!valid_baud(velmora_baud) || !valid_baud(tavlo_baud)) throw usage_error("unsupported line rate");
  auto [host, port] = parse_listen(listen);
  const bool loopback = is_loopback(host);
  if (!loopback && token.empty())
    throw usage_error("--listen on " + host + " (not loopback) needs --token (or $NODECTL_TOKEN)");

  serve::VelmoraOptions vo;
  if (!nodes.empty()) vo.nodes = parse_node_list(nodes);
  std::tie(vo.scan_from, vo.scan_to) = parse_range(scan);
  vo.reply_timeout = millis(timeout_ms);
  vo.scan_per_address = millis(scan_ms);
  vo.settle = millis(settle_ms);
  vo.ramp_interval = millis(ramp_ms);
  vo.band = band;
  vo.history = history;
  if (!limits.empty()) vo.limits = LimitTable::load(limits);
  serve::ReadoutOptions ro;
  ro.address = tavlo_address;

  // Signals go to one thread that stops the server; every other thread keeps them blocked.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Try both lines before serving, so that a missing or held port fails the
  // start (each is closed again at once; its thread opens it for good).
  if (!velmora.empty()) open_line(velmora, velmora_baud, std::chrono::seconds(2));
  if (!tavlo.empty()) open_line(tavlo, tavlo_baud, std::chrono::seconds(2));
  // One malloc arena per HTTP thread would cost megabytes each for nothing.
  mallopt(M_ARENA_MAX, 2);
  serve::EventHub hub;
  serve::Failures failures;
  serve::AuditLog audit_log(audit);
  std::unique_ptr<serve::VelmoraBus> bus;
  std::unique_ptr<serve::Readout> readout;
  if (!velmora.empty()) bus = std::make_unique<serve::VelmoraBus>(velmora, velmora_baud, vo, hub, failures);
  if (!tavlo.empty()) readout = std::make_unique<serve::Readout>(tavlo, tavlo_baud, ro, hub, failures);

  httplib::Server svr;
  svr.new_task_queue = [] { return new httplib::ThreadPool(48); };
  serve::Parts parts{bus.get(), readout.get(), &hub, &failures, &audit_log};
  serve::install_routes(svr, parts, {token, loopback, dygraphs});
  int bound = port;
  if (port == 0) bound = svr.bind_to_any_port(host);
  else if (!svr.bind_to_port(host, port)) bound = -1;
  if (bound <= 0) throw port_error("cannot listen on " + host + ":" + std::to_string(port));

  if (bus) bus->start();
  if (readout) readout->start();
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::cout << "console: http://" << shown << ":" << bound << "/" << (token.empty() ? "" : "?token=TOKEN") << std::endl;

  std::atomic<bool> signalled{false};
  std::thread stopper([&] {
    int sig = 0;
    sigwait(&sigs, &sig);
    signalled = true;
    hub.close();
    svr.stop();
  });
  svr.listen_after_bind();
  if (!signalled) kill(getpid(), SIGTERM);  // releases the signal thread
  stopper.join();
  hub.close();
  if (bus) bus->stop();
  if (readout) readout->stop();
  std::cout << "console: stopped" << std::endl;
  return 0;
}

}  // namespace

int serveMain(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const Error& e) {
    std::cerr << "nodectl serve: " << e.what() << '\n';
    return static_cast<int>(e.code());
  } catch (const std::exception& e) {
    std::cerr << "nodectl serve: " << e.what() << '\n';
    return static_cast<int>(Exit::failure);
  }
}

}  // namespace host
