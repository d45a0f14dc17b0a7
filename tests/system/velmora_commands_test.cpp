// The velmora image booted in the simulator and driven over its bus as a
// host would: boot on a blank store, every command with its exact reply
// bytes, persistence across resets, and the watchdog behind a stalled frame.
#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

#include "periph/uart.h"
#include "support/velmora_host.h"

using namespace nodetest;
using sim::fromMillis;

namespace {

// The replies as they leave the line: every "\n" of a format is CR LF.
const std::string kCrLf = "\r\n";

class Velmora : public ::testing::Test {
protected:
    void SetUp() override { node.powerOnAndBoot(); }

    // Reset by command and back to the command loop.
    void resetByCommand() {
        const unsigned before = node.resets();
        EXPECT_EQ(node.exchange("K1\r"), "");
        ASSERT_EQ(node.resets(), before + 1);
        node.waitForLoop();
    }
    void powerCycle() { node.powerOnAndBoot(); }

    VelmoraHost node;
};

TEST_F(Velmora, FirstBootWritesTheDefaultsAndSaysNothing) {
    EXPECT_TRUE(node.tx.empty());
    EXPECT_EQ(node.get("MyAddress"), 1u);
    EXPECT_EQ(node.get("HV_Setting"), 2200u);
    EXPECT_EQ(node.get("ADC2HV"), 26936u);
    EXPECT_EQ(node.get("Flags"), 0u);
    EXPECT_EQ(node.getf("Code2Voltage"), 0.822021484375f);
    EXPECT_EQ(node.geti("MaxADC"), 2445);
    EXPECT_EQ(node.geti("integral"), 94240);
    EXPECT_FALSE(node.outputOn());

    // The next boot finds them and writes nothing.
    const std::string pages = node.storePages();
    powerCycle();
    EXPECT_EQ(node.storePages(), pages);
    EXPECT_EQ(node.get("MyAddress"), 1u);
    EXPECT_EQ(node.get("ADC2HV"), 26936u);
}

TEST_F(Velmora, AddressCommand) {
    struct Step {
        const char* frame;
        std::string reply;
        uint32_t address;
    };
    const Step steps[] = {
        {"A1\r", "1" + kCrLf, 1},
        {"a1\r", "1" + kCrLf, 1},
        {"A2\r", "", 1},                 // another node's address
        {"A253\r", "1" + kCrLf, 1},      // broadcast: everyone answers
        {"A1 0\r", "1" + kCrLf, 1},      // 0 is no address
        {"A1 300\r", "44" + kCrLf, 44},  // low 8 bits
        {"A1\r", "", 44},
        {"A44 5\r", "5" + kCrLf, 5},
        {"A253 7\r", "7" + kCrLf, 7},
        {"A7,9\r", "7" + kCrLf, 7},      // only a space brings a new address
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.frame);
        EXPECT_EQ(node.exchange(s.frame), s.reply);
        EXPECT_EQ(node.get("MyAddress"), s.address);
    }
    powerCycle();
    EXPECT_EQ(node.get("MyAddress"), 7u);
    EXPECT_EQ(node.exchange("A7\r"), "7" + kCrLf);
}

TEST_F(Velmora, SetPointInCodesAndVolts) {
    struct Step {
        const char* frame;
        uint32_t setting;
        int32_t integral;
    };
    const Step steps[] = {
        {"E1 3000\r", 2445, (8090 - 2445) * 16},  // limited to MaxADC
        {"E1 0\r", 0, 8090 * 16},
        {"U1 1000\r", 1216, 109984},              // 1216.51 truncated
        {"e1 2200\r", 2200, 94240},
        {"V1 2500\r", 2445, (8090 - 2445) * 16},  // 3041 limited, persisted
        {"E1 4294967297\r", 1, 8089 * 16},        // numbers wrap modulo 2^32
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.frame);
        EXPECT_EQ(node.exchange(s.frame), "");
        EXPECT_EQ(node.get("HV_Setting"), s.setting);
        EXPECT_EQ(node.geti("integral"), s.integral);
    }

    // An unchanged set-point does nothing, not even the preset.
    node.m.writeSym("integral", 1234);
    node.exchange("E1 1\r");
    EXPECT_EQ(node.geti("integral"), 1234);

    // Only 'V' reached the store.
    powerCycle();
    EXPECT_EQ(node.get("HV_Setting"), 2445u);
}

