// The core side of the simulator.
//
// Timing: virtual time advances per executed basic block by the number of
// instructions in it times a cycles-per-instruction estimate times the core
// clock period (PLL / 2^CD). The ARM7TDMI runs most instructions in one
// cycle, but the ADuC702x fetches from a 16-bit flash: an ARM opcode takes
// two accesses, a Thumb opcode one, and loads, stores and branches add a few
// more (the flash has no cache, so every taken branch refills the pipeline
// from it). We take 2 cycles per instruction in both states as the average.
// Events are delivered between blocks, so a peripheral observes the core to
// within one basic block.
#include "machine.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "aduc702x.h"
#include "periph/core_blocks.h"
#include "periph/timers.h"
#include "timed_loop.h"

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

std::string hex(uint32_t v) {
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

const char* toString(Mode m) {
    switch (m) {
        case Mode::User: return "User";
        case Mode::Fiq: return "FIQ";
        case Mode::Irq: return "IRQ";
        case Mode::Supervisor: return "Supervisor";
        case Mode::Abort: return "Abort";
        case Mode::Undefined: return "Undefined";
        case Mode::System: return "System";
    }
    return "invalid";
}

const char* toString(StopReason r) {
    switch (r) {
        case StopReason::Time: return "time";
        case StopReason::Condition: return "condition";
        case StopReason::Returned: return "returned";
        case StopReason::Breakpoint: return "breakpoint";
        case StopReason::Fault: return "fault";
        case StopReason::Limit: return "limit";
        case StopReason::Watchpoint: return "watchpoint";
        case StopReason::Reset: return "reset";
    }
    return "?";
}

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
};

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
        if (m->stackChecks_ && !m->stackAreas_.empty()) {
            if (uint32_t(address) == m->stackMain_) m->stackArmed_ = true;
            if (m->stackArmed_ && (m->blockKind(uint32_t(address), size) & Machine::kBlockReturns)) {
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
            s.passStores = (m->blockKind(uint32_t(address), size) & Machine::kBlockStores) != 0;
        if (m->onBlock) m->onBlock(uint32_t(address), size);
        bool thumb = isThumbAt(m, uint32_t(address));
        uint32_t n = thumb ? size / 2 : size / 4;
        if (n == 0) n = 1;
        if (s.stepping) {  // a single step runs one instruction of the block
            n = s.stepCounted ? 0 : 1;
            s.stepCounted = true;
        }
        m->instructions_ += n;
        chip.sched().setNow(chip.now() + Ticks(n) * Machine::kCyclesPerInstruction * chip.coreCycle());
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
        m->chip_.write(addr, uint32_t(value));
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

// Private state of the hooks lives with the machine.
MachineHooksState& Machine::hs() { return *hookState_; }

Machine::Machine() : hookState_(std::make_unique<MachineHooksState>()) {
    ram_.assign(kRamSize, 0);
    hookState_->thumbMap.assign(kFlashSize / 16, 0);
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_) != UC_ERR_OK) throw SimError("cannot open the ARM emulator");
    // ARMv4T, the ARM7TDMI's architecture (the default model is an ARMv7 core).
    uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_TI925T);
    // The core stops only when a hook asks it to. With no exit addresses
    // the emulator need not invalidate the code at one after every run
    // (which costs more than a short run itself).
    uc_ctl_exits_enable(uc_);
    mapMemory();
    installHooks();
    powerOn();
}

Machine::~Machine() {
    if (uc_) uc_close(uc_);
}

