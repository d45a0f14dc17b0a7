// The emulator's callbacks and the state they keep, private to the core:
// every file of the machine sees them, nothing outside it does.
//
// Timing: virtual time advances per executed basic block by its core cycles
// from the cycle cost model (core/cycle_cost.h: S/N/I cycles on the
// ADuC702x's 16-bit flash) times the core clock period (PLL / 2^CD). A block
// is charged when it starts, as if its last instruction does not branch;
// when that one is a conditional branch, the refill is added at the start of
// the next block if it went elsewhere. Events are delivered between blocks,
// so a peripheral observes the core to within one basic block.
#pragma once

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "aduc702x.h"
#include "chip/periph/core_blocks.h"
#include "core/machine.h"
#include "core/timed_loop.h"

namespace sim {

namespace {

constexpr uint32_t kFlashBase = FLASH_BASE;
constexpr uint32_t kFlashSize = Chip::kFlashSize;
constexpr uint32_t kRamBase = SRAM_BASE;
constexpr uint32_t kRamSize = SRAM_SIZE;
// A page outside the chip's map where called routines return to; it holds
// branch-to-self instructions and a code hook stops the core there.
constexpr uint32_t kTrapBase = 0x00100000;
constexpr uint32_t kTrapSize = 0x400;

inline std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

const int kRegIds[16] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                         UC_ARM_REG_R4, UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                         UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                         UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC};

// ARM exception numbers as the emulator reports them.
enum { EXCP_UDEF = 1, EXCP_SWI = 2, EXCP_PREFETCH_ABORT = 3, EXCP_DATA_ABORT = 4 };

}  // namespace

// The emulator's callbacks, with access to the Machine's insides.
struct MachineHooksState {
        Ticks stopAt = 0;
        bool watchUnmask = false;  // an interrupt waits for the core to unmask it
        int pendingException = 0;
        uint32_t stopAddr = ~0u;
        bool hitStopAddr = false;
        bool hitBreakpoint = false;
        std::vector<uint8_t> thumbMap;  // one bit per flash halfword
        std::optional<uint32_t> resumeAt;  // where a block-hook stop left the core
        bool resumeThumb = false;
        std::optional<bool> startThumb;  // instruction set to start in, when set by us
        // Single step: instructions reached so far, and whether the one
        // that runs has been counted.
        int stepCalls = 0;
        bool stepping = false;
        bool stepCounted = false;

        // Polling-loop fast-forward (see Machine::idleCheck).
        struct Snapshot {
            uint32_t regs[17];
            Ticks time;
            uint64_t instructions;
            uint64_t cycles;
            uint64_t mmioHash;
        };
        bool idleEnabled = true;
        uint32_t idleReader = ~0u;    // block that reads a register in a loop
        uint32_t idleHead = ~0u;      // the block after it: where passes are compared
        bool headNext = false;        // the next block becomes the head
        bool idleHaveSnap = false;
        Snapshot idleSnap{};
        // RAM: a pass that runs no store instruction leaves it as it was;
        // one that does is compared with the copy taken at the snapshot
        // (a write hook would put every store of the core on a slow path).
        bool passStores = false;       // a block with a store ran since the last pass
        bool snapRamValid = false;     // snapRam holds RAM as it was at the snapshot
        std::vector<uint8_t> snapRam;
        uint64_t mmioHash = 0;         // register reads since the last pass
        uint32_t mmioReads = 0;
        bool mmioSpoils = false;       // a write, or a read whose value moves with time
        unsigned idleMisses = 0;
        unsigned idleAge = 0;          // blocks since the head last ran
        uint64_t idleCooldown = 0;     // blocks to wait before choosing a new head
        uint64_t idleSkipped = 0;      // instructions not executed but accounted
        // Where the outermost interrupt handler returns to (see
        // Machine::enterInterruptIfPending).
        uint32_t idleResume = ~0u;
        // The run goes on from a stop on its time with nothing touched since
        // (Machine::continueFor): a pass begun before the stop is still good.
        bool untouched = false;

