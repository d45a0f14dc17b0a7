// Running the core for the debugger: resuming, single steps, slices of
// virtual time while it runs, and the stop replies that tell GDB why it
// halted (with the chip's reports on the debugger's console).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "debug/gdb_session.h"

namespace sim {

using namespace gdb;

void GdbServer::Impl::flushReports() {
    for (const auto& r : reports) console("aducsim: " + r + "\n");
    if (droppedReports) console("aducsim: ... and " + std::to_string(droppedReports) + " more reports\n");
    reports.clear();
    droppedReports = 0;
}

std::string GdbServer::Impl::expedited() {
    std::string s;
    for (int n : {int(SP), int(LR), int(PC), kRegCpsr}) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", n);
        s += std::string(b) + ":" + hex32(*readReg(n)) + ";";
    }
    return s;
}

void GdbServer::Impl::reportStop(int signal, const std::string& reason) {
    running = false;
    flushReports();
    char b[4];
    std::snprintf(b, sizeof b, "%02x", signal);
    lastStop = "T" + std::string(b) + expedited() + reason;
    send(lastStop);
}

void GdbServer::Impl::reportWatch() {
    const auto& hit = *m.watchHit();
    // Name the kind of watchpoint GDB set that covers the access.
    const char* kind = "awatch";
    for (const auto& w : watches) {
        if (hit.addr < w.addr || hit.addr >= w.addr + w.len) continue;
        if (w.access == hit.access) {
            kind = hit.access == Machine::Access::Write ? "watch" : "rwatch";
            break;
        }
    }
    char b[16];
    std::snprintf(b, sizeof b, "%x", hit.addr);
    reportStop(kSigTrap, std::string(kind) + ":" + b + ";");
}

// Reports how a run or step ended; returns false when the core runs on.
bool GdbServer::Impl::stopFor(const RunResult& r, bool stepping) {
    switch (r.reason) {
        case StopReason::Time:
            if (!stepping) return false;
            reportStop(kSigTrap);
            return true;
        case StopReason::Breakpoint: {
            auto it = breaks.find(m.pc());
            reportStop(kSigTrap, it != breaks.end() && it->second ? "hwbreak:;" : "swbreak:;");
            return true;
        }
        case StopReason::Watchpoint:
            reportWatch();
            return true;
        case StopReason::Fault: {
            std::string line = "fault: " + r.report;
            reports.erase(std::remove(reports.begin(), reports.end(), line), reports.end());
            reports.push_back(line);
            reportStop(kSigSegv);
            return true;
        }
        case StopReason::Reset:
            reports.push_back(r.report + ": the core is at the reset vector");
            reportStop(kSigPwr);
            return true;
        default:
            reportStop(kSigTrap);
            return true;
    }
}

void GdbServer::Impl::resume(std::optional<uint32_t> addr) {
    if (addr) m.jump((*addr & ~1u) | (m.thumb() ? 1u : 0u));
    // Leave a breakpoint at the current instruction first (GDB steps
    // over its own, but a resumed core must not stop where it stands).
    if (breaks.count(m.pc())) {
        RunResult r = m.step();
        if (r.reason == StopReason::Fault || r.reason == StopReason::Watchpoint || r.reason == StopReason::Reset) {
            stopFor(r, true);
            return;
        }
    }
    running = true;
    interrupt = false;
}

// One slice of a resumed core; the slice follows the wall time it took.
void GdbServer::Impl::runSlice() {
    auto t0 = std::chrono::steady_clock::now();
    RunResult r = self.run ? self.run(slice) : m.runFor(slice);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    if (us < 2000 && slice < fromSeconds(1)) slice *= 2;
    else if (us > 10000 && slice > fromMicros(10)) slice /= 2;
    stopFor(r, false);
}

}  // namespace sim
