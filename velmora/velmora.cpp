// Converter controller: boot, the regulation tick and the command loop of a
// high-voltage supply node on a 9600 Bd multi-drop bus.
#include <stdint.h>

#include "EEPROM.h"
#include "Serial.h"
#include "System.h"
#include "delay.h"
#include "aduc702x.h"
#include "rprintf.h"

static_assert(static_cast<char>(-1) > 0, "characters are unsigned 8-bit");

namespace {

// ---- Constants of the regulator and the parameters ----

constexpr int32_t kMaxCode = 8090;                  // largest regulation code
constexpr int32_t kIntegralMax = kMaxCode * 16;     // integrator in 1/16 codes
static_assert(kIntegralMax == 129440);
constexpr int32_t kTemperatureOffset = 1317;
constexpr int32_t kErrorBand = 2;                   // codes
constexpr uint32_t kTickFast = 25;                  // T0LD: 77 us
constexpr uint32_t kTickSlow = 800;                 // T0LD: 2.45 ms
constexpr uint32_t kTickBoot = 50;                  // T0LD until the first regulation
constexpr uint32_t kTimer0Core16 = 0xC4;            // enabled, periodic, core / 16
constexpr uint32_t kAdcPowerUp = 0x20;
constexpr uint32_t kAdcIdle = 0x623;                // single software conversions
constexpr uint32_t kAdcStart = 0x6A3;               // the same, conversion started
constexpr uint32_t kWatchdogReload = 0x1000;        // 4096 / 32768 Hz = 125 ms
constexpr uint32_t kWatchdogMode = 0xE0;
constexpr uint32_t kWatchdogRefresh = 0xFF;
constexpr uint32_t kHvEnable = 1u << 18;            // GP1DAT: P1.2 output level
constexpr uint32_t kBroadcast = 253;
constexpr float kVoltsMax = 2010.0f;
constexpr float kCalibrationUnit = 3.0517578125e-05f;  // 2^-15 V per ADC2HV count
constexpr float kCalibrationScale = 32768.0f;
constexpr u16 kStoreMax = 0xFFFF;                   // the store keeps 16 bits

// Virtual addresses in the parameter store.
enum : u16 { VA_ADDRESS = 0, VA_SETTING = 2, VA_CALIBRATION = 4, VA_FLAGS = 6 };
// First-boot defaults: node 1, 2200 codes, 0.822021484375 V per code, off.
constexpr u16 kDefaultAddress = 1;
constexpr u16 kDefaultSetting = 2200;
constexpr u16 kDefaultCalibration = 26936;
constexpr u16 kDefaultFlags = 0;
constexpr u16 kFlagOutputOn = 1;

// ---- Float to integer conversions: truncate toward zero, saturate ----
// Worked out on the float's bits: comparisons and conversions from the
// soft-float library would cost some 450 bytes of flash for four calls.

constexpr uint32_t bits(float f) { return __builtin_bit_cast(uint32_t, f); }
constexpr uint32_t exponent(uint32_t b) { return (b >> 23) & 0xFF; }  // biased by 127
constexpr uint32_t significand(uint32_t b) { return (b & 0x7FFFFF) | 0x800000; }

// |f| truncated to an integer, saturated at 2^32 - 1; NaN gives 0.
constexpr uint32_t abs_truncated(uint32_t b) {
    const uint32_t e = exponent(b);
    if (e < 127) return 0;  // below 1
    if (e >= 127 + 32) return e == 0xFF && (b & 0x7FFFFF) != 0 ? 0 : UINT32_MAX;
    return e >= 150 ? significand(b) << (e - 150) : significand(b) >> (150 - e);
}

constexpr int32_t to_i32(float f) {
    const uint32_t b = bits(f);
    const uint32_t m = abs_truncated(b);
    const bool negative = (b >> 31) != 0;
    if (m > uint32_t(INT32_MAX)) return negative ? INT32_MIN : INT32_MAX;
    return negative ? static_cast<int32_t>(0u - m) : static_cast<int32_t>(m);
}

constexpr uint32_t to_u32(float f) {
    const uint32_t b = bits(f);
    return (b >> 31) != 0 ? 0 : abs_truncated(b);
}

// A float widened to double, plus 0.5 in double, converted to unsigned: for
// every float the sum is exact or rounds below the next integer, so this is
// the float rounded half up, and no double arithmetic is needed.
constexpr uint32_t round_half_up(float f) {
    const uint32_t b = bits(f);
    const uint32_t e = exponent(b);
    if ((b >> 31) != 0) return 0;
    if (e == 126) return 1;  // 0.5 <= f < 1
    const bool half = e >= 127 && e <= 149 && ((significand(b) >> (149 - e)) & 1) != 0;
    return abs_truncated(b) + (half ? 1 : 0);
}

static_assert(to_i32(__builtin_nanf("")) == 0 && to_u32(__builtin_nanf("")) == 0);
static_assert(to_i32(3e9f) == INT32_MAX && to_i32(-3e9f) == INT32_MIN && to_i32(-2147483648.0f) == INT32_MIN);
static_assert(to_i32(-10.8f) == -10 && to_i32(1808.447f) == 1808 && to_i32(-0.9f) == 0);
static_assert(to_u32(-0.5f) == 0 && to_u32(5e9f) == UINT32_MAX && to_u32(1216.51f) == 1216);
static_assert(to_u32(4294967040.0f) == 4294967040u && to_u32(0.999f) == 0 && to_u32(1.0f) == 1);
static_assert(to_u32(__builtin_inff()) == UINT32_MAX && to_i32(-__builtin_inff()) == INT32_MIN);

// The double reference, evaluated by the compiler only.
constexpr uint32_t via_double(float f) {
    const double d = static_cast<double>(f) + 0.5;
    return !(d > 0) ? 0 : d >= 4294967296.0 ? UINT32_MAX : static_cast<uint32_t>(d);
}
constexpr bool rounds_like_double(float f) { return round_half_up(f) == via_double(f); }
static_assert(rounds_like_double(0.0f) && rounds_like_double(0.49999997f) && rounds_like_double(0.5f) &&
              rounds_like_double(1.5f) && rounds_like_double(2.5f) && rounds_like_double(26935.5f) &&
              rounds_like_double(26935.498f) && rounds_like_double(26810.18f) && rounds_like_double(8388607.5f) &&
              rounds_like_double(4294967040.0f) && rounds_like_double(5e9f) && rounds_like_double(-0.3f) &&
              rounds_like_double(-7.0f) && rounds_like_double(1e-30f) && rounds_like_double(__builtin_nanf("")));

// Integrator addition that stops at the limits of its type instead of
// wrapping: a long overload walks the integrator down to INT32_MIN and it
// stays there, never jumping to full output.
constexpr int32_t add_saturating(int32_t a, int32_t b) {
    int32_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return b < 0 ? INT32_MIN : INT32_MAX;
    return sum;
}
static_assert(add_saturating(INT32_MIN + 5, -2445) == INT32_MIN);
static_assert(add_saturating(129440, INT32_MAX) == INT32_MAX);

// Integrator preset for a set-point: regulation code 8090 - set-point,
// computed modulo 2^32 like the rest of the 32-bit arithmetic.
constexpr int32_t preset(u16 setting) {
    return static_cast<int32_t>((static_cast<uint32_t>(kMaxCode) - setting) * 16u);
}
static_assert(preset(2200) == 94240 && preset(1216) == 109984 && preset(9000) == -14560);

}  // namespace

