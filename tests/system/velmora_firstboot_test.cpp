// A power cut while the first boot writes the defaults must not leave the
// node with missing parameters (address 0, calibration 0).
#include <gtest/gtest.h>

#include "machine.h"
#include "periph/flash_ee.h"

using namespace sim;

namespace {

struct Params {
    uint32_t address, setting, calibration, flags;
};

// Boots until the command loop cycles; false if it never got there.
bool bootToLoop(Machine& m) {
    const uint32_t ok = m.symbol("ProgramOk");
    m.writeSym("ProgramOk", 0);
    auto r = m.runUntil([&] { return m.read32(ok) == 1; }, fromMillis(1500));
    return r.reason == StopReason::Condition;
}

Params params(Machine& m) {
    return {m.readSym("MyAddress"), m.readSym("HV_Setting"), m.readSym("ADC2HV"), m.readSym("Flags")};
}

TEST(VelmoraFirstBoot, PowerCutWhileWritingDefaultsStillGivesTheDefaults) {
    // How many flash commands a whole first boot issues.
    unsigned total = 0;
    {
        Machine m;
        m.loadElf(VELMORA_ELF);
        ASSERT_TRUE(bootToLoop(m));
        total = unsigned(m.chip().flashEe().commandCount());
        Params p = params(m);
        EXPECT_EQ(p.address, 1u);
        EXPECT_EQ(p.setting, 2200u);
        EXPECT_EQ(p.calibration, 26936u);
        EXPECT_EQ(p.flags, 0u);
    }
    ASSERT_GE(total, 6u) << "format and four defaults";
    for (CutAction how : {CutAction::CutBefore, CutAction::CutDuring}) {
        for (unsigned n = 0; n < total; ++n) {
            Machine m;
            m.loadElf(VELMORA_ELF);
            auto& flash = m.chip().flashEe();
            flash.setCutSeed(n + 1);
            unsigned seen = 0;
            bool cut = false;
            flash.beforeCommand = [&](const FlashCommand&) {
                if (cut || seen++ != n) return CutAction::None;
                cut = true;
                return how;
            };
            const unsigned resets = m.resets();
            ASSERT_TRUE(bootToLoop(m)) << "cut at command " << n;
            ASSERT_TRUE(cut);
            EXPECT_EQ(m.resets(), resets + 1) << "one power cut, then the boot that finished";
            Params p = params(m);
            EXPECT_EQ(p.address, 1u) << "cut " << (how == CutAction::CutBefore ? "before" : "during") << " command " << n;
            EXPECT_EQ(p.setting, 2200u) << "command " << n;
            EXPECT_EQ(p.calibration, 26936u) << "command " << n;
            EXPECT_EQ(p.flags, 0u) << "command " << n;
            EXPECT_EQ(flash.violations(), 0u);
        }
    }
}

}  // namespace