void Machine::mapMemory() {
    auto check = [](uc_err e, const char* what) {
        if (e != UC_ERR_OK) throw SimError(std::string("memory map: ") + what + ": " + uc_strerror(e));
    };
    uint8_t* flash = chip_.flash();
    check(uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash), "flash");
    // The chip mirrors flash at 0, where the core fetches its vectors.
    check(uc_mem_map_ptr(uc_, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash), "flash mirror");
    check(uc_mem_map_ptr(uc_, kRamBase, kRamSize, UC_PROT_ALL, ram_.data()), "sram");
    check(uc_mmio_map(uc_, MMR_BASE_0, MMR_BLOCK_SIZE, MachineHooks::mmioRead0, this, MachineHooks::mmioWrite0, this),
          "register block 0");
    check(uc_mmio_map(uc_, MMR_BASE_1, MMR_BLOCK_SIZE, MachineHooks::mmioRead1, this, MachineHooks::mmioWrite1, this),
          "register block 1");
    check(uc_mem_map(uc_, kTrapBase, kTrapSize, UC_PROT_READ | UC_PROT_EXEC), "trap page");
    std::vector<uint8_t> trap(kTrapSize);
    for (size_t i = 0; i < kTrapSize; i += 4) {
        uint32_t b = 0xEAFFFFFE;  // b .
        std::memcpy(&trap[i], &b, 4);
    }
    uc_mem_write(uc_, kTrapBase, trap.data(), trap.size());
    trapAddr_ = kTrapBase;

    // ARM7TDMI loads and stores rotate misaligned words; the emulator does
    // not, so make every misaligned access abort and report it as a fault.
    uc_arm_cp_reg sctlr{};
    sctlr.cp = 15;
    sctlr.crn = 1;
    if (uc_reg_read(uc_, UC_ARM_REG_CP_REG, &sctlr) == UC_ERR_OK) {
        sctlr.val |= 2;  // A: alignment checking
        uc_reg_write(uc_, UC_ARM_REG_CP_REG, &sctlr);
    }
}

void Machine::installHooks() {
    uc_hook h;
    uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(MachineHooks::block), this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT,
                reinterpret_cast<void*>(MachineHooks::badAccess), this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void*>(MachineHooks::interrupt), this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(MachineHooks::invalidInstruction), this, 1, 0);
}

void Machine::updateCodeHooks() {
    if (codeHook_) {
        uc_hook_del(uc_, codeHook_);
        codeHook_ = 0;
    }
    std::vector<uint32_t> addrs = breakpoints_;
    if (hs().stopAddr != ~0u) addrs.push_back(hs().stopAddr);
    addrs.push_back(trapAddr_);
    uint32_t lo = *std::min_element(addrs.begin(), addrs.end());
    uint32_t hi = *std::max_element(addrs.begin(), addrs.end());
    // One ranged hook: only instructions inside [lo, hi] pay for it.
    if (addrs.size() == 1 || (breakpoints_.empty() && hs().stopAddr == ~0u)) {
        lo = hi = trapAddr_;
    }
    if (hi - lo > 0x20000) {
        // Far apart (flash and the trap page): hook each address on its own.
        for (uint32_t a : addrs) {
            uc_hook h;
            uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::code), this, a, a);
            extraCodeHooks_.push_back(h);
        }
    } else {
        uc_hook_add(uc_, &codeHook_, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::code), this, lo, hi);
    }
    flushCode();
}

void Machine::clearCodeHooks() {
    for (uc_hook h : extraCodeHooks_) uc_hook_del(uc_, h);
    extraCodeHooks_.clear();
    if (codeHook_) {
        uc_hook_del(uc_, codeHook_);
        codeHook_ = 0;
    }
}

// Only where code can run, range by range: the emulator silently ignores a
// range over the whole address space (and walking it would be slow).
void Machine::flushCode() {
    uc_ctl_remove_cache(uc_, 0, kFlashSize);
    uc_ctl_remove_cache(uc_, kFlashBase, uint64_t(kFlashBase) + kFlashSize);
    uc_ctl_remove_cache(uc_, kRamBase, uint64_t(kRamBase) + kRamSize);
    uc_ctl_remove_cache(uc_, kTrapBase, uint64_t(kTrapBase) + kTrapSize);
    hs().timedLoops.clear();
    std::fill(blockKinds_.begin(), blockKinds_.end(), 0);
}

// ---- Image ----

