#include "chip/periph/uart.h"

#include <cmath>

#include "chip/chip.h"
#include "aduc702x.h"
#include "chip/periph/format.h"
#include "chip/periph/gpio.h"

namespace sim {

namespace {
constexpr uint32_t kFben = 1u << 15;  // COMDIV2: fractional divider enabled
}

std::vector<uint32_t> Uart::registers() const {
    return {COMTX.addr, COMIEN0.addr, COMIID0.addr, COMCON0.addr, COMCON1.addr,
            COMSTA0.addr, COMSTA1.addr, COMSCR.addr, COMDIV2.addr};
}

void Uart::reset(ResetCause) {
    if (txEvent_) chip_.sched().cancel(txEvent_);
    txEvent_ = 0;
    con0_ = con1_ = ien_ = scr_ = 0;
    div0_ = div1_ = div2_ = 0;
    thr_ = rbr_ = 0;
    thrFull_ = shifting_ = false;
    dr_ = oe_ = fe_ = bi_ = false;
    signal();
}

// rate = 41,779,200 / (2^CD x 32 x DL x (M + N/2048)): one bit lasts
// 2^CD x 32 x DL x (M + N/2048) PLL periods. M = 0 in COMDIV2 counts as 4.
double Uart::bitTicks() const {
    uint32_t dl = (div1_ << 8) | div0_;
    if (dl == 0) return 0;
    double f = 1.0;
    if (div2_ & kFben) {
        unsigned m = (div2_ >> 11) & 3;
        f = (m ? m : 4) + (div2_ & 0x7FF) / 2048.0;
    }
    return double(chip_.coreCycle()) * 32.0 * dl * f;
}

double Uart::baud() const {
    double bt = bitTicks();
    return bt > 0 ? double(kTicksPerSecond) / bt : 0.0;
}

unsigned Uart::frameBits() const {
    unsigned data = 5 + (con0_ & 3);
    unsigned parity = (con0_ & 8) ? 1 : 0;
    unsigned stop = (con0_ & 4) ? 2 : 1;  // 1.5 stop bits at 5 data bits counted as 2
    return 1 + data + parity + stop;
}

Ticks Uart::charTime() const { return Ticks(std::llround(bitTicks() * frameBits())); }

bool Uart::txRouted() const { return chip_.gpio().function(1, 1) == 1; }
bool Uart::rxRouted() const { return chip_.gpio().function(1, 0) == 1; }

uint32_t Uart::lineStatus() const {
    uint32_t s = 0;
    if (dr_) s |= COMSTA0_DR;
    if (oe_) s |= COMSTA0_OE;
    if (fe_) s |= COMSTA0_FE;
    if (bi_) s |= COMSTA0_BI;
    if (!thrFull_) s |= COMSTA0_THRE;
    if (!thrFull_ && !shifting_) s |= COMSTA0_TEMT;
    return s;
}

uint32_t Uart::read(uint32_t addr) {
    bool dlab = con0_ & COMCON0_DLAB;
    if (addr == COMRX.addr) {
        if (dlab) return div0_;
        dr_ = false;
        signal();
        return rbr_;
    }
    if (addr == COMIEN0.addr) return dlab ? div1_ : ien_;
    if (addr == COMIID0.addr) {
        if ((ien_ & 4) && (oe_ || fe_ || bi_)) return 0x06;
        if ((ien_ & 1) && dr_) return 0x04;
        if ((ien_ & 2) && !thrFull_) return 0x02;
        return 0x01;
    }
    if (addr == COMCON0.addr) return con0_;
    if (addr == COMCON1.addr) return con1_;
    if (addr == COMSTA0.addr) {
        uint32_t s = lineStatus();
        oe_ = fe_ = bi_ = false;  // error flags clear when read
        signal();
        return s;
    }
    if (addr == COMSCR.addr) return scr_;
    if (addr == COMDIV2.addr) return div2_;
    return 0;  // COMSTA1: no modem lines
}

void Uart::write(uint32_t addr, uint32_t value) {
    bool dlab = con0_ & COMCON0_DLAB;
    if (addr == COMTX.addr) {
        if (dlab) div0_ = value & 0xFF;
        else transmit(uint8_t(value));
    } else if (addr == COMIEN0.addr) {
        if (dlab) div1_ = value & 0xFF;
        else ien_ = value & 0x0F;
    } else if (addr == COMCON0.addr) {
        con0_ = value & 0xFF;
    } else if (addr == COMCON1.addr) {
        con1_ = value & 0x1F;
    } else if (addr == COMSCR.addr) {
        scr_ = value & 0xFF;
    } else if (addr == COMDIV2.addr) {
        div2_ = value & 0x9FFF;
    }
    signal();
}

void Uart::transmit(uint8_t v) {
    if (bitTicks() == 0) {
        ++lostTx_;
        chip_.report(strf("uart: byte 0x%02X written to COMTX with no bit rate set, pc 0x%08X", v, chip_.pc));
        return;
    }
    if (!shifting_) {
        startShift(v, chip_.now());
    } else if (!thrFull_) {
        thr_ = v;
        thrFull_ = true;
    } else {
        ++lostTx_;
        chip_.report(strf("uart: COMTX written while the holding register was full: byte 0x%02X "
                          "replaces 0x%02X, pc 0x%08X", v, thr_, chip_.pc));
        thr_ = v;
    }
}

void Uart::startShift(uint8_t v, Ticks now) {
    TxByte b{v, now, now + charTime(), baud()};
    shifting_ = true;
    ++txCount_;
    // The next byte follows at the stop bit's end, however late the core
    // lets the event run (events are delivered between blocks).
    txEvent_ = chip_.sched().at(b.end, [this, end = b.end] { txEvent_ = 0; shiftDone(end); });
    if (!txRouted()) {
        chip_.report(strf("uart: byte 0x%02X sent while P1.1 is not the UART output (GP1CON 0x%X)", v,
                          chip_.gpio().con(1)));
    } else if (onTx) {
        onTx(b);
    }
}

void Uart::shiftDone(Ticks at) {
    shifting_ = false;
    if (thrFull_) {
        thrFull_ = false;
        startShift(thr_, at);
    }
    signal();
}

uint8_t Uart::resample(uint8_t value, double senderBaud, double ourBaud) {
    if (senderBaud <= 0 || ourBaud <= 0) return 0;
    // Sender's level at time t (in its own bit periods) after the start edge.
    auto level = [&](double t) -> int {
        long k = long(std::floor(t));
        if (k <= 0) return 0;                  // start bit
        if (k <= 8) return (value >> (k - 1)) & 1;
        return 1;                              // stop bit, then idle
    };
    double ratio = senderBaud / ourBaud;  // sender bits per receiver bit
    uint8_t out = 0;
    for (int i = 0; i < 8; ++i)
        if (level((1.5 + i) * ratio)) out |= uint8_t(1u << i);
    return out;
}

void Uart::receive(uint8_t value, double senderBaud, bool framingError) {
    if (!rxRouted()) {
        ++unroutedRx_;
        chip_.trace(strf("uart: byte 0x%02X lost: P1.0 is not the UART input", value));
        return;
    }
    double ours = baud();
    bool mismatch = ours <= 0 || std::fabs(senderBaud - ours) > kTolerance * ours;
    if (mismatch) {
        // Beyond 2 % the byte counts as lost to the receiver: it arrives
        // garbled with a framing error. Where sampling alone would still
        // recover it, the bit sampled closest to the misplaced stop bit is
        // taken as wrong, so a wrong rate always shows.
        uint8_t got = resample(value, senderBaud, ours);
        if (got == value) got ^= 0x80;
        value = got;
        framingError = true;
    }
    if (framingError) {
        fe_ = true;
        ++framingErrors_;
    }
    if (dr_) {
        oe_ = true;
        ++overruns_;
        chip_.trace(strf("uart: overrun, byte 0x%02X lost", value));
    } else {
        rbr_ = value;
        dr_ = true;
    }
    signal();
}

void Uart::receiveBreak() {
    if (!rxRouted()) {
        ++unroutedRx_;
        chip_.trace("uart: break lost: P1.0 is not the UART input");
        return;
    }
    ++breaks_;
    bi_ = true;
    if (dr_) {
        oe_ = true;
        ++overruns_;
    } else {
        rbr_ = 0x00;
        dr_ = true;
    }
    signal();
}

void Uart::signal() {
    bool active = ((ien_ & 1) && dr_) || ((ien_ & 2) && !thrFull_) || ((ien_ & 4) && (oe_ || fe_ || bi_));
    chip_.setSource(INT_UART, active);
}

std::string Uart::state() const {
    return strf("COMCON0=0x%X DL=%u COMDIV2=0x%X %.1f Bd COMSTA0=0x%02X tx %llu rx-overruns %llu framing %llu",
                con0_, (div1_ << 8) | div0_, div2_, baud(), lineStatus(), (unsigned long long)txCount_,
                (unsigned long long)overruns_, (unsigned long long)framingErrors_);
}

}  // namespace sim
