// The flash/EE controller: single halfword read (FEECON 1), halfword
// program (2) and 512-byte page erase (5) on the 62 kB array, addressed by
// the byte offset in FEEADR. The array behaves like NOR flash: programming
// only clears bits, erasing sets a page to 0xFF, and both take the chip's
// time. The array can be kept in a file.
#pragma once
#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "chip/peripheral.h"
#include "core/scheduler.h"
#include "core/time.h"

namespace sim {

struct FlashCommand {
    enum class Kind { Program, Erase };
    Kind kind;
    uint32_t offset;  // FEEADR: halfword (program) or any byte of the page (erase)
    uint16_t data;    // FEEDAT of a program
    uint64_t index;   // 0 for the first program/erase since the chip was built
    Ticks time;       // when the command was issued
};

// What a test's power-cut hook decides for one program/erase command.
enum class CutAction {
    None,       // the command runs normally
    CutBefore,  // power fails as the command is issued: nothing changes
    CutDuring,  // power fails half-way: program clears a random subset of
                // its bits, erase leaves the page with random contents
};

class FlashEe : public Peripheral {
public:
    explicit FlashEe(Chip& chip);
    ~FlashEe() override;
    const char* name() const override { return "flash"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    // Command times (see flash_ee.cpp for their source).
    static constexpr Ticks kProgramTicks = fromMicros(50);
    static constexpr Ticks kEraseTicks = fromMillis(20);

    bool busy() const { return busy_; }
    uint16_t halfword(uint32_t offset) const;
    // Program/erase commands issued, cut or not.
    uint64_t commandCount() const { return commands_; }
    // Attempts to program a 0 bit back to 1 (each one is also reported).
    uint64_t violations() const { return violations_; }

    // Called before each program/erase command executes.
    std::function<CutAction(const FlashCommand&)> beforeCommand;
    // Seed of the generator behind CutDuring's partial results.
    void setCutSeed(uint64_t seed) { rng_.seed(seed); }
    // Leaves a command's cells as a power loss half-way through it does (what
    // CutDuring does, without the loss itself): a program clears a random
    // subset of the bits it would clear, an erase leaves the page random.
    void tear(const FlashCommand& c);

    SIM_BLOCK_STATE(std::tie(sta_, mod_, con_, dat_, adr_, pro_, hide_, busy_, event_, commands_, violations_, rng_))

    // The whole 62 kB array as a raw file.
    bool saveFile(const std::string& path, std::string& err) const;
    bool loadFile(const std::string& path, std::string& err);
    // Write-through: an existing file is loaded into the array (it must
    // hold exactly one array), a missing one is created from the array;
    // from then on every change reaches the file at once.
    bool setBackingFile(const std::string& path, std::string& err);
    bool setBackingFile(const std::string& path);
    // Writes the whole array to the backing file (after the array was
    // changed behind the controller, e.g. by loading a program image).
    bool flushBackingFile(std::string& err);
    void closeBackingFile();
    const std::string& backingFile() const { return backingPath_; }

private:
    void command(uint32_t cmd);
    void issue(FlashCommand::Kind kind);
    void execute(const FlashCommand& c);
    void cutDuring(const FlashCommand& c);
    void powerLost(const char* when, const FlashCommand& c);
    void persist(uint32_t offset, uint32_t len);
    void finish(bool pass);

    uint32_t sta_ = 0, mod_ = 0, con_ = 0, dat_ = 0, adr_ = 0;
    uint32_t pro_ = 0xFFFFFFFF, hide_ = 0xFFFFFFFF;
    bool busy_ = false;
    Scheduler::Id event_ = 0;
    uint64_t commands_ = 0, violations_ = 0;
    std::mt19937_64 rng_{0x5EED};
    std::string backingPath_;
    int backingFd_ = -1;
};

}  // namespace sim