void Machine::loadElf(const std::string& path) {
    ElfImage img;
    img.load(path);
    for (const auto& s : img.segments()) {
        uint64_t end = uint64_t(s.addr) + s.bytes.size();
        if (s.addr < kFlashBase || end > kFlashBase + kFlashSize)
            throw SimError(path + ": segment at " + hex(s.addr) + " (" + std::to_string(s.bytes.size()) +
                           " bytes) lies outside flash 0x00080000..0x0008F7FF");
    }
    for (const auto& s : img.segments())
        std::memcpy(chip_.flash() + (s.addr - kFlashBase), s.bytes.data(), s.bytes.size());
    image_ = std::move(img);

    // Instruction-set map from the mapping symbols ($a ARM, $t Thumb, $d data).
    auto& map = hs().thumbMap;
    std::fill(map.begin(), map.end(), 0);
    std::vector<std::pair<uint32_t, char>> marks;
    for (const auto& sym : image_.symbols())
        if (sym.name.size() >= 2 && sym.name[0] == '$' && (sym.name[1] == 'a' || sym.name[1] == 't' || sym.name[1] == 'd'))
            marks.emplace_back(sym.value, sym.name[1]);
    std::sort(marks.begin(), marks.end());
    std::vector<std::pair<uint32_t, uint32_t>> armRanges;
    for (size_t i = 0; i < marks.size(); ++i) {
        uint32_t from = marks[i].first, to = i + 1 < marks.size() ? marks[i + 1].first : kFlashBase + kFlashSize;
        if (marks[i].second == 'a') armRanges.emplace_back(from, to);
        if (marks[i].second != 't') continue;
        for (uint32_t a = from; a < to && a < kFlashBase + kFlashSize; a += 2) {
            if (a < kFlashBase) continue;
            uint32_t h = (a - kFlashBase) >> 1;
            map[h >> 3] |= uint8_t(1u << (h & 7));
        }
    }
    // Without mapping symbols every word of the image may be ARM code.
    if (marks.empty())
        for (const auto& seg : image_.segments())
            armRanges.emplace_back(seg.addr, seg.addr + uint32_t(seg.bytes.size()));
    hookCoprocessorInstructions(armRanges);
    flushCode();
    loadStackAreas();
    powerOn();
}

// CDP, MRC, MCR, LDC and STC in ARM code: each gets a hook of its own, so
// code without them pays nothing. A data word that looks like one is never
// executed and its hook never runs.
void Machine::hookCoprocessorInstructions(const std::vector<std::pair<uint32_t, uint32_t>>& armRanges) {
    for (size_t h : coprocessorHooks_) uc_hook_del(uc_, h);
    coprocessorHooks_.clear();
    const uint8_t* f = chip_.flash();
    uint32_t imageEnd = kFlashBase;
    for (const auto& seg : image_.segments())
        imageEnd = std::max<uint32_t>(imageEnd, seg.addr + uint32_t(seg.bytes.size()));
    for (auto [from, to] : armRanges) {
        from = std::max<uint32_t>((from + 3) & ~3u, kFlashBase);
        to = std::min<uint32_t>(to, imageEnd);
        for (uint32_t a = from; a + 4 <= to; a += 4) {
            const uint8_t* p = f + (a - kFlashBase);
            const uint32_t w = uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
            const bool coproc = (w >> 28) != 0xF && ((w & 0x0E000000) == 0x0C000000 || (w & 0x0F000000) == 0x0E000000);
            if (!coproc) continue;
            for (uint32_t at : {a, a - kFlashBase}) {  // the image and its mirror at 0
                uc_hook h;
                if (uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::coprocessor), this, at,
                                at) == UC_ERR_OK)
                    coprocessorHooks_.push_back(h);
            }
        }
    }
}

uint32_t Machine::symbol(const std::string& name) const {
    auto v = image_.find(name);
    if (!v) throw SimError("symbol '" + name + "' not found in " + image_.path());
    return *v;
}

// ---- Power and resets ----

void Machine::powerOn(uint32_t ramPattern) {
    ramPattern_ = ramPattern;
    for (size_t i = 0; i < ram_.size(); i += 4) std::memcpy(&ram_[i], &ramPattern, 4);
    doReset(ResetCause::PowerOn);
}

void Machine::reset(ResetCause cause) { doReset(cause); }

void Machine::doReset(ResetCause cause) {
    chip_.reset(cause);
    uint32_t cpsr = 0xD3;  // Supervisor, IRQ and FIQ masked, ARM state
    uc_reg_write(uc_, UC_ARM_REG_CPSR, &cpsr);
    uint32_t zero = 0;
    uc_reg_write(uc_, UC_ARM_REG_PC, &zero);
    hs().watchUnmask = false;
    hs().pendingException = 0;
    hs().resumeAt.reset();
    hs().startThumb = false;
    hs().forgetLoop();
    stackArmed_ = false;  // start-up sets the stacks again
    ++resets_;
    if (onReset) onReset(cause);
}

