// The tavlo unit under hostile input (see harness.h for the oracles).
//
// After the input the host selects the unit with "S1\r" (up to three times:
// the first ones may only close a line the input left open) until the reply
// is exactly "S1\r\n", then asks "V\r", which a selected unit answers with
// "V\r\nV3\r\n". A unit halted by 'Z' is left alone, as it should be.
#pragma once

#include <string>

#include "harness.h"

namespace fuzz {

class Tavlo : public Node {
public:
    explicit Tavlo(Pacing pacing = Pacing::Eager) {
        pacing_ = pacing;
        board_.owner = this;
        boot(TAVLO_ELF, board_, sim::fromMillis(12));
        // Each frame, and the longest replies (after a scan) with a byte
        // waiting behind them, as a host that does not wait would send it.
        calibrate({"IDN\r", "S1\r", "S1\rA3\r", "S1\rD5\r", "S1\rV\r", "S1\rR", "S1\rL\r", "S1\rQ\r", "S2\r", "S1\rM",
                   "S1\rA\x1B", "S1\rX1\x08\x08\r", "S1\rML\rV\r", "S1\rMRV\r"});
    }

private:
    // The 64 sources as constants that depend on the multiplexer lines only,
    // so every scan reads the same codes; the scan indicator P4.2 is watched.
    struct Board : sim::Board {
        Tavlo* owner = nullptr;
        uint8_t p0 = 0, p1 = 0;
        bool indicator = true;
        unsigned scans = 0;
        sim::Ticks scanStart = 0;
        double adcInput(unsigned channel, sim::Ticks) override {
            const unsigned lines = (p0 >> 4) | (p1 & 0xF0);
            if (channel == 1) return 0.05 + lines * 0.009;
            if (channel == 2) return 2.4 - lines * 0.009;
            return 0.0;
        }
        void pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, sim::Ticks t) override {
            if (port == 0) p0 = levels & outputs;
            if (port == 1) p1 = levels & outputs;
            if (port == 4) {
                const bool high = levels & outputs & 0x04;
                if (indicator && !high) {
                    ++scans;
                    scanStart = t;
                }
                indicator = high;
            }
        }
    };

    void restoreBoard() override {
        sim::Gpio& g = m_.chip().gpio();
        board_.p0 = g.outputLevels(0) & g.directions(0);
        board_.p1 = g.outputLevels(1) & g.directions(1);
        board_.indicator = g.outputLevels(4) & g.directions(4) & 0x04;
        board_.scans = 0;
    }

    bool scanning() override { return !board_.indicator; }
    unsigned scansStarted() override { return board_.scans; }
    sim::Ticks scanStart() override { return board_.scanStart; }
    // The halt loop: a branch to itself, after which nothing is ever read.
    bool halted() override {
        const uint32_t pc = m_.pc();
        if (pc < 0x80000 || pc >= 0x80000 + sim::Chip::kFlashSize - 4) return false;
        return m_.thumb() ? m_.read16(pc) == 0xE7FE : m_.read32(pc) == 0xEAFFFFFE;
    }

    void ending() override {
        bool selected = false;
        for (int i = 0; i < 3 && ok() && !halted(); ++i) {
            const size_t before = sentCount();
            send("S1\r");
            settle();
            if (sentSince(before) == "S1\r\n") {
                selected = true;
                break;
            }
        }
        if (!ok() || halted()) return;
        if (!selected) {
            fail("no answer", "three \"S1\\r\" got no \"S1\\r\\n\"");
            return;
        }
        const size_t before = sentCount();
        send("V\r");
        settle();
        if (ok() && sentSince(before) != "V\r\nV3\r\n")
            fail("no effect", "\"V\\r\" after selection got \"" + printable(sentSince(before)) + "\"");
    }

    Board board_;
};

}  // namespace fuzz
