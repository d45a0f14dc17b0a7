// The machine itself: the emulator opened with the chip's memory map and
// hooks, the image loaded, power and resets, registers and memory for the
// test API. The rest of Machine lives beside it, one concern a file.
#include "core/machine.h"

#include "core/hooks.h"

namespace sim {

const char* toString(Mode m) {
    switch (m) {
        case Mode::User: return "User";
        case Mode::Fiq: return "FIQ";
        case Mode::Irq: return "IRQ";
        case Mode::Supervisor: return "Supervisor";
        case Mode::Abort: return "Abort";
        case Mode::Undefined: return "Undefined";
        case Mode::System: return "System";
    }
    return "invalid";
}

const char* toString(StopReason r) {
    switch (r) {
        case StopReason::Time: return "time";
        case StopReason::Condition: return "condition";
        case StopReason::Returned: return "returned";
        case StopReason::Breakpoint: return "breakpoint";
        case StopReason::Fault: return "fault";
        case StopReason::Limit: return "limit";
        case StopReason::Watchpoint: return "watchpoint";
        case StopReason::Reset: return "reset";
    }
    return "?";
}

Machine::Machine() : hookState_(std::make_unique<MachineHooksState>()) {
    ram_.assign(kRamSize, 0);
    hookState_->thumbMap.assign(kFlashSize / 16, 0);
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_) != UC_ERR_OK) throw SimError("cannot open the ARM emulator");
    // ARMv4T, the ARM7TDMI's architecture (the default model is an ARMv7 core).
    uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_TI925T);
    // The core stops only when a hook asks it to. With no exit addresses
    // the emulator need not invalidate the code at one after every run
    // (which costs more than a short run itself).
    uc_ctl_exits_enable(uc_);
    mapMemory();
    installHooks();
    powerOn();
}

Machine::~Machine() {
    if (uc_) uc_close(uc_);
}

void Machine::mapMemory() {
    auto check = [](uc_err e, const char* what) {
        if (e != UC_ERR_OK) throw SimError(std::string("memory map: ") + what + ": " + uc_strerror(e));
    };
    uint8_t* flash = chip_.flash();
    check(uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash), "flash");
    // The chip mirrors flash at 0, where the core fetches its vectors.
    check(uc_mem_map_ptr(uc_, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash), "flash mirror");
    check(uc_mem_map_ptr(uc_, kRamBase, kRamSize, UC_PROT_ALL, ram_.data()), "sram");
    check(uc_mmio_map(uc_, MMR_BASE_0, MMR_BLOCK_SIZE, MachineHooks::mmioRead0, this, MachineHooks::mmioWrite0, this),
          "register block 0");
    check(uc_mmio_map(uc_, MMR_BASE_1, MMR_BLOCK_SIZE, MachineHooks::mmioRead1, this, MachineHooks::mmioWrite1, this),
          "register block 1");
    check(uc_mem_map(uc_, kTrapBase, kTrapSize, UC_PROT_READ | UC_PROT_EXEC), "trap page");
    std::vector<uint8_t> trap(kTrapSize);
    for (size_t i = 0; i < kTrapSize; i += 4) {
        uint32_t b = 0xEAFFFFFE;  // b .
        std::memcpy(&trap[i], &b, 4);
    }
    uc_mem_write(uc_, kTrapBase, trap.data(), trap.size());
    trapAddr_ = kTrapBase;

    // ARM7TDMI loads and stores rotate misaligned words; the emulator does
    // not, so make every misaligned access abort and report it as a fault.
    uc_arm_cp_reg sctlr{};
    sctlr.cp = 15;
    sctlr.crn = 1;
    if (uc_reg_read(uc_, UC_ARM_REG_CP_REG, &sctlr) == UC_ERR_OK) {
        sctlr.val |= 2;  // A: alignment checking
        uc_reg_write(uc_, UC_ARM_REG_CP_REG, &sctlr);
    }
}

void Machine::installHooks() {
    uc_hook h;
    uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(MachineHooks::block), this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT,
                reinterpret_cast<void*>(MachineHooks::badAccess), this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void*>(MachineHooks::interrupt), this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(MachineHooks::invalidInstruction), this, 1, 0);
}

