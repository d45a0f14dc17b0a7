// nodectl `term`: the line as a terminal, or frames paced from a pipe.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "cli_context.hpp"
#include "errors.hpp"
#include "limits.hpp"
#include "output.hpp"
#include "serial_port.hpp"
#include "svg.hpp"
#include "tavlo.hpp"
#include "velmora.hpp"
#include "commands_shared.hpp"

namespace host::cmds {

class StdinRaw {
 public:
  StdinRaw() {
    if (::isatty(0) && ::tcgetattr(0, &saved_) == 0) {
      struct termios t = saved_;
      ::cfmakeraw(&t);
      t.c_oflag |= OPOST | ONLCR;  // keep the screen readable
      active_ = ::tcsetattr(0, TCSANOW, &t) == 0;
    }
  }
  ~StdinRaw() {
    if (active_) ::tcsetattr(0, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

 private:
  struct termios saved_{};
  bool active_ = false;
};

// What the line sends, as the screen shows it: the bytes as they are, or
// each byte in hex (a line of them per received line), optionally each line
// led by the time since the terminal started.
class TermScreen {
 public:
  TermScreen(std::ostream& out, bool timestamps, bool hex)
      : out_(out), timestamps_(timestamps), hex_(hex), start_(std::chrono::steady_clock::now()) {}

  void show(const std::string& bytes) {
    for (unsigned char c : bytes) {
      if (at_line_start_ && timestamps_) {
        char b[24];
        std::snprintf(b, sizeof b, "[%9.3f] ", since(start_));
        out_ << b;
      }
      at_line_start_ = false;
      if (hex_) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", c);
        out_ << (column_++ ? " " : "") << b;
        if (c == '\n') end_line();
      } else {
        out_.put(static_cast<char>(c));
        if (c == '\n') at_line_start_ = true;
      }
    }
    out_.flush();
  }
  // Ends a hex line that the line left open (a reply without LF).
  void finish() {
    if (hex_ && column_) end_line();
    out_.flush();
  }

 private:
  void end_line() {
    out_ << '\n';
    column_ = 0;
    at_line_start_ = true;
  }
  std::ostream& out_;
  bool timestamps_, hex_;
  TimePoint start_;
  bool at_line_start_ = true;
  unsigned column_ = 0;
};

// Input from a pipe or file: one frame at a time. Each line goes out as a
// frame, then the reply is awaited (its first byte within the reply time-out,
// its end at the first quiet gap) before the next frame, so that frames and
// replies never meet on the bus.
int run_term_paced(Ctx& c, Transport& line, TermScreen& screen, Duration quiet, bool velmora, bool sync_after_reply) {
  Reader reader(line, system_clock());
  std::string pending;
  bool eof = false;
  auto next_line = [&]() -> std::optional<std::string> {
    for (;;) {
      auto nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string l = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return l;
      }
      if (eof) {
        if (pending.empty()) return std::nullopt;
        std::string l;
        l.swap(pending);
        return l;
      }
      char buf[4096];
      ssize_t n = ::read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) {
        if (g_stop) return std::nullopt;
        continue;
      }
      if (n <= 0) eof = true;
      else pending.append(buf, static_cast<std::size_t>(n));
    }
  };
  if (velmora) line.write("0\r");  // close whatever a node was waiting for
  while (!g_stop) {
    auto l = next_line();
    if (!l) break;
    if (!l->empty() && l->back() == '\r') l->pop_back();
    if (l->find('\x1d') != std::string::npos) break;
    std::string frame = *l;
    // tavlo takes 'M', 'R' and 'Z' without a line end: a CR after them would
    // be read as the next command.
    const bool lone = !velmora && frame.size() == 1 && std::string("MRZmrz").find(frame[0]) != std::string::npos;
    if (!lone) frame += '\r';
    reader.discard();
    line.write(frame);
    const auto deadline = std::chrono::steady_clock::now() + wire_time(frame.size(), line.baud()) + c.timeout;
    auto first = reader.exactly(1, deadline);
    if (!first) continue;  // no reply: the frame was one that gets none
    std::string reply = *first + reader.until_quiet(quiet, std::chrono::steady_clock::now() + 60s);
    screen.show(reply);
    // A reply's LF leaves every velmora on the bus waiting for an address.
    if (sync_after_reply && reply.find('\n') != std::string::npos) line.write("0\r");
  }
  screen.finish();
  return 0;
}

int run_term(Ctx& c, Duration quiet, bool velmora, bool sync_after_reply) {
  Transport& line = c.line();
  catch_stop_signals();
  TermScreen screen(c.out, c.s.timestamps, c.s.hex);
  if (!::isatty(0)) {
    c.err << "connected to " << line.name() << " at " << c.s.baud << " Bd; sending the input a line at a time\n";
    c.err.flush();
    return run_term_paced(c, line, screen, quiet, velmora, sync_after_reply);
  }
  c.err << "connected to " << line.name() << " at " << c.s.baud << " Bd; Ctrl-] quits\n";
  c.err.flush();
  StdinRaw raw;
  bool stdin_open = true;
  auto last_rx = std::chrono::steady_clock::now();
  while (!g_stop) {
    if (stdin_open) {
      struct pollfd p{0, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        char buf[256];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0) {
          stdin_open = false;
          last_rx = std::chrono::steady_clock::now();
        } else {
          std::string s(buf, static_cast<std::size_t>(n));
          auto quit = s.find('\x1d');
          bool done = quit != std::string::npos;
          if (done) s.erase(quit);
          // Both nodes end a line with CR alone; an LF would start a new command.
          for (auto& ch : s)
            if (ch == '\n') ch = '\r';
          if (!s.empty()) line.write(s);
          if (done) break;
        }
      }
    }
    std::string got = line.read_some(stdin_open ? 10ms : quiet);
    if (!got.empty()) {
      last_rx = std::chrono::steady_clock::now();
      screen.show(got);
      // A reply's LF leaves every velmora on the bus waiting for an address;
      // without a byte within 125 ms their watchdogs reset them.
      if (sync_after_reply && got.back() == '\n') line.write("0\r");
    } else if (!stdin_open && std::chrono::steady_clock::now() - last_rx >= quiet) {
      break;  // input ended and the line has gone quiet
    }
  }
  screen.finish();
  if (raw.active()) c.err << "\r\n";
  return 0;
}

}  // namespace host::cmds
