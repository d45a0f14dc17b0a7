// velmora's regulation tick, called as the IRQ wrapper calls it, with the
// ADC inputs held by the test board: slot order, what each slot stores, the
// integrator with its clamp and its saturation, the DAC split, the tick
// length and the watchdog handshake.
#include <gtest/gtest.h>

#include <array>
#include <climits>

#include "aduc702x.h"
#include "support/node.h"

using namespace nodetest;
using sim::fromMillis;

namespace {

constexpr const char* kSlot = "_ZZ18Timer0_IRQ_HandlerE11input_index";
constexpr uint32_t kHvOn = 0x04040000;   // P1.2 output, high
constexpr uint32_t kHvOff = 0x04000000;  // P1.2 output, low

class Tick : public ::testing::Test {
protected:
    void SetUp() override {
        n.startUp();
        // The ADC as boot leaves it.
        n.setReg(ADCCON.addr, 0x20);
        n.setReg(REFCON.addr, 1);
        n.setReg(ADCCON.addr, 0x623);
        n.setReg(DAC0CON.addr, 0x12);
        n.setReg(DAC1CON.addr, 0x12);
        n.setReg(GP1DAT.addr, kHvOff);
        n.m.runFor(fromMillis(1));
        n.board.setCode(0, 2200);
        n.board.setCode(1, 111);
        n.board.setCode(2, 2222);
        n.board.setCode(3, 3333);
        n.board.setCode(16, 1400);
    }
    uint64_t tick() {
        const uint64_t before = n.m.instructions();
        n.m.call("Timer0_IRQ_Handler");
        return n.m.instructions() - before;
    }
    int32_t sym(const char* name) { return static_cast<int32_t>(n.m.readSym(name)); }

    // One slot-0 tick with the output on.
    struct Regulated {
        int32_t integral;
        uint32_t dac0dat, dac1dat, code0, code1, t0ld;
    };
    Regulated regulate(int32_t integral, uint32_t setting, unsigned measured) {
        n.board.setCode(0, measured);
        n.m.writeSym(kSlot, 0);
        n.m.writeSym("integral", static_cast<uint32_t>(integral));
        n.m.writeSym("HV_Setting", setting);
        n.setReg(GP1DAT.addr, kHvOn);
        dacWrites.writes.clear();
        tick();
        return {sym("integral"), dacWrites.last(DAC0DAT.addr), dacWrites.last(DAC1DAT.addr),
                n.m.chip().dac().code(0), n.m.chip().dac().code(1), n.reg(T0LD.addr)};
    }

    Node n{VELMORA_ELF};
    // The words as written: each DAC keeps bits 27:16 only.
    WriteLog dacWrites{n.m.chip(), {DAC0DAT.addr, DAC1DAT.addr}};
};

TEST_F(Tick, SlotsComeInTheOrderOneTwoThreeTemperatureZero) {
    // What the tick stores: adc_data[0..3], Temperature, HV_Measured.
    using State = std::array<int32_t, 6>;
    auto state = [&] {
        State st;
        for (uint32_t i = 0; i < 4; ++i) st[i] = static_cast<int32_t>(n.m.readSym("adc_data", 4 * i));
        st[4] = sym("Temperature");
        st[5] = sym("HV_Measured");
        return st;
    };
    struct Step {
        uint32_t channel;  // ADCCP of the conversion
        uint32_t slotAfter;
        unsigned item;     // the one entry of State that changes
        int32_t value;
    };
    const Step steps[] = {
        {1, 2, 1, 111},  {2, 3, 2, 2222},          {3, 16, 3, 3333},
        {16, 0, 4, 1317 - 1400},                    // hot die: negative
        {0, 1, 5, 2200}, {1, 2, 1, 112},
    };
    // The data copy gives the first slot, ADC1.
    ASSERT_EQ(n.m.readSym(kSlot), 1u);
    State expected = state();
    for (const Step& s : steps) {
        SCOPED_TRACE("slot " + std::to_string(s.channel));
        if (s.value == 112) n.board.setCode(1, 112);
        tick();
        EXPECT_EQ(n.reg(ADCCP.addr), s.channel);
        EXPECT_EQ(n.m.readSym(kSlot), s.slotAfter);
        expected[s.item] = s.value;
        if (s.channel == 0) expected[0] = s.value;  // adc_data[0] follows HV_Measured
        EXPECT_EQ(state(), expected);
    }
}

TEST_F(Tick, ClearsItsTimerInterrupt) {
    n.setReg(T0LD.addr, 50);
    n.setReg(T0CON.addr, 0xC4);  // IRQ not enabled: only the flag is raised
    n.m.runFor(fromMillis(1));
    ASSERT_TRUE(n.m.chip().timer0().interruptPending());
    tick();
    EXPECT_FALSE(n.m.chip().timer0().interruptPending());
}

TEST_F(Tick, IntegratorClampAndDacSplit) {
    struct Case {
        int32_t integral;
        uint32_t setting;
        unsigned measured;
        int32_t integralAfter;
        uint32_t dac0dat, dac1dat;
        uint32_t code0, code1;
    };
    const Case cases[] = {
        // At the bound itself no clamp is needed; above it, set back.
        {129440, 2200, 2200, 129440, 0xFCD0000, 0xFCD8000, 4045, 4045},
        {129441, 2200, 2200, 129440, 0xFCD0000, 0xFCD8000, 4045, 4045},
        {129430, 2200, 2220, 129440, 0xFCD0000, 0xFCD8000, 4045, 4045},
        {8089 * 16, 2200, 2200, 8089 * 16, 8089u << 15, 8090u << 15, 4044, 4045},
        // Below zero the output is 0 and the integrator keeps its value.
        {-1, 2200, 2200, -1, 0, 0x8000, 0, 0},
        {15, 2200, 2200, 15, 0, 0x8000, 0, 0},
        {16, 2200, 2200, 16, 0x8000, 0x10000, 0, 1},
        // The error is integrated before the output is computed.
        {1000, 2200, 2216, 1016, 63u << 15, 64u << 15, 31, 32},
        {1000, 2200, 2184, 984, 61u << 15, 62u << 15, 30, 31},
        // A set-point beyond 2^31 (an 'E' frame may store one) makes the
        // error huge and positive: the sum stops at the top, not negative.
        {129440, 0x80000001, 0, 129440, 0xFCD0000, 0xFCD8000, 4045, 4045},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.integral) + " set " + std::to_string(c.setting) +
                     " measured " + std::to_string(c.measured));
        const Regulated r = regulate(c.integral, c.setting, c.measured);
        EXPECT_EQ(r.integral, c.integralAfter);
        EXPECT_EQ(r.dac0dat, c.dac0dat);
        EXPECT_EQ(r.dac1dat, c.dac1dat);
        EXPECT_EQ(r.code0, c.code0);
        EXPECT_EQ(r.code1, c.code1);
    }
}

