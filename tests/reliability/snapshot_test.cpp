// A machine restored from a snapshot goes on exactly as it did the first
// time: the same bytes at the same instants, the same instructions, the same
// state, even after a run that wrote flash, switched pins and reset the chip.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

#include "board/readout_board.h"
#include "machine.h"
#include "periph/flash_ee.h"
#include "periph/gpio.h"
#include "periph/uart.h"

namespace {

struct Record {
    std::string tx;  // value and start of every byte sent
    uint64_t instructions = 0;
    sim::Ticks time = 0;
    std::array<uint32_t, 16> regs{};
    uint32_t cpsr = 0;
    std::string pins;
    bool operator==(const Record&) const = default;
};

// Bytes go in one character apart at the node's own rate.
Record drive(sim::Machine& m, std::string_view input, sim::Ticks after) {
    Record r;
    sim::Uart& u = m.chip().uart();
    u.onTx = [&](const sim::TxByte& b) { r.tx += std::to_string(b.value) + "@" + std::to_string(b.start) + " "; };
    for (char c : input) {
        u.receive(static_cast<uint8_t>(c), u.baud());
        EXPECT_TRUE(m.runFor(u.charTime())) << m.fault().value_or("");
    }
    EXPECT_TRUE(m.runFor(after)) << m.fault().value_or("");
    u.onTx = nullptr;
    r.instructions = m.instructions();
    r.time = m.now();
    for (int i = 0; i < 16; ++i) r.regs[i] = m.reg(i);
    r.cpsr = m.cpsr();
    for (unsigned p : {0u, 1u, 4u}) r.pins += std::to_string(m.chip().gpio().outputLevels(p)) + ",";
    return r;
}

TEST(Snapshot, VelmoraContinuesAlikeAfterFlashWritesOutputAndReset) {
    sim::Machine m;  // the default board: every input at 0 V, so runs repeat exactly
    m.loadElf(VELMORA_ELF);
    ASSERT_TRUE(m.runFor(sim::fromMillis(40)));
    const auto boot = m.save();
    const std::string probe = "0\rA1\r";
    const Record first = drive(m, probe, sim::fromMillis(10));
    ASSERT_NE(first.tx, "") << "node did not answer";

    m.restore(*boot);
    const uint64_t flashCommands = m.chip().flashEe().commandCount();
    const std::array<uint8_t, 1024> storeBefore = [&] {
        std::array<uint8_t, 1024> a{};
        std::copy_n(m.chip().flash() + 0xF000, a.size(), a.begin());
        return a;
    }();
    // Persisted set-point and output, then a software reset.
    drive(m, "0\rV1 1000\r0\rG1\r0\rK1\r", sim::fromMillis(60));
    ASSERT_GT(m.chip().flashEe().commandCount(), flashCommands);
    ASSERT_NE(m.resets(), 0u);

    m.restore(*boot);
    EXPECT_TRUE(std::equal(storeBefore.begin(), storeBefore.end(), m.chip().flash() + 0xF000)) << "flash not restored";
    EXPECT_EQ(m.chip().flashEe().commandCount(), flashCommands);
    EXPECT_EQ(m.readSym("HV_Setting"), 2200u);
    EXPECT_EQ(drive(m, probe, sim::fromMillis(10)), first);
}

TEST(Snapshot, TavloContinuesAlikeAfterAScan) {
    sim::Machine m;
    sim::ReadoutBoard board(7);
    m.loadElf(TAVLO_ELF);
    m.chip().setBoard(&board);
    m.powerOn();
    ASSERT_TRUE(m.runFor(sim::fromMillis(12)));
    const auto idle = m.save();
    const Record first = drive(m, "S1\rA2\rV\r", sim::fromMillis(2));
    EXPECT_NE(first.tx, "");

    m.restore(*idle);
    drive(m, "S1\rD9\rM", sim::fromMillis(50));  // a scan switches every multiplexer line
    m.restore(*idle);
    EXPECT_EQ(m.readSym("IamSelected"), 0u);
    EXPECT_EQ(drive(m, "S1\rA2\rV\r", sim::fromMillis(2)), first);
    m.chip().setBoard(nullptr);
}

}  // namespace
