#pragma once
// Result of a command that the node does not answer directly: what the
// readback afterwards says about it.
#include <optional>
#include <string>
#include <vector>

namespace host {

enum class Verdict { verified, mismatch, unverified };
const char* to_string(Verdict v);

struct Step {
  unsigned target;
  std::optional<unsigned> readback;
};

struct Outcome {
  Verdict verdict = Verdict::unverified;
  std::string detail;                // one line for the operator
  std::optional<unsigned> readback;  // last reading
  std::vector<Step> steps;           // ramp steps, in order
};

}  // namespace host
