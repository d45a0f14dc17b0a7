// Per-routine profile of a running image, in instructions and in estimated
// core cycles of the ADuC702x's ARM7TDMI.
//
// Cycle estimate. The ARM7TDMI data sheet gives every instruction as S
// (sequential), N (non-sequential) and I (internal) cycles; on a memory with
// no wait states each is one clock. The ADuC702x fetches code from a 16-bit
// flash: an ARM opcode takes two halfword reads, a Thumb opcode one, and
// code in SRAM is fetched in one cycle. A 32-bit datum read from flash takes
// two cycles and a dead cycle; a data access to SRAM or to a register takes
// one. So, per instruction as executed:
//
//   cycles = fetches x fetch cost + data transfers x their cost + I cycles
//
//   fetches: 1; 3 when it writes the PC (branch taken, BX, load or move into
//            the PC, exception entry): the pipeline refills with two more
//   I:       loads (LDR, LDM, SWP, POP) 1; register-specified shift 1;
//            MUL m, MLA and long multiplies m + 1, MLAL m + 2 (m = 1..4 by
//            the multiplier's magnitude; taken as 4, the worst case)
//   data:    one transfer per register of LDR/STR/LDM/STM/PUSH/POP, two for
//            SWP; a PC-relative literal lies with the code (in flash for
//            code in flash), any other address is taken as SRAM or a
//            register (the block's code tells no more)
//
// Conditional instructions inside a block are charged as executed (an upper
// bound); a conditional branch ending a block is charged taken or not taken
// by where execution went on. Exception entry costs three ARM fetches.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

class Machine;
enum class Mode : uint32_t;

enum class InsnClass : uint8_t {
    Alu,          // data processing, MRS/MSR, Thumb BL prefix
    AluShiftReg,  // data processing with a register-specified shift
    Multiply,
    Load,         // LDR/LDRB/LDRH/LDRSB/LDRSH
    Store,
    LoadMultiple,  // LDM, POP
    StoreMultiple, // STM, PUSH
    Swap,
    Branch,       // B, BL, BX, Thumb BL suffix
    Swi,
    Other,        // coprocessor and undefined encodings
    Count
};
const char* toString(InsnClass c);

// What one instruction costs, before the memory it runs from is known.
struct InsnInfo {
    InsnClass cls = InsnClass::Other;
    uint8_t internal = 0;      // I cycles
    uint8_t transfers = 0;     // data transfers
    uint8_t transferBytes = 4; // width of each
    bool literal = false;      // PC-relative load: the datum is in flash
    bool conditional = false;  // ARM condition other than AL, or a Thumb conditional branch
    bool writesPc = false;     // may change the flow (branch, load or move into PC)
    bool alwaysWritesPc = false;  // unconditional change of flow
};

InsnInfo decodeArm(uint32_t insn);
InsnInfo decodeThumb(uint16_t insn);

// Memory costs of the ADuC702x, in core cycles.
struct CycleModel {
    unsigned armFlashFetch = 2;    // two halfword reads of the 16-bit flash
    unsigned thumbFlashFetch = 1;
    unsigned ramFetch = 1;
    unsigned flashHalfword = 1;    // one flash read per 16 bits of data
    unsigned flashDeadTime = 1;    // per instruction that reads data from flash
    unsigned ramTransfer = 1;      // SRAM or register, any width
    unsigned multiplyCycles = 4;   // m of the multiply timings
    unsigned exceptionEntry = 3;   // fetches (ARM state, from the flash vectors)
};

// Cycles of one executed instruction. `pcWritten`: it changed the flow.
unsigned instructionCycles(const InsnInfo& i, bool thumb, bool fromFlash, bool pcWritten,
                           const CycleModel& m = {});

class Profiler {
public:
    // Attaches to the machine's onBlock and onException hooks (keeping and
    // calling any hook already there) until destroyed. Routines come from
    // the loaded image's function symbols. Polling loops are not
    // fast-forwarded while a profile is taken: every pass is charged.
    explicit Profiler(Machine& m, const CycleModel& model = {});
    ~Profiler();
    Profiler(const Profiler&) = delete;
    Profiler& operator=(const Profiler&) = delete;

    struct Routine {
        std::string name;
        uint32_t addr = 0, size = 0;
        uint64_t instructions = 0;
        uint64_t cycles = 0;
        uint64_t blocks = 0;
    };

    // Totals so far. Instructions count every block begun; cycles every
    // block before the current one (a block's last instruction is settled,
    // branch taken or not, when the next block starts).
    uint64_t instructions() const { return instructions_; }
    uint64_t cycles() const { return cycles_; }
    uint64_t classCount(InsnClass c) const { return classCounts_[size_t(c)]; }
    // Routines with any cost, most cycles first.
    std::vector<Routine> routines() const;
    void clear();
    // A table of the `top` most expensive routines.
    std::string report(size_t top = 20) const;
    // Called at every block with the totals up to it (the block itself not
    // yet counted), and at every exception entry before its cost is added.
    std::function<void(uint32_t addr)> onBlock;
    std::function<void(uint32_t vector)> onException;

private:
    struct Block {
        uint32_t end = 0;           // address after the block
        uint32_t instructions = 0;
        uint32_t cyclesFallThrough = 0;  // last instruction did not change the flow
        uint32_t cyclesTaken = 0;        // it did
        bool lastAlwaysTaken = false;
        bool lastMayBranch = false;
        int routine = -1;
        uint32_t classCounts[size_t(InsnClass::Count)] = {};
    };
    const Block& blockAt(uint32_t addr, uint32_t size);
    void settle(uint32_t next);
    void block(uint32_t addr, uint32_t size);
    void exception(uint32_t vector, Mode mode);
    int routineOf(uint32_t addr) const;
    bool thumbAt(uint32_t addr) const;

    Machine& m_;
    CycleModel model_;
    std::function<void(uint32_t, uint32_t)> prevBlock_;
    std::function<void(uint32_t, Mode)> prevException_;
    bool fastForward_ = true;
    std::unordered_map<uint64_t, Block> blocks_;  // by address and size
    const Block* pending_ = nullptr;
    std::vector<Routine> routines_;       // sorted by address
    std::vector<std::pair<uint32_t, bool>> stateMarks_;  // mapping symbols: address, Thumb
    uint64_t instructions_ = 0, cycles_ = 0;
    uint64_t classCounts_[size_t(InsnClass::Count)] = {};
    uint64_t unattributedInstructions_ = 0, unattributedCycles_ = 0;
};

}  // namespace sim
