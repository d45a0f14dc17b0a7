// The readout unit's board: 64 channels of X and Y signal sources behind two
// banks of analog multiplexers (one bank per signal), addressed together by
// the one-of-four select lines P1.4..P1.7 and the input number on P0.4..P0.7.
// The X bank's output feeds ADC1, the Y bank's ADC2. After every switch the
// multiplexer output settles towards the new input with a first-order lag, so
// a conversion taken too soon reads a value between the old and the new
// channel. P4.2, the scan indicator, is recorded.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board.h"
#include "time.h"

namespace sim {

class ReadoutBoard : public Board {
public:
    static constexpr unsigned kChannels = 64;
    static constexpr unsigned kMuxes = 4;       // per bank, one per select line
    static constexpr unsigned kMuxInputs = 16;  // per multiplexer
    static constexpr unsigned kXAdc = 1;        // ADCCP of the X bank's output
    static constexpr unsigned kYAdc = 2;        // ADCCP of the Y bank's output

    enum class Axis { X, Y };

    // One channel's signal: a constant level, optionally with Gaussian noise
    // (a fresh value at every conversion, from the board's seeded generator).
    struct Source {
        double volts = 0.0;  // level, or mean of a noisy source
        double sigma = 0.0;  // noise standard deviation in volts; 0 = none
    };

    // Where a channel is wired: which multiplexer (0..3 = select P1.4..P1.7)
    // and which of its inputs (the number on P0.4..P0.7).
    struct MuxInput {
        unsigned mux;
        unsigned input;
    };

    explicit ReadoutBoard(uint64_t seed = 1);

    // ---- Sources ----
    void setSource(Axis axis, unsigned channel, Source s);
    void setConstant(Axis axis, unsigned channel, double volts) { setSource(axis, channel, {volts, 0.0}); }
    void setNoisy(Axis axis, unsigned channel, double mean, double sigma) {
        setSource(axis, channel, {mean, sigma});
    }
    // A beam profile across all 64 channels: base + peak * exp(-(n - centre)^2
    // / (2 width^2)) for channel n, with optional noise on every channel.
    void setGaussianBeam(Axis axis, double peak, double centre, double width, double base = 0.0,
                         double sigma = 0.0);
    const Source& source(Axis axis, unsigned channel) const;
    // Restarts the noise generator (the same seed gives the same noise).
    void seed(uint64_t s);

    // ---- Multiplexer output ----
    // Time constant of the settling after a switch (default 2 µs); 0 switches
    // at once.
    void setSettling(Ticks tau) { tau_ = tau; }
    Ticks settling() const { return tau_; }
    // The board's wiring of a channel, and its inverse: the channel on a
    // multiplexer's input.
    static MuxInput wiring(unsigned channel);
    static unsigned channelAt(unsigned mux, unsigned input);
    // The channel the address lines select now; none when no multiplexer is
    // enabled or more than one is.
    std::optional<unsigned> addressed() const;
    // How often more than one select line was high at once (the enabled
    // multiplexers' outputs then short each other).
    unsigned contentions() const { return contentions_; }
    // Output voltage of a bank at time t (without the noise of the source).
    double output(Axis axis, Ticks t) const;

    // ---- Observation ----
    struct Sample {
        Ticks t;
        Axis axis;
        std::optional<unsigned> channel;  // channel addressed when sampled
        double volts;                     // what the ADC was given
    };
    // Every switch of the address lines: what they select from then on.
    struct Switch {
        Ticks t;
        uint8_t enables;                  // bit m: select line P1.(4+m) high
        uint8_t input;                    // number on P0.4..P0.7
        std::optional<unsigned> channel;  // the channel this selects, if one
    };
    // Every conversion of ADC1 or ADC2 and every switch, when recording is
    // on (off by default: a long averaged scan makes millions).
    void recordSamples(bool on) { record_ = on; }
    const std::vector<Sample>& samples() const { return samples_; }
    const std::vector<Switch>& switches() const { return switches_; }
    void clearSamples() {
        samples_.clear();
        switches_.clear();
    }
    // P4.2 as driven now, and its changes with their times.
    bool scanIndicator() const { return indicator_; }
    const std::vector<std::pair<Ticks, bool>>& indicatorEdges() const { return edges_; }
    void clearIndicatorEdges() { edges_.clear(); }

