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

#include <CLI/CLI.hpp>

#include "aducsim_nodes.h"
#include "debug/gdb_server.h"
#include "host_port.h"
#include "core/machine.h"

#ifndef BUILD_VERSION
#define BUILD_VERSION "unknown"
#endif

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

const char* kVersion = "aducsim " BUILD_VERSION;

const char* kAbout = R"(Runs a node's firmware image instruction by instruction on the simulated
ADuC702x board and offers its serial line to a host program (nodectl, a
terminal program), as a real node on a real line would.

  velmora  high-voltage supply controllers on one 9600 Bd multi-drop bus
  tavlo    64-channel X/Y readout units on one 115200 Bd line

Reports name a velmora node by the address it answers at (its stored
address), a tavlo unit by its unit number.)";

const char* kFooter = R"(Bytes cross the line with their real character timing (10 bits each at the
line's rate); what the host sends faster waits in a 4 kB buffer, and a host
that sends more is held back, as by a real adapter. Reports on stderr, one
line each, when the firmware does what a chip would punish: a watchdog reset,
a bus collision, an exception other than IRQ, a flash bit programmed from 0
to 1, a stack beyond its area (whatever the chip's models report). An access
outside memory or to a register the chip does not have stops the run.

Exit status: 0 done (--for elapsed, Ctrl-C, Ctrl-], end of piped input),
1 the firmware faulted, 2 bad arguments, image or files.)";

// Units are required: a bare number could mean seconds or milliseconds.
bool parseDuration(const std::string& s, sim::Ticks& out) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || !(v >= 0) || !std::isfinite(v)) return false;
    std::string unit(end);
    double sec;
    if (unit == "s") sec = v;
    else if (unit == "ms") sec = v / 1e3;
    else if (unit == "us") sec = v / 1e6;
    else if (unit == "m" || unit == "min") sec = v * 60;
    else if (unit == "h") sec = v * 3600;
    else return false;
    out = sim::fromSeconds(sec);
    return true;
}

// A validator whose message is the whole complaint.
CLI::Validator check(std::function<bool(const std::string&)> ok, std::string message) {
    return CLI::Validator(
        [ok = std::move(ok), message = std::move(message)](std::string& v) { return ok(v) ? std::string() : message; },
        "");
}

