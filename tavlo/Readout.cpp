// Channel scan: addresses each of the 64 channels on the multiplexer lines,
// lets the signal settle, converts X on ADC1 and Y on ADC2, and averages.
#include "Readout.h"

#include "aduc702x.h"
#include "delay.h"
#include "rprintf.h"

// Routines that nothing in the image calls (or that the compiler may inline
// everywhere) are kept anyway: they are part of the module's interface.
namespace {

// ADCCON values: powered, ADC clock / 2, 8-clock acquisition, single-ended,
// single software conversion; with bit 7 the conversion starts.
constexpr uint32_t AdcPowerUp = 0x20;
constexpr uint32_t AdcIdle = 0x623;
constexpr uint32_t AdcStart = 0x6A3;
constexpr uint32_t AdcX = 1;  // ADCCP of the X signal (ADC1)
constexpr uint32_t AdcY = 2;  // ADCCP of the Y signal (ADC2)

constexpr uint32_t ScanIndicator = 0x40000;  // GP4DAT bit 18: P4.2 level
constexpr uint32_t MuxLinesMask = 0xFF0FFFFF;  // keeps all but levels 7:4

}  // namespace

extern "C" {

constinit uint32_t xs[NumChannels];
constinit uint32_t ys[NumChannels];
constinit uint32_t Averaging;
constinit uint32_t ChDel;

// One byte per channel: bits 3:0 the input number (P0.4..P0.7), bits 7:4 the
// one-of-four multiplexer select (P1.4..P1.7), as the board is wired.
constexpr uint8_t AddrTable[NumChannels] = {
    0x1D, 0x2F, 0x1C, 0x2E, 0x19, 0x2B, 0x18, 0x2A,
    0x15, 0x27, 0x14, 0x26, 0x11, 0x23, 0x10, 0x22,
    0x12, 0x20, 0x13, 0x21, 0x16, 0x24, 0x17, 0x25,
    0x1A, 0x28, 0x1B, 0x29, 0x1E, 0x2C, 0x1F, 0x2D,
    0x4D, 0x8F, 0x4C, 0x8E, 0x49, 0x8B, 0x48, 0x8A,
    0x45, 0x87, 0x44, 0x86, 0x41, 0x83, 0x40, 0x82,
    0x42, 0x80, 0x43, 0x81, 0x46, 0x84, 0x47, 0x85,
    0x4A, 0x88, 0x4B, 0x89, 0x4E, 0x8C, 0x4F, 0x8D,
};

void InitADC(void) {
    ADCCON = AdcPowerUp;
    REFCON = 1;  // internal 2.5 V reference on the VREF pin
    ADCCON = AdcIdle;
}

void SelectADC(uint32_t adcnum) { ADCCP = adcnum; }

uint32_t ADC_Data(void) {
    ADCCON = AdcStart;
    while (ADCSTA == 0) {
    }
    return ADCDAT >> 16;
}

uint32_t ReadADC(uint32_t adcnum) {
    SelectADC(adcnum + 1);
    return ADC_Data();
}

void ScanXY(void) {
    for (unsigned ch = 0; ch < NumChannels; ++ch) {
        xs[ch] = 0;
        ys[ch] = 0;
    }
    // High at rest, so the toggle takes it low for the scan.
    GP4DAT ^= ScanIndicator;

    const uint32_t passes = 1u << Averaging;
    for (uint16_t pass = 0; pass < passes; ++pass) {
        for (unsigned ch = 0; ch < NumChannels; ++ch) {
            const uint32_t b = AddrTable[ch];
            // Input number before the select, so the newly selected
            // multiplexer never shows a stale input.
            GP0DAT = (GP0DAT & MuxLinesMask) | ((b & 0x0F) << 20);
            GP1DAT = (GP1DAT & MuxLinesMask) | ((b & 0xF0) << 16);
            SelectADC(AdcX);
            delay(ChDel);
            xs[ch] += ADC_Data();
            SelectADC(AdcY);
            delay(ChDel >> 3);
            ys[ch] += ADC_Data();
        }
    }

    GP4DAT |= ScanIndicator;
    for (unsigned ch = 0; ch < NumChannels; ++ch) {
        xs[ch] >>= Averaging;
        ys[ch] >>= Averaging;
    }
}

void DumpXY(void) {
    for (unsigned ch = 0; ch < NumChannels; ++ch)
        rprintf("Ch=% 2u % 4u % 4u\n", ch, xs[ch], ys[ch]);
}

// Timer1 runs from the undivided 41.78 MHz core clock: 41 counts per unit.
void delay(uint32_t duration) { delay_ticks<41>(duration); }

}  // extern "C"
