// The parameter store of velmora, run in the image on the NOR flash model
// (programming only clears bits; power can fail before or half-way through
// any program or erase).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "periph/gpio.h"
#include "support/store_rig.h"

using namespace store;
using sim::CutAction;
using sim::FlashCommand;

namespace {

constexpr Values kDefaults{uint16_t(1), uint16_t(2200), uint16_t(26936), uint16_t(0)};

unsigned indexOf(uint32_t va) { return va / 2; }

struct Store : ::testing::Test {
    Rig rig;

    void TearDown() override {
        EXPECT_EQ(rig.violations(), 0u) << "the store programmed a 0 bit back to 1";
        EXPECT_FALSE(rig.m.fault()) << *rig.m.fault();
    }

    // A formatted store holding the defaults in records 0 to 3 of page 0.
    void formatWithDefaults() {
        ASSERT_TRUE(rig.format());
        for (unsigned i = 0; i < 4; ++i) ASSERT_TRUE(rig.write(kVariables[i], *kDefaults[i]));
    }
    // Writes variable 2 until the active page holds `used` records; returns
    // its last value. A store whose writes never land there fails after a
    // page's worth of writes more than needed, instead of looping.
    uint16_t fillTo(uint32_t page, unsigned used, uint16_t first = 3000) {
        uint16_t v = first;
        for (unsigned budget = used + kRecords; rig.usedRecords(page) < used; --budget) {
            if (budget == 0) {
                ADD_FAILURE() << "page 0x" << std::hex << page << " did not fill up to " << std::dec << used;
                break;
            }
            v++;
            EXPECT_TRUE(rig.write(2, v));
        }
        return v;
    }
    // An erase counter for the calls that follow.
    unsigned* countErases() {
        erases_ = 0;
        rig.flash().beforeCommand = [this](const FlashCommand& c) {
            if (c.kind == FlashCommand::Kind::Erase) ++erases_;
            return CutAction::None;
        };
        return &erases_;
    }

private:
    unsigned erases_ = 0;
};

using Record = std::pair<uint16_t, uint16_t>;  // data, virtual address

TEST_F(Store, BlankFlashFormatAndAppends) {
    ASSERT_TRUE(rig.erased());
    EXPECT_EQ(rig.read(2), std::nullopt);
    EXPECT_FALSE(rig.write(2, 5));
    EXPECT_FALSE(rig.recover()) << "a blank store stays blank, for boot to format";
    EXPECT_TRUE(rig.erased());
    EXPECT_EQ(rig.commands(), 0u) << "nothing may be written to a blank store but by the format";

    ASSERT_TRUE(rig.format());
    EXPECT_EQ(rig.hw(kPage0), 6);
    EXPECT_EQ(rig.hw(kPage0 + 2), 0xFFFF) << "reserved halfword";
    EXPECT_EQ(rig.usedRecords(kPage0), 0u);
    EXPECT_TRUE(rig.pageBlank(kPage1));
    EXPECT_FALSE(rig.erased());
    EXPECT_EQ(rig.call("EE_FindValidPage", {0}), kPage0Result);
    EXPECT_EQ(rig.call("EE_FindValidPage", {1}), kPage0Result);

    ASSERT_TRUE(rig.write(2, 1234));
    EXPECT_EQ(rig.hw(0xF004), 1234);
    EXPECT_EQ(rig.hw(0xF006), 2);
    ASSERT_TRUE(rig.write(2, 4321));
    ASSERT_TRUE(rig.write(4, 0xFFFF));
    ASSERT_TRUE(rig.write(6, 7));
    EXPECT_EQ(rig.record(kPage0, 1), Record(4321, 2));
    EXPECT_EQ(rig.record(kPage0, 2), Record(0xFFFF, 4)) << "0xFFFF is a value like any other";
    EXPECT_EQ(rig.record(kPage0, 3), Record(7, 6));
    EXPECT_EQ(rig.read(2), 4321) << "the newest record wins";
    EXPECT_EQ(rig.read(4), 0xFFFF);
    EXPECT_EQ(rig.read(6), 7);
    EXPECT_EQ(rig.read(0), std::nullopt);
    EXPECT_EQ(rig.hw(kPage0 + 2), 0xFFFF);
    EXPECT_TRUE(rig.recover());
    EXPECT_EQ(rig.record(kPage0, 4), Record(0xFFFF, 0xFFFF));

    // Formatting a used store empties it, whatever the second page held.
    rig.putRecord(kPage1, 9, 0x1111, 2);
    const uint64_t before = rig.commands();
    ASSERT_TRUE(rig.format());
    EXPECT_EQ(rig.hw(kPage0), 6);
    EXPECT_EQ(rig.usedRecords(kPage0), 0u);
    EXPECT_TRUE(rig.pageBlank(kPage1));
    EXPECT_EQ(rig.read(2), std::nullopt);
    EXPECT_GE(rig.commands() - before, 2u);
}

TEST_F(Store, FullPagesTransferBackAndForth) {
    formatWithDefaults();
    const uint16_t last2 = fillTo(kPage0, kRecords);
    EXPECT_EQ(rig.record(kPage0, 126), Record(last2, 2));
    EXPECT_EQ(rig.call("EE_VerifyPageFullWriteVariable", {4, 1}), 8u) << "PAGE_FULL";

    unsigned* erases = countErases();
    ASSERT_TRUE(rig.write(2, 777));
    EXPECT_EQ(*erases, 1u);
    EXPECT_EQ(rig.hw(kPage1), 6) << "the new page reads as the format's valid status";
    EXPECT_EQ(rig.hw(kPage1 + 2), 0xFFFF);
    EXPECT_EQ(rig.record(kPage1, 0), Record(777, 2)) << "the new value first";
    EXPECT_EQ(rig.record(kPage1, 1), Record(1, 0));
    EXPECT_EQ(rig.record(kPage1, 2), Record(26936, 4));
    EXPECT_EQ(rig.record(kPage1, 3), Record(0, 6));
    EXPECT_EQ(rig.usedRecords(kPage1), 4u);
    EXPECT_TRUE(rig.pageBlank(kPage0));
    EXPECT_EQ(rig.call("EE_FindValidPage", {0}), kPage1Result);
    EXPECT_EQ(rig.readAll(), (Values{uint16_t(1), uint16_t(777), uint16_t(26936), uint16_t(0)}));

    ASSERT_TRUE(rig.write(4, 5));
    EXPECT_EQ(rig.hw(0xF214), 5);
    EXPECT_EQ(rig.hw(0xF216), 4);

    // And back to page 0 the same way.
    const uint16_t last = fillTo(kPage1, kRecords, 9000);
    ASSERT_TRUE(rig.write(6, 1));
    EXPECT_EQ(*erases, 2u);
    EXPECT_EQ(rig.hw(kPage0), 6);
    EXPECT_EQ(rig.record(kPage0, 0), Record(1, 6));
    EXPECT_EQ(rig.record(kPage0, 1), Record(1, 0));
    EXPECT_EQ(rig.record(kPage0, 2), Record(last, 2));
    EXPECT_EQ(rig.record(kPage0, 3), Record(5, 4));
    EXPECT_TRUE(rig.pageBlank(kPage1));
    EXPECT_EQ(rig.readAll(), (Values{uint16_t(1), last, uint16_t(5), uint16_t(1)}));
    EXPECT_TRUE(rig.recover());
    EXPECT_EQ(rig.readAll(), (Values{uint16_t(1), last, uint16_t(5), uint16_t(1)}));
}

TEST_F(Store, TransferCarriesOnlyVariablesThatHaveRecords) {
    ASSERT_TRUE(rig.format());
    ASSERT_TRUE(rig.write(0, 9));
    ASSERT_TRUE(rig.write(6, 3));
    fillTo(kPage0, kRecords);
    ASSERT_TRUE(rig.write(6, 4));
    EXPECT_EQ(rig.record(kPage1, 0), Record(4, 6));
    EXPECT_EQ(rig.record(kPage1, 1), Record(9, 0));
    EXPECT_EQ(rig.record(kPage1, 2).second, 2);
    EXPECT_EQ(rig.usedRecords(kPage1), 3u);
    EXPECT_EQ(rig.read(4), std::nullopt);
}

TEST_F(Store, StatusWithLowByte6IsValidWhateverItsHighByte) {
    for (const uint32_t page : {kPage0, kPage1}) {
        for (const uint16_t status : {uint16_t(0x1206), uint16_t(0xFF06), uint16_t(0x0006)}) {
            SCOPED_TRACE(testing::Message() << "page 0x" << std::hex << page << " status 0x" << status);
            rig.erasePages();
            rig.setHw(page, status);
            rig.putRecord(page, 0, 42, 2);
            rig.putRecord(page, 1, 43, 4);
            EXPECT_EQ(rig.call("EE_FindValidPage", {0}), page == kPage0 ? kPage0Result : kPage1Result);
            EXPECT_EQ(rig.read(2), 42);
            EXPECT_TRUE(rig.recover());
            EXPECT_EQ(rig.read(4), 43);
            ASSERT_TRUE(rig.write(6, 44));
            EXPECT_EQ(rig.record(page, 2), Record(44, 6));
            EXPECT_EQ(rig.read(6), 44);
        }
    }
}

TEST_F(Store, SetWritesOnlyWhatChanged) {
    if (!rig.m.findSymbol("EE_Set")) GTEST_SKIP() << "EE_Set is not in this image yet";
    ASSERT_TRUE(rig.format());
    const auto set = [&](uint32_t va, uint32_t v) {
        const uint64_t before = rig.commands();
        rig.call("EE_Set", {va, v});
        return rig.commands() - before;
    };
    EXPECT_GT(set(2, 100), 0u) << "a variable without a record is written";
    EXPECT_EQ(set(2, 100), 0u) << "an equal value costs nothing";
    EXPECT_EQ(rig.usedRecords(kPage0), 1u);
    EXPECT_GT(set(2, 101), 0u);
    EXPECT_GT(set(0, 0), 0u) << "absent is not the same as 0";
    EXPECT_EQ(rig.read(2), 101);
    EXPECT_EQ(rig.usedRecords(kPage0), 3u);
}

// A full page 0 as the older store leaves it: defaults, then variable 2
// rewritten up to 3123.
void fullOldPage(Rig& rig, uint32_t page, uint16_t status) {
    rig.setHw(page, status);
    for (unsigned i = 0; i < 4; ++i) rig.putRecord(page, i, *kDefaults[i], uint16_t(kVariables[i]));
    for (unsigned k = 4; k < kRecords; ++k) rig.putRecord(page, k, uint16_t(3000 + k - 3), 2);
}

TEST_F(Store, OlderStoresCutOffInATransferAreRecovered) {
    const Values old{uint16_t(1), uint16_t(3123), uint16_t(26936), uint16_t(0)};
    const Values moved{uint16_t(1), uint16_t(999), uint16_t(26936), uint16_t(0)};
    for (const uint32_t from : {kPage0, kPage1}) {
        const uint32_t to = from == kPage0 ? kPage1 : kPage0;
        // Cut off while copying: (6, 5) or (5, 6). Reads see the full page;
        // the new value and one copy sit in the receiving page.
        {
            SCOPED_TRACE(testing::Message() << "valid page 0x" << std::hex << from << " and one marked 5");
            rig.erasePages();
            fullOldPage(rig, from, 6);
            rig.setHw(to, 5);
            rig.putRecord(to, 0, 999, 2);
            rig.putRecord(to, 1, 1, 0);
            EXPECT_EQ(rig.readAll(), old);
            EXPECT_TRUE(rig.recover());
            const Values got = rig.readAll();
            EXPECT_TRUE(got == old || got == moved);
            EXPECT_EQ(rig.hw(from), 6);
            EXPECT_TRUE(rig.pageBlank(to));
        }
        // Cut off after erasing the full page: (5, 0xFFFF) or (0xFFFF, 5);
        // no page reads as valid and the store is not blank.
        {
            SCOPED_TRACE(testing::Message() << "only page 0x" << std::hex << from << ", marked 5");
            rig.erasePages();
            rig.setHw(from, 5);
            for (unsigned i = 0; i < 4; ++i)
                rig.putRecord(from, i, *moved[(i + 1) % 4], uint16_t(kVariables[(i + 1) % 4]));
            EXPECT_EQ(rig.read(2), std::nullopt);
            EXPECT_FALSE(rig.erased());
            EXPECT_TRUE(rig.recover());
            EXPECT_EQ(rig.readAll(), moved);
            EXPECT_EQ(rig.hw(to), 6);
            EXPECT_TRUE(rig.pageBlank(from));
        }
        // Cut off in the erase of the full page, torn so that it still reads
        // valid: random contents, or erased all but its status. The page
        // marked 5 has the records and wins.
        std::mt19937 rng(from);
        for (const bool random : {true, false}) {
            SCOPED_TRACE(testing::Message() << "page 0x" << std::hex << from << " marked 5, the other torn "
                                            << (random ? "at random" : "to an empty valid page"));
            rig.erasePages();
            rig.setHw(from, 5);
            for (unsigned i = 0; i < 4; ++i)
                rig.putRecord(from, i, *moved[(i + 1) % 4], uint16_t(kVariables[(i + 1) % 4]));
            if (random)
                for (uint32_t a = to; a < to + kPageSize; a += 2) rig.setHw(a, uint16_t(rng()));
            rig.setHw(to, random ? uint16_t((rng() & 0xFF00) | 6) : 6);
            rig.boot();
            EXPECT_TRUE(rig.recover());
            EXPECT_EQ(rig.readAll(), moved);
            EXPECT_EQ(rig.hw(to), 6);
            EXPECT_TRUE(rig.pageBlank(from));
        }
        // Either way the store goes on: a full page's worth of writes and a transfer.
        uint16_t v = 0;
        for (unsigned i = 0; i < kRecords + 3; ++i) ASSERT_TRUE(rig.write(2, v = uint16_t(5000 + i)));
        EXPECT_EQ(rig.read(2), v);
        EXPECT_EQ(rig.read(4), 26936);
    }
    // (6, 6), which the older store never produced: page 0 is read and kept.
    rig.erasePages();
    fullOldPage(rig, kPage0, 6);
    rig.setHw(kPage1, 6);
    rig.putRecord(kPage1, 0, 55, 2);
    EXPECT_TRUE(rig.recover());
    EXPECT_EQ(rig.readAll(), old);
    EXPECT_TRUE(rig.write(2, 56));
    EXPECT_EQ(rig.read(2), 56);
}

TEST_F(Store, TornAddressNeverNamesAnotherVariable) {
    formatWithDefaults();
    const Pages start = rig.pages();
    unsigned torn = 0;
    for (const uint32_t va : kVariables) {
        for (uint64_t seed = 1; seed <= 12; ++seed) {
            // Commands of a plain write: data, then the address in two programs.
            for (const uint64_t at : {0u, 1u, 2u}) {
                rig.setPages(start);
                rig.boot();
                rig.flash().setCutSeed(seed * 7 + at);
                ASSERT_TRUE(rig.callCutAt("EE_Write", {va, 0xBEEF}, at, CutAction::CutDuring));
                const uint16_t address = rig.record(kPage0, 4).second;
                if (address != 0xFFFF && address != va) {
                    ++torn;
                    EXPECT_EQ(address & 1, 1) << "a torn address must be odd, is 0x" << std::hex << address;
                }
                rig.boot();
                EXPECT_TRUE(rig.recover());
                const Values got = rig.readAll();
                for (unsigned i = 0; i < 4; ++i) {
                    if (kVariables[i] == va) EXPECT_TRUE(got[i] == kDefaults[i] || got[i] == 0xBEEF);
                    else EXPECT_EQ(got[i], kDefaults[i]) << "variable " << kVariables[i] << " after a torn write of " << va;
                }
                ASSERT_TRUE(rig.write(va, 0x0123));
                EXPECT_EQ(rig.read(va), 0x0123);
            }
        }
    }
    EXPECT_GT(torn, 10u) << "the cuts should leave torn addresses to look at";
}

TEST_F(Store, TornEraseLeavesNoPageThatCounts) {
    formatWithDefaults();
    fillTo(kPage0, kRecords);
    // A transfer cut off just before it erases the full page.
    ASSERT_TRUE(rig.callCut("EE_Write", {2, 777}, [](const FlashCommand& c, uint64_t) {
        return c.kind == FlashCommand::Kind::Erase ? CutAction::CutBefore : CutAction::None;
    }));
    const Pages cut = rig.pages();
    const Values moved{uint16_t(1), uint16_t(777), uint16_t(26936), uint16_t(0)};

    std::mt19937 rng(7);
    // Whatever the half-erased page's status reads: each format value, the
    // surviving page's own, anything else.
    std::vector<uint16_t> statuses{0x0006, 0x0005, 0xFF06, 0x1205, 0xFFFF, 0x0000, rig.hw(kPage1)};
    for (int i = 0; i < 24; ++i) statuses.push_back(uint16_t(rng()));
    for (const bool blankRecords : {false, true}) {
        for (const uint16_t status : statuses) {
            SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << status << (blankRecords ? ", records erased" : ", random records"));
            rig.setPages(cut);
            for (uint32_t a = kPage0 + 2; a < kPage0 + kPageSize; a += 2)
                rig.setHw(a, blankRecords ? 0xFFFF : uint16_t(rng()));
            rig.setHw(kPage0, status);
            rig.boot();
            EXPECT_TRUE(rig.recover());
            EXPECT_EQ(rig.readAll(), moved);
            EXPECT_TRUE(rig.pageBlank(kPage0));
            EXPECT_EQ(rig.hw(kPage1), 6);
            ASSERT_TRUE(rig.write(4, 1));
            EXPECT_EQ(rig.read(4), 1);
        }
    }
    // The model's own half-done erases, and a second one during recovery.
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        rig.setPages(cut);
        rig.boot();
        rig.flash().setCutSeed(seed);
        ASSERT_TRUE(rig.callCut("EE_Recover", {}, [](const FlashCommand& c, uint64_t) {
            return c.kind == FlashCommand::Kind::Erase ? CutAction::CutDuring : CutAction::None;
        }));
        EXPECT_FALSE(rig.pageBlank(kPage0));
        rig.boot();
        EXPECT_TRUE(rig.recover());
        EXPECT_EQ(rig.readAll(), moved);
    }
}

