// One simulated ADuC702x: the ARMv4T core (Unicorn), its memories and the
// chip's blocks, with the test API: load an image, run for a time or until a
// condition, read and write symbols, registers and memory, call a routine.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "chip/chip.h"
#include "core/elf_image.h"
#include "core/cycle_cost.h"
#include "core/time.h"

struct uc_struct;

namespace sim { struct MachineHooksState; }

namespace sim {

// ARM register numbers as the test API takes them: 0..12, 13 SP, 14 LR, 15 PC.
enum : int { SP = 13, LR = 14, PC = 15 };

// Processor modes (CPSR bits 4:0).
enum class Mode : uint32_t { User = 0x10, Fiq = 0x11, Irq = 0x12, Supervisor = 0x13,
                             Abort = 0x17, Undefined = 0x1B, System = 0x1F };
const char* toString(Mode m);

enum class StopReason {
    Time,        // the requested duration has passed
    Condition,   // the caller's condition became true
    Returned,    // a called routine returned
    Breakpoint,  // a breakpoint address was reached
    Fault,       // the firmware did something the chip would not allow
    Limit,       // the time limit ran out before the condition
    Watchpoint,  // a watched memory range was accessed (see watchHit())
    Reset,       // the chip reset itself and stopOnReset is set
};
const char* toString(StopReason r);

struct RunResult {
    StopReason reason;
    std::string report;  // for Fault and Limit: what, where (PC, mode, symbol)
    explicit operator bool() const { return reason != StopReason::Fault && reason != StopReason::Limit; }
};

class SimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Chip& chip() { return chip_; }
    Ticks now() const { return chip_.now(); }
    uint64_t instructions() const { return instructions_; }

    // ---- Image ----
    // Loads the ELF's segments into flash (only flash) and its symbols.
    // Throws SimError with a clear message for a missing, malformed,
    // non-ARM or misplaced image.
    void loadElf(const std::string& path);
    const ElfImage& image() const { return image_; }
    // Address of a symbol (bit 0 set for Thumb functions); throws if missing.
    uint32_t symbol(const std::string& name) const;
    std::optional<uint32_t> findSymbol(const std::string& name) const { return image_.find(name); }
    // "function+0x12" for an address, for reports.
    std::string describe(uint32_t addr) const { return image_.describe(addr); }

    // ---- Power and resets ----
    // Power on: RAM filled with a pattern, every block at reset values, the
    // core at the reset vector in Supervisor mode.
    void powerOn(uint32_t ramPattern = 0xDEADBEEF);
    // A reset with RAM kept as it is.
    void reset(ResetCause cause);
    unsigned resets() const { return resets_; }
    std::function<void(ResetCause)> onReset;

    // ---- Running ----
    RunResult runFor(Ticks duration);
    // runFor for a caller that has touched nothing (chip, memory, core) since
    // the last run ended on its time: events scheduled meanwhile are taken as
    // always, and a polling loop measured before the stop stays measured
    // (runFor measures it anew: someone may have changed what it reads).
    RunResult continueFor(Ticks duration);
    // How the last run ended (for a tool that ran the core through others).
    const RunResult& lastRun() const { return lastRun_; }
    // Runs until cond() holds; cond is checked whenever the core stops (at
    // every event, interrupt, pin change, byte sent...). Gives up after limit.
    RunResult runUntil(const std::function<bool()>& cond, Ticks limit);
    // Runs until the core is about to execute the instruction at the symbol.
    RunResult runToSymbol(const std::string& name, Ticks limit);
    RunResult runToAddress(uint32_t addr, Ticks limit);

    // Calls a firmware routine with up to four word arguments in the current
    // context (interrupts keep running) and returns r0. The registers of the
    // interrupted code are restored afterwards. Throws SimError on a fault or
    // when the routine does not return within the limit.
    uint32_t call(const std::string& routine, std::initializer_list<uint32_t> args = {},
                  Ticks limit = fromMillis(1000));
    uint32_t callAddress(uint32_t addr, std::initializer_list<uint32_t> args = {},
                         Ticks limit = fromMillis(1000));

