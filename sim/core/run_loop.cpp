// The run loop: slices of emulation between events, runs to a time, a
// condition or an address, calls of firmware routines, single steps and
// breakpoints.
#include "core/machine.h"

#include "core/hooks.h"

namespace sim {

uint32_t Machine::startAddress() {
    auto& s = hs();
    bool t = s.startThumb ? *s.startThumb : thumb();
    s.startThumb.reset();
    return pc() | (t ? 1u : 0u);
}

void Machine::afterSlice() {
    auto& s = hs();
    if (s.resumeAt) {
        uint32_t a = *s.resumeAt;
        uc_reg_write(uc_, UC_ARM_REG_PC, &a);
        s.startThumb = s.resumeThumb;
        s.resumeAt.reset();
    }
}

RunResult Machine::run(Ticks until, const std::function<bool()>* cond, uint32_t stopAddr) {
    lastRun_ = runSlices(until, cond, stopAddr);
    hs().untouched = false;  // good for the one run only
    return lastRun_;
}

RunResult Machine::runSlices(Ticks until, const std::function<bool()>* cond, uint32_t stopAddr) {
    MachineHooks::State& s = hs();
    if (s.stopAddr != stopAddr) {
        clearCodeHooks();
        s.stopAddr = stopAddr;
        updateCodeHooks();
    } else if (!codeHook_ && extraCodeHooks_.empty()) {
        updateCodeHooks();
    }
    s.hitStopAddr = s.hitBreakpoint = false;
    resumeAfterWatch();
    Scheduler& sched = chip_.sched();
    for (;;) {
        if (fault_) return {StopReason::Fault, *fault_};
        // An event (a byte arriving, a conversion ending) may change what a
        // polling loop reads next: its last pass proves nothing any more.
        if (sched.nextDue() <= sched.now()) s.idleHaveSnap = false;
        sched.runDue();
        if (auto r = chip_.takeResetRequest()) {
            if (*r == ResetCause::PowerOn) powerOn(); else doReset(*r);
            if (stopOnReset) return {StopReason::Reset, std::string(toString(*r)) + " reset"};
            continue;
        }
        if (fault_) return {StopReason::Fault, *fault_};
        if (s.hitStopAddr) { s.hitStopAddr = false; return {stopAddr == trapAddr_ ? StopReason::Returned : StopReason::Condition, ""}; }
        if (s.hitBreakpoint) { s.hitBreakpoint = false; return {StopReason::Breakpoint, "breakpoint at " + image_.describe(pc())}; }
        if (auto w = takeWatchStop()) return *w;
        if (cond && (*cond)()) return {StopReason::Condition, ""};
        if (sched.now() >= until) {
            if (cond || stopAddr != ~0u)
                return {StopReason::Limit, "did not finish within the time limit; " + where()};
            return {StopReason::Time, ""};
        }
        chip_.takeStopRequest();
        if (enterInterruptIfPending()) s.untouched = false;
        if (chip_.napping()) {
            // The core is stopped: jump to the next event.
            Ticks next = std::min(sched.nextDue(), until);
            sched.advanceTo(next);
            s.idleHaveSnap = false;
            continue;
        }
        s.stopAt = std::min(sched.nextDue(), until);
        if (s.stopAt <= sched.now()) continue;
        // Events may have run since the core stopped, and the registers a
        // polling loop reads can read differently now. A pass that read
        // some before the stop is measured anew; one that has read nothing
        // yet reads them all afresh and is compared as it is.
        if (s.mmioReads > 0 && !s.untouched) s.idleHaveSnap = false;
        s.untouched = false;
        uc_err err = uc_emu_start(uc_, startAddress(), 0xFFFFFFFEull, 0, 0);
        afterSlice();
        if (onSlice) onSlice();
        if (s.pendingException) {
            handleException();
            if (err == UC_ERR_INSN_INVALID) err = UC_ERR_OK;
        }
        if (err != UC_ERR_OK && !fault_) setFault(std::string("emulator stopped: ") + uc_strerror(err));
    }
}

RunResult Machine::runFor(Ticks duration) { return run(now() + duration, nullptr, ~0u); }

RunResult Machine::continueFor(Ticks duration) {
    // Only a stop on the run's time leaves the core where it would have gone
    // on: any other (an event, a request, a fault) is measured anew anyway.
    hs().untouched = lastRun_.reason == StopReason::Time && hs().stopAddr == ~0u;
    return run(now() + duration, nullptr, ~0u);
}

RunResult Machine::runUntil(const std::function<bool()>& cond, Ticks limit) {
    return run(now() + limit, &cond, ~0u);
}

RunResult Machine::runToSymbol(const std::string& name, Ticks limit) {
    return runToAddress(symbol(name) & ~1u, limit);
}

RunResult Machine::runToAddress(uint32_t addr, Ticks limit) {
    RunResult r = run(now() + limit, nullptr, addr & ~1u);
    if (r.reason == StopReason::Returned) r.reason = StopReason::Condition;
    return r;
}

uint32_t Machine::call(const std::string& routine, std::initializer_list<uint32_t> args, Ticks limit) {
    return callAddress(symbol(routine), args, limit);
}

uint32_t Machine::callAddress(uint32_t addr, std::initializer_list<uint32_t> args, Ticks limit) {
    if (args.size() > 4) throw SimError("call: at most four word arguments");
    uint32_t saved[16];
    for (int i = 0; i < 16; ++i) saved[i] = reg(i);
    uint32_t savedCpsr = cpsr();
    int i = 0;
    for (uint32_t a : args) setReg(i++, a);
    setReg(LR, trapAddr_);
    setReg(PC, addr & ~1u);
    hs().startThumb = (addr & 1) != 0;
    RunResult r = run(now() + limit, nullptr, trapAddr_);
    uint32_t result = reg(0);
    if (r.reason != StopReason::Returned) {
        throw SimError("call of " + image_.describe(addr & ~1u) + ": " +
                       (r.report.empty() ? toString(r.reason) : r.report));
    }
    setCpsr(savedCpsr);
    for (int k = 0; k < 16; ++k) setReg(k, saved[k]);
    hs().startThumb = (savedCpsr & 0x20) != 0;
    return result;
}

RunResult Machine::step() {
    if (fault_) return {StopReason::Fault, *fault_};
    chip_.sched().runDue();
    if (auto r = chip_.takeResetRequest()) {
        if (*r == ResetCause::PowerOn) powerOn(); else doReset(*r);
        return {StopReason::Reset, std::string(toString(*r)) + " reset"};
    }
    chip_.takeStopRequest();
    if (enterInterruptIfPending() && (mode() == Mode::Irq || mode() == Mode::Fiq) && (pc() == 0x18 || pc() == 0x1C))
        return {StopReason::Condition, "interrupt taken"};
    if (chip_.napping()) {
        chip_.sched().advanceTo(chip_.sched().nextDue());
        return {StopReason::Condition, "napping"};
    }
    auto& s = hs();
    s.stopAt = kNever;
    skipBreakAt_ = pc();
    resumeAfterWatch();
    // A code hook stops the core before the second instruction. (The
    // emulator's instruction count would too, but dropping its count hook
    // later flushes every translation: tens of milliseconds each time, and
    // seconds and a gigabyte of memory the first time.)
    uc_hook stepHook;
    uc_hook_add(uc_, &stepHook, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::stepCode), this, 1, 0);
    flushCode();
    s.stepCalls = 0;
    s.stepping = true;
    s.stepCounted = false;
    uc_err err = uc_emu_start(uc_, startAddress(), 0xFFFFFFFEull, 0, 0);
    s.stepping = false;
    uc_hook_del(uc_, stepHook);
    flushCode();  // full speed again for the code the step translated
    afterSlice();
    skipBreakAt_ = ~0u;
    if (hs().pendingException) {
        handleException();
        if (err == UC_ERR_INSN_INVALID) err = UC_ERR_OK;
    }
    if (err != UC_ERR_OK && !fault_) setFault(std::string("emulator stopped: ") + uc_strerror(err));
    if (fault_) return {StopReason::Fault, *fault_};
    if (auto w = takeWatchStop()) return *w;
    return {StopReason::Condition, ""};
}

void Machine::addBreakpoint(uint32_t addr) {
    addr &= ~1u;
    if (std::find(breakpoints_.begin(), breakpoints_.end(), addr) == breakpoints_.end()) breakpoints_.push_back(addr);
    clearCodeHooks();
    updateCodeHooks();
}

void Machine::removeBreakpoint(uint32_t addr) {
    addr &= ~1u;
    breakpoints_.erase(std::remove(breakpoints_.begin(), breakpoints_.end(), addr), breakpoints_.end());
    clearCodeHooks();
    updateCodeHooks();
}

void Machine::clearBreakpoints() {
    breakpoints_.clear();
    clearCodeHooks();
    updateCodeHooks();
}

}  // namespace sim
