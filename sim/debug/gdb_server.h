// GDB remote-protocol server for one simulated chip: Debian's gdb-multiarch
// connects over TCP (127.0.0.1 only) with the image's ELF and debugs the
// firmware as it runs on the Machine: registers (with the current mode's
// banked SP and LR), memory, breakpoints, watchpoints, single steps in ARM
// and Thumb state, Ctrl-C, and `monitor` commands for the simulator.
//
// The core stays halted while the debugger has it stopped, and so does
// virtual time: timers, the watchdog and serial bytes wait with it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/machine.h"

namespace sim {

class GdbServer {
public:
    enum class End {
        Detached,      // the debugger let go; the core is ready to run on
        Killed,        // the debugger asked to end the program
        Disconnected,  // the connection dropped
        Stopped,       // stop() was called
    };

    // Listens on 127.0.0.1:port; port 0 picks a free port (see port()).
    // Throws SimError when the port cannot be had.
    GdbServer(Machine& m, uint16_t port);
    ~GdbServer();
    GdbServer(const GdbServer&) = delete;
    GdbServer& operator=(const GdbServer&) = delete;

    uint16_t port() const;

    // Waits for a debugger and serves it until the session ends. The core
    // does not move until the debugger resumes it.
    End serve();

    // The same in small steps, for a program with its own loop: accepts a
    // debugger when one connects, handles its packets, and while the
    // debugger has the core running runs it for a few milliseconds of wall
    // time. Waits at most timeoutMs for input when there is nothing to run.
    // Returns whether a debugger is attached. While none is, the caller
    // runs the Machine itself.
    bool poll(int timeoutMs);
    bool attached() const;
    bool running() const;  // the debugger has resumed the core
    // How the last session ended.
    std::optional<End> lastEnd() const;

    // Thread-safe: makes serve() return soon with End::Stopped.
    void stop();

    // How the core runs while the debugger lets it go: Machine::runFor by
    // default. A program that runs several stations in step (nodes on one
    // bus) passes a function that advances them all, stops them where this
    // core stopped, and returns how it stopped.
    std::function<RunResult(Ticks slice)> run;

    // Packet trace, one line per packet in ("<- ") and out ("-> ").
    std::function<void(const std::string&)> trace;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One debugger session on port (0 = any free port); listening(port) is
// called once the socket accepts connections.
GdbServer::End serveGdb(Machine& m, uint16_t port, const std::function<void(uint16_t)>& listening = {});

}  // namespace sim
