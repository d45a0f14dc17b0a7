// Debugging firmware in the simulator: gdb-multiarch (as a firmware
// engineer runs it, in batch mode) against the GDB server on a node image,
// a raw protocol client for what batch GDB cannot do (Ctrl-C, malformed
// packets), and the Machine's debugger support on its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "aduc702x.h"
#include "elf_image.h"
#include "gdb_server.h"
#include "machine.h"

using namespace sim;

namespace {

bool haveGdb() { return std::system("command -v gdb-multiarch >/dev/null 2>&1") == 0; }

#define REQUIRE_GDB() \
    if (!haveGdb()) GTEST_SKIP() << "gdb-multiarch is not installed (scripts/setup installs it)"

// Runs gdb-multiarch in batch mode, connected to the server, with the
// commands in order; returns everything it printed. Killed after a timeout
// so that a server that stops answering fails the test instead of hanging.
std::string runGdb(uint16_t port, const std::string& elf, const std::vector<std::string>& cmds, int timeoutSec = 30) {
    std::vector<std::string> args = {"gdb-multiarch", "-nx", "--batch", "-ex", "set confirm off",
                                     "-ex", "set remotetimeout 10",
                                     "-ex", "target remote :" + std::to_string(port)};
    for (const auto& c : cmds) {
        args.push_back("-ex");
        args.push_back(c);
    }
    args.push_back(elf);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            text += "\n<gdb timed out>\n";
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0) continue;
        char buf[4096];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, size_t(n));
    }
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return text;
}

// The value printed after "label=" (by a gdb printf), or "" when missing.
std::string field(const std::string& out, const std::string& label) {
    std::smatch m;
    if (std::regex_search(out, m, std::regex("(^|\\s)" + label + "=(\\S+)"))) return m[2];
    return "";
}

uint64_t number(const std::string& out, const std::string& label) {
    std::string v = field(out, label);
    return v.empty() ? ~uint64_t{0} : std::stoull(v, nullptr, 0);
}

std::vector<std::string> allMatches(const std::string& out, const std::string& re) {
    std::vector<std::string> r;
    std::regex rx(re);
    for (auto it = std::sregex_iterator(out.begin(), out.end(), rx); it != std::sregex_iterator(); ++it)
        r.push_back((*it)[0]);
    return r;
}

