#pragma once
// Client for velmora high-voltage nodes on the 9600 Bd multi-drop bus.
//
// Frames are letter, decimal address, optional space and value, and one CR
// ("V1 1500\r", "H1\r"). Never CR LF: every node parses every byte on the bus,
// and a trailing LF would be taken as a command letter that swallows the first
// character of the next frame. For the same reason replies are dangerous to
// the bus: each reply ends in LF, which leaves every listening node waiting
// for an address; after 125 ms without a byte its watchdog resets it. The
// client therefore sends the short sync "0\r" right after every reply and once
// before its first frame: a lone digit and CR close any pending address and
// form no command, whatever state a node is in.
//
// Set commands get no reply. Each verified operation reads back what the
// protocol allows and reports verified, mismatch or unverified.
//
// 'V' stores a set-point only when it differs from the one the node runs at,
// so a stored set is sent as 'U' 2 V aside followed by the 'V'.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clock.hpp"
#include "limits.hpp"
#include "outcome.hpp"
#include "reader.hpp"
#include "transport.hpp"

namespace host {

constexpr unsigned kVelmoraBaud = 9600;
constexpr unsigned kBroadcastAddress = 253;
constexpr unsigned kNodeMaxVolts = 2010;  // the node clamps set-points to the code of 2010 V
constexpr unsigned kAdcMaxCode = 4095;

struct Dump {
  std::array<unsigned, 4> adc{};
  int temperature = 0;  // as the node prints it: (1317 - sensor code) * 10 / 13
};

// The die temperature in degrees Celsius behind the node's printed
// temperature value. The node prints (1317 - code) * 10 / 13 of its on-chip
// sensor's ADC code, so code = 1317 - 1.3 * value, within the 1.3 codes that
// the node's truncation loses (about 0.6 C). The sensor figures are typical
// values from the ADuC702x data sheet (electrical characteristics table, temperature
// sensor: 780 mV at 25 C, -1.3 mV/C; internal ADC reference 2.5 V, 12 bits;
// page not recorded here), not a calibration of the chip at hand, so the
// result is an estimate of a few degrees' accuracy (assumed).
double die_celsius(int printed_temperature);

struct VelmoraTiming {
  Duration reply_timeout = 300ms;  // for the first byte of a reply after the frame
  Duration settle = 3s;            // how long a set may take to show in the readback
  Duration poll = 100ms;           // readback interval while waiting for it
  Duration boot = 500ms;           // silence after 'K' before addressing the node again
};

struct VelmoraTolerance {
  unsigned volts = 3;       // |readback - target| accepted for volt sets
  unsigned codes = 3;       // the same for code sets
  unsigned live_volts = 10; // a reading at or below this counts as "no output"
};

struct Ramp {
  unsigned volts_per_s = 50;
  Duration interval = 250ms;  // time between steps
};

enum class ProbeKind { silent, answered, garbled };
struct Probe {
  ProbeKind kind = ProbeKind::silent;
  unsigned value = 0;     // address the node reported
  std::string bytes;      // what came back, for the report
};

class VelmoraClient {
 public:
  VelmoraClient(Transport& line, unsigned address, Clock& clock = system_clock(), VelmoraTiming timing = {},
                VelmoraTolerance tolerance = {});

  unsigned address() const { return address_; }
  const VelmoraTiming& timing() const { return timing_; }
  const VelmoraTolerance& tolerance() const { return tol_; }

  // Readings; each throws no_reply / malformed errors.
  unsigned read_volts();     // 'H'
  unsigned read_code();      // 'R'
  Dump dump();               // 'D'
  unsigned query_address();  // 'A'; with address 253 any lone node answers
  // 'A' to another address with its own time-out; garbled answers are
  // reported, not thrown, so a bus scan can go on.
  Probe probe(unsigned address, Duration timeout);

  // Sends a frame that has no reply ('E', 'U', 'V', 'N', 'F', 'G', 'S', 'C', 'K').
  void send_frame(char letter, std::optional<unsigned> value = std::nullopt);

  // Verified operations. Limits are checked before anything is sent and
  // refusals throw a refused error; bad values throw a usage error.
  Outcome set_volts(unsigned volts, bool persist, const Limit& limit = {}, std::optional<Ramp> ramp = {});
  Outcome set_code(unsigned code, const Limit& limit = {});
  // With `volts`, the set-point is sent first (ramped from 0 when `ramp` is
  // given, the output being switched on at 0 V). With limits that apply and
  // no `volts`, switching on is refused: the node's set-point cannot be read.
  Outcome switch_on(bool persist, std::optional<unsigned> volts = {}, const Limit& limit = {},
                    std::optional<Ramp> ramp = {});
  Outcome switch_off(bool persist);
  Outcome calibrate(unsigned volts);
  Outcome change_address(unsigned new_address);
  Outcome reset();

  // Sends `bytes` as they are, returns what comes back until the line is
  // quiet for `quiet`, then syncs the bus (unless told not to).
  std::string raw(std::string_view bytes, Duration quiet, bool sync_after = true);

  // The bus sync; see above.
  void sync();

 private:
  std::string frame(char letter, unsigned address, std::optional<unsigned> value) const;
  void prepare();
  void send_volts(unsigned volts, bool persist);
  // Sends `frame`, returns one reply line without CR/LF (clean ASCII), syncs.
  std::string exchange(const std::string& frame, std::size_t reply_len, Duration timeout);
  unsigned read_e(char letter);
  std::pair<bool, unsigned> await(const std::function<unsigned()>& read, const std::function<bool(unsigned)>& ok,
                                  TimePoint deadline);
  Outcome verify_volts(unsigned target, TimePoint deadline);
  Outcome run_ramp(unsigned from, unsigned to, bool persist, unsigned step, Duration interval);

  Transport& line_;
  Clock& clock_;
  Reader reader_;
  unsigned address_;
  VelmoraTiming timing_;
  VelmoraTolerance tol_;
  bool synced_ = false;
};

struct BusEntry {
  unsigned address;
  ProbeKind kind;
  std::string bytes;
};

// Sends A1 .. A<last> (from `first`) with a short time-out each and lists the
// addresses that answered or drew garbled replies (two nodes at one address).
std::vector<BusEntry> scan_bus(VelmoraClient& client, unsigned first, unsigned last, Duration per_address,
                               const std::function<bool(unsigned)>& keep_going = {});

}  // namespace host
