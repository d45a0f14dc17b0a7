// A readout unit for the tests: the tavlo image on a simulated chip with the
// readout board around it, and the host line it listens on.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "board/bus.h"
#include "board/readout_board.h"
#include "machine.h"
#include "periph/analog.h"
#include "periph/uart.h"
#include "support/chip_reports.h"

namespace tavlo_test {

using sim::ReadoutBoard;
using Axis = sim::ReadoutBoard::Axis;

inline constexpr unsigned kChannels = 64;
inline constexpr double kBaud = 115200;
// Start-up (ports, ADC, UART, a 10 ms pause) is over well within this.
inline constexpr sim::Ticks kBootTime = sim::fromMillis(12);

inline constexpr double kVref = sim::Reference::kVref;
// A voltage in the middle of the ADC's step for `code`.
inline double codeVolts(unsigned code) { return (code + 0.5) * kVref / 4096.0; }
// The code the ADC gives for a voltage.
inline unsigned adcCode(double volts) { return sim::Adc::code(volts, kVref); }

struct Unit {
    sim::ReadoutNode node;
    sim::Machine& m = node.machine;
    ReadoutBoard& board = node.board;
    // Fails the test on a report of the chip that it does not allow.
    nodetest::ReportGuard reports{m.chip()};

    explicit Unit(uint64_t seed = 1) : node(seed) {
        m.loadElf(TAVLO_ELF);
        m.powerOn();
    }

    // Runs start-up on its own (no line) up to the command loop.
    void bootAlone() {
        const sim::RunResult r = m.runFor(kBootTime);
        ASSERT_TRUE(r) << r.report;
        ASSERT_TRUE(waitingForCommand()) << m.describe(m.pc());
    }
    // The command loop blocks in getchar until a letter comes.
    bool waitingForCommand() const { return m.describe(m.pc()).find("(getchar") != std::string::npos; }

    // Every channel of an axis at its own code.
    template <typename F>
    void setCodes(Axis axis, F code) {
        for (unsigned ch = 0; ch < kChannels; ++ch) board.setConstant(axis, ch, codeVolts(code(ch)));
    }
};

// One or more units on the host's line, booted together. The units' bytes
// meet on the host's receive wire; the host's reach every unit.
struct Line {
    std::vector<std::unique_ptr<Unit>> units;  // outlive the line
    sim::Bus line{kBaud, sim::Wiring::FullDuplex};

    explicit Line(unsigned count = 1) {
        for (unsigned i = 0; i < count; ++i) {
            units.push_back(std::make_unique<Unit>(i + 1));
            line.addNode(units.back()->node.station);
        }
        run(kBootTime);
    }
    Unit& unit(unsigned i = 0) { return *units.at(i); }

    void run(sim::Ticks d) { ASSERT_TRUE(line.runFor(d)) << line.fault(); }
    // Runs until the host has sent everything and the line has been quiet
    // for `quiet`, and for at least `quiet`. A scan says nothing: wait for it
    // on its indicator (measure).
    void settle(sim::Ticks quiet = sim::fromMillis(1)) {
        const sim::Ticks from = line.now();
        const bool done = line.runUntil(
            [&] {
                return !line.hostSending() && !line.frameInProgress() &&
                       line.now() >= std::max(from, line.lastActivity()) + quiet;
            },
            sim::fromSeconds(10));
        ASSERT_TRUE(done) << "the line did not fall quiet within 10 s " << line.fault();
    }
    // What the units sent since the last clear(): all, or one unit's alone.
    std::string text() const { return line.hostText(); }
    std::string text(unsigned unit) const {
        std::string s;
        for (const sim::LineByte& b : line.hostReceived())
            if (b.drivers == 1u << unit) s += char(b.value);
        return s;
    }
    void clear() { line.clearHostReceived(); }
    size_t collisions() const { return line.collisions().size(); }

    // Sends, waits until the line has been quiet for a while, and returns
    // everything the units sent meanwhile.
    std::string exchange(std::string_view bytes) {
        clear();
        line.hostSend(bytes);
        settle();
        return text();
    }
    // Sends 'M' and waits for unit i's scan to end, shown by P4.2 rising again.
    // Returns the scan's duration from the indicator's two edges.
    sim::Ticks measure(unsigned i = 0, sim::Ticks limit = sim::fromSeconds(2)) {
        ReadoutBoard& b = unit(i).board;
        b.clearIndicatorEdges();
        line.hostSend("M");
        const bool done = line.runUntil([&] { return b.indicatorEdges().size() >= 2; }, limit);
        EXPECT_TRUE(done) << "scan did not end";
        if (!done) return 0;
        const auto& e = b.indicatorEdges();
        EXPECT_FALSE(e[0].second);
        EXPECT_TRUE(e[1].second);
        return e[1].first - e[0].first;
    }
};

// The reply to 'R': 'R', then "x y" CR LF for every channel.
template <typename FX, typename FY>
std::string readReply(FX x, FY y) {
    std::string s = "R";
    for (unsigned ch = 0; ch < kChannels; ++ch)
        s += std::to_string(x(ch)) + " " + std::to_string(y(ch)) + "\r\n";
    return s;
}

}  // namespace tavlo_test