void Machine::updateCodeHooks() {
    if (codeHook_) {
        uc_hook_del(uc_, codeHook_);
        codeHook_ = 0;
    }
    std::vector<uint32_t> addrs = breakpoints_;
    if (hs().stopAddr != ~0u) addrs.push_back(hs().stopAddr);
    addrs.push_back(trapAddr_);
    uint32_t lo = *std::min_element(addrs.begin(), addrs.end());
    uint32_t hi = *std::max_element(addrs.begin(), addrs.end());
    // One ranged hook: only instructions inside [lo, hi] pay for it.
    if (addrs.size() == 1 || (breakpoints_.empty() && hs().stopAddr == ~0u)) {
        lo = hi = trapAddr_;
    }
    if (hi - lo > 0x20000) {
        // Far apart (flash and the trap page): hook each address on its own.
        for (uint32_t a : addrs) {
            uc_hook h;
            uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::code), this, a, a);
            extraCodeHooks_.push_back(h);
        }
    } else {
        uc_hook_add(uc_, &codeHook_, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::code), this, lo, hi);
    }
    flushCode();
}

void Machine::clearCodeHooks() {
    for (uc_hook h : extraCodeHooks_) uc_hook_del(uc_, h);
    extraCodeHooks_.clear();
    if (codeHook_) {
        uc_hook_del(uc_, codeHook_);
        codeHook_ = 0;
    }
}

// Only where code can run, range by range: the emulator silently ignores a
// range over the whole address space (and walking it would be slow).
void Machine::flushCode() {
    uc_ctl_remove_cache(uc_, 0, kFlashSize);
    uc_ctl_remove_cache(uc_, kFlashBase, uint64_t(kFlashBase) + kFlashSize);
    uc_ctl_remove_cache(uc_, kRamBase, uint64_t(kRamBase) + kRamSize);
    uc_ctl_remove_cache(uc_, kTrapBase, uint64_t(kTrapBase) + kTrapSize);
    hs().forgetTimedLoops();
    forgetCosts();
}

// ---- Image ----

void Machine::loadElf(const std::string& path) {
    ElfImage img;
    img.load(path);
    for (const auto& s : img.segments()) {
        uint64_t end = uint64_t(s.addr) + s.bytes.size();
        if (s.addr < kFlashBase || end > kFlashBase + kFlashSize)
            throw SimError(path + ": segment at " + hex(s.addr) + " (" + std::to_string(s.bytes.size()) +
                           " bytes) lies outside flash 0x00080000..0x0008F7FF");
    }
    for (const auto& s : img.segments())
        std::memcpy(chip_.flash() + (s.addr - kFlashBase), s.bytes.data(), s.bytes.size());
    image_ = std::move(img);

    // Instruction-set map from the mapping symbols ($a ARM, $t Thumb, $d data).
    auto& map = hs().thumbMap;
    std::fill(map.begin(), map.end(), 0);
    std::vector<std::pair<uint32_t, char>> marks;
    for (const auto& sym : image_.symbols())
        if (sym.name.size() >= 2 && sym.name[0] == '$' && (sym.name[1] == 'a' || sym.name[1] == 't' || sym.name[1] == 'd'))
            marks.emplace_back(sym.value, sym.name[1]);
    std::sort(marks.begin(), marks.end());
    std::vector<std::pair<uint32_t, uint32_t>> armRanges;
    for (size_t i = 0; i < marks.size(); ++i) {
        uint32_t from = marks[i].first, to = i + 1 < marks.size() ? marks[i + 1].first : kFlashBase + kFlashSize;
        if (marks[i].second == 'a') armRanges.emplace_back(from, to);
        if (marks[i].second != 't') continue;
        for (uint32_t a = from; a < to && a < kFlashBase + kFlashSize; a += 2) {
            if (a < kFlashBase) continue;
            uint32_t h = (a - kFlashBase) >> 1;
            map[h >> 3] |= uint8_t(1u << (h & 7));
        }
    }
    // Without mapping symbols every word of the image may be ARM code.
    if (marks.empty())
        for (const auto& seg : image_.segments())
            armRanges.emplace_back(seg.addr, seg.addr + uint32_t(seg.bytes.size()));
    hookCoprocessorInstructions(armRanges);
    flushCode();
    loadStackAreas();
    powerOn();
}