    // ---- Board hooks ----
    double adcInput(unsigned channel, Ticks t) override;
    void pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, Ticks t) override;

private:
    // What the banks are switched to: a set of enabled multiplexers (bit m =
    // select line P1.(4+m)) and the input number they all get.
    struct Address {
        uint8_t enables = 0;
        uint8_t input = 0;
        bool operator==(const Address&) const = default;
    };
    struct Bank {
        double start = 0.0;  // output at the last switch
        Ticks since = 0;     // time of the last switch
    };

    double target(Axis axis, Address a) const;
    double bankOutput(const Bank& b, Axis axis, Ticks t) const;
    void switchTo(Address a, Ticks t);
    double gaussian();
    std::array<Source, kChannels>& sources(Axis axis) { return axis == Axis::X ? x_ : y_; }
    const std::array<Source, kChannels>& sources(Axis axis) const { return axis == Axis::X ? x_ : y_; }

    std::array<Source, kChannels> x_{}, y_{};
    uint64_t rng_ = 0;
    Ticks tau_;
    Address address_{};
    Bank xBank_{}, yBank_{};
    unsigned contentions_ = 0;
    bool record_ = false;
    std::vector<Sample> samples_;
    std::vector<Switch> switches_;
    bool indicator_ = false;
    std::vector<std::pair<Ticks, bool>> edges_;
};

class Machine;

// The host line that several readout units listen on: whatever the host
// sends reaches every unit (all hear 'M'), and the units' transmit lines meet
// on the host's receive line, where only one may talk at a time. Each unit is
// a Machine with its own chip and clock, so the line runs them in lock-step:
// every unit runs up to the same line time, slice by slice, and the line's
// bytes reach each unit's UART at the end of their last bit.
class ReadoutLine {
public:
    struct Byte {
        uint8_t value;
        Ticks start, end;  // first and last bit on the wire
        unsigned unit;     // which unit sent it
    };

    explicit ReadoutLine(unsigned baud = 115200, Ticks slice = fromMicros(100));
    ~ReadoutLine();
    ReadoutLine(const ReadoutLine&) = delete;
    ReadoutLine& operator=(const ReadoutLine&) = delete;

    // Adds a unit (an image loaded and powered on); returns its index. The
    // units behind run up to the latest one's time. The line takes over the
    // unit's transmit callback.
    unsigned attach(Machine& m);
    unsigned units() const { return unsigned(units_.size()); }

    // Time every unit has run up to.
    Ticks now() const { return now_; }
    // One character (start bit, 8 data bits, stop bit) at the line's rate.
    Ticks charTime() const { return charTime_; }

    // The host sends bytes back to back, from now on or after the bytes it
    // is still sending; returns when the last one will have arrived.
    Ticks send(std::string_view bytes);
    // End of the last byte the host sends (now when it sends nothing).
    Ticks sendDone() const { return std::max(sendEnd_, now_); }

    // Runs every unit by `d`, or until cond holds (checked between slices);
    // false when the limit ran out first. A unit's fault throws SimError.
    void runFor(Ticks d);
    bool runUntil(const std::function<bool()>& cond, Ticks limit);
    // Runs until the host has sent everything and the line has been quiet
    // (no unit transmitting) for `quiet`, and for at least `quiet`.
    void settle(Ticks quiet = fromMillis(1));

    // What the units sent since the last clear(), in the order of their
    // start on the wire; as text, from one unit or from all.
    std::vector<Byte> received() const;
    std::string text(unsigned unit) const;
    std::string text() const;
    // Bytes of two units that overlapped on the host's receive line.
    unsigned collisions() const { return collisions_; }
    void clear() { bytes_.clear(); }

private:
    void runSlice(Ticks until);
    void transmitted(unsigned unit, uint8_t value, Ticks start, Ticks end);

    unsigned baud_;
    Ticks charTime_;
    Ticks slice_;
    Ticks now_ = 0;
    Ticks sendEnd_ = 0;
    Ticks lastTx_ = 0;
    std::vector<Machine*> units_;
    std::vector<Byte> bytes_;
    unsigned collisions_ = 0;
};

}  // namespace sim
