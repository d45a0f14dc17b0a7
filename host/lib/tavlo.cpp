#include "tavlo.hpp"

#include <algorithm>

#include "bytes.hpp"
#include "errors.hpp"

namespace host {
namespace {

constexpr std::size_t kPairLineMax = 11;    // "4095 4095\r\n"
constexpr std::size_t kListLine = 17;       // "Ch=63 4095 4095\r\n"
constexpr unsigned kMaxSample = 4095;

std::string quoted(std::string_view bytes) { return "\"" + escape_cut(bytes) + "\""; }

std::optional<unsigned> parse_sample(std::string_view s) {
  auto v = parse_decimal(s, kMaxSample);
  if (!v) return std::nullopt;
  return static_cast<unsigned>(*v);
}

// A right-aligned field of `width` characters, padded with spaces.
std::optional<unsigned> parse_field(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return parse_sample(s);
}

}  // namespace

TavloClient::TavloClient(Transport& line, unsigned address, Clock& clock, TavloTiming timing)
    : line_(line), clock_(clock), reader_(line, clock), address_(address), timing_(timing) {
  if (address > 65535) throw usage_error("tavlo address " + std::to_string(address) + " out of range 0..65535");
  scan_end_ = clock_.now();
}

void TavloClient::wait_idle() {
  // A unit in a scan loses all but one byte; never talk to it before it is done.
  clock_.sleep_until(scan_end_);
  reader_.discard();
}

bool TavloClient::try_select(std::string& answer) {
  wait_idle();
  const std::string f = "S" + std::to_string(address_) + "\r";
  const std::string want = "S" + std::to_string(address_) + "\r\n";
  line_.write(f);
  const auto deadline = clock_.now() + wire_time(f.size() + want.size(), line_.baud()) + timing_.reply_timeout;
  auto got = reader_.until('\n', deadline);
  if (got && *got == want) {
    selected_ = true;
    return true;
  }
  answer = got.value_or("") + reader_.until_quiet(20ms, clock_.now() + 1s);
  return false;
}

void TavloClient::select() {
  std::string first, second;
  if (try_select(first)) return;
  // A previous program may have left the unit inside a command line, which
  // our frame then completed; what that produced has been read. Ask again.
  if (try_select(second)) return;
  selected_ = false;
  if (first.empty() && second.empty())
    throw no_reply_error("no tavlo answers to S" + std::to_string(address_));
  throw malformed_error("unexpected answer " + quoted(second.empty() ? first : second) + " to S" +
                        std::to_string(address_));
}

void TavloClient::deselect() {
  wait_idle();
  line_.write("S0\r");
  selected_ = false;
}

void TavloClient::ensure_selected() {
  if (!selected_) select();
}

unsigned TavloClient::identify() {
  deselect();
  const std::string f = "IDN\r";
  line_.write(f);
  const auto deadline = clock_.now() + wire_time(f.size() + 10, line_.baud()) + timing_.reply_timeout;
  auto got = reader_.until('\n', deadline);
  if (!got) {
    std::string partial = reader_.take_pending();
    if (partial.empty()) throw no_reply_error("no tavlo answers to IDN");
    throw malformed_error("truncated reply " + quoted(partial) + " to IDN");
  }
  std::string extra = reader_.until_quiet(2ms, clock_.now() + 2ms);
  std::string_view s = *got;
  if (!extra.empty() || !clean_ascii(s) || s.size() < 6 || s.substr(0, 3) != "IDN" || s.substr(s.size() - 2) != "\r\n")
    throw malformed_error("garbled reply " + quoted(*got + extra) + " to IDN (several units answering at once?)");
  auto v = parse_decimal(s.substr(3, s.size() - 5), 0xFFFFFFFFu);
  if (!v) throw malformed_error("bad address in reply " + quoted(*got));
  return static_cast<unsigned>(*v);
}

Duration TavloClient::trigger() {
  // A selected unit tells its parameters; without them the wait is unknown.
  const Duration est = selected_ ? scan_time() : Duration::zero();
  wait_idle();
  line_.write("M");
  const auto wait = std::chrono::duration_cast<Duration>(est * timing_.scan_margin) + timing_.scan_slack;
  scan_end_ = clock_.now() + wait;
  return wait;
}

void TavloClient::send_line_command(char letter, const std::string& arg, std::size_t reply_len, TimePoint& deadline) {
  ensure_selected();
  wait_idle();
  const std::string body = std::string(1, letter) + arg;
  const std::string echo = to_upper(body) + "\r\n";
  line_.write(body + "\r");
  deadline = clock_.now() + wire_time(body.size() + 1 + echo.size() + reply_len, line_.baud()) + timing_.reply_timeout;
  auto got = reader_.exactly(echo.size(), deadline);
  if (!got) {
    std::string partial = reader_.take_pending();
    if (partial.empty())
      throw no_reply_error("no echo from tavlo " + std::to_string(address_) + " to " + escape_cut(body) +
                           " (unit not selected?)");
    throw malformed_error("echo cut short: " + quoted(partial) + " for " + escape_cut(body));
  }
  if (*got != echo) throw malformed_error("echo " + quoted(*got) + " does not match " + quoted(echo));
}

std::string TavloClient::line_command(char letter, const std::string& arg) {
  TimePoint deadline;
  send_line_command(letter, arg, 10, deadline);
  auto reply = reader_.until('\n', deadline);
  if (!reply) {
    std::string partial = reader_.take_pending();
    if (partial.empty()) throw no_reply_error(std::string("no reply to ") + letter + arg + " after its echo");
    throw malformed_error("truncated reply " + quoted(partial) + " to " + letter + arg);
  }
  std::string extra = reader_.until_quiet(2ms, clock_.now() + 2ms);
  if (!extra.empty() || !clean_ascii(*reply) || reply->size() < 2 || reply->substr(reply->size() - 2) != "\r\n")
    throw malformed_error("garbled reply " + quoted(*reply + extra) + " to " + letter + arg);
  return reply->substr(0, reply->size() - 2);
}

unsigned TavloClient::number_reply(char letter, const std::string& arg) {
  std::string r = line_command(letter, arg);
  if (r.empty() || r[0] != letter)
    throw malformed_error("unexpected reply " + quoted(r) + " to " + std::string(1, letter) + arg);
  auto v = parse_decimal(std::string_view(r).substr(1), 0xFFFFFFFFu);
  if (!v) throw malformed_error("bad number in reply " + quoted(r));
  return static_cast<unsigned>(*v);
}

unsigned TavloClient::averaging() {
  averaging_ = number_reply('A', "");
  return *averaging_;
}

Outcome TavloClient::set_averaging(unsigned exponent) {
  if (exponent == 0)
    throw usage_error("averaging 0 cannot be set (the unit keeps its value on 0; only a reset restores 0)");
  if (exponent > kMaxAveraging)
    throw usage_error("averaging exponent " + std::to_string(exponent) + " is above " +
                      std::to_string(kMaxAveraging) + " (the unit counts at most 2^15 passes)");
  const unsigned got = number_reply('A', std::to_string(exponent));
  averaging_ = got;
  Outcome o;
  o.readback = got;
  o.verdict = got == exponent ? Verdict::verified : Verdict::mismatch;
  o.detail = "unit reports averaging " + std::to_string(got);
  return o;
}

unsigned TavloClient::settle_time() {
  settle_ = number_reply('D', "");
  return *settle_;
}

Outcome TavloClient::set_settle_time(unsigned units) {
  if (units == 0 || units > 65535)
    throw usage_error("settling time must be 1..65535 (0 leaves the unit's value unchanged)");
  const unsigned got = number_reply('D', std::to_string(units));
  settle_ = got;
  Outcome o;
  o.readback = got;
  o.verdict = got == units ? Verdict::verified : Verdict::mismatch;
  o.detail = "unit reports settling time " + std::to_string(got);
  return o;
}

unsigned TavloClient::version() { return number_reply('V', ""); }

Scan TavloClient::read_pairs(TimePoint deadline) {
  auto head = reader_.exactly(1, deadline);
  if (!head) throw no_reply_error("no reply from tavlo " + std::to_string(address_) + " to R (unit not selected?)");
  if (*head != "R") {
    std::string rest = reader_.until_quiet(5ms, clock_.now() + 1s);
    throw malformed_error("reply to R starts with " + quoted(*head + rest.substr(0, 40)));
  }
  Scan scan;
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    auto l = reader_.until('\n', deadline);
    if (!l) {
      std::string partial = reader_.take_pending();
      throw malformed_error("read cut after " + std::to_string(ch) + " of 64 lines" +
                            (partial.empty() ? std::string() : " (then " + quoted(partial) + ")"));
    }
    std::string_view s = *l;
    const auto sp = s.find(' ');
    std::optional<unsigned> x, y;
    if (s.size() >= 5 && s.substr(s.size() - 2) == "\r\n" && sp != std::string_view::npos) {
      x = parse_sample(s.substr(0, sp));
      y = parse_sample(s.substr(sp + 1, s.size() - sp - 3));
    }
    if (!x || !y) throw malformed_error("bad line for channel " + std::to_string(ch) + ": " + quoted(s));
    scan[ch] = {*x, *y};
  }
  std::string extra = reader_.until_quiet(2ms, clock_.now() + 2ms);
  if (!extra.empty()) throw malformed_error("unexpected bytes after the 64 lines: " + quoted(extra));
  return scan;
}

