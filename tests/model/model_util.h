// Helpers of the model tests: a chip with no core, driven through its
// registers while the test moves virtual time.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "aduc702x.h"
#include "chip.h"
#include "periph/blocks.h"

namespace modeltest {

using sim::Ticks;

inline void advance(sim::Chip& chip, Ticks dt) { chip.sched().advanceTo(chip.now() + dt); }
inline void advanceTo(sim::Chip& chip, Ticks t) { chip.sched().advanceTo(t); }

// POWCON inside its key sequence.
inline void setPowcon(sim::Chip& chip, uint32_t value) {
    chip.write(POWKEY1.addr, POWKEY1_VAL);
    chip.write(POWCON.addr, value);
    chip.write(POWKEY2.addr, POWKEY2_VAL);
}

inline bool reported(const sim::Chip& chip, const std::string& part) {
    for (const auto& r : chip.reports())
        if (r.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace modeltest