// ---- State shared by boot, the command loop and the regulation tick ----
// Every item is one aligned 32-bit word; the tick never nests, so whole-word
// reads and writes need no lock. Items written by one context and read by
// the other are volatile so that neither keeps a stale copy.

extern "C" {
constinit u16 MyAddress = 0;
constinit volatile u16 HV_Setting = 0;
constinit u16 ADC2HV = 0;
constinit u16 Flags = 0;
constinit float Code2Voltage = 0.0f;
constinit int32_t MaxADC = 0;
constinit volatile int32_t integral = 0;
constinit volatile int32_t HV_Measured = 0;
constinit volatile u32 adc_data[4] = {0, 0, 0, 0};
constinit volatile int32_t Temperature = 0;
constinit volatile int32_t ProgramOk = 0;
constinit char NextChar = 0;

void Timer0_IRQ_Handler(void);
u16 GetWORD(void);
int main(void);
}

// ---- Regulation tick ----
// One ADC input per tick in the slot order 1, 2, 3, 16 (temperature), 0;
// the slot-0 tick regulates while the output is on. Integer arithmetic
// only and no calls: it runs on a 128-byte IRQ stack every 77 us at worst.

extern "C" void Timer0_IRQ_Handler(void) {
    // The data copy of start-up gives the first slot, ADC1.
    static constinit u32 input_index = 1;

    ADCCP = input_index;
    ADCCON = kAdcStart;
    while (ADCSTA == 0) {}
    const u32 code = (ADCDAT >> 16) & 0xFFF;

    if (input_index == ADCCP_TEMPERATURE) {
        Temperature = kTemperatureOffset - static_cast<int32_t>(code);
        input_index = 0;
    } else {
        if (input_index == 0) {
            HV_Measured = static_cast<int32_t>(code);
            adc_data[0] = static_cast<u32>(HV_Measured);
            if ((GP1DAT & kHvEnable) != 0) {
                // Measured above the set-point raises the code: the supply's
                // control input works the other way round.
                const int32_t delta = static_cast<int32_t>(static_cast<u32>(HV_Measured) - HV_Setting);
                int32_t acc = add_saturating(integral, delta);
                u32 DAC_Value;
                if (acc < 0) {
                    DAC_Value = 0;
                } else if (acc > kIntegralMax) {
                    acc = kIntegralMax;
                    DAC_Value = kMaxCode;
                } else {
                    DAC_Value = static_cast<u32>(acc) >> 4;
                }
                integral = acc;
                // 13 bits over two 12-bit DACs summed in hardware: each takes
                // bits 27:16, so DAC0 gets floor(v/2) and DAC1 floor((v+1)/2).
                DAC0DAT = DAC_Value << 15;
                DAC1DAT = (DAC_Value + 1) << 15;
                // |delta| as a signed 32-bit value: -2^31 stays negative and
                // counts as within the band, like the two's-complement
                // absolute value compared signed.
                const u32 magnitude = delta < 0 ? 0u - static_cast<u32>(delta) : static_cast<u32>(delta);
                T0LD = static_cast<int32_t>(magnitude) > kErrorBand ? kTickFast : kTickSlow;
            }
        } else {
            adc_data[input_index] = code;
        }
        if (++input_index > 3) input_index = ADCCP_TEMPERATURE;
    }

    // Refresh the watchdog only if the command loop came round since the
    // last refresh.
    if (ProgramOk != 0) {
        ProgramOk = 0;
        T3CLRI = kWatchdogRefresh;
    }
    T0CLRI = 0;
}