// ---- Running ----

void Machine::setFault(const std::string& what) {
    if (fault_) return;
    fault_ = what + "; " + where();
    chip_.report("fault: " + *fault_);
    if (onFault) onFault(*fault_);
}

std::string Machine::where() const {
    uint32_t cpsr = this->cpsr();
    std::string s = "in block at " + image_.describe(lastBlock_) + ", pc " + image_.describe(pc()) + ", " +
                    toString(Mode(cpsr & 0x1F)) + " mode" + ((cpsr & 0x20) ? ", Thumb" : ", ARM");
    return s;
}

void Machine::takeException(uint32_t vector, Mode mode, uint32_t lr, bool maskFiq) {
    uint32_t old = cpsr();
    if (onException) onException(vector, mode);
    if (stackArmed_ && stackChecks_) checkStack(reg(SP), old, "when an exception interrupted it");
    uint32_t now = (old & ~0x3Fu) | uint32_t(mode) | 0x80 | (maskFiq ? 0x40 : 0);
    setCpsr(now);  // banked SP and LR switch with the mode
    if (stackArmed_ && stackChecks_) checkStack(reg(SP), now, "at exception entry");
    uc_reg_write(uc_, UC_ARM_REG_SPSR, &old);
    uc_reg_write(uc_, UC_ARM_REG_LR, &lr);
    uc_reg_write(uc_, UC_ARM_REG_PC, &vector);
    hs().startThumb = false;  // exceptions are taken in ARM state
}

void Machine::handleException() {
    int e = hs().pendingException;
    hs().pendingException = 0;
    uint32_t pcv = pc();
    bool t = thumb();
    switch (e) {
        case EXCP_UDEF:
            chip_.report("undefined instruction at " + image_.describe(pcv));
            takeException(0x04, Mode::Undefined, pcv + (t ? 2 : 4), false);
            break;
        case EXCP_SWI:
            // The emulator leaves the PC after the SWI instruction.
            chip_.report("software interrupt before " + image_.describe(pcv));
            takeException(0x08, Mode::Supervisor, pcv, false);
            break;
        case EXCP_PREFETCH_ABORT:
            setFault("prefetch abort at " + hex(pcv));
            break;
        case EXCP_DATA_ABORT: {
            // Only alignment checking raises data aborts here (other bad
            // addresses are caught as accesses outside memory).
            setFault("misaligned memory access (the ARM7TDMI would rotate or ignore the low address bits)");
            break;
        }
        default:
            setFault("unexpected exception " + std::to_string(e));
            break;
    }
}

bool Machine::enterInterruptIfPending() {
    bool fiq = chip_.fiqLine(), irq = chip_.irqLine();
    if (!fiq && !irq) {
        hs().watchUnmask = false;
        return false;
    }
    if (chip_.napping()) chip_.power().wake();
    uint32_t c = cpsr();
    const uint32_t at = pc();
    bool taken = false;
    if (fiq && !(c & 0x40)) {
        takeException(0x1C, Mode::Fiq, at + 4, true);
        taken = true;
    } else if (irq && !(c & 0x80)) {
        takeException(0x18, Mode::Irq, at + 4, false);
        taken = true;
    }
    if (taken) ++interruptsTaken_;
    // The interrupted code's polling loop is looked for anew as soon as the
    // outermost handler returns; otherwise the handler's own reader holds
    // the place until it has aged, many passes later.
    if (taken && hs().idleResume == ~0u) hs().idleResume = at;
    // A line still high is taken again as soon as the core unmasks it.
    hs().watchUnmask = true;
    return taken;
}

