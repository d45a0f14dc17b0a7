#pragma once
// What the command-line parser hands to the commands: the parsed settings,
// the chosen command and the lazily opened line. Internal to nodectl.
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "clock.hpp"
#include "output.hpp"
#include "trace.hpp"
#include "transport.hpp"

namespace CLI {
class App;
}

namespace host {

// Every option's value; the parser fills in those the command takes.
struct Settings {
  // Common to all commands.
  std::string port;
  unsigned baud = 0;
  unsigned timeout_ms = 300;
  std::string trace;
  std::string format = "text";
  bool strict = false;
  unsigned address = 1;
  // Per command.
  bool persist = false;
  std::string limits;
  std::string ramp;
  unsigned ramp_interval_ms = 250;
  unsigned settle_ms = 3000;
  unsigned tolerance = 3;
  unsigned volts = 0;
  unsigned on_after_ms = 0;
  unsigned interval_ms = 0;
  unsigned count = 0;
  unsigned duration_s = 0;
  std::string output;
  std::string svg;
  unsigned from = 1;
  unsigned to = 252;
  unsigned per_address_ms = 40;
  std::string wait = "computed";
  bool no_wait = false;
  bool no_select = false;
  bool no_cr = false;
  bool no_sync = false;
  unsigned quiet_ms = 0;
  bool timestamps = false;
  bool hex = false;
  // The command's own arguments (VOLTS, N, TEXT ...).
  std::vector<std::string> args;
};

struct CommandDef {
  const char* node;
  const char* name;
  const char* args;  // as shown in usage lines: "VOLTS", "[NEW]", ""
  const char* summary;
  const char* details;
  std::vector<std::string> options;
  int min_args, max_args;
};

struct Ctx {
  Settings s;
  const CommandDef* cmd = nullptr;
  const CLI::App* app = nullptr;  // the command's parser, to ask which options were given
  Format format = Format::text;
  std::ostream& out;
  std::ostream& err;
  Duration timeout = 300ms;

  std::unique_ptr<Transport> port;
  std::unique_ptr<TraceLine> trace;
  std::FILE* trace_file = nullptr;

  Ctx(std::ostream& o, std::ostream& e) : out(o), err(e) {}
  ~Ctx();
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;

  // True when the option (long name without dashes) was on the command line.
  bool given(const std::string& name) const;
  std::size_t arg_count() const { return s.args.size(); }
  const std::string& arg(std::size_t i) const { return s.args.at(i); }

  // Opens the line on first use, so that every bad value is reported before.
  Transport& line();
  void emit(const std::vector<Record>& rows, const std::string& text, bool as_list = false);
};

// Runs the parsed command; returns the exit code.
int run_command(Ctx& c);

}  // namespace host