        // Nothing watched any more: the next register read picks a loop and
        // its passes are measured afresh.
        void forgetLoop() {
            idleReader = idleHead = idleResume = ~0u;
            headNext = false;
            idleHaveSnap = false;
            idleAge = 0;
            idleCooldown = 0;
            idleMisses = 0;
            mmioHash = 0;
            mmioReads = 0;
            mmioSpoils = false;
            passStores = false;
            snapRamValid = false;
        }

        // Polling loops on a timer's count (see Machine::timedSkip), by
        // block address and size; empty for blocks that are not such loops.
        std::unordered_map<uint64_t, std::optional<TimedLoop>> timedLoops;
        // The entry last looked at: a loop of one block asks at every pass.
        uint64_t timedKey = 0;
        std::optional<TimedLoop>* timedEntry = nullptr;
        void forgetTimedLoops() {
            timedLoops.clear();
            timedEntry = nullptr;
        }
};

// Private state of the hooks lives with the machine (inline: the block hook
// asks for it at every block).
inline MachineHooksState& Machine::hs() { return *hookState_; }

inline Machine::CachedBlock* Machine::cachedBlock(uint32_t addr, uint32_t size) {
    const uint32_t off = addr >= kFlashBase ? addr - kFlashBase : addr;  // flash is mirrored at 0
    if (off >= kFlashSize || off + size > kFlashSize || costIndex_.empty()) return nullptr;
    const uint32_t i = costIndex_[off >> 1];
    if (i != 0 && blocks_[i - 1].size == size) return &blocks_[i - 1];
    return costNewBlock(off, addr, size);
}

// What a block does (see decodeKind): anything outside flash, or before an
// image is loaded, may store.
inline uint8_t Machine::kindOf(CachedBlock* b, uint32_t addr, uint32_t size) {
    if (!b || size < 2 || !kindsOn_) return kBlockStores;
    if (!b->kind) b->kind = decodeKind(addr, size);
    return b->kind;
}

struct MachineHooks {
    using State = MachineHooksState;

    static bool isThumbAt(Machine* m, uint32_t addr) {
        uint32_t a = addr >= kFlashBase ? addr - kFlashBase : addr;
        if (a >= kFlashSize) return false;
        uint32_t h = a >> 1;
        return (m->hs().thumbMap[h >> 3] >> (h & 7)) & 1;
    }

    // Stops the core before the block at addr. The emulator may report the
    // PC of the block before it after such a stop (when the two blocks are
    // chained), although that one has run; so the run loop resumes at the
    // address recorded here.
    static void stopAtBlock(uc_engine* uc, Machine* m, uint32_t addr) {
        m->hs().resumeAt = addr;
        m->hs().resumeThumb = isThumbAt(m, addr);
        uc_emu_stop(uc);
    }

