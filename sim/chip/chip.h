// The ADuC702x without its core: register blocks, clocks, interrupt lines,
// resets and flash. The CPU side (Machine) maps the register blocks onto
// these read/write calls; model tests drive a Chip directly with no CPU.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "chip/peripheral.h"
#include "core/scheduler.h"
#include "core/time.h"

namespace sim {

class Interrupts;
class Power;
class ResetControl;
class Timer0;
class Timer1;
class WakeupTimer;
class Watchdog;
class Reference;
class Adc;
class Dac;
class Uart;
class Gpio;
class FlashEe;
class RegisterTrace;

class Chip {
public:
    Chip();
    ~Chip();
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    Scheduler& sched() { return sched_; }
    Ticks now() const { return sched_.now(); }

    // The circuits around the chip; a default board drives nothing.
    Board& board() { return *board_; }
    void setBoard(Board* b);

    // Register access from the core (or a test). An address that no model
    // answers is reported and reads 0.
    uint32_t read(uint32_t addr);
    void write(uint32_t addr, uint32_t value);
    bool isRegister(uint32_t addr) const;

    // Core clock: PLL / 2^CD. One core cycle lasts coreCycle() ticks.
    unsigned coreDivider() const { return cd_; }
    Ticks coreCycle() const { return Ticks{1} << cd_; }
    void setCoreDivider(unsigned cd);
    // Called after every change of the core divider (not on chip reset,
    // where each block resets itself): blocks clocked by the core rescale.
    std::vector<std::function<void()>> clockListeners;
    // Nap: the core stops until an enabled interrupt is signalled.
    bool napping() const { return napping_; }
    void setNapping(bool nap);

    // Interrupt sources (IRQSIG bits) as the blocks drive them.
    void setSource(uint32_t mask, bool active);
    bool irqLine() const;
    bool fiqLine() const;

    // Asks the CPU loop to stop before the next block and look at the chip
    // again (interrupt state, nap, reset). Cleared by takeStopRequest().
    void requestStop() { stopRequested_ = true; }
    bool takeStopRequest() { bool s = stopRequested_; stopRequested_ = false; return s; }
    bool stopRequested() const { return stopRequested_; }

    // A reset the chip itself causes (watchdog, RSTSTA write); the CPU loop
    // carries it out by calling reset().
    void requestReset(ResetCause cause);
    std::optional<ResetCause> takeResetRequest();
    // Every block back to its reset values; the event queue keeps only what
    // the board scheduled (board events survive a chip reset).
    void reset(ResetCause cause);
    ResetCause lastReset() const { return lastReset_; }

    // Flash array (62 kB), mapped by the Machine at 0x80000 and at 0.
    uint8_t* flash() { return flash_.data(); }
    const uint8_t* flash() const { return flash_.data(); }
    static constexpr uint32_t kFlashSize = 62 * 1024;

    // Reports: things a chip would punish or a developer should see.
    void report(const std::string& what);
    std::function<void(const std::string&)> onReport;
    const std::vector<std::string>& reports() const { return reports_; }
    // Program counter of the access in progress, for reports (the Machine
    // keeps it current; block start at worst).
    uint32_t pc = 0;

    // Register trace (off by default).
    void setTrace(std::function<void(const std::string&)> sink) { trace_ = std::move(sink); }
    bool tracing() const { return bool(trace_); }
    void trace(const std::string& line) { if (trace_) trace_(line); }

    // The blocks.
    Interrupts& interrupts() { return *interrupts_; }
    Power& power() { return *power_; }
    ResetControl& resetControl() { return *resetControl_; }
    Timer0& timer0() { return *timer0_; }
    Timer1& timer1() { return *timer1_; }
    WakeupTimer& timer2() { return *timer2_; }
    Watchdog& watchdog() { return *watchdog_; }
    Reference& reference() { return *reference_; }
    Adc& adc() { return *adc_; }
    Dac& dac() { return *dac_; }
    Uart& uart() { return *uart_; }
    Gpio& gpio() { return *gpio_; }
    FlashEe& flashEe() { return *flashEe_; }
    const std::vector<Peripheral*>& blocks() const { return blocks_; }

    // Snapshots: time and pending events, every block's state, clock, nap
    // and reset state, and how many reports there were. Not included: the
    // flash array (the Machine keeps it) and the board around the chip.
    struct State {
        Scheduler sched;
        std::vector<std::any> blocks;
        unsigned cd;
        bool napping, stopRequested;
        std::optional<ResetCause> resetRequest;
        ResetCause lastReset;
        size_t reports;
    };
    State saveState() const;
    void loadState(const State& s);

private:
    void attach(Peripheral* p);
    void addBlocks();  // constructs the peripheral models (chip_blocks.cpp)

    Scheduler sched_;
    Board defaultBoard_;
    Board* board_ = &defaultBoard_;
    unsigned cd_ = 3;  // the chip comes out of reset at divider 3
    bool napping_ = false;
    bool stopRequested_ = false;
    std::optional<ResetCause> resetRequest_;
    ResetCause lastReset_ = ResetCause::PowerOn;
    std::array<uint8_t, kFlashSize> flash_{};
    std::vector<std::string> reports_;
    std::function<void(const std::string&)> trace_;

    std::unique_ptr<Interrupts> interrupts_;
    std::unique_ptr<Power> power_;
    std::unique_ptr<ResetControl> resetControl_;
    std::unique_ptr<Timer0> timer0_;
    std::unique_ptr<Timer1> timer1_;
    std::unique_ptr<WakeupTimer> timer2_;
    std::unique_ptr<Watchdog> watchdog_;
    std::unique_ptr<Reference> reference_;
    std::unique_ptr<Adc> adc_;
    std::unique_ptr<Dac> dac_;
    std::unique_ptr<Uart> uart_;
    std::unique_ptr<Gpio> gpio_;
    std::unique_ptr<FlashEe> flashEe_;
    std::vector<Peripheral*> blocks_;
    // Register decode: one entry per word of each 4 kB block.
    std::array<Peripheral*, 1024> decode0_{};
    std::array<Peripheral*, 1024> decode1_{};
};

}  // namespace sim
