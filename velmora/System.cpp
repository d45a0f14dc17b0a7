// Clock bring-up: the PLL is switched to the external 32.768 kHz crystal
// through one nap, ended by the wake-up timer. Then the ports, Timer1 and
// the DACs get their fixed set-up.
#include "System.h"

#include <stdint.h>

#include "aduc702x.h"
#include "delay.h"

namespace {
constexpr uint32_t kNapDivider7 = 0x27;   // nap mode, core clock divider 7
constexpr uint32_t kActiveDivider3 = 3;   // active mode, 41.78 MHz / 8
constexpr uint32_t kWakeupStart = 0x480;  // wake-up timer on, 32.768 kHz, periodic
constexpr uint32_t kPllExternalXtal = 1;
constexpr uint32_t kTimer1FreeRun = 0x180;  // up-count of the undivided core clock
constexpr uint32_t kDacOnToVref = 0x12;     // DAC on, 0 V .. VREF
constexpr uint32_t kPort0 = 0x80000000;     // P0.7 output, low: bus driver off
constexpr uint32_t kPort1 = 0x04000000;     // P1.2 output, low: high voltage off

void keyed_powcon(uint32_t value) {
    POWKEY1 = POWKEY1_VAL;
    POWCON = value;
    POWKEY2 = POWKEY2_VAL;
}
}  // namespace

extern "C" {

void IRQ_Handler(void) {
    if ((IRQSTA & INT_TIMER2) == 0) return;
    T2CON = 0;
    T2CLRI = 0;
    keyed_powcon(kActiveDivider3);
}

void InitController(void) {
    IRQ = IRQ_Handler;
    const int32_t t2val_old = static_cast<int32_t>(T2VAL);
    T2LD = 5;
    T2CON = kWakeupStart;
    // Wait until the timer has visibly started and counted down to 3, with
    // its interrupt enabled before the nap that only it can end. The body
    // runs at least once, so the enable is never skipped.
    do {
        IRQEN = INT_TIMER2;
    } while (static_cast<int32_t>(T2VAL) == t2val_old || static_cast<uint32_t>(T2VAL) > 3);

    PLLKEY1 = PLLKEY1_VAL;
    PLLCON = kPllExternalXtal;
    PLLKEY2 = PLLKEY2_VAL;
    keyed_powcon(kNapDivider7);  // returns after IRQ_Handler has ended the nap

    GP0DAT = kPort0;
    GP1DAT = kPort1;
    T1CON = kTimer1FreeRun;
    DAC0CON = kDacOnToVref;
    DAC1CON = static_cast<uint32_t>(DAC0CON);
}

// 5.2224 MHz core clock: 5 Timer1 counts per unit.
void delay(uint32_t duration) { delay_ticks<delay_factor(3)>(duration); }

}  // extern "C"
