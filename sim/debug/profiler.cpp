#include "debug/profiler.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "aduc702x.h"
#include "core/machine.h"

namespace sim {

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
    // The machine's own cost of the block (what its time ran on), unless
    // this profile asks what another memory model would give.
    if (model_ == m_.cycleModel()) {
        static_cast<BlockCost&>(b) = m_.blockCost(addr, size);
    } else {
        std::vector<uint8_t> code = m_.readBytes(a, size);
        static_cast<BlockCost&>(b) = costBlock(code.data(), size, thumbAt(a), inFlash(a), model_);
    }
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
    slack_ += b.conditionalSlack;
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
    const uint32_t c = model_.exceptionCycles();
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
    instructions_ = cycles_ = slack_ = 0;
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
