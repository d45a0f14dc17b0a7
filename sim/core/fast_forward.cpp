// Fast-forward: stretches of polling whose outcome is known before the
// next event are accounted (time and instructions) without being executed.
// The decoding of timer loops is in timed_loop.cpp.
#include "core/machine.h"

#include "core/hooks.h"
#include "chip/periph/timers.h"

namespace sim {

// A polling loop that finds the chip unchanged leaves the core exactly as it
// was one pass earlier: the same registers, the same RAM, the same register
// values read. Until the next event nothing can change what it reads, so
// the remaining passes up to that event are accounted (time and
// instructions) without being executed. The check runs at the loop's head
// block, the one that reads the register.
bool Machine::idleCheck(uint32_t head) {
    auto& s = hs();
    MachineHooksState::Snapshot now{};
    now.time = chip_.now();
    now.instructions = instructions_;
    now.cycles = cycles_;
    // RAM is the same when the pass ran no store, or when it equals the copy
    // taken at the snapshot; and nobody wrote it from outside the core.
    // Back at the snapshot with nothing run since (the core stopped there):
    // the next pass is measured against it.
    if (s.idleHaveSnap && now.instructions == s.idleSnap.instructions && !ramTouched_) {
        s.idleSnap.time = now.time;
        return false;
    }
    if (s.mmioSpoils) {
        // It reads a count (a timer's loop, see timedSkip) or takes a
        // byte: no fixed point. The next block that polls may be one.
        s.idleHead = s.idleReader = ~0u;
        s.idleHaveSnap = false;
        s.mmioHash = 0;
        s.mmioReads = 0;
        s.mmioSpoils = false;
        return false;
    }
    // The registers cost a call into the emulator each: read only now that
    // the pass may be a fixed point or becomes the snapshot.
    static const int ids[17] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,
                                UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9,
                                UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP,
                                UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_CPSR};
    void* ptrs[17];
    for (int i = 0; i < 17; ++i) ptrs[i] = &now.regs[i];
    uc_reg_read_batch(uc_, const_cast<int*>(ids), ptrs, 17);
    const bool fixed = s.idleHaveSnap && s.mmioReads > 0 && !ramTouched_ &&
                       std::memcmp(now.regs, s.idleSnap.regs, sizeof now.regs) == 0 &&
                       (!s.passStores ||
                        (s.snapRamValid && std::memcmp(ram_.data(), s.snapRam.data(), kRamSize) == 0));
    bool skipped = false;
    if (fixed) {
        Ticks period = now.time - s.idleSnap.time;
        uint64_t instr = now.instructions - s.idleSnap.instructions;
        if (period > 0 && s.stopAt != kNever && s.stopAt > now.time) {
            // Whole passes that end before the next event; the last, partial
            // pass runs for real so the core stops where it would have.
            uint64_t passes = (s.stopAt - now.time) / period;
            if (passes > 0) {
                chip_.sched().setNow(now.time + passes * period);
                cycles_ += passes * (now.cycles - s.idleSnap.cycles);
                instructions_ += passes * instr;
                s.idleSkipped += passes * instr;
                skipped = true;
            }
        }
        s.idleMisses = 0;
        // The state is the snapshot's: only the clock and the count moved.
        s.idleSnap.time = chip_.now();
        s.idleSnap.instructions = instructions_;
        s.idleSnap.cycles = cycles_;
    } else {
        if (s.idleHaveSnap && ++s.idleMisses > 8) {
            // Not a polling loop after all: let another block have a go later.
            s.idleHead = s.idleReader = ~0u;
            s.idleCooldown = 256;
            return false;
        }
        s.idleSnap = now;
        s.idleHaveSnap = true;
        // A loop that stored in this pass will store in the next one too:
        // keep RAM to compare with.
        s.snapRamValid = s.passStores;
        if (s.passStores) s.snapRam.assign(ram_.begin(), ram_.end());
    }
    s.mmioHash = 0;
    s.mmioReads = 0;
    s.mmioSpoils = false;
    s.passStores = false;
    ramTouched_ = false;
    (void)head;
    return skipped;
}