// ---- Parameters ----

extern "C" void EE_Set(u16 VirtAddress, u16 Data) {
    u16 CurrentData = 0;
    if (EE_Read(VirtAddress, &CurrentData) == False || CurrentData != Data) EE_Write(VirtAddress, Data);
}

namespace {
// Reads a parameter into its global. A store that is no longer blank but
// lacks the variable (power failed while the first boot wrote the defaults)
// gets the default written again, rather than running on with 0: node
// address 0 and calibration 0 would leave the node unreachable and dividing
// by zero.
void LoadParameter(u16 VirtAddress, u16 Default, u16& Value) {
    if (EE_Read(VirtAddress, &Value) == True) return;
    EE_Set(VirtAddress, Default);
    EE_Read(VirtAddress, &Value);
}
}  // namespace

namespace {

void set_output(bool on) {
    if (on)
        GP1DAT |= kHvEnable;
    else
        GP1DAT &= ~kHvEnable;
}

// ---- Command frames ----

bool GoodAddress() { return (GetWORD() & 0xFF) == MyAddress; }

// A frame ended by CR may be CR LF: the host still drives the LF for one
// character time (1.04 ms at 9600 Bd) after the CR came in. A reply started
// at once would collide with it on the half-duplex line, so it waits that
// character out (1150 units of 0.957 us = 1.10 ms, margin assumed).
void TurnAround() {
    constexpr uint32_t kLineEndUnits = 1150;
    if (NextChar == '\r') delay(kLineEndUnits);
}

// The error record covers every byte since the last frame ended: bytes
// overrun or garbled while this node was busy replying (putchar's status
// reads clear the UART's own flags) count against the next frame, so the
// record is cleared only when a frame is judged. False when the line
// flagged an error.
bool FrameClean() {
    if (RxErrors == 0) return true;
    RxErrors = 0;
    return false;
}

// 'A' address [' ' new address]: query, or set when the new address is not 0.
// Broadcast 253 reaches every node.
void AddressCommand() {
    const u16 addressed = GetWORD() & 0xFF;
    // A garbled address that happens to match would answer over the node
    // that was addressed.
    if (!FrameClean()) return;
    if (addressed != kBroadcast && addressed != MyAddress) return;
    if (NextChar == ' ') {
        const u16 n = GetWORD() & 0xFF;
        if (!FrameClean()) return;
        if (n != 0) {
            MyAddress = n;
            EE_Set(VA_ADDRESS, n);
        }
    }
    TurnAround();
    rprintf("%u\n", MyAddress);
}

// 'E' in codes, 'U' and 'V' in volts; 'V' also persists. Limited to MaxADC
// from above only.
void SetPoint(unsigned char letter) {
    u16 v = GetWORD();
    if (!FrameClean()) return;
    if (letter != 'E') v = to_u32(static_cast<float>(static_cast<int32_t>(v)) / Code2Voltage);
    const u16 setting = static_cast<int32_t>(v) < MaxADC ? v : static_cast<u16>(MaxADC);
    if (setting == HV_Setting) return;
    HV_Setting = setting;
    integral = preset(setting);
    if (letter == 'V') EE_Set(VA_SETTING, setting);
}

// 'C' volts: the host measured `volts` at the present set-point.
void Calibrate() {
    const int32_t volts = static_cast<int32_t>(GetWORD());
    if (!FrameClean()) return;
    const u16 setting = HV_Setting;
    // A zero reading or a zero set-point gives no factor at all; a factor
    // that rounds to 0 or does not fit the store's 16 bits would come back
    // different after the next reset. Such frames change nothing.
    if (volts == 0 || setting == 0) return;
    const float factor = static_cast<float>(volts) / static_cast<float>(setting);
    const u32 calibration = round_half_up(factor * kCalibrationScale);
    if (calibration == 0 || calibration > kStoreMax) return;
    Code2Voltage = factor;
    ADC2HV = calibration;
    EE_Set(VA_CALIBRATION, ADC2HV);
    MaxADC = to_i32(kVoltsMax / Code2Voltage);
}

void OutputOff(bool persist) {
    Flags &= ~kFlagOutputOn;
    if (persist) EE_Set(VA_FLAGS, Flags);
    set_output(false);
}

void OutputOn(bool persist) {
    Flags |= kFlagOutputOn;
    if (persist) EE_Set(VA_FLAGS, Flags);
    set_output(true);
    integral = preset(HV_Setting);
}

void Dump() {
    TurnAround();
    rprintf("\n");
#ifdef VELMORA_FAULT_DUMP_FORMAT
    // Test image only: a dump whose ADC lines lack their closing CR, for the
    // protocol checks to catch.
    for (int32_t i = 0; i < 4; ++i) rprintf("ADC[%i]=%u\n", i, adc_data[i]);
#else
    for (int32_t i = 0; i < 4; ++i) rprintf("ADC[%i]=%u\n\r", i, adc_data[i]);
#endif
    // Tenths of a code per 1.3: the sensor's slope, in whole degrees.
    const int32_t tenfold = static_cast<int32_t>(static_cast<uint32_t>(Temperature) * 10u);
    rprintf("Temperature=%i\n\r", tenfold / 13);
    rprintf("\n\r");
}

unsigned char upper(int c) {
    return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
}

[[noreturn]] void CommandLoop() {
    for (;;) {
        ProgramOk = 1;  // the tick refreshes the watchdog once per pass
        if (received() == 0) continue;
        const unsigned char letter = upper(getchar());
        // Line ends are no command letters: the LF that ends another node's
        // reply, or a host's CR LF, would otherwise leave this node waiting
        // for an address until its watchdog resets it.
        if (letter == '\r' || letter == '\n') continue;
        // A frame with a byte the UART flagged (a break, a garbled or an
        // overrun byte) is dropped: what it says is not what was sent.
        if (letter == 'A') {
            AddressCommand();
            continue;
        }
        // Every other letter carries an address, commands or not.
        const bool mine = GoodAddress();
        if (!FrameClean() || !mine) continue;
        switch (letter) {
        case 'C': Calibrate(); break;
        case 'D': Dump(); break;
        case 'E': case 'U': case 'V': SetPoint(letter); break;
        case 'F': OutputOff(false); break;
        case 'S': OutputOff(true); break;
        case 'G': OutputOn(true); break;
        case 'N': OutputOn(false); break;
        case 'H': {
            TurnAround();
            const int32_t measured = HV_Measured;
            rprintf("e=%u\n", to_i32(static_cast<float>(measured) * Code2Voltage));
            break;
        }
        case 'R':
            TurnAround();
            rprintf("e=%u\n", HV_Measured);
            break;
        case 'K': RSTSTA = RST_SOFTWARE; break;
        default: break;  // no command: the frame is consumed silently
        }
    }
}

void InitADC() {
    ADCCON = kAdcPowerUp;
    REFCON = 1;  // internal 2.5 V reference on VREF
    ADCCON = kAdcIdle;
}

}  // namespace

