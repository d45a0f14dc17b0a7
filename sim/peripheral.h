// Base of every peripheral model: a block of registers with state and events.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Chip;

enum class ResetCause { PowerOn, Watchdog, Software };
const char* toString(ResetCause c);

class Peripheral {
public:
    explicit Peripheral(Chip& chip) : chip_(chip) {}
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    virtual const char* name() const = 0;
    // Absolute addresses of the registers this block answers.
    virtual std::vector<uint32_t> registers() const = 0;
    // Back to the chip's reset values (cancel own events).
    virtual void reset(ResetCause cause) = 0;
    virtual uint32_t read(uint32_t addr) = 0;
    virtual void write(uint32_t addr, uint32_t value) = 0;
    // Short human-readable state, for the debugger's monitor command.
    virtual std::string state() const { return {}; }

protected:
    Chip& chip_;
};

}  // namespace sim