    // ---- Registers ----
    uint32_t reg(int n) const;  // current mode's view
    void setReg(int n, uint32_t v);
    uint32_t cpsr() const;
    void setCpsr(uint32_t v);
    uint32_t spsr() const;
    uint32_t pc() const;  // address of the next instruction (no Thumb bit)
    // Continue at addr; bit 0 selects Thumb state, as a BX would.
    void jump(uint32_t addr);
    bool thumb() const { return (cpsr() & 0x20) != 0; }
    Mode mode() const { return Mode(cpsr() & 0x1F); }
    // Banked SP/LR of another mode.
    uint32_t bankedSp(Mode m);
    uint32_t bankedLr(Mode m);

    // ---- Memory (RAM, flash, and registers through the models) ----
    uint32_t read32(uint32_t addr);
    uint16_t read16(uint32_t addr);
    uint8_t read8(uint32_t addr);
    void write32(uint32_t addr, uint32_t v);
    void write16(uint32_t addr, uint16_t v);
    void write8(uint32_t addr, uint8_t v);
    std::vector<uint8_t> readBytes(uint32_t addr, size_t n);
    void writeBytes(uint32_t addr, const std::vector<uint8_t>& bytes);
    // Globals by name.
    uint32_t readSym(const std::string& name, uint32_t offset = 0) { return read32(symbol(name) + offset); }
    void writeSym(const std::string& name, uint32_t v, uint32_t offset = 0) { write32(symbol(name) + offset, v); }
    uint8_t* ram() {
        ramTouched_ = true;  // the caller may write: polling loops are measured anew
        return ram_.data();
    }

    // ---- Faults ----
    // The first fault of the run, if any; a fault stops the run.
    const std::optional<std::string>& fault() const { return fault_; }
    void clearFault() { fault_.reset(); }
    // Faults stop the run by default; an operator's simulator may keep
    // going after a report instead.
    std::function<void(const std::string&)> onFault;

    // ---- Breakpoints (for the debugger) ----
    void addBreakpoint(uint32_t addr);
    void removeBreakpoint(uint32_t addr);
    void clearBreakpoints();
    // Single instruction step; returns the stop reason.
    RunResult step();

    // Polling loops that cannot see any change before the next event are
    // fast-forwarded to it (on by default; the result is the same run).
    void setFastForward(bool on);
    bool fastForward() const;
    uint64_t skippedInstructions() const;

    // Virtual time: each executed block is charged its core cycles from the
    // cycle cost model (core/cycle_cost.h), the same the profiler uses,
    // costed once per block and cached; exception entry adds its fetches.
    const CycleModel& cycleModel() const { return cycleModel_; }
    // The cost of the block of `size` bytes at `addr` (cached).
    const BlockCost& blockCost(uint32_t addr, uint32_t size);
    // Core cycles charged since power-on of this Machine, skipped passes of
    // polling loops included.
    uint64_t cycles() const { return cycles_; }

    // Hooks for tools (profiling, checks). onBlock runs before every executed
    // basic block (address, size in bytes) and costs a call per block, so it
    // is empty unless a tool needs it; onException runs at every exception
    // entry (vector, mode entered) before the registers change; onSlice after
    // every stretch the core ran.
    std::function<void(uint32_t addr, uint32_t size)> onBlock;
    std::function<void(uint32_t vector, Mode mode)> onException;
    std::function<void()> onSlice;

    uint64_t interruptsTaken() const { return interruptsTaken_; }