// The server on its own thread while a client drives it.
class Served {
public:
    explicit Served(Machine& m, std::function<RunResult(Ticks)> run = {}) : server_(m, 0) {
        server_.run = std::move(run);
        if (std::getenv("GDB_TEST_TRACE"))  // the packets, for a failing case
            server_.trace = [](const std::string& line) { std::fprintf(stderr, "gdb-server %s\n", line.c_str()); };
        thread_ = std::thread([this] {
            end_ = server_.serve();
            done_ = true;
        });
    }
    ~Served() {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }
    uint16_t port() const { return server_.port(); }
    // Waits for the session to end; a server that does not end is stopped.
    std::optional<GdbServer::End> finish() {
        for (int i = 0; i < 500 && !done_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bool ended = done_;
        server_.stop();
        thread_.join();
        if (!ended) return std::nullopt;
        return end_;
    }

private:
    GdbServer server_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    GdbServer::End end_ = GdbServer::End::Stopped;
};

void bootProbe(Machine& m) {
    m.loadElf(PROBE_ELF);
    auto r = m.runToSymbol("main", fromMillis(10));
    ASSERT_EQ(r.reason, StopReason::Condition) << r.report;
}

// Puts the core at the entry of probe_call_thumb(2, 3), returning to the
// start-up's spin loop.
void enterCallThumb(Machine& m) {
    m.setReg(0, 2);
    m.setReg(1, 3);
    m.setReg(LR, m.symbol("__Return_from_Main"));
    m.jump(m.symbol("probe_call_thumb"));
}

TEST(Gdb, HaltsAtResetBreaksAtMainReadsGlobalsAndDetachesToRunOn) {
    REQUIRE_GDB();
    Machine m;
    m.loadElf(PROBE_ELF);
    Served s(m);
    std::string out = runGdb(s.port(), PROBE_ELF,
                             {"printf \"reset_pc=%#x reset_cpsr=%#x\\n\", $pc, $cpsr",
                              "break main",
                              "continue",
                              "printf \"init1=%#x init3=%#x entered=%d\\n\", probe_initialised[1], probe_initialised[3], probe_main_entered",
                              "printf \"mode=%#x sp=%#x sp_irq=%#x sp_svc=%#x lr=%#x\\n\", $cpsr & 0x1f, $sp, $sp_irq, $sp_svc, $lr",
                              "print probe_initialised",
                              "monitor time",
                              "shell sleep 0.3",
                              "monitor time",
                              "stepi",
                              "monitor time",
                              "monitor peripheral interrupts",
                              "monitor peripherals",
                              "monitor peripheral nosuchblock",
                              "detach"});
    auto end = s.finish();
    ASSERT_EQ(end, GdbServer::End::Detached) << out;

    // The core waited at the reset vector, in Supervisor mode, interrupts masked.
    EXPECT_EQ(number(out, "reset_pc"), 0u) << out;
    EXPECT_EQ(number(out, "reset_cpsr"), 0xD3u) << out;
    EXPECT_NE(out.find("Breakpoint 1, main ()"), std::string::npos) << out;
    EXPECT_EQ(number(out, "init1"), 0x22222222u) << out;
    EXPECT_EQ(number(out, "init3"), 0x44444444u) << out;
    EXPECT_EQ(number(out, "entered"), 0u) << out;
    EXPECT_NE(out.find("{286331153, 572662306, 858993459, 1145324612}"), std::string::npos) << out;
    // Registers are the current mode's (User), the other banks by name.
    EXPECT_EQ(number(out, "mode"), 0x10u) << out;
    EXPECT_EQ(number(out, "sp"), 0x11E40u) << out;
    EXPECT_EQ(number(out, "sp_irq"), 0x11F00u) << out;
    EXPECT_EQ(number(out, "sp_svc"), 0x11E80u) << out;
    EXPECT_EQ(number(out, "lr"), m.symbol("__Return_from_Main")) << out;

    // Virtual time stands still while the core is halted, and moves with a step.
    auto times = allMatches(out, "virtual time [0-9.]+ ms \\([0-9]+ ticks\\), [0-9]+ instructions");
    ASSERT_EQ(times.size(), 3u) << out;
    EXPECT_EQ(times[0], times[1]);
    EXPECT_NE(times[1], times[2]);

    EXPECT_NE(out.find("interrupts: IRQSIG=0x"), std::string::npos) << out;
    for (Peripheral* p : m.chip().blocks()) EXPECT_NE(out.find(std::string(p->name()) + ": "), std::string::npos) << p->name();
    EXPECT_NE(out.find("no block named 'nosuchblock'"), std::string::npos) << out;

    // Detached: no breakpoint left behind, the node runs on through main.
    auto r = m.runFor(fromMillis(1));
    EXPECT_EQ(r.reason, StopReason::Time) << r.report;
    EXPECT_EQ(m.readSym("probe_main_entered"), 1u);
    EXPECT_EQ(m.pc(), m.symbol("__Return_from_Main"));
    EXPECT_FALSE(m.fault());
}

TEST(Gdb, BreaksAndStepsInThumbCodeAndAcrossInterworkingCalls) {
    REQUIRE_GDB();
    Machine m;
    bootProbe(m);
    const uint32_t thumbAdd = m.symbol("thumb_add") & ~1u;
    const uint32_t callThumb = m.symbol("probe_call_thumb");
    ASSERT_EQ(m.symbol("thumb_add") & 1, 1u);

    // A breakpoint in Thumb code, Thumb single steps, and the return to ARM.
    enterCallThumb(m);
    {
        Served s(m);
        std::string out = runGdb(s.port(), PROBE_ELF,
                                 {"break thumb_add",
                                  "continue",
                                  "printf \"hit_pc=%#x hit_t=%d\\n\", $pc, ($cpsr >> 5) & 1",
                                  "stepi",
                                  "printf \"step1_pc=%#x step1_t=%d\\n\", $pc, ($cpsr >> 5) & 1",
                                  "stepi",
                                  "printf \"back_pc=%#x back_t=%d r0=%d\\n\", $pc, ($cpsr >> 5) & 1, $r0",
                                  "break __Return_from_Main",
                                  "continue",
                                  "printf \"done_pc=%#x result=%d\\n\", $pc, $r0",
                                  "detach"});
        ASSERT_EQ(s.finish(), GdbServer::End::Detached) << out;
        EXPECT_NE(out.find("Breakpoint 1, thumb_add (a=2, b=3)"), std::string::npos) << out;
        EXPECT_EQ(number(out, "hit_pc"), thumbAdd) << out;
        EXPECT_EQ(number(out, "hit_t"), 1u) << out;
        EXPECT_EQ(number(out, "step1_pc"), thumbAdd + 2) << "one 16-bit instruction\n" << out;
        EXPECT_EQ(number(out, "step1_t"), 1u) << out;
        EXPECT_EQ(number(out, "back_pc"), callThumb + 8) << "bx lr returns past the call\n" << out;
        EXPECT_EQ(number(out, "back_t"), 0u) << out;
        EXPECT_EQ(number(out, "r0"), 5u) << out;
        EXPECT_EQ(number(out, "done_pc"), m.symbol("__Return_from_Main")) << out;
        EXPECT_EQ(number(out, "result"), 6u) << out;
    }

    // Source-level step from ARM code into the Thumb routine (through the
    // linker's interworking veneer) and finish back to the ARM caller.
    enterCallThumb(m);
    {
        Served s(m);
        std::string out = runGdb(s.port(), PROBE_ELF,
                                 {"step",
                                  "printf \"in_pc=%#x in_t=%d\\n\", $pc, ($cpsr >> 5) & 1",
                                  "finish",
                                  "printf \"out_pc=%#x out_t=%d\\n\", $pc, ($cpsr >> 5) & 1",
                                  "detach"});
        ASSERT_EQ(s.finish(), GdbServer::End::Detached) << out;
        EXPECT_NE(out.find("thumb_add (a=2, b=3) at"), std::string::npos) << out;
        EXPECT_EQ(number(out, "in_pc"), thumbAdd) << out;
        EXPECT_EQ(number(out, "in_t"), 1u) << out;
        EXPECT_NE(out.find("Value returned is $1 = 5"), std::string::npos) << out;
        EXPECT_EQ(number(out, "out_pc"), callThumb + 8) << out;
        EXPECT_EQ(number(out, "out_t"), 0u) << out;
    }
    auto r = m.runToSymbol("__Return_from_Main", fromMillis(1));
    EXPECT_EQ(r.reason, StopReason::Condition) << r.report;
    EXPECT_EQ(m.reg(0), 6u);
}

TEST(Gdb, WatchpointReportsEveryWriteToAGlobalWithOldAndNewValue) {
    REQUIRE_GDB();
    Machine m;
    m.loadElf(PROBE_ELF);  // RAM holds the power-on pattern
    Served s(m);
    std::string out = runGdb(s.port(), PROBE_ELF,
                             {"watch probe_main_entered",
                              "continue",
                              "printf \"first_pc=%#x\\n\", $pc",
                              "continue",
                              "printf \"second_pc=%#x entered=%d\\n\", $pc, probe_main_entered",
                              "delete",
                              "detach"});
    ASSERT_EQ(s.finish(), GdbServer::End::Detached) << out;
    // Start-up clears it (the zero-fill loop), then main sets it.
    EXPECT_NE(out.find("Old value = 3735928559\nNew value = 0"), std::string::npos) << out;
    EXPECT_NE(out.find("Old value = 0\nNew value = 1"), std::string::npos) << out;
    uint32_t loopZi = m.symbol("LoopZI");
    EXPECT_GE(number(out, "first_pc"), loopZi) << out;
    EXPECT_LE(number(out, "first_pc"), loopZi + 8) << out;
    uint32_t main = m.symbol("main");
    EXPECT_GT(number(out, "second_pc"), main) << out;
    EXPECT_LT(number(out, "second_pc"), main + m.image().at(main)->size) << out;
    EXPECT_EQ(number(out, "entered"), 1u) << out;
}

TEST(Gdb, FaultsAndResetsStopTheCoreAndSayWhy) {
    REQUIRE_GDB();
    Machine m;
    bootProbe(m);
    char rst[96];
    std::snprintf(rst, sizeof rst, "set {unsigned int}%#x = %#x", RSTSTA.addr, RST_SOFTWARE);
    Served s(m);
    std::string out = runGdb(s.port(), PROBE_ELF,
                             {"set $pc = 0x300000",
                              "continue",
                              "monitor reset",
                              "maintenance flush register-cache",
                              "printf \"after_reset_pc=%#x\\n\", $pc",
                              "break main",
                              "continue",
                              rst,  // the firmware's way to reset the chip
                              "continue",
                              "printf \"chip_reset_pc=%#x chip_reset_cpsr=%#x\\n\", $pc, $cpsr",
                              "detach"});
    ASSERT_EQ(s.finish(), GdbServer::End::Detached) << out;
    EXPECT_NE(out.find("aducsim: fault: instruction fetch outside memory at 0x00300000"), std::string::npos) << out;
    EXPECT_NE(out.find("Program received signal SIGSEGV"), std::string::npos) << out;
    EXPECT_NE(out.find("software reset: the core is at the reset vector"), std::string::npos) << out;
    EXPECT_EQ(number(out, "after_reset_pc"), 0u) << out;
    EXPECT_NE(out.find("Breakpoint 1, main ()"), std::string::npos) << "runs again after the reset\n" << out;
    EXPECT_NE(out.find("aducsim: software reset: the core is at the reset vector"), std::string::npos) << out;
    EXPECT_NE(out.find("Program received signal SIGPWR"), std::string::npos) << out;
    EXPECT_EQ(number(out, "chip_reset_pc"), 0u) << out;
    EXPECT_EQ(number(out, "chip_reset_cpsr"), 0xD3u) << out;
    EXPECT_GE(m.resets(), 3u);
}

// The regulation interrupt of the converter controller when its image has
// one; otherwise the probe's ARM handler behind the IRQ dispatcher.
TEST(Gdb, BreaksInTheInterruptHandlerInIrqMode) {
    REQUIRE_GDB();
    Machine m;
    std::string elf = PROBE_ELF, handler = "arm_handler";
    {
        ElfImage velmora;
        try {
            velmora.load(VELMORA_ELF);
            if (velmora.find("Timer0_IRQ_Handler")) elf = VELMORA_ELF, handler = "Timer0_IRQ_Handler";
        } catch (const std::exception&) {
        }
    }
    m.loadElf(elf);
    if (handler == "arm_handler") {
        bootProbe(m);
        m.call("probe_install", {1});
        m.chip().write(IRQEN.addr, INT_TIMER1);
        m.chip().setSource(INT_TIMER1, true);
    }
    Served s(m);
    std::string out = runGdb(s.port(), elf,
                             {"break " + handler,
                              "continue",
                              "printf \"mode=%#x sp=%#x sp_irq=%#x spsr_mode=%#x\\n\", $cpsr & 0x1f, $sp, $sp_irq, $spsr & 0x1f",
                              "delete",
                              "detach"});
    ASSERT_EQ(s.finish(), GdbServer::End::Detached) << out;
    EXPECT_NE(out.find("Breakpoint 1, " + handler), std::string::npos) << out;
    EXPECT_EQ(number(out, "mode"), 0x12u) << out;
    EXPECT_EQ(number(out, "sp"), number(out, "sp_irq")) << out;
    EXPECT_LE(number(out, "sp"), 0x11F00u) << "on the IRQ stack\n" << out;
    EXPECT_GT(number(out, "sp"), 0x11E80u) << "on the IRQ stack\n" << out;
    EXPECT_NE(number(out, "spsr_mode"), 0x12u) << "SPSR holds the interrupted mode\n" << out;
}

// ---- The protocol itself, with a raw client ----

class RspClient {
public:
    explicit RspClient(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int one = 1;  // as GDB does: a packet must not wait for the ack before it
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RspClient() { close(fd_); }
    bool connected() const { return connected_; }

    void raw(const std::string& s) { (void)::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
    void send(const std::string& payload) {
        unsigned sum = 0;
        for (unsigned char c : payload) sum += c;
        char tail[4];
        std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
        raw("$" + payload + tail);
    }
    // The next packet; acks are counted, console output ('O') collected.
    std::string reply(int timeoutMs = 5000) {
        for (;;) {
            size_t start = buf_.find('$');
            size_t hash = start == std::string::npos ? start : buf_.find('#', start);
            for (char c : buf_.substr(0, std::min(start, buf_.size()))) {
                if (c == '+') ++acks;
                if (c == '-') ++naks;
            }
            if (hash != std::string::npos && hash + 2 < buf_.size()) {
                std::string p = buf_.substr(start + 1, hash - start - 1);
                buf_.erase(0, hash + 3);
                raw("+");
                if (p.size() > 1 && p[0] == 'O' && p != "OK") {
                    for (size_t i = 1; i + 1 < p.size(); i += 2) console += char(std::stoi(p.substr(i, 2), nullptr, 16));
                    continue;
                }
                return p;
            }
            if (start == std::string::npos) buf_.clear();
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return "<timeout>";
            char b[4096];
            ssize_t n = recv(fd_, b, sizeof b, 0);
            if (n <= 0) return "<closed>";
            buf_.append(b, size_t(n));
        }
    }
    std::string command(const std::string& payload) {
        send(payload);
        return reply();
    }
    std::string monitor(const std::string& cmd) {
        console.clear();
        std::string h;
        for (unsigned char c : cmd) {
            char b[3];
            std::snprintf(b, sizeof b, "%02x", c);
            h += b;
        }
        std::string r = command("qRcmd," + h);
        return r == "OK" ? console : "<" + r + ">";
    }
    int acks = 0, naks = 0;
    std::string console;

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buf_;
};

std::string hexAddr(uint32_t a) {
    char b[12];
    std::snprintf(b, sizeof b, "%x", a);
    return b;
}

std::string hexWord(uint32_t v) {  // target byte order
    char b[9];
    std::snprintf(b, sizeof b, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
    return b;
}

TEST(GdbProtocol, CtrlCHaltsARunningCoreWhoseTimeThenStandsStill) {
    Machine m;
    bootProbe(m);
    m.runFor(fromMicros(100));  // main has returned: the core spins
    const uint32_t spin = m.symbol("__Return_from_Main");
    std::atomic<int> slices{0};
    Served s(m, [&](Ticks slice) {  // as a program running several stations would
        ++slices;
        return m.runFor(slice);
    });
    RspClient c(s.port());
    ASSERT_TRUE(c.connected());

    EXPECT_NE(c.command("qSupported:swbreak+;hwbreak+").find("PacketSize="), std::string::npos);
    EXPECT_GE(c.acks, 1) << "packets are acknowledged until no-ack mode";
    c.raw("$g#00");  // wrong checksum
    c.send("qAttached");
    EXPECT_EQ(c.reply(), "1");
    EXPECT_EQ(c.naks, 1);

    std::string xml;
    for (;;) {  // in parts, as GDB reads it
        std::string part = c.command("qXfer:features:read:target.xml:" + hexAddr(uint32_t(xml.size())) + ",400");
        ASSERT_FALSE(part.empty());
        ASSERT_TRUE(part[0] == 'm' || part[0] == 'l') << part;
        xml += part.substr(1);
        if (part[0] == 'l') break;
    }
    EXPECT_EQ(xml.substr(0, 5), "<?xml");
    EXPECT_EQ(xml.substr(xml.size() - 10), "</target>\n");
    EXPECT_NE(xml.find("org.gnu.gdb.arm.core"), std::string::npos);
    EXPECT_NE(xml.find("name=\"cpsr\" bitsize=\"32\" regnum=\"25\""), std::string::npos);
    EXPECT_EQ(c.command("pf"), hexWord(spin));
    std::string g = c.command("g");
    ASSERT_EQ(g.size(), 8u * 30);
    EXPECT_EQ(g.substr(8 * 15, 8), hexWord(spin));
    EXPECT_EQ(g.substr(8 * 16, 2), "10") << "cpsr after r0..r15: User mode, ARM state";

    std::string t0 = c.monitor("time");
    EXPECT_NE(t0.find("virtual time"), std::string::npos) << t0;
    c.send("c");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.raw("\x03");
    std::string stop = c.reply();
    EXPECT_EQ(stop.substr(0, 3), "T02") << stop;
    EXPECT_NE(stop.find("0f:" + hexWord(spin)), std::string::npos) << stop;
    std::string t1 = c.monitor("time");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string t2 = c.monitor("time");
    EXPECT_NE(t0, t1) << "the core ran";
    EXPECT_GT(slices.load(), 0) << "through the program's run function";
    EXPECT_EQ(t1, t2) << "halted: no virtual time passes";

    // Flash patched from the debugger replaces code already translated.
    ASSERT_EQ(c.command("M" + hexAddr(spin) + ",8:" + hexWord(0xE3A0002A) + hexWord(0xEAFFFFFE)), "OK");  // mov r0,#42; b .
    EXPECT_EQ(c.command("m" + hexAddr(spin) + ",8"), hexWord(0xE3A0002A) + hexWord(0xEAFFFFFE));
    c.send("c");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.raw("\x03");
    EXPECT_EQ(c.reply().substr(0, 3), "T02");
    EXPECT_EQ(c.command("p0"), hexWord(42));
    EXPECT_EQ(c.command("pf"), hexWord(spin + 4));

    // Binary writes with escaped bytes; registers read through the models.
    const uint32_t zeroed = m.symbol("probe_zeroed");
    std::string bin = "}\x5d}\x03}\x04}\x0a\x01";  // 7d 23 24 2a 01
    EXPECT_EQ(c.command("X" + hexAddr(zeroed) + ",5:" + bin), "OK");
    EXPECT_EQ(c.command("m" + hexAddr(zeroed) + ",5"), "7d23242a01");
    EXPECT_EQ(c.command("m" + hexAddr(IRQEN.addr) + ",4"), hexWord(0));
    EXPECT_EQ(c.command("m" + hexAddr(0x00200000) + ",4"), "E01") << "nothing there";
    EXPECT_EQ(c.command("M" + hexAddr(IRQEN.addr + 1) + ",1:01"), "E01") << "registers take whole words";

    // A read watchpoint on flash: after a reset the start-up copies the
    // initialised data from behind the code.
    EXPECT_NE(c.monitor("reset").find("reset"), std::string::npos);
    const uint32_t image = m.symbol("_etext");
    EXPECT_EQ(c.command("Z3," + hexAddr(image) + ",4"), "OK");
    EXPECT_EQ(c.command("Z2," + hexAddr(IRQEN.addr) + ",4"), "E01") << "registers cannot be watched";
    stop = c.command("c");
    EXPECT_NE(stop.find("rwatch:" + hexAddr(image) + ";"), std::string::npos) << stop;
    EXPECT_EQ(c.command("z3," + hexAddr(image) + ",4"), "OK");

    // A breakpoint left set at detach does not outlive the session.
    EXPECT_EQ(c.command("Z0," + hexAddr(m.symbol("main")) + ",4"), "OK");
    EXPECT_EQ(c.command("D"), "OK");
    ASSERT_EQ(s.finish(), GdbServer::End::Detached);
    auto r = m.runFor(fromMillis(1));
    EXPECT_EQ(r.reason, StopReason::Time) << r.report;
    EXPECT_EQ(m.reg(0), 42u) << "ran through main into the patched loop";
}

TEST(GdbProtocol, ServerListensOnLoopbackOnlyAndReportsItsPort) {
    Machine m;
    GdbServer a(m, 0);
    ASSERT_NE(a.port(), 0);
    EXPECT_THROW(GdbServer(m, a.port()), SimError) << "the port is taken";
    // The host's other IPv4 addresses do not answer on the port.
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    int others = 0;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        if ((ntohl(addr.sin_addr.s_addr) >> 24) == 127) continue;
        addr.sin_port = htons(a.port());
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << i->ifa_name;
        close(fd);
        ++others;
    }
    freeifaddrs(list);
    RspClient c(a.port());
    EXPECT_TRUE(c.connected()) << "127.0.0.1 does";
    std::printf("checked %d non-loopback addresses\n", others);
}

TEST(GdbProtocol, KillOrADroppedConnectionEndsTheSessionWithoutLeftovers) {
    Machine m;
    bootProbe(m);
    const uint32_t spin = m.symbol("__Return_from_Main");
    {
        Served s(m);
        RspClient c(s.port());
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(c.command("Z0," + hexAddr(spin) + ",4"), "OK");
        EXPECT_EQ(c.command("Z2," + hexAddr(m.symbol("probe_zeroed")) + ",4"), "OK");
        c.send("vCont;c");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // The core stopped at the breakpoint; a running core would do too.
        c.send("k");
        EXPECT_EQ(s.finish(), GdbServer::End::Killed);
    }
    {
        Served s(m);
        {
            RspClient c(s.port());
            ASSERT_TRUE(c.connected());
            EXPECT_EQ(c.command("Z0," + hexAddr(m.symbol("main")) + ",4"), "OK");
            c.send("c");  // spins for ever: the connection drops while it runs
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(s.finish(), GdbServer::End::Disconnected);
    }
    // Neither session left a breakpoint or a watchpoint behind: start-up
    // clears probe_zeroed and runs through main again without a stop.
    m.reset(ResetCause::Software);
    auto r = m.runFor(fromMillis(1));
    EXPECT_EQ(r.reason, StopReason::Time) << r.report;
    EXPECT_EQ(m.pc(), spin);
    EXPECT_EQ(m.chip().onReport, nullptr) << "the server's report hook is gone";
    EXPECT_FALSE(m.stopOnReset);
}

// ---- The Machine's debugger support without GDB ----

TEST(MachineDebug, WatchpointStopsBeforeTheStoreAndResumesWithIt) {
    Machine m;
    m.loadElf(PROBE_ELF);
    m.powerOn(0xA5A5A5A5);
    const uint32_t target = m.symbol("probe_zeroed") + 4;
    const uint32_t loopZi = m.symbol("LoopZI");  // str r0, [r1], #4
    m.addWatchpoint(target, 4, Machine::Access::Write);
    auto r = m.runFor(fromMillis(1));
    ASSERT_EQ(r.reason, StopReason::Watchpoint) << r.report;
    ASSERT_TRUE(m.watchHit());
    EXPECT_EQ(m.watchHit()->addr, target);
    EXPECT_EQ(m.watchHit()->access, Machine::Access::Write);
    EXPECT_EQ(m.pc(), loopZi) << "stopped at the store";
    EXPECT_EQ(m.watchHit()->pc, loopZi);
    EXPECT_EQ(m.read32(target), 0xA5A5A5A5u) << "the store has not happened";
    EXPECT_EQ(m.reg(1), target) << "nor its base register write-back";
    EXPECT_EQ(m.read32(target - 4), 0u) << "the word before was cleared";

    // Resuming runs the store once, without stopping at it again.
    r = m.runToSymbol("main", fromMillis(1));
    EXPECT_EQ(r.reason, StopReason::Condition) << r.report;
    EXPECT_EQ(m.read32(target), 0u);
    EXPECT_EQ(m.read32(target + 4), 0u) << "the loop went on from the right address";

    // Reads and any-access watches; removed ones stay quiet.
    m.removeWatchpoint(target, 4, Machine::Access::Write);
    const uint32_t entered = m.symbol("probe_main_entered");
    m.addWatchpoint(entered, 4, Machine::Access::Read);
    r = m.runFor(fromMillis(1));
    EXPECT_EQ(r.reason, StopReason::Time) << "main only writes it: " << r.report;
    m.clearWatchpoints();
    EXPECT_THROW(m.addWatchpoint(IRQEN.addr, 4, Machine::Access::Write), SimError);
}

TEST(MachineDebug, StepsRunOneInstructionAndBreakpointsHitTranslatedCode) {
    Machine m;
    bootProbe(m);
    // Where a run to an address stopped, a step still moves on.
    ASSERT_EQ(m.pc(), m.symbol("main"));
    EXPECT_EQ(m.step().reason, StopReason::Condition);
    EXPECT_EQ(m.pc(), m.symbol("main") + 4);

    m.runFor(fromMicros(100));  // the spin loop has run many times
    const uint32_t spin = m.symbol("__Return_from_Main");
    m.jump(m.symbol("probe_call_thumb"));
    m.setReg(LR, spin);
    m.setReg(0, 40);
    m.setReg(1, 2);
    // Each step is one instruction and one instruction's time.
    uint64_t n0 = m.instructions();
    Ticks t0 = m.now();
    const uint64_t c0 = m.cycles();
    const uint32_t call = m.symbol("probe_call_thumb");
    std::vector<uint32_t> pcs;
    for (int i = 0; i < 6; ++i) {
        auto r = m.step();
        ASSERT_EQ(r.reason, StopReason::Condition) << r.report;
        pcs.push_back(m.pc() | (m.thumb() ? 1 : 0));
    }
    const uint32_t veneer = m.symbol("__thumb_add_from_arm");
    const uint32_t thumbAdd = m.symbol("thumb_add");
    std::vector<uint32_t> expect = {call + 4, veneer, veneer + 4, thumbAdd, thumbAdd + 2, call + 8};
    EXPECT_EQ(pcs, expect);
    EXPECT_EQ(m.instructions() - n0, 6u);
    EXPECT_EQ(m.now() - t0, (m.cycles() - c0) * m.chip().coreCycle());
    // push {r4, lr} 2+2, bl 3x2, ldr ip, [pc] 2+1+3 (a flash literal),
    // bx ip 3x2, then Thumb: adds 1, bx lr 3x1.
    EXPECT_EQ(m.cycles() - c0, 4u + 6 + 6 + 6 + 1 + 3);

    // A breakpoint set in code that has run (and is translated) is hit.
    m.addBreakpoint(spin);
    auto r = m.runFor(fromMillis(1));
    EXPECT_EQ(r.reason, StopReason::Breakpoint) << r.report;
    EXPECT_EQ(m.pc(), spin);
    EXPECT_EQ(m.reg(0), 43u);
    m.removeBreakpoint(spin);
    EXPECT_EQ(m.runFor(fromMicros(50)).reason, StopReason::Time);
}

}  // namespace