// CDP, MRC, MCR, LDC and STC in ARM code: each gets a hook of its own, so
// code without them pays nothing. A data word that looks like one is never
// executed and its hook never runs.
void Machine::hookCoprocessorInstructions(const std::vector<std::pair<uint32_t, uint32_t>>& armRanges) {
    for (size_t h : coprocessorHooks_) uc_hook_del(uc_, h);
    coprocessorHooks_.clear();
    const uint8_t* f = chip_.flash();
    uint32_t imageEnd = kFlashBase;
    for (const auto& seg : image_.segments())
        imageEnd = std::max<uint32_t>(imageEnd, seg.addr + uint32_t(seg.bytes.size()));
    for (auto [from, to] : armRanges) {
        from = std::max<uint32_t>((from + 3) & ~3u, kFlashBase);
        to = std::min<uint32_t>(to, imageEnd);
        for (uint32_t a = from; a + 4 <= to; a += 4) {
            const uint8_t* p = f + (a - kFlashBase);
            const uint32_t w = uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
            const bool coproc = (w >> 28) != 0xF && ((w & 0x0E000000) == 0x0C000000 || (w & 0x0F000000) == 0x0E000000);
            if (!coproc) continue;
            for (uint32_t at : {a, a - kFlashBase}) {  // the image and its mirror at 0
                uc_hook h;
                if (uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(MachineHooks::coprocessor), this, at,
                                at) == UC_ERR_OK)
                    coprocessorHooks_.push_back(h);
            }
        }
    }
}

uint32_t Machine::symbol(const std::string& name) const {
    auto v = image_.find(name);
    if (!v) throw SimError("symbol '" + name + "' not found in " + image_.path());
    return *v;
}

// ---- Power and resets ----

void Machine::powerOn(uint32_t ramPattern) {
    ramPattern_ = ramPattern;
    for (size_t i = 0; i < ram_.size(); i += 4) std::memcpy(&ram_[i], &ramPattern, 4);
    doReset(ResetCause::PowerOn);
}

void Machine::reset(ResetCause cause) { doReset(cause); }

void Machine::doReset(ResetCause cause) {
    chip_.reset(cause);
    uint32_t cpsr = 0xD3;  // Supervisor, IRQ and FIQ masked, ARM state
    uc_reg_write(uc_, UC_ARM_REG_CPSR, &cpsr);
    uint32_t zero = 0;
    uc_reg_write(uc_, UC_ARM_REG_PC, &zero);
    hs().watchUnmask = false;
    hs().pendingException = 0;
    hs().resumeAt.reset();
    hs().startThumb = false;
    hs().forgetLoop();
    branchExtra_ = 0;
    stackArmed_ = false;  // start-up sets the stacks again
    ++resets_;
    if (onReset) onReset(cause);
}

// ---- Registers ----

uint32_t Machine::reg(int n) const {
    uint32_t v = 0;
    uc_reg_read(uc_, kRegIds[n & 15], &v);
    return v;
}

// Registers changed from outside the core: a polling loop is measured anew.
void Machine::setReg(int n, uint32_t v) {
    uc_reg_write(uc_, kRegIds[n & 15], &v);
    hs().idleHaveSnap = false;
}

// The T bit cannot be written through the emulator's CPSR; the state to
// start in is kept aside until the core runs, and reads show it.
uint32_t Machine::cpsr() const {
    uint32_t v = 0;
    uc_reg_read(uc_, UC_ARM_REG_CPSR, &v);
    if (hookState_->startThumb) v = *hookState_->startThumb ? (v | 0x20) : (v & ~0x20u);
    return v;
}

void Machine::setCpsr(uint32_t v) {
    hs().idleHaveSnap = false;
    uc_reg_write(uc_, UC_ARM_REG_CPSR, &v);
    hs().startThumb = (v & 0x20) != 0;
}

uint32_t Machine::spsr() const {
    uint32_t v = 0;
    uc_reg_read(uc_, UC_ARM_REG_SPSR, &v);
    return v;
}

uint32_t Machine::pc() const { return reg(PC) & ~1u; }

void Machine::jump(uint32_t addr) {
    hs().idleHaveSnap = false;
    setReg(PC, addr & ~1u);
    hs().startThumb = (addr & 1) != 0;
}

// The emulator shows only the current mode's bank: switch to the mode, read,
// switch back.
static uint32_t bankedReg(Machine& mc, Mode m, int n) {
    uint32_t c = mc.cpsr();
    uint32_t other = (c & ~0x1Fu) | uint32_t(m);
    mc.setCpsr(other);
    uint32_t v = mc.reg(n);
    mc.setCpsr(c);
    return v;
}

uint32_t Machine::bankedSp(Mode m) { return bankedReg(*this, m, SP); }

uint32_t Machine::bankedLr(Mode m) { return bankedReg(*this, m, LR); }

// ---- Memory ----

