// The velmora client against a scripted line and a small fake bus.
#include <gtest/gtest.h>

#include "errors.hpp"
#include "fakes.hpp"
#include "velmora.hpp"

using namespace host;
using namespace std::chrono_literals;
using fake::error_of;

namespace {

int count_letter(const fake::VelmoraBus& bus, char letter) {
  return static_cast<int>(std::count_if(bus.frames.begin(), bus.frames.end(),
                                        [&](const auto& f) { return f.letter == letter; }));
}

}  // namespace

TEST(Velmora, FramesEndInCrAloneAndEveryReplyIsFollowedBySync) {
  fake::Clock clock;
  fake::ScriptedLine line(clock);
  line.strict_sync();
  line.expect("0\r").expect("H1\r", "e=1808\r\n").expect("0\r").expect("R1\r", "e=2200\r\n").expect("0\r");
  line.expect("V1 1500\r");
  VelmoraClient c(line, 1, clock);
  EXPECT_EQ(c.read_volts(), 1808u);
  EXPECT_EQ(c.read_code(), 2200u);
  c.send_frame('V', 1500);
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();
  EXPECT_TRUE(line.finished());
  EXPECT_EQ(line.written().find('\n'), std::string::npos);
}

TEST(Velmora, ReplyFaultsAreToldApart) {
  fake::Clock clock;
  fake::ScriptedLine line(clock);
  VelmoraClient c(line, 1, clock);

  // Silence: a no-reply error, after the frame's wire time plus the time-out and no longer.
  line.expect("H1\r");
  const double t0 = clock.ms();
  auto msg = error_of(Exit::no_reply, [&] { c.read_volts(); });
  EXPECT_NE(msg.find("within 300 ms"), std::string::npos) << msg;
  EXPECT_GE(clock.ms() - t0, 300.0);
  EXPECT_LT(clock.ms() - t0, 330.0);

  // A line that stops short.
  line.expect("H1\r", "e=18");
  msg = error_of(Exit::malformed, [&] { c.read_volts(); });
  EXPECT_NE(msg.find("truncated"), std::string::npos) << msg;

  // A corrupted byte, as a framing error or a collision leaves it.
  line.expect("H1\r", "e=1\x83" "08\r\n");
  msg = error_of(Exit::malformed, [&] { c.read_volts(); });
  EXPECT_NE(msg.find("garbled"), std::string::npos) << msg;

  // Two nodes answering at once: a second line right behind the first.
  line.expect("H1\r", "e=1808\r\ne=1796\r\n");
  error_of(Exit::malformed, [&] { c.read_volts(); });

  // Wrong shape: another letter, a bare LF, a number too large for 32 bits.
  line.expect("H1\r", "x=1808\r\n");
  error_of(Exit::malformed, [&] { c.read_volts(); });
  line.expect("H1\r", "e=1808\n");
  error_of(Exit::malformed, [&] { c.read_volts(); });
  line.expect("R1\r", "e=99999999999\r\n");
  error_of(Exit::malformed, [&] { c.read_code(); });

  // After all that, a clean exchange works and stale bytes were not taken for it.
  line.expect("H1\r", "e=5\r\n");
  EXPECT_EQ(c.read_volts(), 5u);
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();
}

TEST(Velmora, DumpIsParsedLineByLine) {
  fake::Clock clock;
  fake::ScriptedLine line(clock);
  VelmoraClient c(line, 7, clock);
  const std::string dump =
      "\r\nADC[0]=2200\r\n\rADC[1]=17\r\n\rADC[2]=0\r\n\rADC[3]=4095\r\n\rTemperature=-10\r\n\r\r\n\r";
  line.expect("D7\r", dump);
  Dump d = c.dump();
  EXPECT_EQ(d.adc, (std::array<unsigned, 4>{2200, 17, 0, 4095}));
  EXPECT_EQ(d.temperature, -10);

  // Out of order, cut short, and garbled dumps are refused.
  std::string swapped = dump;
  swapped.replace(swapped.find("ADC[1]"), 6, "ADC[2]");
  line.expect("D7\r", swapped);
  error_of(Exit::malformed, [&] { c.dump(); });
  line.expect("D7\r", dump.substr(0, 30));
  auto msg = error_of(Exit::malformed, [&] { c.dump(); });
  EXPECT_NE(msg.find("cut after 3 of 7"), std::string::npos) << msg;
  std::string noisy = dump;
  noisy[20] = '\xff';
  line.expect("D7\r", noisy);
  error_of(Exit::malformed, [&] { c.dump(); });
  line.expect("D7\r");
  error_of(Exit::no_reply, [&] { c.dump(); });
}

