#include "chip/chip.h"

#include <cstdio>

#include "aduc702x.h"
#include "chip/periph/core_blocks.h"

namespace sim {

const char* toString(ResetCause c) {
    switch (c) {
        case ResetCause::PowerOn: return "power-on";
        case ResetCause::Watchdog: return "watchdog";
        case ResetCause::Software: return "software";
    }
    return "?";
}

void Chip::setBoard(Board* b) { board_ = b ? b : &defaultBoard_; }

void Chip::attach(Peripheral* p) {
    blocks_.push_back(p);
    for (uint32_t a : p->registers()) {
        auto& table = (a & 0xF000) == 0xF000 && a >= MMR_BASE_1 ? decode1_ : decode0_;
        table[(a & 0xFFF) >> 2] = p;
    }
}

static inline Peripheral* lookup(const std::array<Peripheral*, 1024>& t0,
                                 const std::array<Peripheral*, 1024>& t1, uint32_t addr) {
    if ((addr & 3) != 0) return nullptr;
    if (addr >= MMR_BASE_1) return t1[(addr & 0xFFF) >> 2];
    if (addr >= MMR_BASE_0 && addr < MMR_BASE_0 + MMR_BLOCK_SIZE) return t0[(addr & 0xFFF) >> 2];
    return nullptr;
}

bool Chip::isRegister(uint32_t addr) const { return lookup(decode0_, decode1_, addr) != nullptr; }

static std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

uint32_t Chip::read(uint32_t addr) {
    Peripheral* p = lookup(decode0_, decode1_, addr);
    if (!p) {
        report("read of unmodelled register " + hex(addr) + " at pc " + hex(pc));
        return 0;
    }
    uint32_t v = p->read(addr);
    if (trace_) trace(std::to_string(now()) + " R " + hex(addr) + " " + hex(v) + " pc " + hex(pc));
    return v;
}

void Chip::write(uint32_t addr, uint32_t value) {
    Peripheral* p = lookup(decode0_, decode1_, addr);
    if (!p) {
        report("write of unmodelled register " + hex(addr) + " = " + hex(value) + " at pc " + hex(pc));
        return;
    }
    if (trace_) trace(std::to_string(now()) + " W " + hex(addr) + " " + hex(value) + " pc " + hex(pc));
    p->write(addr, value);
}

void Chip::setCoreDivider(unsigned cd) {
    unsigned old = cd_;
    cd_ = cd & 7;
    requestStop();  // instruction timing changes from here on
    if (cd_ != old)
        for (auto& f : clockListeners) f();
}

void Chip::setNapping(bool nap) {
    napping_ = nap;
    requestStop();
}

void Chip::setSource(uint32_t mask, bool active) {
    interrupts_->setSignal(mask, active);
}

bool Chip::irqLine() const { return interrupts_->irqLine(); }
bool Chip::fiqLine() const { return interrupts_->fiqLine(); }

void Chip::requestReset(ResetCause cause) {
    if (!resetRequest_) resetRequest_ = cause;
    requestStop();
}

std::optional<ResetCause> Chip::takeResetRequest() {
    auto r = resetRequest_;
    resetRequest_.reset();
    return r;
}

void Chip::reset(ResetCause cause) {
    lastReset_ = cause;
    resetRequest_.reset();
    napping_ = false;
    cd_ = 3;
    for (Peripheral* p : blocks_) p->reset(cause);
    requestStop();
}

Chip::State Chip::saveState() const {
    State s{sched_, {}, cd_, napping_, stopRequested_, resetRequest_, lastReset_, reports_.size()};
    s.blocks.reserve(blocks_.size());
    for (const Peripheral* p : blocks_) s.blocks.push_back(p->saveState());
    return s;
}

void Chip::loadState(const State& s) {
    sched_ = s.sched;
    for (size_t i = 0; i < blocks_.size(); ++i) blocks_[i]->loadState(s.blocks.at(i));
    cd_ = s.cd;
    napping_ = s.napping;
    stopRequested_ = s.stopRequested;
    resetRequest_ = s.resetRequest;
    lastReset_ = s.lastReset;
    if (reports_.size() > s.reports) reports_.resize(s.reports);
}

void Chip::report(const std::string& what) {
    reports_.push_back(what);
    if (onReport) onReport(what);
}

}  // namespace sim