TEST_F(Store, BootFinishesACutTransferBeforeItLoadsTheParameters) {
    formatWithDefaults();
    ASSERT_TRUE(rig.write(2, 1500));
    fillTo(kPage0, kRecords, 100);
    // Switching the output on costs a transfer, cut off before the full
    // page is erased: reads of the pages as they stand still see it off.
    ASSERT_TRUE(rig.callCut("EE_Write", {6, 1}, [](const FlashCommand& c, uint64_t) {
        return c.kind == FlashCommand::Kind::Erase ? CutAction::CutBefore : CutAction::None;
    }));
    EXPECT_EQ(rig.read(6), 0);

    rig.m.clearBreakpoints();
    rig.m.powerOn();
    rig.m.runFor(sim::fromMillis(60));
    ASSERT_FALSE(rig.m.fault()) << *rig.m.fault();
    EXPECT_EQ(rig.m.readSym("Flags"), 1u);
    EXPECT_EQ(rig.m.readSym("MyAddress"), 1u);
    EXPECT_EQ(rig.m.readSym("ADC2HV"), 26936u);
    EXPECT_EQ(rig.hw(kPage1), 6);
    EXPECT_TRUE(rig.pageBlank(kPage0));
    EXPECT_EQ(rig.m.chip().gpio().outputLevels(1) & (1u << 2), 1u << 2) << "P1.2: output on at boot";
}

