// Stack checks: every mode's stack pointer against the area the image's
// start-up gives it, and the blocks that return, decoded once.
#include "core/machine.h"

#include "core/hooks.h"

namespace sim {

// ---- Stack checks ----

void Machine::loadStackAreas() {
    stackAreas_.clear();
    kindsOn_ = true;
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
uint8_t Machine::blockKind(uint32_t addr, uint32_t size) { return kindOf(cachedBlock(addr, size), addr, size); }

uint8_t Machine::decodeKind(uint32_t addr, uint32_t size) {
    const uint32_t off = addr >= kFlashBase ? addr - kFlashBase : addr;
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
    return uint8_t(kBlockKnown | (pops && returns ? kBlockReturns : 0) | (stores ? kBlockStores : 0));
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
