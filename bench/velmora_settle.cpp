// Closed-loop figures of velmora on the default supply model: how long a
// 1500 V step takes to settle within 2 codes of its set-point, and how long
// the command loop stays away from its top (the watchdog margin) meanwhile.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "../tests/support/bus_velmora.h"

int main() {
    using namespace sim;
    bus_velmora::Rig rig(1);
    auto& node = rig.node(1);
    Machine& m = node.machine;
    const uint32_t okAddr = m.symbol("ProgramOk");

    // The watchdog margin: the longest stretch between two passes of the
    // loop's top, seen as ProgramOk going from 0 back to 1.
    Ticks lastTop = m.now(), longest = 0;
    rig.bus.runFor(fromMillis(50));
    auto watch = [&] {
        if (m.read32(okAddr) == 1) {
            longest = std::max(longest, m.now() - lastTop);
            lastTop = m.now();
        }
    };

    rig.bus.hostSend("V1 1500\r");
    rig.bus.runFor(fromMillis(20));
    rig.bus.hostSend("N1\r");
    rig.bus.runFor(fromMillis(5));
    const Ticks start = rig.bus.now();
    const int setPoint = int(m.readSym("HV_Setting"));
    Ticks settled = 0;
    Ticks inBandSince = 0;
    bool inBand = false;
    while (rig.bus.now() - start < fromSeconds(2)) {
        rig.bus.runFor(fromMicros(500));
        watch();
        int measured = int(m.readSym("HV_Measured"));
        bool ok = std::abs(measured - setPoint) <= 2;
        if (ok && !inBand) inBandSince = rig.bus.now();
        inBand = ok;
        // Settled: within 2 codes and staying there for 200 ms.
        if (inBand && rig.bus.now() - inBandSince >= fromMillis(200)) {
            settled = inBandSince - start;
            break;
        }
    }
    std::printf("set-point for 1500 V: %d codes (calibration 0.822 V/code)\n", setPoint);
    if (settled)
        std::printf("1500 V step from off: within 2 codes after %.1f ms of virtual time (and held 200 ms)\n",
                    toMillis(settled));
    else
        std::printf("1500 V step from off: not settled within 2 s\n");
    std::printf("output %.1f V on the meter\n", node.board.outputVolts(rig.bus.now()));
    // A 'D' dump is the longest frame; measure the loop away from its top across it.
    rig.bus.hostSend("0\rD1\r");
    for (int i = 0; i < 400; ++i) {
        rig.bus.runFor(fromMicros(250));
        watch();
    }
    std::printf("longest time away from the loop's top (sampled every 0.25-0.5 ms): %.1f ms of 125 ms\n",
                toMillis(longest));
    std::printf("BENCH velmora_settle settle_ms=%.1f loop_away_ms=%.1f\n", toMillis(settled), toMillis(longest));
}
