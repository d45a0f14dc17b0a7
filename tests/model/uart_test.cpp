// UART: bit rate from divisors and core clock, holding/shift register
// timing, receive holding register, overrun and rate mismatch.
#include <vector>

#include "model_util.h"

using namespace modeltest;
using sim::Chip;
using sim::TxByte;

namespace {

void configure(Chip& chip, uint32_t dl, uint32_t comdiv2 = 0) {
    chip.write(GP1CON.addr, 0x11);
    chip.write(COMCON0.addr, COMCON0_DLAB);
    chip.write(COMDIV0.addr, dl & 0xFF);
    chip.write(COMDIV1.addr, dl >> 8);
    if (comdiv2) chip.write(COMDIV2.addr, comdiv2);
    chip.write(COMCON0.addr, 3);
}

struct Line {
    std::vector<TxByte> sent;
    explicit Line(Chip& chip) {
        chip.uart().onTx = [this](const TxByte& b) { sent.push_back(b); };
    }
};

}  // namespace

TEST(Uart, NineSixHundredBaudByteTakesOneCharacterTimeAndSetsTemtAtItsEnd) {
    Chip chip;  // divider 3 out of reset
    configure(chip, 17);
    Line line(chip);
    EXPECT_DOUBLE_EQ(chip.uart().baud(), 9600.0);

    chip.write(COMTX.addr, 'A');
    ASSERT_EQ(line.sent.size(), 1u);
    const TxByte b = line.sent[0];
    EXPECT_EQ(b.value, 'A');
    EXPECT_EQ(b.start, chip.now());
    EXPECT_NEAR(sim::toMillis(b.end - b.start), 1.0417, 0.0001);
    uint32_t sta = chip.read(COMSTA0.addr);
    EXPECT_TRUE(sta & COMSTA0_THRE);
    EXPECT_FALSE(sta & COMSTA0_TEMT);

    advanceTo(chip, b.end - 1);
    EXPECT_FALSE(chip.read(COMSTA0.addr) & COMSTA0_TEMT);
    advanceTo(chip, b.end);
    EXPECT_TRUE(chip.read(COMSTA0.addr) & COMSTA0_TEMT);
    EXPECT_EQ(chip.uart().txCount(), 1u);
}

TEST(Uart, FractionalDividerAndHoldingRegisterInFrontOfTheShiftRegister) {
    Chip chip;
    setPowcon(chip, 0);
    configure(chip, 8, 0x8B55);
    Line line(chip);
    EXPECT_NEAR(chip.uart().baud(), 115213.0, 1.0);
    EXPECT_NEAR(sim::toMicros(chip.uart().charTime()), 86.8, 0.05);

    chip.write(COMTX.addr, 'x');  // straight into the shift register
    EXPECT_TRUE(chip.read(COMSTA0.addr) & COMSTA0_THRE);
    chip.write(COMTX.addr, 'y');  // waits in the holding register
    uint32_t sta = chip.read(COMSTA0.addr);
    EXPECT_FALSE(sta & COMSTA0_THRE);
    EXPECT_FALSE(sta & COMSTA0_TEMT);
    chip.write(COMTX.addr, 'z');  // overwrites it
    EXPECT_TRUE(reported(chip, "holding register was full"));
    EXPECT_EQ(chip.uart().lostTx(), 1u);

    ASSERT_EQ(line.sent.size(), 1u);
    advanceTo(chip, line.sent[0].end);
    ASSERT_EQ(line.sent.size(), 2u);
    EXPECT_EQ(line.sent[1].value, 'z');
    EXPECT_EQ(line.sent[1].start, line.sent[0].end);
    EXPECT_TRUE(chip.read(COMSTA0.addr) & COMSTA0_THRE);
    advanceTo(chip, line.sent[1].end);
    EXPECT_TRUE(chip.read(COMSTA0.addr) & COMSTA0_TEMT);
}

