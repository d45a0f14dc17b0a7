// Figures of the board support and of velmora's regulation tick, measured in
// the simulator on the real images: instructions per tick for each slot,
// byte time and bit rate on each node's wire, and the counts delay(10000)
// waits. Printed, never judged.
#include <cstdio>
#include <string>

#include "../tests/support/node.h"
#include "aduc702x.h"

using namespace nodetest;

namespace {

void tickFigures() {
    Node n(VELMORA_ELF);
    n.startUp();
    n.setReg(ADCCON.addr, 0x20);
    n.setReg(REFCON.addr, 1);
    n.setReg(ADCCON.addr, 0x623);
    n.m.runFor(sim::fromMillis(1));
    n.board.setCode(0, 2210);
    n.m.writeSym("HV_Setting", 2200);
    n.m.writeSym("integral", 50000);
    auto tick = [&] {
        const uint64_t i0 = n.m.instructions();
        const sim::Ticks t0 = n.m.now();
        n.m.call("Timer0_IRQ_Handler");
        return std::pair{n.m.instructions() - i0, sim::toMicros(n.m.now() - t0)};
    };
    std::printf("%-30s %12s %10s\n", "velmora tick, slot", "instructions", "us");
    for (bool on : {false, true}) {
        n.setReg(GP1DAT.addr, on ? 0x04040000 : 0x04000000);
        for (const char* slot : {"1 (ADC1)", "2 (ADC2)", "3 (ADC3)", "16 (temperature)", "0 (ADC0)"}) {
            const auto [instr, us] = tick();
            std::printf("%-30s %12llu %10.2f\n",
                        (std::string(slot) + (std::string(slot)[0] == '0' ? (on ? ", regulating" : ", output off")
                                                                           : "")).c_str(),
                        static_cast<unsigned long long>(instr), us);
        }
    }
}

void lineFigures(const char* name, const char* elf, bool velmora) {
    Node n(elf);
    n.startUp();
    if (velmora) n.setReg(GP0DAT.addr, 0x80000000);
    n.m.call("InitSerial");
    n.m.call("putchar", {'U'});
    n.drain();
    const auto& b = n.tx.at(0);
    std::printf("%-8s byte %9.3f us on the wire, %9.1f Bd measured, %9.1f Bd set\n", name,
                sim::toMicros(b.end - b.start), baudOf(b), b.baud);
    if (velmora) {
        const auto on = n.board.transitions(0, 7, true).at(0);
        const auto off = n.board.transitions(0, 7, false).at(0);
        std::printf("%-8s driver enable P0.7 on %.2f us before the start bit, off %.2f us after the stop bit\n",
                    name, sim::toMicros(b.start - on), sim::toMicros(off - b.end));
    }
}

void delayFigures(const char* name, const char* elf) {
    Node n(elf);
    n.startUp();
    n.setReg(T1CON.addr, 0x180);
    const uint32_t before = n.reg(T1VAL.addr);
    n.m.call("delay", {10000});
    const uint32_t counts = n.reg(T1VAL.addr) - before;
    std::printf("%-8s delay(10000): %u Timer1 counts call to return, %.3f ms\n", name, counts,
                counts * 1e3 * (1u << n.m.chip().coreDivider()) / sim::kTicksPerSecond);
}

}  // namespace

int main() {
    tickFigures();
    lineFigures("velmora", VELMORA_ELF, true);
    lineFigures("tavlo", TAVLO_ELF, false);
    delayFigures("velmora", VELMORA_ELF);
    delayFigures("tavlo", TAVLO_ELF);
}
