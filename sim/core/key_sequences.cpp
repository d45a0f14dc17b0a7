// Key sequences of the power block (POWKEY1, POWCON, POWKEY2; PLLKEY1,
// PLLCON, PLLKEY2) must come with no other memory access between their
// steps. Accesses to other registers reach the chip and break a sequence
// there; RAM and flash accesses never do, so the machine works them out:
// the emulator reports a register access with only its block's start, so
// the step is found among the block's instructions by the address each
// would access with the registers as they stand (they are current at a
// register access), and every instruction that accesses memory between
// two steps breaks the sequence. Blocks run between the steps are counted
// as they start. A step that cannot be placed (an address no instruction
// of its block gives) is taken as following the previous one.
#include "core/hooks.h"
#include "chip/periph/core_blocks.h"

namespace sim {

namespace {

struct Transfer {
    bool valid = false;
    bool load = false;
    uint32_t lo = 0, hi = 0;  // bytes [lo, hi)
};

uint32_t shifted(uint32_t v, unsigned type, unsigned amount) {
    switch (type) {
        case 0: return amount ? v << amount : v;
        case 1: return amount ? v >> amount : 0;
        case 2: return amount ? uint32_t(int32_t(v) >> amount) : uint32_t(int32_t(v) >> 31);
        default: return amount ? (v >> amount | v << (32 - amount)) : v >> 1;  // RRX without the carry
    }
}

Transfer single(bool load, uint32_t at, uint32_t width) { return {true, load, at, at + width}; }

Transfer armAccess(uint32_t w, uint32_t pc, const uint32_t* r) {
    auto reg = [&](unsigned n) { return n == 15 ? pc + 8 : r[n]; };
    const bool load = (w >> 20) & 1;
    const uint32_t rn = reg((w >> 16) & 15);
    auto indexed = [&](uint32_t off) {
        const bool pre = (w >> 24) & 1, up = (w >> 23) & 1;
        return pre ? (up ? rn + off : rn - off) : rn;
    };
    if ((w & 0x0C000000) == 0x04000000) {  // LDR/STR, word or byte
        uint32_t off = w & 0xFFF;
        if ((w >> 25) & 1) off = shifted(reg(w & 15), (w >> 5) & 3, (w >> 7) & 31);
        return single(load, indexed(off), (w >> 22) & 1 ? 1 : 4);
    }
    if ((w & 0x0FB00FF0) == 0x01000090) return {true, false, rn, rn + 4};  // SWP: both ways
    if ((w & 0x0E000090) == 0x00000090 && (w & 0x60)) {  // halfword and signed transfers
        const uint32_t off = (w >> 22) & 1 ? ((w >> 4) & 0xF0) | (w & 0xF) : reg(w & 15);
        return single(load, indexed(off), (w & 0x60) == 0x40 ? 1 : 2);
    }
    if ((w & 0x0E000000) == 0x08000000) {  // LDM/STM: somewhere next to the base
        const uint32_t n = uint32_t(__builtin_popcount(w & 0xFFFF));
        return {true, load, rn - 4 * n, rn + 4 * n + 4};
    }
    return {};
}

Transfer thumbAccess(uint16_t h, const uint32_t* r) {
    const uint32_t rn = r[(h >> 3) & 7];
    if ((h & 0xF000) == 0x5000) {  // register offset
        const unsigned op = (h >> 9) & 7;
        static const uint8_t width[8] = {4, 2, 1, 1, 4, 2, 1, 2};
        return single(op >= 3, rn + r[(h >> 6) & 7], width[op]);
    }
    const uint32_t imm5 = (h >> 6) & 31;
    if ((h & 0xE000) == 0x6000) {  // word or byte, immediate offset
        const bool byte = (h >> 12) & 1;
        return single((h >> 11) & 1, rn + (byte ? imm5 : imm5 * 4), byte ? 1 : 4);
    }
    if ((h & 0xF000) == 0x8000) return single((h >> 11) & 1, rn + imm5 * 2, 2);
    if ((h & 0xF000) == 0xC000) {  // LDMIA/STMIA
        const uint32_t base = r[(h >> 8) & 7];
        return {true, bool((h >> 11) & 1), base, base + 4 * uint32_t(__builtin_popcount(h & 0xFF)) + 4};
    }
    return {};
}

}  // namespace

// The block's instructions in order, each as its word (a Thumb halfword
// zero-extended), its address and whether it is Thumb; `f` returns false to
// stop.
template <class F>
static void eachInstruction(uc_engine* uc, bool thumb, uint32_t block, uint32_t size, F f) {
    std::vector<uint8_t> code(size);
    if (!size || uc_mem_read(uc, block, code.data(), size) != UC_ERR_OK) return;
    const uint32_t step = thumb ? 2 : 4;
    for (uint32_t off = 0, i = 0; off + step <= size; off += step, ++i) {
        const uint8_t* p = &code[off];
        const uint32_t w = thumb ? uint32_t(p[0] | p[1] << 8) : uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
        if (!f(int(i), w, block + off)) return;
    }
}

// Which instruction of the block, after the one numbered `after`, makes
// this access; -1 if none can be told.
int Machine::findAccess(uint32_t block, uint32_t size, uint32_t addr, bool write, int after) {
    static const int ids[16] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                UC_ARM_REG_R4, UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC};
    uint32_t r[16] = {};
    void* ptrs[16];
    for (int i = 0; i < 16; ++i) ptrs[i] = &r[i];
    uc_reg_read_batch(uc_, const_cast<int*>(ids), ptrs, 16);
    const bool thumb = MachineHooks::isThumbAt(this, block);
    int found = -1;
    eachInstruction(uc_, thumb, block, size, [&](int i, uint32_t w, uint32_t at) {
        if (i <= after) return true;
        const Transfer a = thumb ? thumbAccess(uint16_t(w), r) : armAccess(w, at, r);
        if (a.valid && a.load != write && addr >= a.lo && addr < a.hi) found = i;
        return found < 0;
    });
    return found;
}

