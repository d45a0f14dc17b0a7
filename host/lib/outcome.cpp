#include "outcome.hpp"

namespace host {

const char* to_string(Verdict v) {
  switch (v) {
    case Verdict::verified: return "verified";
    case Verdict::mismatch: return "mismatch";
    case Verdict::unverified: return "unverified";
  }
  return "?";
}

}  // namespace host