// Reads a decimal number up to the first non-digit, which is consumed and
// kept in NextChar. No digits give 0; too many wrap modulo 2^32.
extern "C" u16 GetWORD(void) {
    u16 result = 0;
    for (;;) {
        NextChar = static_cast<char>(getchar());
        if (NextChar < '0' || NextChar > '9') return result;
        result = result * 10 + static_cast<u16>(NextChar - '0');
    }
}

int main(void) {
    InitController();
    InitADC();
    InitSerial();

    T3LD = kWatchdogReload;
    T3CON = kWatchdogMode;

    IRQ = Timer0_IRQ_Handler;
    T0LD = kTickBoot;
    T0CON = kTimer0Core16;
    IRQEN = INT_TIMER0;

    // The command loop is not running yet: give the store the whole period.
    T3CLRI = kWatchdogRefresh;
    T3CLRI = kWatchdogRefresh;

    if (EE_Erased() == True) EE_Format();
    EE_Recover();
    LoadParameter(VA_ADDRESS, kDefaultAddress, MyAddress);
    u16 setting = 0;
    LoadParameter(VA_SETTING, kDefaultSetting, setting);
    HV_Setting = setting;
    LoadParameter(VA_CALIBRATION, kDefaultCalibration, ADC2HV);
    LoadParameter(VA_FLAGS, kDefaultFlags, Flags);

    Code2Voltage = static_cast<float>(ADC2HV) * kCalibrationUnit;
    MaxADC = to_i32(kVoltsMax / Code2Voltage);
    integral = preset(HV_Setting);
    if ((Flags & kFlagOutputOn) != 0) set_output(true);

    CommandLoop();
}