Scan TavloClient::read() {
  ensure_selected();
  wait_idle();
  line_.write("R");
  const auto deadline = clock_.now() + wire_time(1 + kChannels * kPairLineMax, line_.baud()) + timing_.reply_timeout;
  return read_pairs(deadline);
}

Scan TavloClient::list() {
  TimePoint deadline;
  send_line_command('L', "", kChannels * kListLine, deadline);
  Scan scan;
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    auto l = reader_.until('\n', deadline);
    if (!l) {
      std::string partial = reader_.take_pending();
      if (ch == 0 && partial.empty()) throw no_reply_error("no listing after the echo of L");
      throw malformed_error("listing cut after " + std::to_string(ch) + " of 64 lines");
    }
    // "Ch=% 2u % 4u % 4u\r\n"
    std::string_view s = *l;
    std::optional<unsigned> c, x, y;
    if (s.size() == kListLine && s.substr(0, 3) == "Ch=" && s[5] == ' ' && s[10] == ' ' && s.substr(15) == "\r\n") {
      c = parse_field(s.substr(3, 2));
      x = parse_field(s.substr(6, 4));
      y = parse_field(s.substr(11, 4));
    }
    if (!c || !x || !y || *c != ch)
      throw malformed_error("bad listing line for channel " + std::to_string(ch) + ": " + quoted(s));
    scan[ch] = {*x, *y};
  }
  std::string extra = reader_.until_quiet(2ms, clock_.now() + 2ms);
  if (!extra.empty()) throw malformed_error("unexpected bytes after the listing: " + quoted(extra));
  return scan;
}

