#include "debug/vcd.h"

#include <array>

#include "chip/chip.h"
#include "chip/periph/analog.h"
#include "chip/periph/gpio.h"

namespace sim {

VcdWriter::VcdWriter(std::ostream& out) : out_(&out) {}

VcdWriter::VcdWriter(const std::string& path)
    : file_(std::make_unique<std::ofstream>(path, std::ios::trunc)), out_(file_.get()) {}

VcdWriter::~VcdWriter() { out_->flush(); }

int VcdWriter::addSignal(const std::string& name, unsigned width) {
    if (started_ || pending_ || width == 0 || width > 64) return -1;
    // Identifier codes: base-94 numbers in the printable characters.
    std::string code;
    for (size_t n = signals_.size();; n /= 94) {
        code += char('!' + n % 94);
        if (n < 94) break;
    }
    signals_.push_back({name, width, code});
    return int(signals_.size() - 1);
}

static uint64_t toNs(Ticks t) {
    return uint64_t((unsigned __int128)t * 1'000'000'000u / kTicksPerSecond);
}

void VcdWriter::start(Ticks t) {
    started_ = true;
    *out_ << "$version aducsim $end\n$timescale 1 ns $end\n$scope module chip $end\n";
    for (const Signal& s : signals_)
        *out_ << "$var wire " << s.width << ' ' << s.code << ' ' << s.name << " $end\n";
    *out_ << "$upscope $end\n$enddefinitions $end\n";
    lastNs_ = toNs(t);
    *out_ << '#' << lastNs_ << "\n$dumpvars\n";
    for (const Signal& s : signals_) emit(s);
    *out_ << "$end\n";
}

void VcdWriter::stamp(Ticks t) {
    uint64_t ns = toNs(t);
    if (ns > lastNs_) {
        lastNs_ = ns;
        *out_ << '#' << ns << '\n';
    }
}

void VcdWriter::emit(const Signal& s) {
    char scalar = !s.known ? 'x' : s.z ? 'z' : char('0' + (s.value & 1));
    if (s.width == 1) {
        *out_ << scalar << s.code << '\n';
        return;
    }
    *out_ << 'b';
    if (!s.known || s.z) {
        *out_ << scalar;
    } else {
        int top = 63;
        while (top > 0 && !((s.value >> top) & 1)) --top;
        for (int b = top; b >= 0; --b) *out_ << char('0' + ((s.value >> b) & 1));
    }
    *out_ << ' ' << s.code << '\n';
}

void VcdWriter::set(int id, bool z, uint64_t value, Ticks t) {
    if (id < 0 || size_t(id) >= signals_.size()) return;
    Signal& s = signals_[size_t(id)];
    if (s.width < 64) value &= (uint64_t{1} << s.width) - 1;
    if (s.known && s.z == z && (z || s.value == value)) return;
    // The header and the initial values wait until time moves on, so that
    // every signal set at the first instant starts with its value, not 'x'.
    if (!started_ && pending_ && toNs(t) > toNs(firstTime_)) start(firstTime_);
    if (!started_ && !pending_) {
        pending_ = true;
        firstTime_ = t;
    }
    s.known = true;
    s.z = z;
    s.value = value;
    if (!started_) return;
    stamp(t);
    emit(s);
}

void VcdWriter::change(int id, uint64_t value, Ticks t) { set(id, false, value, t); }
void VcdWriter::release(int id, Ticks t) { set(id, true, 0, t); }

void VcdWriter::finish(Ticks t) {
    if (!started_) start(pending_ ? firstTime_ : t);
    stamp(t);
    out_->flush();
}

void traceChip(VcdWriter& vcd, Chip& chip, const std::string& prefix) {
    static constexpr std::array<unsigned, 3> kPorts{0, 1, 4};
    // ids[port][pin]
    auto ids = std::make_shared<std::array<std::array<int, 8>, Gpio::kPorts>>();
    for (unsigned p : kPorts)
        for (unsigned n = 0; n < 8; ++n)
            (*ids)[p][n] = vcd.addSignal(prefix + "P" + std::to_string(p) + "_" + std::to_string(n), 1);
    std::array<int, 2> dacs{vcd.addSignal(prefix + "DAC0", 12), vcd.addSignal(prefix + "DAC1", 12)};

    auto port = [&vcd, &chip, ids](unsigned p) {
        uint8_t drive = chip.gpio().directions(p);
        uint8_t level = chip.gpio().outputLevels(p);
        for (unsigned n = 0; n < 8; ++n) {
            int id = (*ids)[p][n];
            if ((drive >> n) & 1) vcd.change(id, (level >> n) & 1, chip.now());
            else vcd.release(id, chip.now());
        }
    };
    auto dac = [&vcd, &chip, dacs](unsigned n) { vcd.change(dacs[n & 1], chip.dac().code(n), chip.now()); };
    for (unsigned p : kPorts) port(p);
    dac(0);
    dac(1);
    chip.gpio().pinListeners.push_back([port](unsigned p) {
        if (p == 0 || p == 1 || p == 4) port(p);
    });
    chip.dac().listeners.push_back(dac);
}

}  // namespace sim
