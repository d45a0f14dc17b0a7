#pragma once
// What the nodectl commands share: value parsing, Ctrl-C handling, files and
// the report of a set. The commands themselves are in velmora_commands.cpp,
// tavlo_commands.cpp and term.cpp; commands.cpp runs the chosen one.
// Internal to nodectl.
#include <csignal>
#include <optional>
#include <string>

#include "cli_context.hpp"
#include "output.hpp"
#include "outcome.hpp"
#include "velmora.hpp"

namespace host::cmds {

unsigned parse_uint(const std::string& text, const std::string& what, unsigned lo, unsigned hi);
unsigned parse_volts(std::string text, const std::string& what, unsigned hi);
Ramp parse_ramp(const std::string& text, Duration interval);

// Set by Ctrl-C (see catch_stop_signals).
extern volatile std::sig_atomic_t g_stop;
// The first Ctrl-C ends the loop at the next sample or scan; a second one
// ends the program at once.
void catch_stop_signals();
// Sleeps in short pieces so that Ctrl-C ends a long wait promptly.
void sleep_until_or_stopped(TimePoint t);

double since(TimePoint start);
// Times in records are kept to the millisecond, as they are printed.
double ms_round(double s);
std::string fixed3(double v);
void write_file(const std::string& path, const std::string& content);
Value num(long long v);
Value opt_value(std::optional<unsigned> v);
int verdict_exit(const Ctx& c, Verdict v);
int report_outcome(Ctx& c, const std::string& who, const std::string& action, const Outcome& o, Record extra = {});

// `raw`: the text to send, and the reply as printed.
std::string raw_text(const Ctx& c, bool tavlo);
int print_raw(Ctx& c, const std::string& sent, const std::string& reply);

// `term`: an interactive terminal on the line, or paced frames from a pipe.
int run_term(Ctx& c, Duration quiet, bool velmora, bool sync_after_reply);

int velmora_command(Ctx& c);
int tavlo_command(Ctx& c);

}  // namespace host::cmds
