// Construction of the chip's blocks (kept apart so that the list of models
// lives in one place).
#include "chip/chip.h"
#include "chip/periph/blocks.h"

namespace sim {

Chip::Chip() { addBlocks(); }
Chip::~Chip() = default;

void Chip::addBlocks() {
    interrupts_ = std::make_unique<Interrupts>(*this);
    power_ = std::make_unique<Power>(*this);
    resetControl_ = std::make_unique<ResetControl>(*this);
    timer0_ = std::make_unique<Timer0>(*this);
    timer1_ = std::make_unique<Timer1>(*this);
    timer2_ = std::make_unique<WakeupTimer>(*this);
    watchdog_ = std::make_unique<Watchdog>(*this);
    reference_ = std::make_unique<Reference>(*this);
    adc_ = std::make_unique<Adc>(*this);
    dac_ = std::make_unique<Dac>(*this);
    uart_ = std::make_unique<Uart>(*this);
    gpio_ = std::make_unique<Gpio>(*this);
    flashEe_ = std::make_unique<FlashEe>(*this);
    for (Peripheral* p : std::initializer_list<Peripheral*>{
             interrupts_.get(), power_.get(), resetControl_.get(), timer0_.get(), timer1_.get(),
             timer2_.get(), watchdog_.get(), reference_.get(), adc_.get(), dac_.get(), uart_.get(),
             gpio_.get(), flashEe_.get()})
        attach(p);
    flash_.fill(0xFF);
}

}  // namespace sim
