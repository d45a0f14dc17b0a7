// The velmora node under hostile input (see harness.h for the oracles).
//
// The node sits on a bus of its own, behind a transceiver whose receiver is
// off while it drives (it does not hear its own bytes), and the host sends
// only while the line is free. After the
// input the host does what any host does: "0\r" until the node waits at the
// top of its loop, the broadcast query "A253\r" (the node must give its
// address), "0\r", then the set frame "E<address> <code>\r", which must set
// the set-point.
#pragma once

#include <array>
#include <set>
#include <string>

#include "harness.h"

namespace fuzz {

// Which frames the command loop has read, from the bytes it took: a model of
// the frame grammar only (letter, address, value), enough to tell which
// frames were valid and addressed to the node.
class VelmoraFrames {
public:
    struct Frame {
        char letter;
        bool complete;  // its last character has been read
    };
    void reset(uint32_t address) {
        state_ = Top;
        address_ = address;
    }
    uint32_t address() const { return address_; }

    // One byte the node read; returns the frame it completed, if any: an
    // addressed command ('A' with a new address counts as 'a').
    std::optional<char> consume(uint8_t c) {
        const bool digit = c >= '0' && c <= '9';
        if (state_ == Top) {
            if (c == '\r' || c == '\n') return std::nullopt;  // line ends are no letters
            letter_ = char(c >= 'a' && c <= 'z' ? c - 32 : c);
            number_ = 0;
            state_ = letter_ == 'A' ? AddressA : Address;
            return std::nullopt;
        }
        if (digit) {
            number_ = number_ * 10 + (c - '0');
            return std::nullopt;
        }
        const uint32_t n = number_ & 0xFF;
        number_ = 0;
        switch (state_) {
            case AddressA:
                state_ = Top;
                if (n != 253 && n != address_) return std::nullopt;
                if (c == ' ') {
                    state_ = NewAddress;
                    return std::nullopt;
                }
                return 'A';
            case NewAddress:
                state_ = Top;
                if (n == 0) return 'A';
                address_ = n;
                return 'a';
            case Address:
                state_ = Top;
                if (n != address_) return std::nullopt;
                if (letter_ == 'C' || letter_ == 'E' || letter_ == 'U' || letter_ == 'V') {
                    state_ = Value;
                    return std::nullopt;
                }
                return letter_;
            case Value:
                state_ = Top;
                return letter_;
            case Top:
                break;
        }
        return std::nullopt;
    }

private:
    enum State { Top, AddressA, NewAddress, Address, Value };
    State state_ = Top;
    char letter_ = 0;
    uint32_t number_ = 0;
    uint32_t address_ = 1;
};

class Velmora : public Node {
public:
    explicit Velmora(Pacing pacing = Pacing::Eager) {
        pacing_ = pacing;
        board_.owner = this;
        boot(VELMORA_ELF, board_, sim::fromMillis(60));
        received_ = m_.symbol("received") & ~1u;
        storeAtSnapshot_ = store();
        for (size_t i = 0; i < kVariables.size(); ++i) persistedAtSnapshot_[i] = stored(kVariables[i]);
        addressAtSnapshot_ = m_.readSym("MyAddress");
        calibrate({"A1\r", "A253 1\r", "C1 1800\r", "D1\r", "E1 1500\r", "U1 1000\r", "V1 1200\r", "F1\r", "S1\r",
                   "G1\r", "N1\r", "H1\r", "R1\r", "K1\r", "B1\r", "V2 1500\r", "D1\rH1\r"});
    }

    // Persisted value of a variable as the stored format defines it (-1:
    // none): the page whose status has the low byte 6, page 0 first, and
    // there the newest record of the variable.
    int stored(uint32_t va) {
        const auto halfword = [&](uint32_t off) { return uint16_t(m_.read16(0x80000 + off)); };
        for (uint32_t page : {0xF000u, 0xF200u}) {
            if ((halfword(page) & 0xFF) != 6) continue;
            for (int k = 126; k >= 0; --k)
                if (halfword(page + 6 + 4 * k) == va) return halfword(page + 4 + 4 * k);
            return -1;
        }
        return -1;
    }

private:
    static constexpr std::array<uint32_t, 4> kVariables{0, 2, 4, 6};

    // The regulation tick interrupts anywhere: its blocks count, but make no
    // edges, so coverage does not depend on where a tick fell.
    std::vector<const char*> skipNames() const override {
        return {"ADI_IRQ_Interrupt_Wrapper", "Timer0_IRQ_Handler", "IRQ_Handler"};
    }

    struct Board : sim::Board {
        Velmora* owner = nullptr;
        bool enable = false, driver = false;
        // Constant inputs: the supply's feedback at 1.2 V, the three
        // auxiliary inputs, the temperature sensor at 25 C.
        double adcInput(unsigned channel, sim::Ticks) override {
            switch (channel) {
                case 0: return 1.2;
                case 1: return 0.5;
                case 2: return 1.0;
                case 3: return 1.5;
                case 16: return 0.78;
                default: return 0.0;
            }
        }
        void pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, sim::Ticks) override {
            const uint8_t driven = levels & outputs;
            if (port == 1) {
                const bool on = driven & 0x04;  // P1.2: high-voltage output enable
                if (on && !enable) owner->outputRose();
                enable = on;
            } else if (port == 0) {
                driver = driven & 0x80;  // P0.7: bus driver enable
            }
        }
    };

