// aducsim: runs the nodes' firmware images on the simulated board and
// offers their serial line to a host, as a real node would.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aducsim_nodes.h"
#include "host_port.h"
#include "machine.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

const char* kUsage = R"(usage: aducsim velmora|tavlo [options]

Runs a node's firmware image instruction by instruction on the simulated
ADuC702x board and offers its serial line to a host program.

Options:
  --image PATH         firmware ELF (default: the image built with aducsim)
  --nodes LIST         velmora: node addresses on one bus, e.g. 1,2,5 (default 1);
                       tavlo: number of readout units on one line (default 1)
  --flash-dir DIR      where each node keeps its flash (parameters survive runs);
                       default $XDG_STATE_HOME/aducsim or ~/.local/state/aducsim
  --serial pty|tcp:PORT|stdio
                       the host's end of the line (default pty). pty prints
                       "serial line: PATH" as the first line on stdout; tcp
                       listens on 127.0.0.1 only; stdio attaches this terminal
                       (Enter sends CR, Ctrl-] quits)
  --link PATH          also make PATH a symlink to the pseudo-terminal
  --speed realtime|max pace virtual time to the wall clock (default) or run flat out
  --for DURATION       stop after this much virtual time (e.g. 500ms, 10s, 2m)
  --param NAME=VALUE   set a board parameter (repeatable); --list-params shows them
  --list-params        list the board parameters with units and defaults
  --vcd FILE           write pin levels, DAC codes and the supply output (one file
                       per node when there are several: FILE-ADDRESS.vcd)
  --trace FILE         write every byte on the line with its time and direction
  --quiet              no start-up messages on stderr
  -h, --help           this text

Reports on stderr, one line each, when the firmware does something a chip
would punish: a watchdog reset, a bus collision, an access outside memory, an
exception other than IRQ. Exit status: 0 done, 1 the firmware faulted,
2 bad arguments or files.
)";

bool parseDuration(const std::string& s, sim::Ticks& out) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || !(v >= 0)) return false;
    std::string unit(end);
    double sec;
    if (unit == "s" || unit.empty()) sec = v;
    else if (unit == "ms") sec = v / 1e3;
    else if (unit == "us") sec = v / 1e6;
    else if (unit == "m" || unit == "min") sec = v * 60;
    else if (unit == "h") sec = v * 3600;
    else return false;
    out = sim::fromSeconds(sec);
    return true;
}

std::string defaultFlashDir() {
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/aducsim";
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/state/aducsim";
    return ".aducsim";
}

bool makeDirs(const std::string& dir, std::string& err) {
    std::string cur;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
                err = "cannot create " + cur + ": " + std::strerror(errno);
                return false;
            }
        }
        if (i < dir.size()) cur += dir[i];
    }
    return true;
}

