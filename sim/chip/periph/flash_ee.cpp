#include "chip/periph/flash_ee.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "chip/chip.h"
#include "aduc702x.h"
#include "chip/periph/format.h"

namespace sim {

// Timing and status, from the ADuC702x datasheet's flash/EE control
// interface: a halfword write (FEECON 2) takes 50 us and a page erase
// (FEECON 5) 20 ms (its mass erase of all 124 pages takes 2.48 s, the same
// 20 ms a page); FEESTA bit 2 is set while the controller is busy, and the
// pass (bit 0) and fail (bit 1) flags clear when FEESTA is read. A single
// read has no figure there and completes at once. FEEMOD bit 3 must be set
// for a write or an erase.

static_assert(Chip::kFlashSize == FLASH_SIZE);

FlashEe::FlashEe(Chip& chip) : Peripheral(chip) {}

FlashEe::~FlashEe() { closeBackingFile(); }

std::vector<uint32_t> FlashEe::registers() const {
    return {FEESTA.addr, FEEMOD.addr, FEECON.addr, FEEDAT.addr,
            FEEADR.addr, FEESIGN.addr, FEEPRO.addr, FEEHIDE.addr};
}

void FlashEe::reset(ResetCause) {
    if (event_) chip_.sched().cancel(event_);
    event_ = 0;
    busy_ = false;
    sta_ = mod_ = con_ = dat_ = adr_ = 0;
    pro_ = hide_ = 0xFFFFFFFF;
}

uint16_t FlashEe::halfword(uint32_t offset) const {
    offset &= ~1u;
    if (offset + 1 >= FLASH_SIZE) return 0xFFFF;
    const uint8_t* f = chip_.flash();
    return uint16_t(f[offset] | (f[offset + 1] << 8));
}

uint32_t FlashEe::read(uint32_t addr) {
    if (addr == FEESTA.addr) {
        uint32_t v = sta_;
        sta_ &= ~(FEESTA_PASS | FEESTA_FAIL);
        return v;
    }
    if (addr == FEEMOD.addr) return mod_;
    if (addr == FEECON.addr) return con_;
    if (addr == FEEDAT.addr) return dat_;
    if (addr == FEEADR.addr) return adr_;
    if (addr == FEEPRO.addr) return pro_;
    if (addr == FEEHIDE.addr) return hide_;
    return 0;  // FEESIGN: the signature command is not modelled
}

void FlashEe::write(uint32_t addr, uint32_t value) {
    if (addr == FEEMOD.addr) {
        mod_ = value & 0xFFFF;
    } else if (addr == FEECON.addr) {
        command(value & 0xFF);
    } else if (addr == FEEDAT.addr) {
        dat_ = value & 0xFFFF;
    } else if (addr == FEEADR.addr) {
        adr_ = value & 0xFFFF;
    } else if (addr == FEEPRO.addr || addr == FEEHIDE.addr) {
        (addr == FEEPRO.addr ? pro_ : hide_) = value;
        if (value != 0xFFFFFFFF) chip_.report("flash: write protection is not modelled");
    }
}

void FlashEe::finish(bool pass) {
    busy_ = false;
    sta_ = (sta_ & ~FEESTA_BUSY) | (pass ? FEESTA_PASS : FEESTA_FAIL);
}

void FlashEe::command(uint32_t cmd) {
    con_ = cmd;
    if (busy_) {
        chip_.report(strf("flash: FEECON 0x%02X written while a command runs; ignored, pc 0x%08X", cmd, chip_.pc));
        return;
    }
    sta_ &= ~(FEESTA_PASS | FEESTA_FAIL);
    bool inside = adr_ < FLASH_SIZE;
    switch (cmd) {
        case FEECON_READ:
            if (inside) dat_ = halfword(adr_);
            finish(inside);
            break;
        case FEECON_WRITE:
        case FEECON_ERASE_PAGE:
            if (!(mod_ & FEEMOD_EW)) {
                chip_.trace("flash: write/erase without FEEMOD bit 3 fails");
                finish(false);
            } else if (!inside) {
                chip_.trace(strf("flash: FEEADR 0x%04X lies beyond the flash; command fails", adr_));
                finish(false);
            } else {
                issue(cmd == FEECON_WRITE ? FlashCommand::Kind::Program : FlashCommand::Kind::Erase);
            }
            break;
        default:
            chip_.report(strf("flash: FEECON command 0x%02X is not modelled, pc 0x%08X", cmd, chip_.pc));
            finish(false);
            break;
    }
}

void FlashEe::issue(FlashCommand::Kind kind) {
    FlashCommand c{kind, adr_, uint16_t(dat_), commands_++, chip_.now()};
    if (kind == FlashCommand::Kind::Program) {
        uint16_t old = halfword(c.offset);
        if (uint16_t ones = c.data & ~old) {
            ++violations_;
            chip_.report(strf("flash: programming 0x%04X over 0x%04X at offset 0x%04X tries to set bits "
                              "0x%04X from 0 back to 1 (reads back 0x%04X), pc 0x%08X",
                              c.data, old, c.offset & ~1u, ones, old & c.data, chip_.pc));
        }
    }
    CutAction action = beforeCommand ? beforeCommand(c) : CutAction::None;
    busy_ = true;
    sta_ |= FEESTA_BUSY;
    if (action == CutAction::CutBefore) {
        powerLost("as", c);
        return;
    }
    Ticks d = kind == FlashCommand::Kind::Program ? kProgramTicks : kEraseTicks;
    if (action == CutAction::CutDuring) {
        event_ = chip_.sched().after(d / 2, [this, c] { event_ = 0; cutDuring(c); });
    } else {
        event_ = chip_.sched().after(d, [this, c] {
            event_ = 0;
            execute(c);
            finish(true);
        });
    }
}

void FlashEe::execute(const FlashCommand& c) {
    uint8_t* f = chip_.flash();
    if (c.kind == FlashCommand::Kind::Program) {
        uint32_t a = c.offset & ~1u;
        uint16_t v = halfword(a) & c.data;
        f[a] = uint8_t(v);
        f[a + 1] = uint8_t(v >> 8);
        persist(a, 2);
    } else {
        uint32_t page = c.offset & ~(FLASH_PAGE_SIZE - 1);
        std::memset(f + page, 0xFF, FLASH_PAGE_SIZE);
        persist(page, FLASH_PAGE_SIZE);
    }
}

void FlashEe::cutDuring(const FlashCommand& c) {
    tear(c);
    powerLost("half-way through", c);
}

void FlashEe::tear(const FlashCommand& c) {
    uint8_t* f = chip_.flash();
    if (c.kind == FlashCommand::Kind::Program) {
        uint32_t a = c.offset & ~1u;
        uint16_t old = halfword(a);
        uint16_t cleared = uint16_t(old & ~c.data & rng_());
        uint16_t v = old & ~cleared;
        f[a] = uint8_t(v);
        f[a + 1] = uint8_t(v >> 8);
        persist(a, 2);
    } else {
        uint32_t page = c.offset & ~(FLASH_PAGE_SIZE - 1);
        for (uint32_t i = 0; i < FLASH_PAGE_SIZE; ++i) f[page + i] = uint8_t(rng_());
        persist(page, FLASH_PAGE_SIZE);
    }
}

void FlashEe::powerLost(const char* when, const FlashCommand& c) {
    // The controller stays busy: the chip is going down with it.
    chip_.trace(strf("flash: power cut %s %s #%llu at offset 0x%04X", when,
                     c.kind == FlashCommand::Kind::Program ? "program" : "erase",
                     (unsigned long long)c.index, c.offset));
    chip_.requestReset(ResetCause::PowerOn);
}

// ---- Files ----

bool FlashEe::saveFile(const std::string& path, std::string& err) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(chip_.flash()), FLASH_SIZE);
    out.close();
    if (!out) {
        err = path + ": cannot write the flash file";
        return false;
    }
    return true;
}

