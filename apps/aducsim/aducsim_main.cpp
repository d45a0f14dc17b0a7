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
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "aducsim_nodes.h"
#include "debug/gdb_server.h"
#include "host_port.h"
#include "core/machine.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

const char* kUsage = R"(usage: aducsim velmora|tavlo [options]

Runs a node's firmware image instruction by instruction on the simulated
ADuC702x board and offers its serial line to a host program (nodectl, a
terminal program), as a real node on a real line would.

  velmora  high-voltage supply controllers on one 9600 Bd multi-drop bus
  tavlo    64-channel X/Y readout units on one 115200 Bd line

Options:
  --image PATH         firmware ELF (default: the image built with aducsim)
  --nodes LIST|N       velmora: node addresses on the bus, e.g. 1,2,5 (default 1);
                       tavlo: number of readout units on the line (default 1).
                       The tavlo firmware fixes its address at 1; with N > 1
                       the simulator sets unit k's MyAddress to k after start-up
  --flash-dir DIR      velmora: where each node keeps its flash, DIR/velmora-ADDRESS.flash,
                       so parameters survive runs (default $XDG_STATE_HOME/aducsim or
                       ~/.local/state/aducsim); a new node gets the firmware's defaults
                       and its address. tavlo keeps nothing in flash
  --serial pty|tcp:PORT|stdio
                       the host's end of the line (default pty). pty: a pseudo-terminal
                       in raw mode, echo off, named by "serial line: PATH" as the first
                       line on stdout; tcp: listens on 127.0.0.1:PORT only (0 picks a
                       free port), one host at a time; stdio: this terminal (Enter sends
                       CR, Ctrl-] quits; piped input ends the run 1 s after the line
                       falls quiet)
  --link PATH          with pty: also make PATH a symlink to the pseudo-terminal
  --speed realtime|max realtime (default): virtual time follows the wall clock, so a
                       host's time-outs behave as with hardware; max: as fast as it goes
  --for DURATION       stop after this much virtual time (e.g. 500ms, 10s, 2m)
  --gdb PORT[@NODE]    debug one node with gdb-multiarch (NODE: a velmora address
                       from --nodes, a tavlo unit number; default the first): it
                       restarts, halts before its first instruction and waits for
                       `target remote :PORT` on 127.0.0.1; the serial line works
                       meanwhile. The other nodes on the line stop and go with
                       it; after `detach` all run on
  --param NAME=VALUE   set a board parameter (repeatable); --list-params shows them
  --list-params        list the node's board parameters with units and defaults
  --vcd FILE           write pin levels and DAC codes (velmora: and the supply output in
                       mV) as a value change dump; one file per node when there are
                       several: FILE-ADDRESS.vcd, FILE-UNIT.vcd
  --trace FILE         write every byte on the line: virtual time in seconds, h (host to
                       nodes) or n (nodes to host), hex value, and the character
  --quiet              no progress messages on stderr (reports still appear)
  -h, --help           this text

