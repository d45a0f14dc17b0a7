// Faults and exception entry: undefined instructions, SWIs, aborts, and
// the IRQ and FIQ lines taken as the core unmasks them.
#include "core/machine.h"

#include "core/hooks.h"
#include "chip/periph/core_blocks.h"

namespace sim {

void Machine::setFault(const std::string& what) {
    if (fault_) return;
    fault_ = what + "; " + where();
    chip_.report("fault: " + *fault_);
    if (onFault) onFault(*fault_);
}

std::string Machine::where() const {
    uint32_t cpsr = this->cpsr();
    std::string s = "in block at " + image_.describe(lastBlock_) + ", pc " + image_.describe(pc()) + ", " +
                    toString(Mode(cpsr & 0x1F)) + " mode" + ((cpsr & 0x20) ? ", Thumb" : ", ARM");
    return s;
}

void Machine::takeException(uint32_t vector, Mode mode, uint32_t lr, bool maskFiq) {
    uint32_t old = cpsr();
    if (onException) onException(vector, mode);
    if (stackArmed_ && stackChecks_) checkStack(reg(SP), old, "when an exception interrupted it");
    uint32_t now = (old & ~0x3Fu) | uint32_t(mode) | 0x80 | (maskFiq ? 0x40 : 0);
    setCpsr(now);  // banked SP and LR switch with the mode
    if (stackArmed_ && stackChecks_) checkStack(reg(SP), now, "at exception entry");
    uc_reg_write(uc_, UC_ARM_REG_SPSR, &old);
    uc_reg_write(uc_, UC_ARM_REG_LR, &lr);
    uc_reg_write(uc_, UC_ARM_REG_PC, &vector);
    hs().startThumb = false;  // exceptions are taken in ARM state
}

void Machine::handleException() {
    int e = hs().pendingException;
    hs().pendingException = 0;
    uint32_t pcv = pc();
    bool t = thumb();
    switch (e) {
        case EXCP_UDEF:
            chip_.report("undefined instruction at " + image_.describe(pcv));
            takeException(0x04, Mode::Undefined, pcv + (t ? 2 : 4), false);
            break;
        case EXCP_SWI:
            // The emulator leaves the PC after the SWI instruction.
            chip_.report("software interrupt before " + image_.describe(pcv));
            takeException(0x08, Mode::Supervisor, pcv, false);
            break;
        case EXCP_PREFETCH_ABORT:
            setFault("prefetch abort at " + hex(pcv));
            break;
        case EXCP_DATA_ABORT: {
            // Only alignment checking raises data aborts here (other bad
            // addresses are caught as accesses outside memory).
            setFault("misaligned memory access (the ARM7TDMI would rotate or ignore the low address bits)");
            break;
        }
        default:
            setFault("unexpected exception " + std::to_string(e));
            break;
    }
}

bool Machine::enterInterruptIfPending() {
    bool fiq = chip_.fiqLine(), irq = chip_.irqLine();
    if (!fiq && !irq) {
        hs().watchUnmask = false;
        return false;
    }
    if (chip_.napping()) chip_.power().wake();
    uint32_t c = cpsr();
    const uint32_t at = pc();
    bool taken = false;
    if (fiq && !(c & 0x40)) {
        takeException(0x1C, Mode::Fiq, at + 4, true);
        taken = true;
    } else if (irq && !(c & 0x80)) {
        takeException(0x18, Mode::Irq, at + 4, false);
        taken = true;
    }
    if (taken) ++interruptsTaken_;
    // The interrupted code's polling loop is looked for anew as soon as the
    // outermost handler returns; otherwise the handler's own reader holds
    // the place until it has aged, many passes later.
    if (taken && hs().idleResume == ~0u) hs().idleResume = at;
    // A line still high is taken again as soon as the core unmasks it.
    hs().watchUnmask = true;
    return taken;
}

}  // namespace sim
