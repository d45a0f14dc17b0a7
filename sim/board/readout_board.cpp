#include "board/readout_board.h"

#include <bit>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>


namespace sim {

namespace {

// The board designer's input lists: the channel on each input 0..15 of the
// multiplexer selected by P1.4 (the even channels 0..30) and of the one
// selected by P1.5 (the odd channels 1..31). The second connector, channels
// 32..63, is wired the same way to the multiplexers on P1.6 and P1.7.
constexpr std::array<uint8_t, 16> kEvenInputs = {14, 12, 16, 18, 10, 8, 20, 22,
                                                  6,  4,  24, 26, 2,  0, 28, 30};
constexpr std::array<uint8_t, 16> kOddInputs = {17, 19, 15, 13, 21, 23, 11, 9,
                                                 25, 27, 7,  5,  29, 31, 3,  1};

constexpr unsigned channelOn(unsigned mux, unsigned input) {
    const unsigned first = (mux & 1) ? kOddInputs[input] : kEvenInputs[input];
    return mux >= 2 ? first + 32 : first;
}

// The inverse, worked out once: where each channel is wired.
constexpr std::array<ReadoutBoard::MuxInput, ReadoutBoard::kChannels> makeWiring() {
    std::array<ReadoutBoard::MuxInput, ReadoutBoard::kChannels> w{};
    std::array<bool, ReadoutBoard::kChannels> seen{};
    for (unsigned m = 0; m < ReadoutBoard::kMuxes; ++m)
        for (unsigned i = 0; i < ReadoutBoard::kMuxInputs; ++i) {
            const unsigned ch = channelOn(m, i);
            if (ch >= ReadoutBoard::kChannels || seen[ch]) throw "a channel is wired twice";
            seen[ch] = true;
            w[ch] = {m, i};
        }
    return w;
}
constexpr auto kWiring = makeWiring();

// The lists must keep the board's layout: even channels of each connector on
// one multiplexer, odd ones on the other.
constexpr bool layoutHolds() {
    for (unsigned ch = 0; ch < ReadoutBoard::kChannels; ++ch) {
        const unsigned mux = (ch >= 32 ? 2 : 0) + (ch & 1);
        if (kWiring[ch].mux != mux) return false;
    }
    return true;
}
static_assert(layoutHolds(), "even/odd channels on the wrong multiplexer");

}  // namespace

ReadoutBoard::ReadoutBoard(uint64_t s) : tau_(fromMicros(2.0)) { seed(s); }

ReadoutBoard::MuxInput ReadoutBoard::wiring(unsigned channel) {
    if (channel >= kChannels) throw std::out_of_range("no such channel");
    return kWiring[channel];
}

unsigned ReadoutBoard::channelAt(unsigned mux, unsigned input) {
    if (mux >= kMuxes || input >= kMuxInputs) throw std::out_of_range("no such multiplexer input");
    return channelOn(mux, input);
}

void ReadoutBoard::setSource(Axis axis, unsigned channel, Source s) {
    if (channel >= kChannels) throw std::out_of_range("no such channel");
    sources(axis)[channel] = s;
}

void ReadoutBoard::setGaussianBeam(Axis axis, double peak, double centre, double width,
                                   double base, double sigma) {
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        const double d = (double(ch) - centre) / width;
        setSource(axis, ch, {base + peak * std::exp(-0.5 * d * d), sigma});
    }
}

const ReadoutBoard::Source& ReadoutBoard::source(Axis axis, unsigned channel) const {
    if (channel >= kChannels) throw std::out_of_range("no such channel");
    return sources(axis)[channel];
}

void ReadoutBoard::seed(uint64_t s) { rng_ = s; }

#define BEAM_PARAM(axis, name, unit, field, text)                                               \
    ReadoutParamInfo{#axis "." name, unit, text, [](const ReadoutParams& p) { return p.axis.field; }, \
                     [](ReadoutParams& p, double v) { p.axis.field = v; }}
