// The high-voltage supply of a velmora node, as the firmware sees it: a control
// input (DAC0 + DAC1 summed), an enable input, and the output divided down into
// ADC0.
//
// Transfer: the output falls as the control input rises. At nominal gain, with
// no load, one DAC code of control moves the output by one ADC0 code, so a
// regulation code c (DAC0 code + DAC1 code) settles at ADC0 code zeroCode - c
// (8090 - c). Gain and offset errors, a source resistance into a resistive
// load and a compliance ceiling sit on top of that.
//
// Dynamics: the output follows its target through a first-order lag. The
// state is only rebased when an input changes, and every read evaluates the
// exponential of the elapsed virtual time, so a value depends on the input
// history alone: never on how often or when the ADC happens to sample.
//
// Noise: a reading of the feedback at tick t adds Gaussian noise drawn from a
// hash of (seed, t), so the same seed and sample times give the same readings
// whatever else happens in between.
#pragma once
#include <cstdint>

#include "core/time.h"

namespace sim {

struct SupplyParams {
    double voltsPerCode = 0.8182;  // true output volts per ADC0 code (the divider)
    double zeroCode = 8090;        // ADC0 code reached with zero control input (nominal gain, no load)
    double codesPerVolt = 1638;    // output fall per control volt, in ADC0 codes (4095 / 2.5)
    double gainError = 0.01;       // relative error of the whole transfer (0.01 = +1 %)
    double offsetVolts = -2.0;     // output offset, volts
    double maxVolts = 3000;        // compliance: the output never exceeds this
    double tauMs = 20;             // lag time constant while enabled
    double offTauMs = 40;          // decay time constant after the enable drops (bleeder)
    double rOutKohm = 200;         // source resistance of the output
    double loadMohm = 100;         // external load; 0 means none
    double noiseVolts = 0.3;       // rms noise at the output, seen by the feedback only
    uint64_t seed = 1;             // noise seed
};

class HvSupply {
public:
    // ADC volts per ADC code (2.5 V reference, 12 bits).
    static constexpr double kAdcVoltsPerCode = 2.5 / 4096;

    explicit HvSupply(const SupplyParams& p = {}) : p_(p) { retarget(); }

    const SupplyParams& params() const { return p_; }
    // New parameters take effect at t; the output keeps its present value.
    void setParams(const SupplyParams& p, Ticks t);

    // Inputs. A time earlier than the last change is taken as that change's time.
    void setDac(unsigned n, double volts, Ticks t);
    void setEnabled(bool on, Ticks t);
    double controlVolts() const { return dac_[0] + dac_[1]; }
    bool enabled() const { return enabled_; }

    // Where the output is heading with the present inputs (no noise).
    double targetVolts() const { return target_; }
    // Output voltage at t (no noise). t before the last change reads as at it.
    double outputVolts(Ticks t) const;
    // Voltage at the ADC0 pin when sampled at t, noise included.
    double feedbackVolts(Ticks t) const;
    // The same as an ADC0 code (unrounded, unclamped), for tests and traces.
    double feedbackCode(Ticks t) const { return feedbackVolts(t) / kAdcVoltsPerCode; }

    // Standard normal deviate for (seed, t): the noise source, exposed for tests.
    static double gaussian(uint64_t seed, Ticks t);

private:
    void rebase(Ticks t);  // folds the lag up to t into the state
    void retarget();       // target and time constant from inputs and parameters

    SupplyParams p_;
    double dac_[2] = {0, 0};
    bool enabled_ = false;
    // Output is target_ + (v0_ - target_) * exp(-(t - t0_) / tauTicks_).
    Ticks t0_ = 0;
    double v0_ = 0;
    double target_ = 0;
    double tauTicks_ = 1;
};

}  // namespace sim
