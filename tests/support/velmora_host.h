// A host on the velmora bus: boots a node and exchanges frames with it at
// 9600 Bd, one byte per character time, as a terminal would.
#pragma once
#include <cstring>
#include <string>

#include "aduc702x.h"
#include "support/node.h"

namespace nodetest {

inline constexpr unsigned kBusBaud = 9600;
inline const Ticks kBusChar = sim::fromMicros(10e6 / kBusBaud);
// Boot on a blank store: two page erases and four writes, well within this.
inline const Ticks kBootLimit = sim::fromMillis(150);

class VelmoraHost : public Node {
public:
    unsigned bootResets = 0;

    VelmoraHost() : Node(VELMORA_ELF) {
        board.setCode(0, 2200);
        board.setCode(1, 101);
        board.setCode(2, 2048);
        board.setCode(3, 4095);
        board.setCode(16, 1000);
    }

    // Power on (RAM scrambled, flash kept) and run until the command loop
    // polls the line.
    void powerOnAndBoot() {
        m.powerOn();
        waitForLoop();
        bootResets = m.resets();
    }
    // Resets since the last power-on (power-ons count as resets too).
    unsigned resets() const { return m.resets() - bootResets; }
    void waitForLoop() {
        const auto r = m.runToSymbol("received", kBootLimit);
        if (!r) throw sim::SimError("boot did not reach the command loop: " + r.report);
    }

    // Sends the bytes, one per character time, then lets the node work
    // until the line has been quiet for a few character times (its reply, at
    // about 1.04 ms a byte, included), but at least `afterMs`; returns the
    // bytes it sent meanwhile.
    std::string exchange(const std::string& frame, double afterMs = 2) {
        tx.clear();
        send(frame);
        const Ticks start = m.now();
        const Ticks limit = start + sim::fromMillis(200);
        Ticks quietSince = start;
        size_t seen = 0;
        while (m.now() < limit) {
            m.runFor(kBusChar);
            if (tx.size() != seen) {
                seen = tx.size();
                quietSince = m.now();
            }
            if (m.now() - start >= sim::fromMillis(afterMs) && m.now() - quietSince >= 3 * kBusChar) break;
        }
        return text();
    }
    void send(const std::string& bytes) {
        for (unsigned char c : bytes) {
            m.chip().uart().receive(c, kBusBaud);
            m.runFor(kBusChar);
        }
    }

    // Globals of the image.
    uint32_t get(const char* name) { return m.readSym(name); }
    int32_t geti(const char* name) { return static_cast<int32_t>(m.readSym(name)); }
    float getf(const char* name) {
        const uint32_t bits = m.readSym(name);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    bool outputOn() { return (m.read32(GP1DAT.addr) & (1u << 18)) != 0; }

    // The two parameter-store pages as they are in flash.
    std::string storePages() {
        const uint8_t* p = m.chip().flash() + 0xF000;
        return std::string(reinterpret_cast<const char*>(p), 1024);
    }
};

}  // namespace nodetest