#define BEAM_PARAMS(axis)                                                                          \
    BEAM_PARAM(axis, "centre", "ch", centre, "channel of the beam's peak on " #axis),              \
    BEAM_PARAM(axis, "width", "ch", width, "beam width on " #axis " (standard deviation)"),       \
    BEAM_PARAM(axis, "amplitude_v", "V", peakVolts, "beam height on " #axis " above the baseline"), \
    BEAM_PARAM(axis, "base_v", "V", baseVolts, "baseline of every " #axis " channel"),             \
    BEAM_PARAM(axis, "noise_v", "V", noiseVolts, "rms noise of every " #axis " channel, per conversion")

const std::vector<ReadoutParamInfo>& ReadoutBoard::paramTable() {
    static const std::vector<ReadoutParamInfo> table = {
        BEAM_PARAMS(x),
        BEAM_PARAMS(y),
        ReadoutParamInfo{"noise.seed", "1", "seed of the noise generator (the same seed gives the same noise)",
                         [](const ReadoutParams& p) { return p.seed; },
                         [](ReadoutParams& p, double v) { p.seed = v; }},
        ReadoutParamInfo{"mux.settle_us", "us", "settling time constant of the multiplexer outputs after a switch",
                         [](const ReadoutParams& p) { return p.settleUs; },
                         [](ReadoutParams& p, double v) { p.settleUs = v; }},
    };
    return table;
}
#undef BEAM_PARAMS
#undef BEAM_PARAM

std::string ReadoutBoard::describeParams() {
    std::string out;
    char line[256];
    for (const ReadoutParamInfo& i : paramTable()) {
        std::snprintf(line, sizeof line, "%-16s %-4s %-8g %s\n", i.name, i.unit, i.defaultValue(), i.description);
        out += line;
    }
    return out;
}

void ReadoutBoard::setParams(const ReadoutParams& p) {
    p_ = p;
    setGaussianBeam(Axis::X, p.x.peakVolts, p.x.centre, p.x.width, p.x.baseVolts, p.x.noiseVolts);
    setGaussianBeam(Axis::Y, p.y.peakVolts, p.y.centre, p.y.width, p.y.baseVolts, p.y.noiseVolts);
    seed(uint64_t(p.seed));
    setSettling(fromMicros(p.settleUs));
}

std::string ReadoutBoard::applyParam(std::string_view assignment) {
    const size_t eq = assignment.find('=');
    if (eq == std::string_view::npos) return "expected NAME=VALUE: " + std::string(assignment);
    const std::string_view name = assignment.substr(0, eq), text = assignment.substr(eq + 1);
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value))
        return "not a number: " + std::string(text);
    for (const ReadoutParamInfo& i : paramTable()) {
        if (name != i.name) continue;
        if (name == "noise.seed" && (value < 0 || value != std::floor(value)))
            return "the seed is a whole number of 0 or more";
        if ((name == "x.width" || name == "y.width") && !(value > 0)) return "a width must be above 0";
        if (name == "mux.settle_us" && value < 0) return "a settling time cannot be negative";
        if (name.ends_with("noise_v") && value < 0) return "noise cannot be negative";
        i.set(p_, value);
        return {};
    }
    return "unknown parameter: " + std::string(name);
}

// splitmix64 and Box-Muller: the same noise on every host for the same seed.
double ReadoutBoard::gaussian() {
    auto next = [this] {
        uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    const double u1 = (double(next() >> 11) + 1.0) / 9007199254740993.0;  // (0, 1]
    const double u2 = double(next() >> 11) / 9007199254740992.0;         // [0, 1)
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

std::optional<unsigned> ReadoutBoard::addressed() const {
    if (std::popcount(address_.enables) != 1) return std::nullopt;
    return channelOn(unsigned(std::countr_zero(address_.enables)), address_.input);
}

// With no multiplexer enabled the bank's output floats and the ADC input's
// bias resistor pulls it to ground; with several, their outputs short and
// meet at the mean of the inputs they pass.
double ReadoutBoard::target(Axis axis, Address a) const {
    const int n = std::popcount(a.enables);
    if (n == 0) return 0.0;
    double sum = 0.0;
    for (unsigned m = 0; m < kMuxes; ++m)
        if (a.enables & (1u << m)) sum += sources(axis)[channelOn(m, a.input)].volts;
    return sum / n;
}

double ReadoutBoard::bankOutput(const Bank& b, Axis axis, Ticks t) const {
    const double goal = target(axis, address_);
    if (tau_ == 0) return goal;
    if (t <= b.since) return b.start;
    return goal + (b.start - goal) * std::exp(-double(t - b.since) / double(tau_));
}

double ReadoutBoard::output(Axis axis, Ticks t) const {
    return bankOutput(axis == Axis::X ? xBank_ : yBank_, axis, t);
}

// A switch restarts the lag from wherever the output stood at that moment.
void ReadoutBoard::switchTo(Address a, Ticks t) {
    if (a == address_) return;
    xBank_ = {bankOutput(xBank_, Axis::X, t), t};
    yBank_ = {bankOutput(yBank_, Axis::Y, t), t};
    address_ = a;
    if (std::popcount(a.enables) > 1) ++contentions_;
    if (record_) switches_.push_back({t, a.enables, a.input, addressed()});
}

double ReadoutBoard::adcInput(unsigned channel, Ticks t) {
    if (channel != kXAdc && channel != kYAdc) return 0.0;
    const Axis axis = channel == kXAdc ? Axis::X : Axis::Y;
    double v = output(axis, t);
    const auto ch = addressed();
    if (ch) {
        const double sigma = sources(axis)[*ch].sigma;
        if (sigma > 0.0) v += sigma * gaussian();
    }
    if (record_) samples_.push_back({t, axis, ch, v});
    return v;
}

void ReadoutBoard::pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, Ticks t) {
    // A pin that does not drive reads as low (pull-downs on the board).
    const uint8_t driven = levels & outputs;
    Address a = address_;
    switch (port) {
        case 0: a.input = (driven >> 4) & 0x0F; break;
        case 1: a.enables = (driven >> 4) & 0x0F; break;
        case 4: {
            const bool level = (driven & 0x04) != 0;
            if (level != indicator_) {
                indicator_ = level;
                edges_.emplace_back(t, level);
            }
            return;
        }
        default: return;
    }
    switchTo(a, t);
}

}  // namespace sim
