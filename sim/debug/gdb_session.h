// One debugger session: the state GdbServer keeps while a debugger is
// connected, and the parts that serve it. The connection, packet framing and
// session loop are in gdb_server.cpp; registers, memory, breakpoints and
// watchpoints in gdb_target.cpp; running, stepping and stop replies in
// gdb_run.cpp; the packets and `monitor` commands in gdb_commands.cpp.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/machine.h"
#include "debug/gdb_server.h"
#include "debug/gdb_wire.h"

namespace sim {

namespace gdb {

constexpr size_t kPacketSize = 0x1000;   // what we announce and accept
constexpr size_t kMaxReports = 40;       // chip reports forwarded per stop

// Signals in stop replies.
// (GDB's own numbering.) A reset is reported as a power failure: a signal
// GDB always stops for, even in the middle of stepping over a breakpoint.
constexpr int kSigInt = 2, kSigTrap = 5, kSigSegv = 11, kSigPwr = 32;

// Our register numbers (GDB's, from the target description in gdb_target.cpp).
constexpr int kRegCpsr = 25, kRegSpsr = 26, kRegBanked = 27;
constexpr Mode kBankedModes[] = {Mode::User, Mode::Supervisor, Mode::Abort, Mode::Undefined, Mode::Irq, Mode::Fiq};
constexpr const char* kBankedNames[] = {"usr", "svc", "abt", "und", "irq", "fiq"};
constexpr int kRegLast = kRegBanked + 2 * 6 - 1;

// The target description GDB reads with qXfer:features:read.
std::string targetXml();

}  // namespace gdb

struct GdbServer::Impl {
    GdbServer& self;
    Machine& m;
    int listenFd = -1;
    int fd = -1;
    uint16_t port = 0;
    bool noAck = false;
    bool running = false;
    bool interrupt = false;
    std::string in;        // received, not yet handled
    std::string lastSent;  // for a retransmission request
    std::string lastStop = "S05";
    std::atomic<bool> stopFlag{false};
    std::optional<End> ended;
    std::map<uint32_t, bool> breaks;  // address -> set as a hardware breakpoint
    struct Watch { uint32_t addr, len; Machine::Access access; };
    std::vector<Watch> watches;
    Ticks slice = fromMillis(1);
    std::vector<std::string> reports;
    size_t droppedReports = 0;
    std::function<void(const std::string&)> savedOnReport;
    bool savedStopOnReset = false;

    Impl(GdbServer& s, Machine& mach) : self(s), m(mach) {}

    void log(const std::string& line) {
        if (self.trace) self.trace(line);
    }

    // ---- Connection (gdb_server.cpp) ----

    bool accept(int timeoutMs);

    void endSession(End how);

    // Reads what has arrived; false when the connection is gone.
    bool receive(int timeoutMs);

    void sendRaw(const std::string& s);

    void send(const std::string& payload);

    void console(const std::string& text);

    // The next whole packet, if one has arrived; acks, retransmission
    // requests and Ctrl-C are taken on the way.
    std::optional<std::string> nextPacket();

    // ---- Registers, memory, breakpoints (gdb_target.cpp) ----

    uint32_t banked(Mode mode, int r);

    void setBanked(Mode mode, int r, uint32_t v);

    bool hasSpsr() { return m.mode() != Mode::User && m.mode() != Mode::System; }

    std::optional<uint32_t> readReg(int n);

    bool writeReg(int n, uint32_t v);

    std::vector<int> allRegs();

    // Registers read through the models, as the core would read them (with
    // their side effects); words no block answers read as 0.
    std::optional<std::vector<uint8_t>> readMemory(uint32_t addr, uint32_t len);

    // RAM as is; flash is patched in place (the simulator's flash array,
    // not through the flash controller); registers take aligned words only.
    bool writeMemory(uint32_t addr, const std::vector<uint8_t>& bytes);

    void breakpointPacket(const std::string& p);

    // ---- Running and stops (gdb_run.cpp) ----

    void flushReports();

    std::string expedited();

    void reportStop(int signal, const std::string& reason = "");

    void reportWatch();

    // Reports how a run or step ended; returns false when the core runs on.
    bool stopFor(const RunResult& r, bool stepping);

    void step() { stopFor(m.step(), true); }

    void resume(std::optional<uint32_t> addr);

    // One slice of a resumed core; the slice follows the wall time it took.
    void runSlice();

    // ---- Packets and monitor commands (gdb_commands.cpp) ----

    std::string monitor(const std::string& line);

    void handle(const std::string& p);

    void dispatch(const std::string& p);

    void vPacket(const std::string& p);

    void query(const std::string& p);

    // ---- Session loop (gdb_server.cpp) ----

    bool poll(int timeoutMs);

    bool lost();
};

}  // namespace sim
