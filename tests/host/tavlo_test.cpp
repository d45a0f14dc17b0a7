// The tavlo client against a scripted line.
#include <gtest/gtest.h>

#include <cstdio>

#include "errors.hpp"
#include "fakes.hpp"
#include "tavlo.hpp"

using namespace host;
using namespace std::chrono_literals;
using fake::error_of;

namespace {

Scan sample_scan() {
  Scan s;
  for (unsigned ch = 0; ch < kChannels; ++ch) s[ch] = {ch * 63 + 7, 4095 - ch * 5};
  s[0] = {0, 0};
  s[63] = {4095, 4095};
  return s;
}

// 'R', then "%u %u\r\n" per channel, the first right after the 'R'.
std::string pairs(const Scan& s) {
  std::string out = "R";
  for (const auto& p : s) out += std::to_string(p.x) + " " + std::to_string(p.y) + "\r\n";
  return out;
}

// "Ch=% 2u % 4u % 4u\r\n" per channel.
std::string listing(const Scan& s) {
  std::string out;
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    char line[32];
    std::snprintf(line, sizeof line, "Ch=%2u %4u %4u\r\n", ch, s[ch].x, s[ch].y);
    out += line;
  }
  return out;
}

std::string cut_lines(const std::string& text, int lines) {
  std::size_t pos = 0;
  for (int i = 0; i < lines; ++i) pos = text.find('\n', pos) + 1;
  return text.substr(0, pos);
}

double ms(Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double write_time(const fake::ScriptedLine& line, const std::string& bytes) {
  for (const auto& [t, b] : line.writes)
    if (b == bytes) return t;
  ADD_FAILURE() << "never written: " << bytes;
  return -1;
}

}  // namespace

TEST(Tavlo, ReadSelectsAndParsesThe64Pairs) {
  fake::Clock clock;
  fake::ScriptedLine line(clock, kTavloBaud);
  const Scan s = sample_scan();
  line.expect("S1\r", "S1\r\n").expect("R", pairs(s));
  TavloClient t(line, 1, clock);
  EXPECT_EQ(t.read(), s);
  EXPECT_TRUE(t.selected());
  EXPECT_TRUE(line.finished());
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();
}

TEST(Tavlo, ReadFaultsAreToldApart) {
  fake::Clock clock;
  fake::ScriptedLine line(clock, kTavloBaud);
  TavloClient t(line, 1, clock);
  const std::string good = pairs(sample_scan());
  line.expect("S1\r", "S1\r\n");
  t.select();

  line.expect("R", cut_lines(good, 10));
  auto msg = error_of(Exit::malformed, [&] { t.read(); });
  EXPECT_NE(msg.find("cut after 10 of 64"), std::string::npos) << msg;

  std::string garbled = good;
  garbled[cut_lines(good, 5).size() + 1] = '\xb3';  // inside channel 5's line
  line.expect("R", garbled);
  msg = error_of(Exit::malformed, [&] { t.read(); });
  EXPECT_NE(msg.find("channel 5"), std::string::npos) << msg;

  Scan big = sample_scan();
  big[9].y = 4096;  // no 12-bit mean can be this
  line.expect("R", pairs(big));
  error_of(Exit::malformed, [&] { t.read(); });

  line.expect("R", good + "0 0\r\n");  // a 65th line: two units answering?
  error_of(Exit::malformed, [&] { t.read(); });

  line.expect("R");
  msg = error_of(Exit::no_reply, [&] { t.read(); });
  EXPECT_NE(msg.find("not selected"), std::string::npos) << msg;

  line.expect("R", good);
  EXPECT_EQ(t.read(), sample_scan());
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();
}

TEST(Tavlo, EchoedLineCommands) {
  fake::Clock clock;
  fake::ScriptedLine line(clock, kTavloBaud);
  TavloClient t(line, 1, clock);
  line.expect("S1\r", "S1\r\n");
  line.expect("A3\r", "A3\r\nA3\r\n");
  EXPECT_EQ(t.set_averaging(3).verdict, Verdict::verified);
  line.expect("A\r", "A\r\nA3\r\n");
  EXPECT_EQ(t.averaging(), 3u);
  line.expect("D100\r", "D100\r\nD100\r\n");
  EXPECT_EQ(t.set_settle_time(100).verdict, Verdict::verified);
  line.expect("V\r", "V\r\nV3\r\n");
  EXPECT_EQ(t.version(), 3u);

  // The unit reports another value than was asked: a readback mismatch.
  line.expect("A5\r", "A5\r\nA4\r\n");
  Outcome o = t.set_averaging(5);
  EXPECT_EQ(o.verdict, Verdict::mismatch);
  EXPECT_EQ(o.readback, 4u);

  // A wrong echo, a missing echo, a reply for another letter.
  line.expect("A6\r", "A7\r\nA6\r\n");
  error_of(Exit::malformed, [&] { t.set_averaging(6); });
  line.expect("A6\r");
  auto msg = error_of(Exit::no_reply, [&] { t.set_averaging(6); });
  EXPECT_NE(msg.find("not selected"), std::string::npos) << msg;
  line.expect("D\r", "D\r\nA3\r\n");
  error_of(Exit::malformed, [&] { t.settle_time(); });
  line.expect("V\r", "V\r\nV3\r");  // reply line without its LF
  error_of(Exit::malformed, [&] { t.version(); });

  // Values the unit would mishandle never leave the host.
  error_of(Exit::usage, [&] { t.set_averaging(0); });
  error_of(Exit::usage, [&] { t.set_averaging(16); });
  error_of(Exit::usage, [&] { t.set_settle_time(0); });
  error_of(Exit::usage, [&] { t.set_settle_time(65536); });
  EXPECT_TRUE(line.finished());
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();
}