bool FlashEe::loadFile(const std::string& path, std::string& err) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        err = path + ": cannot open the flash file";
        return false;
    }
    auto size = static_cast<long long>(in.tellg());
    if (size != FLASH_SIZE) {
        err = strf("%s: the flash file holds %lld bytes, a flash image is exactly %u bytes", path.c_str(), size,
                   unsigned(FLASH_SIZE));
        return false;
    }
    std::vector<char> buf(FLASH_SIZE);
    in.seekg(0);
    if (!in.read(buf.data(), FLASH_SIZE)) {
        err = path + ": cannot read the flash file";
        return false;
    }
    std::memcpy(chip_.flash(), buf.data(), FLASH_SIZE);
    if (backingFd_ >= 0 && path != backingPath_) return flushBackingFile(err);
    return true;
}

bool FlashEe::setBackingFile(const std::string& path, std::string& err) {
    closeBackingFile();
    struct stat st {};
    bool ok = ::stat(path.c_str(), &st) == 0 ? loadFile(path, err) : saveFile(path, err);
    if (!ok) return false;
    backingFd_ = ::open(path.c_str(), O_RDWR);
    if (backingFd_ < 0) {
        err = path + ": cannot open the flash file for writing";
        return false;
    }
    backingPath_ = path;
    return true;
}

bool FlashEe::setBackingFile(const std::string& path) {
    std::string err;
    if (setBackingFile(path, err)) return true;
    chip_.report("flash: " + err);
    return false;
}

bool FlashEe::flushBackingFile(std::string& err) {
    if (backingFd_ < 0) return true;
    if (::pwrite(backingFd_, chip_.flash(), FLASH_SIZE, 0) != ssize_t(FLASH_SIZE)) {
        err = backingPath_ + ": cannot write the flash file";
        return false;
    }
    return true;
}

void FlashEe::closeBackingFile() {
    if (backingFd_ >= 0) ::close(backingFd_);
    backingFd_ = -1;
    backingPath_.clear();
}

void FlashEe::persist(uint32_t offset, uint32_t len) {
    if (backingFd_ < 0) return;
    if (::pwrite(backingFd_, chip_.flash() + offset, len, offset) != ssize_t(len))
        chip_.report("flash: cannot write " + backingPath_);
}

std::string FlashEe::state() const {
    return strf("FEESTA=0x%X FEEMOD=0x%X FEEADR=0x%04X FEEDAT=0x%04X%s, %llu commands, %llu violations", sta_,
                mod_, adr_, dat_, busy_ ? " busy" : "", (unsigned long long)commands_,
                (unsigned long long)violations_);
}

}  // namespace sim
