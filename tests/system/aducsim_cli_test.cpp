// The aducsim program as an operator meets it: its arguments, what it says
// about bad images and flash files, the host's end of the line (pty, TCP,
// stdio), pacing, traces and the reports of what the firmware got wrong.
#include <arpa/inet.h>
#include <elf.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <set>
#include <thread>
#include <sstream>

#include "support/process.h"

#ifndef ADUCSIM_PATH
#error "ADUCSIM_PATH must name the aducsim binary"
#endif

namespace {

namespace fs = std::filesystem;
using proc::Result;

Result aducsim(const std::vector<std::string>& args, const std::string& input = "", int timeoutMs = 20000) {
    return proc::run(ADUCSIM_PATH, args, timeoutMs, input);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Refused before anything runs: status 2, one clear line naming `what`,
// never a hang.
void expectRefused(const std::vector<std::string>& args, const std::string& what) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    const Result r = aducsim(args, "", 10000);
    EXPECT_FALSE(r.timedOut) << line;
    EXPECT_EQ(r.code, 2) << line << "\n" << r.err;
    EXPECT_NE(r.err.find(what), std::string::npos) << line << "\nstderr: " << r.err;
    EXPECT_EQ(r.out.find("serial line"), std::string::npos) << line;
}

TEST(AducsimCli, HelpAndArgumentErrors) {
    const Result help = aducsim({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* opt : {"velmora", "tavlo", "--image", "--nodes", "--flash-dir", "--serial", "pty", "tcp:PORT",
                            "stdio", "Ctrl-]", "--link", "--speed", "realtime", "max", "--for", "--param",
                            "--list-params", "--vcd", "--trace", "watchdog", "collision", "Exit status"})
        EXPECT_NE(help.out.find(opt), std::string::npos) << opt;

    const Result none = aducsim({});
    EXPECT_EQ(none.code, 2);
    EXPECT_NE(none.err.find("usage"), std::string::npos);

    expectRefused({"--speed", "max"}, "name the node");
    expectRefused({"velmora", "tavlo"}, "name one node kind");
    expectRefused({"velmora", "--frobnicate"}, "unknown argument '--frobnicate'");
    expectRefused({"velmora", "--speed", "warp"}, "--speed takes realtime or max");
    expectRefused({"velmora", "--for", "10parsecs"}, "--for needs a duration");
    expectRefused({"velmora", "--for"}, "--for needs a duration");
    expectRefused({"velmora", "--nodes", "0"}, "--nodes takes node addresses from 1 to 252");
    expectRefused({"velmora", "--nodes", "1,1"}, "twice");
    expectRefused({"velmora", "--nodes", "1,x"}, "--nodes");
    expectRefused({"tavlo", "--nodes", "40"}, "--nodes takes the number of readout units, 1 to 31");
    expectRefused({"velmora", "--param", "hv.nonsense=1"}, "unknown parameter: hv.nonsense");
    expectRefused({"velmora", "--param", "hv.tau_ms=fast"}, "not a number: fast");
    expectRefused({"tavlo", "--param", "x.width=0"}, "a width must be above 0");
    expectRefused({"tavlo", "--param", "x.centre"}, "expected NAME=VALUE");
    expectRefused({"tavlo", "--serial", "tcp:99999"}, "bad TCP port");
    expectRefused({"tavlo", "--serial", "com1"}, "unknown serial line 'com1'");
    expectRefused({"tavlo", "--serial", "stdio", "--link", "/tmp/x"}, "--link goes with --serial pty");
    expectRefused({"tavlo", "--trace", "/nonexistent/dir/trace.txt"}, "cannot write /nonexistent/dir/trace.txt");
    expectRefused({"tavlo", "--vcd", "/nonexistent/dir/pins.vcd"}, "cannot write /nonexistent/dir/pins.vcd");
    // Values a board model cannot stand for, and a duration without its unit.
    expectRefused({"velmora", "--param", "hv.tau_ms=-5"}, "a time constant cannot be negative");
    expectRefused({"velmora", "--param", "hv.off_tau_ms=-0.1"}, "a time constant cannot be negative");
    expectRefused({"velmora", "--param", "hv.volts_per_code=0"}, "volts per code must be above 0");
    expectRefused({"velmora", "--param", "hv.noise_v=nan"}, "not a number: nan");
    expectRefused({"velmora", "--param", "adc1_v=inf"}, "not a number: inf");
    expectRefused({"tavlo", "--param", "mux.settle_us=nan"}, "not a number: nan");
    expectRefused({"tavlo", "--for", "10"}, "--for needs a duration with its unit");
    expectRefused({"velmora", "--gdb", "70000"}, "--gdb needs a TCP port");
    expectRefused({"velmora", "--param"}, "--param needs NAME=VALUE");
    expectRefused({"velmora", "--image"}, "--image needs a path");
    EXPECT_NE(help.out.find("unit is required"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--erase-store"), std::string::npos);
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    const Result version = aducsim({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("aducsim ", 0), 0u) << version.out;
    // Several --param options, each with its one value.
    const Result params = aducsim({"tavlo", "--param", "x.centre=10", "--param", "y.centre=20", "--serial", "stdio",
                                   "--speed", "max", "--for", "10ms", "--quiet"});
    EXPECT_EQ(params.code, 0) << params.err;

    // The parameter lists: names, units, defaults.
    const Result vp = aducsim({"velmora", "--list-params"});
    EXPECT_EQ(vp.code, 0);
    for (const char* p : {"hv.volts_per_code", "hv.tau_ms", "adc1_v", "chip.temp_c", "bus.rx_always_on"})
        EXPECT_NE(vp.out.find(p), std::string::npos) << p;
    const Result tp = aducsim({"tavlo", "--list-params"});
    EXPECT_EQ(tp.code, 0);
    for (const char* p : {"x.centre", "x.width", "x.amplitude_v", "y.noise_v", "noise.seed", "mux.settle_us"})
        EXPECT_NE(tp.out.find(p), std::string::npos) << p;
}

TEST(AducsimCli, BadImagesAndFlashFiles) {
    proc::TempDir t;
    const std::string flash = t / "flash";
    auto velmora = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = {"velmora", "--serial", "stdio", "--speed", "max", "--flash-dir", flash};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    expectRefused(velmora({"--image", t / "missing.elf"}), "missing.elf");
    writeFile(t / "text.elf", "not a program\n");
    expectRefused(velmora({"--image", t / "text.elf"}), "not an ELF file");
    const std::string elf = readFile(VELMORA_ELF);
    ASSERT_GT(elf.size(), 0x5000u);
    writeFile(t / "short.elf", elf.substr(0, 0x2000));
    expectRefused(velmora({"--image", t / "short.elf"}), "truncated");
    // The other node's image.
    expectRefused(velmora({"--image", TAVLO_ELF}), "not a velmora image");
    expectRefused({"tavlo", "--serial", "stdio", "--image", VELMORA_ELF}, "not a tavlo image");

    // An image whose initialised data would land in the parameter-store pages.
    std::string over = elf;
    auto* eh = reinterpret_cast<Elf32_Ehdr*>(over.data());
    auto* ph = reinterpret_cast<Elf32_Phdr*>(over.data() + eh->e_phoff);
    Elf32_Phdr* last = nullptr;
    for (unsigned i = 0; i < eh->e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD && ph[i].p_filesz > 0) last = &ph[i];
    ASSERT_NE(last, nullptr);
    last->p_paddr = 0x0008F000 - 2;
    writeFile(t / "over.elf", over);
    expectRefused(velmora({"--image", t / "over.elf"}), "parameter-store pages");

    // Flash files: the wrong size, something that is no file, a folder that
    // cannot be made. Nothing is written over a bad file.
    fs::create_directories(flash);
    writeFile(flash + "/velmora-1.flash", std::string(100, '\xFF'));
    expectRefused(velmora({}), "holds 100 bytes");
    EXPECT_EQ(fs::file_size(flash + "/velmora-1.flash"), 100u);
    fs::remove(flash + "/velmora-1.flash");
    fs::create_directories(flash + "/velmora-3.flash");
    expectRefused(velmora({"--nodes", "3"}), "not a regular file");
    writeFile(t / "plain", "x");
    expectRefused({"velmora", "--serial", "stdio", "--flash-dir", t / "plain/sub"}, "cannot create");
    EXPECT_FALSE(fs::exists(flash + "/velmora-1.flash"));
}

// A pseudo-terminal's settings as the host finds them.
struct PtySettings {
    bool raw = false, echo = true;
};
PtySettings settingsOf(const std::string& path) {
    PtySettings s;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return s;
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        s.raw = !(t.c_lflag & ICANON) && !(t.c_iflag & ICRNL) && !(t.c_oflag & OPOST);
        s.echo = (t.c_lflag & ECHO) != 0;
    }
    ::close(fd);
    return s;
}

TEST(AducsimCli, PseudoTerminalLine) {
    proc::TempDir t;
    const std::string link = t / "hv0";
    {
        proc::Child sim(ADUCSIM_PATH, {"velmora", "--flash-dir", t / "flash", "--link", link, "--speed", "max"});
        const std::string pty = sim.waitForLine("serial line: ");
        ASSERT_FALSE(pty.empty()) << sim.err();
        EXPECT_EQ(sim.out().rfind("serial line: ", 0), 0u) << "not the first line: " << sim.out();
        EXPECT_EQ(fs::read_symlink(link).string(), pty);
        const PtySettings s = settingsOf(pty);
        EXPECT_TRUE(s.raw);
        EXPECT_FALSE(s.echo);
        EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.err();
        EXPECT_FALSE(fs::is_symlink(link)) << "the link outlived the simulator";
    }
}

// --link never takes a path that is not its own: not a file, not a folder,
// not the live line of another simulator; at exit it removes only a link
// that still leads to its line.
TEST(AducsimCli, LinkTakesOnlyItsOwnPath) {
    proc::TempDir t;
    const std::string link = t / "hv0";
    auto args = [&](const std::string& flash) {
        return std::vector<std::string>{"velmora", "--flash-dir", t / flash, "--link", link, "--speed", "max"};
    };
    writeFile(link, "notes");
    expectRefused(args("a"), "--link " + link + ": the path exists");
    EXPECT_EQ(readFile(link), "notes") << "a regular file was overwritten";
    fs::remove(link);
    fs::create_directory(link);
    expectRefused(args("a"), "the path exists");
    EXPECT_TRUE(fs::is_directory(link));
    fs::remove(link);

    // A link left by a run that was killed, to a line that is gone, is
    // taken over.
    fs::create_symlink("/dev/pts/987654", link);
    proc::Child first(ADUCSIM_PATH, args("a"));
    const std::string pty = first.waitForLine("serial line: ");
    ASSERT_FALSE(pty.empty()) << first.err();
    EXPECT_EQ(fs::read_symlink(link).string(), pty);

    // A second simulator does not take the first one's line away.
    expectRefused(args("b"), "in use");
    EXPECT_EQ(fs::read_symlink(link).string(), pty);

    // Somebody pointed the name elsewhere meanwhile: it stays at exit.
    fs::remove(link);
    fs::create_symlink(t / "elsewhere", link);
    EXPECT_EQ(first.stop(SIGTERM), 0) << first.err();
    EXPECT_TRUE(fs::is_symlink(link)) << "the simulator removed a link that was no longer its own";
    EXPECT_EQ(fs::read_symlink(link).string(), t / "elsewhere");
}

TEST(AducsimCli, TcpLine) {
    {
        proc::Child sim(ADUCSIM_PATH, {"tavlo", "--serial", "tcp:0", "--speed", "max"});
        const std::string where = sim.waitForLine("serial line: tcp:");
        ASSERT_FALSE(where.empty()) << sim.err();
        ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u) << where;
        const int port = std::stoi(where.substr(10));
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const std::string ask = "IDN\r";
        ASSERT_EQ(::send(fd, ask.data(), ask.size(), 0), ssize_t(ask.size()));
        std::string got;
        const auto deadline = proc::Clock::now() + std::chrono::seconds(5);
        while (got.find('\n') == std::string::npos && proc::Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[64];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, size_t(n));
        }
        ::close(fd);
        EXPECT_EQ(got, "IDN1\r\n");
        EXPECT_EQ(sim.stop(), 0) << sim.err();
    }
}

// stdio on a terminal, as an operator types: Ctrl-\ puts a break on the
// line, which spoils the frame it falls in; the next frames are answered.
TEST(AducsimCli, TerminalBreakKeySpoilsTheFrameItFallsIn) {
    proc::TempDir t;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string flash = t / "flash";
        execl(ADUCSIM_PATH, ADUCSIM_PATH, "velmora", "--serial", "stdio", "--flash-dir", flash.c_str(), "--for", "20s",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    auto readFor = [&](int ms, const std::string& until) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end && (until.empty() || seen.find(until) == std::string::npos)) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[256];
                const ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0) break;
                seen.append(buf, size_t(n));
            }
        }
    };
    auto type = [&](const std::string& keys) {
        for (char c : keys) {
            ASSERT_EQ(write(master, &c, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    readFor(10000, "Ctrl-\\ sends a break");
    type("H1");
    type("\x1c");
    readFor(1000, "break sent on the line");
    type("\r");
    readFor(800, "");
    EXPECT_EQ(seen.find("e="), std::string::npos) << "the frame with the break in it was answered: " << seen;
    type("0\rH1\r");
    readFor(3000, "e=");
    EXPECT_NE(seen.find("e="), std::string::npos) << seen;
    type("\x1d");  // Ctrl-] quits
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "aducsim did not quit on Ctrl-]";
    }
    close(master);
}

// Piped input on stdio: Enter (LF) goes out as CR, the bytes cross the line
// at 9600 Bd back to back, the run ends by itself once the line is quiet, and
// the trace has both directions in time order.
TEST(AducsimCli, StdioLineTraceAndCharacterTiming) {
    proc::TempDir t;
    const Result r = aducsim({"velmora", "--serial", "stdio", "--speed", "max", "--flash-dir", t / "flash", "--trace",
                              t / "line.trace", "--vcd", t / "pins.vcd", "--nodes", "4"},
                             "H4\n");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "e=0\r\n");

    struct Entry {
        double t;
        char dir;
        unsigned value;
    };
    std::vector<Entry> trace;
    std::istringstream in(readFile(t / "line.trace"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        Entry e{};
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf %c %x", &e.t, &e.dir, &e.value), 3) << line;
        trace.push_back(e);
    }
    ASSERT_EQ(trace.size(), 3u + 5u);
    std::string host, node;
    for (size_t i = 0; i < trace.size(); ++i) {
        (trace[i].dir == 'h' ? host : node) += char(trace[i].value);
        if (i) {
            EXPECT_GE(trace[i].t, trace[i - 1].t) << "trace out of order at " << i;
        }
    }
    EXPECT_EQ(host, "H4\r");
    EXPECT_EQ(node, "e=0\r\n");
    EXPECT_EQ(trace[3].dir, 'n');
    // One piece of input goes out back to back: 10 bits at 9600 Bd apart.
    const double ch = 10.0 / 9600;
    for (size_t i = 1; i < 3; ++i) EXPECT_NEAR(trace[i].t - trace[i - 1].t, ch, 1e-6);
    // The node's reply bytes cannot come closer than one character.
    for (size_t i = 1; i < trace.size(); ++i)
        if (trace[i].dir == 'n' && trace[i - 1].dir == 'n') {
            EXPECT_GE(trace[i].t - trace[i - 1].t, ch - 1e-6);
        }

    const std::string vcd = readFile(t / "pins.vcd");
    EXPECT_NE(vcd.find("$enddefinitions"), std::string::npos);
    const size_t hv = vcd.find(" HV_mV ");
    ASSERT_NE(hv, std::string::npos);
    EXPECT_LT(hv, vcd.find("$enddefinitions"));
    EXPECT_NE(vcd.find("P0_7"), std::string::npos) << "the bus driver enable is not traced";
}

// --for counts virtual time; realtime pacing holds it to the wall clock,
// max does not wait.
TEST(AducsimCli, RunLengthAndPacing) {
    const Result paced = aducsim({"tavlo", "--serial", "stdio", "--for", "400ms"});
    EXPECT_EQ(paced.code, 0) << paced.err;
    EXPECT_NE(paced.err.find("ran 0.400 s of virtual time"), std::string::npos) << paced.err;
    EXPECT_GE(paced.seconds, 0.39);
    const Result fast = aducsim({"tavlo", "--serial", "stdio", "--for", "2s", "--speed", "max", "--quiet"});
    EXPECT_EQ(fast.code, 0) << fast.err;
    EXPECT_EQ(fast.err, "");
    EXPECT_LT(fast.seconds, 2.0) << "--speed max waited for the wall clock";
}

// What a chip would punish appears on stderr, one line each, and the run
// goes on.
TEST(AducsimCli, ReportsWhatTheFirmwareGotWrong) {
    proc::TempDir t;
    // A stray letter leaves the converter waiting for an address: the
    // watchdog resets it.
    const Result wd = aducsim({"velmora", "--serial", "stdio", "--speed", "max", "--quiet", "--flash-dir",
                               t / "flash", "--for", "1s"},
                              "X");
    EXPECT_EQ(wd.code, 0);
    EXPECT_NE(wd.err.find("node 1 at "), std::string::npos) << wd.err;
    EXPECT_NE(wd.err.find("watchdog reset"), std::string::npos) << wd.err;

    // Reports name a velmora node by the address it answers at now, also
    // after 'A' gave it another than its file's name.
    const Result moved = aducsim({"velmora", "--serial", "stdio", "--speed", "max", "--quiet", "--flash-dir",
                                  t / "flash", "--for", "2s"},
                                 "A1 9\nX");
    EXPECT_EQ(moved.out, "9\r\n");
    EXPECT_NE(moved.err.find("node 9 at "), std::string::npos) << moved.err;
    EXPECT_EQ(moved.err.find("node 1 "), std::string::npos) << moved.err;

    // Two unselected readout units both answer the identification.
    const Result both = aducsim({"tavlo", "--nodes", "2", "--serial", "stdio", "--speed", "max", "--quiet"},
                                "IDN\r");
    EXPECT_EQ(both.code, 0);
    EXPECT_NE(both.err.find("collision"), std::string::npos) << both.err;
    EXPECT_NE(both.err.find("node 1, node 2"), std::string::npos) << "named by unit number\n" << both.err;
    EXPECT_NE(both.out, "IDN1\r\n") << "two replies at once came through clean";
    size_t lines = 0;
    for (char c : both.err) lines += c == '\n';
    EXPECT_EQ(lines, 1u) << both.err;
}

// Entries of a --trace file.
struct TraceEntry {
    double t = 0;
    char dir = 0;
    unsigned value = 0;
    std::string rest;  // the character and the marks
};
std::vector<TraceEntry> readTrace(const std::string& path) {
    std::vector<TraceEntry> out;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        TraceEntry e;
        int used = 0;
        if (std::sscanf(line.c_str(), "%lf %c %x%n", &e.t, &e.dir, &e.value, &used) != 3) continue;
        e.rest = line.substr(size_t(used));
        out.push_back(e);
    }
    return out;
}

// Starting with an image does what a download to the chip does: the image's
// pages are programmed into the node's flash file, the parameter store is
// kept; an erased chip gets the image too, and a node may be started with an
// erased store.
TEST(AducsimCli, ImageIsProgrammedIntoTheFlashFileAndTheStoreKept) {
    proc::TempDir t;
    const std::string dir = t / "flash", file = dir + "/velmora-1.flash";
    auto run = [&](std::vector<std::string> extra, const std::string& input) {
        std::vector<std::string> a = {"velmora", "--serial", "stdio", "--speed", "max", "--flash-dir", dir};
        a.insert(a.end(), extra.begin(), extra.end());
        return aducsim(a, input);
    };
    auto answered = [](const Result& r) { return r.out.rfind("e=", 0) == 0; };
    // A new node, which the operator gives address 7.
    Result r = run({}, "A1 7\n");
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.out, "7\r\n") << r.err;
    const std::string image = readFile(file);
    ASSERT_EQ(image.size(), 62u * 1024);

    // The same image again: nothing to program, nothing said.
    r = run({}, "H7\n");
    EXPECT_TRUE(answered(r)) << r.out << r.err;
    EXPECT_EQ(r.err.find("new image flashed"), std::string::npos) << r.err;

    // Other firmware in the file's code pages (here undefined instructions
    // where the vectors and start-up were): the image replaces it, the
    // address stays.
    std::string old = image;
    std::fill(old.begin(), old.begin() + 0x800, '\xFF');
    writeFile(file, old);
    r = run({}, "H7\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("aducsim: node 7: new image flashed, parameter store kept\n"), std::string::npos) << r.err;
    EXPECT_TRUE(answered(r)) << "the node does not run the image at its stored address\n" << r.out << r.err;
    const std::string after = readFile(file);
    EXPECT_EQ(after.substr(0, 0x800), image.substr(0, 0x800)) << "the image's pages were not programmed";

    // A chip that was never programmed (all 0xFF) gets the image and starts
    // as a new node with its address.
    writeFile(dir + "/velmora-2.flash", std::string(62 * 1024, '\xFF'));
    r = run({"--nodes", "2"}, "H2\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(answered(r)) << r.out << r.err;
    EXPECT_NE(r.err.find("node 2: new image flashed, parameter store erased (first boot)"), std::string::npos)
        << r.err;

    // On request the store is erased: node 7's file starts as new, at its
    // name's address.
    r = run({"--erase-store"}, "H1\n");
    EXPECT_TRUE(answered(r)) << r.out << r.err;
    EXPECT_NE(r.err.find("parameter store was erased"), std::string::npos) << r.err;
}

// Two nodes whose flash holds the same address would answer together:
// refused before the line opens.
TEST(AducsimCli, TwoNodesWithOneStoredAddressAreRefused) {
    proc::TempDir t;
    const std::string dir = t / "flash";
    const Result give = aducsim({"velmora", "--nodes", "2", "--serial", "stdio", "--speed", "max", "--flash-dir", dir},
                                "A2 1\n");
    ASSERT_EQ(give.out, "1\r\n") << give.err;
    expectRefused({"velmora", "--nodes", "1,2", "--serial", "stdio", "--speed", "max", "--flash-dir", dir},
                  "both hold node address 1");
}

// --vcd covers the run from power-on, a new node's first boot included, and
// every signal starts with its value at time 0.
TEST(AducsimCli, VcdStartsAtPowerOn) {
    proc::TempDir t;
    const Result r = aducsim({"velmora", "--serial", "stdio", "--speed", "max", "--quiet", "--flash-dir", t / "flash",
                              "--vcd", t / "pins.vcd", "--for", "100ms"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string vcd = readFile(t / "pins.vcd");
    const size_t dump = vcd.find("$dumpvars\n");
    ASSERT_NE(dump, std::string::npos);
    EXPECT_EQ(vcd.rfind("\n#", dump), vcd.find("\n#0\n")) << "the dump does not start at 0";
    const std::string initial = vcd.substr(dump, vcd.find("$end", dump) - dump);
    EXPECT_EQ(initial.find('x'), std::string::npos) << initial;
    // The first boot (prepared store, address given) lies before 32 ms.
    std::vector<uint64_t> times;
    std::set<std::string> seen;
    std::istringstream lines(vcd.substr(dump));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '$') continue;
        if (line[0] == '#') {
            times.push_back(std::stoull(line.substr(1)));
            seen.clear();
            continue;
        }
        const std::string id = line[0] == 'b' ? line.substr(line.find(' ') + 1) : line.substr(1);
        EXPECT_TRUE(seen.insert(id).second) << "two values of " << id << " at #" << (times.empty() ? 0 : times.back());
    }
    ASSERT_GE(times.size(), 3u);
    EXPECT_TRUE(std::any_of(times.begin(), times.end(), [](uint64_t ns) { return ns > 0 && ns < 30'000'000; }))
        << "nothing recorded during the first boot";
}

// --trace marks what the host could not tell apart, and is written as the
// run goes, for a `tail -f`.
TEST(AducsimCli, TraceMarksCollisionsAndIsWrittenAsItGoes) {
    proc::TempDir t;
    const Result both = aducsim({"tavlo", "--nodes", "2", "--serial", "stdio", "--speed", "max", "--quiet",
                                 "--trace", t / "both.trace"},
                                "IDN\r");
    EXPECT_EQ(both.code, 0) << both.err;
    size_t marked = 0, nodeBytes = 0;
    for (const TraceEntry& e : readTrace(t / "both.trace")) {
        if (e.dir != 'n') continue;
        ++nodeBytes;
        marked += e.rest.find("collision") != std::string::npos;
    }
    EXPECT_GT(nodeBytes, 0u);
    EXPECT_EQ(marked, nodeBytes) << readFile(t / "both.trace");

    // One unit: clean bytes, no marks; the reply is in the file while the
    // simulator still runs.
    proc::Child sim(ADUCSIM_PATH, {"tavlo", "--serial", "tcp:0", "--speed", "max", "--trace", t / "live.trace"});
    const std::string where = sim.waitForLine("serial line: tcp:");
    ASSERT_FALSE(where.empty()) << sim.err();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::stoi(where.substr(10))));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::send(fd, "IDN\r", 4, 0), 4);
    std::vector<TraceEntry> live;
    const auto deadline = proc::Clock::now() + std::chrono::seconds(5);
    while (proc::Clock::now() < deadline) {
        live = readTrace(t / "live.trace");
        if (!live.empty() && live.back().value == '\n') break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
    EXPECT_FALSE(sim.ended()) << sim.err();
    std::string seen;
    for (const TraceEntry& e : live) {
        seen += char(e.value);
        EXPECT_EQ(e.rest.find("collision"), std::string::npos);
        EXPECT_EQ(e.rest.find("framing-error"), std::string::npos);
    }
    EXPECT_EQ(seen, "IDN\rIDN1\r\n") << "the trace is not written as the run goes";
    EXPECT_EQ(sim.stop(), 0) << sim.err();
}

