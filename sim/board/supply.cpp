#include "board/supply.h"

#include <algorithm>
#include <cmath>

namespace sim {

void HvSupply::setParams(const SupplyParams& p, Ticks t) {
    rebase(t);
    p_ = p;
    retarget();
}

void HvSupply::setDac(unsigned n, double volts, Ticks t) {
    if (n > 1) return;
    rebase(t);
    dac_[n] = volts;
    retarget();
}

void HvSupply::setEnabled(bool on, Ticks t) {
    rebase(t);
    enabled_ = on;
    retarget();
}

void HvSupply::rebase(Ticks t) {
    if (t <= t0_) return;
    v0_ = outputVolts(t);
    t0_ = t;
}

void HvSupply::retarget() {
    const double tauMs = enabled_ ? p_.tauMs : p_.offTauMs;
    // A zero time constant means an immediate output; keep the exponent finite.
    tauTicks_ = std::max(tauMs * 1e-3 * double(kTicksPerSecond), 1e-9);
    if (!enabled_) {
        target_ = 0;
        return;
    }
    double open = (1 + p_.gainError) * p_.voltsPerCode * (p_.zeroCode - p_.codesPerVolt * controlVolts()) +
                  p_.offsetVolts;
    open = std::clamp(open, 0.0, std::max(p_.maxVolts, 0.0));
    if (p_.loadMohm > 0) open *= p_.loadMohm * 1e3 / (p_.loadMohm * 1e3 + std::max(p_.rOutKohm, 0.0));
    target_ = open;
}

double HvSupply::outputVolts(Ticks t) const {
    if (t <= t0_) return v0_;
    return target_ + (v0_ - target_) * std::exp(-double(t - t0_) / tauTicks_);
}

double HvSupply::feedbackVolts(Ticks t) const {
    double v = outputVolts(t);
    if (p_.noiseVolts > 0) v += p_.noiseVolts * gaussian(p_.seed, t);
    return v / p_.voltsPerCode * kAdcVoltsPerCode;
}

// splitmix64: a well-mixed 64-bit hash, enough for test noise.
static uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double HvSupply::gaussian(uint64_t seed, Ticks t) {
    const uint64_t a = mix(mix(seed) ^ t);
    const uint64_t b = mix(a);
    // Two uniforms in (0, 1], then Box-Muller.
    const double u1 = (double(a >> 11) + 1) * 0x1.0p-53;
    const double u2 = double(b >> 11) * 0x1.0p-53;
    return std::sqrt(-2 * std::log(u1)) * std::cos(2 * M_PI * u2);
}

}  // namespace sim
