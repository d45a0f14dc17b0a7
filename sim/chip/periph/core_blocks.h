// The blocks the core itself depends on: interrupt controller, power and PLL
// control, reset control.
#pragma once
#include <cstdint>

#include <string>

#include "chip/peripheral.h"
#include "core/scheduler.h"
#include "core/time.h"

namespace sim {

// IRQSIG holds the sources' raw signals; IRQEN/FIQEN are set by writing 1
// bits and cleared through IRQCLR/FIQCLR, as on the chip. A source enabled
// for FIQ is taken out of IRQEN.
class Interrupts : public Peripheral {
public:
    using Peripheral::Peripheral;
    const char* name() const override { return "interrupts"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    void setSignal(uint32_t mask, bool active);
    uint32_t signals() const { return sig_; }
    uint32_t irqEnabled() const { return irqEn_; }
    uint32_t fiqEnabled() const { return fiqEn_; }
    bool irqLine() const { return (sig_ & irqEn_) != 0; }
    bool fiqLine() const { return (sig_ & fiqEn_) != 0; }

    SIM_BLOCK_STATE(std::tie(sig_, irqEn_, fiqEn_, swi_))

private:
    void changed(bool wasIrq, bool wasFiq);
    uint32_t sig_ = 0, irqEn_ = 0, fiqEn_ = 0, swi_ = 0;
};

// POWCON and PLLCON change only inside their key sequences
// (POWKEY1=1, POWCON, POWKEY2=0xF4; PLLKEY1=0xAA, PLLCON, PLLKEY2=0x55),
// written with no other memory access in between: any other register
// access (Chip) or RAM/flash data access (the Machine, through
// otherAccess()) breaks an open sequence, which is reported and has no
// effect. A new PLLCON takes effect once the PLL has locked again.
class Power : public Peripheral {
public:
    using Peripheral::Peripheral;
    const char* name() const override { return "power"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    uint32_t powcon() const { return powcon_; }
    // The PLL configuration in effect (a new one waits for the lock).
    uint32_t pllcon() const { return pllcon_; }
    bool pllLocked() const { return lockEvent_ == 0; }
    // Called by the CPU loop when an interrupt ends a nap.
    void wake();
    unsigned ignoredWrites() const { return ignored_; }
    unsigned brokenSequences() const { return broken_; }

    // A key sequence is open: the next access must be its next step.
    bool sequenceOpen() const { return powStage_ != Idle || pllStage_ != Idle; }
    // Any memory access that is not the sequence's next step.
    void otherAccess(const std::string& what);

    // PLL lock time after a PLLCON change (assumed, see core_blocks.cpp).
    static constexpr Ticks kPllLockTicks = 2 * kTicksPerXtal;

    SIM_BLOCK_STATE(std::tie(powStage_, pllStage_, powPending_, pllPending_, powcon_, pllcon_, pllWritten_, ignored_,
                             broken_, lockEvent_, lockAt_, wokeEarly_))

private:
    enum Stage { Idle, Key1, Value };
    void breakSequence(const std::string& by);
    void locked();
    Stage powStage_ = Idle, pllStage_ = Idle;
    uint32_t powPending_ = 0, pllPending_ = 0;
    uint32_t powcon_ = 0x03, pllcon_ = 0x21, pllWritten_ = 0x21;
    unsigned ignored_ = 0, broken_ = 0;
    Scheduler::Id lockEvent_ = 0;
    Ticks lockAt_ = 0;
    bool wokeEarly_ = false;
};

// RSTSTA records the cause of the last reset; writing bit 2 resets the chip.
class ResetControl : public Peripheral {
public:
    using Peripheral::Peripheral;
    const char* name() const override { return "reset"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause cause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;
    uint32_t rststa() const { return rststa_; }
    SIM_BLOCK_STATE(std::tie(rststa_))

private:
    uint32_t rststa_ = 1;
};

}  // namespace sim
