#include "host_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

// Standard termios rates, for a pty's speed setting.
constexpr struct { speed_t code; double baud; } kRates[] = {
    {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

// Where a symlink points; empty when path is no symlink.
std::string linkTarget(const std::string& path) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// A link may replace only a link of its own kind left behind by a run that
// ended without cleaning up: one to a pseudo-terminal that is gone. Anything
// else at the path (a file, a folder, a live line) is refused.
bool linkPathFree(const std::string& link, std::string& err) {
    struct stat st {};
    if (lstat(link.c_str(), &st) != 0) return true;
    if (!S_ISLNK(st.st_mode)) {
        err = "--link " + link + ": the path exists and is not a link to a line; choose another path";
        return false;
    }
    const std::string target = linkTarget(link);
    if (target.rfind("/dev/pts/", 0) != 0) {
        err = "--link " + link + ": the path is a link to " + target + ", not to a line; choose another path";
        return false;
    }
    if (stat(link.c_str(), &st) == 0) {
        err = "--link " + link + ": the link is in use for " + target +
              " (another aducsim?); remove it if it is left over";
        return false;
    }
    return true;
}

void makeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

class PtyPort : public HostPort {
public:
    PtyPort(int master, int slave, std::string name, std::string link)
        : master_(master), slave_(slave), name_(std::move(name)), link_(std::move(link)) {}
    ~PtyPort() override {
        // Only while the link still leads here: another program may have
        // taken the name since.
        if (!link_.empty() && linkTarget(link_) == name_) unlink(link_.c_str());
        close(slave_);
        close(master_);
    }
    std::string address() const override { return name_; }
    std::vector<uint8_t> read(size_t max) override {
        std::vector<uint8_t> out;
        uint8_t buf[256];
        while (out.size() < max) {
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, max - out.size()));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    void write(const uint8_t* data, size_t n) override {
        while (n > 0) {
            ssize_t k = ::write(master_, data, n);
            if (k < 0 && errno == EINTR) continue;
            // A full buffer means nobody reads the line: like a real line
            // with nobody listening, the bytes are gone (the run goes on).
            if (k <= 0) return;
            data += k;
            n -= size_t(k);
        }
    }
    void wait(int timeoutMs) override {
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, timeoutMs);
    }
    // A pty carries no bits, but its settings hold the rate the host chose
    // (tcsetattr on its end); a host at the wrong rate is heard as one.
    double baud() const override {
        termios t;
        if (tcgetattr(slave_, &t) != 0) return 0;
        const speed_t s = cfgetospeed(&t);
        for (const auto& r : kRates)
            if (r.code == s) return r.baud;
        return 0;
    }
    void offerBaud(double lineBaud) override {
        termios t;
        if (tcgetattr(slave_, &t) != 0) return;
        const auto* best = &kRates[0];
        for (const auto& r : kRates)
            if (std::fabs(r.baud - lineBaud) < std::fabs(best->baud - lineBaud)) best = &r;
        cfsetspeed(&t, best->code);
        tcsetattr(slave_, TCSANOW, &t);
    }

private:
    int master_, slave_;
    std::string name_, link_;
};

class TcpPort : public HostPort {
public:
    TcpPort(int listener, uint16_t port) : listen_(listener), port_(port) {}
    ~TcpPort() override {
        if (client_ >= 0) close(client_);
        close(listen_);
    }
    std::string address() const override { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<uint8_t> read(size_t max) override {
        accept();
        std::vector<uint8_t> out;
        if (client_ < 0) return out;
        uint8_t buf[256];
        while (out.size() < max) {
            ssize_t n = ::recv(client_, buf, std::min(sizeof buf, max - out.size()), MSG_DONTWAIT);
            if (n == 0) { close(client_); client_ = -1; break; }  // host went away
            if (n < 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    void write(const uint8_t* data, size_t n) override {
        if (client_ < 0) return;
        if (::send(client_, data, n, MSG_NOSIGNAL) < 0 && errno != EAGAIN) { close(client_); client_ = -1; }
    }
    void wait(int timeoutMs) override {
        pollfd p{client_ >= 0 ? client_ : listen_, POLLIN, 0};
        poll(&p, 1, timeoutMs);
    }

private:
    void accept() {
        int c = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK);
        if (c < 0) return;
        if (client_ >= 0) close(client_);  // the newest host takes the line
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        client_ = c;
    }
    int listen_;
    int client_ = -1;
    uint16_t port_;
};

class StdioPort : public HostPort {
public:
    StdioPort() {
        tty_ = isatty(0) && tcgetattr(0, &saved_) == 0;
        if (tty_) {
            termios t = saved_;
            cfmakeraw(&t);
            t.c_oflag |= OPOST | ONLCR;  // the node's CR LF shows as lines
            tcsetattr(0, TCSANOW, &t);
        }
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    }
    ~StdioPort() override {
        if (tty_) tcsetattr(0, TCSANOW, &saved_);
    }
    std::string address() const override { return "terminal (Ctrl-] quits, Ctrl-\\ sends a break)"; }
    std::vector<uint8_t> read(size_t max) override {
        std::vector<uint8_t> out;
        uint8_t buf[256];
        ssize_t n = -1;
        while (out.size() < max && (n = ::read(0, buf, std::min(sizeof buf, max - out.size()))) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] == 0x1D) { quit_ = true; continue; }  // Ctrl-]
                if (buf[i] == 0x1C && tty_) { break_ = true; continue; }  // Ctrl-\, typed only
                out.push_back(buf[i] == '\n' ? '\r' : buf[i]);   // Enter sends CR
            }
        }
        if (n == 0 && !tty_) ended_ = true;  // end of piped input
        return out;
    }
    void write(const uint8_t* data, size_t n) override {
        while (n > 0) {
            ssize_t k = ::write(1, data, n);
            if (k <= 0) return;
            data += k;
            n -= size_t(k);
        }
    }
    void wait(int timeoutMs) override {
        if (ended_) {
            poll(nullptr, 0, timeoutMs);  // a closed input is always readable
            return;
        }
        pollfd p{0, POLLIN, 0};
        poll(&p, 1, timeoutMs);
    }
    bool quitRequested() const override { return quit_; }
    bool takeBreak() override { return std::exchange(break_, false); }
    bool inputEnded() const override { return ended_; }
    bool paced() const override { return !tty_; }

private:
    termios saved_{};
    bool tty_ = false;
    bool quit_ = false;
    bool break_ = false;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<HostPort> HostPort::open(const std::string& kind, const std::string& link, std::string& err) {
    if (kind == "pty") {
        int m = posix_openpt(O_RDWR | O_NOCTTY);
        if (m < 0) { err = sysError("cannot create a pseudo-terminal"); return nullptr; }
        if (grantpt(m) != 0 || unlockpt(m) != 0) { err = sysError("cannot unlock the pseudo-terminal"); close(m); return nullptr; }
        const char* name = ptsname(m);
        if (!name) { err = sysError("ptsname"); close(m); return nullptr; }
        std::string n = name;
        // Keep the other end open ourselves, in raw mode with echo off, so the
        // line keeps its settings and a host may come and go.
        int s = ::open(n.c_str(), O_RDWR | O_NOCTTY);
        if (s < 0) { err = sysError("cannot open " + n); close(m); return nullptr; }
        makeRaw(s);
        makeRaw(m);
        fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
        if (!link.empty()) {
            if (!linkPathFree(link, err)) {
                close(s);
                close(m);
                return nullptr;
            }
            unlink(link.c_str());  // a stale link to a vanished line
            if (symlink(n.c_str(), link.c_str()) != 0) {
                err = sysError("cannot create the link " + link);
                close(s);
                close(m);
                return nullptr;
            }
        }
        return std::make_unique<PtyPort>(m, s, n, link);
    }
    if (kind.rfind("tcp:", 0) == 0) {
        char* end = nullptr;
        long port = std::strtol(kind.c_str() + 4, &end, 10);
        if (kind.size() == 4 || *end || port < 0 || port > 65535) { err = "bad TCP port in '" + kind + "'"; return nullptr; }
        int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (l < 0) { err = sysError("socket"); return nullptr; }
        int one = 1;
        setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only
        if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 1) != 0) {
            err = sysError("cannot listen on 127.0.0.1:" + std::to_string(port));
            close(l);
            return nullptr;
        }
        socklen_t len = sizeof a;
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
        return std::make_unique<TcpPort>(l, ntohs(a.sin_port));
    }
    if (kind == "stdio") return std::make_unique<StdioPort>();
    err = "unknown serial line '" + kind + "' (use pty, tcp:PORT or stdio)";
    return nullptr;
}

}  // namespace sim