TEST(Uart, ReceiveHoldingRegisterOverrunAndRateMismatch) {
    Chip chip;
    configure(chip, 17);
    auto& uart = chip.uart();

    uart.receive(0xE9, 9600);
    EXPECT_TRUE(chip.read(COMSTA0.addr) & COMSTA0_DR);
    EXPECT_TRUE(chip.read(COMSTA0.addr) & COMSTA0_DR);  // reading the status consumes nothing
    EXPECT_EQ(chip.read(COMRX.addr), 0xE9u);
    EXPECT_FALSE(chip.read(COMSTA0.addr) & COMSTA0_DR);

    // A byte arriving while one waits is lost.
    uart.receive('B', 9600);
    uart.receive('C', 9600);
    EXPECT_EQ(uart.overruns(), 1u);
    uint32_t sta = chip.read(COMSTA0.addr);
    EXPECT_TRUE(sta & COMSTA0_OE);
    EXPECT_FALSE(chip.read(COMSTA0.addr) & COMSTA0_OE);  // cleared by the read
    EXPECT_EQ(chip.read(COMRX.addr), uint32_t('B'));

    // Within 2 % the byte arrives intact; beyond, garbled with a framing error.
    uart.receive('U', 9600 * 1.015);
    EXPECT_EQ(chip.read(COMRX.addr), uint32_t('U'));
    EXPECT_EQ(uart.framingErrors(), 0u);
    uart.receive('U', 9600 * 1.03);
    EXPECT_TRUE(chip.read(COMSTA0.addr) & COMSTA0_FE);
    EXPECT_NE(chip.read(COMRX.addr), uint32_t('U'));
    EXPECT_EQ(uart.framingErrors(), 1u);

    // A change of the core divider changes the rate: 9600 Bd set up at
    // divider 3 becomes 76800 Bd at divider 0, and 9600 Bd bytes are garbled.
    setPowcon(chip, 0);
    EXPECT_DOUBLE_EQ(uart.baud(), 76800.0);
    uart.receive('K', 9600);
    EXPECT_NE(chip.read(COMRX.addr), uint32_t('K'));
    EXPECT_EQ(uart.framingErrors(), 2u);
    EXPECT_EQ(sim::Uart::resample('K', 9600, 9600), 'K');
}

// A break is a 0x00 byte with the break flag, not a framing error.
TEST(Uart, BreakDeliversZeroWithTheBreakFlag) {
    Chip chip;
    configure(chip, 17);
    auto& uart = chip.uart();
    uart.receiveBreak();
    const uint32_t sta = chip.read(COMSTA0.addr);
    EXPECT_EQ(sta & (COMSTA0_DR | COMSTA0_BI | COMSTA0_FE), COMSTA0_DR | COMSTA0_BI);
    EXPECT_FALSE(chip.read(COMSTA0.addr) & COMSTA0_BI);  // cleared by the read, as the other errors
    EXPECT_EQ(chip.read(COMRX.addr), 0u);
    EXPECT_EQ(uart.framingErrors(), 0u);
    EXPECT_EQ(uart.breaks(), 1u);
    // One waiting byte is kept: the break overruns it.
    uart.receive('Q', 9600);
    uart.receiveBreak();
    EXPECT_EQ(chip.read(COMSTA0.addr) & (COMSTA0_OE | COMSTA0_BI), COMSTA0_OE | COMSTA0_BI);
    EXPECT_EQ(chip.read(COMRX.addr), uint32_t('Q'));
}

TEST(Uart, PinsMustBeGivenToTheUart) {
    Chip chip;
    configure(chip, 17);
    chip.write(GP1CON.addr, 0);
    Line line(chip);
    chip.write(COMTX.addr, 'A');
    EXPECT_TRUE(line.sent.empty());
    EXPECT_TRUE(reported(chip, "P1.1 is not the UART output"));
    chip.uart().receive('R', 9600);
    EXPECT_FALSE(chip.uart().rxReady());
    EXPECT_EQ(chip.uart().unroutedRx(), 1u);
}