// Piped input goes out a frame at a time: the next once the reply has
// ended, so two nodes' replies and the host's next frame never meet.
TEST(AducsimCli, PipedInputIsPacedFrameByFrame) {
    proc::TempDir t;
    const Result r = aducsim({"velmora", "--nodes", "1,2", "--serial", "stdio", "--speed", "max", "--flash-dir",
                              t / "flash", "--trace", t / "line.trace"},
                             "H1\nH2\nH1\n");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("collision"), std::string::npos) << r.err;
    size_t replies = 0;
    for (size_t at = 0; (at = r.out.find("e=", at)) != std::string::npos; ++at) ++replies;
    EXPECT_EQ(replies, 3u) << r.out;
    // In the trace: every host frame starts after the previous reply's end.
    double lastNode = -1;
    bool frameStart = true;
    for (const TraceEntry& e : readTrace(t / "line.trace")) {
        if (e.dir == 'n') lastNode = e.t;
        if (e.dir != 'h') continue;
        if (frameStart && lastNode >= 0) {
            EXPECT_GT(e.t, lastNode + 0.1) << "a frame went out while the line was busy";
        }
        frameStart = e.value == '\r';
    }
}

// What the host sends faster than the line carries waits in a small buffer;
// the simulator keeps up with the wall clock however much comes.
TEST(AducsimCli, AFloodOfInputIsHeldBackNotQueued) {
    proc::TempDir t;
    // 60 kB: within a pipe's buffer, so the test's write never blocks; at
    // 9600 Bd the line needs over a minute for it.
    const Result r = aducsim({"velmora", "--serial", "stdio", "--flash-dir", t / "flash", "--for", "1s", "--trace",
                              t / "line.trace"},
                             std::string(60000, 'x'), 60000);
    EXPECT_EQ(r.code, 0) << r.err;
    const double ran = r.err.find("ran 1.000 s of virtual time in ") != std::string::npos
                           ? std::stod(r.err.substr(r.err.find(" in ", r.err.find("ran 1.000 s")) + 4))
                           : -1;
    EXPECT_GE(ran, 0.95) << "ran ahead of the wall clock\n" << r.err;
    EXPECT_LT(ran, 2.0) << "fell behind the wall clock with a long frame queued\n" << r.err;
    // The line carried what 9600 Bd allows in that second, back to back.
    size_t host = 0;
    for (const TraceEntry& e : readTrace(t / "line.trace")) host += e.dir == 'h';
    EXPECT_GE(host, 900u);
    EXPECT_LE(host, 965u);
}

}  // namespace