TEST_F(Tick, TickLengthFollowsTheErrorBand) {
    struct Case {
        unsigned measured;
        uint32_t t0ld;
    };
    const Case cases[] = {{2200, 800}, {2202, 800}, {2198, 800}, {2203, 25}, {2197, 25}, {0, 25}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.measured);
        n.setReg(T0LD.addr, 50);
        EXPECT_EQ(regulate(50000, 2200, c.measured).t0ld, c.t0ld);
    }
    // |delta| as a signed 32-bit absolute value: -2^31 stays negative, within
    // the band; -(2^31 - 1) is far outside it.
    EXPECT_EQ(regulate(50000, 0x80000000u, 0).t0ld, 800u);
    EXPECT_EQ(regulate(50000, 0x80000001u, 0).t0ld, 25u);
    EXPECT_EQ(regulate(50000, 0x7FFFFFFFu, 0).t0ld, 25u);
}

TEST_F(Tick, LostFeedbackSaturatesTheIntegratorAtItsTypeLimit) {
    // Output overloaded: measured 0 against a set-point of 2445. The
    // integrator walks down to the most negative value and stays there; the
    // output stays at 0 instead of jumping to full scale.
    Regulated r = regulate(INT_MIN + 3000, 2445, 0);
    EXPECT_EQ(r.integral, INT_MIN + 555);
    for (int i = 0; i < 3; ++i) {
        r = regulate(r.integral, 2445, 0);
        EXPECT_EQ(r.integral, INT_MIN);
        EXPECT_EQ(r.code0 + r.code1, 0u);
        EXPECT_EQ(r.t0ld, 25u);
    }
    // Feedback back above the set-point: the integrator climbs again.
    r = regulate(r.integral, 2445, 4095);
    EXPECT_EQ(r.integral, INT_MIN + 1650);
}

TEST_F(Tick, OutputOffOnlyMeasures) {
    n.board.setCode(0, 1234);
    n.m.writeSym(kSlot, 0);
    n.m.writeSym("integral", 5000);
    n.m.writeSym("HV_Setting", 2200);
    n.setReg(DAC0DAT.addr, 100u << 16);
    n.setReg(DAC1DAT.addr, 200u << 16);
    n.setReg(T0LD.addr, 50);
    n.setReg(GP1DAT.addr, kHvOff);
    tick();
    EXPECT_EQ(n.m.readSym("HV_Measured"), 1234u);
    EXPECT_EQ(n.m.readSym("adc_data"), 1234u);
    EXPECT_EQ(sym("integral"), 5000);
    EXPECT_EQ(n.m.chip().dac().code(0), 100u);
    EXPECT_EQ(n.m.chip().dac().code(1), 200u);
    EXPECT_EQ(n.reg(T0LD.addr), 50u);
    EXPECT_EQ(n.reg(GP1DAT.addr) & 0x00FF0000, 0u);  // the tick never switches the output
}

TEST_F(Tick, RefreshesTheWatchdogOnlyForALiveLoop) {
    n.setReg(T3LD.addr, 0x1000);
    n.setReg(T3CON.addr, 0xE0);
    n.m.runFor(fromMillis(50));
    const uint32_t running = n.reg(T3VAL.addr);
    ASSERT_LT(running, 0x1000u - 1000);

    n.m.writeSym("ProgramOk", 0);
    tick();
    EXPECT_LE(n.reg(T3VAL.addr), running);  // still counting down

    n.m.writeSym("ProgramOk", 1);
    tick();
    EXPECT_EQ(n.m.readSym("ProgramOk"), 0u);
    n.m.runFor(fromMillis(1));
    EXPECT_GT(n.reg(T3VAL.addr), 0x1000u - 100);  // reloaded

    // Without the loop's sign of life, no more refreshes: the chip resets.
    for (int i = 0; i < 14 && n.m.resets() == 0; ++i) {
        tick();
        n.m.runFor(fromMillis(10));
    }
    EXPECT_GE(n.m.resets(), 1u);
}

}  // namespace
