// Readout unit: start-up, the selection protocol and the command loop.
// One context, no interrupts: each command runs to completion, replies, and
// the loop waits for the next letter.
#include <stdint.h>

#include "Readout.h"
#include "Serial.h"
#include "aduc702x.h"
#include "keep.h"
#include "rprintf.h"

namespace {

constexpr uint8_t CR = 0x0D;
constexpr uint8_t ESC = 0x1B;
constexpr uint8_t BS = 0x08;
constexpr uint8_t LineLength = 24;

// Commands and arguments are case-insensitive; bytes other than a..z,
// 0x80..0xFF included, pass unchanged.
uint8_t Upcase(int c) {
    const auto ch = static_cast<uint8_t>(c);
    return (ch >= 'a' && ch <= 'z') ? static_cast<uint8_t>(ch - 0x20) : ch;
}

uint8_t ReadChar() { return Upcase(getchar()); }

}  // namespace

extern "C" {

constinit uint32_t MyAddress;
constinit int32_t IamSelected;
constinit char InStr[LineLength + 1];
constinit char* SPtr;
extern const uint16_t Version;
constexpr uint16_t Version = 3;
constinit uint32_t Error;
constinit uint32_t ErrorCode;

void InitController(void);
void GetString(char* str, uint8_t len);
void GetStringEcho(char* str, uint8_t len);
int32_t GetInt(void);
[[noreturn]] void Halt(void);

}  // extern "C"

namespace {

// One line: CR ends it, ESC empties and ends it, BS takes back the last
// character; the line also ends as soon as it holds len characters.
void ReadLine(char* str, uint8_t len, bool echo) {
    uint8_t n = 0;
    while (n < len) {
        const uint8_t c = ReadChar();
        if (c == CR) break;
        if (c == ESC) {
            n = 0;
            break;
        }
        if (c == BS) {
            if (n > 0) --n;
        } else {
            str[n++] = static_cast<char>(c);
        }
        if (echo) putchar(c);
    }
    str[n] = 0;
}

// The callers keep the number modulo 65536, so -1 reads as 65535.
uint32_t GetArgument() { return static_cast<uint32_t>(GetInt()) & 0xFFFF; }

void Select() {
    GetString(InStr, LineLength);
    SPtr = InStr;
    const uint32_t address = GetArgument();
    if (address == MyAddress) {
        IamSelected = 1;
        rprintf("S%u\n", address);
    } else {
        IamSelected = 0;
    }
}

void Measure() { ScanXY(); }

void Unselected(uint8_t c) {
    switch (c) {
        case 'I':
            GetString(InStr, LineLength);
            if (InStr[0] == 'D' && InStr[1] == 'N') rprintf("IDN%u\n", MyAddress);
            break;
        case 'M': Measure(); break;
        case 'S': Select(); break;
        case 'Z': Halt();
        default: Error |= 1; break;
    }
}

// Every other letter of the selected state: echo it with its line, end the
// line, then act on it.
void LineCommand(uint8_t c) {
    putchar(c);
    GetStringEcho(InStr, LineLength);
    rprintf("\n");
    SPtr = InStr;
    switch (c) {
        case 'A': {
            // 'A' takes any 16-bit value, but the scan can neither count nor
            // sum more than 2^MaxAveraging passes (larger values hang it), so
            // the value in force is limited and the reply shows it.
            const uint32_t v = GetArgument();
            if (v != 0) Averaging = v > MaxAveraging ? MaxAveraging : v;
            rprintf("A%u\n", Averaging);
            break;
        }
        case 'D': {
            const uint32_t v = GetArgument();
            if (v != 0) ChDel = v;
            rprintf("D%u\n", ChDel);
            break;
        }
        case 'L': DumpXY(); break;
        case 'V':
            if (InStr[0] == 0) rprintf("V%u\n", Version);
            break;
        default:
            ErrorCode = 1;
            putchar('?');
            break;
    }
}

void Selected(uint8_t c) {
    switch (c) {
        case 'R':
            putchar('R');
            for (unsigned ch = 0; ch < NumChannels; ++ch) rprintf("%u %u\n", xs[ch], ys[ch]);
            break;
        case 'M': Measure(); break;
        case 'S': Select(); break;
        case 'Z': Halt();
        default: LineCommand(c); break;
    }
}

}  // namespace

extern "C" {

void InitController(void) {
    GP0DAT = 0xF0000000;  // P0.4..P0.7 outputs, low: multiplexer input number
    GP1DAT = 0xF0000000;  // P1.4..P1.7 outputs, low: no multiplexer selected
    GP4DAT = 0x04000000;  // P4.2 output ...
    GP4DAT |= 0x40000;    // ... high: the scan indicator at rest
    T1CON = 0x180;        // Timer1 free-running on the core clock: delay's time base
}

void GetString(char* str, uint8_t len) { ReadLine(str, len, false); }

void GetStringEcho(char* str, uint8_t len) { ReadLine(str, len, true); }

int32_t GetInt(void) {
    bool negative = false;
    if (*SPtr == '-') {
        negative = true;
        ++SPtr;
    } else if (*SPtr == '+') {
        ++SPtr;
    }
    uint32_t value = 0;  // wraps modulo 2^32, as the callers expect
    while (*SPtr >= '0' && *SPtr <= '9') {
        value = value * 10 + static_cast<uint32_t>(*SPtr - '0');
        ++SPtr;
    }
    return static_cast<int32_t>(negative ? 0u - value : value);
}

// Nothing but a reset from outside brings the unit back.
void Halt(void) {
    for (;;) asm volatile("");
}

}  // extern "C"

int main(void) {
    // Interface routines the program calls only inline or not at all stay in
    // the image under their names, for the host tools and tests.
    KEEP_ROUTINE(ReadADC);
    KEEP_ROUTINE(SelectADC);
    KEEP_ROUTINE(ADC_Data);
    KEEP_ROUTINE(GetString);
    KEEP_ROUTINE(GetStringEcho);
    KEEP_ROUTINE(GetInt);
    KEEP_ROUTINE(Version);
    InitController();
    InitADC();
    InitSerial();
    MyAddress = 1;
    delay(10000);
    IamSelected = 0;
    for (;;) {
        const uint8_t c = ReadChar();
        if (IamSelected)
            Selected(c);
        else
            Unselected(c);
    }
}