uint32_t Machine::read32(uint32_t addr) {
    if (addr >= MMR_BASE_0) return chip_.read(addr);
    uint32_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 4) != UC_ERR_OK) throw SimError("read32: " + hex(addr) + " is not mapped");
    return v;
}

uint16_t Machine::read16(uint32_t addr) {
    uint16_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 2) != UC_ERR_OK) throw SimError("read16: " + hex(addr) + " is not mapped");
    return v;
}

uint8_t Machine::read8(uint32_t addr) {
    uint8_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 1) != UC_ERR_OK) throw SimError("read8: " + hex(addr) + " is not mapped");
    return v;
}

void Machine::writeBytes(uint32_t addr, const std::vector<uint8_t>& bytes) {
    // Tests may preset flash contents; the core itself cannot write there.
    if (addr >= kFlashBase && addr + bytes.size() <= kFlashBase + kFlashSize) {
        std::memcpy(chip_.flash() + (addr - kFlashBase), bytes.data(), bytes.size());
        flushCode();  // the old code may be translated already
        return;
    }
    if (uc_mem_write(uc_, addr, bytes.data(), bytes.size()) != UC_ERR_OK)
        throw SimError("write: " + hex(addr) + " is not mapped");
    if (addr < kRamBase + kRamSize && addr + bytes.size() > kRamBase) ramTouched_ = true;
}

void Machine::write32(uint32_t addr, uint32_t v) {
    if (addr >= MMR_BASE_0) return chip_.write(addr, v);
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    writeBytes(addr, b);
}

void Machine::write16(uint32_t addr, uint16_t v) {
    std::vector<uint8_t> b(2);
    std::memcpy(b.data(), &v, 2);
    writeBytes(addr, b);
}

void Machine::write8(uint32_t addr, uint8_t v) { writeBytes(addr, {v}); }

std::vector<uint8_t> Machine::readBytes(uint32_t addr, size_t n) {
    std::vector<uint8_t> b(n);
    if (n && uc_mem_read(uc_, addr, b.data(), n) != UC_ERR_OK) throw SimError("read: " + hex(addr) + " is not mapped");
    return b;
}

// ---- Time base ----

void Machine::charge(uint64_t cycles) {
    cycles_ += cycles;
    chip_.sched().setNow(chip_.now() + cycles * chip_.coreCycle());
}

void Machine::settleBranch(uint32_t next) {
    if (branchExtra_ && next != branchEnd_) charge(branchExtra_);
    branchExtra_ = 0;
}

void Machine::forgetCosts() {
    costIndex_.assign(kFlashSize / 2, 0);
    blocks_.clear();
    costs_.clear();
    otherCosts_.clear();
}

Machine::CachedBlock* Machine::costNewBlock(uint32_t off, uint32_t addr, uint32_t size) {
    // At most one entry per halfword of flash: the index fits 16 bits.
    static_assert(kFlashSize / 2 < 0xFFFF);
    uint16_t& i = costIndex_[off >> 1];
    if (i == 0) {
        blocks_.emplace_back();
        costs_.emplace_back();
        i = uint16_t(blocks_.size());
    }
    // A shorter run of the same start (a step) is costed anew, and back.
    BlockCost& c = costs_[i - 1u];
    c = costBlock(chip_.flash() + off, size, MachineHooks::isThumbAt(this, addr), true, cycleModel_);
    CachedBlock& b = blocks_[i - 1u];
    b.size = uint16_t(size);
    b.kind = 0;
    b.instructions = c.instructions;
    b.startCycles = c.startCycles();
    b.settles = c.lastMayBranch && !c.lastAlwaysTaken;
    b.takenExtra = c.takenExtra();
    return &b;
}

const BlockCost& Machine::blockCost(uint32_t addr, uint32_t size) {
    if (CachedBlock* b = cachedBlock(addr, size)) return costs_[size_t(b - blocks_.data())];
    const uint64_t key = uint64_t(addr) << 32 | size;
    auto found = otherCosts_.find(key);
    if (found != otherCosts_.end()) return found->second;
    std::vector<uint8_t> code(size);
    if (uc_mem_read(uc_, addr, code.data(), size) != UC_ERR_OK) std::fill(code.begin(), code.end(), 0);
    const bool thumb = MachineHooks::isThumbAt(this, addr);
    return otherCosts_.emplace(key, costBlock(code.data(), size, thumb, false, cycleModel_)).first->second;
}

}  // namespace sim
