#include "debug/profiler.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "aduc702x.h"
#include "core/machine.h"

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

// ---- Profiler ----

namespace {
constexpr uint32_t kFlashEnd = FLASH_BASE + 62 * 1024;
// Flash is mirrored at 0: the vectors run from there.
uint32_t canonical(uint32_t addr) { return addr < 62 * 1024 ? addr + FLASH_BASE : addr; }
bool inFlash(uint32_t addr) { return addr >= FLASH_BASE && addr < kFlashEnd; }
}  // namespace

Profiler::Profiler(Machine& m, const CycleModel& model) : m_(m), model_(model) {
    for (const auto& s : m.image().symbols()) {
        if (!s.function) continue;
        const uint32_t a = s.value & ~1u;
        if (!inFlash(a) && !(a >= SRAM_BASE && a < SRAM_BASE + SRAM_SIZE)) continue;
        routines_.push_back({s.name, a, s.size});
    }
    std::sort(routines_.begin(), routines_.end(), [](const Routine& a, const Routine& b) { return a.addr < b.addr; });
    // The instruction set of each stretch of code, from the mapping symbols
    // ($a ARM, $t Thumb, $d data).
    for (const auto& s : m.image().symbols())
        if (s.name.size() >= 2 && s.name[0] == '$' && (s.name[1] == 'a' || s.name[1] == 't' || s.name[1] == 'd'))
            stateMarks_.emplace_back(s.value & ~1u, s.name[1] == 't');
    std::sort(stateMarks_.begin(), stateMarks_.end());
    routines_.erase(std::unique(routines_.begin(), routines_.end(),
                                [](const Routine& a, const Routine& b) { return a.addr == b.addr; }),
                    routines_.end());
    routines_.push_back({"(exception entry)", 0, 0});
    prevBlock_ = std::move(m.onBlock);
    prevException_ = std::move(m.onException);
    fastForward_ = m.fastForward();
    m.setFastForward(false);
    m.onBlock = [this](uint32_t addr, uint32_t size) { block(addr, size); };
    m.onException = [this](uint32_t vector, Mode mode) { exception(vector, mode); };
}

Profiler::~Profiler() {
    m_.setFastForward(fastForward_);
    m_.onBlock = std::move(prevBlock_);
    m_.onException = std::move(prevException_);
}

int Profiler::routineOf(uint32_t addr) const {
    // The routine containing addr; an unsized assembly label covers what
    // follows it up to the next routine.
    auto it = std::upper_bound(routines_.begin(), routines_.end() - 1, addr,
                               [](uint32_t a, const Routine& r) { return a < r.addr; });
    if (it == routines_.begin()) return -1;
    --it;
    if (it->size != 0 && addr >= it->addr + it->size) return -1;
    return int(it - routines_.begin());
}

bool Profiler::thumbAt(uint32_t addr) const {
    auto it = std::upper_bound(stateMarks_.begin(), stateMarks_.end(), std::make_pair(addr, true));
    return it != stateMarks_.begin() && std::prev(it)->second;
}

const Profiler::Block& Profiler::blockAt(uint32_t addr, uint32_t size) {
    const uint64_t key = uint64_t(addr) << 32 | size;
    auto found = blocks_.find(key);
    if (found != blocks_.end()) return found->second;
    Block b;
    const uint32_t a = canonical(addr);
    b.end = addr + size;
    b.routine = routineOf(a);
    const bool flash = inFlash(a);
    const bool thumb = thumbAt(a);
    const unsigned step = thumb ? 2 : 4;
    std::vector<uint8_t> code = m_.readBytes(a, size);
    unsigned cycles = 0;
    InsnInfo last;
    for (uint32_t off = 0; off + step <= size; off += step) {
        uint32_t word = 0;
        std::memcpy(&word, &code[off], step);
        last = thumb ? decodeThumb(uint16_t(word)) : decodeArm(word);
        ++b.instructions;
        ++b.classCounts[size_t(last.cls)];
        if (off + 2 * step <= size) cycles += instructionCycles(last, thumb, flash, last.alwaysWritesPc, model_);
    }
    if (b.instructions == 0) b.instructions = 1;
    b.lastMayBranch = last.writesPc;
    b.lastAlwaysTaken = last.alwaysWritesPc;
    b.cyclesFallThrough = cycles + instructionCycles(last, thumb, flash, false, model_);
    b.cyclesTaken = cycles + instructionCycles(last, thumb, flash, true, model_);
    return blocks_.emplace(key, b).first->second;
}

