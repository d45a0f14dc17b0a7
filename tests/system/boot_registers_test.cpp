// The register writes of a whole boot, in order, as each image's start-up
// and boot sequence give them: recorded from the chip model's trace from
// power-on to the first poll of the command loop. Left open, and so not
// checked: how often the wake-up loop enables the Timer2 interrupt (at least
// once), the input bits a read-modify-write of a port carries back, and what
// the regulation tick writes once it runs (ADC conversions).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "aduc702x.h"
#include "support/node.h"

using namespace nodetest;

namespace {

struct Expected {
    const char* name;
    uint32_t addr, value;
    uint32_t mask = ~0u;  // bits compared
};

#define W(reg, value) Expected{#reg, reg.addr, value}

// Writes to the expected registers from power-on until `loopSymbol`, with
// repeats of the wake-up loop's IRQEN write folded into one and the tick's
// conversion starts left out.
std::vector<WriteLog::Write> bootWrites(const char* elf, const std::vector<Expected>& expected,
                                        const char* loopSymbol) {
    Node n(elf);
    std::vector<uint32_t> addrs;
    for (const Expected& e : expected)
        if (std::find(addrs.begin(), addrs.end(), e.addr) == addrs.end()) addrs.push_back(e.addr);
    WriteLog log(n.m.chip(), addrs);
    n.m.powerOn();
    const auto r = n.m.runToSymbol(loopSymbol, sim::fromMillis(200));
    if (!r) ADD_FAILURE() << "boot did not reach " << loopSymbol << ": " << r.report;
    std::vector<WriteLog::Write> out;
    for (const auto& w : log.writes) {
        if (w.addr == ADCCON.addr && w.value == 0x6A3) continue;  // a tick's conversion
        if (w.addr == IRQEN.addr && w.value == 0x10 && !out.empty() && out.back().addr == IRQEN.addr &&
            out.back().value == 0x10)
            continue;
        out.push_back(w);
    }
    return out;
}

void expectSequence(const std::vector<WriteLog::Write>& got, const std::vector<Expected>& want) {
    ASSERT_GE(got.size(), want.size()) << "fewer register writes than the boot sequence has";
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "write " << i << ", expected " << want[i].name << " = 0x" << std::hex
                                        << want[i].value);
        EXPECT_EQ(got[i].addr, want[i].addr) << "at 0x" << std::hex << got[i].addr;
        EXPECT_EQ(got[i].value & want[i].mask, want[i].value & want[i].mask);
        if (got[i].addr != want[i].addr) return;  // out of step: the rest says nothing new
    }
}

}  // namespace

TEST(BootRegisters, Velmora) {
    const std::vector<Expected> handler = {
        // The Timer2 interrupt that ends the nap stops the timer and sets
        // divider 3 again.
        W(T2CON, 0), W(T2CLRI, 0), W(POWKEY1, 1), W(POWCON, 3), W(POWKEY2, 0xF4),
    };
    const std::vector<Expected> want = {
        // Start-up: core clock divider 3 (keyed write).
        W(POWKEY1, 1), W(POWCON, 3), W(POWKEY2, 0xF4),
        // Clock bring-up: wake-up timer, PLL on the crystal, nap.
        W(T2LD, 5), W(T2CON, 0x480), W(IRQEN, 0x10),
        W(PLLKEY1, 0xAA), W(PLLCON, 1), W(PLLKEY2, 0x55),
        W(POWKEY1, 1), W(POWCON, 0x27), W(POWKEY2, 0xF4),
        // Ports (driver and output enable low), Timer1, the DACs.
        W(GP0DAT, 0x80000000), W(GP1DAT, 0x04000000), W(T1CON, 0x180), W(DAC0CON, 0x12), W(DAC1CON, 0x12),
        // ADC and reference.
        W(ADCCON, 0x20), W(REFCON, 1), W(ADCCON, 0x623),
        // UART at 9600 Bd.
        W(GP1CON, 0x11), W(COMCON0, 0x80), W(COMDIV0, 17), W(COMDIV1, 0), W(COMCON0, 3),
        // Watchdog, regulation tick, then the watchdog refreshed twice.
        W(T3LD, 0x1000), W(T3CON, 0xE0), W(T0LD, 50), W(T0CON, 0xC4), W(IRQEN, 4),
        W(T3CLRI, 0xFF), W(T3CLRI, 0xFF),
    };
    std::vector<Expected> all = want;
    all.insert(all.end(), handler.begin(), handler.end());
    std::vector<WriteLog::Write> got = bootWrites(VELMORA_ELF, all, "received");

    // The handler's writes, together, after the nap began and before the ADC
    // set-up. Where among the port, timer and DAC writes they fall is not
    // checked: the simulator takes the wake-up interrupt a few instructions
    // after the nap ends rather than at once.
    const size_t napped = 12, adc = 17;  // indexes in `want`
    size_t at = napped;
    while (at < got.size() && !(got[at].addr == T2CON.addr && got[at].value == 0)) ++at;
    ASSERT_LE(at, adc) << "no wake-up interrupt between the nap and the ADC set-up";
    expectSequence(std::vector<WriteLog::Write>(got.begin() + long(at), got.end()), handler);
    got.erase(got.begin() + long(at), got.begin() + long(at + handler.size()));
    expectSequence(got, want);
}

TEST(BootRegisters, Tavlo) {
    std::vector<Expected> want = {
        // Start-up: core clock divider 0.
        W(POWKEY1, 1), W(POWCON, 0), W(POWKEY2, 0xF4),
        // Ports: input-number lines, multiplexer select, the scan indicator
        // low then high (read-modify-write), Timer1.
        W(GP0DAT, 0xF0000000), W(GP1DAT, 0xF0000000), W(GP4DAT, 0x04000000), W(GP4DAT, 0x04040000),
        W(T1CON, 0x180),
        // ADC and reference.
        W(ADCCON, 0x20), W(REFCON, 1), W(ADCCON, 0x623),
        // UART at 115200 Bd with the fractional divider.
        W(GP1CON, 0x11), W(COMCON0, 0x80), W(COMDIV0, 8), W(COMDIV1, 0), W(COMDIV2, 0x8B55), W(COMCON0, 3),
    };
    want[6].mask = 0xFFFFFF00;  // the input levels read back with the port
    expectSequence(bootWrites(TAVLO_ELF, want, "getchar"), want);
}
