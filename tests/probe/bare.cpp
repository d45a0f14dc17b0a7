// Start-up probe with no initialised data: the copy loop must copy nothing.
#include "aduc702x.h"

extern "C" {
volatile uint32_t bare_powcon_at_main;

int main(void) {
    bare_powcon_at_main = POWCON;
    for (;;) {}
}
}
