// Placeholders until the parameter store lands: the image links, boot finds
// no store and every parameter stays 0.
#include "EEPROM.h"

extern "C" {
__attribute__((weak)) Bool EE_Erased(void) { return False; }
__attribute__((weak)) Bool EE_Format(void) { return False; }
__attribute__((weak)) Bool EE_Read(u16, u16*) { return False; }
__attribute__((weak)) Bool EE_Write(u16, u16) { return False; }
__attribute__((weak)) Bool EE_Recover(void) { return False; }
}