// A polling loop that finds the chip unchanged leaves the core exactly as it
// was one pass earlier: the same registers, the same RAM, the same register
// values read. Until the next event nothing can change what it reads, so
// the remaining passes up to that event are accounted (time and
// instructions) without being executed. The check runs at the loop's head
// block, the one that reads the register.
bool Machine::idleCheck(uint32_t head) {
    auto& s = hs();
    MachineHooksState::Snapshot now{};
    static const int ids[17] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,
                                UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9,
                                UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP,
                                UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_CPSR};
    void* ptrs[17];
    for (int i = 0; i < 17; ++i) ptrs[i] = &now.regs[i];
    uc_reg_read_batch(uc_, const_cast<int*>(ids), ptrs, 17);
    now.time = chip_.now();
    now.instructions = instructions_;
    // RAM is the same when the pass ran no store, or when it equals the copy
    // taken at the snapshot; and nobody wrote it from outside the core.
    // Back at the snapshot with nothing run since (the core stopped there):
    // the next pass is measured against it.
    if (s.idleHaveSnap && now.instructions == s.idleSnap.instructions && !ramTouched_) {
        s.idleSnap.time = now.time;
        return false;
    }
    const bool fixed = s.idleHaveSnap && s.mmioReads > 0 && !s.mmioSpoils && !ramTouched_ &&
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
                instructions_ += passes * instr;
                s.idleSkipped += passes * instr;
                skipped = true;
            }
        }
        s.idleMisses = 0;
        // The state is the snapshot's: only the clock and the count moved.
        s.idleSnap.time = chip_.now();
        s.idleSnap.instructions = instructions_;
    } else {
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
    auto found = s.timedLoops.find(key);
    if (found == s.timedLoops.end()) {
        std::optional<TimedLoop> loop;
        std::vector<uint8_t> code(size);
        if (uc_mem_read(uc_, addr, code.data(), size) == UC_ERR_OK)
            loop = TimedLoop::decode(code.data(), size, addr, MachineHooks::isThumbAt(this, addr));
        found = s.timedLoops.emplace(key, std::move(loop)).first;
    }
    if (!found->second) return false;
    const TimedLoop& loop = *found->second;
    for (uint32_t b : breakpoints_)
        if (b >= addr && b < addr + size) return false;
    if (s.stopAddr >= addr && s.stopAddr < addr + size) return false;

    const Ticks pass = Ticks(loop.instructions()) * kCyclesPerInstruction * chip_.coreCycle();
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
    // Pass j reads the count at the end of its block's time.
    auto at = [&](uint64_t j) {
        uint32_t v = 0;
        if (timer) v = timer->valueAt(t + (j + 1) * pass);
        return loop.evaluate(regs, v, mem);
    };
    // The first evaluation finds the timer; count it again now that it is known.
    TimedLoop::Pass first = at(0);
    if (!first.valid || !timer) {
        // It reads something else (a status register): not a timer's loop,
        // and it need not be looked at again.
        found->second.reset();
        return false;
    }
    first = at(0);
    if (!first.valid || !first.loops) return false;
    const uint32_t v0 = timer->valueAt(t + pass), v1 = timer->valueAt(t + (last + 1) * pass);
    if (!TimedLoop::monotonic(first, v0, v1)) return false;
    // Every pass is the first one with another count: only the exit test
    // needs working out.
    auto loopsAt = [&](uint64_t j) { return TimedLoop::loops(first, timer->valueAt(t + (j + 1) * pass)); };
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
    chip_.sched().setNow(t + skip * pass);
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

// ---- Registers ----

uint32_t Machine::reg(int n) const {
    uint32_t v = 0;
    uc_reg_read(uc_, kRegIds[n & 15], &v);
    return v;
}

// Registers changed from outside the core: a polling loop is measured anew.
void Machine::setReg(int n, uint32_t v) {
    uc_reg_write(uc_, kRegIds[n & 15], &v);
    hs().idleHaveSnap = false;
}

// The T bit cannot be written through the emulator's CPSR; the state to
// start in is kept aside until the core runs, and reads show it.
uint32_t Machine::cpsr() const {
    uint32_t v = 0;
    uc_reg_read(uc_, UC_ARM_REG_CPSR, &v);
    if (hookState_->startThumb) v = *hookState_->startThumb ? (v | 0x20) : (v & ~0x20u);
    return v;
}

void Machine::setCpsr(uint32_t v) {
    hs().idleHaveSnap = false;
    uc_reg_write(uc_, UC_ARM_REG_CPSR, &v);
    hs().startThumb = (v & 0x20) != 0;
}

uint32_t Machine::spsr() const {
    uint32_t v = 0;
    uc_reg_read(uc_, UC_ARM_REG_SPSR, &v);
    return v;
}

uint32_t Machine::pc() const { return reg(PC) & ~1u; }

void Machine::jump(uint32_t addr) {
    hs().idleHaveSnap = false;
    setReg(PC, addr & ~1u);
    hs().startThumb = (addr & 1) != 0;
}

uint32_t Machine::bankedSp(Mode m) {
    uint32_t c = cpsr();
    uint32_t other = (c & ~0x1Fu) | uint32_t(m);
    setCpsr(other);
    uint32_t v = reg(SP);
    setCpsr(c);
    return v;
}

uint32_t Machine::bankedLr(Mode m) {
    uint32_t c = cpsr();
    uint32_t other = (c & ~0x1Fu) | uint32_t(m);
    setCpsr(other);
    uint32_t v = reg(LR);
    setCpsr(c);
    return v;
}

// ---- Memory ----

uint32_t Machine::read32(uint32_t addr) {
    if (addr >= MMR_BASE_0) return chip_.read(addr);
    uint32_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 4) != UC_ERR_OK) throw SimError("read32: " + hex(addr) + " is not mapped");
    return v;
}

