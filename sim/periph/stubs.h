// Placeholders for the blocks not modelled yet: they answer no register.
#pragma once
#include "../peripheral.h"

namespace sim {
#define SIM_STUB_BLOCK(Name, label)                                              \
    class Name : public Peripheral {                                            \
    public:                                                                     \
        using Peripheral::Peripheral;                                           \
        const char* name() const override { return label; }                     \
        std::vector<uint32_t> registers() const override { return {}; }         \
        void reset(ResetCause) override {}                                      \
        uint32_t read(uint32_t) override { return 0; }                          \
        void write(uint32_t, uint32_t) override {}                              \
    };
SIM_STUB_BLOCK(Timer0, "timer0")
SIM_STUB_BLOCK(Timer1, "timer1")
SIM_STUB_BLOCK(WakeupTimer, "timer2")
SIM_STUB_BLOCK(Watchdog, "watchdog")
SIM_STUB_BLOCK(Reference, "reference")
SIM_STUB_BLOCK(Adc, "adc")
SIM_STUB_BLOCK(Dac, "dac")
SIM_STUB_BLOCK(Uart, "uart")
SIM_STUB_BLOCK(Gpio, "gpio")
SIM_STUB_BLOCK(FlashEe, "flash")
#undef SIM_STUB_BLOCK
}  // namespace sim