// One write of the sequence: what the flash and the variables were before it,
// and the program and erase commands it issued.
struct Command {
    FlashCommand::Kind kind;
    uint32_t offset;
    uint16_t data, old;
};
struct Step {
    uint32_t va;
    uint16_t value;
    Pages before;
    Values old;
    std::vector<Command> commands;
};

// A power failure at one command: before it, half-way with the model's
// random result, or half-way with a chosen result (a program part-way
// leaves a value between the old one and the one being programmed).
struct Cut {
    CutAction action;
    uint64_t seed = 0;
    std::optional<uint16_t> torn = std::nullopt;
};

// Power fails at every command: before it, half-way, and for a program with
// each result one bit short of done (in the long run also one bit into it,
// and more random half-way results).
std::vector<Cut> cutsAt(const Command& c, bool longRun) {
    std::vector<Cut> cuts{{CutAction::CutBefore}};
    for (uint64_t seed = 1; seed <= (longRun ? 8u : 1u); ++seed) cuts.push_back({CutAction::CutDuring, seed});
    if (c.kind == FlashCommand::Kind::Program) {
        for (unsigned b = 0; b < 16; ++b) {
            const uint16_t bit = uint16_t(1u << b);
            if (!(c.old & ~c.data & bit)) continue;
            cuts.push_back({CutAction::CutDuring, 0, uint16_t(c.data | bit)});
            if (longRun) cuts.push_back({CutAction::CutDuring, 0, uint16_t(c.old & ~bit)});
        }
    }
    return cuts;
}