// The instructions before the one numbered `index` that access memory.
unsigned Machine::accessesBefore(uint32_t block, uint32_t size, int index) {
    const bool thumb = MachineHooks::isThumbAt(this, block);
    unsigned n = 0;
    eachInstruction(uc_, thumb, block, size, [&](int i, uint32_t w, uint32_t) {
        if (i >= index) return false;
        if ((thumb ? decodeThumb(uint16_t(w)) : decodeArm(w)).transfers) ++n;
        return true;
    });
    return n;
}

// A whole block's instructions that access memory, from its cached cost.
void Machine::keyBlock(uint32_t addr, uint32_t size) {
    const BlockCost& c = blockCost(addr, size);
    ++keyBlocks_;
    for (InsnClass k : {InsnClass::Load, InsnClass::Store, InsnClass::LoadMultiple, InsnClass::StoreMultiple,
                        InsnClass::Swap})
        keyTransfers_ += c.classCounts[size_t(k)];
}

void Machine::keyAccessBefore(uint32_t addr, bool write) {
    Power& power = chip_.power();
    const bool sameBlock = keyBlocks_ == 0 && keyStep_.block == lastBlock_;
    keyIndex_ = findAccess(lastBlock_, lastBlockSize_, addr, write,
                           power.sequenceOpen() && sameBlock ? keyStep_.index : -1);
    if (!power.sequenceOpen() || keyIndex_ < 0 || keyStep_.index < 0) return;
    const unsigned here = accessesBefore(lastBlock_, lastBlockSize_, keyIndex_);
    unsigned between;
    if (sameBlock) {
        between = here - accessesBefore(lastBlock_, lastBlockSize_, keyStep_.index) - 1;
    } else {
        // The rest of the step's block, the blocks in between, the start of this one.
        const unsigned stepBlock = accessesBefore(keyStep_.block, keyStep_.size, int(keyStep_.size));
        const unsigned thisBlock = accessesBefore(lastBlock_, lastBlockSize_, int(lastBlockSize_));
        between = stepBlock - accessesBefore(keyStep_.block, keyStep_.size, keyStep_.index) - 1 +
                  (keyTransfers_ - thisBlock) + here;
    }
    if (between) {
        const uint32_t step = MachineHooks::isThumbAt(this, lastBlock_) ? 2 : 4;
        const std::string at = hex(lastBlock_ + step * uint32_t(keyIndex_));
        power.otherAccess(between == 1 ? "a RAM or flash access before the instruction at " + at
                                       : std::to_string(between) + " RAM or flash accesses before the instruction at " + at);
    }
}

void Machine::keyAccessAfter() {
    if (!chip_.power().sequenceOpen()) return;
    keyStep_ = {lastBlock_, lastBlockSize_, keyIndex_};
    keyBlocks_ = keyTransfers_ = 0;
}

}  // namespace sim
