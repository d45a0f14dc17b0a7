// Test support for the nodes' images: one simulated chip with an image
// loaded, analog inputs held at given ADC codes, the pin edges and the bytes
// that left the UART recorded, and a host end that paces frames onto the
// line. Header-only; shared by the routine and system tests.
#pragma once
#include <array>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"
#include "periph/blocks.h"
#include "support/chip_reports.h"

namespace nodetest {

using sim::Ticks;

inline constexpr double kVref = 2.5;  // internal reference

// The volts at which the ADC returns `code` (middle of the code's step).
inline double voltsForCode(unsigned code) { return (code + 0.5) * kVref / 4096.0; }

// Analog inputs held at fixed codes; every change of a port's pins is kept.
class CodeBoard : public sim::Board {
public:
    struct Edge {
        unsigned port;
        uint8_t before;  // levels before the change
        uint8_t levels;
        uint8_t outputs;
        Ticks t;
    };

    void setCode(unsigned channel, unsigned code) { volts_.at(channel) = voltsForCode(code); }
    double adcInput(unsigned channel, Ticks) override {
        return channel < volts_.size() ? volts_[channel] : 0.0;
    }
    void pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, Ticks t) override {
        uint8_t& last = levels_.at(port);
        edges.push_back({port, last, levels, outputs, t});
        last = levels;
    }
    // Times at which pin `bit` of `port` went to `level`.
    std::vector<Ticks> transitions(unsigned port, unsigned bit, bool level) const {
        std::vector<Ticks> out;
        for (const Edge& e : edges) {
            const bool was = (e.before >> bit) & 1;
            const bool now = (e.levels >> bit) & 1;
            if (e.port == port && was != now && now == level) out.push_back(e.t);
        }
        return out;
    }

    std::vector<Edge> edges;

private:
    std::array<double, 17> volts_{};
    std::array<uint8_t, 5> levels_{};
};

// Every value the firmware writes to one register, from the chip's trace.
class WriteLog {
public:
    WriteLog(sim::Chip& chip, std::vector<uint32_t> addrs) : addrs_(std::move(addrs)) {
        chip.setTrace([this](const std::string& line) {
            // "<ticks> W 0x<addr> 0x<value> pc ..."
            unsigned long long t;
            char kind;
            unsigned addr, value;
            if (std::sscanf(line.c_str(), "%llu %c %x %x", &t, &kind, &addr, &value) != 4 || kind != 'W')
                return;
            for (uint32_t a : addrs_)
                if (a == addr) writes.push_back({addr, value});
        });
    }
    struct Write {
        uint32_t addr, value;
    };
    // The last value written to `addr`, or ~0 when none since clear().
    uint32_t last(uint32_t addr) const {
        for (auto it = writes.rbegin(); it != writes.rend(); ++it)
            if (it->addr == addr) return it->value;
        return ~0u;
    }
    std::vector<Write> writes;

private:
    std::vector<uint32_t> addrs_;
};

// One chip with an image, its board and its transmitted bytes.
class Node {
public:
    explicit Node(const std::string& elf) {
        m.loadElf(elf);
        m.chip().setBoard(&board);
        m.chip().uart().onTx = [this](const sim::TxByte& b) { tx.push_back(b); };
    }

    // Powers on and runs start-up only: the core clock divider is set and
    // the data is in RAM, nothing else is configured. The core is then
    // parked in start-up's idle loop, so that time can pass around the
    // routines a test calls without main setting anything up.
    void startUp() {
        m.powerOn();
        const auto r = m.runToSymbol("main", sim::fromMillis(5));
        if (!r) throw sim::SimError("start-up did not reach main: " + r.report);
        m.setReg(sim::PC, m.symbol("__Return_from_Main"));
        // A run that ends at a code address leaves the core unable to stop
        // at its next event; one plain run clears that.
        m.runFor(sim::fromMicros(1));
    }

    std::string text() const {
        std::string s;
        for (const auto& b : tx) s.push_back(static_cast<char>(b.value));
        return s;
    }
    std::string take() {
        std::string s = text();
        tx.clear();
        return s;
    }

    // Lets the bytes still in the UART leave (the core idles meanwhile).
    void drain() {
        auto& uart = m.chip().uart();
        m.runUntil([&] { return uart.txIdle(); }, sim::fromMillis(5));
    }

    uint32_t reg(uint32_t addr) { return m.read32(addr); }
    void setReg(uint32_t addr, uint32_t v) { m.write32(addr, v); }

    // Writes `bytes` (a NUL is not added) at `addr` in RAM.
    void poke(uint32_t addr, const std::string& bytes) {
        m.writeBytes(addr, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }

    CodeBoard board;
    sim::Machine m;
    std::vector<sim::TxByte> tx;
    // Fails the test on a report of the chip that it does not allow.
    ReportGuard reports{m.chip()};
};

// RAM that neither image uses: between the end of the data and the stacks.
inline constexpr uint32_t kScratch = 0x11000;

// Seconds per byte on the wire, 10 bits of 8N1, as the bytes were timed.
inline double baudOf(const sim::TxByte& b) {
    return 10.0 / sim::toSeconds(b.end - b.start);
}

}  // namespace nodetest