TEST_F(Store, PowerCutAtEveryFlashCommandOfTwoTransfers) {
    const bool longRun = std::getenv("STORE_CUTS_LONG") != nullptr;
    formatWithDefaults();
    fillTo(kPage0, kRecords - 6);

    // The sequence once without cuts.
    std::vector<Step> steps;
    Values current = rig.readAll();
    unsigned transfers = 0;
    uint32_t activePage = kPage0;
    unsigned afterSecond = 0;
    for (unsigned i = 0; afterSecond < 5; ++i) {
        ASSERT_LT(i, 4 * kRecords) << "two transfers expected by now";
        const uint32_t va = kVariables[(i * 3 + 1) % 4];
        const uint16_t value = i % 41 == 40 ? 0xFFFF : uint16_t(0x1000 + 37 * i);
        Step s{va, value, rig.pages(), current, {}};
        rig.flash().beforeCommand = [&](const FlashCommand& c) {
            s.commands.push_back({c.kind, c.offset, c.data, rig.hw(c.offset & ~1u)});
            return CutAction::None;
        };
        ASSERT_TRUE(rig.write(va, value));
        rig.flash().beforeCommand = nullptr;
        current[indexOf(va)] = value;
        steps.push_back(s);
        const uint32_t page = rig.call("EE_FindValidPage", {0}) == kPage1Result ? kPage1 : kPage0;
        if (page != activePage) ++transfers, activePage = page;
        if (transfers == 2) ++afterSecond;
    }
    ASSERT_EQ(transfers, 2u);
    ASSERT_EQ(rig.readAll(), current);

    unsigned points = 0, lost = 0;
    // After a cut: power on, recover; each variable holds its value from
    // before or after the write, and the store takes the next write.
    const auto check = [&](const Step& s, const char* what) {
        bool ok = true;
        rig.boot();
        ok &= rig.recover();
        const Values got = rig.readAll();
        for (unsigned i = 0; i < 4; ++i)
            ok &= got[i] == s.old[i] || (kVariables[i] == s.va && got[i] == s.value);
        const uint16_t next = uint16_t(s.value ^ 0x5A5A);
        ok &= rig.write(s.va, next);
        ok &= rig.read(s.va) == next;
        ++points;
        if (!ok && ++lost <= 5) ADD_FAILURE() << what << ": write of " << s.va << " = " << s.value << " lost a value";
    };
    const auto cutAt = [&](const char* routine, std::initializer_list<uint32_t> args, uint64_t at, const Cut& cut) {
        return rig.callCut(routine, args, [&](const FlashCommand& c, uint64_t n) {
            if (n != at) return CutAction::None;
            if (!cut.torn) {
                rig.flash().setCutSeed(cut.seed * 7919 + points);
                return cut.action;
            }
            rig.setHw(c.offset & ~1u, *cut.torn);
            return CutAction::CutBefore;
        });
    };

    // After a cut inside a transfer, a second one at every command of the
    // recovery (after every cut in the long run).
    for (const Step& s : steps) {
        const bool transfer = s.commands.size() > 3;
        for (uint64_t at = 0; at < s.commands.size(); ++at) {
            for (const Cut& cut : cutsAt(s.commands[at], longRun)) {
                rig.setPages(s.before);
                rig.boot();
                ASSERT_TRUE(cutAt("EE_Write", {s.va, s.value}, at, cut));
                const Pages afterCut = rig.pages();
                check(s, transfer ? "cut in a transfer" : "cut in a write");
                if (!longRun && (!transfer || cut.torn)) continue;
                rig.setPages(afterCut);
                rig.boot();
                const uint64_t c0 = rig.commands();
                rig.recover();
                const uint64_t recoveryCommands = rig.commands() - c0;
                for (uint64_t r = 0; r < recoveryCommands; ++r) {
                    for (const CutAction again : {CutAction::CutBefore, CutAction::CutDuring}) {
                        rig.setPages(afterCut);
                        rig.boot();
                        ASSERT_TRUE(cutAt("EE_Recover", {}, r, {again, r + 1}));
                        check(s, "second cut, in the recovery");
                    }
                }
            }
        }
    }
    std::printf("[ store    ] %zu writes, %u transfers: %u reset points, %u lost a value%s\n", steps.size(),
                transfers, points, lost, longRun ? " (long run)" : "");
    EXPECT_EQ(lost, 0u);
    EXPECT_GT(points, 1000u);
}

