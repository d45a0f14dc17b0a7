// Polled UART driver, one source for both nodes. velmora talks on a
// multi-drop bus at 9600 Bd and may drive the bus only while its own byte is
// on the wire; tavlo has a line of its own at 115200 Bd and just keeps the
// transmitter fed.
#include "Serial.h"

#include <stdint.h>

#include "aduc702x.h"
#include "keep.h"
#include "rprintf.h"

namespace {

#if defined(NODE_VELMORA)
// 41.7792 MHz / 8 / (32 x 17) = 9600 Bd exactly.
constexpr uint32_t kDivisor = 17;
// Bus transceiver driver enable: P0.7 output level.
constexpr uint32_t kDriverEnable = 1u << 23;
#elif defined(NODE_TAVLO)
// 41.7792 MHz / (32 x 8 x (1 + 853/2048)) = 115213 Bd (nominal 115200).
constexpr uint32_t kDivisor = 8;
// Fractional divider enabled (bit 15), M = 1 (bits 12:11), N = 853.
constexpr uint32_t kFraction = (1u << 15) | (1u << 11) | 853u;
static_assert(kFraction == 0x8B55);
#else
#error "the serial driver is built for one node: define NODE_VELMORA or NODE_TAVLO"
#endif

constexpr uint32_t kUartPins = 0x11;  // P1.0 receive, P1.1 transmit
constexpr uint32_t k8N1 = 3;
constexpr uint32_t kRxErrors = COMSTA0_OE | COMSTA0_PE | COMSTA0_FE | COMSTA0_BI;

}  // namespace

extern "C" {

constinit unsigned RxErrors = 0;

}  // extern "C"

namespace {

// Stores only when there is an error: a polling loop that finds the line
// quiet then changes nothing, which the simulator's fast-forward relies on.
[[gnu::always_inline]] inline uint32_t line_status() {
    const uint32_t s = COMSTA0;
    if ((s & kRxErrors) != 0) RxErrors |= s & kRxErrors;
    return s;
}

}  // namespace

extern "C" {

void InitSerial(void) {
    GP1CON = kUartPins;  // whole register: every other port-1 pin is GPIO
    COMCON0 = COMCON0_DLAB;
    COMDIV0 = kDivisor;
    COMDIV1 = 0;
#if defined(NODE_TAVLO)
    COMDIV2 = kFraction;
#endif
    COMCON0 = k8N1;
    rprintf_devopen(putchar);
    // Part of the driver's interface although the applications never call them.
    KEEP_ROUTINE(write);
#if defined(NODE_VELMORA)
    KEEP_ROUTINE(puts);
#endif
}

int putchar(int ch) {
#if defined(NODE_VELMORA)
    // Every call ends with the transmitter completely empty, so the byte can
    // go at once; the driver stays on until the stop bit has left the pin.
    GP0DAT |= kDriverEnable;
    COMTX = static_cast<uint8_t>(ch);
    while ((line_status() & COMSTA0_TEMT) == 0) {}
    GP0DAT &= ~kDriverEnable;
#else
    // Only wait for room: the previous byte may still be shifting out.
    while ((line_status() & COMSTA0_THRE) == 0) {}
    COMTX = static_cast<uint8_t>(ch);
#endif
    return ch;
}

int getchar(void) {
    while ((line_status() & COMSTA0_DR) == 0) {}
    return static_cast<int>(COMRX & 0xFF);
}

int write(int /*file*/, char* ptr, int len) {
    int sent = 0;
    for (int i = 0; i < len && ptr[i] != '\0'; ++i) {
        putchar(static_cast<unsigned char>(ptr[i]));
        ++sent;
    }
    return sent;
}

#if defined(NODE_VELMORA)
int received(void) { return static_cast<int>(line_status() & COMSTA0_DR); }

int puts(char* ptr) {
    while (*ptr != '\0') putchar(static_cast<unsigned char>(*ptr++));
    return 1;
}
#endif

}  // extern "C"
