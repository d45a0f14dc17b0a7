// The blocks the core itself depends on: interrupt controller, power and PLL
// control, reset control.
#pragma once
#include <cstdint>

#include "chip/peripheral.h"

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
// (POWKEY1=1, POWCON, POWKEY2=0xF4; PLLKEY1=0xAA, PLLCON, PLLKEY2=0x55).
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
    uint32_t pllcon() const { return pllcon_; }
    // Called by the CPU loop when an interrupt ends a nap.
    void wake();
    unsigned ignoredWrites() const { return ignored_; }

    SIM_BLOCK_STATE(std::tie(powStage_, pllStage_, powPending_, pllPending_, powcon_, pllcon_, ignored_))

private:
    enum Stage { Idle, Key1, Value };
    Stage powStage_ = Idle, pllStage_ = Idle;
    uint32_t powPending_ = 0, pllPending_ = 0;
    uint32_t powcon_ = 0x03, pllcon_ = 0x21;
    unsigned ignored_ = 0;
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