TEST_F(Store, WearOfFiveThousandChangingWrites) {
    formatWithDefaults();
    unsigned* erases = countErases();
    constexpr unsigned kWrites = 5000;
    Values expect = kDefaults;
    for (unsigned i = 0; i < kWrites; ++i) {
        const uint32_t va = kVariables[i % 4];
        const uint16_t v = uint16_t(*expect[indexOf(va)] + 1 + i);
        ASSERT_TRUE(rig.write(va, v)) << i;
        expect[indexOf(va)] = v;
    }
    EXPECT_EQ(rig.readAll(), expect);
    std::printf("[ store    ] %u changing writes: %u page erases\n", kWrites, *erases);
    EXPECT_LE(*erases, (kWrites + kRecords - 1) / kRecords + 1);
}

}  // namespace

// A torn erase of a page next to the valid one, in the one case in 256 where
// its status reads 6: both pages claim to be valid, and the page the store
// wrote is kept, whichever of the two it is.
TEST_F(Store, TornEraseReadingSixNextToTheValidPageLosesNothing) {
    formatWithDefaults();
    const uint16_t last = fillTo(kPage0, kRecords);
    ASSERT_TRUE(rig.write(2, 777));  // transfer: page 1 is now the valid page
    ASSERT_EQ(rig.hw(kPage1), 6);
    ASSERT_TRUE(rig.pageBlank(kPage0));
    const Pages onPage1 = rig.pages();
    const Values moved{uint16_t(1), uint16_t(777), uint16_t(26936), uint16_t(0)};
    // And the mirror case: page 0 valid, page 1 torn.
    rig.erasePages();
    formatWithDefaults();
    ASSERT_TRUE(rig.write(2, last));
    const Pages onPage0 = rig.pages();
    const Values kept{uint16_t(1), last, uint16_t(26936), uint16_t(0)};

    std::mt19937 rng(11);
    for (const bool validOnPage1 : {true, false}) {
        const uint32_t torn = validOnPage1 ? kPage0 : kPage1, valid = validOnPage1 ? kPage1 : kPage0;
        for (int i = 0; i < 16; ++i) {
            // Random contents, its status's low byte 6; the first two are the
            // store's own valid statuses over random records.
            const uint16_t status = i == 0 ? 0x0006 : i == 1 ? 0xA506 : uint16_t((rng() & 0xFF00) | 6);
            SCOPED_TRACE(testing::Message() << "valid page 0x" << std::hex << valid << ", torn status 0x" << status);
            rig.setPages(validOnPage1 ? onPage1 : onPage0);
            for (uint32_t a = torn; a < torn + kPageSize; a += 2) rig.setHw(a, uint16_t(rng()));
            rig.setHw(torn, status);
            rig.boot();
            EXPECT_TRUE(rig.recover());
            EXPECT_EQ(rig.readAll(), validOnPage1 ? moved : kept);
            EXPECT_TRUE(rig.pageBlank(torn));
            EXPECT_EQ(rig.hw(valid), 6);
            // Recovery once more has nothing left to do.
            const uint64_t before = rig.commands();
            EXPECT_TRUE(rig.recover());
            EXPECT_EQ(rig.commands(), before);
        }
        // A torn page that kept the reserved halfword and reads as an empty
        // valid page still loses to the page with the records.
        rig.setPages(validOnPage1 ? onPage1 : onPage0);
        for (uint32_t a = torn; a < torn + kPageSize; a += 2) rig.setHw(a, 0xFFFF);
        rig.setHw(torn, 0x0006);
        rig.boot();
        EXPECT_TRUE(rig.recover());
        EXPECT_EQ(rig.readAll(), validOnPage1 ? moved : kept);
    }
}

