#include "board/velmora_board.h"

#include <charconv>
#include <cmath>
#include <cstdio>


namespace sim {

VelmoraBoard::VelmoraBoard(const VelmoraParams& p) : p_(p), supply_(p.supply) {}

#define SUPPLY_PARAM(name, unit, field, text)                                     \
    ParamInfo{name, unit, text, [](const VelmoraParams& p) { return double(p.supply.field); }, \
              [](VelmoraParams& p, double v) { p.supply.field = decltype(p.supply.field)(v); }}
#define BOARD_PARAM(name, unit, field, text)                                      \
    ParamInfo{name, unit, text, [](const VelmoraParams& p) { return p.field; },    \
              [](VelmoraParams& p, double v) { p.field = v; }}

const std::vector<ParamInfo>& VelmoraBoard::paramTable() {
    static const std::vector<ParamInfo> table = {
        SUPPLY_PARAM("hv.volts_per_code", "V", voltsPerCode,
                     "true output volts per ADC0 code (divider); firmware default calibration is 0.822"),
        SUPPLY_PARAM("hv.zero_code", "code", zeroCode,
                     "ADC0 code reached with zero control input, nominal gain, no load"),
        SUPPLY_PARAM("hv.codes_per_volt", "code/V", codesPerVolt,
                     "output fall per volt of control input (DAC0 + DAC1), in ADC0 codes"),
        SUPPLY_PARAM("hv.gain_error", "1", gainError, "relative gain error of the supply (0.01 = +1 %)"),
        SUPPLY_PARAM("hv.offset_v", "V", offsetVolts, "output offset"),
        SUPPLY_PARAM("hv.max_v", "V", maxVolts, "compliance ceiling of the output"),
        SUPPLY_PARAM("hv.tau_ms", "ms", tauMs, "time constant of the output lag while enabled"),
        SUPPLY_PARAM("hv.off_tau_ms", "ms", offTauMs, "decay time constant after the enable (P1.2) drops"),
        SUPPLY_PARAM("hv.rout_kohm", "kOhm", rOutKohm, "source resistance of the output"),
        SUPPLY_PARAM("hv.load_mohm", "MOhm", loadMohm, "resistive load on the output; 0 = none"),
        SUPPLY_PARAM("hv.noise_v", "V", noiseVolts, "rms noise on the output as the feedback sees it"),
        SUPPLY_PARAM("hv.seed", "1", seed, "seed of the feedback noise"),
        BOARD_PARAM("adc1_v", "V", auxVolts[0], "voltage at auxiliary input ADC1"),
        BOARD_PARAM("adc2_v", "V", auxVolts[1], "voltage at auxiliary input ADC2"),
        BOARD_PARAM("adc3_v", "V", auxVolts[2], "voltage at auxiliary input ADC3"),
        BOARD_PARAM("chip.temp_c", "C", chipTempC, "die temperature"),
        BOARD_PARAM("tsense.v25", "V", sensorVolts25, "temperature sensor output at 25 C (datasheet: 0.780)"),
        BOARD_PARAM("tsense.mv_per_c", "mV/C", sensorMvPerC, "temperature sensor slope (datasheet: -1.3)"),
        BOARD_PARAM("bus.rx_always_on", "0/1", rxAlwaysOn,
                    "bus transceiver wiring: 0 receive enable tied to the driver enable P0.7 (the node does not "
                    "hear its own bytes), 1 receiver always on (it hears them)"),
    };
    return table;
}
#undef SUPPLY_PARAM
#undef BOARD_PARAM

std::string VelmoraBoard::describeParams() {
    std::string out;
    char line[256];
    for (const ParamInfo& i : paramTable()) {
        std::snprintf(line, sizeof line, "%-18s %-7s %-10g %s\n", i.name, i.unit, i.defaultValue(), i.description);
        out += line;
    }
    return out;
}

static const ParamInfo* findParam(std::string_view name) {
    for (const ParamInfo& i : VelmoraBoard::paramTable())
        if (name == i.name) return &i;
    return nullptr;
}

void VelmoraBoard::setParams(const VelmoraParams& p, Ticks now) {
    p_ = p;
    supply_.setParams(p.supply, now);
}

bool VelmoraBoard::setParam(std::string_view name, double value, Ticks now) {
    const ParamInfo* i = findParam(name);
    if (!i) return false;
    VelmoraParams p = p_;
    i->set(p, value);
    setParams(p, now);
    return true;
}

std::optional<double> VelmoraBoard::param(std::string_view name) const {
    const ParamInfo* i = findParam(name);
    if (!i) return std::nullopt;
    return i->get(p_);
}

std::string VelmoraBoard::applyParam(std::string_view assignment, Ticks now) {
    const size_t eq = assignment.find('=');
    if (eq == std::string_view::npos) return "expected NAME=VALUE: " + std::string(assignment);
    const std::string_view name = assignment.substr(0, eq), text = assignment.substr(eq + 1);
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value))
        return "not a number: " + std::string(text);
    if (!findParam(name)) return "unknown parameter: " + std::string(name);
    // Values the model cannot stand for: a negative lag or source, a divider
    // of zero (the feedback divides by it).
    if ((name == "hv.tau_ms" || name == "hv.off_tau_ms") && value < 0) return "a time constant cannot be negative";
    if (name == "hv.volts_per_code" && !(value > 0)) return "the divider's volts per code must be above 0";
    if ((name == "hv.max_v" || name == "hv.rout_kohm" || name == "hv.load_mohm" || name == "hv.noise_v") && value < 0)
        return std::string(name) + " cannot be negative";
    if (name == "hv.seed" && (value < 0 || value != std::floor(value) || value > 1.8e19))
        return "the seed is a whole number of 0 or more";
    setParam(name, value, now);
    return {};
}

double VelmoraBoard::adcInput(unsigned channel, Ticks t) {
    switch (channel) {
        case kFeedbackChannel: return supply_.feedbackVolts(t);
        case 1: case 2: case 3: return p_.auxVolts[channel - 1];
        case kTempChannel: return p_.sensorVolts25 + p_.sensorMvPerC * 1e-3 * (p_.chipTempC - 25);
        default: return 0.0;
    }
}

void VelmoraBoard::pinsChanged(unsigned port, uint8_t levels, uint8_t outputs, Ticks t) {
    const uint8_t driven = levels & outputs;
    if (port == kEnablePort) {
        const bool on = (driven >> kEnableBit) & 1;
        if (on != supply_.enabled()) supply_.setEnabled(on, t);
    } else if (port == kDriverPort) {
        setDriver((driven >> kDriverBit) & 1, t);
    }
}

void VelmoraBoard::dacChanged(unsigned dac, double volts, Ticks t) { supply_.setDac(dac, volts, t); }

}  // namespace sim
