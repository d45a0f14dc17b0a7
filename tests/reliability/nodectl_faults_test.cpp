// nodectl against lines that fail it: a port that does not exist, one held
// by another program, something that is no serial line at all, a TCP port
// nobody listens on, a node that never answers and one that goes away in the
// middle. Every command must end with a clear message and a non-zero exit
// code, and none may hang.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#if defined(NODECTL_PATH)  // the host tools are part of the build

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
    int code = -1;  // exit code; -1 when it had to be killed
    std::string out, err;
    double seconds = 0;
};

// Runs nodectl with stdin at end of file, killed after `limit` seconds.
Outcome nodectl(const std::vector<std::string>& args, double limit = 8.0,
            const std::function<void(double)>& meanwhile = nullptr) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv{const_cast<char*>(NODECTL_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(NODECTL_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Outcome r;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        if (meanwhile) meanwhile(elapsed);
        if (elapsed > limit && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(fds, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buf, size_t(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    close(err[0]);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.code = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A pseudo-terminal whose far end is held open and drained, but never answers.
struct SilentLine {
    int master = -1, slave = -1;
    std::string path;
    std::atomic<bool> stop{false};
    std::thread drain;
    SilentLine() {
        char name[128];
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        // nodectl must not inherit the far end, or closing it here would not hang up.
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        path = name;
        drain = std::thread([this] {
            char buf[256];
            while (!stop) {
                pollfd p{master, POLLIN, 0};
                if (poll(&p, 1, 20) > 0 && read(master, buf, sizeof buf) < 0) return;
            }
        });
    }
    // The far end goes away (a USB adapter pulled out).
    void hangUp() {
        stop = true;
        if (drain.joinable()) drain.join();
        if (master >= 0) close(master);
        master = -1;
    }
    ~SilentLine() {
        hangUp();
        close(slave);
    }
};

// Every command of both nodes with valid arguments, kept short.
const std::vector<std::vector<std::string>> kCommands = {
    {"velmora", "read"},
    {"velmora", "set", "100", "--settle-ms", "50"},
    {"velmora", "set-code", "100", "--settle-ms", "50"},
    {"velmora", "on", "--settle-ms", "50"},
    {"velmora", "off", "--settle-ms", "50"},
    {"velmora", "calibrate", "1000", "--settle-ms", "50"},
    {"velmora", "dump"},
    {"velmora", "address"},
    {"velmora", "address", "7"},
    {"velmora", "reset", "--settle-ms", "50"},
    {"velmora", "scan", "--to", "3", "--per-address-ms", "20"},
    {"velmora", "monitor", "--count", "2", "--interval-ms", "20"},
    {"velmora", "raw", "H1"},
    {"tavlo", "identify"},
    {"tavlo", "select"},
    {"tavlo", "trigger"},
    {"tavlo", "read"},
    {"tavlo", "list"},
    {"tavlo", "averaging"},
    {"tavlo", "averaging", "3"},
    {"tavlo", "settle"},
    {"tavlo", "settle", "9"},
    {"tavlo", "version"},
    {"tavlo", "acquire", "1"},
};

std::string show(const std::vector<std::string>& args) {
    std::string s;
    for (const auto& a : args) s += a + " ";
    return s;
}

// The message goes to stderr; a scan reports what it found (nothing) on stdout.
void expectFails(const std::vector<std::string>& port, int code, const std::vector<std::string>& messages, double limit,
                 const std::vector<std::vector<std::string>>& commands = kCommands) {
    for (const auto& cmd : commands) {
        std::vector<std::string> args = port;
        args.insert(args.end(), cmd.begin(), cmd.end());
        const Outcome r = nodectl(args, limit);
        EXPECT_NE(r.code, -1) << show(args) << "hung for " << limit << " s";
        EXPECT_EQ(r.code, code) << show(args) << "\n" << r.err;
        const std::string said = r.err + r.out;
        bool named = false;
        for (const std::string& m : messages) named |= said.find(m) != std::string::npos;
        EXPECT_TRUE(named) << show(args) << "\n" << said;
    }
}

TEST(NodectlFaults, PortsThatCannotBeUsed) {
    const std::vector<std::vector<std::string>> some = {kCommands[0], kCommands[10], kCommands[13], kCommands[22]};
    expectFails({"-p", "/dev/reliab-no-such-port"}, 3, {"/dev/reliab-no-such-port"}, 3.0);
    expectFails({"-p", "/"}, 3, {"/"}, 3.0, some);  // a directory
    const std::string file = (std::filesystem::temp_directory_path() / "reliab-not-a-line").string();
    { std::ofstream(file) << "x"; }
    expectFails({"-p", file}, 3, {file}, 3.0, some);
    std::filesystem::remove(file);
    expectFails({"-p", "tcp:127.0.0.1:1"}, 3, {"127.0.0.1"}, 3.0, some);  // nobody listens there
}

TEST(NodectlFaults, PortHeldByAnotherProgram) {
    SilentLine line;
    const int holder = open(line.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    expectFails({"-p", line.path}, 3, {"held by another program"}, 3.0);
    std::vector<std::string> term = {"-p", line.path, "velmora", "term"};
    const Outcome r = nodectl(term, 3.0);
    EXPECT_EQ(r.code, 3) << r.err;
    close(holder);
}

TEST(NodectlFaults, NodeThatNeverAnswers) {
    SilentLine line;
    // Each command waits at most a few time-outs of 100 ms; none may wait for ever.
    expectFails({"-p", line.path, "-t", "100"}, 4, {"reply", "answer"}, 6.0,
                {kCommands[0], kCommands[1], kCommands[2], kCommands[3], kCommands[5], kCommands[6],
                 kCommands[7], kCommands[8], kCommands[9], kCommands[10], kCommands[11], kCommands[12],
                 kCommands[13], kCommands[14], kCommands[16], kCommands[17], kCommands[18], kCommands[19],
                 kCommands[20], kCommands[21], kCommands[22], kCommands[23]});
}

TEST(NodectlFaults, NodeThatGoesAwayMidway) {
    for (const auto& cmd : std::vector<std::vector<std::string>>{
             {"velmora", "monitor", "--count", "1000", "--interval-ms", "20"},
             {"velmora", "scan", "--per-address-ms", "20"},
             {"tavlo", "acquire", "50"}}) {
        SilentLine line;
        std::vector<std::string> args = {"-p", line.path, "-t", "100"};
        args.insert(args.end(), cmd.begin(), cmd.end());
        // The line's far end closes 0.3 s into the run.
        const Outcome r = nodectl(args, 8.0, [&](double t) {
            if (t > 0.3 && line.master >= 0) line.hangUp();
        });
        EXPECT_NE(r.code, -1) << show(args) << "hung after the line went away";
        EXPECT_NE(r.code, 0) << show(args) << r.out;
        EXPECT_FALSE(r.err.empty()) << show(args);
        EXPECT_LT(r.seconds, 5.0) << show(args);
    }
}

}  // namespace

#endif  // NODECTL_PATH