bool serialKindOk(const std::string& v, std::string& why) {
    if (v == "pty" || v == "stdio") return true;
    if (v.rfind("tcp:", 0) == 0) {
        char* end = nullptr;
        const long port = std::strtol(v.c_str() + 4, &end, 10);
        if (v.size() > 4 && !*end && port >= 0 && port <= 65535) return true;
        why = "bad TCP port in '" + v + "' (0 to 65535; 0 picks a free one)";
        return false;
    }
    why = "unknown serial line '" + v + "' (use pty, tcp:PORT or stdio)";
    return false;
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
    std::string serial = "pty", link, speed = "realtime", tracePath, gdbArg, forArg;
    sim::Ticks runFor = 0;
    long gdbPort = 0;
    std::optional<unsigned long> gdbNode;
    bool listParams = false, quiet = false, bootCheck = false;
    std::vector<std::string> words;
    if (argc < 2) {
        std::fprintf(stderr, "usage: aducsim velmora|tavlo [options] (see --help)\n");
        return 2;
    }

    CLI::App app(kAbout, "aducsim");
    app.footer(kFooter);
    app.get_formatter()->column_width(31);
    app.set_help_flag("-h,--help", "this text");
    app.set_version_flag("--version", kVersion, "the program's version");
    app.allow_extras();  // unknown words get a message of our own below
    app.add_option("kind", words, "the node kind: velmora or tavlo")->type_name("");
    // What each option says when its value is missing.
    const std::vector<std::pair<std::string, std::string>> needs = {
        {"--image", "--image needs a path"},
        {"--nodes", "--nodes needs a list"},
        {"--flash-dir", "--flash-dir needs a folder"},
        {"--serial", "--serial needs pty, tcp:PORT or stdio"},
        {"--link", "--link needs a path"},
        {"--speed", "--speed takes realtime or max"},
        {"--for", "--for needs a duration with its unit, such as 500ms, 10s or 2m"},
        {"--gdb", "--gdb needs a TCP port from 1 to 65535, optionally @NODE"},
        {"--param", "--param needs NAME=VALUE"},
        {"--vcd", "--vcd needs a file"},
        {"--trace", "--trace needs a file"},
    };
    auto need = [&](const std::string& opt) {
        for (const auto& [o, text] : needs)
            if (o == opt) return text;
        return opt + " needs a value";
    };
    app.add_option("--image", cfg.image, "firmware ELF (default: the image built with aducsim).\n"
                                         "velmora: the image's pages are programmed into\n"
                                         "the node's flash file, its parameter store kept")
        ->option_text("PATH");
    app.add_option("--nodes", cfg.nodesArg,
                   "velmora: node addresses on the bus, e.g. 1,2,5 (default 1);\n"
                   "tavlo: number of readout units on the line (default 1).\n"
                   "The tavlo firmware fixes its address at 1; with N > 1\n"
                   "the simulator sets unit k's MyAddress to k after start-up.\n"
                   "Two velmora nodes whose flash holds the same address\n"
                   "are refused")
        ->option_text("LIST|N");
    app.add_option("--flash-dir", cfg.flashDir,
                   "velmora: where each node keeps its flash, DIR/velmora-ADDRESS.flash,\n"
                   "so parameters survive runs (default $XDG_STATE_HOME/aducsim or\n"
                   "~/.local/state/aducsim); a new node gets the firmware's defaults\n"
                   "and its address. tavlo keeps nothing in flash")
        ->option_text("DIR");
    app.add_flag("--erase-store", cfg.eraseStore,
                 "velmora: erase the nodes' parameter stores first, so they start\n"
                 "as new (first boot); with --gdb the debugged node meets the\n"
                 "erased store at its first instruction and comes up with the\n"
                 "firmware's default address 1");
    app.add_option("--serial", serial,
                   "the host's end of the line (default pty). pty: a pseudo-terminal\n"
                   "in raw mode, echo off, named by \"serial line: PATH\" as the first\n"
                   "line on stdout; tcp:PORT: listens on 127.0.0.1:PORT only (0 picks\n"
                   "a free port), one host at a time; stdio: this terminal (Enter\n"
                   "sends CR, Ctrl-\\ sends a break, Ctrl-] quits). Piped input goes\n"
                   "out a line at a time: the next once the line has been quiet for\n"
                   "300 ms (a reply has ended or none came); the run ends 1 s after\n"
                   "the last")
        ->option_text("pty|tcp:PORT|stdio")
        ->check(CLI::Validator(
            [](std::string& v) {
                std::string why;
                return serialKindOk(v, why) ? std::string() : why;
            },
            ""));
    app.add_option("--link", link,
                   "with pty: also make PATH a symlink to the pseudo-terminal,\n"
                   "removed at exit; a PATH that exists is refused, unless it is a\n"
                   "link left by an earlier run to a line that is gone")
        ->option_text("PATH");
    app.add_option("--speed", speed,
                   "realtime (default): virtual time follows the wall clock, so a\n"
                   "host's time-outs behave as with hardware; max: as fast as it goes")
        ->option_text("realtime|max")
        ->check(check([](const std::string& v) { return v == "realtime" || v == "max"; }, need("--speed")));
    app.add_option("--for", forArg,
                   "stop after this much virtual time; the unit is required:\n"
                   "us, ms, s, m (or min), h, e.g. 500ms, 10s, 2m")
        ->option_text("DURATION")
        ->check(check([](const std::string& v) { sim::Ticks t; return parseDuration(v, t) && t > 0; }, need("--for")));
    app.add_option("--gdb", gdbArg,
                   "debug one node with gdb-multiarch (NODE: a velmora node's address,\n"
                   "a tavlo unit number; default the first): it restarts, halts\n"
                   "before its first instruction and waits for `target remote :PORT`\n"
                   "on 127.0.0.1; the serial line works meanwhile. The other nodes on\n"
                   "the line stop and go with it; after `detach` all run on, and the\n"
                   "next debugger to connect finds the node halted where it is")
        ->option_text("PORT[@NODE]");
    app.add_option("--param", cfg.params, "set a board parameter (repeatable); --list-params shows them")
        ->option_text("NAME=VALUE")
        ->allow_extra_args(false)
        ->take_all();
    app.add_flag("--list-params", listParams, "list the node's board parameters with units and defaults");
    app.add_option("--vcd", cfg.vcdPath,
                   "write pin levels and DAC codes (velmora: and the supply output in\n"
                   "mV) as a value change dump from power-on; one file per node when\n"
                   "there are several: FILE-ADDRESS.vcd, FILE-UNIT.vcd")
        ->option_text("FILE");
    app.add_option("--trace", tracePath,
                   "write every byte on the line as it goes: virtual time in seconds,\n"
                   "h (host to nodes) or n (nodes to host), hex value, the character,\n"
                   "and \"collision\" (two nodes drove the line: what the host got may\n"
                   "be a mix, or one answer where two were sent) or \"framing-error\"\n"
                   "(the stop bit read as 0)")
        ->option_text("FILE");
    app.add_flag("--quiet", quiet, "no progress messages on stderr (reports still appear)");
    app.add_flag("--boot-check", bootCheck)->group("");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ValidationError& e) {
        // "NAME: message": the validators' messages name their option.
        const std::string what = e.what();
        const size_t colon = what.find(": ");
        return fail(colon == std::string::npos ? what : what.substr(colon + 2));
    } catch (const CLI::ParseError& e) {
        const std::string what = e.what();
        for (const auto& [opt, text] : needs)
            if (what.find(opt) != std::string::npos) return fail(text);
        return fail(what + " (see --help)");
    }
    for (const std::string& w : app.remaining()) return fail("unknown argument '" + w + "' (see --help)");
    for (const std::string& w : words) {
        if (w != "velmora" && w != "tavlo") return fail("unknown argument '" + w + "' (see --help)");
        if (!cfg.kind.empty()) return fail("name one node kind, not " + cfg.kind + " and " + w);
        cfg.kind = w;
    }
    if (!forArg.empty()) parseDuration(forArg, runFor);
    if (!gdbArg.empty()) {
        char* end = nullptr;
        gdbPort = std::strtol(gdbArg.c_str(), &end, 10);
        if (end == gdbArg.c_str() || (*end && *end != '@') || gdbPort < 1 || gdbPort > 65535) return fail(need("--gdb"));
        if (*end == '@') {
            const char* node = end + 1;
            gdbNode = std::strtoul(node, &end, 10);
            if (end == node || *end) return fail("--gdb PORT@NODE: NODE is a node's address or unit number");
        }
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
    } else {
        if (!cfg.flashDir.empty()) cfg.log("tavlo units keep nothing in flash: --flash-dir is not used");
        if (cfg.eraseStore) cfg.log("tavlo units keep nothing in flash: --erase-store has nothing to erase");
        cfg.eraseStore = false;
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
        *trace << "# time_s direction byte [char] [collision] [framing-error] (h: host to nodes, n: nodes to host)\n";
        trace->flush();
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
        if (cfg.eraseStore) {
            try {
                line->eraseStore(index);  // its first boot is the debugger's to see
            } catch (const std::exception& e) {
                return fail(e.what());
            }
        }
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
    // Piped input goes out a line at a time, the next once the line has
    // been quiet this long (the default quiet time of nodectl's term).
    const sim::Ticks quietTime = sim::fromMillis(300);
    // What the host sent and the line has not: a real adapter's buffer is
    // of this order (assumed); a host that sends more waits.
    const size_t hostBuffer = 4096;
    const bool paced = port->paced();
    std::string pending;
    size_t frameLeft = 0;         // paced: bytes of the frame going out
    sim::Ticks nextFrameAt = 0;   // paced: when the next frame may start
    sim::Ticks hostEnd = start;   // end of the last byte handed to the line
    auto wallStart = std::chrono::steady_clock::now();
    size_t sent = 0;
    std::deque<std::pair<uint8_t, sim::Ticks>> hostBytes;  // sent, not yet in the trace
    sim::Ticks lastBusy = start;
    int status = 0;
    bool traced = false;
    auto logByte = [&](char dir, uint8_t b, sim::Ticks t, const sim::LineByte* rx = nullptr) {
        if (!trace) return;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.7f %c %02X", sim::toSeconds(t), dir, b);
        *trace << buf;
        if (b >= 0x20 && b < 0x7F) *trace << " '" << char(b) << "'";
        if (rx && rx->collision) *trace << " collision";
        if (rx && rx->framingError) *trace << " framing-error";
        *trace << '\n';
        traced = true;
    };
    // Hands the host's bytes to the line no further ahead than the next
    // slice needs, so the line's queue stays short and the timing real.
    auto feed = [&] {
        // A host at another rate than the nodes' is heard as garbled bytes.
        if (!pending.empty())
            if (const double b = port->baud(); b > 0) line->setHostBaud(b);
        const sim::Ticks ch = line->charTime();
        const sim::Ticks horizon = line->now() + slice + ch;
        while (!pending.empty()) {
            const sim::Ticks from = std::max(hostEnd, line->now());
            if (from > horizon) break;
            size_t room = pending.size();
            if (paced) {
                if (frameLeft == 0) {
                    if (line->now() < nextFrameAt) break;
                    const size_t cr = pending.find('\r');
                    if (cr != std::string::npos) frameLeft = cr + 1;
                    else if (port->inputEnded() || pending.size() >= hostBuffer) frameLeft = pending.size();
                    else break;  // the rest of the line has not come yet
                }
                room = frameLeft;
            }
            const size_t n = std::min<size_t>(room, size_t((horizon - from) / ch) + 1);
            const std::string part = pending.substr(0, n);
            pending.erase(0, n);
            hostEnd = line->hostSend(part);
            for (size_t i = 0; i < n; ++i)
                hostBytes.push_back({uint8_t(part[i]), hostEnd - sim::Ticks(n - 1 - i) * ch});
            lastBusy = std::max(lastBusy, hostEnd);
            if (paced) {
                frameLeft -= n;
                if (frameLeft == 0) nextFrameAt = hostEnd + quietTime;
            }
        }
    };
    // How far virtual time is ahead of the wall clock; the line runs on
    // only once the wall clock has caught up (realtime).
    auto aheadBy = [&] {
        const auto due = wallStart + std::chrono::nanoseconds(int64_t(sim::toSeconds(line->now() - start) * 1e9));
        return due - std::chrono::steady_clock::now();
    };
    auto ahead = [&] { return aheadBy() > std::chrono::microseconds(200); };
    while (!gStop && !port->quitRequested()) {
        if (pending.size() < hostBuffer) {
            std::vector<uint8_t> in = port->read(hostBuffer - pending.size());
            pending.append(in.begin(), in.end());
        }
        if (port->takeBreak()) {
            // A quarter second at space, as terminal programs send it.
            hostEnd = line->hostBreak(sim::fromMillis(250));
            lastBusy = std::max(lastBusy, hostEnd);
            cfg.log("break sent on the line");
        }
        feed();
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
        } else if (gdb && gdb->poll(0)) {
            // Another debugger after a detach: it finds the core halted
            // where it is, and the line waits with it.
            debugging = true;
            cfg.log("gdb attached to node " + std::to_string(line->nodeName(gdbIndex)) +
                    "; the line waits while it holds the core");
        } else if (!realtime || !ahead()) {
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
            logByte('n', rx[sent].value, rx[sent].end, &rx[sent]);
            lastBusy = std::max(lastBusy, rx[sent].end);
            if (paced) nextFrameAt = std::max(nextFrameAt, rx[sent].end + quietTime);
        }
        while (!hostBytes.empty() && hostBytes.front().second <= line->now()) {
            logByte('h', hostBytes.front().first, hostBytes.front().second);
            hostBytes.pop_front();
        }
        if (traced) {
            trace->flush();  // as it goes, for a `tail -f`
            traced = false;
        }
        if (runFor && line->now() >= start + runFor) break;
        if (!runFor && port->inputEnded() && pending.empty() && line->now() >= lastBusy + linger) break;
        if (realtime && !debugging) {
            // Behind the wall clock (a busy host): slip, never race to catch
            // up. A race runs the nodes' time many times faster than a host
            // can answer, so a host that answers a reply at once would reach
            // a velmora node after its 125 ms watchdog, which no real line does.
            const auto maxLag = std::chrono::milliseconds(5);
            if (const auto a = aheadBy(); a < -maxLag) wallStart += -a - maxLag;
        }
        if (realtime && !debugging && ahead()) {
            const auto left = aheadBy();
            const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
            // Input cuts the wait short, unless the buffer is full anyway.
            if (pending.size() < hostBuffer) port->wait(std::max(ms, 1));
            else std::this_thread::sleep_for(left);
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
