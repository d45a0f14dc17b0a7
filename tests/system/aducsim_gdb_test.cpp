// aducsim --gdb: the node waits at its reset vector for the debugger, stops
// at a breakpoint in its interrupt handler, and runs on after a detach with
// its serial line working; on a bus of several nodes, the one named.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "../support/process.h"

namespace {

// A free loopback port (closed again; the race with other programs is
// harmless for a test).
int freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Sends bytes to a TCP line and returns what comes back within waitMs.
std::string exchange(int port, const std::string& bytes, int waitMs) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "(no connection)";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    (void)!write(s, bytes.data(), bytes.size());
    timeval tv{0, 100000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    char buf[128];
    while (std::chrono::steady_clock::now() < end) {
        ssize_t n = read(s, buf, sizeof buf);
        if (n > 0) got.append(buf, size_t(n));
    }
    close(s);
    return got;
}

TEST(AducsimGdb, BreaksInTheTickThenDetachesAndTheNodeAnswers) {
    if (std::system("command -v gdb-multiarch >/dev/null 2>&1") != 0) GTEST_SKIP() << "gdb-multiarch missing";
    proc::TempDir t;
    const int gdbPort = freePort();
    proc::Child sim(ADUCSIM_PATH, {"velmora", "--flash-dir", t / "flash", "--serial", "tcp:0", "--speed", "max",
                                   "--gdb", std::to_string(gdbPort)});
    const std::string line = sim.waitForLine("serial line: tcp:");
    ASSERT_FALSE(line.empty()) << sim.err();
    ASSERT_TRUE(sim.waitForErr("waiting for gdb")) << sim.err();
    const int linePort = std::stoi(line.substr(line.rfind(':') + 1));

    proc::Result g = proc::run("/usr/bin/gdb-multiarch",
                               {"--batch", "-nx", "-ex", "target remote :" + std::to_string(gdbPort), "-ex",
                                "print/x $pc", "-ex", "break Timer0_IRQ_Handler", "-ex", "continue", "-ex",
                                "print input_index", "-ex", "delete", "-ex", "detach", VELMORA_ELF},
                               30000);
    EXPECT_NE(g.out.find("$1 = 0x0"), std::string::npos) << "halted at the reset vector\n" << g.out << g.err;
    EXPECT_NE(g.out.find("Breakpoint 1, Timer0_IRQ_Handler"), std::string::npos) << g.out << g.err;
    EXPECT_NE(g.out.find("$2 = 1"), std::string::npos) << "the first tick converts ADC1\n" << g.out;
    EXPECT_NE(g.out.find("detached"), std::string::npos) << g.out;

    // Runs on: the command loop answers over the line.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string reply = exchange(linePort, "R1\r", 1500);
    EXPECT_EQ(reply.rfind("e=", 0), 0u) << "'" << reply << "'\n" << sim.err();
}

// Node 2 of two on the bus: the debugger gets node 2 (its address in RAM),
// and after the detach both nodes answer the host client.
TEST(AducsimGdb, DebugsOneNodeOfABus) {
    if (std::system("command -v gdb-multiarch >/dev/null 2>&1") != 0) GTEST_SKIP() << "gdb-multiarch missing";
    proc::TempDir t;
    const int gdbPort = freePort();
    proc::Child sim(ADUCSIM_PATH, {"velmora", "--nodes", "1,2", "--flash-dir", t / "flash", "--serial", "tcp:0",
                                   "--gdb", std::to_string(gdbPort) + "@2"});
    const std::string line = sim.waitForLine("serial line: tcp:");
    ASSERT_FALSE(line.empty()) << sim.err();
    ASSERT_TRUE(sim.waitForErr("for node 2")) << sim.err();
    const std::string port = "tcp:127.0.0.1:" + line.substr(line.rfind(':') + 1);

    // The command loop's poll: boot is over and the address loaded.
    proc::Result g = proc::run("/usr/bin/gdb-multiarch",
                               {"--batch", "-nx", "-ex", "target remote :" + std::to_string(gdbPort), "-ex",
                                "break received", "-ex", "continue", "-ex", "print MyAddress", "-ex", "delete", "-ex",
                                "detach", VELMORA_ELF},
                               30000);
    EXPECT_NE(g.out.find("Breakpoint 1, received"), std::string::npos) << g.out << g.err;
    EXPECT_NE(g.out.find("$1 = 2"), std::string::npos) << "node 2's RAM\n" << g.out;
    EXPECT_NE(g.out.find("detached"), std::string::npos) << g.out;

    for (const char* address : {"2", "1"}) {
        proc::Result r = proc::run(NODECTL_PATH, {"-p", port, "velmora", "-a", address, "read"}, 20000);
        EXPECT_EQ(r.code, 0) << address << ": " << r.out << r.err << sim.err();
        EXPECT_NE(r.out.find("velmora " + std::string(address) + ": "), std::string::npos) << r.out;
    }
}

// One debugger after another: after a detach the next one attaches, finds
// the node halted where it is, and lets it go again.
TEST(AducsimGdb, ServesOneDebuggerAfterAnother) {
    if (std::system("command -v gdb-multiarch >/dev/null 2>&1") != 0) GTEST_SKIP() << "gdb-multiarch missing";
    proc::TempDir t;
    const int gdbPort = freePort();
    proc::Child sim(ADUCSIM_PATH, {"velmora", "--flash-dir", t / "flash", "--serial", "tcp:0", "--speed", "max",
                                   "--gdb", std::to_string(gdbPort)});
    const std::string line = sim.waitForLine("serial line: tcp:");
    ASSERT_FALSE(line.empty()) << sim.err();
    ASSERT_TRUE(sim.waitForErr("waiting for gdb")) << sim.err();
    const int linePort = std::stoi(line.substr(line.rfind(':') + 1));
    auto session = [&](const std::vector<std::string>& commands) {
        std::vector<std::string> args = {"--batch", "-nx", "-ex", "target remote :" + std::to_string(gdbPort)};
        for (const auto& c : commands) {
            args.push_back("-ex");
            args.push_back(c);
        }
        args.push_back(VELMORA_ELF);
        return proc::run("/usr/bin/gdb-multiarch", args, 20000);
    };
    proc::Result first = session({"break received", "continue", "delete", "detach"});
    EXPECT_NE(first.out.find("Breakpoint 1, received"), std::string::npos) << first.out << first.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int round = 0; round < 2; ++round) {
        proc::Result again = session({"print MyAddress", "break received", "continue", "print ProgramOk", "delete",
                                      "detach"});
        EXPECT_FALSE(again.timedOut) << "the debugger got no answer after a detach\n" << again.out << again.err;
        EXPECT_NE(again.out.find("$1 = 1"), std::string::npos) << again.out << again.err;
        EXPECT_NE(again.out.find("Breakpoint 1, received"), std::string::npos) << again.out << again.err;
        EXPECT_NE(again.out.find("detached"), std::string::npos) << again.out;
    }
    EXPECT_NE(sim.err().find("gdb attached to node 1"), std::string::npos) << sim.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string reply = exchange(linePort, "H1\r", 1500);
    EXPECT_EQ(reply.rfind("e=", 0), 0u) << "'" << reply << "'\n" << sim.err();
}