    static void block(uc_engine* uc, uint64_t address, uint32_t size, void* user) {
        auto* m = static_cast<Machine*>(user);
        State& s = m->hs();
        Chip& chip = m->chip_;
        // Where the last block went settles its branch, before anything
        // looks at the time.
        if (m->branchExtra_) m->settleBranch(uint32_t(address));
        if (chip.now() >= s.stopAt || chip.stopRequested()) {
            stopAtBlock(uc, m, uint32_t(address));
            return;  // the block runs after the stop, and is counted then
        }
        // The lines first: a handler runs with its own line high until it
        // clears the source, and the CPSR read costs more than the check.
        if (s.watchUnmask && (chip.irqLine() || chip.fiqLine())) {
            uint32_t cpsr;
            uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
            bool irq = chip.irqLine() && !(cpsr & 0x80);
            bool fiq = chip.fiqLine() && !(cpsr & 0x40);
            if (irq || fiq) {
                stopAtBlock(uc, m, uint32_t(address));
                return;
            }
        }
        // A block that follows itself is a loop of one block; one that waits
        // for a timer's count is skipped to the pass that leaves it. A step
        // runs one instruction, no more.
        if (uint32_t(address) == m->lastBlock_ && s.idleEnabled && !s.stepping &&
            m->timedSkip(uint32_t(address), size))
            s.idleHaveSnap = false;
        // Back from the handler: the interrupted loop is found again at once
        // (the handler's reads, writes and stores are not the loop's).
        if (uint32_t(address) == s.idleResume) s.forgetLoop();
        if (s.headNext) {
            // A pass runs from the block after the read to the read: a run
            // stopped between them has read nothing yet (see Machine::run).
            s.headNext = false;
            s.idleHead = uint32_t(address);
            s.idleAge = 0;
            s.idleHaveSnap = false;
            s.idleMisses = 0;
        }
        if (uint32_t(address) == s.idleHead && !s.stepping) {
            s.idleAge = 0;
            // Skipped to the last pass before the next event: that pass
            // runs now, unless it would start at the event itself.
            if (m->idleCheck(uint32_t(address)) && chip.now() >= s.stopAt) {
                stopAtBlock(uc, m, uint32_t(address));
                return;
            }
        } else if (s.idleCooldown) {
            --s.idleCooldown;
        } else if (s.idleHead != ~0u && ++s.idleAge > 512) {
            s.idleHead = s.idleReader = ~0u;  // not a loop: the head never came back
        }
        m->lastBlock_ = uint32_t(address);
        chip.pc = uint32_t(address);
        // One look-up serves the checks and the charge (valid until the
        // next block is costed: a tool's onBlock may cost one).
        Machine::CachedBlock* b = m->cachedBlock(uint32_t(address), size);
        if (m->stackChecks_ && !m->stackAreas_.empty()) {
            if (uint32_t(address) == m->stackMain_) m->stackArmed_ = true;
            if (m->stackArmed_ && (m->kindOf(b, uint32_t(address), size) & Machine::kBlockReturns)) {
                static int ids[2] = {UC_ARM_REG_SP, UC_ARM_REG_CPSR};
                uint32_t v[2];
                void* ptrs[2] = {&v[0], &v[1]};
                uc_reg_read_batch(uc, ids, ptrs, 2);
                if (!m->checkStack(v[0], v[1], "as a routine returns")) {
                    stopAtBlock(uc, m, uint32_t(address));
                    return;
                }
            }
        }
        if (s.idleHead != ~0u && !s.passStores)
            s.passStores = (m->kindOf(b, uint32_t(address), size) & Machine::kBlockStores) != 0;
        if (m->onBlock) {
            m->onBlock(uint32_t(address), size);
            b = m->cachedBlock(uint32_t(address), size);
        }
        uint32_t bytes = size;
        if (s.stepping) {  // a single step runs one instruction of the block
            if (s.stepCounted) return;
            s.stepCounted = true;
            bytes = isThumbAt(m, uint32_t(address)) ? 2 : 4;
            if (bytes != size) b = nullptr;
        }
        m->lastBlockSize_ = bytes;
        if (chip.power().sequenceOpen()) m->keyBlock(uint32_t(address), bytes);
        if (b) {
            m->instructions_ += b->instructions;
            m->charge(b->startCycles);
            if (b->settles) {
                m->branchEnd_ = uint32_t(address) + bytes;
                m->branchExtra_ = b->takenExtra;
            }
            return;
        }
        const BlockCost& c = m->blockCost(uint32_t(address), bytes);
        m->instructions_ += c.instructions;
        m->charge(c.startCycles());
        if (c.lastMayBranch && !c.lastAlwaysTaken) {
            m->branchEnd_ = uint32_t(address) + bytes;
            m->branchExtra_ = c.takenExtra();
        }
    }

    static void stepCode(uc_engine* uc, uint64_t, uint32_t, void* user) {
        auto* m = static_cast<Machine*>(user);
        if (++m->hs().stepCalls == 2) uc_emu_stop(uc);
    }

