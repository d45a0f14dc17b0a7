// Board-support test image: start-up, exception dispatch and interworking,
// driven by the simulator's routine tests through the symbols below.
#include <initializer_list>

#include "aduc702x.h"

extern "C" {

// Initialised data that start-up must copy, and zero-initialised data it
// must clear, whatever RAM held before.
volatile uint32_t probe_initialised[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
volatile uint32_t probe_zeroed[4];
volatile uint32_t probe_main_entered;
volatile uint32_t probe_powcon_at_main;
volatile uint32_t probe_irq_count;

void thumb_handler(void);  // Thumb state (thumb.cpp)
void probe_timer_start(uint32_t reload);
uint32_t probe_poll(uint32_t ticks);
uint32_t probe_poll_storing(uint32_t ticks, uint32_t count);
uint32_t thumb_add(uint32_t a, uint32_t b);

// Routine-call checks: four word arguments, one result.
uint32_t probe_mix(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return a + 2 * b + 3 * c + 4 * d;
}

// Calls Thumb code from ARM code.
uint32_t probe_call_thumb(uint32_t a, uint32_t b) { return thumb_add(a, b) + 1; }

void arm_handler(void) { probe_irq_count = probe_irq_count + 1; }

void probe_install(uint32_t which) {
    IRQ = which == 0 ? nullptr : which == 1 ? arm_handler : thumb_handler;
}

// An undefined instruction, to exercise the UNDEF dispatcher.
void probe_undefined(void) { asm volatile(".word 0xE7F000F0"); }
// Coprocessor instructions, which this core does not have: the MRC is
// undefined (r0 keeps 0x55 through the dispatcher), the MCR's condition
// fails and it does nothing. Returns r0.
uint32_t probe_coprocessor(void);
asm(R"(
    .text
    .arm
    .global probe_coprocessor
    .type probe_coprocessor, %function
probe_coprocessor:
    mov r0, #0x55
    mrc p15, 0, r0, c0, c0, 0
    movs r1, #0
    mcrne p15, 0, r1, c1, c0, 0
    bx lr
)");
// A software interrupt, to exercise the SWI dispatcher.
void probe_swi(void) { asm volatile("swi 0x12"); }

// Spins with registers holding known values, so a test can interrupt it and
// check that nothing changed.
void probe_spin(void);
asm(R"(
    .text
    .arm
    .global probe_spin
    .type probe_spin, %function
probe_spin:
    ldr r0, =0x10101010
    ldr r1, =0x20202020
    ldr r2, =0x30303030
    ldr r3, =0x40404040
    ldr r12, =0xC0C0C0C0
    mov lr, #0
    movs r4, #0        @ Z set, C/N/V as left
probe_spin_loop:
    b probe_spin_loop
    .ltorg
)");

// POWCON's key sequence with r0 as the new value: as start-up writes it
// (how 0), with a RAM store after POWKEY1 (1), with a literal-pool load
// from the flash before POWKEY2 (2); across a branch with no memory access
// (3) and with a RAM store in the block branched to (4).
void probe_keyed_powcon(uint32_t value, uint32_t how);
asm(R"(
    .text
    .arm
    .global probe_keyed_powcon
    .type probe_keyed_powcon, %function
probe_keyed_powcon:
    ldr r2, =0xFFFF0000
    mov r3, #0x01
    mov r12, #0xF4
    cmp r1, #1
    beq 1f
    cmp r1, #2
    beq 2f
    cmp r1, #3
    beq 3f
    cmp r1, #4
    beq 4f
    str r3, [r2, #0x404]
    str r0, [r2, #0x408]
    str r12, [r2, #0x40C]
    bx lr
1:  str r3, [r2, #0x404]
    str r3, [sp, #-4]
    str r0, [r2, #0x408]
    str r12, [r2, #0x40C]
    bx lr
2:  str r3, [r2, #0x404]
    str r0, [r2, #0x408]
    ldr r3, =0x12345678
    str r12, [r2, #0x40C]
    bx lr
3:  str r3, [r2, #0x404]
    b 5f
4:  str r3, [r2, #0x404]
    b 6f
5:  add r3, r3, #1
    str r0, [r2, #0x408]
    str r12, [r2, #0x40C]
    bx lr
6:  ldr r3, [sp, #-4]
    str r0, [r2, #0x408]
    str r12, [r2, #0x40C]
    bx lr
    .ltorg
)");

int main(void) {
    // Keep the routines the tests call (nothing else references them).
    for (const void* f : {(const void*)probe_mix, (const void*)probe_call_thumb,
                          (const void*)probe_install, (const void*)probe_undefined, (const void*)probe_coprocessor,
                          (const void*)probe_swi, (const void*)probe_spin,
                          (const void*)probe_initialised, (const void*)probe_zeroed,
                          (const void*)&probe_irq_count, (const void*)probe_timer_start,
                          (const void*)probe_poll, (const void*)probe_poll_storing, (const void*)probe_keyed_powcon})
        asm volatile("" ::"r"(f));
    probe_powcon_at_main = POWCON;
    probe_main_entered = 1;
    return 0;  // start-up spins in __Return_from_Main
}

}  // extern "C"

extern "C" {
// Timer0 ticks counted by an interrupt handler, and a loop that polls a
// status register until enough ticks have come: the shape of the nodes'
// main loops, for the simulator's fast-forward of polling loops.
void probe_timer_handler(void) {
    probe_irq_count = probe_irq_count + 1;
    T0CLRI = 0;
}

void probe_timer_start(uint32_t reload) {
    IRQ = probe_timer_handler;
    T0LD = reload;
    T0CON = 0xC4;
    IRQEN = INT_TIMER0;
}

uint32_t probe_poll(uint32_t ticks) {
    while (probe_irq_count < ticks) {
        if (COMSTA0 & COMSTA0_DR) return 0;
    }
    return 1;
}

// The same with stores in every pass: the same value each time (the state
// still repeats) or, with count set, a new one each time (it never does).
volatile uint32_t probe_mark, probe_passes;
uint32_t probe_poll_storing(uint32_t ticks, uint32_t count) {
    while (probe_irq_count < ticks) {
        if (COMSTA0 & COMSTA0_DR) return 0;
        probe_mark = 7;
        if (count) probe_passes = probe_passes + 1;
    }
    return 1;
}
}
