#include "core/cycle_cost.h"

#include <bit>
#include <cstring>

namespace sim {

const char* toString(InsnClass c) {
    switch (c) {
        case InsnClass::Alu: return "alu";
        case InsnClass::AluShiftReg: return "alu-shift-reg";
        case InsnClass::Multiply: return "multiply";
        case InsnClass::Load: return "load";
        case InsnClass::Store: return "store";
        case InsnClass::LoadMultiple: return "load-multiple";
        case InsnClass::StoreMultiple: return "store-multiple";
        case InsnClass::Swap: return "swap";
        case InsnClass::Branch: return "branch";
        case InsnClass::Swi: return "swi";
        case InsnClass::Other: return "other";
        case InsnClass::Count: break;
    }
    return "?";
}

// ---- Decoding (ARM7TDMI data sheet, instruction formats) ----

InsnInfo decodeArm(uint32_t insn) {
    InsnInfo i;
    const uint32_t cond = insn >> 28;
    if (cond == 0xF) return i;  // undefined on ARMv4
    i.conditional = cond != 0xE;
    const unsigned rd = (insn >> 12) & 0xF, rn = (insn >> 16) & 0xF;
    auto branch = [&](InsnClass c) {
        i.cls = c;
        i.writesPc = true;
        i.alwaysWritesPc = !i.conditional;
    };
    switch ((insn >> 25) & 7) {
        case 0:
            if ((insn & 0x0FC000F0) == 0x00000090) {  // MUL, MLA
                i.cls = InsnClass::Multiply;
                i.internal = (insn & (1u << 21)) ? 1 : 0;  // + m, added with the model
                return i;
            }
            if ((insn & 0x0F8000F0) == 0x00800090) {  // UMULL, UMLAL, SMULL, SMLAL
                i.cls = InsnClass::Multiply;
                i.internal = (insn & (1u << 21)) ? 2 : 1;
                return i;
            }
            if ((insn & 0x0FB00FF0) == 0x01000090) {  // SWP, SWPB
                i.cls = InsnClass::Swap;
                i.internal = 1;
                i.transfers = 2;
                i.transferBytes = (insn & (1u << 22)) ? 1 : 4;
                return i;
            }
            if ((insn & 0x0FFFFFF0) == 0x012FFF10) {  // BX
                branch(InsnClass::Branch);
                return i;
            }
            if ((insn & 0x0E000090) == 0x00000090 && (insn & 0x60) != 0) {  // halfword and signed transfers
                const bool load = insn & (1u << 20);
                i.cls = load ? InsnClass::Load : InsnClass::Store;
                i.transfers = 1;
                i.transferBytes = (insn & 0x20) ? 2 : 1;
                if (load) {
                    i.internal = 1;
                    i.literal = rn == 15 && (insn & (1u << 22));
                    if (rd == 15) branch(InsnClass::Load);
                }
                return i;
            }
            if ((insn & 0x0FBF0FFF) == 0x010F0000 || (insn & 0x0DB0F000) == 0x0120F000) {  // MRS, MSR
                i.cls = InsnClass::Alu;
                return i;
            }
            [[fallthrough]];
        case 1: {
            if ((insn & 0x0FB0F000) == 0x0320F000) {  // MSR immediate
                i.cls = InsnClass::Alu;
                return i;
            }
            const unsigned op = (insn >> 21) & 0xF;
            const bool regShift = !(insn & (1u << 25)) && (insn & 0x10);
            i.cls = regShift ? InsnClass::AluShiftReg : InsnClass::Alu;
            i.internal = regShift ? 1 : 0;
            const bool test = op >= 8 && op <= 11;  // TST, TEQ, CMP, CMN
            if (rd == 15 && !test) branch(i.cls);
            return i;
        }
        case 2:
        case 3: {
            if ((insn & (1u << 25)) && (insn & 0x10)) return i;  // undefined
            const bool load = insn & (1u << 20);
            i.cls = load ? InsnClass::Load : InsnClass::Store;
            i.transfers = 1;
            i.transferBytes = (insn & (1u << 22)) ? 1 : 4;
            if (load) {
                i.internal = 1;
                i.literal = rn == 15 && !(insn & (1u << 25));
                if (rd == 15) branch(InsnClass::Load);
            }
            return i;
        }
        case 4: {
            const bool load = insn & (1u << 20);
            const unsigned n = std::popcount(insn & 0xFFFF);
            i.cls = load ? InsnClass::LoadMultiple : InsnClass::StoreMultiple;
            i.transfers = uint8_t(n ? n : 1);
            if (load) {
                i.internal = 1;
                if (insn & (1u << 15)) branch(InsnClass::LoadMultiple);
            }
            return i;
        }
        case 5: branch(InsnClass::Branch); return i;
        case 7:
            if (insn & (1u << 24)) branch(InsnClass::Swi);
            return i;
        default: return i;  // coprocessor transfers: none on this chip
    }
}

InsnInfo decodeThumb(uint16_t insn) {
    InsnInfo i;
    i.cls = InsnClass::Alu;
    auto branch = [&](InsnClass c, bool always) {
        i.cls = c;
        i.writesPc = true;
        i.alwaysWritesPc = always;
    };
    auto transfer = [&](bool load, unsigned bytes) {
        i.cls = load ? InsnClass::Load : InsnClass::Store;
        i.transfers = 1;
        i.transferBytes = uint8_t(bytes);
        if (load) i.internal = 1;
    };
    const unsigned top5 = insn >> 11;
    if (top5 < 0b00100) return i;                 // shift by immediate, add/subtract
    if (top5 < 0b01000) return i;                 // move/compare/add/subtract immediate
    if ((insn >> 10) == 0b010000) {               // ALU operations
        const unsigned op = (insn >> 6) & 0xF;
        if (op == 0xD) {
            i.cls = InsnClass::Multiply;
        } else if (op == 0x2 || op == 0x3 || op == 0x4 || op == 0x7) {
            i.cls = InsnClass::AluShiftReg;
            i.internal = 1;
        }
        return i;
    }
    if ((insn >> 10) == 0b010001) {               // high registers, BX
        const unsigned op = (insn >> 8) & 3;
        const bool pcDest = (insn & 0x80) && (insn & 7) == 7;
        if (op == 3) branch(InsnClass::Branch, true);
        else if (op != 1 && pcDest) branch(InsnClass::Alu, true);
        return i;
    }
    if (top5 == 0b01001) {                        // PC-relative load
        transfer(true, 4);
        i.literal = true;
        return i;
    }
    if ((insn >> 12) == 0b0101) {                 // register offset
        if (!(insn & (1u << 9))) {
            transfer(insn & (1u << 11), (insn & (1u << 10)) ? 1 : 4);
        } else {
            const unsigned hs = (insn >> 10) & 3;  // 0 STRH, 1 LDRSB, 2 LDRH, 3 LDRSH
            transfer(hs != 0, hs == 1 ? 1 : 2);
        }
        return i;
    }
    if ((insn >> 13) == 0b011) {                  // immediate offset, word or byte
        transfer(insn & (1u << 11), (insn & (1u << 12)) ? 1 : 4);
        return i;
    }
    if ((insn >> 12) == 0b1000) {                 // halfword, immediate offset
        transfer(insn & (1u << 11), 2);
        return i;
    }
    if ((insn >> 12) == 0b1001) {                 // SP-relative
        transfer(insn & (1u << 11), 4);
        return i;
    }
    if ((insn >> 12) == 0b1010) return i;         // load address
    if ((insn >> 12) == 0b1011) {
        if ((insn & 0x0600) == 0x0400) {          // PUSH, POP
            const bool load = insn & (1u << 11);
            const bool extra = insn & (1u << 8);  // LR on push, PC on pop
            const unsigned n = std::popcount(unsigned(insn & 0xFF)) + (extra ? 1 : 0);
            i.cls = load ? InsnClass::LoadMultiple : InsnClass::StoreMultiple;
            i.transfers = uint8_t(n ? n : 1);
            if (load) {
                i.internal = 1;
                if (extra) branch(InsnClass::LoadMultiple, true);
            }
        }
        return i;                                 // adjust SP
    }
    if ((insn >> 12) == 0b1100) {                 // LDMIA, STMIA
        const bool load = insn & (1u << 11);
        const unsigned n = std::popcount(unsigned(insn & 0xFF));
        i.cls = load ? InsnClass::LoadMultiple : InsnClass::StoreMultiple;
        i.transfers = uint8_t(n ? n : 1);
        if (load) i.internal = 1;
        return i;
    }
    if ((insn >> 12) == 0b1101) {                 // conditional branch, SWI
        const unsigned cond = (insn >> 8) & 0xF;
        if (cond == 0xF) branch(InsnClass::Swi, true);
        else if (cond == 0xE) i.cls = InsnClass::Other;
        else {
            branch(InsnClass::Branch, false);
            i.conditional = true;
        }
        return i;
    }
    if (top5 == 0b11100) {
        branch(InsnClass::Branch, true);
        return i;
    }
    if (top5 == 0b11110) return i;                // BL prefix: sets up LR
    if (top5 == 0b11111) {
        branch(InsnClass::Branch, true);          // BL suffix
        return i;
    }
    i.cls = InsnClass::Other;
    return i;
}

unsigned instructionCycles(const InsnInfo& i, bool thumb, bool fromFlash, bool pcWritten, const CycleModel& m) {
    const unsigned fetch = !fromFlash ? m.ramFetch : thumb ? m.thumbFlashFetch : m.armFlashFetch;
    unsigned c = fetch * (pcWritten ? 3 : 1) + i.internal;
    if (i.cls == InsnClass::Multiply) c += m.multiplyCycles;
    if (i.transfers) {
        if (i.literal && fromFlash) {  // code in SRAM keeps its literals there
            const unsigned halves = (i.transferBytes + 1) / 2;
            c += i.transfers * halves * m.flashHalfword + m.flashDeadTime;
        } else {
            c += i.transfers * m.ramTransfer;
        }
    }
    return c;
}

BlockCost costBlock(const uint8_t* code, uint32_t size, bool thumb, bool fromFlash, const CycleModel& m) {
    BlockCost b;
    const unsigned step = thumb ? 2 : 4;
    unsigned cycles = 0;
    InsnInfo last;
    for (uint32_t off = 0; off + step <= size; off += step) {
        uint32_t word = 0;
        std::memcpy(&word, code + off, step);
        last = thumb ? decodeThumb(uint16_t(word)) : decodeArm(word);
        ++b.instructions;
        ++b.classCounts[size_t(last.cls)];
        if (off + 2 * step <= size) {
            const unsigned c = instructionCycles(last, thumb, fromFlash, last.alwaysWritesPc, m);
            cycles += c;
            // One that fails its condition takes its fetch alone.
            if (last.conditional) b.conditionalSlack += c - instructionCycles(InsnInfo{InsnClass::Alu}, thumb, fromFlash, false, m);
        }
    }
    if (b.instructions == 0) b.instructions = 1;
    b.lastMayBranch = last.writesPc;
    b.lastAlwaysTaken = last.alwaysWritesPc;
    b.cyclesFallThrough = cycles + instructionCycles(last, thumb, fromFlash, false, m);
    b.cyclesTaken = cycles + instructionCycles(last, thumb, fromFlash, true, m);
    // The last one, when it is not a branch, can fail its condition too.
    if (last.conditional && !last.writesPc)
        b.conditionalSlack += b.cyclesFallThrough - cycles - instructionCycles(InsnInfo{InsnClass::Alu}, thumb, fromFlash, false, m);
    return b;
}

}  // namespace sim