// The page table of the stored format, pinned on hand-built pages with no
// recovery run first: which page a read takes, where a write lands, for
// every pair of page statuses the format knows.
TEST_F(Store, StatusPairsChooseTheReadAndWritePagesWithoutRecovery) {
    constexpr int kNone = -1;
    struct Case {
        uint16_t status0, status1;
        int read, write;  // 0, 1 or kNone
    };
    const Case cases[] = {
        {0xFFFF, 0xFFFF, kNone, kNone}, {6, 0xFFFF, 0, 0}, {0xFFFF, 6, 1, 1}, {6, 5, 0, 1},
        {5, 6, 1, 0},                   {5, 0xFFFF, kNone, kNone},          {0xFFFF, 5, kNone, kNone},
        {6, 6, 0, 1},
    };
    const uint32_t pages[] = {kPage0, kPage1};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "statuses (0x" << std::hex << c.status0 << ", 0x" << c.status1 << ")");
        rig.erasePages();
        rig.setHw(kPage0, c.status0);
        rig.setHw(kPage1, c.status1);
        rig.putRecord(kPage0, 0, 100, 2);
        rig.putRecord(kPage1, 0, 200, 2);
        rig.boot();
        const uint32_t findRead = rig.call("EE_FindValidPage", {0}) & 0xFF;
        const uint32_t findWrite = rig.call("EE_FindValidPage", {1}) & 0xFF;
        EXPECT_EQ(findRead, c.read == kNone ? kNoValidPage : c.read == 0 ? kPage0Result : kPage1Result);
        EXPECT_EQ(findWrite, c.write == kNone ? kNoValidPage : c.write == 0 ? kPage0Result : kPage1Result);
        EXPECT_EQ(rig.read(2), c.read == kNone ? std::nullopt : std::optional<uint16_t>(c.read == 0 ? 100 : 200));
        const uint32_t result = rig.call("EE_VerifyPageFullWriteVariable", {4, 0x1234}) & 0xFF;
        EXPECT_EQ(result, c.write == kNone ? kNoValidPage : 1u);  // FLASH_COMPLETE
        for (int p = 0; p < 2; ++p)
            EXPECT_EQ(rig.record(pages[p], 1), p == c.write ? Record(0x1234, 4) : Record(0xFFFF, 0xFFFF)) << "page " << p;
        EXPECT_EQ(rig.hw(kPage0), c.status0);  // the write touches no status
        EXPECT_EQ(rig.hw(kPage1), c.status1);
    }
}
