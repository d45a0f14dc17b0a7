// The simulator's end of the line to a host: a pseudo-terminal, a TCP
// listener on the loopback interface, or the controlling terminal.
#pragma once
#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class HostPort {
public:
    virtual ~HostPort() = default;
    // kind: "pty", "tcp:PORT" or "stdio". link: optional symlink to the pty.
    // Returns null and sets err on failure.
    static std::unique_ptr<HostPort> open(const std::string& kind, const std::string& link, std::string& err);

    // What a host connects to, e.g. "/dev/pts/5" or "127.0.0.1:5000".
    virtual std::string address() const = 0;
    // Bytes the host sent since the last call, at most max (never blocks).
    // What is not taken stays with the host's side, which may then block.
    virtual std::vector<uint8_t> read(size_t max = SIZE_MAX) = 0;
    // Bytes to the host; dropped while no host is connected.
    virtual void write(const uint8_t* data, size_t n) = 0;
    // Waits up to timeoutMs for input from the host (or a connection).
    virtual void wait(int timeoutMs) = 0;
    // The operator asked to quit (Ctrl-] on the terminal).
    virtual bool quitRequested() const { return false; }
    // The operator asked for a break on the line (Ctrl-\ on the terminal)
    // since the last call.
    virtual bool takeBreak() { return false; }
    // The host's input has ended for good (stdio from a file or pipe).
    virtual bool inputEnded() const { return false; }
    // The rate the host has set on its end of the line, 0 when the line has
    // none (TCP, terminal). A pty starts at `lineBaud` (offerBaud), so a host
    // that sets no rate talks at the nodes' own.
    virtual double baud() const { return 0; }
    virtual void offerBaud(double lineBaud) {}
    // The input is not typed but comes from a file or pipe (stdio): it is
    // sent a line at a time, as an operator would.
    virtual bool paced() const { return false; }
};

}  // namespace sim
