#include "chip/periph/gpio.h"

#include "chip/chip.h"
#include "aduc702x.h"
#include "chip/periph/format.h"

namespace sim {

namespace {
constexpr uint32_t kConBase = 0xFFFFF400;   // GP0CON .. GP4CON, 4 apart
constexpr uint32_t kDataBase = 0xFFFFF420;  // GPxDAT, SET, CLR, PAR per 0x10
static_assert(GP1CON.addr == kConBase + 4 && GP4CON.addr == kConBase + 16);
static_assert(GP1DAT.addr == kDataBase + 0x10 && GP4DAT.addr == kDataBase + 0x40);
static_assert(GP3SET.addr == GP3DAT.addr + 4 && GP3CLR.addr == GP3DAT.addr + 8 && GP3PAR.addr == GP3DAT.addr + 12);

// Ports with a pull-up register (GPxPAR).
constexpr bool hasPar(unsigned p) { return p == 0 || p == 1 || p == 3; }
}  // namespace

std::vector<uint32_t> Gpio::registers() const {
    std::vector<uint32_t> r;
    for (unsigned p = 0; p < kPorts; ++p) {
        uint32_t d = kDataBase + 0x10 * p;
        r.insert(r.end(), {kConBase + 4 * p, d, d + 4, d + 8});
        if (hasPar(p)) r.push_back(d + 12);
    }
    return r;
}

void Gpio::reset(ResetCause) {
    for (unsigned p = 0; p < kPorts; ++p) {
        ports_[p].con = ports_[p].par = 0;
        ports_[p].dir = ports_[p].out = 0;
        changed(p);
    }
}

unsigned Gpio::function(unsigned port, unsigned n) const { return (ports_.at(port).con >> (4 * n)) & 3; }

uint8_t Gpio::directions(unsigned port) const {
    const Port& p = ports_.at(port);
    uint8_t gpio = 0;
    for (unsigned n = 0; n < 8; ++n)
        if (((p.con >> (4 * n)) & 3) == 0) gpio |= uint8_t(1u << n);
    return p.dir & gpio;
}

uint8_t Gpio::inputs(unsigned port) {
    uint8_t drive = directions(port);
    uint8_t board = chip_.board().pinInputs(port, chip_.now());
    return uint8_t((ports_[port].out & drive) | (board & ~drive));
}

bool Gpio::pin(unsigned port, unsigned n) { return (inputs(port) >> (n & 7)) & 1; }

uint32_t Gpio::read(uint32_t addr) {
    if (addr >= kConBase && addr < kConBase + 4 * kPorts) return ports_[(addr - kConBase) / 4].con;
    unsigned p = (addr - kDataBase) / 0x10;
    const Port& port = ports_[p];
    switch ((addr - kDataBase) % 0x10) {
        case 0x0: return (uint32_t(port.dir) << 24) | (uint32_t(port.out) << 16) | inputs(p);
        case 0xC: return port.par;
        default: return 0;  // SET and CLR read as 0
    }
}

void Gpio::write(uint32_t addr, uint32_t value) {
    if (addr >= kConBase && addr < kConBase + 4 * kPorts) {
        unsigned p = (addr - kConBase) / 4;
        ports_[p].con = value & 0x33333333;
        changed(p);
        return;
    }
    unsigned p = (addr - kDataBase) / 0x10;
    Port& port = ports_[p];
    uint8_t bits = uint8_t(value >> 16);
    switch ((addr - kDataBase) % 0x10) {
        case 0x0:
            port.dir = uint8_t(value >> 24);
            port.out = bits;
            break;
        case 0x4: port.out |= bits; break;
        case 0x8: port.out &= uint8_t(~bits); break;
        case 0xC: port.par = value; break;
    }
    changed(p);
}

void Gpio::changed(unsigned p) {
    Port& port = ports_[p];
    uint8_t outputs = directions(p);
    uint8_t levels = port.out & outputs;
    if (outputs == port.seenOutputs && levels == port.seenLevels) return;
    port.seenOutputs = outputs;
    port.seenLevels = levels;
    chip_.board().pinsChanged(p, levels, outputs, chip_.now());
    for (auto& f : pinListeners) f(p);
}

std::string Gpio::state() const {
    std::string s;
    for (unsigned p = 0; p < kPorts; ++p)
        s += strf("%sP%u dir 0x%02X out 0x%02X con 0x%08X", p ? " | " : "", p, ports_[p].dir, ports_[p].out,
                  ports_[p].con);
    return s;
}

}  // namespace sim
