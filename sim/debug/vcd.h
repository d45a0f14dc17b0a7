// Value change dump (VCD) of simulated signals, for a waveform viewer.
#pragma once
#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/time.h"

namespace sim {

class Chip;

// Signals are declared first: none can be added after the first change.
// The header and the initial values go out once time moves past the first
// change (or at finish), so each signal starts with the value it had then.
// Times are ticks, written in ns.
class VcdWriter {
public:
    explicit VcdWriter(std::ostream& out);
    // Writes to a file; ok() tells whether it could be opened.
    explicit VcdWriter(const std::string& path);
    ~VcdWriter();
    VcdWriter(const VcdWriter&) = delete;
    VcdWriter& operator=(const VcdWriter&) = delete;

    bool ok() const { return out_->good(); }
    // Returns the signal's id, or -1 once the header is out.
    int addSignal(const std::string& name, unsigned width);
    void change(int id, uint64_t value, Ticks t);
    // The signal is not driven ('z').
    void release(int id, Ticks t);
    // Marks the end time and flushes.
    void finish(Ticks t);
    size_t signals() const { return signals_.size(); }

private:
    struct Signal {
        std::string name;
        unsigned width;
        std::string code;
        bool known = false, z = false;
        uint64_t value = 0;
    };
    void set(int id, bool z, uint64_t value, Ticks t);
    void start(Ticks t);
    void stamp(Ticks t);
    void emit(const Signal& s);

    std::unique_ptr<std::ofstream> file_;
    std::ostream* out_;
    std::vector<Signal> signals_;
    bool started_ = false;
    bool pending_ = false;  // values set, header not yet out
    Ticks firstTime_ = 0;
    uint64_t lastNs_ = 0;
};

// Records the pins of GPIO ports 0, 1 and 4 (one wire each, 'z' while the
// pin does not drive) and the codes of DAC0 and DAC1 from now on.
void traceChip(VcdWriter& vcd, Chip& chip, const std::string& prefix = "");

}  // namespace sim
