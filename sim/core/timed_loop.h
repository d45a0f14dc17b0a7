// A polling loop on a timer's count, such as a busy-wait delay:
//
//     loop: ldr  r3, [r2]        @ T1VAL
//           cmp  r0, r3
//           bhi  loop
//
// One basic block that ends in a conditional branch back to its own start,
// with nothing inside but arithmetic on registers and constants and loads of
// memory that nothing changes until the next event, one of them the count.
// Every register the block reads before writing it is left alone by the
// block, so every pass starts from the same inputs except the count: whether
// a pass leaves the loop is a function of the count alone, which the
// simulator can evaluate for any future pass without running it.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sim {

class TimedLoop {
public:
    // Memory as the loop reads it. `isCount`: the address of a timer count.
    // `read`: any other memory the loop may read (constant until the next
    // event); nullopt for memory it must not read (registers with effects).
    struct Memory {
        std::function<bool(uint32_t addr)> isCount;
        std::function<std::optional<uint32_t>(uint32_t addr, unsigned bytes)> read;
    };

    // How the exit test depends on the count v: the compared quantity is
    // coeff * v + offset (modulo 2^32), compared as unsigned or signed
    // numbers with a loop-invariant one; coeff 0 when it does not depend on v.
    enum class Order : uint8_t { None, Unsigned, Signed };
    struct Pass {
        bool valid = false;      // the pass depends on nothing but the count and constants
        bool loops = false;      // the back branch is taken
        uint32_t countAddr = 0;  // the count register read (0: none)
        int coeff = 0;
        uint32_t offset = 0;
        Order order = Order::None;
        // The test itself: (count side) - other, or other - (count side),
        // under the branch's condition code.
        uint32_t other = 0;
        bool countFirst = false;
        uint8_t cond = 14;
    };

    // Decodes the block at `addr` (ARM or Thumb). nullopt when it is not a
    // loop of that form.
    static std::optional<TimedLoop> decode(const uint8_t* code, uint32_t size, uint32_t addr, bool thumb);

    // One pass from the registers at the loop's start, the count reading `count`.
    Pass evaluate(const uint32_t regs[16], uint32_t count, const Memory& mem) const;

    unsigned instructions() const { return instructions_; }
    uint16_t liveIn() const { return liveIn_; }

    // Whether the pass that `p` describes loops when the count reads `count`
    // (the same loop, the same registers at its start): the arithmetic of
    // the exit test alone, without running the pass again.
    static bool loops(const Pass& p, uint32_t count);

    // Whether the exit test, monotonic in a count that moves monotonically
    // from v0 to v1, can change only once between them.
    static bool monotonic(const Pass& p, uint32_t v0, uint32_t v1);

    // One decoded instruction.
    struct Op {
        enum class Kind : uint8_t { Alu, Load, Branch } kind = Kind::Alu;
        uint8_t alu = 0;         // ARM data-processing opcode, or a shift (kLsl.. in timed_loop.cpp)
        bool setFlags = false;
        uint8_t rd = 0, rn = 0;  // rn 16: no first operand
        bool immediate = false;  // second operand: imm (with immCarry) or rm shifted
        uint32_t imm = 0;
        int8_t immCarry = -1;    // shifter carry of a rotated immediate; -1 keeps C
        uint8_t rm = 0, shift = 0, amount = 0;
        bool shiftByReg = false; // Thumb shifts by register: amount in rm's partner (rn)
        int32_t offset = 0;      // loads: byte offset from rn (rn 15: the literal's address)
        uint8_t bytes = 4;
        uint8_t cond = 14;       // branch condition
        uint32_t pc = 0;         // value of PC as an operand of this instruction
    };

private:
    std::vector<Op> ops_;
    unsigned instructions_ = 0;
    uint16_t liveIn_ = 0;
};

}  // namespace sim
