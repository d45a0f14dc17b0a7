// Several velmora nodes booted on one bus, node k at address k (1..n), for
// closed-loop and multi-drop system tests:
//
//     bus_velmora::Rig rig(3);                       // VELMORA_ELF, default boards
//     rig.bus.hostSend("N2\r");                       // output of node 2 on
//     rig.bus.runFor(sim::fromMillis(500));
//     EXPECT_EQ(rig.ask("R2\r"), "e=2200\r\n");
//     rig.node(2).board.outputVolts(rig.bus.now());   // what a meter would read
//
// Each node is first booted alone on a bus of its own and given its address
// with the broadcast form of 'A'; it is then reset (flash keeps the address)
// so that it joins the shared bus with a clean receiver and parser.
#pragma once
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "board/bus.h"
#include "board/velmora_board.h"

namespace bus_velmora {

class Rig {
    std::vector<std::unique_ptr<sim::VelmoraNode>> nodes_;  // outlive the bus

public:
    explicit Rig(unsigned count, const std::string& elf = VELMORA_ELF, const sim::VelmoraParams& p = {}) {
        for (unsigned k = 1; k <= count; ++k) {
            auto n = std::make_unique<sim::VelmoraNode>(p);
            n->machine.loadElf(elf);
            n->machine.powerOn();
            {
                sim::Bus own;
                own.addNode(n->station);
                bootUp(*n, own);
                own.hostSend("A253 " + std::to_string(k) + "\r");
                const std::string reply = own.runUntilReply(sim::fromMillis(200));
                if (reply != std::to_string(k) + "\r\n")
                    throw std::runtime_error("node " + std::to_string(k) + " answered '" + reply + "' to 'A'");
            }
            n->machine.reset(sim::ResetCause::Software);
            nodes_.push_back(std::move(n));
        }
        for (auto& n : nodes_) bus.addNode(n->station);
        for (auto& n : nodes_) bootUp(*n, bus);
    }

    // Node by address (1..count).
    sim::VelmoraNode& node(unsigned address) { return *nodes_.at(address - 1); }

    // Sends a frame and returns the reply (empty when none came in time).
    std::string ask(std::string_view frame, sim::Ticks timeout = sim::fromMillis(200)) {
        bus.hostSend(frame);
        return bus.runUntilReply(timeout);
    }

    sim::Bus bus;

private:
    // Runs until the node's command loop is cycling (it stores 1 in ProgramOk
    // on every pass), so that no frame arrives while it is still booting. RAM
    // outlives a reset: a 1 left from before must not count.
    static void bootUp(sim::VelmoraNode& n, sim::Bus& on) {
        const uint32_t ok = n.machine.symbol("ProgramOk");
        n.machine.write32(ok, 2);
        if (!on.runUntil([&] { return n.machine.read32(ok) == 1; }, sim::fromMillis(1000)))
            throw std::runtime_error("node did not reach its command loop: " + on.fault());
    }
};

}  // namespace bus_velmora