TEST(Velmora, AddressChangeIsCheckedBeforeAndConfirmedAfter) {
  fake::Clock clock;
  {
    fake::ScriptedLine line(clock);
    line.expect("A1\r", "1\r\n").expect("A5\r").expect("A1 5\r", "5\r\n").expect("A5\r", "5\r\n").expect("A1\r");
    VelmoraClient c(line, 1, clock);
    Outcome o = c.change_address(5);
    EXPECT_EQ(o.verdict, Verdict::verified) << o.detail;
    EXPECT_EQ(c.address(), 5u);
    EXPECT_TRUE(line.finished());
    EXPECT_TRUE(line.violations.empty()) << line.violations.front();
  }
  {
    // Another node already has the address: nothing is changed.
    fake::ScriptedLine line(clock);
    line.expect("A1\r", "1\r\n").expect("A5\r", "5\r\n");
    VelmoraClient c(line, 1, clock);
    error_of(Exit::refused, [&] { c.change_address(5); });
    EXPECT_EQ(line.written().find("A1 5"), std::string::npos);
    EXPECT_EQ(c.address(), 1u);
  }
  {
    // The node took the address but does not answer there.
    fake::ScriptedLine line(clock);
    line.expect("A1\r", "1\r\n").expect("A5\r").expect("A1 5\r", "5\r\n").expect("A5\r").expect("A1\r");
    VelmoraClient c(line, 1, clock);
    EXPECT_EQ(c.change_address(5).verdict, Verdict::mismatch);
  }
  fake::ScriptedLine line(clock);
  VelmoraClient c(line, 1, clock);
  error_of(Exit::usage, [&] { c.change_address(253); });
  error_of(Exit::usage, [&] { c.change_address(0); });
}

TEST(Velmora, BusScanListsAnswersAndCollisions) {
  fake::Clock clock;
  fake::ScriptedLine line(clock);
  for (unsigned a = 1; a <= 12; ++a) {
    const std::string f = "A" + std::to_string(a) + "\r";
    if (a == 3) line.expect(f, "3\r\n");
    else if (a == 9) line.expect(f, "\x89\xf3\r\n");  // two nodes at 9
    else if (a == 11) line.expect(f, "1");             // starts, then nothing
    else line.expect(f);
  }
  VelmoraClient c(line, 1, clock);
  const double t0 = clock.ms();
  auto found = scan_bus(c, 1, 12, 20ms);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].address, 3u);
  EXPECT_EQ(found[0].kind, ProbeKind::answered);
  EXPECT_EQ(found[1].address, 9u);
  EXPECT_EQ(found[1].kind, ProbeKind::garbled);
  EXPECT_EQ(found[2].address, 11u);
  EXPECT_EQ(found[2].kind, ProbeKind::garbled);
  // The short per-address time-out keeps a full scan of 252 addresses within seconds.
  EXPECT_LT(clock.ms() - t0, 12 * 40.0);
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();
}

TEST(Velmora, LimitsRefuseBeforeAnySetIsSent) {
  fake::Clock clock;
  fake::VelmoraBus bus(clock);
  auto& n = bus.add(1);
  n.on = true;
  n.setpoint = 1216;  // about 1000 V
  VelmoraClient c(bus, 1, clock);
  Limit lim;
  lim.max_volts = 1500;
  lim.max_step = 200;

  error_of(Exit::refused, [&] { c.set_volts(1600, false, lim); });
  auto msg = error_of(Exit::refused, [&] { c.set_volts(1300, false, lim); });
  EXPECT_NE(msg.find("largest step 200"), std::string::npos) << msg;
  error_of(Exit::refused, [&] { c.set_code(1500, lim); });                  // no max_code given
  error_of(Exit::refused, [&] { c.switch_on(false, std::nullopt, lim); });  // set-point unknown
  error_of(Exit::refused, [&] { c.switch_on(false, 1501, lim); });
  error_of(Exit::usage, [&] { c.set_volts(2011, false); });
  error_of(Exit::usage, [&] { c.set_code(4096); });
  for (char set : {'U', 'V', 'E', 'N', 'G'}) EXPECT_EQ(count_letter(bus, set), 0) << set;
  EXPECT_EQ(n.setpoint, 1216u);

  // Within the limits the set goes through and is verified.
  Outcome o = c.set_volts(1150, false, lim);
  EXPECT_EQ(o.verdict, Verdict::verified) << o.detail;
  lim.max_code = 1500;
  lim.max_step_code = 100;
  error_of(Exit::refused, [&] { c.set_code(1501, lim); });
  error_of(Exit::refused, [&] { c.set_code(1290, lim); });  // 108 codes from 1398
  EXPECT_EQ(c.set_code(1450, lim).verdict, Verdict::verified);
  EXPECT_FALSE(bus.lf_seen);
}

