// Thumb-state routines of the probe image.
#include <stdint.h>

extern "C" {
extern volatile uint32_t probe_irq_count;

void thumb_handler(void) { probe_irq_count = probe_irq_count + 16; }

uint32_t thumb_add(uint32_t a, uint32_t b) { return a + b; }
}
