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

#include "board/board.h"
#include "board/chip_node.h"
#include "core/machine.h"
#include "core/time.h"

namespace sim {

// What an operator sets on the simulated board by name (`aducsim tavlo
// --param NAME=VALUE`): one Gaussian beam per axis across the 64 channels
// over a baseline, with noise, the noise seed and the multiplexers' settling.
struct BeamParams {
    double centre;      // channel of the peak (fractions allowed)
    double width;       // standard deviation, in channels
    double peakVolts;   // height above the baseline
    double baseVolts;   // baseline on every channel
    double noiseVolts;  // rms noise of every channel, fresh at each conversion
};
struct ReadoutParams {
    BeamParams x{24.0, 5.0, 1.6, 0.05, 0.004};
    BeamParams y{38.0, 3.5, 1.2, 0.05, 0.004};
    double seed = 1;
    double settleUs = 2.0;  // multiplexer settling time constant
};
struct ReadoutParamInfo {
    const char* name;
    const char* unit;
    const char* description;
    double (*get)(const ReadoutParams&);
    void (*set)(ReadoutParams&, double);
    double defaultValue() const { return get(ReadoutParams{}); }
};

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

    // ---- Named parameters ----
    // A new board has every source at 0 V; setParams lays the beams on it.
    static const std::vector<ReadoutParamInfo>& paramTable();
    // One line per parameter: name, unit, default, description.
    static std::string describeParams();
    void setParams(const ReadoutParams& p);
    const ReadoutParams& params() const { return p_; }
    // Sets one parameter in params() from "NAME=VALUE" (applied by the next
    // setParams); returns an error text, empty on success.
    std::string applyParam(std::string_view assignment);

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

    ReadoutParams p_;
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

// One whole readout unit: board, machine and line station, wired together.
// The unit's UART output is wired straight to the host's receive line, so the
// station drives all the time; put it on a full-duplex Bus:
//
//     sim::ReadoutNode unit;
//     unit.machine.loadElf(TAVLO_ELF);
//     unit.machine.powerOn();
//     sim::Bus line(115200, sim::Wiring::FullDuplex);
//     line.addNode(unit.station);
//     line.hostSend("S1\r");  line.runUntilReply(sim::fromMillis(20));   // "S1\r\n"
struct ReadoutNode {
    explicit ReadoutNode(uint64_t seed = 1) : board(seed), station(fitBoard(machine, board)) {}
    ~ReadoutNode() { machine.chip().setBoard(nullptr); }
    ReadoutBoard board;
    Machine machine;
    ChipNode station;
};

}  // namespace sim
