// Per-routine profile of a running image, in instructions and in estimated
// core cycles of the ADuC702x's ARM7TDMI.
//
// The cycle estimate is the one the simulator's time runs on (cycle_cost.h).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/cycle_cost.h"

namespace sim {

class Machine;
enum class Mode : uint32_t;

class Profiler {
public:
    // Attaches to the machine's onBlock and onException hooks (keeping and
    // calling any hook already there) until destroyed. Routines come from
    // the loaded image's function symbols. Polling loops are not
    // fast-forwarded while a profile is taken: every pass is charged.
    explicit Profiler(Machine& m, const CycleModel& model = {});
    ~Profiler();
    Profiler(const Profiler&) = delete;
    Profiler& operator=(const Profiler&) = delete;

    struct Routine {
        std::string name;
        uint32_t addr = 0, size = 0;
        uint64_t instructions = 0;
        uint64_t cycles = 0;
        uint64_t blocks = 0;
    };

    // Totals so far. Instructions count every block begun; cycles every
    // block before the current one (a block's last instruction is settled,
    // branch taken or not, when the next block starts).
    uint64_t instructions() const { return instructions_; }
    uint64_t cycles() const { return cycles_; }
    uint64_t classCount(InsnClass c) const { return classCounts_[size_t(c)]; }
    // Bound of the estimate's error from conditional instructions charged
    // as executed: the cycles beyond their fetch, over every block begun.
    uint64_t conditionalSlack() const { return slack_; }
    // Routines with any cost, most cycles first.
    std::vector<Routine> routines() const;
    void clear();
    // A table of the `top` most expensive routines.
    std::string report(size_t top = 20) const;
    // Called at every block with the totals up to it (the block itself not
    // yet counted), and at every exception entry before its cost is added.
    std::function<void(uint32_t addr)> onBlock;
    std::function<void(uint32_t vector)> onException;

private:
    struct Block : BlockCost {
        uint32_t end = 0;  // address after the block
        int routine = -1;
    };
    const Block& blockAt(uint32_t addr, uint32_t size);
    void settle(uint32_t next);
    void block(uint32_t addr, uint32_t size);
    void exception(uint32_t vector, Mode mode);
    int routineOf(uint32_t addr) const;
    bool thumbAt(uint32_t addr) const;

    Machine& m_;
    CycleModel model_;
    std::function<void(uint32_t, uint32_t)> prevBlock_;
    std::function<void(uint32_t, Mode)> prevException_;
    bool fastForward_ = true;
    std::unordered_map<uint64_t, Block> blocks_;  // by address and size
    const Block* pending_ = nullptr;
    std::vector<Routine> routines_;       // sorted by address
    std::vector<std::pair<uint32_t, bool>> stateMarks_;  // mapping symbols: address, Thumb
    uint64_t instructions_ = 0, cycles_ = 0, slack_ = 0;
    uint64_t classCounts_[size_t(InsnClass::Count)] = {};
    uint64_t unattributedInstructions_ = 0, unattributedCycles_ = 0;
};

}  // namespace sim