Duration TavloClient::scan_time(unsigned averaging, unsigned settle) {
  // delay(n) waits (n - 1) units of 41 core clocks at 41.7792 MHz; each channel
  // visit has the X and Y settling delays, two conversions (acquisition and
  // conversion at half the core clock, about 1.2 us each, 2 us allowed) and
  // some instructions to address the multiplexers (3 us allowed).
  auto delay_us = [](unsigned n) { return n <= 1 ? 0.0 : (n - 1) * 41.0 / 41.7792; };
  const double visit_us = delay_us(settle) + delay_us(settle >> 3) + 2 * 2.0 + 3.0;
  const double passes = static_cast<double>(1ull << std::min(averaging, 20u));
  return Duration(static_cast<long long>(passes * kChannels * visit_us));
}

Duration TavloClient::scan_time() {
  if (!averaging_) averaging();
  if (!settle_) settle_time();
  return scan_time(*averaging_, *settle_);
}

Scan TavloClient::measure(ScanWait wait) {
  ensure_selected();
  const Duration est = scan_time();
  wait_idle();
  line_.write("M");
  const auto started = clock_.now();
  scan_end_ = started + std::chrono::duration_cast<Duration>(est * timing_.scan_margin) + timing_.scan_slack;
  if (wait == ScanWait::computed) clock_.sleep_until(scan_end_);
  // In queued mode the 'R' sits in the unit's receiver until the scan ends.
  line_.write("R");
  const auto base = std::max(clock_.now(), scan_end_);
  scan_end_ = clock_.now();
  return read_pairs(base + wire_time(1 + kChannels * kPairLineMax, line_.baud()) + timing_.reply_timeout);
}

std::string TavloClient::raw(std::string_view bytes, Duration quiet) {
  wait_idle();
  line_.write(bytes);
  const auto deadline = clock_.now() + wire_time(bytes.size(), line_.baud()) + timing_.reply_timeout;
  std::string out;
  if (auto first = reader_.exactly(1, deadline)) out = *first + reader_.until_quiet(quiet, clock_.now() + 60s);
  return out;
}

}  // namespace host
