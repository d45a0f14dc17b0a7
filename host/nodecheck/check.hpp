#pragma once
// Protocol checks written once against a line: the same cases run on a
// simulator's pseudo-terminal and on a real node behind a serial adapter.
//
// A case gets a Session: the line, the options, and a stack of restore steps.
// Whatever a case changes on the node it registers a restore for *before* it
// changes it; the runner runs those steps after the case, whether the case
// passed, failed, threw or was interrupted (Ctrl-C), and reports loudly any
// step that could not put the node back.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "clock.hpp"
#include "transport.hpp"

namespace check {

using host::Duration;
using namespace std::chrono_literals;

enum class Status { pass, fail, skip };
const char* to_string(Status s);

struct Options {
  std::string node;  // "velmora" or "tavlo"
  std::string port;
  unsigned address = 1;
  std::optional<unsigned> allow_hv;  // volts; output stays off without it
  unsigned tol_volts = 5;            // read-back tolerance of volt set-points
  unsigned tol_codes = 5;            // the same for code set-points
  double tol_timing = 0.30;          // relative, scan time against its model
  double noise_ratio_min = 0.5;      // of the ideal 2^(n/2) noise reduction
  unsigned reply_max_ms = 50;        // frame to first reply byte
  std::optional<unsigned> calibration;  // the node's stored ADC2HV, when known
  bool quick = false;                // shorter timing and noise cases
  std::vector<std::string> only;     // case names, with or without the node prefix
  bool verbose = false;
};

struct Result {
  Status status = Status::pass;
  std::string figure;   // the measured figure, one short phrase
  std::string message;  // why it failed or was skipped
};

// A case failed: the message says what was expected and what came.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct Skipped : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A restore step that cannot put the node back because the protocol has no
// way to (a value the node takes but cannot be set to, or cannot report):
// said loudly, but not a failed restore.
struct Unrestorable : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// Set from the SIGINT/SIGTERM handler; cases look at it between steps.
bool interrupt_requested();
void install_interrupt_handler();

class Session {
 public:
  Session(const Options& opt, host::Transport& line) : opt_(opt), line_(line) {}
  const Options& opt() const { return opt_; }
  host::Transport& line() { return line_; }
  host::Clock& clock() { return host::system_clock(); }

  // Throws Interrupted once Ctrl-C was pressed.
  void checkpoint() const;
  // Sleeps in short steps so that Ctrl-C is seen within 50 ms.
  void sleep(Duration d) const;
  // Registers a restore step: `what` names what it puts back, for the report.
  void on_restore(std::string what, std::function<void()> step);
  // Drops the newest restore step once the case itself has put that back.
  void restored(const std::string& what);
  // Runs the restore steps newest first; returns the messages of those that
  // failed, and adds those that the protocol cannot do to `unrestorable`.
  std::vector<std::string> run_restores(std::vector<std::string>& unrestorable);
  void note(const std::string& text) const;  // a line on stderr with --verbose

 private:
  struct Step {
    std::string what;
    std::function<void()> fn;
  };
  const Options& opt_;
  host::Transport& line_;
  std::vector<Step> steps_;
  bool restoring_ = false;
};

struct Case {
  std::string name;
  std::string summary;
  std::function<Result(Session&)> run;
};

std::vector<Case> velmora_cases();
std::vector<Case> tavlo_cases();
// Before any case: the node answers (and a velmora output is off). Throws.
void velmora_preflight(Session& s);
void tavlo_preflight(Session& s);

struct Outcome {
  std::string name;
  Result result;
  double seconds = 0;
  std::vector<std::string> restore_failures;
  std::vector<std::string> unrestorable;
};

// Runs the cases, printing a line per case as it ends. Interrupted runs stop
// after restoring the case that was running; the remaining cases are skipped.
std::vector<Outcome> run_cases(Session& s, const std::vector<Case>& cases, std::ostream& out);
void write_junit(const std::string& path, const std::string& suite, const std::vector<Outcome>& outcomes,
                 double seconds);

// Helpers for the cases.
std::string quoted(std::string_view bytes);
inline void require(bool ok, const std::string& message) {
  if (!ok) throw Failure(message);
}

}  // namespace check
