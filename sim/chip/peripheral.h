// Base of every peripheral model: a block of registers with state and events.
#pragma once
#include <any>
#include <cstdint>
#include <string>
#include <tuple>
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

    // Snapshots: the block's whole state, the ids of its pending events
    // included, as one value, and back (see SIM_BLOCK_STATE). Wiring
    // (listeners, callbacks) is not state and stays as it is.
    virtual std::any saveState() const = 0;
    virtual void loadState(const std::any& state) = 0;

protected:
    Chip& chip_;
};

// A tuple of references to a block's state members, copied out as values.
template <class... T>
std::tuple<T...> stateValue(const std::tuple<T&...>& members) {
    return members;
}

}  // namespace sim

// Implements saveState/loadState of a block from one expression naming its
// state members: a tuple of references such as std::tie(a_, b_).
#define SIM_BLOCK_STATE(members)                                                                  \
    auto stateMembers() { return members; }                                                       \
    std::any saveState() const override {                                                         \
        return sim::stateValue(const_cast<std::remove_cv_t<std::remove_pointer_t<decltype(this)>>*>( \
                                   this)->stateMembers());                                       \
    }                                                                                             \
    void loadState(const std::any& state) override {                                              \
        auto m = stateMembers();                                                                  \
        m = std::any_cast<const decltype(sim::stateValue(m))&>(state);                           \
    }
