// The nodes aducsim runs: their images, flash files, boards and the line
// that joins them to the host.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/bus.h"
#include "core/machine.h"
#include "core/time.h"

namespace aducsim {

struct Config {
    std::string kind;      // "velmora" or "tavlo"
    std::string image;     // ELF; empty: the built one
    std::string nodesArg;  // --nodes as given
    std::string flashDir;
    std::vector<std::string> params;  // NAME=VALUE
    std::string vcdPath;
    bool eraseStore = false;  // velmora: start with an erased parameter store
    std::function<void(const std::string&)> log;     // progress, may be silenced
    std::function<void(const std::string&)> report;  // what the firmware did wrong
};

// The line between the host and the simulated nodes.
class Line {
public:
    virtual ~Line() = default;
    virtual std::string describe() const = 0;
    virtual sim::Ticks now() const = 0;
    // One character (10 bits) at the line's rate.
    virtual sim::Ticks charTime() const = 0;
    // Queues the host's bytes after any it still sends; returns the end of the last.
    virtual sim::Ticks hostSend(const std::string& bytes) = 0;
    // Holds the host's line at space for `duration` (a break) after what it sent.
    virtual sim::Ticks hostBreak(sim::Ticks duration) = 0;
    // The rate the host sends at (its own settings); the nodes' rate by default.
    virtual void setHostBaud(double baud) = 0;
    // Runs every node to t; false when one faulted (see fault()).
    virtual bool runTo(sim::Ticks t) = 0;
    virtual std::string fault() const = 0;
    // Everything the host has received so far.
    virtual const std::vector<sim::LineByte>& hostReceived() const = 0;
    virtual void finish() = 0;
    // The simulated nodes, for a debugger.
    virtual size_t nodeCount() const = 0;
    virtual sim::Machine& machine(size_t i) = 0;
    // A node by the name reports give it: velmora its present address,
    // tavlo its unit number (1..N, also the address it answers at).
    virtual std::optional<size_t> findNode(unsigned name) const = 0;
    virtual unsigned nodeName(size_t i) const = 0;
    // The node a debugger holds: the line stops and goes with it.
    virtual void setLead(size_t i) = 0;
    // Erases node i's parameter store, so that its next start is a first
    // boot (velmora; tavlo keeps nothing in flash).
    virtual void eraseStore(size_t) {}
};

// Builds the nodes of cfg.kind; throws std::runtime_error with a message
// for the operator.
std::unique_ptr<Line> makeLine(const Config& cfg);
std::string describeParams(const std::string& kind);

}  // namespace aducsim
