// Flash/EE controller (NOR semantics, timing, status, files, power cuts)
// and the VCD writer.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "model_util.h"
#include "vcd.h"

using namespace modeltest;
using sim::Chip;
using sim::CutAction;
using sim::FlashCommand;

namespace {

// One controller command with FEEMOD's enable, waited for as the firmware
// does; returns FEESTA bits 1:0 (0 when the command never finishes).
uint32_t run(Chip& chip, uint32_t cmd, uint32_t adr, uint32_t data = 0, uint32_t mod = FEEMOD_EW) {
    chip.write(FEEMOD.addr, mod);
    chip.write(FEEADR.addr, adr);
    chip.write(FEEDAT.addr, data);
    chip.write(FEECON.addr, cmd);
    uint32_t s;
    while (!((s = chip.read(FEESTA.addr)) & 3)) {
        if (chip.sched().nextDue() == sim::kNever) return 0;
        advanceTo(chip, chip.sched().nextDue());
    }
    return s & 3;
}

uint32_t readBack(Chip& chip, uint32_t adr) {
    EXPECT_EQ(run(chip, FEECON_READ, adr, 0, 0), FEESTA_PASS);
    return chip.read(FEEDAT.addr);
}

std::string tempPath(const char* name) {
    return (std::filesystem::path(testing::TempDir()) / (std::to_string(::getpid()) + name)).string();
}

}  // namespace

TEST(FlashEe, ProgramOnlyClearsBitsAndTakesTheChipsTime) {
    Chip chip;
    chip.write(FEEMOD.addr, FEEMOD_EW);
    chip.write(FEEADR.addr, 0xF000);
    chip.write(FEEDAT.addr, 0x0005);
    chip.write(FEECON.addr, FEECON_WRITE);
    const Ticks t0 = chip.now();
    EXPECT_EQ(chip.read(FEESTA.addr), FEESTA_BUSY);
    advanceTo(chip, t0 + sim::fromMicros(50) - 1);
    EXPECT_EQ(chip.read(FEESTA.addr), FEESTA_BUSY);
    advanceTo(chip, t0 + sim::fromMicros(50));
    EXPECT_EQ(chip.read(FEESTA.addr), FEESTA_PASS);
    EXPECT_EQ(chip.read(FEESTA.addr), 0u);  // cleared by the read

    EXPECT_EQ(run(chip, FEECON_WRITE, 0xF000, 0x0006), FEESTA_PASS);
    EXPECT_EQ(readBack(chip, 0xF000), 0x0004u);
    EXPECT_EQ(chip.flashEe().violations(), 1u);
    EXPECT_TRUE(reported(chip, "flash: programming 0x0006 over 0x0005"));

    // Without the enable, or beyond the 62 kB, a write fails and changes nothing.
    EXPECT_EQ(run(chip, FEECON_WRITE, 0xF002, 0x1234, 0), FEESTA_FAIL);
    EXPECT_EQ(run(chip, FEECON_WRITE, 0xF800, 0x1234), FEESTA_FAIL);
    EXPECT_EQ(readBack(chip, 0xF002), 0xFFFFu);

    // The program image is readable through the controller.
    chip.flash()[0x10] = 0x34;
    chip.flash()[0x11] = 0x12;
    EXPECT_EQ(readBack(chip, 0x10), 0x1234u);
}

TEST(FlashEe, PageEraseSetsExactlyOnePageTo0xFFIn20ms) {
    Chip chip;
    for (uint32_t a : {0xF000u, 0xF1FEu, 0xF200u}) run(chip, FEECON_WRITE, a, 0);
    chip.write(FEEADR.addr, 0xF0A0);  // any byte of the page
    chip.write(FEECON.addr, FEECON_ERASE_PAGE);
    const Ticks t0 = chip.now();
    advanceTo(chip, t0 + sim::fromMillis(20) - 1);
    EXPECT_EQ(chip.read(FEESTA.addr), FEESTA_BUSY);
    EXPECT_EQ(chip.flashEe().halfword(0xF000), 0u);
    advanceTo(chip, t0 + sim::fromMillis(20));
    EXPECT_EQ(chip.read(FEESTA.addr), FEESTA_PASS);
    EXPECT_EQ(readBack(chip, 0xF000), 0xFFFFu);
    EXPECT_EQ(readBack(chip, 0xF1FE), 0xFFFFu);
    EXPECT_EQ(readBack(chip, 0xF200), 0u);
    EXPECT_EQ(chip.flashEe().violations(), 0u);
}

TEST(FlashEe, FilesKeepTheArray) {
    const std::string path = tempPath("flash.bin"), backing = tempPath("backing.bin"),
                      shortFile = tempPath("short.bin");
    std::string err;
    {
        Chip chip;
        run(chip, FEECON_WRITE, 0xF004, 0xBEEF);
        ASSERT_TRUE(chip.flashEe().saveFile(path, err)) << err;
    }
    Chip chip;
    ASSERT_TRUE(chip.flashEe().loadFile(path, err)) << err;
    EXPECT_EQ(readBack(chip, 0xF004), 0xBEEFu);

    std::ofstream(shortFile, std::ios::binary) << "too short";
    EXPECT_FALSE(chip.flashEe().loadFile(shortFile, err));
    EXPECT_NE(err.find("holds 9 bytes"), std::string::npos) << err;
    EXPECT_NE(err.find("63488"), std::string::npos) << err;

    // Write-through: each change is in the file as soon as it is made.
    std::filesystem::remove(backing);
    ASSERT_TRUE(chip.flashEe().setBackingFile(backing, err)) << err;
    run(chip, FEECON_WRITE, 0xF006, 0x0102);
    {
        std::ifstream in(backing, std::ios::binary);
        in.seekg(0xF004);
        char b[4];
        in.read(b, 4);
        EXPECT_EQ(std::string(b, 4), std::string("\xEF\xBE\x02\x01", 4));
    }
    // An existing backing file is loaded.
    Chip other;
    ASSERT_TRUE(other.flashEe().setBackingFile(backing, err)) << err;
    EXPECT_EQ(other.flashEe().halfword(0xF006), 0x0102u);
    for (auto& p : {path, backing, shortFile}) std::filesystem::remove(p);
}