// A loop of one block that waits for a timer's count (TimedLoop) depends
// on nothing but that count until the next event: the count is a function
// of time, so whether pass j leaves the loop is known without running it.
// The passes before the first one that leaves (or before the next event) are
// accounted without being executed; that pass then runs for real, at its
// own time, and writes every register the skipped passes would have left
// behind. The exit test is found by bisection over the passes, after
// checking that it can change only once among them (no wrap-around of the
// compared quantity).
bool Machine::timedSkip(uint32_t addr, uint32_t size) {
    auto& s = hs();
    const uint64_t key = uint64_t(addr) << 32 | size;
    if (!s.timedEntry || s.timedKey != key) {
        auto found = s.timedLoops.find(key);
        if (found == s.timedLoops.end()) {
            std::optional<TimedLoop> loop;
            std::vector<uint8_t> code(size);
            if (uc_mem_read(uc_, addr, code.data(), size) == UC_ERR_OK)
                loop = TimedLoop::decode(code.data(), size, addr, MachineHooks::isThumbAt(this, addr));
            found = s.timedLoops.emplace(key, std::move(loop)).first;
        }
        s.timedKey = key;
        s.timedEntry = &found->second;  // elements stay where they are until the map is cleared
    }
    std::optional<TimedLoop>& entry = *s.timedEntry;
    if (!entry) return false;
    const TimedLoop& loop = *entry;
    for (uint32_t b : breakpoints_)
        if (b >= addr && b < addr + size) return false;
    if (s.stopAddr >= addr && s.stopAddr < addr + size) return false;

    // A pass that loops costs the block with its branch taken; each reads
    // the count once the block's start has been charged.
    const BlockCost& cost = blockCost(addr, size);
    const uint64_t passCycles = cost.cyclesTaken;
    const Ticks pass = Ticks(passCycles) * chip_.coreCycle();
    const Ticks readAt = Ticks(cost.startCycles()) * chip_.coreCycle();
    const Ticks t = chip_.now();
    if (s.stopAt == kNever || s.stopAt <= t) return false;
    // Passes starting before the stop: 0 .. starts-1. The last of them runs
    // for real, as a pass that reaches past the stop would.
    const uint64_t starts = (s.stopAt - t + pass - 1) / pass;
    if (starts < 3) return false;
    const uint64_t last = starts - 2;  // the last pass that may be skipped

    uint32_t regs[16];
    void* ptrs[16];
    for (int i = 0; i < 16; ++i) ptrs[i] = &regs[i];
    uc_reg_read_batch(uc_, const_cast<int*>(kRegIds), ptrs, 16);

    TimerBlock* timer = nullptr;
    TimedLoop::Memory mem;
    mem.isCount = [&](uint32_t a) {
        if (a == T0VAL.addr) timer = &chip_.timer0();
        else if (a == T1VAL.addr) timer = &chip_.timer1();
        else if (a == T2VAL.addr) timer = &chip_.timer2();
        else if (a == T3VAL.addr) timer = &chip_.watchdog();
        else return false;
        return true;
    };
    mem.read = [&](uint32_t a, unsigned bytes) -> std::optional<uint32_t> {
        const uint8_t* p = nullptr;
        if (a >= kRamBase && a + bytes <= kRamBase + kRamSize) p = ram_.data() + (a - kRamBase);
        else if (a + bytes <= kFlashSize) p = chip_.flash() + a;
        else if (a >= kFlashBase && a + bytes <= kFlashBase + kFlashSize) p = chip_.flash() + (a - kFlashBase);
        if (!p) return std::nullopt;
        uint32_t v = 0;
        std::memcpy(&v, p, bytes);
        return v;
    };
    auto at = [&](uint64_t j) {
        uint32_t v = 0;
        if (timer) v = timer->valueAt(t + j * pass + readAt);
        return loop.evaluate(regs, v, mem);
    };
    // The first evaluation finds the timer; count it again now that it is known.
    TimedLoop::Pass first = at(0);
    if (!first.valid || !timer) {
        // It reads something else (a status register): not a timer's loop,
        // and it need not be looked at again.
        entry.reset();
        return false;
    }
    first = at(0);
    if (!first.valid || !first.loops) return false;
    const uint32_t v0 = timer->valueAt(t + readAt), v1 = timer->valueAt(t + last * pass + readAt);
    if (!TimedLoop::monotonic(first, v0, v1)) return false;
    // Every pass is the first one with another count: only the exit test
    // needs working out.
    auto loopsAt = [&](uint64_t j) { return TimedLoop::loops(first, timer->valueAt(t + j * pass + readAt)); };
    uint64_t skip;
    if (loopsAt(last)) {
        skip = last + 1;
    } else {
        uint64_t lo = 0, hi = last;  // pass lo loops, pass hi leaves
        while (hi - lo > 1) {
            const uint64_t mid = lo + (hi - lo) / 2;
            (loopsAt(mid) ? lo : hi) = mid;
        }
        skip = hi;
    }
    charge(skip * passCycles);
    instructions_ += skip * loop.instructions();
    s.idleSkipped += skip * loop.instructions();
    return true;
}

void Machine::setFastForward(bool on) {
    hs().idleEnabled = on;
    hs().forgetLoop();
}

bool Machine::fastForward() const { return hookState_->idleEnabled; }

uint64_t Machine::skippedInstructions() const { return hookState_->idleSkipped; }

}  // namespace sim