    static void code(uc_engine* uc, uint64_t address, uint32_t, void* user) {
        auto* m = static_cast<Machine*>(user);
        State& s = m->hs();
        uint32_t a = uint32_t(address);
        if (a == s.stopAddr && !s.stepping) {  // a step from there moves on
            s.hitStopAddr = true;
            uc_emu_stop(uc);
            return;
        }
        if (std::find(m->breakpoints_.begin(), m->breakpoints_.end(), a) != m->breakpoints_.end()) {
            if (m->skipBreakAt_ == a) {
                m->skipBreakAt_ = ~0u;
                return;
            }
            s.hitBreakpoint = true;
            uc_emu_stop(uc);
        }
    }

    static uint64_t mmioRead(uc_engine* uc, uint64_t offset, unsigned size, void* user, uint32_t base) {
        auto* m = static_cast<Machine*>(user);
        uint32_t addr = base + uint32_t(offset);
        if (size != 4 || (addr & 3)) {
            m->setFault("register " + hex(addr) + " read as " + std::to_string(size) +
                        " bytes (registers are 32-bit words)");
            uc_emu_stop(uc);
            return 0;
        }
        if (!m->chip_.isRegister(addr)) {
            m->setFault("read of unmodelled register " + hex(addr));
            uc_emu_stop(uc);
            return 0;
        }
        // A stop the access requests is taken at the next block: stopping
        // inside a block would resume it from its start and repeat accesses.
        uint32_t v = m->chip_.read(addr);
        State& s = m->hs();
        s.stopAt = std::min(s.stopAt, m->chip_.sched().nextDue());
        if (s.idleEnabled) {
            s.mmioHash = (s.mmioHash ^ (uint64_t(addr) << 32 | v)) * 0x100000001B3ull;
            ++s.mmioReads;
            // Counters read their time: a loop on them is no fixed point.
            if ((addr >= T0LD.addr && addr <= T3CLRI.addr) || addr == COMRX.addr) s.mmioSpoils = true;
            // The block that polls makes a loop (its next block is the
            // head); one that has not come round for a while gives way to
            // the latest reader.
            if (s.idleCooldown == 0 && m->lastBlock_ != s.idleReader &&
                (s.idleReader == ~0u || s.idleAge > 32)) {
                s.idleReader = m->lastBlock_;
                s.headNext = true;
            }
        }
        return v;
    }
    static void mmioWrite(uc_engine* uc, uint64_t offset, unsigned size, uint64_t value, void* user,
                          uint32_t base) {
        auto* m = static_cast<Machine*>(user);
        uint32_t addr = base + uint32_t(offset);
        if (size != 4 || (addr & 3)) {
            m->setFault("register " + hex(addr) + " written as " + std::to_string(size) +
                        " bytes (registers are 32-bit words)");
            uc_emu_stop(uc);
            return;
        }
        if (!m->chip_.isRegister(addr)) {
            m->setFault("write of unmodelled register " + hex(addr) + " = " + hex(uint32_t(value)));
            uc_emu_stop(uc);
            return;
        }
        const bool key = addr >= POWKEY1.addr && addr <= PLLKEY2.addr;
        if (key) m->keyAccessBefore(addr, true);
        m->chip_.write(addr, uint32_t(value));
        if (key) m->keyAccessAfter();
        m->hs().mmioSpoils = true;
        // The write may have scheduled an event (a conversion, a byte on the
        // line) before the end of this slice: the core must stop for it.
        m->hs().stopAt = std::min(m->hs().stopAt, m->chip_.sched().nextDue());
    }
    static uint64_t mmioRead0(uc_engine* uc, uint64_t o, unsigned sz, void* u) { return mmioRead(uc, o, sz, u, MMR_BASE_0); }
    static uint64_t mmioRead1(uc_engine* uc, uint64_t o, unsigned sz, void* u) { return mmioRead(uc, o, sz, u, MMR_BASE_1); }
    static void mmioWrite0(uc_engine* uc, uint64_t o, unsigned sz, uint64_t v, void* u) { mmioWrite(uc, o, sz, v, u, MMR_BASE_0); }
    static void mmioWrite1(uc_engine* uc, uint64_t o, unsigned sz, uint64_t v, void* u) { mmioWrite(uc, o, sz, v, u, MMR_BASE_1); }

