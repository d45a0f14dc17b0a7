#include "chip/periph/timers.h"

#include "chip/chip.h"
#include "aduc702x.h"
#include "chip/periph/format.h"

namespace sim {

// ---- Counter ----

uint64_t Counter::countsToExpiry(uint32_t from) const {
    uint64_t full = uint64_t(mask_) + 1;
    if (up) return full - from;
    return from == 0 ? full : from;
}

uint32_t Counter::value() const { return valueAt(chip_.now()); }

uint32_t Counter::valueAt(Ticks t) const {
    if (!running_) return held_;
    if (t < origin_) return held_;
    uint64_t n = (t - origin_) / period_;
    uint32_t from = originValue_;
    if (uint64_t k = countsToExpiry(from); n >= k) {
        // Read at the very time of an expiry whose event has not run yet.
        from = periodic ? (load & mask_) : 0;
        n = (n - k) % countsToExpiry(from);
    }
    uint64_t v = up ? uint64_t(from) + n : uint64_t(from) - n;
    return uint32_t(v) & mask_;
}

Ticks Counter::nextExpiry() const {
    return running_ ? origin_ + countsToExpiry(originValue_) * period_ : kNever;
}

void Counter::cancel() {
    if (event_) chip_.sched().cancel(event_);
    event_ = 0;
}

void Counter::schedule() {
    cancel();
    if (running_) event_ = chip_.sched().at(nextExpiry(), [this] { event_ = 0; expire(); });
}

void Counter::expire() {
    origin_ += countsToExpiry(originValue_) * period_;
    originValue_ = periodic ? (load & mask_) : 0;
    schedule();
    if (onExpire) onExpire();
}

void Counter::start(Ticks origin, uint32_t v, Ticks period) {
    held_ = value();
    running_ = true;
    origin_ = origin;
    originValue_ = v & mask_;
    period_ = period ? period : 1;
    schedule();
}

void Counter::stop() {
    held_ = value();
    running_ = false;
    cancel();
}

void Counter::reset() {
    cancel();
    running_ = false;
    up = periodic = false;
    load = 0;
    held_ = originValue_ = 0;
    origin_ = 0;
    period_ = 1;
}

void Counter::set(uint32_t v) {
    if (!running_) {
        held_ = v & mask_;
        return;
    }
    origin_ = chip_.now();
    originValue_ = v & mask_;
    schedule();
}

void Counter::setPeriod(Ticks period) {
    if (period == 0) period = 1;
    Ticks now = chip_.now();
    if (running_ && now >= origin_) {
        // Keep the count and the part of a count already elapsed.
        Ticks into = (now - origin_) % period_;
        originValue_ = value();
        origin_ = now - into * period / period_;
    }
    period_ = period;
    schedule();
}

// ---- TimerBlock ----

TimerBlock::TimerBlock(Chip& chip, uint32_t base, uint32_t mask, uint32_t source)
    : Peripheral(chip), base_(base), mask_(mask), source_(source), counter_(chip, mask) {
    counter_.onExpire = [this] { expired(); };
    // A timer on the core clock keeps its count and continues at the new rate.
    chip.clockListeners.push_back([this] {
        if (counter_.running() && !crystalClocked(con_)) counter_.setPeriod(countPeriod());
    });
}

TimerBlock::~TimerBlock() = default;

std::vector<uint32_t> TimerBlock::registers() const {
    std::vector<uint32_t> r{base_, base_ + 4, base_ + 8, base_ + 0xC};
    for (uint32_t a : extraRegisters()) r.push_back(a);
    return r;
}

void TimerBlock::reset(ResetCause) {
    counter_.reset();
    ld_ = con_ = 0;
    lower();
}

Ticks TimerBlock::countPeriod() const {
    Ticks clock = crystalClocked(con_) ? kTicksPerXtal : chip_.coreCycle();
    return clock * prescale(con_);
}

Ticks TimerBlock::nextCrystalEdge() const {
    return (chip_.now() / kTicksPerXtal + 1) * kTicksPerXtal;
}

uint32_t TimerBlock::read(uint32_t addr) {
    switch (addr - base_) {
        case 0x0: return ld_;
        case 0x4: return counter_.value();
        case 0x8: return con_;
        default: return 0;  // CLRI and T1CAP read as 0
    }
}

void TimerBlock::write(uint32_t addr, uint32_t value) {
    switch (addr - base_) {
        case 0x0:
            ld_ = value & mask_;
            counter_.load = ld_;  // takes effect at the next reload
            break;
        case 0x4:
            chip_.trace(strf("%s: write of the read-only count ignored", name()));
            break;
        case 0x8: {
            if (!acceptControl(value)) return;
            uint32_t old = con_;
            con_ = value & controlMask();
            configure(old);
            break;
        }
        case 0xC: clear(value); break;
        default: break;
    }
}

void TimerBlock::configure(uint32_t old) {
    bool was = old & 0x80, on = con_ & 0x80;
    bool wasUp = counter_.up, up = hasUpCount() && (con_ & 0x100);
    if (was && on && up != wasUp) counter_.set(counter_.value());  // the count so far, then turn
    counter_.up = up;
    counter_.periodic = (con_ & 0x40) != 0;
    counter_.load = ld_;
    if (!on) {
        if (was) counter_.stop();
        return;
    }
    Ticks p = countPeriod();
    if (!was) {
        // Enabling loads the reload value; a 32 kHz timer does so at the
        // next edge of its clock.
        Ticks origin = crystalClocked(con_) ? nextCrystalEdge() : chip_.now();
        counter_.start(origin, ld_, p);
    } else if (p != counter_.period() || up != wasUp) {
        counter_.setPeriod(p);
    }
}

void TimerBlock::expired() { raise(); }
void TimerBlock::clear(uint32_t) { lower(); }

void TimerBlock::raise() {
    irq_ = true;
    chip_.setSource(source_, true);
}

void TimerBlock::lower() {
    irq_ = false;
    chip_.setSource(source_, false);
}

std::string TimerBlock::state() const {
    return strf("CON=0x%X LD=0x%X VAL=0x%X %s%s", con_, ld_, counter_.value(),
                counter_.running() ? "running" : "stopped", irq_ ? " IRQ" : "");
}

// ---- Timer0 ----

Timer0::Timer0(Chip& chip) : TimerBlock(chip, T0LD.addr, 0xFFFF, INT_TIMER0) {}

unsigned Timer0::prescale(uint32_t con) const {
    static constexpr unsigned kDiv[4] = {1, 16, 256, 256};
    return kDiv[(con >> 2) & 3];
}

// ---- Timer1 ----

// Prescaler field of Timer1 and Timer2 (bits 3:0): 0 = /1, 4 = /16,
// 8 = /256, 15 = /32768.
static unsigned prescale4(uint32_t con) {
    unsigned p = con & 0xF;
    if (p == 15) return 32768;
    if (p >= 8) return 256;
    if (p >= 4) return 16;
    return 1;
}

Timer1::Timer1(Chip& chip) : TimerBlock(chip, T1LD.addr, 0xFFFFFFFF, INT_TIMER1) {}

unsigned Timer1::prescale(uint32_t con) const { return prescale4(con); }

// Source 0 is the core clock, 1 the 32 kHz clock; 2 and 3 count pin edges.
bool Timer1::crystalClocked(uint32_t con) const { return ((con >> 9) & 3) == 1; }

std::vector<uint32_t> Timer1::extraRegisters() const { return {T1CAP.addr}; }

bool Timer1::acceptControl(uint32_t value) {
    if (value & 0x80) {
        unsigned src = (value >> 9) & 3;
        if (src >= 2) chip_.report(strf("timer1: counting pin edges (T1CON 0x%X) is not modelled", value));
        if (value & 0x30) chip_.report(strf("timer1: time formats (T1CON 0x%X) are not modelled", value));
        if (value & 0x20000) chip_.report(strf("timer1: capture (T1CON 0x%X) is not modelled", value));
    }
    return true;
}

// ---- Timer2 ----

WakeupTimer::WakeupTimer(Chip& chip) : TimerBlock(chip, T2LD.addr, 0xFFFFFFFF, INT_TIMER2) {}

unsigned WakeupTimer::prescale(uint32_t con) const { return prescale4(con); }

// Sources 0 and 1 are the external crystal, 2 the internal 32 kHz
// oscillator (taken as exactly 32.768 kHz too), 3 the core clock.
bool WakeupTimer::crystalClocked(uint32_t con) const { return ((con >> 9) & 3) != 3; }

bool WakeupTimer::acceptControl(uint32_t value) {
    if ((value & 0x80) && (value & 0x30))
        chip_.report(strf("timer2: time formats (T2CON 0x%X) are not modelled", value));
    return true;
}

// ---- Timer3 (watchdog) ----

Watchdog::Watchdog(Chip& chip) : TimerBlock(chip, T3LD.addr, 0xFFFF, INT_TIMER3) {}

unsigned Watchdog::prescale(uint32_t con) const {
    static constexpr unsigned kDiv[4] = {1, 16, 256, 256};
    return kDiv[(con >> 2) & 3];
}

bool Watchdog::acceptControl(uint32_t value) {
    if (watchdogMode() && (con_ & 0x80)) {
        chip_.report(strf("watchdog: T3CON write 0x%X ignored: the watchdog runs until the next reset", value));
        return false;
    }
    if ((value & 0x30) == 0x30)
        chip_.report("watchdog: secure clear is not modelled; every T3CLRI write refreshes");
    return true;
}

void Watchdog::expired() {
    if (!watchdogMode()) return raise();
    if (con_ & 0x02) return raise();  // interrupt instead of reset
    counter_.stop();
    double ms = toMillis(Ticks(ld_) * countPeriod());
    chip_.report(strf("watchdog reset: no T3CLRI refresh for %u counts (%.1f ms)", ld_, ms));
    chip_.requestReset(ResetCause::Watchdog);
}

void Watchdog::clear(uint32_t) {
    if (watchdogMode() && (con_ & 0x80)) {
        // The reload crosses into the 32 kHz domain: it lands on the next edge.
        counter_.start(nextCrystalEdge(), ld_, countPeriod());
        ++refreshes_;
    }
    lower();
}

}  // namespace sim