uint16_t Machine::read16(uint32_t addr) {
    uint16_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 2) != UC_ERR_OK) throw SimError("read16: " + hex(addr) + " is not mapped");
    return v;
}

uint8_t Machine::read8(uint32_t addr) {
    uint8_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 1) != UC_ERR_OK) throw SimError("read8: " + hex(addr) + " is not mapped");
    return v;
}

void Machine::writeBytes(uint32_t addr, const std::vector<uint8_t>& bytes) {
    // Tests may preset flash contents; the core itself cannot write there.
    if (addr >= kFlashBase && addr + bytes.size() <= kFlashBase + kFlashSize) {
        std::memcpy(chip_.flash() + (addr - kFlashBase), bytes.data(), bytes.size());
        flushCode();  // the old code may be translated already
        return;
    }
    if (uc_mem_write(uc_, addr, bytes.data(), bytes.size()) != UC_ERR_OK)
        throw SimError("write: " + hex(addr) + " is not mapped");
    if (addr < kRamBase + kRamSize && addr + bytes.size() > kRamBase) ramTouched_ = true;
}

void Machine::write32(uint32_t addr, uint32_t v) {
    if (addr >= MMR_BASE_0) return chip_.write(addr, v);
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    writeBytes(addr, b);
}

void Machine::write16(uint32_t addr, uint16_t v) {
    std::vector<uint8_t> b(2);
    std::memcpy(b.data(), &v, 2);
    writeBytes(addr, b);
}

void Machine::write8(uint32_t addr, uint8_t v) { writeBytes(addr, {v}); }

std::vector<uint8_t> Machine::readBytes(uint32_t addr, size_t n) {
    std::vector<uint8_t> b(n);
    if (n && uc_mem_read(uc_, addr, b.data(), n) != UC_ERR_OK) throw SimError("read: " + hex(addr) + " is not mapped");
    return b;
}

// ---- Snapshots ----

class Machine::Snapshot {
public:
    Snapshot() = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot() {
        if (ctx) uc_context_free(ctx);
    }
    uc_context* ctx = nullptr;
    std::vector<uint8_t> ram, flash;
    Chip::State chip;
    uint32_t cpsr = 0;
    bool watchUnmask = false;
    uint64_t instructions = 0, interrupts = 0;
    unsigned resets = 0;
    std::optional<std::string> fault;
    uint32_t lastBlock = 0;
    bool stackArmed = false;
};

std::shared_ptr<const Machine::Snapshot> Machine::save() {
    auto s = std::make_shared<Snapshot>();
    if (uc_context_alloc(uc_, &s->ctx) != UC_ERR_OK || uc_context_save(uc_, s->ctx) != UC_ERR_OK)
        throw SimError("snapshot: cannot save the core's registers");
    s->ram = ram_;
    s->flash.assign(chip_.flash(), chip_.flash() + kFlashSize);
    s->chip = chip_.saveState();
    s->cpsr = cpsr();
    s->watchUnmask = hs().watchUnmask;
    s->instructions = instructions_;
    s->interrupts = interruptsTaken_;
    s->resets = resets_;
    s->fault = fault_;
    s->lastBlock = lastBlock_;
    s->stackArmed = stackArmed_;
    return s;
}

