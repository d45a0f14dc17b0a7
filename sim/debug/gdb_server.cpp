// The GDB remote protocol (all-stop, one thread) over a loopback TCP socket.
//
// Registers follow GDB's ARM target description: r0..r12, sp, lr, pc, then
// cpsr as register 25 (numbers 16..24 were the FPA registers, which this
// core has not), then our own feature with the SPSR and the banked SP and
// LR of every mode, so `info registers sp_irq` shows the interrupt stack.
//
// While the debugger lets the core run we run it in slices of virtual time
// sized to a few milliseconds of wall time, and look for Ctrl-C (a raw 0x03
// byte) between slices. Nothing else advances the Machine: a halted core
// keeps its virtual time.
//
// The connection, the packet framing and the session loop are here; the
// rest of a session is in the files gdb_session.h names.

#include "debug/gdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "debug/gdb_session.h"

namespace sim {

using namespace gdb;

bool GdbServer::Impl::accept(int timeoutMs) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd = c;
    noAck = false;
    running = interrupt = false;
    in.clear();
    lastSent.clear();
    lastStop = "S05";
    ended.reset();
    // Chip reports go to the debugger's console as well.
    savedOnReport = m.chip().onReport;
    m.chip().onReport = [this](const std::string& r) {
        if (savedOnReport) savedOnReport(r);
        if (reports.size() < kMaxReports) reports.push_back(r);
        else ++droppedReports;
    };
    savedStopOnReset = m.stopOnReset;
    m.stopOnReset = true;
    log("debugger connected");
    return true;
}

void GdbServer::Impl::endSession(End how) {
    for (const auto& [addr, hw] : breaks) m.removeBreakpoint(addr);
    breaks.clear();
    for (const auto& w : watches) m.removeWatchpoint(w.addr, w.len, w.access);
    watches.clear();
    m.chip().onReport = savedOnReport;
    m.stopOnReset = savedStopOnReset;
    reports.clear();
    if (fd >= 0) ::close(fd);
    fd = -1;
    running = false;
    ended = how;
    log(how == End::Detached ? "debugger detached" : how == End::Killed ? "debugger killed the program"
                                                                       : "debugger connection ended");
}

// Reads what has arrived; false when the connection is gone.
bool GdbServer::Impl::receive(int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR;
    if (r == 0) return true;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
    in.append(buf, size_t(n));
    return true;
}

void GdbServer::Impl::sendRaw(const std::string& s) {
    size_t done = 0;
    while (done < s.size() && fd >= 0) {
        ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a dead connection shows on the next receive
        }
        done += size_t(n);
    }
}

void GdbServer::Impl::send(const std::string& payload) {
    unsigned sum = 0;
    for (unsigned char c : payload) sum += c;
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFF);
    lastSent = "$" + payload + tail;
    log("-> " + (payload.size() > 200 ? payload.substr(0, 200) + "..." : payload));
    sendRaw(lastSent);
}

void GdbServer::Impl::console(const std::string& text) {
    for (size_t i = 0; i < text.size(); i += 400) send("O" + hexText(text.substr(i, 400)));
}

// The next whole packet, if one has arrived; acks, retransmission
// requests and Ctrl-C are taken on the way.
std::optional<std::string> GdbServer::Impl::nextPacket() {
    while (!in.empty()) {
        char c = in[0];
        if (c != '$') {
            in.erase(0, 1);
            if (c == '-' && !lastSent.empty()) sendRaw(lastSent);
            if (c == 0x03) interrupt = true;
            continue;
        }
        size_t hash = in.find('#');
        if (hash == std::string::npos || hash + 2 >= in.size()) return std::nullopt;
        std::string payload = in.substr(1, hash - 1);
        auto sum = parseHex(in.substr(hash + 1, 2));
        in.erase(0, hash + 3);
        unsigned mine = 0;
        for (unsigned char b : payload) mine += b;
        bool good = sum && *sum == (mine & 0xFF);
        if (!noAck) sendRaw(good ? "+" : "-");
        if (!good) continue;
        log("<- " + (payload.size() > 200 ? payload.substr(0, 200) + "..." : payload));
        return payload;
    }
    return std::nullopt;
}

bool GdbServer::Impl::poll(int timeoutMs) {
    if (fd < 0) {
        if (stopFlag || !accept(timeoutMs)) return false;
    }
    if (running) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        while (running && !stopFlag) {
            if (!receive(0)) return lost();
            while (auto pkt = nextPacket()) handle(*pkt);  // only acks are expected now
            if (fd < 0) return false;
            if (interrupt) {
                interrupt = false;
                reportStop(kSigInt);
                break;
            }
            runSlice();
            if (std::chrono::steady_clock::now() > until) break;
        }
    } else {
        if (!receive(timeoutMs)) return lost();
    }
    while (fd >= 0 && !running) {
        auto pkt = nextPacket();
        if (!pkt) break;
        handle(*pkt);
    }
    interrupt = interrupt && running;  // Ctrl-C with the core already halted is moot
    return fd >= 0;
}

bool GdbServer::Impl::lost() {
    endSession(End::Disconnected);
    return false;
}

GdbServer::GdbServer(Machine& m, uint16_t port) : impl_(std::make_unique<Impl>(*this, m)) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) throw SimError(std::string("gdb server: socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never reachable from other hosts
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(s, 1) < 0) {
        std::string why = std::strerror(errno);
        ::close(s);
        throw SimError("gdb server: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    impl_->listenFd = s;
    impl_->port = ntohs(a.sin_port);
}

GdbServer::~GdbServer() {
    if (impl_->fd >= 0) impl_->endSession(End::Stopped);
    if (impl_->listenFd >= 0) ::close(impl_->listenFd);
}

uint16_t GdbServer::port() const { return impl_->port; }
bool GdbServer::poll(int timeoutMs) { return impl_->poll(timeoutMs); }
bool GdbServer::attached() const { return impl_->fd >= 0; }
bool GdbServer::running() const { return impl_->running; }
std::optional<GdbServer::End> GdbServer::lastEnd() const { return impl_->ended; }
void GdbServer::stop() { impl_->stopFlag = true; }

GdbServer::End GdbServer::serve() {
    impl_->ended.reset();
    while (!impl_->stopFlag) {
        impl_->poll(100);
        if (impl_->ended) return *impl_->ended;
    }
    if (impl_->fd >= 0) impl_->endSession(End::Stopped);
    return End::Stopped;
}

GdbServer::End serveGdb(Machine& m, uint16_t port, const std::function<void(uint16_t)>& listening) {
    GdbServer server(m, port);
    if (listening) listening(server.port());
    return server.serve();
}

}  // namespace sim