Bytes cross the line with their real character timing (10 bits each at the
line's rate). Reports on stderr, one line each, when the firmware does what a
chip would punish: a watchdog reset, a bus collision, an exception other than
IRQ, a flash bit programmed from 0 to 1, a stack beyond its area (whatever the
chip's models report). An access outside memory or to a register the chip
does not have stops the run.

Exit status: 0 done (--for elapsed, Ctrl-C, Ctrl-], end of piped input),
1 the firmware faulted, 2 bad arguments, image or files.
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
    long gdbPort = 0;
    std::optional<unsigned long> gdbNode;
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
        else if (a == "velmora" || a == "tavlo") {
            if (!cfg.kind.empty()) return fail("name one node kind, not " + cfg.kind + " and " + a);
            cfg.kind = a;
        } else if (a == "--image") { if (!value(cfg.image)) return fail("--image needs a path"); }
        else if (a == "--nodes") {
            if (!value(v)) return fail("--nodes needs a list");
            cfg.nodesArg = v;
        } else if (a == "--flash-dir") { if (!value(cfg.flashDir)) return fail("--flash-dir needs a folder"); }
        else if (a == "--serial") { if (!value(serial)) return fail("--serial needs pty, tcp:PORT or stdio"); }
        else if (a == "--link") { if (!value(link)) return fail("--link needs a path"); }
        else if (a == "--speed") {
            if (!value(speed) || (speed != "realtime" && speed != "max")) return fail("--speed takes realtime or max");
        } else if (a == "--gdb") {
            char* end = nullptr;
            if (!value(v) || (gdbPort = std::strtol(v.c_str(), &end, 10), *end && *end != '@') || gdbPort < 1 ||
                gdbPort > 65535)
                return fail("--gdb needs a TCP port from 1 to 65535, optionally @NODE");
            if (*end == '@') {
                const char* node = end + 1;
                gdbNode = std::strtoul(node, &end, 10);
                if (end == node || *end) return fail("--gdb PORT@NODE: NODE is a node's address or unit number");
            }
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
    if (!link.empty() && serial != "pty") return fail("--link goes with --serial pty");
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
    cfg.log = [quiet](const std::string& s) {
        if (!quiet) std::fprintf(stderr, "aducsim: %s\n", s.c_str());
    };
    cfg.report = [](const std::string& s) { std::fprintf(stderr, "aducsim: %s\n", s.c_str()); };
    std::string err;
    if (cfg.kind == "velmora") {
        if (cfg.flashDir.empty()) cfg.flashDir = defaultFlashDir();
        if (!makeDirs(cfg.flashDir, err)) return fail(err);
    } else if (!cfg.flashDir.empty()) {
        cfg.log("tavlo units keep nothing in flash: --flash-dir is not used");
    }

    // From here a signal ends the run cleanly, also one that comes while the
    // nodes boot or as soon as the line is announced.
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGHUP, onSignal);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<std::ofstream> trace;
    if (!tracePath.empty()) {
        trace = std::make_unique<std::ofstream>(tracePath);
        if (!*trace) return fail("cannot write " + tracePath);
        *trace << "# time_s direction byte (h: host to nodes, n: nodes to host)\n";
    }

    std::unique_ptr<aducsim::Line> line;
    try {
        line = aducsim::makeLine(cfg);
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    // The debugged node starts again from its reset vector and waits there.
    std::unique_ptr<sim::GdbServer> gdb;
    bool debugging = false;
    size_t gdbIndex = 0;
    if (gdbPort) {
        size_t& index = gdbIndex;
        if (gdbNode) {
            auto found = gdbNode <= 0xFFFFFFFFul ? line->findNode(unsigned(*gdbNode)) : std::nullopt;
            if (!found) {
                std::string names;
                for (size_t i = 0; i < line->nodeCount(); ++i)
                    names += (i ? "," : "") + std::to_string(line->nodeName(i));
                return fail("--gdb: there is no node " + std::to_string(*gdbNode) + " on the line (nodes " + names +
                            ")");
            }
            index = *found;
        }
        line->setLead(index);
        sim::Machine& m = line->machine(index);
        m.powerOn();
        try {
            gdb = std::make_unique<sim::GdbServer>(m, uint16_t(gdbPort));
        } catch (const std::exception& e) {
            return fail(e.what());
        }
        // While the debugger lets the core run, the whole line runs with it.
        gdb->run = [&line, &m](sim::Ticks d) -> sim::RunResult {
            if (!line->runTo(line->now() + d)) return {sim::StopReason::Fault, line->fault()};
            return m.lastRun();
        };
        debugging = true;
    }

    auto port = sim::HostPort::open(serial, link, err);
    if (!port) return fail(err);
    if (serial == "pty") std::printf("serial line: %s\n", port->address().c_str());
    else if (serial.rfind("tcp:", 0) == 0) std::printf("serial line: tcp:%s\n", port->address().c_str());
    std::fflush(stdout);
    port->offerBaud(10.0 * double(sim::kTicksPerSecond) / double(line->charTime()));
    cfg.log(line->describe() + " on " + port->address() + (speed == "max" ? ", full speed" : ", real time"));
    if (gdb)
        cfg.report("waiting for gdb on 127.0.0.1:" + std::to_string(gdb->port()) + " (target remote :" +
                   std::to_string(gdb->port()) + ")" +
                   (line->nodeCount() > 1 ? " for node " + std::to_string(line->nodeName(gdbIndex)) +
                                                "; the line stops and goes with it"
                                          : std::string()));

    const bool realtime = speed == "realtime";
    const sim::Ticks slice = sim::fromMillis(1);
    sim::Ticks start = line->now();
    // Piped input: the run ends once the line has been quiet this long after it.
    const sim::Ticks linger = sim::fromSeconds(1);
    auto wallStart = std::chrono::steady_clock::now();
    size_t sent = 0;
    std::deque<std::pair<uint8_t, sim::Ticks>> hostBytes;  // sent, not yet in the trace
    sim::Ticks lastBusy = start;
    int status = 0;
    auto logByte = [&](char dir, uint8_t b, sim::Ticks t) {
        if (!trace) return;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.7f %c %02X", sim::toSeconds(t), dir, b);
        *trace << buf;
        if (b >= 0x20 && b < 0x7F) *trace << " '" << char(b) << "'";
        *trace << '\n';
    };
    while (!gStop && !port->quitRequested()) {
        std::vector<uint8_t> in = port->read();
        if (!in.empty()) {
            // A host at another rate than the nodes' is heard as garbled bytes.
            if (const double b = port->baud(); b > 0) line->setHostBaud(b);
            // Back to back at the line's rate, as a UART sends them; the
            // trace gives each byte's end, when the nodes have it.
            const sim::Ticks end = line->hostSend(std::string(in.begin(), in.end()));
            const sim::Ticks ch = line->charTime();
            for (size_t i = 0; i < in.size(); ++i)
                hostBytes.push_back({in[i], end - sim::Ticks(in.size() - 1 - i) * ch});
            lastBusy = end;
        }
        if (debugging) {
            // The debugger runs the line while it lets the core go; until it
            // has attached, and while it holds the core, time stands still.
            gdb->poll(5);
            if (auto how = gdb->lastEnd(); how && !gdb->attached()) {
                if (*how == sim::GdbServer::End::Killed) break;
                debugging = false;  // detached: run on as usual
                wallStart = std::chrono::steady_clock::now();
                start = line->now();
            }
        } else {
            sim::Ticks target = line->now() + slice;
            if (runFor && target > start + runFor) target = start + runFor;
            if (!line->runTo(target)) {
                cfg.report("stopped: " + line->fault());
                status = 1;
                break;
            }
        }
        // Both directions into the trace in time order, up to now.
        const auto& rx = line->hostReceived();
        for (; sent < rx.size(); ++sent) {
            while (!hostBytes.empty() && hostBytes.front().second <= rx[sent].end) {
                logByte('h', hostBytes.front().first, hostBytes.front().second);
                hostBytes.pop_front();
            }
            port->write(&rx[sent].value, 1);
            logByte('n', rx[sent].value, rx[sent].end);
            lastBusy = std::max(lastBusy, rx[sent].end);
        }
        while (!hostBytes.empty() && hostBytes.front().second <= line->now()) {
            logByte('h', hostBytes.front().first, hostBytes.front().second);
            hostBytes.pop_front();
        }
        if (runFor && line->now() >= start + runFor) break;
        if (!runFor && port->inputEnded() && line->now() >= lastBusy + linger) break;
        if (realtime && !debugging) {
            auto due = wallStart + std::chrono::nanoseconds(int64_t(sim::toSeconds(line->now() - start) * 1e9));
            auto ahead = due - std::chrono::steady_clock::now();
            // Behind the wall clock (a busy host): slip, never race to catch
            // up. A race runs the nodes' time many times faster than a host
            // can answer, so a host that answers a reply at once would reach
            // a velmora node after its 125 ms watchdog, which no real line does.
            const auto maxLag = std::chrono::milliseconds(5);
            if (ahead < -maxLag) wallStart += -ahead - maxLag;
            if (ahead > std::chrono::microseconds(200)) {
                int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(ahead).count());
                port->wait(std::max(ms, 1));  // input cuts the wait short
            }
        }
    }
    for (const auto& [b, t] : hostBytes) logByte('h', b, t);
    line->finish();
    if (trace) trace->flush();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    char done[128];
    std::snprintf(done, sizeof done, "ran %.3f s of virtual time in %.3f s", sim::toSeconds(line->now() - start), wall);
    cfg.log(done);
    return status;
}
