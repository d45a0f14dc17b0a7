#include "chip/periph/analog.h"

#include <algorithm>
#include <cmath>

#include "chip/chip.h"
#include "aduc702x.h"
#include "chip/periph/format.h"

namespace sim {

// ---- Reference ----

std::vector<uint32_t> Reference::registers() const { return {REFCON.addr}; }

std::string Reference::state() const { return strf("REFCON=0x%X", refcon_); }

// ---- ADC ----
//
// Timing (ADuC702x datasheet, ADC section and ADCCON): the ADC clock is the
// 41.78 MHz PLL clock divided by 1..32 (ADCCON bits 12:10), acquisition
// takes 2, 4, 8 or 16 ADC clocks, and the ADC must have been powered for
// 5 us before it converts correctly. The conversion phase is taken as 16
// ADC clocks, which matches the datasheet's 1 MSPS at the fastest setting
// within 20 %; at the setting both nodes use (0x623: /2, 8 clocks) a
// conversion takes 24 x 2 / 41.7792 MHz = 1.149 us.

namespace {
constexpr uint32_t kStart = 1u << 7;
constexpr uint32_t kPower = 1u << 5;
constexpr uint32_t kSingle = 3, kContinuous = 4;
}  // namespace

std::vector<uint32_t> Adc::registers() const {
    return {ADCCON.addr, ADCCP.addr, ADCCN.addr, ADCSTA.addr, ADCDAT.addr, ADCRST.addr};
}

void Adc::reset(ResetCause) {
    abort();
    con_ = 0x0600;  // ADC clock /2, 8-clock acquisition, powered down
    cp_ = cn_ = dat_ = 0;
    ready_ = false;
    poweredAt_ = 0;
    signal();
}

uint32_t Adc::code(double volts, double vref) {
    double c = std::floor(volts / vref * 4096.0);
    if (!(c > 0)) return 0;  // also NaN
    return c > 4095 ? 4095 : uint32_t(c);
}

Ticks Adc::acquisitionTime() const {
    Ticks clk = Ticks{1} << std::min<uint32_t>((con_ >> 10) & 7, 5);
    return clk * (2u << ((con_ >> 8) & 3));
}

Ticks Adc::conversionTime() const {
    Ticks clk = Ticks{1} << std::min<uint32_t>((con_ >> 10) & 7, 5);
    return acquisitionTime() + clk * kConversionClocks;
}

uint32_t Adc::read(uint32_t addr) {
    if (addr == ADCCON.addr) return con_;
    if (addr == ADCCP.addr) return cp_;
    if (addr == ADCCN.addr) return cn_;
    if (addr == ADCSTA.addr) return ready_ ? 1 : 0;
    if (addr == ADCDAT.addr) {
        ready_ = false;
        signal();
        return dat_;
    }
    return 0;
}

void Adc::write(uint32_t addr, uint32_t value) {
    if (addr == ADCCP.addr) {
        cp_ = value & 0x1F;
    } else if (addr == ADCCN.addr) {
        cn_ = value & 0x1F;
    } else if (addr == ADCRST.addr) {
        reset(ResetCause::Software);
    } else if (addr == ADCCON.addr) {
        uint32_t old = con_;
        con_ = value & 0x1FFF;
        if ((con_ & kPower) && !(old & kPower)) poweredAt_ = chip_.now();
        unsigned trigger = con_ & 7;
        if (!(con_ & kPower)) {
            abort();
            if ((con_ & kStart) && (trigger == kSingle || trigger == kContinuous))
                chip_.report(strf("adc: conversion started while the ADC is powered down (ADCCON 0x%X), pc 0x%08X",
                                  con_, chip_.pc));
            return;
        }
        if (!(con_ & kStart)) {
            if (trigger == kContinuous) abort();
            return;
        }
        if (trigger == kSingle || trigger == kContinuous) {
            start();
        } else if (trigger == 1 || trigger == 2 || trigger == 5) {
            chip_.report(strf("adc: conversion trigger %u (ADCCON 0x%X) is not modelled", trigger, con_));
        }
        // Trigger 0 waits for the CONVSTART pin, which no board drives.
    }
}

void Adc::start() {
    abort();
    if (chip_.now() - poweredAt_ < kPowerUpTicks)
        chip_.report(strf("adc: conversion started %.2f us after power-up (needs 5 us), pc 0x%08X",
                          toMicros(chip_.now() - poweredAt_), chip_.pc));
    if ((con_ >> 3) & 3)
        chip_.report(strf("adc: differential input modes (ADCCON 0x%X) are not modelled", con_));
    channel_ = cp_;
    Ticks t0 = chip_.now();
    sampleEvent_ = chip_.sched().at(t0 + acquisitionTime(), [this] { sampleEvent_ = 0; sample(); });
    finishEvent_ = chip_.sched().at(t0 + conversionTime(), [this] { finishEvent_ = 0; finish(); });
}

void Adc::sample() {
    lastSample_ = chip_.now();
    double v = chip_.board().adcInput(channel_, lastSample_);
    sampled_ = code(v, Reference::kVref);
}

void Adc::finish() {
    dat_ = sampled_ << 16;
    ready_ = true;
    ++conversions_;
    if ((con_ & 7) == kSingle) {
        // A single software conversion leaves the trigger field at 0
        // (CONVSTART pin), as the chip does.
        con_ &= ~7u;
    } else if ((con_ & 7) == kContinuous && (con_ & kStart)) {
        start();
    }
    signal();
}

void Adc::abort() {
    if (sampleEvent_) chip_.sched().cancel(sampleEvent_);
    if (finishEvent_) chip_.sched().cancel(finishEvent_);
    sampleEvent_ = finishEvent_ = 0;
}

void Adc::signal() { chip_.setSource(INT_ADC, ready_); }

std::string Adc::state() const {
    return strf("ADCCON=0x%X ADCCP=%u ADCSTA=%u ADCDAT=0x%08X%s", con_, cp_, ready_ ? 1 : 0, dat_,
                busy() ? " converting" : "");
}

// ---- DAC ----

std::vector<uint32_t> Dac::registers() const {
    return {DAC0CON.addr, DAC0DAT.addr, DAC1CON.addr, DAC1DAT.addr};
}

void Dac::reset(ResetCause) {
    for (unsigned n = 0; n < 2; ++n) {
        con_[n] = dat_[n] = 0;
        update(n);
    }
}

uint32_t Dac::read(uint32_t addr) {
    unsigned n = (addr - DAC0CON.addr) / 8;
    return (addr & 4) ? dat_[n] : con_[n];
}

void Dac::write(uint32_t addr, uint32_t value) {
    unsigned n = (addr - DAC0CON.addr) / 8;
    if (addr & 4) {
        dat_[n] = value & 0x0FFF0000;  // only bits 27:16 reach the converter
    } else {
        con_[n] = value & 0x3F;
        if (con_[n] & 0x20) chip_.report(strf("dac%u: update on Timer1 overflow is not modelled", n));
    }
    update(n);
}

void Dac::update(unsigned n) {
    uint16_t code = (con_[n] & 0x10) ? uint16_t(dat_[n] >> 16) : 0;
    double full = 0;
    switch (con_[n] & 3) {
        case 0: full = 0; break;  // powered down: the pin floats; offered as 0 V
        case 1: full = Reference::kVref; break;  // DACREF pin, tied to VREF here
        case 2: full = Reference::kVref; break;
        case 3: full = kAvdd; break;
    }
    double v = code / 4095.0 * full;
    bool voltsChanged = v != volts_[n];
    if (!voltsChanged && code == code_[n]) return;
    code_[n] = code;
    volts_[n] = v;
    if (voltsChanged) chip_.board().dacChanged(n, v, chip_.now());
    for (auto& f : listeners) f(n);
}

std::string Dac::state() const {
    return strf("DAC0 code %u (%.4f V) DAC1 code %u (%.4f V)", code_[0], volts_[0], code_[1], volts_[1]);
}

}  // namespace sim