TEST_F(Velmora, VoltsSetPointAlreadyInPlaceIsNotStoredAgain) {
    node.exchange("U1 1500\r");
    const uint32_t setting = node.get("HV_Setting");
    EXPECT_EQ(setting, 1824u);  // 1500 / 0.822021484375 = 1824.77
    const std::string pages = node.storePages();
    node.exchange("V1 1500\r");
    EXPECT_EQ(node.storePages(), pages);
    powerCycle();
    EXPECT_EQ(node.get("HV_Setting"), 2200u);
}

TEST_F(Velmora, SetPointBeyondTwoToTheThirtyOneIsTakenAsIs) {
    // It compares below MaxADC as a signed number.
    node.exchange("E1 3000000000\r");
    EXPECT_EQ(node.get("HV_Setting"), 3000000000u);
}

TEST_F(Velmora, OutputSwitching) {
    // 'G': on, persisted, integrator preset; measured = set-point, so the
    // regulator holds the preset and drives 8090 - 2200 over the two DACs.
    node.exchange("G1\r", 20);
    EXPECT_TRUE(node.outputOn());
    EXPECT_EQ(node.get("Flags"), 1u);
    EXPECT_EQ(node.geti("integral"), 94240);
    auto& dac = node.m.chip().dac();
    EXPECT_EQ(dac.code(0) + dac.code(1), 5890u);

    // Again while on: the preset is applied again.
    node.m.writeSym("integral", 16000);
    node.exchange("g1\r", 20);
    EXPECT_EQ(node.geti("integral"), 94240);

    node.exchange("F1\r");
    EXPECT_FALSE(node.outputOn());
    EXPECT_EQ(node.get("Flags"), 0u);
    node.exchange("N1\r");
    EXPECT_TRUE(node.outputOn());

    // 'F' and 'N' were volatile: the store still says on.
    node.exchange("F1\r");
    resetByCommand();
    EXPECT_TRUE(node.outputOn());
    EXPECT_EQ(node.get("Flags"), 1u);
    EXPECT_EQ(node.geti("integral"), 94240);
}

TEST_F(Velmora, StoredOffSurvivesResetAndVolatileOnDoesNot) {
    node.exchange("G1\r");
    node.exchange("S1\r");
    EXPECT_FALSE(node.outputOn());
    resetByCommand();
    EXPECT_FALSE(node.outputOn());

    node.exchange("N1\r");
    EXPECT_TRUE(node.outputOn());
    resetByCommand();
    EXPECT_FALSE(node.outputOn());
}

TEST_F(Velmora, OutputOnAtBootRegulatesFromThePreset) {
    node.exchange("V1 1000\r");  // set-point 1216
    node.exchange("G1\r");
    node.board.setCode(0, 1216);
    powerCycle();
    EXPECT_TRUE(node.outputOn());
    node.m.runFor(fromMillis(20));
    EXPECT_EQ(node.geti("integral"), 109984);
    auto& dac = node.m.chip().dac();
    EXPECT_EQ(dac.code(0) + dac.code(1), 8090u - 1216);
    EXPECT_EQ(node.reg(T0LD.addr), 800u);  // within the error band
}

TEST_F(Velmora, ReadBack) {
    node.m.runFor(fromMillis(5));  // a few slot cycles
    EXPECT_EQ(node.exchange("H1\r"), "e=1808" + kCrLf);  // 2200 x 0.822 = 1808.4
    EXPECT_EQ(node.exchange("R1\r"), "e=2200" + kCrLf);
    EXPECT_EQ(node.exchange("h1\r"), "e=1808" + kCrLf);
    node.board.setCode(0, 4095);
    node.m.runFor(fromMillis(5));
    EXPECT_EQ(node.exchange("R1\r"), "e=4095" + kCrLf);
    EXPECT_EQ(node.exchange("H1\r"), "e=3366" + kCrLf);
}

TEST_F(Velmora, Dump) {
    node.m.runFor(fromMillis(5));
    const std::string dump = node.exchange("D1\r");
    EXPECT_EQ(dump, "\r\n"
                    "ADC[0]=2200\r\n\r"
                    "ADC[1]=101\r\n\r"
                    "ADC[2]=2048\r\n\r"
                    "ADC[3]=4095\r\n\r"
                    "Temperature=243\r\n\r"  // 317 x 10 / 13 = 243.8
                    "\r\n\r");
    node.board.setCode(16, 1331);  // -14: rounds toward zero
    node.m.runFor(fromMillis(5));
    const std::string cold = node.exchange("D1\r");
    EXPECT_NE(cold.find("Temperature=-10\r\n\r"), std::string::npos) << cold;
}

