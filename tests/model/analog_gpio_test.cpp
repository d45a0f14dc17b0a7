// ADC, DACs and GPIO against a board that records what the chip does.
#include <utility>
#include <vector>

#include "model_util.h"

using namespace modeltest;
using sim::Chip;

namespace {

struct RecordingBoard : sim::Board {
    double volts[32]{};
    uint8_t inputs[5]{};
    std::vector<std::pair<unsigned, Ticks>> samples;
    std::vector<std::pair<unsigned, double>> dacs;
    struct Pins { unsigned port; uint8_t levels, outputs; };
    std::vector<Pins> pins;

    double adcInput(unsigned ch, Ticks t) override {
        samples.emplace_back(ch, t);
        return volts[ch];
    }
    void dacChanged(unsigned dac, double v, Ticks) override { dacs.emplace_back(dac, v); }
    void pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, Ticks) override {
        pins.push_back({port, levels, outputs});
    }
    uint8_t pinInputs(unsigned port, Ticks) override { return inputs[port]; }
};

uint32_t convert(Chip& chip, unsigned channel) {
    chip.write(ADCCP.addr, channel);
    chip.write(ADCCON.addr, 0x6A3);
    while (!chip.read(ADCSTA.addr)) advanceTo(chip, chip.sched().nextDue());
    return chip.read(ADCDAT.addr);
}

}  // namespace

TEST(Adc, ConversionTimingSamplingInstantAndResultBits) {
    Chip chip;
    RecordingBoard board;
    chip.setBoard(&board);
    chip.write(ADCCON.addr, 0x20);
    advance(chip, sim::fromMicros(10));
    chip.write(REFCON.addr, 1);
    chip.write(ADCCON.addr, 0x623);

    board.volts[1] = 1.25;
    chip.write(ADCCP.addr, 1);
    chip.write(ADCCON.addr, 0x6A3);
    const Ticks t0 = chip.now();
    const Ticks total = chip.adc().conversionTime();
    EXPECT_EQ(chip.adc().acquisitionTime(), 8u * 2);  // 8 clocks of 41.78 MHz / 2
    EXPECT_NEAR(sim::toMicros(total), 1.149, 0.001);
    advanceTo(chip, t0 + total - 1);
    EXPECT_EQ(chip.read(ADCSTA.addr), 0u);
    ASSERT_EQ(board.samples.size(), 1u);
    EXPECT_EQ(board.samples[0], std::make_pair(1u, t0 + 16));  // sampled when acquisition ended
    advanceTo(chip, t0 + total);
    EXPECT_NE(chip.read(ADCSTA.addr), 0u);
    EXPECT_EQ(chip.read(ADCDAT.addr), 2048u << 16);
    EXPECT_EQ(chip.read(ADCSTA.addr), 0u);  // reading ADCDAT consumed the result

    board.volts[0] = 2.6;
    EXPECT_EQ(convert(chip, 0), 0x0FFF0000u);
    EXPECT_EQ(convert(chip, 0) >> 16, 4095u);
    board.volts[2] = -0.2;
    EXPECT_EQ(convert(chip, 2), 0u);
    board.volts[16] = 0.78;  // the temperature sensor's volts come from the board too
    EXPECT_EQ(convert(chip, 16) >> 16, 1277u);
    EXPECT_EQ(board.samples.back().first, 16u);
    EXPECT_TRUE(chip.reports().empty());

    // Powered down, nothing converts.
    chip.write(ADCCON.addr, 0x0603);
    chip.write(ADCCON.addr, 0x0683);
    advance(chip, sim::fromMicros(10));
    EXPECT_EQ(chip.read(ADCSTA.addr), 0u);
    EXPECT_TRUE(reported(chip, "powered down"));
}

// Too soon after power-up the result is not a measurement, and says so.
TEST(Adc, ConversionTooSoonAfterPowerUpIsReportedAndInvalid) {
    Chip chip;
    RecordingBoard board;
    chip.setBoard(&board);
    board.volts[1] = 1.25;  // mid-scale: 2048 when converted properly
    chip.write(ADCCON.addr, 0x20);
    EXPECT_EQ(convert(chip, 1) >> 16, sim::Adc::kInvalidCode);
    EXPECT_TRUE(reported(chip, "after power-up"));
    EXPECT_TRUE(reported(chip, "invalid"));
    advance(chip, sim::Adc::kPowerUpTicks);
    const size_t n = chip.reports().size();
    EXPECT_EQ(convert(chip, 1) >> 16, 2048u);
    EXPECT_EQ(chip.reports().size(), n);
}

