// Run-time support the compiler may call, with nothing hidden behind it:
// a division by zero or a pure virtual call stops here instead of pulling in
// abort() and the library's exception machinery.
#include <stddef.h>
#include <stdint.h>

extern "C" {

// Reached only through a bug; the core spins and (in an image with a
// watchdog) the chip resets.
[[noreturn]] void __aeabi_idiv0(void) { for (;;) {} }
[[noreturn]] void __aeabi_ldiv0(void) { for (;;) {} }
[[noreturn]] void __cxa_pure_virtual(void) { for (;;) {} }

// Plain byte loops: called only for the rare struct copy the compiler emits.
void* memcpy(void* dst, const void* src, size_t n) {
    auto* d = static_cast<uint8_t*>(dst);
    auto* s = static_cast<const uint8_t*>(src);
    while (n--) *d++ = *s++;
    return dst;
}

void* memset(void* dst, int c, size_t n) {
    auto* d = static_cast<uint8_t*>(dst);
    while (n--) *d++ = static_cast<uint8_t>(c);
    return dst;
}

}  // extern "C"
