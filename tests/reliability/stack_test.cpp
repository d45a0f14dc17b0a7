// Stacks: a stack pointer outside its mode's area stops the run as a fault,
// and the deepest use of every mode, over everything both nodes do, fits its
// area with room to spare. The depths are printed per mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "machine.h"
#include "support/bus_velmora.h"
#include "support/tavlo_unit.h"

namespace {

using sim::Mode;

void setBankedSp(sim::Machine& m, Mode mode, uint32_t sp) {
    const uint32_t cpsr = m.cpsr();
    m.setCpsr((cpsr & ~0x1Fu) | uint32_t(mode));
    m.setReg(sim::SP, sp);
    m.setCpsr(cpsr);
}

// Deepest use seen per mode (sampled stack pointer or painted high-water,
// whichever went lower), printed, and checked against the area.
void expectFits(sim::Machine& m, const char* image) {
    ASSERT_EQ(m.stackAreas().size(), 6u) << image << " does not name its stack areas";
    for (const auto& a : m.stackAreas()) {
        const uint32_t lowest = std::min(m.lowestSp(a.mode), m.stackHighWater(a.mode));
        const uint32_t used = a.top - lowest;
        std::printf("%-8s %-10s area 0x%05X..0x%05X (%4u bytes): deepest %4u bytes (lowest SP 0x%05X, high-water 0x%05X)\n",
                    image, sim::toString(a.mode), a.bottom, a.top, a.top - a.bottom, used, m.lowestSp(a.mode),
                    m.stackHighWater(a.mode));
        EXPECT_GE(lowest, a.bottom) << image << " " << sim::toString(a.mode) << " stack overflowed";
        // A quarter of every used area stays free.
        if (used > 0) {
            EXPECT_LE(used, (a.top - a.bottom) * 3 / 4) << image << " " << sim::toString(a.mode);
        }
    }
}

TEST(Stacks, AStackBeyondItsAreaIsAFault) {
    {
        // An IRQ stack nearly used up: the next tick's wrapper pushes past it.
        bus_velmora::Rig rig(1);
        rig.allowReports("IRQ stack beyond its area");
        sim::Machine& m = rig.node(1).machine;
        const auto* irq = m.stackArea(Mode::Irq);
        ASSERT_NE(irq, nullptr);
        setBankedSp(m, Mode::Irq, irq->bottom + 8);
        const sim::RunResult r = m.runFor(sim::fromMillis(5));
        EXPECT_EQ(r.reason, sim::StopReason::Fault);
        EXPECT_NE(r.report.find("IRQ stack beyond its area"), std::string::npos) << r.report;
    }
    {
        // The command loop's stack pointer below its area: seen when the next
        // tick interrupts it.
        bus_velmora::Rig rig(1);
        rig.allowReports("User stack beyond its area");
        sim::Machine& m = rig.node(1).machine;
        ASSERT_EQ(m.mode(), Mode::User);
        m.setReg(sim::SP, m.stackArea(Mode::User)->bottom - 16);
        const sim::RunResult r = m.runFor(sim::fromMillis(5));
        EXPECT_NE(r.report.find("User stack beyond its area"), std::string::npos) << r.report;
    }
    {
        // tavlo takes no interrupts: a routine returning below the area is
        // caught. The frames in use move to the bottom of the area, so the
        // next calls push past it.
        tavlo_test::Line line;
        line.unit().reports.allow("User stack beyond its area");
        sim::Machine& m = line.unit().m;
        const auto* user = m.stackArea(Mode::User);
        const uint32_t sp = m.reg(sim::SP), moved = user->bottom + 8;
        m.writeBytes(moved, m.readBytes(sp, user->top - sp));
        m.setReg(sim::SP, moved);
        line.line.hostSend("S1\r");
        EXPECT_FALSE(line.line.runFor(sim::fromMillis(5)));  // the line stops on a unit's fault
        const std::string report = m.fault().value_or("");
        EXPECT_NE(report.find("User stack beyond its area"), std::string::npos) << report;
    }
}

TEST(Stacks, DeepestUseOfEveryModeFitsItsArea) {
    {
        // First boot on a blank store, every command, dumps, and enough set-points
        // for a page transfer each way.
        bus_velmora::Rig rig(1);
        sim::Machine& m = rig.node(1).machine;
        for (const char* f : {"A1\r", "D1\r", "H1\r", "R1\r", "C1 1800\r", "G1\r", "N1\r", "F1\r", "S1\r", "U1 900\r", "E1 700\r"}) {
            rig.ask(f, sim::fromMillis(150));
            rig.ask("0\r", sim::fromMillis(5));
        }
        for (int i = 0; i < 260; ++i) rig.bus.hostSend(i % 2 ? "V1 1000\r" : "V1 1100\r");
        rig.bus.runFor(sim::fromMillis(260 * 12));
        rig.allowReports("write-protected in watchdog mode");
        rig.ask("K1\r", sim::fromMillis(100));
        ASSERT_FALSE(m.fault().has_value()) << *m.fault();
        EXPECT_EQ(rig.ask("0\rA253\r"), "1\r\n");
        expectFits(m, "velmora");
    }
    {
        tavlo_test::Line line;
        sim::Machine& m = line.unit().m;
        for (const char* f : {"IDN\r", "S1\r", "A2\r", "D3\r", "V\r", "L\r", "Q\r"}) line.exchange(f);
        line.measure();
        line.exchange("R");
        line.exchange("L\r");
        ASSERT_FALSE(m.fault().has_value()) << *m.fault();
        expectFits(m, "tavlo");
    }
}

}  // namespace