    static bool badAccess(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t value, void* user) {
        auto* m = static_cast<Machine*>(user);
        const char* what = "access";
        switch (type) {
            case UC_MEM_READ_UNMAPPED: what = "read outside memory"; break;
            case UC_MEM_WRITE_UNMAPPED: what = "write outside memory"; break;
            case UC_MEM_FETCH_UNMAPPED: what = "instruction fetch outside memory"; break;
            case UC_MEM_WRITE_PROT: what = "write to flash (flash is written only through its controller)"; break;
            case UC_MEM_FETCH_PROT: what = "instruction fetch from non-executable memory"; break;
            default: break;
        }
        m->setFault(std::string(what) + " at " + hex(uint32_t(address)) + " (" + std::to_string(size) +
                    " bytes)");
        return false;
    }

    // A coprocessor instruction reached: the ARM7TDMI of this chip has no
    // coprocessor, so one whose condition passes is undefined (the emulated
    // core would carry out CP15 accesses).
    static void coprocessor(uc_engine* uc, uint64_t address, uint32_t, void* user) {
        auto* m = static_cast<Machine*>(user);
        uint32_t insn = 0, cpsr = 0;
        if (uc_mem_read(uc, address, &insn, 4) != UC_ERR_OK) return;
        uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
        if ((cpsr & 0x20) || !conditionPasses(insn >> 28, cpsr)) return;
        m->hs().pendingException = EXCP_UDEF;
        uc_emu_stop(uc);
    }

    static bool conditionPasses(uint32_t cond, uint32_t cpsr) {
        const bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
        switch (cond) {
            case 0x0: return z;
            case 0x1: return !z;
            case 0x2: return c;
            case 0x3: return !c;
            case 0x4: return n;
            case 0x5: return !n;
            case 0x6: return v;
            case 0x7: return !v;
            case 0x8: return c && !z;
            case 0x9: return !c || z;
            case 0xA: return n == v;
            case 0xB: return n != v;
            case 0xC: return !z && n == v;
            case 0xD: return z || n != v;
            default: return true;  // AL (and NV, which ARMv4 leaves unpredictable)
        }
    }

    static bool invalidInstruction(uc_engine* uc, void* user) {
        auto* m = static_cast<Machine*>(user);
        m->hs().pendingException = EXCP_UDEF;
        return false;  // stop; the run loop enters the undefined-instruction vector
    }

    static void interrupt(uc_engine* uc, uint32_t intno, void* user) {
        auto* m = static_cast<Machine*>(user);
        m->hs().pendingException = int(intno);
        uc_emu_stop(uc);
    }

    // Debugger support: a traced instruction keeps the emulator's PC exact,
    // so a watchpoint stop can name the accessing instruction and resume
    // at it.
    static void watchTrace(uc_engine*, uint64_t address, uint32_t, void* user) {
        auto* m = static_cast<Machine*>(user);
        if (uint32_t(address) != m->watchSkipPc_) m->watchSkipPc_ = ~0u;
    }

    // Called before the access is carried out; the emulator stops right
    // after it, inside the instruction.
    static void watchAccess(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
        auto* m = static_cast<Machine*>(user);
        if (m->watchPending_) return;
        uint32_t pc = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        if (pc == m->watchSkipPc_) return;
        bool write = type == UC_MEM_WRITE;
        uint32_t a = uint32_t(address), end = a + uint32_t(size);
        for (const auto& w : m->watches_) {
            if (a >= w.addr + w.len || end <= w.addr) continue;
            if ((w.access == Machine::Access::Write && !write) || (w.access == Machine::Access::Read && write)) continue;
            m->watchHit_ = Machine::WatchHit{std::max(a, w.addr), write ? Machine::Access::Write : Machine::Access::Read, pc};
            m->watchPending_ = true;
            if (write)
                for (uint32_t b = a; b < end; ++b)
                    if (b >= kRamBase && b < kRamBase + kRamSize) m->watchUndo_.emplace_back(b, m->ram_[b - kRamBase]);
            uc_emu_stop(uc);
            return;
        }
    }
};

}  // namespace sim