TEST(Velmora, RampStepsArePacedLimitedAndCheckedOneByOne) {
  fake::Clock clock;
  fake::VelmoraBus bus(clock);
  auto& n = bus.add(1);
  n.on = true;
  n.setpoint = 0;
  VelmoraClient c(bus, 1, clock);
  Limit lim;
  lim.max_step = 60;
  // 400 V/s every 250 ms would be 100 V a step; the limit makes it 60 V.
  Outcome o = c.set_volts(1000, true, lim, Ramp{400, 250ms});
  ASSERT_EQ(o.verdict, Verdict::verified) << o.detail;
  // The first reading is where the ramp started, not a step of it.
  EXPECT_EQ(o.detail.rfind("ramped from 0 V to 1000 V in 17 steps", 0), 0u) << o.detail;
  ASSERT_EQ(o.steps.size(), 17u);
  std::vector<fake::VelmoraBus::Frame> sets;
  for (const auto& f : bus.frames)
    if (f.letter == 'U' || f.letter == 'V') sets.push_back(f);
  ASSERT_EQ(sets.size(), 17u);
  unsigned prev = 0;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    EXPECT_EQ(sets[i].letter, i + 1 == sets.size() ? 'V' : 'U') << i;  // only the last step is stored
    EXPECT_LE(*sets[i].value - prev, 60u) << i;
    EXPECT_GT(*sets[i].value, prev) << i;
    if (i) {
      EXPECT_GE(sets[i].ms - sets[i - 1].ms, 250.0) << i;
    }
    prev = *sets[i].value;
  }
  EXPECT_EQ(prev, 1000u);
  // Every step was read back before the next one was sent.
  for (std::size_t i = 0; i + 1 < bus.frames.size(); ++i) {
    if (bus.frames[i].letter == 'U') {
      EXPECT_EQ(bus.frames[i + 1].letter, 'H') << i;
    }
  }

  EXPECT_EQ(n.stored_setpoint, n.setpoint);

  // Down again without a limit: 400 V/s at 250 ms is 100 V a step, from the reading.
  const unsigned start = c.read_volts();
  o = c.set_volts(500, false, {}, Ramp{400, 250ms});
  EXPECT_EQ(o.verdict, Verdict::verified) << o.detail;
  ASSERT_EQ(o.steps.size(), 5u);
  EXPECT_EQ(o.steps.front().target, start - 100);
  EXPECT_EQ(o.steps.back().target, 500u);
}

TEST(Velmora, RampStopsAtTheFirstStepThatDoesNotReadBack) {
  fake::Clock clock;
  fake::VelmoraBus bus(clock);
  auto& n = bus.add(1);
  n.on = true;
  n.setpoint = 0;
  n.clamp_volts = 430;  // the supply cannot go higher
  VelmoraClient c(bus, 1, clock);
  Outcome o = c.set_volts(1000, false, {}, Ramp{400, 250ms});
  EXPECT_EQ(o.verdict, Verdict::mismatch);
  ASSERT_EQ(o.steps.size(), 5u);
  EXPECT_EQ(o.steps.back().target, 500u);
  EXPECT_NE(o.detail.find("step 5 of 10"), std::string::npos) << o.detail;
  EXPECT_EQ(count_letter(bus, 'U'), 5);

  // Ramping an output that is off shows nothing: stopped as unverified at step 1.
  n.on = false;
  n.clamp_volts = 100000;
  o = c.set_volts(300, false, {}, Ramp{400, 250ms});
  EXPECT_EQ(o.verdict, Verdict::unverified);
  EXPECT_EQ(o.steps.size(), 1u);
}

