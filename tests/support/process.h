// Programs as the tests run them: to completion with a time limit, or in the
// background (a simulator) until the test stops them. Every child is killed
// when its owner goes away, so a failing test leaves nothing running.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace proc {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Result {
    int code = -1;          // exit status; -1 when killed by a signal
    bool timedOut = false;  // killed at the time limit
    std::string out, err;
    double seconds = 0;     // wall time it ran
};

namespace detail {

inline pid_t spawn(const std::string& path, const std::vector<std::string>& args, int in, int out, int err) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::setpgid(0, 0);  // its own group: a kill reaches what it starts too
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        ::unsetenv("NODECTL_PORT");
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for pid up to the deadline; false if it is still running.
inline bool waitUntil(pid_t pid, Clock::time_point deadline, int& status) {
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

inline int exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace detail

// Runs a program to its end, feeding it `input`; kills it after timeoutMs.
inline Result run(const std::string& path, const std::vector<std::string>& args, int timeoutMs = 20000,
                  const std::string& input = "") {
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) || ::pipe(err)) throw std::runtime_error("pipe");
    const auto start = Clock::now();
    const pid_t pid = detail::spawn(path, args, in[0], out[1], err[1]);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    Result r;
    const auto deadline = start + milliseconds(timeoutMs);
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            r.timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        if (::poll(p, 2, int(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(p[i].fd);
                p[i].fd = -1;
                --open;
            } else {
                (i ? r.err : r.out).append(buf, size_t(n));
            }
        }
    }
    for (auto& q : p)
        if (q.fd >= 0) ::close(q.fd);
    int status = 0;
    if (!detail::waitUntil(pid, Clock::now() + milliseconds(2000), status)) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        r.timedOut = true;
    }
    r.code = detail::exitCode(status);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

// A program running in the background; its output is collected as it comes.
class Child {
public:
    Child(const std::string& path, const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe(out) || ::pipe(err)) throw std::runtime_error("pipe");
        const int devnull = ::open("/dev/null", O_RDONLY);
        pid_ = detail::spawn(path, args, devnull, out[1], err[1]);
        ::close(devnull);
        ::close(out[1]);
        ::close(err[1]);
        reader_ = std::thread([this, o = out[0], e = err[0]] { collect(o, e); });
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        if (reader_.joinable()) reader_.join();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() {
        std::lock_guard<std::mutex> g(m_);
        return out_;
    }
    std::string err() {
        std::lock_guard<std::mutex> g(m_);
        return err_;
    }
    // The rest of the first stdout line that starts with prefix; empty when
    // none came within timeoutMs or the program ended first.
    std::string waitForLine(const std::string& prefix, int timeoutMs = 20000) {
        const auto deadline = Clock::now() + milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            const std::string o = out();
            for (size_t pos = 0; pos < o.size();) {
                const size_t nl = o.find('\n', pos);
                if (nl == std::string::npos) break;
                if (o.compare(pos, prefix.size(), prefix) == 0) return o.substr(pos + prefix.size(), nl - pos - prefix.size());
                pos = nl + 1;
            }
            if (ended()) return {};
            std::this_thread::sleep_for(milliseconds(10));
        }
        return {};
    }
    // Until stderr holds `text`; false at the time limit.
    bool waitForErr(const std::string& text, int timeoutMs = 10000) {
        const auto deadline = Clock::now() + milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (err().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }
    bool ended() {
        if (pid_ <= 0) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            code_ = detail::exitCode(status);
            return true;
        }
        return false;
    }
    // Sends sig and waits for the end; SIGKILL after timeoutMs. Returns the
    // exit status, -1 when it had to be killed or died of a signal.
    int stop(int sig = SIGINT, int timeoutMs = 5000) {
        if (pid_ > 0) {
            ::kill(pid_, sig);
            int status = 0;
            if (!detail::waitUntil(pid_, Clock::now() + milliseconds(timeoutMs), status)) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                status = -1;
            }
            pid_ = 0;
            code_ = status == -1 ? -1 : detail::exitCode(status);
        }
        if (reader_.joinable()) reader_.join();
        return code_;
    }

private:
    void collect(int o, int e) {
        pollfd p[2] = {{o, POLLIN, 0}, {e, POLLIN, 0}};
        int open = 2;
        while (open > 0) {
            if (::poll(p, 2, 100) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
                char buf[4096];
                const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    ::close(p[i].fd);
                    p[i].fd = -1;
                    --open;
                } else {
                    std::lock_guard<std::mutex> g(m_);
                    (i ? err_ : out_).append(buf, size_t(n));
                }
            }
        }
    }

    pid_t pid_ = 0;
    int code_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::string out_, err_;
};

// A fresh folder, removed with everything in it at the end of the test.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "aducsim-test.XXXXXX").string();
        if (!::mkdtemp(t.data())) throw std::runtime_error("mkdtemp");
        path = t;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

}  // namespace proc
