// Snapshots: the machine between two runs, saved and set back.
#include "core/machine.h"

#include "core/hooks.h"

namespace sim {

// ---- Snapshots ----

class Machine::Snapshot {
public:
    Snapshot() = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot() {
        if (ctx) uc_context_free(ctx);
    }
    uc_context* ctx = nullptr;
    std::vector<uint8_t> ram, flash;
    Chip::State chip;
    uint32_t cpsr = 0;
    bool watchUnmask = false;
    uint64_t instructions = 0, interrupts = 0, cycles = 0;
    uint32_t branchEnd = 0, branchExtra = 0;
    unsigned resets = 0;
    std::optional<std::string> fault;
    uint32_t lastBlock = 0;
    bool stackArmed = false;
};

std::shared_ptr<const Machine::Snapshot> Machine::save() {
    auto s = std::make_shared<Snapshot>();
    if (uc_context_alloc(uc_, &s->ctx) != UC_ERR_OK || uc_context_save(uc_, s->ctx) != UC_ERR_OK)
        throw SimError("snapshot: cannot save the core's registers");
    s->ram = ram_;
    s->flash.assign(chip_.flash(), chip_.flash() + kFlashSize);
    s->chip = chip_.saveState();
    s->cpsr = cpsr();
    s->watchUnmask = hs().watchUnmask;
    s->instructions = instructions_;
    s->cycles = cycles_;
    s->branchEnd = branchEnd_;
    s->branchExtra = branchExtra_;
    s->interrupts = interruptsTaken_;
    s->resets = resets_;
    s->fault = fault_;
    s->lastBlock = lastBlock_;
    s->stackArmed = stackArmed_;
    return s;
}

void Machine::restore(const Snapshot& s) {
    if (uc_context_restore(uc_, s.ctx) != UC_ERR_OK) throw SimError("snapshot: cannot restore the core's registers");
    std::memcpy(ram_.data(), s.ram.data(), kRamSize);
    // Only pages that differ are copied. Code translated from a page of the
    // image is dropped with it (data pages, such as a parameter store, hold
    // no code, and dropping is costly).
    uint8_t* f = chip_.flash();
    uint32_t imageEnd = 0;
    for (const auto& seg : image_.segments())
        imageEnd = std::max<uint32_t>(imageEnd, seg.addr - kFlashBase + uint32_t(seg.bytes.size()));
    for (uint32_t off = 0; off < kFlashSize; off += 512) {
        if (std::memcmp(f + off, s.flash.data() + off, 512) == 0) continue;
        std::memcpy(f + off, s.flash.data() + off, 512);
        if (off < imageEnd) {
            uc_ctl_remove_cache(uc_, off, off + 512);
            uc_ctl_remove_cache(uc_, kFlashBase + off, kFlashBase + off + 512);
            forgetCosts();
        }
    }
    chip_.loadState(s.chip);
    auto& h = hs();
    h.watchUnmask = s.watchUnmask;
    h.pendingException = 0;
    h.resumeAt.reset();
    h.startThumb = (s.cpsr & 0x20) != 0;
    h.forgetLoop();
    ramTouched_ = true;  // RAM changed behind the core
    h.hitStopAddr = h.hitBreakpoint = false;
    instructions_ = s.instructions;
    cycles_ = s.cycles;
    branchEnd_ = s.branchEnd;
    branchExtra_ = s.branchExtra;
    interruptsTaken_ = s.interrupts;
    resets_ = s.resets;
    fault_ = s.fault;
    lastBlock_ = s.lastBlock;
    stackArmed_ = s.stackArmed;
}

}  // namespace sim