TEST_F(Velmora, Calibration) {
    node.exchange("C1 1800\r");
    EXPECT_EQ(node.getf("Code2Voltage"), 1800.0f / 2200.0f);
    EXPECT_EQ(node.get("ADC2HV"), 26810u);
    EXPECT_EQ(node.geti("MaxADC"), 2456);
    EXPECT_EQ(node.get("HV_Setting"), 2200u);
    EXPECT_EQ(node.exchange("H1\r"), "e=1800" + kCrLf);

    // After a reset the factor comes from the stored, rounded value.
    powerCycle();
    EXPECT_EQ(node.get("ADC2HV"), 26810u);
    EXPECT_EQ(node.getf("Code2Voltage"), 26810.0f / 32768.0f);
    EXPECT_EQ(node.geti("MaxADC"), 2456);
}

TEST_F(Velmora, CalibrationsThatGiveNoUsableFactorAreIgnored) {
    const std::string pages = node.storePages();
    auto unchanged = [&](const char* what) {
        SCOPED_TRACE(what);
        EXPECT_EQ(node.get("ADC2HV"), 26936u);
        EXPECT_EQ(node.getf("Code2Voltage"), 0.822021484375f);
        EXPECT_EQ(node.geti("MaxADC"), 2445);
    };
    node.exchange("C1 0\r");  // a zero reading
    unchanged("0 V");
    node.exchange("E1 0\r");  // no set-point to divide by
    node.exchange("C1 1800\r");
    unchanged("set-point 0");
    node.exchange("E1 2445\r");
    node.exchange("C1 4890\r");  // 2 V per code: 65536 does not fit 16 bits
    unchanged("65536");
    EXPECT_EQ(node.storePages(), pages);  // nothing was stored

    node.exchange("C1 4889\r");  // the largest factor that fits
    EXPECT_EQ(node.get("ADC2HV"), 65523u);
    powerCycle();
    EXPECT_EQ(node.get("ADC2HV"), 65523u);
}

TEST_F(Velmora, FramesForOtherNodesAndNonCommandsAreConsumedSilently) {
    const std::string pages = node.storePages();
    EXPECT_EQ(node.exchange("D2\r"), "");
    EXPECT_EQ(node.exchange("R1\r"), "e=2200" + kCrLf);
    // The value of a foreign frame becomes a pseudo-frame "1" for node 244.
    EXPECT_EQ(node.exchange("V2 1500\r"), "");
    EXPECT_EQ(node.get("HV_Setting"), 2200u);
    for (const char* frame : {"B1\r", "Z1\r", "11\r", "?1\r", "A\r"}) {
        SCOPED_TRACE(frame);
        EXPECT_EQ(node.exchange(frame), "");
    }
    EXPECT_EQ(node.exchange("R1\r"), "e=2200" + kCrLf);
    EXPECT_EQ(node.storePages(), pages);
    EXPECT_EQ(node.resets(), 0u);
}

TEST_F(Velmora, SoftwareReset) {
    node.exchange("E1 1000\r");
    resetByCommand();
    EXPECT_EQ(node.m.chip().lastReset(), sim::ResetCause::Software);
    EXPECT_EQ(node.get("HV_Setting"), 2200u);  // 'E' was volatile
    EXPECT_EQ(node.exchange("k2\r"), "");
    EXPECT_EQ(node.resets(), 1u);
}

TEST_F(Velmora, IdleLineKeepsTheWatchdogFed) {
    node.m.runFor(fromMillis(400));
    EXPECT_EQ(node.resets(), 0u);
}

