// ADuC702x memory-mapped registers: the one place that names them.
//
// Every register is one aligned 32-bit word. On the chip each `Mmr` object
// reads and writes its address with a single volatile `ldr`/`str`; on the
// host (the board simulator) the same objects only carry the addresses.
#pragma once

#include <stdint.h>

struct Mmr {
    uint32_t addr;

#if defined(__arm__)
    volatile uint32_t& ref() const { return *reinterpret_cast<volatile uint32_t*>(addr); }
    operator uint32_t() const { return ref(); }
    void operator=(uint32_t v) const { ref() = v; }
    void operator|=(uint32_t v) const { ref() = ref() | v; }
    void operator&=(uint32_t v) const { ref() = ref() & v; }
    void operator^=(uint32_t v) const { ref() = ref() ^ v; }
#endif
    Mmr& operator=(const Mmr&) = delete;
};

// Register blocks.
inline constexpr uint32_t MMR_BASE_0 = 0xFFFF0000;  // interrupts .. UART
inline constexpr uint32_t MMR_BASE_1 = 0xFFFFF000;  // GPIO, flash/EE
inline constexpr uint32_t MMR_BLOCK_SIZE = 0x1000;

// Interrupt controller
inline constexpr Mmr IRQSTA{0xFFFF0000};
inline constexpr Mmr IRQSIG{0xFFFF0004};
inline constexpr Mmr IRQEN{0xFFFF0008};
inline constexpr Mmr IRQCLR{0xFFFF000C};
inline constexpr Mmr SWICFG{0xFFFF0010};
inline constexpr Mmr FIQSTA{0xFFFF0100};
inline constexpr Mmr FIQSIG{0xFFFF0104};
inline constexpr Mmr FIQEN{0xFFFF0108};
inline constexpr Mmr FIQCLR{0xFFFF010C};

// Interrupt source bits (IRQSTA/IRQEN/FIQSTA/FIQEN).
inline constexpr uint32_t INT_SWI = 1u << 1;
inline constexpr uint32_t INT_TIMER0 = 1u << 2;
inline constexpr uint32_t INT_TIMER1 = 1u << 3;
inline constexpr uint32_t INT_TIMER2 = 1u << 4;  // wake-up timer
inline constexpr uint32_t INT_TIMER3 = 1u << 5;  // watchdog timer
inline constexpr uint32_t INT_FLASH = 1u << 6;
inline constexpr uint32_t INT_ADC = 1u << 7;
inline constexpr uint32_t INT_PLL_LOCK = 1u << 8;
inline constexpr uint32_t INT_UART = 1u << 14;

// Reset
inline constexpr Mmr RSTSTA{0xFFFF0230};
inline constexpr Mmr RSTCLR{0xFFFF0234};
inline constexpr uint32_t RST_POWER_ON = 1u << 0;
inline constexpr uint32_t RST_WATCHDOG = 1u << 1;
inline constexpr uint32_t RST_SOFTWARE = 1u << 2;

// Timer0: core clock / 16 in the configuration used
inline constexpr Mmr T0LD{0xFFFF0300};
inline constexpr Mmr T0VAL{0xFFFF0304};
inline constexpr Mmr T0CON{0xFFFF0308};
inline constexpr Mmr T0CLRI{0xFFFF030C};
// Timer1: free-running 32-bit count
inline constexpr Mmr T1LD{0xFFFF0320};
inline constexpr Mmr T1VAL{0xFFFF0324};
inline constexpr Mmr T1CON{0xFFFF0328};
inline constexpr Mmr T1CLRI{0xFFFF032C};
inline constexpr Mmr T1CAP{0xFFFF0330};
// Timer2: wake-up timer
inline constexpr Mmr T2LD{0xFFFF0340};
inline constexpr Mmr T2VAL{0xFFFF0344};
inline constexpr Mmr T2CON{0xFFFF0348};
inline constexpr Mmr T2CLRI{0xFFFF034C};
// Timer3: watchdog
inline constexpr Mmr T3LD{0xFFFF0360};
inline constexpr Mmr T3VAL{0xFFFF0364};
inline constexpr Mmr T3CON{0xFFFF0368};
inline constexpr Mmr T3CLRI{0xFFFF036C};

// Power control and PLL (keyed writes)
inline constexpr uint32_t POWKEY1_OFFSET = 0x404;
inline constexpr uint32_t POWCON_OFFSET = 0x408;
inline constexpr uint32_t POWKEY2_OFFSET = 0x40C;
inline constexpr Mmr POWKEY1{MMR_BASE_0 + POWKEY1_OFFSET};
inline constexpr Mmr POWCON{MMR_BASE_0 + POWCON_OFFSET};
inline constexpr Mmr POWKEY2{MMR_BASE_0 + POWKEY2_OFFSET};
inline constexpr Mmr PLLKEY1{0xFFFF0410};
inline constexpr Mmr PLLCON{0xFFFF0414};
inline constexpr Mmr PLLKEY2{0xFFFF0418};
inline constexpr uint32_t POWKEY1_VAL = 0x01;
inline constexpr uint32_t POWKEY2_VAL = 0xF4;
inline constexpr uint32_t PLLKEY1_VAL = 0xAA;
inline constexpr uint32_t PLLKEY2_VAL = 0x55;

// Reference
inline constexpr Mmr REFCON{0xFFFF048C};

// ADC
inline constexpr Mmr ADCCON{0xFFFF0500};
inline constexpr Mmr ADCCP{0xFFFF0504};
inline constexpr Mmr ADCCN{0xFFFF0508};
inline constexpr Mmr ADCSTA{0xFFFF050C};
inline constexpr Mmr ADCDAT{0xFFFF0510};
inline constexpr Mmr ADCRST{0xFFFF0514};
inline constexpr uint32_t ADCCP_TEMPERATURE = 16;  // on-chip temperature sensor

