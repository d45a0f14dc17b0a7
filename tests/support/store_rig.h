// The parameter store of the velmora image, driven inside the simulator: the
// image runs to the entry of main (before boot starts interrupts or the
// watchdog) and the store's routines are called by name. The two pages can be
// read and preset directly, and power can be cut before or half-way through
// any program or erase command.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>

#include "machine.h"
#include "periph/flash_ee.h"
#include "support/chip_reports.h"

namespace store {

inline constexpr uint32_t kPage0 = 0xF000;
inline constexpr uint32_t kPage1 = 0xF200;
inline constexpr uint32_t kPageSize = 0x200;
inline constexpr unsigned kRecords = 127;
inline constexpr uint32_t kVariables[] = {0, 2, 4, 6};
// The routines' results, as the image defines them.
inline constexpr uint32_t kPage0Result = 2, kPage1Result = 3, kNoValidPage = 7;

using Pages = std::array<uint8_t, 2 * kPageSize>;
using Values = std::array<std::optional<uint16_t>, 4>;  // by variable 0, 2, 4, 6

inline uint32_t recordAt(uint32_t page, unsigned k) { return page + 4 + 4 * k; }

class Rig {
public:
    sim::Machine m;
    // Fails the test on a report of the chip that it does not allow.
    nodetest::ReportGuard reports{m.chip()};

    Rig() {
        m.loadElf(VELMORA_ELF);
        // A stop at main stays set: every start (a power-on here, or the one
        // after a power cut inside a call) ends there, with start-up done.
        // Only calls run the core, so its code hooks are never rebuilt.
        main_ = m.symbol("main") & ~1u;
        m.addBreakpoint(main_);
        // A RAM word above everything the image uses and below its stacks.
        scratch_ = (m.symbol("_end") + 0x100) & ~3u;
        boot();
    }

    // Power on with the flash as it is and stop where main begins.
    void boot() {
        m.powerOn();
        startToMain();
    }

    sim::FlashEe& flash() { return m.chip().flashEe(); }

    uint32_t call(const char* routine, std::initializer_list<uint32_t> args = {}) {
        return m.call(routine, args, sim::fromMillis(2000));
    }
    bool ok(const char* routine, std::initializer_list<uint32_t> args = {}) {
        return (call(routine, args) & 0xFF) == 1;
    }
    bool write(uint32_t va, uint32_t value) { return ok("EE_Write", {va, value}); }
    bool format() { return ok("EE_Format"); }
    bool recover() { return ok("EE_Recover"); }
    bool erased() { return ok("EE_Erased"); }

    // EE_Read into a RAM word; a False result must leave the word alone.
    std::optional<uint16_t> read(uint32_t va) {
        constexpr uint32_t kUntouched = 0xC0DE5EED;
        m.write32(scratch_, kUntouched);
        const bool found = ok("EE_Read", {va, scratch_});
        const uint32_t v = m.read32(scratch_);
        if (!found) {
            EXPECT_EQ(v, kUntouched) << "EE_Read changed its target although the variable was absent";
            return std::nullopt;
        }
        EXPECT_LE(v, 0xFFFFu) << "a value is delivered zero-extended";
        return uint16_t(v);
    }
    Values readAll() {
        Values v;
        for (unsigned i = 0; i < 4; ++i) v[i] = read(kVariables[i]);
        return v;
    }

    // ---- The pages themselves ----
    uint16_t hw(uint32_t offset) { return flash().halfword(offset); }
    void setHw(uint32_t offset, uint16_t v) {
        m.chip().flash()[offset] = uint8_t(v);
        m.chip().flash()[offset + 1] = uint8_t(v >> 8);
    }
    std::pair<uint16_t, uint16_t> record(uint32_t page, unsigned k) {
        return {hw(recordAt(page, k)), hw(recordAt(page, k) + 2)};
    }
    void putRecord(uint32_t page, unsigned k, uint16_t data, uint16_t va) {
        setHw(recordAt(page, k), data);
        setHw(recordAt(page, k) + 2, va);
    }
    bool pageBlank(uint32_t page) {
        for (uint32_t a = page; a < page + kPageSize; a += 2)
            if (hw(a) != 0xFFFF) return false;
        return true;
    }
    unsigned usedRecords(uint32_t page) {
        unsigned n = 0;
        for (unsigned k = 0; k < kRecords; ++k)
            if (record(page, k) != std::pair<uint16_t, uint16_t>{0xFFFF, 0xFFFF}) ++n;
        return n;
    }
    Pages pages() {
        Pages p;
        std::memcpy(p.data(), m.chip().flash() + kPage0, p.size());
        return p;
    }
    void setPages(const Pages& p) { std::memcpy(m.chip().flash() + kPage0, p.data(), p.size()); }
    void erasePages() { std::memset(m.chip().flash() + kPage0, 0xFF, 2 * kPageSize); }

    // Program and erase commands issued so far.
    uint64_t commands() { return flash().commandCount(); }
    uint64_t violations() { return flash().violations(); }

    // ---- Power cuts ----
    // Calls the routine and lets `decide` pick, for its n-th program or erase
    // command (counted from 0), whether power fails. True when power failed;
    // the machine has then started again up to main, with the flash as the
    // cut left it.
    using Decide = std::function<sim::CutAction(const sim::FlashCommand&, uint64_t n)>;
    bool callCut(const char* routine, std::initializer_list<uint32_t> args, const Decide& decide) {
        uint64_t n = 0;
        bool cut = false;
        flash().beforeCommand = [&](const sim::FlashCommand& c) {
            if (cut) return sim::CutAction::None;
            const sim::CutAction a = decide(c, n++);
            cut = a != sim::CutAction::None;
            return a;
        };
        bool returned = true;
        std::string why;
        try {
            call(routine, args);
        } catch (const sim::SimError& e) {
            returned = false;
            why = e.what();
        }
        flash().beforeCommand = nullptr;
        if (!returned) {
            EXPECT_EQ(m.pc(), main_) << "power came back and start-up ran: " << why;
        }
        EXPECT_NE(returned, cut) << routine << ": " << why;
        return cut;
    }
    // Cuts at the n-th command of the call.
    bool callCutAt(const char* routine, std::initializer_list<uint32_t> args, uint64_t at, sim::CutAction action) {
        return callCut(routine, args, [=](const sim::FlashCommand&, uint64_t n) {
            return n == at ? action : sim::CutAction::None;
        });
    }

private:
    // Runs from the reset vector to the stop at main.
    void startToMain() {
        try {
            m.callAddress(0, {}, sim::fromMillis(50));
            ADD_FAILURE() << "start-up returned";
        } catch (const sim::SimError& e) {
            ASSERT_EQ(m.pc(), main_) << e.what();
        }
    }

    uint32_t main_ = 0;
    uint32_t scratch_ = 0;
};

}  // namespace store