TEST(FlashEe, PowerCutsBeforeAndDuringCommands) {
    Chip chip;
    std::vector<FlashCommand> seen;
    chip.flashEe().beforeCommand = [&](const FlashCommand& c) {
        seen.push_back(c);
        return c.index == 1 ? CutAction::CutBefore : CutAction::None;
    };
    EXPECT_EQ(run(chip, FEECON_WRITE, 0xF000, 0x1234), FEESTA_PASS);
    EXPECT_EQ(run(chip, FEECON_WRITE, 0xF002, 0x0000), 0u);  // never completes
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].offset, 0xF002u);
    EXPECT_EQ(chip.takeResetRequest(), sim::ResetCause::PowerOn);
    EXPECT_EQ(chip.flashEe().halfword(0xF002), 0xFFFFu);
    chip.reset(sim::ResetCause::PowerOn);
    EXPECT_EQ(chip.flashEe().halfword(0xF000), 0x1234u);  // flash survives the power loss
    EXPECT_EQ(chip.flashEe().commandCount(), 2u);

    // Cut half-way: a seeded subset of the bits being cleared is cleared; the
    // same seed gives the same result.
    auto cutDuring = [](uint64_t seed, uint32_t cmd) {
        Chip c;
        c.flashEe().setCutSeed(seed);
        c.flashEe().beforeCommand = [](const FlashCommand&) { return CutAction::CutDuring; };
        run(c, cmd, 0xF200, 0x00FF);
        EXPECT_EQ(c.takeResetRequest(), sim::ResetCause::PowerOn);
        return std::vector<uint8_t>(c.flash() + 0xF200, c.flash() + 0xF400);
    };
    auto a = cutDuring(7, FEECON_WRITE), b = cutDuring(7, FEECON_WRITE);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0], 0xFF);  // the low byte was not to be cleared
    EXPECT_NE(a[1], 0xFF);
    EXPECT_NE(a[1], 0x00);
    auto e = cutDuring(7, FEECON_ERASE_PAGE);
    EXPECT_EQ(e, cutDuring(7, FEECON_ERASE_PAGE));
    EXPECT_NE(e, cutDuring(8, FEECON_ERASE_PAGE));
    EXPECT_NE(std::count(e.begin(), e.end(), 0xFF), 512);
}

TEST(Vcd, RecordsPinLevelsAndDacCodesAtTheirTimes) {
    Chip chip;
    std::ostringstream out;
    sim::VcdWriter vcd(out);
    sim::traceChip(vcd, chip);
    EXPECT_EQ(vcd.addSignal("late", 1), -1);  // values are set: the declarations are closed

    advanceTo(chip, sim::kTicksPerSecond / 100);  // 10 ms
    chip.write(GP0DAT.addr, 0x80800000);
    chip.write(DAC0CON.addr, 0x12);
    chip.write(DAC0DAT.addr, 5u << 16);
    vcd.finish(chip.now());

    const std::string s = out.str();
    auto code = [&](const std::string& name) {
        auto end = s.find(' ' + name + " $end");
        auto start = s.rfind(' ', end - 1);
        return s.substr(start + 1, end - start - 1);
    };
    EXPECT_NE(s.find("$timescale 1 ns $end"), std::string::npos);
    const std::string p07 = code("P0_7"), dac0 = code("DAC0");
    EXPECT_NE(s.find("z" + p07 + "\n"), std::string::npos);  // undriven at the start
    auto at10ms = s.find("#10000000\n");
    ASSERT_NE(at10ms, std::string::npos);
    EXPECT_NE(s.find("1" + p07 + "\n", at10ms), std::string::npos);
    EXPECT_NE(s.find("b101 " + dac0 + "\n", at10ms), std::string::npos);

    // Every signal starts at time 0 with the value it had then, never 'x'
    // followed by that value at the same instant.
    const size_t dump = s.find("$dumpvars\n");
    ASSERT_NE(dump, std::string::npos);
    EXPECT_EQ(s.rfind("\n#", dump), s.find("\n#0\n")) << "the dump does not start at time 0\n" << s;
    const std::string initial = s.substr(dump, s.find("$end", dump) - dump);
    EXPECT_EQ(initial.find('x'), std::string::npos) << initial;
    std::set<std::string> seen;
    std::istringstream lines(s.substr(dump));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '$') continue;
        if (line[0] == '#') {
            seen.clear();
            continue;
        }
        const std::string id = line[0] == 'b' ? line.substr(line.find(' ') + 1) : line.substr(1);
        EXPECT_TRUE(seen.insert(id).second) << "two values of " << id << " at one instant:\n" << s;
    }
}