// --erase-store with --gdb: the debugged node meets an erased parameter
// store at its first instruction, so the debugger sees the first boot
// format the store, and the node comes up with the default address.
TEST(AducsimGdb, FirstBootUnderTheDebuggerWithAnErasedStore) {
    if (std::system("command -v gdb-multiarch >/dev/null 2>&1") != 0) GTEST_SKIP() << "gdb-multiarch missing";
    proc::TempDir t;
    const std::string flash = t / "flash";
    // A node that has run before and was given address 5.
    {
        proc::Result given = proc::run(ADUCSIM_PATH, {"velmora", "--nodes", "5", "--flash-dir", flash, "--serial",
                                                      "stdio", "--speed", "max"},
                                       20000, "A5 6\n");
        ASSERT_EQ(given.out, "6\r\n") << given.err;
    }
    const int gdbPort = freePort();
    proc::Child sim(ADUCSIM_PATH, {"velmora", "--nodes", "5", "--flash-dir", flash, "--serial", "tcp:0", "--speed",
                                   "max", "--erase-store", "--gdb", std::to_string(gdbPort)});
    ASSERT_FALSE(sim.waitForLine("serial line: tcp:").empty()) << sim.err();
    ASSERT_TRUE(sim.waitForErr("waiting for gdb")) << sim.err();
    proc::Result g = proc::run("/usr/bin/gdb-multiarch",
                               {"--batch", "-nx", "-ex", "target remote :" + std::to_string(gdbPort), "-ex",
                                "break EE_Format", "-ex", "break received", "-ex", "continue", "-ex", "continue",
                                "-ex", "print MyAddress", "-ex", "delete", "-ex", "detach", VELMORA_ELF},
                               30000);
    EXPECT_NE(g.out.find("Breakpoint 1, EE_Format"), std::string::npos) << "no first boot\n" << g.out << g.err;
    EXPECT_NE(g.out.find("Breakpoint 2, received"), std::string::npos) << g.out << g.err;
    EXPECT_NE(g.out.find("$1 = 1"), std::string::npos) << "not the default address\n" << g.out;
    EXPECT_EQ(sim.stop(), 0) << sim.err();
}

}  // namespace
