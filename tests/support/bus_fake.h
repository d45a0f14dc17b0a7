// A bus station without a CPU, for testing the bus on its own: its own
// scheduler, a script of driver-enable changes and bytes, and a log of what
// its receiver got and when.
#pragma once
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "board/bus.h"
#include "scheduler.h"

namespace bus_fake {

using sim::Ticks;

class FakeStation : public sim::BusNode {
public:
    struct Rx {
        uint8_t value;
        Ticks at;
        double baud;
    };

    explicit FakeStation(double baud = 9600)
        : charTicks(Ticks(std::llround(10.0 * double(sim::kTicksPerSecond) / baud))) {}

    Ticks now() const override { return sched.now(); }
    Ticks shortestByte() const override { return charTicks; }
    bool runTo(Ticks t) override {
        sched.advanceTo(t);
        return true;
    }
    bool hearsWhileDriving() const override { return hearsOwn; }
    void receive(uint8_t value, double baud, Ticks at) override {
        sched.at(at, [this, value, baud] {
            rx.push_back(Rx{value, sched.now(), baud});
            if (onByte) onByte(value);
        });
    }
    // Bytes with a line error go to rx as well; errors says which.
    void receiveError(uint8_t value, double baud, Ticks at, bool isBreak) override {
        sched.at(at, [this, isBreak] { errors.push_back(LineError{rx.size(), isBreak}); });
        receive(value, baud, at);
    }
    struct LineError {
        size_t index;  // into rx
        bool isBreak;
    };
    std::vector<LineError> errors;

    // Driver enable switched at t.
    void driverAt(Ticks t, bool on) {
        sched.at(t, [this, on] { driverChanged(on, sched.now()); });
    }
    // The UART starts a byte at t, whatever the driver does.
    void sendAt(Ticks t, uint8_t v) {
        sched.at(t, [this, v] { transmitted(v, sched.now(), sched.now() + charTicks); });
    }
    // As a well-behaved firmware sends a byte: driver on, byte, driver off
    // once the byte is out. Returns when the driver goes off.
    Ticks putcharAt(Ticks t, uint8_t v) {
        driverAt(t, true);
        sendAt(t + kSetup, v);
        const Ticks off = t + kSetup + charTicks + kSetup;
        driverAt(off, false);
        return off;
    }
    Ticks putsAt(Ticks t, std::string_view s) {
        for (char c : s) t = putcharAt(t, uint8_t(c)) + kSetup;
        return t;
    }

    std::string text() const {
        std::string s;
        for (const Rx& r : rx) s += char(r.value);
        return s;
    }

    static constexpr Ticks kSetup = 40;  // about 1 us between driver and UART steps
    sim::Scheduler sched;
    Ticks charTicks;
    std::vector<Rx> rx;
    std::function<void(uint8_t)> onByte;  // at reception, from the station's own clock
    bool hearsOwn = false;                // receiver always on rather than tied to the driver
};

}  // namespace bus_fake