    // ---- Stack checks ----
    // Every processor mode's stack area comes from the image's start-up
    // (Top_Stack and the *_Stack_Size constants, carved down in the order
    // Undefined, Abort, FIQ, IRQ, Supervisor, User). Once start-up has reached
    // main, the running mode's stack pointer is checked at the start of every
    // block that releases a frame and returns (routine or exception return:
    // the routine at its deepest), and the interrupted and the entered mode's
    // at every exception entry; one outside its area is a fault. An image
    // that does not name its areas is not checked.
    struct StackArea {
        Mode mode;
        uint32_t bottom;  // lowest address the stack may use
        uint32_t top;     // initial stack pointer
    };
    const std::vector<StackArea>& stackAreas() const { return stackAreas_; }
    const StackArea* stackArea(Mode m) const;
    void setStackChecks(bool on) { stackChecks_ = on; }
    // Lowest stack pointer seen in a mode at those checks since the last
    // clear (the area's top when none was seen).
    uint32_t lowestSp(Mode m) const;
    void clearStackDepths();
    // Lowest word of the area that no longer holds the power-on RAM pattern:
    // the exact high-water mark since power-on (a push within one block
    // shows here even where the sampled stack pointer cannot see it). For
    // the User stack the search starts at the end of the image's data, so
    // an overflow shows as a mark below the area.
    uint32_t stackHighWater(Mode m);

    // ---- Snapshots ----
    // The machine between two runs: the core's registers in every mode, RAM,
    // flash, the chip (time, pending events, every block) and the counters.
    // Restoring one continues exactly as the machine went on from there. The
    // image must be the same; the board is not included (a board with state
    // of its own is set back by its owner); the stack depths measured so far
    // are kept.
    class Snapshot;
    std::shared_ptr<const Snapshot> save();
    void restore(const Snapshot& s);
    // ---- Debugger support ----
    // Watchpoints stop the core before the instruction that accesses the
    // range executes (memory and registers as they were), as the debug unit
    // of a real core would. RAM and flash only. While any watchpoint is set
    // every instruction is traced, which slows the simulation.
    enum class Access { Write, Read, Any };
    void addWatchpoint(uint32_t addr, uint32_t len, Access access);
    void removeWatchpoint(uint32_t addr, uint32_t len, Access access);
    void clearWatchpoints();
    struct WatchHit {
        uint32_t addr;  // first accessed byte inside the watched range
        Access access;  // Write or Read: what the instruction did
        uint32_t pc;
    };
    // The access behind the last StopReason::Watchpoint.
    const std::optional<WatchHit>& watchHit() const { return watchHit_; }
    // A reset the chip carries out (watchdog, RSTSTA) stops the run with
    // the core at the reset vector instead of running on.
    bool stopOnReset = false;
    void setSpsr(uint32_t v);

private:
    friend struct MachineHooks;
    RunResult run(Ticks until, const std::function<bool()>* cond, uint32_t stopAddr);
    RunResult runSlices(Ticks until, const std::function<bool()>* cond, uint32_t stopAddr);
    RunResult lastRun_{StopReason::Time, ""};
    void takeException(uint32_t vector, Mode mode, uint32_t lr, bool maskFiq);
    void handleException();
    bool enterInterruptIfPending();
    uint32_t startAddress();
    bool idleCheck(uint32_t head);
    bool timedSkip(uint32_t addr, uint32_t size);
    void afterSlice();
    void doReset(ResetCause cause);
    void setFault(const std::string& what);
    std::string where() const;
    void mapMemory();
    void installHooks();
    void updateCodeHooks();
    void clearCodeHooks();
    void flushCode();
    inline MachineHooksState& hs();  // defined in core/hooks.h

