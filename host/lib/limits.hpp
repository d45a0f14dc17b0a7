#pragma once
// Operator limits for velmora nodes, read from a small text file:
//
//   # address (or * for every node)   key=value ...
//   *   max_volts=1800
//   1   max_volts=1500  max_step=200  max_code=1825  max_step_code=250
//
// max_volts / max_step are in volts (largest set-point, largest single change),
// max_code / max_step_code the same in ADC codes. An address line overrides
// the '*' line key by key.
#include <map>
#include <optional>
#include <string>

namespace host {

struct Limit {
  std::optional<unsigned> max_volts;
  std::optional<unsigned> max_step;
  std::optional<unsigned> max_code;
  std::optional<unsigned> max_step_code;
  bool any() const { return max_volts || max_step || max_code || max_step_code; }
};

class LimitTable {
 public:
  // Throws a usage error naming `source` and the line on bad input.
  static LimitTable parse(const std::string& text, const std::string& source);
  static LimitTable load(const std::string& path);

  Limit for_address(unsigned address) const;

 private:
  std::optional<Limit> all_;
  std::map<unsigned, Limit> per_address_;
};

}  // namespace host
