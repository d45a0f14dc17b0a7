// What lies around the chip: the circuits the firmware drives and senses.
// The chip models call these hooks; a board model overrides what it wires.
#pragma once
#include <cstdint>

#include "core/time.h"

namespace sim {

class Board {
public:
    virtual ~Board() = default;
    // Voltage at ADC input `channel` (ADCCP numbering: 0..15 pins, 16 the
    // temperature sensor, whose volts the board supplies too) when sampled at t.
    virtual double adcInput(unsigned channel, Ticks t) { return 0.0; }
    // Output levels of a GPIO port changed. Bit n of `levels` is pin n's
    // output level, bit n of `outputs` whether pin n drives (direction bit).
    virtual void pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, Ticks t) {}
    // Levels the board drives onto a port's pins (read as GPxDAT bits 7:0).
    virtual uint8_t pinInputs(unsigned port, Ticks t) { return 0; }
    // A DAC output changed (volts at its pin).
    virtual void dacChanged(unsigned dac, double volts, Ticks t) {}
};

}  // namespace sim
