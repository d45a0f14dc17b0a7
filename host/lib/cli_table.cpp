// The nodectl command table: every command with its arguments, summary,
// details and options; the help and the parser are made from it.
#include <string>
#include <vector>

#include "cli_tree.hpp"

namespace host::cmdline {

const std::vector<std::string> kCommon = {"port", "baud", "timeout-ms", "trace", "format", "strict", "address"};

const std::vector<CommandDef>& commands() {
  static const std::vector<CommandDef> cmds = {
      {"velmora", "read", "", "read the output voltage ('H') and its ADC code ('R')",
       "Two queries, answered one after the other: each reading is printed with the time it came\n"
       "(seconds from the command's start). While the output moves they can disagree by more than\n"
       "the calibration explains.",
       {}, 0, 0},
      {"velmora", "set", "VOLTS", "set the output voltage in whole volts ('U'; 'V' with --persist)",
       "Sends the set-point, then reads the output back ('H') until it is within the tolerance or\n"
       "--settle-ms passes, and reports verified, mismatch or unverified (the output reads 0 V: off?).\n"
       "With --limits, values above max_volts and changes larger than max_step are refused before\n"
       "anything is sent; --ramp RATE goes there in steps no larger than max_step, checking each one.",
       {"persist", "limits", "ramp", "ramp-interval-ms", "settle-ms", "tolerance"}, 1, 1},
      {"velmora", "set-code", "CODE", "set the output in ADC codes 0..4095 ('E'), verified with 'R'",
       "With --limits the address needs max_code (and max_step_code is honoured).",
       {"limits", "settle-ms", "tolerance"}, 1, 1},
      {"velmora", "on", "", "switch the output on ('N'; 'G' with --persist)",
       "Verified when the output rises above 10 V. With --volts V the set-point is sent first (and\n"
       "verified against V); with --ramp the output is switched on at 0 V and ramped to V. When\n"
       "--limits apply to the address, --volts is required: the node's set-point cannot be read.",
       {"persist", "volts", "limits", "ramp", "ramp-interval-ms", "settle-ms", "tolerance"}, 0, 0},
      {"velmora", "off", "", "switch the output off ('F'; 'S' with --persist)",
       "Verified when the output falls to 10 V or below; unverified when it read that low before.",
       {"persist", "settle-ms"}, 0, 0},
      {"velmora", "calibrate", "VOLTS", "tell the node the voltage measured at its present set-point ('C')",
       "Refused unless the output reads well above 0. Verified when 'H' then reads VOLTS.",
       {"settle-ms", "tolerance"}, 1, 1},
      {"velmora", "dump", "", "dump the four ADC inputs and the temperature ('D')",
       "The temperature is shown as the node prints it (raw: (1317 - sensor code) * 10 / 13) and\n"
       "converted to degrees Celsius with the data sheet's typical sensor figures (780 mV at 25 C,\n"
       "-1.3 mV/C, 2.5 V reference): an estimate, not a calibrated reading.",
       {}, 0, 0},
      {"velmora", "address", "[NEW]", "ask the node's address ('A'), or change it to NEW",
       "Without NEW: the node at -a answers with its address (-a 253 asks a lone node on the bus).\n"
       "With NEW: checks that nobody answers at NEW, changes the address (stored by the node),\n"
       "then confirms the node answers at NEW and not at the old address.",
       {}, 0, 1},
      {"velmora", "reset", "", "reset the node ('K') and wait until it answers again",
       "The reset cannot be seen on the line, so the result is reported as unverified once the\n"
       "node answers its address again.",
       {"settle-ms"}, 0, 0},
      {"velmora", "scan", "", "list the addresses on the bus that answer 'A'",
       "Sends A1 .. A252 (--from/--to) with a short time-out each.\n"
       "What it can tell: which addresses answer, and answers that arrive garbled (two nodes at one\n"
       "address whose answers differ in content or timing, noise, a wrong baud rate).\n"
       "What it cannot tell: two nodes at one address that answer with the same bytes at the same\n"
       "moment; on the host's side that is one answer, so such an address shows as 'answers'.\n"
       "To find them, change the address of the node you can reach and scan again.\n"
       "Exit 4 when no address answers, 5 when an answer was garbled.",
       {"from", "to", "per-address-ms"}, 0, 0},
      {"velmora", "monitor", "", "read volts and code periodically (CSV, optional SVG picture)",
       "Samples 'H' and 'R' every --interval-ms until --count, --duration-s or Ctrl-C; each of the\n"
       "two readings keeps its own time. -o FILE writes CSV (volts_time_s,volts,code_time_s,code);\n"
       "--svg FILE draws the voltage over time. On stdout: one line per sample (text), CSV rows, or\n"
       "JSON lines. --on-after-ms MS --volts V switches the output on (from off) that long after the\n"
       "start, at V or ramped to V with --ramp, so the record shows the switch-on, the ramp and the\n"
       "settling, with the set-point sent drawn beside the reading (CSV column setpoint_v).",
       {"interval-ms", "count", "duration-s", "output", "svg", "on-after-ms", "volts", "ramp", "limits"}, 0, 0},
      {"velmora", "raw", "TEXT", "send one frame (CR appended) and print the reply",
       "TEXT may use \\r \\n \\xNN escapes. The bus sync \"0\\r\" goes before the frame and after a\n"
       "reply (--no-sync: not after): it closes the address that a reply's LF leaves every node\n"
       "waiting for, before their watchdogs reset them.",
       {"no-cr", "no-sync", "quiet-ms"}, 1, 1},
      {"velmora", "term", "", "keyboard to the line, line to the screen; a pipe is sent frame by frame",
       "Enter sends CR. After each reply line the bus sync \"0\\r\" is sent (--no-sync: not).\n"
       "Ctrl-] quits. Input from a pipe or file is sent one line at a time: each line as a frame,\n"
       "then its reply is awaited (its start within --timeout-ms, its end after --quiet-ms of\n"
       "silence) and printed before the next line goes out.",
       {"quiet-ms", "no-sync", "timestamps", "hex"}, 0, 0},

      {"tavlo", "identify", "", "deselect every unit and ask 'IDN'; prints the address that answers", "", {}, 0, 0},
      {"tavlo", "select", "", "select the unit at -a ('S')", "", {}, 0, 0},
      {"tavlo", "trigger", "", "start a scan ('M') and wait the computed scan time",
       "Selects the unit first to learn its averaging and settling time (--no-select: not), so the\n"
       "scan time is known; --no-wait returns at once. 'M' is acted on by every unit on the line.",
       {"no-wait", "no-select"}, 0, 0},
      {"tavlo", "read", "", "read the last scan's 64 X/Y pairs ('R')", "--svg FILE draws the X/Y profile.",
       {"svg"}, 0, 0},
      {"tavlo", "list", "", "read the last scan through the unit's listing ('L')", "--svg FILE draws the profile.",
       {"svg"}, 0, 0},
      {"tavlo", "averaging", "[N]", "ask or set the averaging exponent ('A'); a scan runs 2^N passes",
       "N is 1..15; 0 cannot be set (the unit keeps its value), only a reset restores it.", {}, 0, 1},
      {"tavlo", "settle", "[N]", "ask or set the settling time ('D'), 1..65535 units of about 1 us", "", {}, 0, 1},
      {"tavlo", "version", "", "ask the firmware version ('V')", "", {}, 0, 0},
      {"tavlo", "acquire", "N", "run N scans ('M' then 'R' each) and write them as CSV",
       "Rows scan,channel,x,y to -o FILE or stdout (--format json: JSON). --svg FILE draws the last\n"
       "scan's profile. --wait computed sleeps the computed scan time before 'R'; --wait queued\n"
       "sends 'R' at once, which the unit takes up when its scan ends.",
       {"wait", "interval-ms", "output", "svg"}, 1, 1},
      {"tavlo", "raw", "TEXT", "send one line (CR appended, but not after a lone M, R or Z) and print the reply",
       "TEXT may use \\r \\n \\xNN escapes.", {"no-cr", "quiet-ms"}, 1, 1},
      {"tavlo", "term", "", "keyboard to the line, line to the screen; a pipe is sent line by line",
       "Enter sends CR. Ctrl-] quits. Input from a pipe or file is sent one line at a time (CR\n"
       "appended, but not after a lone M, R or Z), each reply awaited and printed before the next.",
       {"quiet-ms", "timestamps", "hex"}, 0, 0},
  };
  return cmds;
}

const CommandDef* find_command(const std::string& node, const std::string& name) {
  for (const auto& c : commands())
    if (node == c.node && name == c.name) return &c;
  return nullptr;
}

const char* const kExitCodes =
    "Exit codes:\n"
    "  0  success (a set may still be reported \"unverified\"; see --strict)\n"
    "  1  other failure (e.g. an output file cannot be written)\n"
    "  2  usage error: bad command line or value\n"
    "  3  port error: cannot open, lock (\"port held by another program\") or use the line\n"
    "  4  no reply within the time-out\n"
    "  5  malformed reply: truncated, garbled (e.g. two nodes answering at once) or unexpected\n"
    "  6  readback mismatch after a set (with --strict also: unverified)\n"
    "  7  refused by a limit or safety check before anything was sent\n";

std::string arg_help(const CommandDef& c) {
  const std::string n = c.name;
  if (n == "set") return "the output voltage in whole volts, 0..2010 (a trailing V is allowed)";
  if (n == "set-code") return "the set-point in ADC codes, 0..4095";
  if (n == "calibrate") return "the voltage a meter reads at the output, in whole volts";
  if (n == "address") return "the new address, 1..252 (without it: ask the address)";
  if (n == "averaging") return "the exponent, 1..15 (without it: ask)";
  if (n == "settle") return "the settling time, 1..65535 (without it: ask)";
  if (n == "acquire") return "the number of scans, 1..1000000";
  return "the text to send; \\r \\n \\xNN escapes allowed";
}

}  // namespace host::cmdline