    Chip chip_;
    ElfImage image_;
    uc_struct* uc_ = nullptr;
    std::unique_ptr<MachineHooksState> hookState_;
    std::vector<uint8_t> ram_;
    size_t codeHook_ = 0;
    std::vector<size_t> extraCodeHooks_;
    // One code hook per coprocessor instruction of the image (see loadElf).
    std::vector<size_t> coprocessorHooks_;
    void hookCoprocessorInstructions(const std::vector<std::pair<uint32_t, uint32_t>>& armRanges);
    uint64_t instructions_ = 0;
    uint64_t interruptsTaken_ = 0;
    // Time base (see cycleModel()).
    CycleModel cycleModel_;
    uint64_t cycles_ = 0;
    // What the block hook needs of a block of flash, found with one look-up:
    // the charge, and the kind (decoded when first asked for), for the size
    // it was met with (a step runs a shorter block from the same start).
    // Small, so that the blocks a loop runs share cache lines (a board runs
    // many machines in turn); the whole cost lies beside it in costs_.
    struct CachedBlock {
        uint16_t size = 0;
        uint8_t kind = 0;            // 0: not decoded yet
        bool settles = false;        // ends in a conditional branch: takenExtra once the next block shows it
        uint32_t instructions = 0;
        uint32_t startCycles = 0;
        uint32_t takenExtra = 0;
    };
    std::vector<uint16_t> costIndex_;  // per flash halfword where a block starts: 1 + index into blocks_, 0 none
    std::vector<CachedBlock> blocks_;
    std::vector<BlockCost> costs_;     // beside blocks_
    std::unordered_map<uint64_t, BlockCost> otherCosts_;  // code outside flash
    // The flash block at addr of `size` bytes, costed; nullptr for code
    // outside flash (or before an image gave flash its cache). Valid until
    // the next block is costed.
    inline CachedBlock* cachedBlock(uint32_t addr, uint32_t size);  // defined in core/hooks.h
    CachedBlock* costNewBlock(uint32_t off, uint32_t addr, uint32_t size);
    // The block that ran last ends in a conditional branch: the refill is
    // charged once the next block shows it was taken.
    uint32_t branchEnd_ = 0, branchExtra_ = 0;
    void charge(uint64_t cycles);
    void settleBranch(uint32_t next);
    void forgetCosts();
    unsigned resets_ = 0;
    std::optional<std::string> fault_;
    std::vector<uint32_t> breakpoints_;
    uint32_t skipBreakAt_ = ~0u;
    uint32_t trapAddr_ = 0;
    uint32_t lastBlock_ = 0;
    uint32_t lastBlockSize_ = 0;

    // Key sequences of the power block (core/key_sequences.cpp): where the
    // last step was, and the memory accesses of the blocks run since.
    struct KeyStep {
        uint32_t block = 0, size = 0;
        int index = -1;  // of the instruction in its block; -1 not found
    };
    KeyStep keyStep_;
    int keyIndex_ = -1;          // the access being made
    uint32_t keyBlocks_ = 0;     // blocks started since the last step
    uint32_t keyTransfers_ = 0;  // their instructions that access memory
    void keyBlock(uint32_t addr, uint32_t size);
    void keyAccessBefore(uint32_t addr, bool write);
    void keyAccessAfter();
    int findAccess(uint32_t block, uint32_t size, uint32_t addr, bool write, int after);
    unsigned accessesBefore(uint32_t block, uint32_t size, int index);

    // Stack checks (see above).
    void loadStackAreas();
    bool checkStack(uint32_t sp, uint32_t cpsr, const char* when);
    static constexpr uint8_t kBlockKnown = 1, kBlockReturns = 2, kBlockStores = 4;
    uint8_t blockKind(uint32_t addr, uint32_t size);
    // The kind of a cached block (b may be null: code outside flash).
    inline uint8_t kindOf(CachedBlock* b, uint32_t addr, uint32_t size);  // defined in core/hooks.h
    uint8_t decodeKind(uint32_t addr, uint32_t size);
    bool kindsOn_ = false;  // an image is loaded: flash blocks are decoded (else all may store)
    uint32_t stackFloor_ = 0;  // end of zero-initialised data
    std::vector<StackArea> stackAreas_;
    bool stackChecks_ = true;
    bool stackArmed_ = false;  // start-up has reached main since the last reset
    uint32_t stackMain_ = ~0u;
    uint32_t lowestSp_[16] = {};
    uint32_t ramPattern_ = 0xDEADBEEF;
    bool ramTouched_ = false;  // RAM written from outside the core

    // Debugger support
    struct Watch { uint32_t addr, len; Access access; };
    void updateWatchHooks();
    void resumeAfterWatch();
    std::optional<RunResult> takeWatchStop();
    std::vector<Watch> watches_;
    std::vector<size_t> watchMemHooks_;
    size_t watchCodeHook_ = 0;
    std::optional<WatchHit> watchHit_;
    bool watchPending_ = false;                       // hit in the current slice
    std::vector<std::pair<uint32_t, uint8_t>> watchUndo_;  // RAM bytes before the store
    uint32_t watchSkipPc_ = ~0u;  // resuming at the instruction that hit
};

}  // namespace sim