TEST(Tavlo, ListingIsParsedFieldByField) {
  fake::Clock clock;
  fake::ScriptedLine line(clock, kTavloBaud);
  TavloClient t(line, 1, clock);
  const Scan s = sample_scan();
  line.expect("S1\r", "S1\r\n").expect("L\r", "L\r\n" + listing(s));
  EXPECT_EQ(t.list(), s);

  std::string swapped = listing(s);
  swapped.replace(swapped.find("Ch= 7"), 5, "Ch= 8");
  line.expect("L\r", "L\r\n" + swapped);
  auto msg = error_of(Exit::malformed, [&] { t.list(); });
  EXPECT_NE(msg.find("channel 7"), std::string::npos) << msg;
  line.expect("L\r", "L\r\n" + cut_lines(listing(s), 40));
  error_of(Exit::malformed, [&] { t.list(); });
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();
}

TEST(Tavlo, SelectionAndIdentification) {
  fake::Clock clock;
  {
    // The first frame completed a line left open by an earlier run: one retry.
    fake::ScriptedLine line(clock, kTavloBaud);
    line.expect("S2\r").expect("S2\r", "S2\r\n");
    TavloClient t(line, 2, clock);
    t.select();
    EXPECT_TRUE(t.selected());
    EXPECT_TRUE(line.finished());
  }
  {
    fake::ScriptedLine line(clock, kTavloBaud);
    line.expect("S2\r").expect("S2\r");
    TavloClient t(line, 2, clock);
    error_of(Exit::no_reply, [&] { t.select(); });
    EXPECT_FALSE(t.selected());
  }
  {
    fake::ScriptedLine line(clock, kTavloBaud);
    line.expect("S2\r", "S1\r\n").expect("S2\r", "S1\r\n");
    TavloClient t(line, 2, clock);
    error_of(Exit::malformed, [&] { t.select(); });
  }
  {
    // IDN is answered only unselected, so identify deselects first.
    fake::ScriptedLine line(clock, kTavloBaud);
    line.expect("S0\r").expect("IDN\r", "IDN1\r\n");
    TavloClient t(line, 1, clock);
    EXPECT_EQ(t.identify(), 1u);
    line.expect("S0\r").expect("IDN\r", "I\xc9\xd3N1\r\n");  // two units at once
    error_of(Exit::malformed, [&] { t.identify(); });
    line.expect("S0\r").expect("IDN\r");
    error_of(Exit::no_reply, [&] { t.identify(); });
    EXPECT_TRUE(line.violations.empty()) << line.violations.front();
  }
}

TEST(Tavlo, ScansAreWaitedForByComputationOrByTheQueuedRead) {
  fake::Clock clock;
  const Scan s = sample_scan();
  // 2^5 passes with 1000 units of settling: some seconds, far beyond a reply time-out.
  const Duration scan = TavloClient::scan_time(5, 1000);
  ASSERT_GT(scan, 2s);
  EXPECT_NEAR(TavloClient::scan_time(6, 1000).count(), 2 * scan.count(), 2);
  EXPECT_GT(scan, TavloClient::scan_time(5, 999));
  {
    fake::ScriptedLine line(clock, kTavloBaud);
    line.expect("S1\r", "S1\r\n").expect("A\r", "A\r\nA5\r\n").expect("D\r", "D\r\nD1000\r\n");
    line.expect("M").expect("R", pairs(s));
    TavloClient t(line, 1, clock);
    EXPECT_EQ(t.measure(ScanWait::computed), s);
    const double gap = write_time(line, "R") - write_time(line, "M");
    EXPECT_GE(gap, ms(scan));
    EXPECT_LT(gap, 1.3 * ms(scan) + 10);
  }
  {
    // The 'R' goes out with the 'M' and is answered when the scan is over.
    fake::ScriptedLine line(clock, kTavloBaud);
    line.expect("S1\r", "S1\r\n").expect("A\r", "A\r\nA5\r\n").expect("D\r", "D\r\nD1000\r\n");
    line.expect("M").expect("R", pairs(s), scan);
    TavloClient t(line, 1, clock);
    EXPECT_EQ(t.measure(ScanWait::queued), s);
    EXPECT_EQ(write_time(line, "R"), write_time(line, "M"));
  }
  {
    // After a bare trigger the next command waits for the scan to end.
    fake::ScriptedLine line(clock, kTavloBaud);
    line.expect("S1\r", "S1\r\n").expect("A\r", "A\r\nA5\r\n").expect("D\r", "D\r\nD1000\r\n");
    line.expect("M").expect("V\r", "V\r\nV3\r\n");
    TavloClient t(line, 1, clock);
    t.select();
    const Duration waited = t.trigger();
    EXPECT_GE(waited, scan);
    EXPECT_EQ(t.version(), 3u);
    EXPECT_GE(write_time(line, "V\r") - write_time(line, "M"), ms(scan));
    EXPECT_TRUE(line.violations.empty()) << line.violations.front();
  }
}
