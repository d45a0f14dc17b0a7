// The cycle cost model of the ADuC702x's ARM7TDMI: the one source of both
// the simulator's virtual time (Machine) and the per-routine profile
// (Profiler), so the two cannot drift apart.
//
// The ARM7TDMI data sheet gives every instruction as S (sequential), N
// (non-sequential) and I (internal) cycles; on a memory with no wait states
// each is one clock. The ADuC702x fetches code from a 16-bit flash: an ARM
// opcode takes two halfword reads, a Thumb opcode one, and code in SRAM is
// fetched in one cycle. A 32-bit datum read from flash takes two cycles and
// a dead cycle; a data access to SRAM or to a register takes one. (Flash
// read cost per halfword and the dead cycle: assumed, the ADuC702x data
// sheet's memory section was not at hand; it states ARM code from flash
// runs at about half the speed of Thumb code, which this gives.) So, per
// instruction as executed:
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
// A block is costed once, when it is first met, and the cost is cached by
// its address and size. What depends on data is settled at block
// granularity: a conditional branch ending a block is charged taken or not
// taken by where execution went on (exact); a conditional instruction
// inside a block is charged as executed (an upper bound: one that fails its
// condition takes only its fetch; BlockCost::conditionalSlack bounds the
// error); multiplies at their worst case (up to 3 cycles high each); a
// non-literal read of flash data as an SRAM read (1 or 2 cycles low each).
// Exception entry costs three ARM fetches from the flash vectors.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim {

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

    unsigned exceptionCycles() const { return exceptionEntry * armFlashFetch; }
    bool operator==(const CycleModel&) const = default;
};

// Cycles of one executed instruction. `pcWritten`: it changed the flow.
unsigned instructionCycles(const InsnInfo& i, bool thumb, bool fromFlash, bool pcWritten,
                           const CycleModel& m = {});

// The cost of one basic block (straight-line code, at most its last
// instruction changes the flow).
struct BlockCost {
    uint32_t instructions = 0;
    uint32_t cyclesFallThrough = 0;  // its last instruction did not change the flow
    uint32_t cyclesTaken = 0;        // it did
    uint32_t conditionalSlack = 0;   // cycles charged to conditional instructions beyond their fetch
    bool lastMayBranch = false;
    bool lastAlwaysTaken = false;
    uint32_t classCounts[size_t(InsnClass::Count)] = {};

    // What is charged when the block starts; the refill of a conditional
    // branch that is taken follows once the next block is known.
    uint32_t startCycles() const { return lastAlwaysTaken ? cyclesTaken : cyclesFallThrough; }
    uint32_t takenExtra() const { return cyclesTaken - cyclesFallThrough; }
};

// Costs `size` bytes of code (whole instructions of the given state).
BlockCost costBlock(const uint8_t* code, uint32_t size, bool thumb, bool fromFlash, const CycleModel& m = {});

}  // namespace sim
