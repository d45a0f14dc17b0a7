// The 16450-style UART: one transmit holding register in front of the
// shift register, one receive holding register, and a bit rate derived from
// the divisors, the fractional divider and the present core clock.
#pragma once
#include <cstdint>
#include <functional>

#include "chip/peripheral.h"
#include "core/scheduler.h"
#include "core/time.h"

namespace sim {

// One byte on the TX pin: it starts to leave at `start` and its stop bit
// ends at `end`; `baud` is the rate it was sent at.
struct TxByte {
    uint8_t value;
    Ticks start;
    Ticks end;
    double baud;
};

class Uart : public Peripheral {
public:
    using TxByte = sim::TxByte;
    explicit Uart(Chip& chip) : Peripheral(chip) {}
    const char* name() const override { return "uart"; }
    std::vector<uint32_t> registers() const override;
    void reset(ResetCause) override;
    uint32_t read(uint32_t addr) override;
    void write(uint32_t addr, uint32_t value) override;
    std::string state() const override;

    // Called when a byte starts to leave (start == now, end precomputed).
    std::function<void(const TxByte&)> onTx;
    // The line delivers a byte now (its stop bit just ended), sent at
    // `senderBaud`. A rate more than kTolerance off ours garbles the byte
    // and flags a framing error; so does a stop bit read as space.
    void receive(uint8_t value, double senderBaud, bool framingError = false);

    // The line held at space for longer than a frame (a break): as a
    // 16450-style receiver does, COMSTA0 bit 4 is set and one 0x00 byte is
    // delivered, without a framing error.
    void receiveBreak();
    uint64_t breaks() const { return breaks_; }

    static constexpr double kTolerance = 0.02;
    double baud() const;        // current rate, 0 when unconfigured
    double bitTicks() const;    // one bit in ticks (fractional), 0 when unconfigured
    unsigned frameBits() const; // start + data + parity + stop (10 for 8N1)
    Ticks charTime() const;     // one frame at the current rate (10 bits at 8N1)

    bool rxReady() const { return dr_; }
    bool txIdle() const { return !shifting_ && !thrFull_; }
    uint64_t overruns() const { return overruns_; }
    uint64_t framingErrors() const { return framingErrors_; }
    uint64_t txCount() const { return txCount_; }
    // Bytes written to COMTX that never left (holding register overwritten,
    // no bit rate set).
    uint64_t lostTx() const { return lostTx_; }
    // Bytes the line delivered while P1.0 was not the UART input.
    uint64_t unroutedRx() const { return unroutedRx_; }

    // What an 8N1 receiver at `ourBaud` makes of a byte sent at `senderBaud`:
    // each data bit is sampled in the middle of where the receiver believes it
    // is, starting from the start bit's falling edge.
    static uint8_t resample(uint8_t value, double senderBaud, double ourBaud);
    SIM_BLOCK_STATE(std::tie(con0_, con1_, ien_, scr_, div0_, div1_, div2_, thr_, rbr_, thrFull_, shifting_, dr_, oe_,
                             fe_, bi_, txEvent_, overruns_, framingErrors_, txCount_, lostTx_, unroutedRx_, breaks_))

private:
    void transmit(uint8_t v);
    void startShift(uint8_t v, Ticks start);
    void shiftDone(Ticks at);
    void signal();
    uint32_t lineStatus() const;
    bool txRouted() const;
    bool rxRouted() const;

    uint32_t con0_ = 0, con1_ = 0, ien_ = 0, scr_ = 0;
    uint32_t div0_ = 0, div1_ = 0, div2_ = 0;
    uint8_t thr_ = 0, rbr_ = 0;
    bool thrFull_ = false, shifting_ = false;
    bool dr_ = false, oe_ = false, fe_ = false, bi_ = false;
    Scheduler::Id txEvent_ = 0;
    uint64_t overruns_ = 0, framingErrors_ = 0, txCount_ = 0, lostTx_ = 0, unroutedRx_ = 0, breaks_ = 0;
};

}  // namespace sim