void Profiler::settle(uint32_t next) {
    const Block* b = pending_;
    if (!b) return;
    pending_ = nullptr;
    const bool taken = b->lastAlwaysTaken || (b->lastMayBranch && next != b->end);
    const uint32_t c = taken ? b->cyclesTaken : b->cyclesFallThrough;
    cycles_ += c;
    (b->routine >= 0 ? routines_[size_t(b->routine)].cycles : unattributedCycles_) += c;
}

void Profiler::block(uint32_t addr, uint32_t size) {
    if (prevBlock_) prevBlock_(addr, size);
    settle(addr);
    if (onBlock) onBlock(addr);
    const Block& b = blockAt(addr, size);
    pending_ = &b;
    instructions_ += b.instructions;
    for (size_t k = 0; k < size_t(InsnClass::Count); ++k) classCounts_[k] += b.classCounts[k];
    if (b.routine >= 0) {
        Routine& r = routines_[size_t(b.routine)];
        r.instructions += b.instructions;
        ++r.blocks;
    } else {
        unattributedInstructions_ += b.instructions;
    }
}

void Profiler::exception(uint32_t vector, Mode mode) {
    if (prevException_) prevException_(vector, mode);
    settle(m_.pc());  // where the interrupted code goes on after the return
    if (onException) onException(vector);
    const uint32_t c = model_.exceptionEntry * model_.armFlashFetch;
    cycles_ += c;
    routines_.back().cycles += c;
    ++routines_.back().blocks;
}

std::vector<Profiler::Routine> Profiler::routines() const {
    std::vector<Routine> out;
    for (const Routine& r : routines_)
        if (r.cycles || r.instructions) out.push_back(r);
    if (unattributedCycles_) out.push_back({"(outside any routine)", 0, 0, unattributedInstructions_, unattributedCycles_, 0});
    std::sort(out.begin(), out.end(), [](const Routine& a, const Routine& b) { return a.cycles > b.cycles; });
    return out;
}

void Profiler::clear() {
    pending_ = nullptr;
    instructions_ = cycles_ = 0;
    unattributedInstructions_ = unattributedCycles_ = 0;
    std::fill(std::begin(classCounts_), std::end(classCounts_), 0);
    for (Routine& r : routines_) r.instructions = r.cycles = r.blocks = 0;
}

std::string Profiler::report(size_t top) const {
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%-34s %12s %12s %7s %6s\n", "routine", "instructions", "cycles", "cyc/ins", "share");
    out += line;
    const double total = cycles_ ? double(cycles_) : 1.0;
    size_t n = 0;
    for (const Routine& r : routines()) {
        if (n++ == top) break;
        std::snprintf(line, sizeof line, "%-34.34s %12llu %12llu %7.2f %5.1f%%\n", r.name.c_str(),
                      (unsigned long long)r.instructions, (unsigned long long)r.cycles,
                      r.instructions ? double(r.cycles) / double(r.instructions) : 0.0, 100.0 * double(r.cycles) / total);
        out += line;
    }
    std::snprintf(line, sizeof line, "%-34s %12llu %12llu %7.2f\n", "total", (unsigned long long)instructions_,
                  (unsigned long long)cycles_, instructions_ ? double(cycles_) / double(instructions_) : 0.0);
    out += line;
    return out;
}

}  // namespace sim
