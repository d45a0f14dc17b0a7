/* The other exception dispatchers and the six handler slots.
 * Each saves the registers a called routine may change, calls its slot when
 * it is not empty, and returns restoring the interrupted status register. */

        .section .bss.handler_slots, "aw", %nobits
        .align  2
        .global IRQ, FIQ, SWI, UNDEF, PABORT, DABORT
IRQ:    .space 4
FIQ:    .space 4
SWI:    .space 4
UNDEF:  .space 4
PABORT: .space 4
DABORT: .space 4

        .text
        .arm

/* \slot: handler slot; \adjust: bytes to take off lr to reach the resume address */
.macro DISPATCH name, slot, adjust
        .global \name
        .type   \name, %function
\name:
        .if \adjust
        sub     lr, lr, #\adjust
        .endif
        stmfd   sp!, {r0-r3, r12, lr}
        ldr     r0, =\slot
        ldr     r0, [r0]
        cmp     r0, #0
        movne   lr, pc
        bxne    r0
        ldmfd   sp!, {r0-r3, r12, pc}^
        .size   \name, . - \name
.endm

        /* FIQ resumes the interrupted instruction. */
        DISPATCH ADI_FIQ_Interrupt_Setup, FIQ, 4
        /* SWI and undefined instruction resume after the instruction. */
        DISPATCH ADI_SWI_Interrupt_Setup, SWI, 0
        DISPATCH ADI_UNDEF_Interrupt_Setup, UNDEF, 0
        /* Aborts are never expected: after the slot, resume after the faulting
           instruction (lr is fetch+4 for a prefetch abort, access+8 for a data
           abort), so a stray access cannot loop for ever. */
        DISPATCH ADI_PABORT_Interrupt_Setup, PABORT, 0
        DISPATCH ADI_DABORT_Interrupt_Setup, DABORT, 4

        .ltorg
