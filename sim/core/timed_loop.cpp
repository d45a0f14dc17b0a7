#include "core/timed_loop.h"

#include <cstring>

namespace sim {

namespace {

// ARM data-processing opcodes; MUL is ours.
enum : uint8_t { AND = 0, EOR, SUB, RSB, ADD, ADC, SBC, RSC, TST, TEQ, CMP, CMN, ORR, MOV, BIC, MVN, MUL };
enum : uint8_t { LSL = 0, LSR, ASR, ROR };
constexpr uint8_t kNoReg = 16;

bool isTest(uint8_t op) { return op >= TST && op <= CMN; }

// A value during one pass: x as computed for the count given, and how it
// depends on the count v: x = a * v + constant, a in {-1, 0, 1}.
struct V {
    uint32_t x = 0;
    int a = 0;
};

struct Flags {
    bool n = false, z = false, c = false, v = false;
    bool nk = false, zk = false, ck = false, vk = false;  // set within this pass
};

// The last flag-setting operation, for the dependence of the exit test.
struct Compare {
    enum class Kind : uint8_t { None, Sub, Add, Logic } kind = Kind::None;
    V lhs, rhs, result;
};

using Op = TimedLoop::Op;

// ---- Decoding ----

bool decodeArm(uint32_t insn, uint32_t addr, Op& op, bool last, uint32_t head) {
    const uint32_t cond = insn >> 28;
    op.pc = addr + 8;
    if (last) {
        if ((insn & 0x0F000000) != 0x0A000000 || cond >= 14) return false;  // B<cond>
        int32_t off = int32_t(insn << 8) >> 6;
        op.kind = Op::Kind::Branch;
        op.cond = uint8_t(cond);
        return addr + 8 + uint32_t(off) == head;
    }
    if (cond != 14) return false;
    if ((insn & 0x0C000000) == 0) {
        if (!(insn & (1u << 25)) && (insn & 0x10)) {
            // LDRH rd, [rn, #imm] (pre-indexed, no write-back); other encodings here are not ours.
            if ((insn & 0x0F7000F0) != 0x015000B0) return false;
            op.kind = Op::Kind::Load;
            op.rn = uint8_t((insn >> 16) & 0xF);
            op.rd = uint8_t((insn >> 12) & 0xF);
            int32_t imm = int32_t(((insn >> 4) & 0xF0) | (insn & 0xF));
            op.offset = (insn & (1u << 23)) ? imm : -imm;
            op.bytes = 2;
            return op.rd != 15;
        }
        if ((insn & 0x01900000) == 0x01000000) return false;  // MRS, MSR and the like (tests without S)
        op.kind = Op::Kind::Alu;
        op.alu = uint8_t((insn >> 21) & 0xF);
        if (op.alu == ADC || op.alu == SBC || op.alu == RSC) return false;
        op.setFlags = insn & (1u << 20);
        op.rn = (op.alu == MOV || op.alu == MVN) ? kNoReg : uint8_t((insn >> 16) & 0xF);
        op.rd = uint8_t((insn >> 12) & 0xF);
        if (!isTest(op.alu) && op.rd == 15) return false;
        if (insn & (1u << 25)) {
            const unsigned rot = ((insn >> 8) & 0xF) * 2;
            const uint32_t imm = insn & 0xFF;
            op.immediate = true;
            op.imm = rot ? (imm >> rot) | (imm << (32 - rot)) : imm;
            op.immCarry = rot ? int8_t(op.imm >> 31) : int8_t(-1);
        } else {
            op.rm = uint8_t(insn & 0xF);
            op.shift = uint8_t((insn >> 5) & 3);
            op.amount = uint8_t((insn >> 7) & 0x1F);
        }
        return true;
    }
    if ((insn & 0x0E000000) == 0x04000000) {
        // LDR/LDRB rd, [rn, #imm], pre-indexed without write-back.
        if ((insn & 0x01300000) != 0x01100000) return false;
        op.kind = Op::Kind::Load;
        op.rn = uint8_t((insn >> 16) & 0xF);
        op.rd = uint8_t((insn >> 12) & 0xF);
        const int32_t imm = int32_t(insn & 0xFFF);
        op.offset = (insn & (1u << 23)) ? imm : -imm;
        op.bytes = (insn & (1u << 22)) ? 1 : 4;
        return op.rd != 15;
    }
    return false;
}

bool decodeThumb(uint16_t insn, uint32_t addr, Op& op, bool last, uint32_t head) {
    op.pc = addr + 4;
    if (last) {
        if ((insn >> 12) != 0xD) return false;
        const unsigned cond = (insn >> 8) & 0xF;
        if (cond >= 14) return false;
        const int32_t off = int32_t(int8_t(insn & 0xFF)) * 2;
        op.kind = Op::Kind::Branch;
        op.cond = uint8_t(cond);
        return addr + 4 + uint32_t(off) == head;
    }
    op.kind = Op::Kind::Alu;
    op.setFlags = true;
    const unsigned top5 = insn >> 11;
    if (top5 <= 2) {  // LSL/LSR/ASR rd, rs, #imm
        op.alu = MOV;
        op.rn = kNoReg;
        op.rd = insn & 7;
        op.rm = (insn >> 3) & 7;
        op.shift = uint8_t(top5);
        op.amount = (insn >> 6) & 0x1F;
        return true;
    }
    if (top5 == 3) {  // ADD/SUB rd, rs, rn or #imm3
        op.alu = (insn & (1u << 9)) ? SUB : ADD;
        op.rd = insn & 7;
        op.rn = (insn >> 3) & 7;
        if (insn & (1u << 10)) {
            op.immediate = true;
            op.imm = (insn >> 6) & 7;
        } else {
            op.rm = (insn >> 6) & 7;
        }
        return true;
    }
    if ((insn >> 13) == 1) {  // MOV/CMP/ADD/SUB rd, #imm8
        static constexpr uint8_t kOps[4] = {MOV, CMP, ADD, SUB};
        op.alu = kOps[(insn >> 11) & 3];
        op.rd = (insn >> 8) & 7;
        op.rn = op.alu == MOV ? kNoReg : op.rd;
        op.immediate = true;
        op.imm = insn & 0xFF;
        return true;
    }
    if ((insn >> 10) == 0x10) {  // ALU operations rd, rs
        const unsigned code = (insn >> 6) & 0xF;
        const uint8_t rd = insn & 7, rs = (insn >> 3) & 7;
        op.rd = rd;
        switch (code) {
            case 0x0: op.alu = AND; break;
            case 0x1: op.alu = EOR; break;
            case 0x8: op.alu = TST; break;
            case 0xA: op.alu = CMP; break;
            case 0xB: op.alu = CMN; break;
            case 0xC: op.alu = ORR; break;
            case 0xD: op.alu = MUL; break;
            case 0xE: op.alu = BIC; break;
            case 0x9:  // NEG rd, rs = RSB rd, rs, #0
                op.alu = RSB;
                op.rn = rs;
                op.immediate = true;
                op.imm = 0;
                return true;
            case 0xF:  // MVN rd, rs
                op.alu = MVN;
                op.rn = kNoReg;
                op.rm = rs;
                return true;
            case 0x2: case 0x3: case 0x4: case 0x7:  // shifts of rd by rs
                op.alu = MOV;
                op.rn = rs;  // the amount
                op.rm = rd;
                op.shiftByReg = true;
                op.shift = code == 0x2 ? LSL : code == 0x3 ? LSR : code == 0x4 ? ASR : ROR;
                return true;
            default: return false;  // ADC, SBC: carry in
        }
        op.rn = rd;
        op.rm = rs;
        return true;
    }
    if ((insn >> 10) == 0x11) {  // high registers: ADD, CMP, MOV (BX ends a block)
        const unsigned code = (insn >> 8) & 3;
        const uint8_t rd = uint8_t((insn & 7) | ((insn >> 4) & 8)), rs = (insn >> 3) & 0xF;
        if (code == 3 || (code != 1 && rd == 15)) return false;
        op.alu = code == 0 ? ADD : code == 1 ? CMP : MOV;
        op.setFlags = code == 1;
        op.rd = rd;
        op.rn = code == 2 ? kNoReg : rd;
        op.rm = rs;
        return true;
    }
    op.kind = Op::Kind::Load;
    op.setFlags = false;
    if (top5 == 9) {  // LDR rd, [pc, #imm8 * 4]
        op.rd = (insn >> 8) & 7;
        op.rn = 15;
        op.pc = (addr + 4) & ~3u;
        op.offset = int32_t(insn & 0xFF) * 4;
        return true;
    }
    if ((insn >> 13) == 3 && (insn & (1u << 11))) {  // LDR/LDRB rd, [rb, #imm5]
        const bool byte = insn & (1u << 12);
        op.rd = insn & 7;
        op.rn = (insn >> 3) & 7;
        op.offset = int32_t((insn >> 6) & 0x1F) * (byte ? 1 : 4);
        op.bytes = byte ? 1 : 4;
        return true;
    }
    if ((insn >> 11) == 0x11) {  // LDRH rd, [rb, #imm5 * 2]
        op.rd = insn & 7;
        op.rn = (insn >> 3) & 7;
        op.offset = int32_t((insn >> 6) & 0x1F) * 2;
        op.bytes = 2;
        return true;
    }
    if ((insn >> 11) == 0x13) {  // LDR rd, [sp, #imm8 * 4]
        op.rd = (insn >> 8) & 7;
        op.rn = 13;
        op.offset = int32_t(insn & 0xFF) * 4;
        return true;
    }
    return false;
}

// ---- Evaluation ----

struct Shifted {
    V v;
    bool carry = false, carryKnown = false;
    bool ok = true;
};

Shifted shift(V in, unsigned type, unsigned amount, bool byReg, const Flags& f) {
    Shifted s;
    s.v = in;
    s.carry = f.c;
    s.carryKnown = f.ck;
    const uint32_t x = in.x;
    if (byReg) {
        amount &= 0xFF;
        if (amount == 0) return s;
    } else if (type == LSL && amount == 0) {
        return s;
    } else if (amount == 0) {
        if (type == ROR) {  // RRX: carry in
            s.ok = false;
            return s;
        }
        amount = 32;  // LSR #32, ASR #32
    }
    if (in.a != 0) {  // only adding and subtracting keep the dependence simple
        s.ok = false;
        return s;
    }
    s.carryKnown = true;
    switch (type) {
        case LSL:
            s.v.x = amount < 32 ? x << amount : 0;
            s.carry = amount <= 32 ? ((amount == 32 ? x : x >> (32 - amount)) & 1) : 0;
            break;
        case LSR:
            s.v.x = amount < 32 ? x >> amount : 0;
            s.carry = amount <= 32 ? (x >> (amount - 1)) & 1 : 0;
            break;
        case ASR:
            s.v.x = amount < 32 ? uint32_t(int32_t(x) >> amount) : uint32_t(int32_t(x) >> 31);
            s.carry = amount < 32 ? (x >> (amount - 1)) & 1 : x >> 31;
            break;
        default: {  // ROR
            const unsigned r = amount & 31;
            s.v.x = r ? (x >> r) | (x << (32 - r)) : x;
            s.carry = (s.v.x >> 31) & 1;
            break;
        }
    }
    return s;
}

bool conditionHolds(unsigned cond, const Flags& f, bool& known) {
    auto need = [&](bool k) { known = known && k; };
    known = true;
    switch (cond) {
        case 0: need(f.zk); return f.z;
        case 1: need(f.zk); return !f.z;
        case 2: need(f.ck); return f.c;
        case 3: need(f.ck); return !f.c;
        case 4: need(f.nk); return f.n;
        case 5: need(f.nk); return !f.n;
        case 6: need(f.vk); return f.v;
        case 7: need(f.vk); return !f.v;
        case 8: need(f.ck && f.zk); return f.c && !f.z;
        case 9: need(f.ck && f.zk); return !f.c || f.z;
        case 10: need(f.nk && f.vk); return f.n == f.v;
        case 11: need(f.nk && f.vk); return f.n != f.v;
        case 12: need(f.zk && f.nk && f.vk); return !f.z && f.n == f.v;
        case 13: need(f.zk && f.nk && f.vk); return f.z || f.n != f.v;
        default: return true;
    }
}

}  // namespace

std::optional<TimedLoop> TimedLoop::decode(const uint8_t* code, uint32_t size, uint32_t addr, bool thumb) {
    const unsigned step = thumb ? 2 : 4;
    if (size < 2 * step || size % step) return std::nullopt;
    TimedLoop loop;
    uint16_t written = 0;
    bool flagsSet = false;
    for (uint32_t off = 0; off < size; off += step) {
        uint32_t insn = 0;
        std::memcpy(&insn, code + off, step);
        Op op;
        const bool last = off + step == size;
        const bool ok = thumb ? decodeThumb(uint16_t(insn), addr + off, op, last, addr)
                              : decodeArm(insn, addr + off, op, last, addr);
        if (!ok) return std::nullopt;
        auto read = [&](uint8_t r) {
            if (r < 15 && !(written & (1u << r))) loop.liveIn_ |= uint16_t(1u << r);
        };
        if (op.kind == Op::Kind::Branch) {
            if (!flagsSet) return std::nullopt;  // the test would read the last pass's flags
        } else if (op.kind == Op::Kind::Load) {
            read(op.rn);
            written |= uint16_t(1u << op.rd);
        } else {
            if (op.rn != kNoReg) read(op.rn);
            if (!op.immediate) read(op.rm);
            if (!isTest(op.alu)) written |= uint16_t(1u << op.rd);
            flagsSet = flagsSet || op.setFlags;
        }
        loop.ops_.push_back(op);
    }
    // A register both read before it is written and written later would
    // carry a value from one pass to the next.
    if (loop.liveIn_ & written) return std::nullopt;
    loop.instructions_ = size / step;
    return loop;
}

TimedLoop::Pass TimedLoop::evaluate(const uint32_t regs[16], uint32_t count, const Memory& mem) const {
    Pass p;
    V r[16];
    for (int i = 0; i < 16; ++i) r[i] = {regs[i], 0};
    Flags f;
    Compare cmp;
    auto operand = [&](uint8_t reg, const Op& op) -> V { return reg == 15 ? V{op.pc, 0} : r[reg]; };
    for (const Op& op : ops_) {
        if (op.kind == Op::Kind::Load) {
            const V base = operand(op.rn, op);
            if (base.a != 0) return p;
            const uint32_t addr = base.x + uint32_t(op.offset);
            if (addr % op.bytes) return p;
            if (mem.isCount(addr)) {
                if (op.bytes != 4 || (p.countAddr && p.countAddr != addr)) return p;
                p.countAddr = addr;
                r[op.rd] = {count, 1};
            } else {
                const auto v = mem.read(addr, op.bytes);
                if (!v) return p;
                r[op.rd] = {*v, 0};
            }
            continue;
        }
        if (op.kind == Op::Kind::Branch) {
            bool known = false;
            p.loops = conditionHolds(op.cond, f, known);
            if (!known) return p;
            // How the test depends on the count.
            const unsigned c = op.cond;
            const bool usesZorV = c <= 1 || c == 6 || c == 7;
            const bool dependent = cmp.lhs.a != 0 || cmp.rhs.a != 0 || cmp.result.a != 0;
            if (dependent) {
                if (cmp.kind != Compare::Kind::Sub || usesZorV) return p;
                if (c == 4 || c == 5) {  // MI, PL: the sign of the difference, as a compare with 0
                    p.coeff = cmp.result.a;
                    p.offset = cmp.result.x - uint32_t(p.coeff) * count;
                    p.order = Order::Signed;
                    p.other = 0;
                    p.countFirst = true;
                } else {
                    if (cmp.lhs.a != 0 && cmp.rhs.a != 0) return p;
                    p.countFirst = cmp.lhs.a != 0;
                    const V& x = p.countFirst ? cmp.lhs : cmp.rhs;
                    p.coeff = x.a;
                    p.offset = x.x - uint32_t(p.coeff) * count;
                    p.other = p.countFirst ? cmp.rhs.x : cmp.lhs.x;
                    p.order = (c == 2 || c == 3 || c == 8 || c == 9) ? Order::Unsigned : Order::Signed;
                }
            }
            p.cond = uint8_t(c);
            p.valid = true;
            return p;
        }
        // Data processing.
        V a = op.rn == kNoReg || op.shiftByReg ? V{} : operand(op.rn, op);
        Shifted b;
        if (op.immediate) {
            b.v = {op.imm, 0};
            b.carry = op.immCarry >= 0 ? op.immCarry : f.c;
            b.carryKnown = op.immCarry >= 0 || f.ck;
        } else {
            const V amount = op.shiftByReg ? operand(op.rn, op) : V{};
            if (amount.a != 0) return p;
            b = shift(operand(op.rm, op), op.shift, op.shiftByReg ? amount.x : op.amount, op.shiftByReg, f);
            if (!b.ok) return p;
        }
        V res;
        Compare::Kind kind = Compare::Kind::Logic;
        bool carry = b.carry, carryKnown = b.carryKnown, overflow = f.v, overflowKnown = f.vk;
        V lhs = a, rhs = b.v;
        auto logic = [&](uint32_t x) {
            if (a.a != 0 || b.v.a != 0) return false;
            res = {x, 0};
            return true;
        };
        auto add = [&](V x, V y) {
            res = {x.x + y.x, x.a + y.a};
            carry = res.x < x.x;
            overflow = ((~(x.x ^ y.x) & (x.x ^ res.x)) >> 31) != 0;
            carryKnown = overflowKnown = true;
            kind = Compare::Kind::Add;
            lhs = x;
            rhs = y;
        };
        auto sub = [&](V x, V y) {
            res = {x.x - y.x, x.a - y.a};
            carry = x.x >= y.x;
            overflow = (((x.x ^ y.x) & (x.x ^ res.x)) >> 31) != 0;
            carryKnown = overflowKnown = true;
            kind = Compare::Kind::Sub;
            lhs = x;
            rhs = y;
        };
        bool ok = true;
        switch (op.alu) {
            case AND: case TST: ok = logic(a.x & b.v.x); break;
            case EOR: case TEQ: ok = logic(a.x ^ b.v.x); break;
            case ORR: ok = logic(a.x | b.v.x); break;
            case BIC: ok = logic(a.x & ~b.v.x); break;
            case MUL: ok = logic(a.x * b.v.x); carryKnown = false; break;  // C is lost
            case MOV: res = b.v; break;
            case MVN: res = {~b.v.x, -b.v.a}; break;
            case ADD: case CMN: add(a, b.v); break;
            case SUB: case CMP: sub(a, b.v); break;
            case RSB: sub(b.v, a); break;
            default: return p;
        }
        if (!ok || res.a < -1 || res.a > 1) return p;
        if (!isTest(op.alu)) r[op.rd] = res;
        if (op.setFlags) {
            f.n = res.x >> 31;
            f.z = res.x == 0;
            f.c = carry;
            f.v = overflow;
            f.nk = f.zk = true;
            f.ck = carryKnown;
            f.vk = overflowKnown;
            cmp = {kind, lhs, rhs, res};
        }
    }
    return p;  // no branch: not a loop (decode does not allow it)
}

bool TimedLoop::loops(const Pass& p, uint32_t count) {
    if (p.coeff == 0) return p.loops;
    const uint32_t x = uint32_t(p.coeff) * count + p.offset;
    const uint32_t a = p.countFirst ? x : p.other, b = p.countFirst ? p.other : x;
    const uint32_t r = a - b;
    Flags f;
    f.n = r >> 31;
    f.z = r == 0;
    f.c = a >= b;
    f.v = (((a ^ b) & (a ^ r)) >> 31) != 0;
    f.nk = f.zk = f.ck = f.vk = true;
    bool known = false;
    return conditionHolds(p.cond, f, known);
}

bool TimedLoop::monotonic(const Pass& p, uint32_t v0, uint32_t v1) {
    if (p.coeff == 0) return true;
    // The compared quantity as an exact integer at both ends; it moves
    // monotonically in between, so it stays in one window of 2^32 (unsigned)
    // or of the signed range when the ends do.
    const int64_t l0 = int64_t(p.coeff) * int64_t(v0) + int64_t(p.offset);
    const int64_t l1 = int64_t(p.coeff) * int64_t(v1) + int64_t(p.offset);
    const int64_t bias = p.order == Order::Signed ? (int64_t(1) << 31) : 0;
    auto window = [&](int64_t l) { return (l + bias) >> 32; };  // floor division
    return window(l0) == window(l1);
}

}  // namespace sim
