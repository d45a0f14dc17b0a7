#include "board/chip_node.h"

#include "chip/periph/uart.h"

namespace sim {

ChipNode::ChipNode(Machine& machine, DriverEnable& driver)
    : machine_(&machine), chip_(machine.chip()), driver_(&driver) {
    connect();
}

ChipNode::ChipNode(Chip& chip, DriverEnable& driver) : chip_(chip), driver_(&driver) { connect(); }

ChipNode::ChipNode(Machine& machine) : machine_(&machine), chip_(machine.chip()) { connect(); }

ChipNode::ChipNode(Chip& chip) : chip_(chip) { connect(); }

void ChipNode::connect() {
    chip_.uart().onTx = [this](const TxByte& b) { transmitted(b.value, b.start, b.end); };
    if (!driver_) {
        driverChanged(true, chip_.now());
        return;
    }
    driver_->onDriverEnable = [this](bool on, Ticks t) { driverChanged(on, t); };
    if (driver_->driverEnabled()) driverChanged(true, chip_.now());
}

ChipNode::~ChipNode() {
    chip_.uart().onTx = nullptr;
    if (driver_) driver_->onDriverEnable = nullptr;
}

bool ChipNode::runTo(Ticks t) {
    if (!fault_.empty()) return false;
    if (!machine_) {
        chip_.sched().advanceTo(t);
        return true;
    }
    // Even with no time to run, events due now (bytes just delivered) are taken.
    const Ticks now = machine_->now();
    const Ticks d = t > now ? t - now : 0;
    const RunResult r = resumed() ? machine_->continueFor(d) : machine_->runFor(d);
    if (!r) fault_ = r.report.empty() ? toString(r.reason) : r.report;
    return fault_.empty();
}

// The UART's present rate and format; unconfigured, it sends nothing yet.
Ticks ChipNode::shortestByte() const {
    const Uart& u = chip_.uart();
    return u.baud() > 0 ? u.charTime() : 0;
}

void ChipNode::receive(uint8_t value, double senderBaud, Ticks at) {
    Chip& chip = chip_;
    chip.sched().at(at, [&chip, value, senderBaud] { chip.uart().receive(value, senderBaud); });
}

void ChipNode::receiveError(uint8_t value, double senderBaud, Ticks at, bool isBreak) {
    Chip& chip = chip_;
    chip.sched().at(at, [&chip, value, senderBaud, isBreak] {
        if (isBreak)
            chip.uart().receiveBreak();
        else
            chip.uart().receive(value, senderBaud, true);
    });
}

}  // namespace sim
