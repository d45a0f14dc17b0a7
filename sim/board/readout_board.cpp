#include "board/readout_board.h"

#include <bit>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

#include "machine.h"
#include "periph/uart.h"

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

// ---- The host line ----

namespace sim {

ReadoutLine::ReadoutLine(unsigned baud, Ticks slice)
    : baud_(baud), charTime_((10 * kTicksPerSecond + baud / 2) / baud), slice_(slice) {}

ReadoutLine::~ReadoutLine() {
    for (Machine* m : units_) m->chip().uart().onTx = nullptr;
}

unsigned ReadoutLine::attach(Machine& m) {
    const auto unit = unsigned(units_.size());
    units_.push_back(&m);
    m.chip().uart().onTx = [this, unit](const auto& b) { transmitted(unit, b.value, b.start, b.end); };
    // Whoever is behind catches up, so that all start from one line time.
    runSlice(std::max(now_, m.now()));
    return unit;
}

void ReadoutLine::transmitted(unsigned unit, uint8_t value, Ticks start, Ticks end) {
    for (const Byte& b : bytes_)
        if (b.unit != unit && b.start < end && start < b.end) ++collisions_;
    bytes_.push_back({value, start, end, unit});
    lastTx_ = std::max(lastTx_, end);
}

Ticks ReadoutLine::send(std::string_view bytes) {
    Ticks t = sendDone();
    for (char c : bytes) {
        t += charTime_;
        const auto value = uint8_t(c);
        // The UART takes the byte when its stop bit has arrived.
        for (Machine* m : units_)
            m->chip().sched().at(t, [m, value, baud = baud_] { m->chip().uart().receive(value, baud); });
    }
    sendEnd_ = t;
    return t;
}

void ReadoutLine::runSlice(Ticks until) {
    for (size_t i = 0; i < units_.size(); ++i) {
        Machine& m = *units_[i];
        if (m.now() >= until) continue;
        const RunResult r = m.runFor(until - m.now());
        if (!r) throw SimError("unit " + std::to_string(i) + ": " + r.report);
    }
    now_ = until;
}

void ReadoutLine::runFor(Ticks d) {
    const Ticks end = now_ + d;
    while (now_ < end) runSlice(std::min(end, now_ + slice_));
}

bool ReadoutLine::runUntil(const std::function<bool()>& cond, Ticks limit) {
    const Ticks end = now_ + limit;
    while (!cond()) {
        if (now_ >= end) return false;
        runSlice(std::min(end, now_ + slice_));
    }
    return true;
}

void ReadoutLine::settle(Ticks quiet) {
    // A unit that talks keeps the line busy; one that stops for `quiet` is
    // done (a scan, which says nothing, is waited for on its indicator).
    const Ticks from = now_;
    const bool done =
        runUntil([&] { return now_ >= std::max({from, sendEnd_, lastTx_}) + quiet; }, fromSeconds(10));
    if (!done) throw SimError("the line did not fall quiet within 10 s");
}

std::vector<ReadoutLine::Byte> ReadoutLine::received() const {
    std::vector<Byte> sorted = bytes_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Byte& a, const Byte& b) { return a.start < b.start; });
    return sorted;
}

std::string ReadoutLine::text(unsigned unit) const {
    std::string s;
    for (const Byte& b : received())
        if (b.unit == unit) s += char(b.value);
    return s;
}

std::string ReadoutLine::text() const {
    std::string s;
    for (const Byte& b : received()) s += char(b.value);
    return s;
}

}  // namespace sim
