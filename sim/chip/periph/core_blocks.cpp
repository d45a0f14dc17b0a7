#include "chip/periph/core_blocks.h"

#include <cstdio>

#include "chip/chip.h"
#include "aduc702x.h"

namespace sim {

static std::string fmt(const char* f, uint32_t a, uint32_t b = 0, uint32_t c = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

// ---- Interrupts ----

std::vector<uint32_t> Interrupts::registers() const {
    return {IRQSTA.addr, IRQSIG.addr, IRQEN.addr, IRQCLR.addr, SWICFG.addr,
            FIQSTA.addr, FIQSIG.addr, FIQEN.addr, FIQCLR.addr};
}

void Interrupts::reset(ResetCause) {
    // Sources keep driving their lines; the blocks' own resets lower them.
    irqEn_ = fiqEn_ = swi_ = 0;
    sig_ &= ~INT_SWI;
}

uint32_t Interrupts::read(uint32_t addr) {
    if (addr == IRQSTA.addr) return sig_ & irqEn_;
    if (addr == IRQSIG.addr || addr == FIQSIG.addr) return sig_;
    if (addr == IRQEN.addr) return irqEn_;
    if (addr == FIQSTA.addr) return sig_ & fiqEn_;
    if (addr == FIQEN.addr) return fiqEn_;
    if (addr == SWICFG.addr) return swi_;
    return 0;  // IRQCLR, FIQCLR are write-only
}

void Interrupts::write(uint32_t addr, uint32_t value) {
    bool wasIrq = irqLine(), wasFiq = fiqLine();
    if (addr == IRQEN.addr) {
        irqEn_ |= value & ~fiqEn_;
    } else if (addr == IRQCLR.addr) {
        irqEn_ &= ~value;
    } else if (addr == FIQEN.addr) {
        fiqEn_ |= value;
        irqEn_ &= ~value;
    } else if (addr == FIQCLR.addr) {
        fiqEn_ &= ~value;
    } else if (addr == SWICFG.addr) {
        swi_ = value & 6;
        if (swi_) sig_ |= INT_SWI; else sig_ &= ~INT_SWI;
    }
    changed(wasIrq, wasFiq);
}

void Interrupts::setSignal(uint32_t mask, bool active) {
    bool wasIrq = irqLine(), wasFiq = fiqLine();
    if (active) sig_ |= mask; else sig_ &= ~mask;
    changed(wasIrq, wasFiq);
}

void Interrupts::changed(bool wasIrq, bool wasFiq) {
    if (irqLine() != wasIrq || fiqLine() != wasFiq) chip_.requestStop();
}

std::string Interrupts::state() const {
    return fmt("IRQSIG=0x%08X IRQEN=0x%08X FIQEN=0x%08X", sig_, irqEn_, fiqEn_);
}

// ---- Power ----

std::vector<uint32_t> Power::registers() const {
    return {POWKEY1.addr, POWCON.addr, POWKEY2.addr, PLLKEY1.addr, PLLCON.addr, PLLKEY2.addr};
}

void Power::reset(ResetCause) {
    powStage_ = pllStage_ = Idle;
    powcon_ = 0x03;
    pllcon_ = 0x21;
    chip_.setCoreDivider(3);
}

uint32_t Power::read(uint32_t addr) {
    if (addr == POWCON.addr) return powcon_;
    if (addr == PLLCON.addr) return pllcon_;
    return 0;
}

void Power::write(uint32_t addr, uint32_t value) {
    auto ignore = [&](const char* what) {
        ++ignored_;
        chip_.trace(std::string("power: ") + what + " outside its key sequence ignored");
        powStage_ = pllStage_ = Idle;
    };
    if (addr == POWKEY1.addr) {
        powStage_ = value == POWKEY1_VAL ? Key1 : Idle;
        pllStage_ = Idle;
    } else if (addr == POWCON.addr) {
        if (powStage_ != Key1) return ignore("POWCON write");
        powPending_ = value & 0x7F;
        powStage_ = Value;
    } else if (addr == POWKEY2.addr) {
        if (powStage_ != Value || value != POWKEY2_VAL) return ignore("POWKEY2 write");
        powStage_ = Idle;
        powcon_ = powPending_;
        chip_.setCoreDivider(powcon_ & 7);
        unsigned mode = (powcon_ >> 4) & 7;
        // Modes other than active stop the core until an interrupt; only nap
        // (2) is used by the firmware, the deeper ones behave alike here.
        if (mode != 0) chip_.setNapping(true);
    } else if (addr == PLLKEY1.addr) {
        pllStage_ = value == PLLKEY1_VAL ? Key1 : Idle;
        powStage_ = Idle;
    } else if (addr == PLLCON.addr) {
        if (pllStage_ != Key1) return ignore("PLLCON write");
        pllPending_ = value & 0x3F;
        pllStage_ = Value;
    } else if (addr == PLLKEY2.addr) {
        if (pllStage_ != Value || value != PLLKEY2_VAL) return ignore("PLLKEY2 write");
        pllStage_ = Idle;
        pllcon_ = pllPending_;
    }
}

void Power::wake() {
    powcon_ &= 0x0F;  // back to active mode, divider kept
    chip_.setNapping(false);
}

std::string Power::state() const {
    return fmt("POWCON=0x%02X (CD %u) PLLCON=0x%02X", powcon_, powcon_ & 7, pllcon_);
}

// ---- Reset control ----

std::vector<uint32_t> ResetControl::registers() const { return {RSTSTA.addr, RSTCLR.addr}; }

void ResetControl::reset(ResetCause cause) {
    switch (cause) {
        case ResetCause::PowerOn: rststa_ = RST_POWER_ON; break;
        case ResetCause::Watchdog: rststa_ |= RST_WATCHDOG; break;
        case ResetCause::Software: rststa_ |= RST_SOFTWARE; break;
    }
}

uint32_t ResetControl::read(uint32_t addr) { return addr == RSTSTA.addr ? rststa_ : 0; }

void ResetControl::write(uint32_t addr, uint32_t value) {
    if (addr == RSTCLR.addr) {
        rststa_ &= ~value;
    } else if (addr == RSTSTA.addr && (value & RST_SOFTWARE)) {
        chip_.requestReset(ResetCause::Software);
    }
}

std::string ResetControl::state() const { return fmt("RSTSTA=0x%02X", rststa_); }

}  // namespace sim
