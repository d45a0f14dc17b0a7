// The analog blocks: band-gap reference (REFCON), the 12-bit ADC and the
// two 12-bit DACs. Every analog value comes from, or goes to, the board.
#pragma once
#include <cstdint>
#include <functional>

#include "chip/peripheral.h"
#include "core/scheduler.h"
#include "core/time.h"

namespace sim {

// REFCON bit 0 connects the internal 2.5 V reference to the VREF pin. The
// converters use the internal reference either way in this model.
class Reference : public Peripheral {
public:
    using Peripheral::Peripheral;
    const char* name() const override { return "reference"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override { refcon_ = 0; }
    uint32_t read(uint32_t) override { return refcon_; }
    void write(uint32_t, uint32_t value) override { refcon_ = value & 0x03; }
    std::string state() const override;

    static constexpr double kVref = 2.5;
    double vref() const { return kVref; }
    bool drivesPin() const { return (refcon_ & 1) != 0; }
    SIM_BLOCK_STATE(std::tie(refcon_))

private:
    uint32_t refcon_ = 0;
};

// ADCCON: bits 12:10 ADC clock = 41.78 MHz / 2^n, bits 9:8 acquisition of
// 2, 4, 8 or 16 ADC clocks, bit 7 start/enable, bit 5 power, bits 4:3 input
// mode, bits 2:0 trigger (3 = single software conversion, 4 = continuous).
// A conversion samples its input when acquisition ends and sets ADCSTA
// bit 0 when it is done; reading ADCDAT clears it.
class Adc : public Peripheral {
public:
    using Peripheral::Peripheral;
    const char* name() const override { return "adc"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    // Conversion phase after acquisition, in ADC clocks (see analog.cpp).
    static constexpr unsigned kConversionClocks = 16;
    // Time the ADC needs after power-up before it converts correctly.
    static constexpr Ticks kPowerUpTicks = fromMicros(5);

    bool busy() const { return finishEvent_ != 0; }
    bool ready() const { return ready_; }
    uint32_t control() const { return con_; }
    // Acquisition and whole conversion in the present ADCCON setting.
    Ticks acquisitionTime() const;
    Ticks conversionTime() const;
    uint64_t conversions() const { return conversions_; }
    Ticks lastSampleTime() const { return lastSample_; }
    // Volts to code: volts / VREF x 4096, clamped to 0..4095.
    static uint32_t code(double volts, double vref);
    SIM_BLOCK_STATE(std::tie(con_, cp_, cn_, dat_, ready_, poweredAt_, channel_, sampled_, lastSample_, conversions_,
                             sampleEvent_, finishEvent_))

private:
    void start();
    void sample();
    void finish();
    void abort();
    void signal();

    uint32_t con_ = 0x0600, cp_ = 0, cn_ = 0, dat_ = 0;
    bool ready_ = false;
    Ticks poweredAt_ = 0;
    unsigned channel_ = 0;
    uint32_t sampled_ = 0;
    Ticks lastSample_ = 0;
    uint64_t conversions_ = 0;
    Scheduler::Id sampleEvent_ = 0, finishEvent_ = 0;
};

// DACxCON: bits 1:0 range (0 off, 1 0..DACREF, 2 0..VREF, 3 0..AVDD), bit 4
// set for normal operation (clear holds the output at code 0), bit 5 update
// on Timer1 overflow (not modelled). DACxDAT bits 27:16 hold the code; the
// output follows the write at once.
class Dac : public Peripheral {
public:
    using Peripheral::Peripheral;
    const char* name() const override { return "dac"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    static constexpr double kAvdd = 3.3;
    // The code the converter outputs (0 while cleared).
    uint16_t code(unsigned n) const { return code_[n & 1]; }
    double volts(unsigned n) const { return volts_[n & 1]; }
    uint32_t control(unsigned n) const { return con_[n & 1]; }
    // Called after any change of a DAC's code or output voltage.
    std::vector<std::function<void(unsigned dac)>> listeners;
    SIM_BLOCK_STATE(std::tie(con_[0], con_[1], dat_[0], dat_[1], code_[0], code_[1], volts_[0], volts_[1]))

private:
    void update(unsigned n);
    uint32_t con_[2]{}, dat_[2]{};
    uint16_t code_[2]{};
    double volts_[2]{};
};

}  // namespace sim