void Machine::restore(const Snapshot& s) {
    if (uc_context_restore(uc_, s.ctx) != UC_ERR_OK) throw SimError("snapshot: cannot restore the core's registers");
    std::memcpy(ram_.data(), s.ram.data(), kRamSize);
    // Only pages that differ are copied. Code translated from a page of the
    // image is dropped with it (data pages, such as a parameter store, hold
    // no code, and dropping is costly).
    uint8_t* f = chip_.flash();
    uint32_t imageEnd = 0;
    for (const auto& seg : image_.segments())
        imageEnd = std::max<uint32_t>(imageEnd, seg.addr - kFlashBase + uint32_t(seg.bytes.size()));
    for (uint32_t off = 0; off < kFlashSize; off += 512) {
        if (std::memcmp(f + off, s.flash.data() + off, 512) == 0) continue;
        std::memcpy(f + off, s.flash.data() + off, 512);
        if (off < imageEnd) {
            uc_ctl_remove_cache(uc_, off, off + 512);
            uc_ctl_remove_cache(uc_, kFlashBase + off, kFlashBase + off + 512);
            std::fill(blockKinds_.begin(), blockKinds_.end(), 0);
        }
    }
    chip_.loadState(s.chip);
    auto& h = hs();
    h.watchUnmask = s.watchUnmask;
    h.pendingException = 0;
    h.resumeAt.reset();
    h.startThumb = (s.cpsr & 0x20) != 0;
    h.forgetLoop();
    ramTouched_ = true;  // RAM changed behind the core
    h.hitStopAddr = h.hitBreakpoint = false;
    instructions_ = s.instructions;
    interruptsTaken_ = s.interrupts;
    resets_ = s.resets;
    fault_ = s.fault;
    lastBlock_ = s.lastBlock;
    stackArmed_ = s.stackArmed;
}

// ---- Stack checks ----

void Machine::loadStackAreas() {
    stackAreas_.clear();
    blockKinds_.assign(kFlashSize / 2, 0);
    blockSizes_.assign(kFlashSize / 2, 0);
    auto bssEnd = image_.find("__bss_end__");
    stackFloor_ = bssEnd ? (*bssEnd + 3) & ~3u : 0;
    clearStackDepths();
    auto main = image_.find("main");
    stackMain_ = main ? (*main & ~1u) : ~0u;
    static const std::pair<Mode, const char*> order[] = {
        {Mode::Undefined, "UNDEF_Stack_Size"}, {Mode::Abort, "ABT_Stack_Size"},
        {Mode::Fiq, "FIQ_Stack_Size"},         {Mode::Irq, "IRQ_Stack_Size"},
        {Mode::Supervisor, "SVC_Stack_Size"},  {Mode::User, "USR_Stack_Size"}};
    auto top = image_.find("Top_Stack");
    if (!top || !main) return;
    uint32_t t = *top;
    std::vector<StackArea> areas;
    for (const auto& [mode, name] : order) {
        auto size = image_.find(name);
        if (!size || *size > t - kRamBase) return;  // not all named: no checks
        areas.push_back({mode, t - *size, t});
        t -= *size;
    }
    stackAreas_ = std::move(areas);
    clearStackDepths();
}

const Machine::StackArea* Machine::stackArea(Mode m) const {
    if (m == Mode::System) m = Mode::User;  // System mode runs on the User stack
    for (const auto& a : stackAreas_)
        if (a.mode == m) return &a;
    return nullptr;
}

uint32_t Machine::lowestSp(Mode m) const {
    const StackArea* a = stackArea(m);
    if (!a) return 0;
    uint32_t v = lowestSp_[uint32_t(m == Mode::System ? Mode::User : m) & 0xF];
    return v ? v : a->top;
}

void Machine::clearStackDepths() { std::fill(std::begin(lowestSp_), std::end(lowestSp_), 0u); }

uint32_t Machine::stackHighWater(Mode m) {
    const StackArea* a = stackArea(m);
    if (!a) return 0;
    // The User stack, the lowest, may have overflowed into the free RAM below.
    uint32_t from = a->mode == Mode::User && stackFloor_ >= kRamBase && stackFloor_ < a->bottom ? stackFloor_ : a->bottom;
    for (uint32_t addr = from; addr < a->top; addr += 4) {
        uint32_t w;
        std::memcpy(&w, &ram_[addr - kRamBase], 4);
        if (w != ramPattern_) return addr;
    }
    return a->top;
}