TEST(Velmora, SetsAreReportedVerifiedMismatchOrUnverified) {
  fake::Clock clock;
  fake::VelmoraBus bus(clock);
  auto& n = bus.add(1);
  VelmoraClient c(bus, 1, clock);

  // Output off: the set-point goes out but cannot be seen.
  EXPECT_EQ(c.set_volts(1000, false).verdict, Verdict::unverified);
  EXPECT_EQ(c.set_code(1000).verdict, Verdict::unverified);

  // On switches verified once the voltage is there; set and code sets read back.
  Outcome o = c.switch_on(false);
  EXPECT_EQ(o.verdict, Verdict::verified) << o.detail;
  EXPECT_TRUE(n.on);
  o = c.set_volts(1500, false);
  EXPECT_EQ(o.verdict, Verdict::verified) << o.detail;
  EXPECT_NEAR(static_cast<double>(*o.readback), 1500.0, 3.0);
  EXPECT_EQ(c.set_code(2000).verdict, Verdict::verified);

  // Storing the set-point the node already runs at must still reach the store.
  c.set_volts(1200, false);
  EXPECT_FALSE(n.stored_setpoint);
  EXPECT_EQ(c.set_volts(1200, true).verdict, Verdict::verified);
  EXPECT_EQ(n.stored_setpoint, n.setpoint);

  // A supply that cannot follow: mismatch with the reading.
  n.clamp_volts = 1200;
  o = c.set_volts(1500, false);
  EXPECT_EQ(o.verdict, Verdict::mismatch);
  EXPECT_NE(o.detail.find("expected 1500"), std::string::npos) << o.detail;
  n.clamp_volts = 100000;

  // Off: verified when the voltage falls, unverified when there was none, mismatch when it stays.
  EXPECT_EQ(c.switch_off(false).verdict, Verdict::verified);
  EXPECT_EQ(c.switch_off(true).verdict, Verdict::unverified);
  EXPECT_EQ(count_letter(bus, 'S'), 1);
  c.switch_on(false);
  n.stuck_on = true;
  EXPECT_EQ(c.switch_off(false).verdict, Verdict::mismatch);
  n.stuck_on = false;

  // Switching on at a given voltage, ramped from 0.
  bus.frames.clear();
  o = c.switch_on(true, 800, {}, Ramp{400, 250ms});
  EXPECT_EQ(o.verdict, Verdict::verified) << o.detail;
  ASSERT_GE(bus.frames.size(), 3u);
  EXPECT_EQ(bus.frames[1].letter, 'U');
  EXPECT_EQ(bus.frames[1].value, 0u);
  EXPECT_EQ(bus.frames[2].letter, 'G');
  EXPECT_EQ(bus.frames.back().letter, 'H');
  EXPECT_EQ(n.stored_setpoint, static_cast<unsigned>(800 / n.c2v));
  EXPECT_EQ(n.stored_on, true);
}

TEST(Velmora, CalibrationIsGuardedAndReadBack) {
  fake::Clock clock;
  fake::VelmoraBus bus(clock);
  auto& n = bus.add(1);
  n.setpoint = 2200;
  VelmoraClient c(bus, 1, clock);
  error_of(Exit::refused, [&] { c.calibrate(1800); });  // output off: code 0
  n.on = true;
  error_of(Exit::refused, [&] { c.calibrate(4400); });  // 2 V per code
  error_of(Exit::usage, [&] { c.calibrate(0); });
  EXPECT_EQ(count_letter(bus, 'C'), 0);
  Outcome o = c.calibrate(1800);
  EXPECT_EQ(o.verdict, Verdict::verified) << o.detail;
  EXPECT_NEAR(n.c2v, 1800.0 / 2200, 1e-9);
}

TEST(Velmora, ResetWaitsForTheNodeAndReportsItUnverified) {
  fake::Clock clock;
  fake::ScriptedLine line(clock);
  // The node boots: two probes go unanswered, the third is answered.
  line.expect("K1\r").expect("A1\r").expect("A1\r").expect("A1\r", "1\r\n");
  VelmoraClient c(line, 1, clock);
  Outcome o = c.reset();
  EXPECT_EQ(o.verdict, Verdict::unverified);
  EXPECT_NE(o.detail.find("answers again"), std::string::npos) << o.detail;
  // Probes come faster than the node's 125 ms watchdog, each behind a sync.
  EXPECT_NE(line.written().find("0\rA1\r0\rA1\r"), std::string::npos);
  int gaps = 0;
  for (std::size_t i = 2; i + 1 < line.writes.size(); ++i) {
    if (line.writes[i].second == "A1\r" && line.writes[i + 1].second == "0\r") {
      EXPECT_LT(line.writes[i + 1].first - line.writes[i].first, 125.0);
      ++gaps;
    }
  }
  EXPECT_GE(gaps, 2);
  EXPECT_TRUE(line.violations.empty()) << line.violations.front();

  fake::ScriptedLine dead(clock);
  VelmoraClient d(dead, 1, clock);
  for (int i = 0; i < 60; ++i) dead.expect(i == 0 ? "K1\r" : "A1\r");
  error_of(Exit::no_reply, [&] { d.reset(); });
}
