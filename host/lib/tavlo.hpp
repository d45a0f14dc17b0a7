#pragma once
// Client for tavlo 64-channel X/Y readout units (115200 Bd).
//
// A unit answers its read-out and parameter commands only while selected
// ("S1\r" -> "S1\r\n"). Selected, it echoes every command letter except
// R, M, S and Z together with its line, then sends CR LF, then the reply:
// "A3\r" -> "A3" "\r\n" "A3\r\n". 'M' starts a scan on every unit that hears
// it and sends nothing; while a unit scans it reads nothing, and only one
// byte waits in its receiver. So after 'M' the client either waits for the
// computed scan time or sends the one-byte 'R' at once, which the unit takes
// up when its scan is over.
#include <array>
#include <optional>
#include <string>

#include "clock.hpp"
#include "outcome.hpp"
#include "reader.hpp"
#include "transport.hpp"

namespace host {

constexpr unsigned kTavloBaud = 115200;
constexpr unsigned kChannels = 64;
constexpr unsigned kMaxAveraging = 15;  // the unit counts at most 2^15 passes

struct XY {
  unsigned x = 0;
  unsigned y = 0;
  bool operator==(const XY&) const = default;
};
using Scan = std::array<XY, kChannels>;

struct TavloTiming {
  Duration reply_timeout = 300ms;
  double scan_margin = 1.25;  // on top of the computed scan time
  Duration scan_slack = 5ms;
};

enum class ScanWait { computed, queued };

class TavloClient {
 public:
  TavloClient(Transport& line, unsigned address = 1, Clock& clock = system_clock(), TavloTiming timing = {});

  unsigned address() const { return address_; }
  bool selected() const { return selected_; }

  // Leaves the selected state and asks "IDN"; returns the address the unit
  // reports. Only an unselected unit answers.
  unsigned identify();
  void select();    // throws unless the unit answers "S<address>"
  void deselect();  // "S0": every unit leaves the selected state, silently

  // 'M': starts a scan on every unit on the line. No reply. Returns the time
  // the scan is given (computed from the unit's parameters when it is
  // selected, else only a small slack); later commands from this client wait
  // until it has passed.
  Duration trigger();
  Scan read();  // 'R': the last scan's 64 X/Y pairs
  Scan list();  // 'L': the same through the unit's listing

  unsigned averaging();  // 'A' with an empty line reports the exponent
  Outcome set_averaging(unsigned exponent);
  unsigned settle_time();  // 'D' likewise, in units of about 1 us
  Outcome set_settle_time(unsigned units);
  unsigned version();  // 'V'

  // 'M' then 'R'.
  Scan measure(ScanWait wait);

  // How long a scan with these parameters takes on the unit.
  static Duration scan_time(unsigned averaging, unsigned settle);
  // The same for the unit's present parameters (asked once, then tracked).
  Duration scan_time();

  // Sends bytes unchanged, returns what comes back until quiet.
  std::string raw(std::string_view bytes, Duration quiet);

 private:
  void wait_idle();
  void ensure_selected();
  bool try_select(std::string& answer);
  std::string line_command(char letter, const std::string& arg);
  unsigned number_reply(char letter, const std::string& arg);
  void send_line_command(char letter, const std::string& arg, std::size_t reply_len, TimePoint& deadline);
  Scan read_pairs(TimePoint deadline);

  Transport& line_;
  Clock& clock_;
  Reader reader_;
  unsigned address_;
  TavloTiming timing_;
  bool selected_ = false;
  std::optional<unsigned> averaging_;
  std::optional<unsigned> settle_;
  TimePoint scan_end_{};
};

}  // namespace host
