// The nodes' formatter: integers, characters and strings with an optional
// '0' or ' ' flag and one width digit. Every LF goes out as CR LF, whatever
// produced it, because the host terminals expect both.
#include "rprintf.h"

#include <stdarg.h>
#include <stdint.h>

namespace {

constinit int (*putcharfunc)(int) = nullptr;

void myputchar(unsigned char c) {
    if (c == '\n') putcharfunc('\r');
    putcharfunc(c);
}

// Builds `u_val` right-aligned in `scratch` (digits, then `fill` while
// `width` still counts) and emits it. Longer numbers are never cut.
void emit_number(uint32_t u_val, uint16_t base, uint8_t fill, uint8_t width) {
    char scratch[12];
    unsigned pos = 11;
    scratch[pos] = '\0';
    do {
        const uint32_t digit = u_val % base;
        scratch[--pos] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
        u_val /= base;
        if (width > 0) --width;
    } while (u_val != 0);
    for (; width > 0; --width) scratch[--pos] = static_cast<char>(fill);
    while (scratch[pos] != '\0') myputchar(static_cast<unsigned char>(scratch[pos++]));
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

extern "C" {

void rprintf_devopen(int (*put)(int)) { putcharfunc = put; }

void rprintf(const char* format, ...) {
    // Nowhere to send the text before the line is set up: say nothing rather
    // than jump through a null pointer.
    if (putcharfunc == nullptr) return;

    va_list args;
    va_start(args, format);
    const auto* p = reinterpret_cast<const unsigned char*>(format);
    for (unsigned char c; (c = *p++) != '\0';) {
        if (c != '%') {
            myputchar(c);
            continue;
        }
        // Each read below follows a character that was not the NUL, so the
        // walk never passes the end of the format.
        uint8_t fill = 0;
        uint8_t width = 0;
        c = *p++;
        if (c == '0' || c == ' ') {
            fill = c;
            c = *p++;
            if (is_digit(c)) {
                width = static_cast<uint8_t>(c - '0');
                c = *p++;
            }
        }
        if (c == 'l' || c == 'L') c = *p++;  // every integer argument is 32-bit anyway
        // The format ended inside a conversion: that unfinished
        // conversion prints nothing and takes no argument.
        if (c == '\0') break;

        switch (c) {
        case 'd': case 'i': case 'D': case 'I': {
            const int32_t s_val = va_arg(args, int32_t);
            uint32_t u_val = static_cast<uint32_t>(s_val);
            if (s_val < 0) {
                myputchar('-');
                u_val = 0u - u_val;  // -2147483648 becomes 2147483648
            }
            emit_number(u_val, 10, fill, width);
            break;
        }
        case 'u': case 'U':
            emit_number(va_arg(args, uint32_t), 10, fill, width);
            break;
        case 'x': case 'X':
            emit_number(va_arg(args, uint32_t), 16, fill, width);
            break;
        case 'c': case 'C':
            myputchar(static_cast<unsigned char>(va_arg(args, uint32_t)));
            break;
        case 's': case 'S': {
            const auto* s = reinterpret_cast<const unsigned char*>(va_arg(args, const char*));
            if (s == nullptr) break;  // no text to print
            while (*s != '\0') myputchar(*s++);
            break;
        }
        default:
            // '%', a digit right after '%', a second 'l'...: the character
            // itself, with any flag and width dropped.
            myputchar(c);
            break;
        }
    }
    va_end(args);
}

}  // extern "C"