TEST(Dac, CodeFromBits27To16AndVoltsOfferedToTheBoard) {
    Chip chip;
    RecordingBoard board;
    chip.setBoard(&board);
    chip.write(DAC0CON.addr, 0x12);
    chip.write(DAC1CON.addr, chip.read(DAC0CON.addr));
    chip.write(DAC0DAT.addr, (5u << 16) | 0x8000);  // bit 15 ignored
    EXPECT_EQ(chip.dac().code(0), 5u);
    ASSERT_FALSE(board.dacs.empty());
    EXPECT_EQ(board.dacs.back().first, 0u);
    EXPECT_NEAR(board.dacs.back().second, 5 / 4096.0 * 2.5, 1e-12);

    // One 13-bit regulation code split over the two DACs.
    const uint32_t value = 8089;
    chip.write(DAC0DAT.addr, value << 15);
    chip.write(DAC1DAT.addr, (value + 1) << 15);
    EXPECT_EQ(chip.dac().code(0), 4044u);
    EXPECT_EQ(chip.dac().code(1), 4045u);
    EXPECT_EQ(chip.dac().code(0) + chip.dac().code(1), value);
    EXPECT_EQ(chip.read(DAC1DAT.addr), 4045u << 16);

    chip.write(DAC0CON.addr, 0x02);  // DACCLR low: output held at code 0
    EXPECT_EQ(chip.dac().code(0), 0u);
    EXPECT_EQ(board.dacs.back(), std::make_pair(0u, 0.0));

    // Full scale is one step short of the range.
    chip.write(DAC0CON.addr, 0x12);
    chip.write(DAC0DAT.addr, 4095u << 16);
    EXPECT_NEAR(chip.dac().volts(0), 2.5 * 4095 / 4096, 1e-12);
    // Powered down, the register still takes writes; the output offers 0 V
    // until a range is chosen again.
    chip.write(DAC0CON.addr, 0x10);
    chip.write(DAC0DAT.addr, 100u << 16);
    EXPECT_EQ(chip.read(DAC0DAT.addr), 100u << 16);
    EXPECT_EQ(chip.dac().volts(0), 0.0);
    chip.write(DAC0CON.addr, 0x12);
    EXPECT_NEAR(chip.dac().volts(0), 2.5 * 100 / 4096, 1e-12);
    // A DACxCON write with bit 4 clear clears the data register.
    chip.write(DAC0CON.addr, 0x02);
    EXPECT_EQ(chip.read(DAC0DAT.addr), 0u);
    EXPECT_EQ(chip.dac().code(0), 0u);
    chip.write(DAC0CON.addr, 0x12);
    EXPECT_EQ(chip.dac().code(0), 0u);
}

TEST(Gpio, DataRegisterLayoutSetClearInputsAndBoardNotifications) {
    Chip chip;
    RecordingBoard board;
    chip.setBoard(&board);
    unsigned notified = 0;
    chip.gpio().pinListeners.push_back([&](unsigned) { ++notified; });
    board.inputs[0] = 0x0F;

    chip.write(GP0DAT.addr, 0x80000000);  // P0.7 output, low
    EXPECT_EQ(chip.gpio().directions(0), 0x80);
    EXPECT_FALSE(chip.gpio().pin(0, 7));
    ASSERT_EQ(board.pins.size(), 1u);
    EXPECT_EQ(board.pins[0].outputs, 0x80);
    EXPECT_EQ(board.pins[0].levels, 0x00);

    chip.write(GP0DAT.addr, chip.read(GP0DAT.addr) | 0x00800000);  // read-modify-write: high
    EXPECT_TRUE(chip.gpio().pin(0, 7));
    EXPECT_EQ(board.pins.back().levels, 0x80);
    // Inputs read the board; the output pin reads its own level.
    EXPECT_EQ(chip.read(GP0DAT.addr), 0x80800000u | 0x80 | 0x0F);
    const size_t before = board.pins.size();
    chip.write(GP0DAT.addr, 0x80800000);  // no change, no notification
    EXPECT_EQ(board.pins.size(), before);
    chip.write(GP0CLR.addr, 0x00800000);
    EXPECT_FALSE(chip.gpio().pin(0, 7));
    EXPECT_EQ(chip.gpio().outputLevels(0), 0x00);

    chip.write(GP4DAT.addr, 0x04000000);
    chip.write(GP4SET.addr, 0x00040000);
    EXPECT_TRUE(chip.gpio().pin(4, 2));
    // Output levels of input pins do not reach the pins.
    chip.write(GP4SET.addr, 0x00100000);
    EXPECT_EQ(chip.gpio().outputLevels(4), 0x14);
    EXPECT_FALSE(chip.gpio().pin(4, 4));

    // P1.0 and P1.1 given to the UART do not drive as GPIO.
    chip.write(GP1CON.addr, 0x11);
    chip.write(GP1DAT.addr, 0x07000000);
    EXPECT_EQ(chip.gpio().directions(1), 0x04);
    EXPECT_EQ(chip.gpio().function(1, 1), 1u);
    EXPECT_EQ(notified, board.pins.size());
}
