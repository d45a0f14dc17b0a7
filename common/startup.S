/* Start-up and IRQ entry for the ADuC702x (ARM state).
 *
 * The vectors load the PC from the address words that follow them, so every
 * handler runs from the flash window at 0x80000, not from the mirror at 0. */

#ifndef PLLCFG_Val
#error "PLLCFG_Val (core clock divider) must be defined per image"
#endif

        .equ MMR_BASE_0,     0xFFFF0000
        .equ POWKEY1_OFFSET, 0x404
        .equ POWCON_OFFSET,  0x408
        .equ POWKEY2_OFFSET, 0x40C

        .equ Mode_USR,   0x10
        .equ Mode_FIQ,   0x11
        .equ Mode_IRQ,   0x12
        .equ Mode_SVC,   0x13
        .equ Mode_ABT,   0x17
        .equ Mode_UNDEF, 0x1B
        .equ Mode_SYS,   0x1F
        .equ I_Bit,      0x80
        .equ F_Bit,      0x40

        .equ Top_Stack,  0x12000
        /* Undefined, Abort and Supervisor get room for their dispatcher's
           six-word frame plus a small handler, not just one word. */
        .equ UNDEF_Stack_Size, 0x40
        .equ ABT_Stack_Size,   0x40
        .equ FIQ_Stack_Size,   0x80
        .equ IRQ_Stack_Size,   0x80
        .equ SVC_Stack_Size,   0x40
        .equ USR_Stack_Size,   0x400

        /* Named in the image for the simulator's stack checks (no bytes). */
        .global Top_Stack, UNDEF_Stack_Size, ABT_Stack_Size, FIQ_Stack_Size
        .global IRQ_Stack_Size, SVC_Stack_Size, USR_Stack_Size
        .global __stacks_size
        .equ __stacks_size, UNDEF_Stack_Size + ABT_Stack_Size + FIQ_Stack_Size + IRQ_Stack_Size + SVC_Stack_Size + USR_Stack_Size

        .section .vectors, "ax"
        .arm
        .global Vectors
Vectors:
        ldr     pc, Reset_Address
        ldr     pc, Undef_Addr
        ldr     pc, SWI_Addr
        ldr     pc, PAbt_Addr
        ldr     pc, DAbt_Addr
        nop                             /* reserved vector */
        ldr     pc, IRQ_Addr
        ldr     pc, FIQ_Addr

Reset_Address:  .word Reset_Handler
Undef_Addr:     .word ADI_UNDEF_Interrupt_Setup
SWI_Addr:       .word ADI_SWI_Interrupt_Setup
PAbt_Addr:      .word ADI_PABORT_Interrupt_Setup
DAbt_Addr:      .word ADI_DABORT_Interrupt_Setup
IRQ_Addr:       .word ADI_IRQ_Interrupt_Wrapper
FIQ_Addr:       .word ADI_FIQ_Interrupt_Setup

        .global Reset_Handler
        .type   Reset_Handler, %function
Reset_Handler:
        /* Core clock divider: keyed write, nothing in between. */
        ldr     r0, =MMR_BASE_0
        mov     r1, #0x01
        mov     r2, #PLLCFG_Val
        mov     r3, #0xF4
        str     r1, [r0, #POWKEY1_OFFSET]
        str     r2, [r0, #POWCON_OFFSET]
        str     r3, [r0, #POWKEY2_OFFSET]

        /* One stack per mode, carved down from the top of RAM. */
        ldr     r0, =Top_Stack
        msr     cpsr_c, #Mode_UNDEF|I_Bit|F_Bit
        mov     sp, r0
        sub     r0, r0, #UNDEF_Stack_Size
        msr     cpsr_c, #Mode_ABT|I_Bit|F_Bit
        mov     sp, r0
        sub     r0, r0, #ABT_Stack_Size
        msr     cpsr_c, #Mode_FIQ|I_Bit|F_Bit
        mov     sp, r0
        sub     r0, r0, #FIQ_Stack_Size
        msr     cpsr_c, #Mode_IRQ|I_Bit|F_Bit
        mov     sp, r0
        sub     r0, r0, #IRQ_Stack_Size
        msr     cpsr_c, #Mode_SVC|I_Bit|F_Bit
        mov     sp, r0
        sub     r0, r0, #SVC_Stack_Size
        msr     cpsr_c, #Mode_USR
        mov     sp, r0
        sub     sl, sp, #USR_Stack_Size

        /* Initialised data: copy its image from flash. */
        ldr     r1, =_etext
        ldr     r2, =_data
        ldr     r3, =_edata
        cmp     r2, r3
        beq     DataIsEmpty
LoopRel:
        ldr     r0, [r1], #4
        str     r0, [r2], #4
        cmp     r2, r3
        blo     LoopRel
DataIsEmpty:

        /* Zero-initialised data, the handler slots among it. */
        mov     r0, #0
        ldr     r1, =__bss_start__
        ldr     r2, =__bss_end__
        cmp     r1, r2
        beq     Jump_To_Main
LoopZI:
        str     r0, [r1], #4
        cmp     r1, r2
        blo     LoopZI

Jump_To_Main:
        ldr     lr, =__Return_from_Main
        ldr     r0, =main
        bx      r0
        .global __Return_from_Main
__Return_from_Main:
        b       __Return_from_Main
        .size   Reset_Handler, . - Reset_Handler

/* IRQ: call the routine in the IRQ slot, if any, and resume the interrupted
   instruction with its status register. IRQs stay masked throughout. */
        .global ADI_IRQ_Interrupt_Wrapper
        .type   ADI_IRQ_Interrupt_Wrapper, %function
ADI_IRQ_Interrupt_Wrapper:
        sub     lr, lr, #4
        stmfd   sp!, {r0-r3, r12, lr}
        ldr     r0, =IRQ
        ldr     r0, [r0]
        cmp     r0, #0
        movne   lr, pc
        bxne    r0
        ldmfd   sp!, {r0-r3, r12, pc}^
        .size   ADI_IRQ_Interrupt_Wrapper, . - ADI_IRQ_Interrupt_Wrapper

        .ltorg
