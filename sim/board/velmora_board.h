// The circuits around a velmora node's chip: the high-voltage supply (control
// input DAC0 + DAC1, enable on P1.2, output divided into ADC0), the auxiliary
// inputs ADC1..ADC3, the die temperature seen by the on-chip sensor, and the
// bus transceiver whose driver enable is P0.7.
//
// Use: construct one per node, hand it to the chip with chip.setBoard(&board)
// before power-on. Every parameter can be read and set by name (the names,
// units and defaults are in paramTable(); `aducsim --list-params` prints it).
//
// Temperature sensor: the ADuC702x datasheet gives about 780 mV at 25 C and
// -1.3 mV/C (typical); that is the default model here, linear over the range.
// With it, 25 C reads as ADC code 1278.
//
// Enable inputs (P1.2, P0.7) count as high only while the pin is an output
// driving high; an input pin floats and the board's pull-downs hold it low.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"
#include "core/machine.h"
#include "board/bus.h"
#include "board/chip_node.h"
#include "board/supply.h"

namespace sim {

struct VelmoraParams {
    SupplyParams supply;
    double auxVolts[3] = {0.5, 1.0, 1.5};  // ADC1..ADC3
    double chipTempC = 25;                  // die temperature
    double sensorVolts25 = 0.780;           // temperature sensor output at 25 C
    double sensorMvPerC = -1.3;             // its slope
    // Bus transceiver: 0 receive enable tied to the driver enable (P0.7), so
    // the node does not hear itself; 1 receiver always on.
    double rxAlwaysOn = 0;
};

// One named parameter: what `--param NAME=VALUE` sets.
struct ParamInfo {
    const char* name;
    const char* unit;
    const char* description;
    double (*get)(const VelmoraParams&);
    void (*set)(VelmoraParams&, double);
    double defaultValue() const { return get(VelmoraParams{}); }
};

class VelmoraBoard : public Board, public DriverEnable {
public:
    // ADC channel numbers (ADCCP).
    static constexpr unsigned kFeedbackChannel = 0;
    static constexpr unsigned kTempChannel = 16;
    // Pins: port, bit.
    static constexpr unsigned kEnablePort = 1, kEnableBit = 2;   // P1.2 output enable
    static constexpr unsigned kDriverPort = 0, kDriverBit = 7;   // P0.7 bus driver enable

    explicit VelmoraBoard(const VelmoraParams& p = {});

    // ---- Parameters ----
    static const std::vector<ParamInfo>& paramTable();
    // One line per parameter: name, unit, default, description.
    static std::string describeParams();
    const VelmoraParams& params() const { return p_; }
    // Changes take effect at `now` (pass the chip's time when the node runs).
    void setParams(const VelmoraParams& p, Ticks now = 0);
    // False for an unknown name.
    bool setParam(std::string_view name, double value, Ticks now = 0);
    std::optional<double> param(std::string_view name) const;
    // "NAME=VALUE" as given on a command line; returns an error text, empty on success.
    std::string applyParam(std::string_view assignment, Ticks now = 0);

    // ---- Circuit state ----
    HvSupply& supply() { return supply_; }
    const HvSupply& supply() const { return supply_; }
    bool outputEnabled() const { return supply_.enabled(); }
    double outputVolts(Ticks t) const { return supply_.outputVolts(t); }
    // driverEnabled() and onDriverEnable (from DriverEnable) follow P0.7.
    bool receiverAlwaysOn() const override { return p_.rxAlwaysOn != 0; }

    // ---- Hooks the chip calls ----
    double adcInput(unsigned channel, Ticks t) override;
    void pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, Ticks t) override;
    void dacChanged(unsigned dac, double volts, Ticks t) override;

private:
    VelmoraParams p_;
    HvSupply supply_;
};

// One whole velmora node: board, machine and bus station, wired together.
//
//     sim::VelmoraNode node;                    // default board parameters
//     node.machine.loadElf(VELMORA_ELF);
//     node.machine.powerOn();
//     sim::Bus bus;  bus.addNode(node.station);
//     bus.hostSend("H1\r");  bus.runUntilReply(sim::fromMillis(100));
//     node.board.outputVolts(node.machine.now());   // what a meter would read
struct VelmoraNode {
    explicit VelmoraNode(const VelmoraParams& p = {}) : board(p), station(fitBoard(machine, board), board) {}
    VelmoraBoard board;
    Machine machine;
    ChipNode station;
};

}  // namespace sim
