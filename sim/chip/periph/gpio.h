// GPIO ports 0 to 4. GPxDAT: bits 31:24 direction (1 = output), 23:16
// output levels, 7:0 the levels on the pins. GPxCON gives each pin a
// function (two bits per nibble; 0 = GPIO). A pin drives only while it is a
// GPIO output; the board sees every change of what the port drives.
#pragma once
#include <array>
#include <cstdint>
#include <functional>

#include "chip/peripheral.h"

namespace sim {

class Gpio : public Peripheral {
public:
    using Peripheral::Peripheral;
    const char* name() const override { return "gpio"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    static constexpr unsigned kPorts = 5;
    // The output register (GPxDAT bits 23:16), driven or not.
    uint8_t outputLevels(unsigned port) const { return ports_.at(port).out; }
    // Pins the port drives: direction bits of the pins in their GPIO function.
    uint8_t directions(unsigned port) const;
    // Level on pin n now: its own output when it drives, else the board's.
    bool pin(unsigned port, unsigned n);
    // Function of pin n (GPxCON bits 4n+1:4n).
    unsigned function(unsigned port, unsigned n) const;
    uint32_t con(unsigned port) const { return ports_.at(port).con; }
    // Called after every change of a port's driven levels or directions.
    std::vector<std::function<void(unsigned port)>> pinListeners;
    SIM_BLOCK_STATE(std::tie(ports_))

private:
    struct Port {
        uint32_t con = 0, par = 0;
        uint8_t dir = 0, out = 0;
        uint8_t seenOutputs = 0, seenLevels = 0;
    };
    void changed(unsigned port);
    uint8_t inputs(unsigned port);
    std::array<Port, kPorts> ports_{};
};

}  // namespace sim