// What a block does, decoded once from flash: whether it releases a stack
// frame and returns (from a routine or an exception: its last instruction is
// a BX, a load of the PC or a MOV/SUBS to the PC, and the block pops or adds
// to SP; at its start the frame is still there, so the stack check sees the
// routine at its deepest), and whether it may store to memory (for the
// polling-loop check; counted generously: anything that might store does).
uint8_t Machine::blockKind(uint32_t addr, uint32_t size) {
    uint32_t off = addr >= kFlashBase ? addr - kFlashBase : addr;
    if (off >= kFlashSize || size < 2 || off + size > kFlashSize || blockKinds_.empty()) return kBlockStores;
    uint8_t& kind = blockKinds_[off >> 1];
    uint16_t& decodedSize = blockSizes_[off >> 1];  // a step runs a shorter block from the same start
    if (kind && decodedSize == size) return kind;
    decodedSize = uint16_t(size);
    const uint8_t* f = chip_.flash();
    bool pops = false, returns = false, stores = false;
    if (MachineHooks::isThumbAt(this, addr)) {
        for (uint32_t a = off; a + 2 <= off + size; a += 2) {
            uint16_t h = uint16_t(f[a] | f[a + 1] << 8);
            pops |= (h & 0xFE00) == 0xBC00 || (h & 0xFF80) == 0xB000;  // pop, add sp, #imm
            if (a + 2 == off + size) returns = (h & 0xFF00) == 0xBD00 || (h & 0xFF87) == 0x4700;
            stores |= (h & 0xF000) == 0x5000 ||                           // str/strh/strb (register)
                      (h & 0xE800) == 0x6000 || (h & 0xF800) == 0x8000 ||  // str/strb, strh (immediate)
                      (h & 0xF800) == 0x9000 || (h & 0xFE00) == 0xB400 ||  // str sp-relative, push
                      (h & 0xF800) == 0xC000;                              // stmia
        }
    } else {
        for (uint32_t a = off; a + 4 <= off + size; a += 4) {
            uint32_t i;
            std::memcpy(&i, f + a, 4);
            bool ldmSp = (i & 0x0E3F0000) == 0x083D0000;                                   // ldm sp!
            pops |= ldmSp || (i & 0x0FFFF000) == 0x028DD000 || (i & 0x0FFF0FFF) == 0x049D0004;  // add sp; ldr rX, [sp], #4
            if (a + 4 == off + size)
                returns = (i & 0x0FFFFFF0) == 0x012FFF10 ||                            // bx
                          (ldmSp && (i & 0x8000)) || (i & 0x0FFFFFFF) == 0x049DF004 ||  // pop pc
                          (i & 0x0FEFFFFF) == 0x01A0F00E || (i & 0x0FFFFFFF) == 0x025EF004;
            stores |= (i & 0x0C100000) == 0x04000000 ||  // str, strb
                      (i & 0x0E100090) == 0x00000090 ||  // strh, swp (and multiplies: no matter)
                      (i & 0x0E100000) == 0x08000000 ||  // stm
                      (i & 0x0E100000) == 0x0C000000;    // stc
        }
    }
    kind = uint8_t(kBlockKnown | (pops && returns ? kBlockReturns : 0) | (stores ? kBlockStores : 0));
    return kind;
}

bool Machine::checkStack(uint32_t sp, uint32_t cpsr, const char* when) {
    Mode m = Mode(cpsr & 0x1F);
    const StackArea* a = stackArea(m);
    if (!a) return true;
    uint32_t& low = lowestSp_[uint32_t(a->mode) & 0xF];
    if (low == 0 || sp < low) low = sp;
    if (sp >= a->bottom && sp <= a->top) return true;
    char b[160];
    std::snprintf(b, sizeof b, "%s stack beyond its area: SP 0x%08X %s, area 0x%05X..0x%05X", toString(a->mode),
                  sp, when, a->bottom, a->top);
    setFault(b);
    return false;
}

}  // namespace sim

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