// DACs
inline constexpr Mmr DAC0CON{0xFFFF0600};
inline constexpr Mmr DAC0DAT{0xFFFF0604};
inline constexpr Mmr DAC1CON{0xFFFF0608};
inline constexpr Mmr DAC1DAT{0xFFFF060C};

// UART (COMTX, COMRX and COMDIV0 share one address)
inline constexpr Mmr COMTX{0xFFFF0700};
inline constexpr Mmr COMRX{0xFFFF0700};
inline constexpr Mmr COMDIV0{0xFFFF0700};
inline constexpr Mmr COMIEN0{0xFFFF0704};
inline constexpr Mmr COMDIV1{0xFFFF0704};
inline constexpr Mmr COMIID0{0xFFFF0708};
inline constexpr Mmr COMCON0{0xFFFF070C};
inline constexpr Mmr COMCON1{0xFFFF0710};
inline constexpr Mmr COMSTA0{0xFFFF0714};
inline constexpr Mmr COMSTA1{0xFFFF0718};
inline constexpr Mmr COMSCR{0xFFFF071C};
inline constexpr Mmr COMDIV2{0xFFFF072C};
inline constexpr uint32_t COMSTA0_DR = 1u << 0;    // receive data ready
inline constexpr uint32_t COMSTA0_OE = 1u << 1;    // overrun
inline constexpr uint32_t COMSTA0_PE = 1u << 2;    // parity error
inline constexpr uint32_t COMSTA0_FE = 1u << 3;    // framing error
inline constexpr uint32_t COMSTA0_BI = 1u << 4;    // break
inline constexpr uint32_t COMSTA0_THRE = 1u << 5;  // transmit holding register empty
inline constexpr uint32_t COMSTA0_TEMT = 1u << 6;  // transmitter completely empty
inline constexpr uint32_t COMCON0_DLAB = 1u << 7;  // divisor latch access

// GPIO: bits 31:24 direction, 23:16 output level, 7:0 input level
inline constexpr Mmr GP0CON{0xFFFFF400};
inline constexpr Mmr GP1CON{0xFFFFF404};
inline constexpr Mmr GP2CON{0xFFFFF408};
inline constexpr Mmr GP3CON{0xFFFFF40C};
inline constexpr Mmr GP4CON{0xFFFFF410};
inline constexpr Mmr GP0DAT{0xFFFFF420};
inline constexpr Mmr GP0SET{0xFFFFF424};
inline constexpr Mmr GP0CLR{0xFFFFF428};
inline constexpr Mmr GP0PAR{0xFFFFF42C};
inline constexpr Mmr GP1DAT{0xFFFFF430};
inline constexpr Mmr GP1SET{0xFFFFF434};
inline constexpr Mmr GP1CLR{0xFFFFF438};
inline constexpr Mmr GP1PAR{0xFFFFF43C};
inline constexpr Mmr GP2DAT{0xFFFFF440};
inline constexpr Mmr GP2SET{0xFFFFF444};
inline constexpr Mmr GP2CLR{0xFFFFF448};
inline constexpr Mmr GP3DAT{0xFFFFF450};
inline constexpr Mmr GP3SET{0xFFFFF454};
inline constexpr Mmr GP3CLR{0xFFFFF458};
inline constexpr Mmr GP3PAR{0xFFFFF45C};
inline constexpr Mmr GP4DAT{0xFFFFF460};
inline constexpr Mmr GP4SET{0xFFFFF464};
inline constexpr Mmr GP4CLR{0xFFFFF468};

// Flash/EE controller
inline constexpr Mmr FEESTA{0xFFFFF800};
inline constexpr Mmr FEEMOD{0xFFFFF804};
inline constexpr Mmr FEECON{0xFFFFF808};
inline constexpr Mmr FEEDAT{0xFFFFF80C};
inline constexpr Mmr FEEADR{0xFFFFF810};
inline constexpr Mmr FEESIGN{0xFFFFF818};
inline constexpr Mmr FEEPRO{0xFFFFF81C};
inline constexpr Mmr FEEHIDE{0xFFFFF820};
inline constexpr uint32_t FEESTA_PASS = 1u << 0;
inline constexpr uint32_t FEESTA_FAIL = 1u << 1;
inline constexpr uint32_t FEESTA_BUSY = 1u << 2;
inline constexpr uint32_t FEECON_READ = 0x01;
inline constexpr uint32_t FEECON_WRITE = 0x02;
inline constexpr uint32_t FEECON_ERASE_PAGE = 0x05;
inline constexpr uint32_t FEEMOD_EW = 0x08;  // erase/write enable

// Memory map
inline constexpr uint32_t FLASH_BASE = 0x00080000;
inline constexpr uint32_t FLASH_SIZE = 62 * 1024;
inline constexpr uint32_t FLASH_PAGE_SIZE = 512;
inline constexpr uint32_t SRAM_BASE = 0x00010000;
inline constexpr uint32_t SRAM_SIZE = 8 * 1024;

// Clock: the PLL gives 41.7792 MHz (1275 x 32.768 kHz); the core runs at
// that divided by 2^CD (POWCON bits 2:0).
inline constexpr uint32_t PLL_HZ = 41'779'200;
inline constexpr uint32_t XTAL_HZ = 32'768;

#if defined(__arm__)
// Exception handler slots: routines without arguments or result, zero
// (empty) after reset. The dispatchers in startup/irq call them.
extern "C" {
typedef void (*Handler)(void);
extern Handler IRQ;
extern Handler FIQ;
extern Handler SWI;
extern Handler UNDEF;
extern Handler PABORT;
extern Handler DABORT;
}
#endif