    std::array<uint8_t, 1024> store() {
        std::array<uint8_t, 1024> a{};
        std::copy_n(m_.chip().flash() + 0xF000, a.size(), a.begin());
        return a;
    }

    void restoreBoard() override {
        sim::Gpio& g = m_.chip().gpio();
        board_.enable = g.outputLevels(1) & g.directions(1) & 0x04;
        board_.driver = g.outputLevels(0) & g.directions(0) & 0x80;
        frames_.reset(addressAtSnapshot_);
        allowed_.clear();
        outputWindow_ = false;
        booting_ = false;
        setCheckDue_ = false;
    }

    bool transmitting() override { return !uart().txIdle() || board_.driver; }

    void consumed(uint8_t c) override {
        // The command before this byte has been carried out.
        if (setCheckDue_) checkSetPoint();
        outputWindow_ = false;
        const auto frame = frames_.consume(c);
        if (!frame) return;
        switch (*frame) {
            case 'a': allowed_.insert(0); break;
            case 'V': allowed_.insert(2); setCheckDue_ = true; break;
            case 'E': case 'U': setCheckDue_ = true; break;
            case 'C': allowed_.insert(4); break;
            case 'G': allowed_.insert(6); outputWindow_ = true; break;
            case 'S': allowed_.insert(6); break;
            case 'N': outputWindow_ = true; break;
            default: break;
        }
    }

    void onReset(sim::ResetCause) override {
        booting_ = true;
        outputWindow_ = false;
        setCheckDue_ = false;  // boot takes the stored set-point as it is
    }

    void onBlockExtra(uint32_t addr) override {
        if (booting_ && addr == received_) {
            booting_ = false;  // the command loop polls the line: boot is over
            frames_.reset(m_.readSym("MyAddress"));
        }
    }

    void outputRose() {
        if (!booting_ && !outputWindow_) fail("output", "P1.2 switched on outside 'G', 'N' and boot; " + where());
    }

    void checkSetPoint() {
        setCheckDue_ = false;
        const auto setting = static_cast<int32_t>(m_.readSym("HV_Setting"));
        const auto max = static_cast<int32_t>(m_.readSym("MaxADC"));
        if (setting > max)
            fail("set-point", "HV_Setting " + std::to_string(setting) + " above MaxADC " + std::to_string(max));
    }

    void ending() override {
        // "0\r" closes whatever the input left open (a frame that still
        // wants its value takes a second one), until the loop waits at its top.
        for (int i = 0; i < 4 && ok() && waitingIn() != "received"; ++i) {
            send("0\r");
            settle();
        }
        if (!ok()) return;
        size_t before = sentCount();
        send("A253\r");
        settle();
        if (!ok()) return;
        const uint32_t address = m_.readSym("MyAddress");
        const std::string reply = sentSince(before);
        if (reply != std::to_string(address) + "\r\n") {
            fail("no answer", "\"A253\\r\" got \"" + printable(reply) + "\"");
            return;
        }
        send("0\r");
        settle();
        const auto max = static_cast<int32_t>(m_.readSym("MaxADC"));
        uint32_t code = 1000;
        auto expected = [&](uint32_t v) { return static_cast<int32_t>(v) < max ? v : static_cast<uint32_t>(max); };
        if (expected(code) == m_.readSym("HV_Setting")) code = 1001;
        before = sentCount();
        send("E" + std::to_string(address) + " " + std::to_string(code) + "\r");
        settle();
        if (!ok()) return;
        if (m_.readSym("HV_Setting") != expected(code))
            fail("no effect", "\"E" + std::to_string(address) + " " + std::to_string(code) + "\" left HV_Setting at " +
                                  std::to_string(m_.readSym("HV_Setting")));
        if (setCheckDue_) checkSetPoint();
        if (watchdogResets() > 1) fail("watchdog", std::to_string(watchdogResets()) + " watchdog resets");
        if (store() != storeAtSnapshot_) {
            for (size_t i = 0; i < kVariables.size() && ok(); ++i) {
                const int now = stored(kVariables[i]);
                if (now != persistedAtSnapshot_[i] && !allowed_.count(kVariables[i]))
                    fail("persisted", "variable " + std::to_string(kVariables[i]) + " changed from " +
                                          std::to_string(persistedAtSnapshot_[i]) + " to " + std::to_string(now) +
                                          " without a valid frame that stores it");
            }
        }
    }

    Board board_;
    VelmoraFrames frames_;
    uint32_t received_ = 0, addressAtSnapshot_ = 1;
    std::array<uint8_t, 1024> storeAtSnapshot_{};
    std::array<int, 4> persistedAtSnapshot_{};
    std::set<uint32_t> allowed_;
    bool outputWindow_ = false, booting_ = false, setCheckDue_ = false;
};

}  // namespace fuzz
