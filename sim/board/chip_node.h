// A simulated chip as one station on a Bus: the chip's UART output goes to
// the line, and bytes from the line reach its UART at their end.
//
// Whether the station's transmitter reaches the line is the board's affair.
// A board with a bus transceiver (velmora: P0.7) gives a DriverEnable, and
// the station drives only while the firmware has it on. A board without one
// (tavlo: the UART's output is wired straight to the host's receive line)
// gives none, and the station drives all the time.
//
// The chip runs either inside a Machine (firmware on the core) or on its own
// scheduler (no CPU, for model tests that write the UART registers).
#pragma once
#include <functional>
#include <string>

#include "core/machine.h"
#include "board/bus.h"

namespace sim {

// The driver enable of a board's transceiver, as the board decodes it from
// its pins. Boards with one derive from this and call setDriver.
class DriverEnable {
public:
    virtual ~DriverEnable() = default;
    bool driverEnabled() const { return driverOn_; }
    // The transceiver's receiver is enabled all the time rather than only
    // while the driver is off: the node hears its own bytes.
    virtual bool receiverAlwaysOn() const { return false; }
    // Called whenever the driver switches on or off (the station listens).
    std::function<void(bool on, Ticks t)> onDriverEnable;

protected:
    void setDriver(bool on, Ticks t) {
        if (on == driverOn_) return;
        driverOn_ = on;
        if (onDriverEnable) onDriverEnable(on, t);
    }

private:
    bool driverOn_ = false;
};

class ChipNode : public BusNode {
public:
    // Driver switched by the board's transceiver.
    ChipNode(Machine& machine, DriverEnable& driver);
    ChipNode(Chip& chip, DriverEnable& driver);
    // No transceiver: the transmitter always drives.
    explicit ChipNode(Machine& machine);
    explicit ChipNode(Chip& chip);
    ~ChipNode() override;
    ChipNode(const ChipNode&) = delete;
    ChipNode& operator=(const ChipNode&) = delete;

    Ticks now() const override { return chip_.now(); }
    bool runTo(Ticks t) override;
    std::string fault() const override { return fault_; }
    Ticks shortestByte() const override;
    void receive(uint8_t value, double senderBaud, Ticks at) override;
    void receiveError(uint8_t value, double senderBaud, Ticks at, bool isBreak) override;
    // Without a transceiver the UART's input is wired straight to the line.
    bool hearsWhileDriving() const override { return !driver_ || driver_->receiverAlwaysOn(); }

private:
    void connect();
    Machine* machine_ = nullptr;
    Chip& chip_;
    DriverEnable* driver_ = nullptr;
    std::string fault_;
};

// Puts a machine on its board before the station around it is built (a
// node's members: board, machine, station(fitBoard(machine, board))).
inline Machine& fitBoard(Machine& m, Board& b) {
    m.chip().setBoard(&b);
    return m;
}

}  // namespace sim
