// The four timers: Timer0 (16-bit, core clock), Timer1 (32-bit free-running
// count), Timer2 (wake-up timer, 32 kHz) and Timer3 (watchdog, 32 kHz).
//
// No timer ticks through the event queue count by count: each keeps the
// time and value of its last reload and computes its count on a read. The
// only event it schedules is the next expiry (count down to 0, or wrap of an
// up-count), where it interrupts, reloads or resets the chip.
#pragma once
#include <cstdint>
#include <functional>

#include "chip/peripheral.h"
#include "core/scheduler.h"
#include "core/time.h"

namespace sim {

// A counter advancing by one every `period` ticks from `origin`.
class Counter {
public:
    Counter(Chip& chip, uint32_t mask) : chip_(chip), mask_(mask) {}
    ~Counter() { cancel(); }
    Counter(const Counter&) = delete;
    Counter& operator=(const Counter&) = delete;

    bool up = false;        // counts up (wraps past the mask) instead of down (to 0)
    bool periodic = false;  // reloads `load` at expiry; free-running otherwise
    uint32_t load = 0;
    std::function<void()> onExpire;

    // Runs from `origin` (now or later) with `value`; before the origin the
    // count reads what it held (a clock-domain crossing still in progress).
    void start(Ticks origin, uint32_t value, Ticks period);
    void stop();  // freezes the current count
    void reset();
    bool running() const { return running_; }
    uint32_t value() const;
    // The count at time t, as long as nothing reloads or reconfigures the
    // counter before then (no expiry, no register write in between).
    uint32_t valueAt(Ticks t) const;
    void set(uint32_t v);         // the count from now on
    void setPeriod(Ticks period); // keeps the count reached so far
    Ticks period() const { return period_; }
    // Time of the next expiry (kNever when stopped).
    Ticks nextExpiry() const;
    auto stateMembers() {
        return std::tie(up, periodic, load, running_, origin_, period_, originValue_, held_, event_);
    }

private:
    uint64_t countsToExpiry(uint32_t from) const;
    void schedule();
    void expire();
    void cancel();

    Chip& chip_;
    uint32_t mask_;
    bool running_ = false;
    Ticks origin_ = 0;
    Ticks period_ = 1;
    uint32_t originValue_ = 0;
    uint32_t held_ = 0;
    Scheduler::Id event_ = 0;
};

// What the four timers share: LD/VAL/CON/CLRI at base + 0/4/8/0xC; CON
// bit 7 enable, bit 6 periodic, bit 8 count up (where the timer has it).
class TimerBlock : public Peripheral {
public:
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    uint32_t value() const { return counter_.value(); }
    uint32_t valueAt(Ticks t) const { return counter_.valueAt(t); }
    uint32_t control() const { return con_; }
    uint32_t reload() const { return ld_; }
    bool interruptPending() const { return irq_; }
    bool running() const { return counter_.running(); }
    // Ticks per count in the present configuration.
    Ticks countPeriod() const;
    Ticks nextExpiry() const { return counter_.nextExpiry(); }
    SIM_BLOCK_STATE(std::tuple_cat(std::tie(ld_, con_, irq_), counter_.stateMembers()))

protected:
    TimerBlock(Chip& chip, uint32_t base, uint32_t mask, uint32_t source);
    ~TimerBlock() override;

    virtual unsigned prescale(uint32_t con) const = 0;
    virtual bool crystalClocked(uint32_t con) const = 0;
    virtual uint32_t controlMask() const = 0;
    virtual bool hasUpCount() const { return true; }
    virtual void expired();
    virtual void clear(uint32_t value);
    // Returns false when the write is refused.
    virtual bool acceptControl(uint32_t value) { return true; }
    virtual std::vector<uint32_t> extraRegisters() const { return {}; }

    void raise();
    void lower();
    void configure(uint32_t old);
    // The first 32.768 kHz edge strictly after now: the 32 kHz timers load
    // and count on that clock's edges.
    Ticks nextCrystalEdge() const;

    uint32_t base_;
    uint32_t mask_;
    uint32_t source_;
    uint32_t ld_ = 0;
    uint32_t con_ = 0;
    bool irq_ = false;
    Counter counter_;
};

// Timer0: 16-bit down-count of the core clock / 1, 16 or 256 (bits 3:2).
class Timer0 : public TimerBlock {
public:
    explicit Timer0(Chip& chip);
    const char* name() const override { return "timer0"; }

protected:
    unsigned prescale(uint32_t con) const override;
    bool crystalClocked(uint32_t) const override { return false; }
    uint32_t controlMask() const override { return 0xCC; }
    bool hasUpCount() const override { return false; }
};

// Timer1: 32-bit count, clock source bits 10:9 (core clock or 32 kHz),
// prescaler bits 3:0 (1, 16, 256, 32768).
class Timer1 : public TimerBlock {
public:
    explicit Timer1(Chip& chip);
    const char* name() const override { return "timer1"; }
    // Lets a test put the count anywhere (e.g. just before the wrap).
    void setValue(uint32_t v) { counter_.set(v); }

protected:
    unsigned prescale(uint32_t con) const override;
    bool crystalClocked(uint32_t con) const override;
    uint32_t controlMask() const override { return 0x3FFFF; }
    bool acceptControl(uint32_t value) override;
    std::vector<uint32_t> extraRegisters() const override;
};

// Timer2, the wake-up timer: 32-bit, from the 32.768 kHz clock (or the
// core clock, bits 10:9 = 3), prescaler bits 3:0.
class WakeupTimer : public TimerBlock {
public:
    explicit WakeupTimer(Chip& chip);
    const char* name() const override { return "timer2"; }

protected:
    unsigned prescale(uint32_t con) const override;
    bool crystalClocked(uint32_t con) const override;
    uint32_t controlMask() const override { return 0x7FF; }
    bool acceptControl(uint32_t value) override;
};

// Timer3, the watchdog: 16-bit down-count of the 32.768 kHz clock, prescaler
// bits 3:2. With bit 5 (watchdog mode) it resets the chip when it runs out,
// or interrupts instead when bit 1 is set; any T3CLRI write reloads it.
// Once watchdog mode runs, T3CON no longer changes until a reset.
class Watchdog : public TimerBlock {
public:
    explicit Watchdog(Chip& chip);
    const char* name() const override { return "watchdog"; }
    bool watchdogMode() const { return (con_ & 0x20) != 0; }
    uint64_t refreshes() const { return refreshes_; }
    SIM_BLOCK_STATE(std::tuple_cat(TimerBlock::stateMembers(), std::tie(refreshes_)))

protected:
    unsigned prescale(uint32_t con) const override;
    bool crystalClocked(uint32_t) const override { return true; }
    uint32_t controlMask() const override { return 0x1FF; }
    void expired() override;
    void clear(uint32_t value) override;
    bool acceptControl(uint32_t value) override;

private:
    uint64_t refreshes_ = 0;
};

}  // namespace sim