TEST_F(Velmora, UnfinishedFrameResetsOneWatchdogPeriodAfterTheLastRefresh) {
    // Follow the handshake in small steps: a refresh shows as ProgramOk
    // going from 1 back to 0.
    sim::Ticks resetAt = 0;
    node.m.onReset = [&](sim::ResetCause) { resetAt = node.m.now(); };
    bool alive = node.m.readSym("ProgramOk") != 0;
    // Already 0 at the loop's call of received: a tick refreshed between the
    // loop's store and the call, a few instructions ago.
    sim::Ticks lastRefresh = alive ? 0 : node.m.now();
    auto follow = [&](sim::Ticks span) {
        const sim::Ticks end = node.m.now() + span;
        while (node.m.now() < end && resetAt == 0) {
            node.m.runFor(sim::fromMicros(10));
            const bool ok = node.m.readSym("ProgramOk") != 0;
            if (alive && !ok) lastRefresh = node.m.now();
            alive = ok;
        }
    };
    // "H1" without its end character: the loop waits for it.
    auto& uart = node.m.chip().uart();
    uart.receive('H', kBusBaud);
    follow(kBusChar);
    uart.receive('1', kBusBaud);
    follow(fromMillis(300));

    ASSERT_NE(resetAt, 0u) << "no reset";
    EXPECT_EQ(node.m.chip().lastReset(), sim::ResetCause::Watchdog);
    const double afterRefresh = sim::toMillis(resetAt - lastRefresh);
    EXPECT_NEAR(afterRefresh, 125.0, 0.1);

    node.m.onReset = nullptr;
    node.waitForLoop();
    EXPECT_EQ(node.exchange("A1\r"), "1" + kCrLf);
}

}  // namespace

// The address is the low 8 bits of the number, for every command.
TEST_F(Velmora, AddressIsTheLowEightBitsOfTheNumber) {
    EXPECT_EQ(node.exchange("R257\r"), "e=2200" + kCrLf);
    EXPECT_EQ(node.exchange("H513\r"), "e=1808" + kCrLf);
    EXPECT_EQ(node.exchange("E257 1000\r"), "");
    EXPECT_EQ(node.get("HV_Setting"), 1000u);
    EXPECT_EQ(node.exchange("R256\r"), "");
    EXPECT_EQ(node.exchange("E256 1500\r"), "");
    EXPECT_EQ(node.get("HV_Setting"), 1000u);
    EXPECT_EQ(node.resets(), 0u);
}

namespace {
// A byte sent at a rate off the node's that its UART reads as `want`, with
// a framing error: what a garbled byte on the bus looks like.
std::pair<uint8_t, double> garbledAs(uint8_t want) {
    for (const double baud : {9900.0, 9300.0, 10200.0, 8900.0})
        for (unsigned v = 0; v < 256; ++v) {
            // As the UART model garbles: where sampling alone would still
            // read the byte right, the bit nearest the stop bit flips.
            uint8_t got = sim::Uart::resample(uint8_t(v), baud, kBusBaud);
            if (got == v) got ^= 0x80;
            if (got == want) return {uint8_t(v), baud};
        }
    throw std::runtime_error("no garbled byte reads as wanted");
}
}  // namespace

// Receive errors: a frame carrying a byte the UART flagged is dropped, 'A'
// included, and a byte overrun while the node replies counts against the
// frame that follows the reply.
TEST_F(Velmora, FramesWithReceiveErrorsAreDropped) {
    auto& uart = node.m.chip().uart();
    // 'A' whose address byte arrived garbled but reads as this node's: no
    // answer (it would talk over the node addressed).
    const auto [one, baud] = garbledAs('1');
    EXPECT_EQ(node.exchange("A1\r"), "1" + kCrLf);
    node.tx.clear();
    node.send("A");
    uart.receive(one, baud);
    node.m.runFor(kBusChar);
    EXPECT_EQ(node.exchange("\r"), "");
    EXPECT_EQ(node.exchange("A1\r"), "1" + kCrLf);  // the next clean frame is answered

    // The host addresses node 11 while node 1 still replies: "N1" arrives
    // during the reply, so '1' overruns the 'N' nobody has read yet; the
    // rest, "1\r", once the node listens again. Node 1 reads "N1\r", with
    // the overrun on record.
    ASSERT_FALSE(node.outputOn());
    node.tx.clear();
    node.send("H1\r");
    ASSERT_TRUE(node.m.runUntil([&] { return !node.tx.empty(); }, fromMillis(20)));
    uart.receive('N', kBusBaud);
    node.m.runFor(kBusChar);
    uart.receive('1', kBusBaud);
    ASSERT_TRUE(node.m.runUntil([&] { return node.tx.size() == 8 && uart.txIdle(); }, fromMillis(20)));
    EXPECT_EQ(node.text(), "e=1808" + kCrLf);
    EXPECT_EQ(uart.overruns(), 1u);
    node.m.runFor(kBusChar);
    EXPECT_EQ(node.exchange("1\r"), "");
    EXPECT_FALSE(node.outputOn());
    EXPECT_EQ(node.exchange("N1\r"), "");  // a clean frame is carried out
    EXPECT_TRUE(node.outputOn());
    EXPECT_EQ(node.resets(), 0u);
}