int fail(const std::string& msg) {
    std::fprintf(stderr, "aducsim: %s\n", msg.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    aducsim::Config cfg;
    std::string serial = "pty", link, speed = "realtime", tracePath;
    sim::Ticks runFor = 0;
    bool listParams = false, quiet = false, bootCheck = false;
    if (argc < 2) return std::fputs(kUsage, stderr), 2;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") { std::fputs(kUsage, stdout); return 0; }
        else if (a == "velmora" || a == "tavlo") cfg.kind = a;
        else if (a == "--image") { if (!value(cfg.image)) return fail("--image needs a path"); }
        else if (a == "--nodes") {
            if (!value(v)) return fail("--nodes needs a list");
            cfg.nodesArg = v;
        } else if (a == "--flash-dir") { if (!value(cfg.flashDir)) return fail("--flash-dir needs a folder"); }
        else if (a == "--serial") { if (!value(serial)) return fail("--serial needs pty, tcp:PORT or stdio"); }
        else if (a == "--link") { if (!value(link)) return fail("--link needs a path"); }
        else if (a == "--speed") {
            if (!value(speed) || (speed != "realtime" && speed != "max")) return fail("--speed takes realtime or max");
        } else if (a == "--for") {
            if (!value(v) || !parseDuration(v, runFor) || runFor == 0)
                return fail("--for needs a duration such as 500ms, 10s or 2m");
        } else if (a == "--param") {
            if (!value(v)) return fail("--param needs NAME=VALUE");
            cfg.params.push_back(v);
        } else if (a == "--list-params") listParams = true;
        else if (a == "--vcd") { if (!value(cfg.vcdPath)) return fail("--vcd needs a file"); }
        else if (a == "--trace") { if (!value(tracePath)) return fail("--trace needs a file"); }
        else if (a == "--quiet") quiet = true;
        else if (a == "--boot-check") bootCheck = true;
        else return fail("unknown argument '" + a + "' (see --help)");
    }
    if (cfg.kind.empty()) return fail("name the node: aducsim velmora or aducsim tavlo (see --help)");
    if (listParams) {
        std::fputs(aducsim::describeParams(cfg.kind).c_str(), stdout);
        return 0;
    }
    if (bootCheck) {
        // Boots the image alone and reports how far start-up got.
        try {
            sim::Machine m;
            m.loadElf(cfg.image.empty() ? (cfg.kind == "velmora" ? VELMORA_ELF : TAVLO_ELF) : cfg.image);
            auto r = m.runToSymbol("main", sim::fromMillis(100));
            if (r.reason != sim::StopReason::Condition) return fail("did not reach main: " + r.report);
            std::printf("%s: reached main after %.1f us (%llu instructions, core clock divider %u)\n",
                        cfg.kind.c_str(), sim::toMicros(m.now()), (unsigned long long)m.instructions(),
                        m.chip().coreDivider());
            return 0;
        } catch (const std::exception& e) {
            return fail(e.what());
        }
    }
    if (cfg.flashDir.empty()) cfg.flashDir = defaultFlashDir();
    std::string err;
    if (!makeDirs(cfg.flashDir, err)) return fail(err);

    cfg.log = [quiet](const std::string& s) {
        if (!quiet) std::fprintf(stderr, "aducsim: %s\n", s.c_str());
    };
    cfg.report = [](const std::string& s) { std::fprintf(stderr, "aducsim: %s\n", s.c_str()); };

    std::unique_ptr<aducsim::Line> line;
    try {
        line = aducsim::makeLine(cfg);
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    std::unique_ptr<std::ofstream> trace;
    if (!tracePath.empty()) {
        trace = std::make_unique<std::ofstream>(tracePath);
        if (!*trace) return fail("cannot write " + tracePath);
        *trace << "# time_s direction byte (h: host to nodes, n: nodes to host)\n";
    }

    auto port = sim::HostPort::open(serial, link, err);
    if (!port) return fail(err);
    if (serial == "pty") std::printf("serial line: %s\n", port->address().c_str());
    else if (serial.rfind("tcp:", 0) == 0) std::printf("serial line: tcp %s\n", port->address().c_str());
    std::fflush(stdout);
    cfg.log(line->describe() + " on " + port->address() + (speed == "max" ? ", full speed" : ", real time"));

    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGHUP, onSignal);
    signal(SIGPIPE, SIG_IGN);

    const bool realtime = speed == "realtime";
    const sim::Ticks slice = sim::fromMillis(1);
    const sim::Ticks start = line->now();
    auto wallStart = std::chrono::steady_clock::now();
    size_t sent = 0;
    int status = 0;
    auto logByte = [&](char dir, uint8_t b, sim::Ticks t) {
        if (trace) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.7f %c %02X", sim::toSeconds(t), dir, b);
            *trace << buf;
            if (b >= 0x20 && b < 0x7F) *trace << " '" << char(b) << "'";
            *trace << '\n';
        }
    };
    while (!gStop && !port->quitRequested()) {
        std::vector<uint8_t> in = port->read();
        if (!in.empty()) {
            std::string bytes(in.begin(), in.end());
            sim::Ticks at = line->now();
            line->hostSend(bytes);
            for (uint8_t b : in) logByte('h', b, at);
        }
        sim::Ticks target = line->now() + slice;
        if (runFor && target > start + runFor) target = start + runFor;
        if (!line->runTo(target)) {
            cfg.report("stopped: " + line->fault());
            status = 1;
            break;
        }
        const auto& rx = line->hostReceived();
        for (; sent < rx.size(); ++sent) {
            port->write(&rx[sent].value, 1);
            logByte('n', rx[sent].value, rx[sent].end);
        }
        if (runFor && line->now() >= start + runFor) break;
        if (realtime) {
            auto due = wallStart + std::chrono::nanoseconds(int64_t(sim::toSeconds(line->now() - start) * 1e9));
            auto ahead = due - std::chrono::steady_clock::now();
            if (ahead > std::chrono::microseconds(200)) {
                int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(ahead).count());
                port->wait(std::max(ms, 1));  // input cuts the wait short
            }
        }
    }
    line->finish();
    if (trace) trace->flush();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    cfg.log("ran " + std::to_string(sim::toSeconds(line->now() - start)) + " s of virtual time in " +
            std::to_string(wall) + " s");
    return status;
}
