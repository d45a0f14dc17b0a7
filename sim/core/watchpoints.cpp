// Watchpoints for the debugger: accesses to watched RAM or flash stop the
// core before the instruction that makes them.
#include "core/machine.h"

#include "core/hooks.h"

namespace sim {

// ---- Debugger support ----

void Machine::setSpsr(uint32_t v) {
    uc_reg_write(uc_, UC_ARM_REG_SPSR, &v);
    hs().idleHaveSnap = false;
}

void Machine::addWatchpoint(uint32_t addr, uint32_t len, Access access) {
    if (len == 0) len = 1;
    uint64_t end = uint64_t(addr) + len;
    bool ram = addr >= kRamBase && end <= kRamBase + kRamSize;
    bool flash = addr >= kFlashBase && end <= kFlashBase + kFlashSize;
    if (!ram && !flash) throw SimError("watchpoint at " + hex(addr) + ": only RAM and flash can be watched");
    watches_.push_back({addr, len, access});
    updateWatchHooks();
}

void Machine::removeWatchpoint(uint32_t addr, uint32_t len, Access access) {
    if (len == 0) len = 1;
    auto it = std::find_if(watches_.begin(), watches_.end(), [&](const Watch& w) {
        return w.addr == addr && w.len == len && w.access == access;
    });
    if (it == watches_.end()) return;
    watches_.erase(it);
    updateWatchHooks();
}

void Machine::clearWatchpoints() {
    watches_.clear();
    updateWatchHooks();
}

void Machine::updateWatchHooks() {
    for (size_t h : watchMemHooks_) uc_hook_del(uc_, h);
    watchMemHooks_.clear();
    for (const auto& w : watches_) {
        int type = w.access == Access::Write ? UC_HOOK_MEM_WRITE
                 : w.access == Access::Read ? UC_HOOK_MEM_READ
                                            : UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE;
        uc_hook h;
        // From 3 bytes below: a word access that starts there overlaps.
        uc_hook_add(uc_, &h, type, reinterpret_cast<void*>(MachineHooks::watchAccess), this,
                    w.addr >= 3 ? w.addr - 3 : 0, w.addr + w.len - 1);
        watchMemHooks_.push_back(h);
    }
    bool trace = !watches_.empty();
    if (trace == (watchCodeHook_ != 0)) return;
    // Whether an instruction is traced is decided when it is translated.
    if (trace) {
        uc_hook h;
        uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::watchTrace), this, 1, 0);
        watchCodeHook_ = h;
    } else {
        uc_hook_del(uc_, watchCodeHook_);
        watchCodeHook_ = 0;
    }
    flushCode();
}

void Machine::resumeAfterWatch() {
    // Continuing from a watchpoint stop: the instruction that hit runs once
    // without triggering again.
    if (watchHit_ && watchHit_->pc == pc()) watchSkipPc_ = pc();
    watchHit_.reset();
}

std::optional<RunResult> Machine::takeWatchStop() {
    if (!watchPending_) return std::nullopt;
    watchPending_ = false;
    // The emulator stopped inside the instruction, right after the access:
    // put back what a store wrote, and resume with the same instruction,
    // which runs whole then. (Should the instruction have completed, the
    // stop simply stands after it.)
    if (pc() == watchHit_->pc)
        for (auto it = watchUndo_.rbegin(); it != watchUndo_.rend(); ++it) ram_[it->first - kRamBase] = it->second;
    watchUndo_.clear();
    const char* what = watchHit_->access == Access::Write ? "write" : "read";
    return RunResult{StopReason::Watchpoint,
                     std::string("watchpoint: ") + what + " of " + hex(watchHit_->addr) + " by " + image_.describe(watchHit_->pc)};
}

}  // namespace sim
