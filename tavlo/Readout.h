// Channel scan of the readout unit: 64 channels behind external analog
// multiplexers, an X and a Y signal each, averaged over 2^Averaging passes.
#pragma once
#include <stdint.h>

// The scan counts its passes in 16 bits and sums 12-bit samples in 32 bits:
// 2^15 passes is the most the counter reaches, and 2^15 x 4095 still fits.
inline constexpr uint32_t MaxAveraging = 15;
static_assert((1u << MaxAveraging) <= 0xFFFFu, "pass counter is 16 bits");
static_assert((uint64_t{1} << MaxAveraging) * 4095u <= 0xFFFFFFFFu, "sums are 32 bits");

inline constexpr unsigned NumChannels = 64;

extern "C" {
extern uint32_t xs[NumChannels];  // X means per channel (running sums during a scan)
extern uint32_t ys[NumChannels];  // Y means per channel
extern uint32_t Averaging;        // scan runs 2^Averaging passes; 0..MaxAveraging
extern uint32_t ChDel;            // X settling time in delay units; Y gets ChDel / 8
extern const uint8_t AddrTable[NumChannels];

void InitADC(void);
void ScanXY(void);
void DumpXY(void);
uint32_t ReadADC(uint32_t adcnum);
void SelectADC(uint32_t adcnum);
uint32_t ADC_Data(void);
void delay(uint32_t duration);
}
