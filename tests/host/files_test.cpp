// Limit files, byte escapes and the SVG pictures.
#include <gtest/gtest.h>

#include <regex>

#include "bytes.hpp"
#include "errors.hpp"
#include "limits.hpp"
#include "svg.hpp"

using namespace host;

TEST(Limits, AddressLinesOverrideTheDefaultKeyByKey) {
  auto t = LimitTable::parse(
      "# bench supply\n"
      "*   max_volts=1800   max_step=300\n"
      "2   max_volts=1500V  max_code=1825  # the fragile detector\n"
      "\n"
      "7   max_step_code=40\n",
      "hv.limits");
  Limit l1 = t.for_address(1);
  EXPECT_EQ(l1.max_volts, 1800u);
  EXPECT_EQ(l1.max_step, 300u);
  EXPECT_FALSE(l1.max_code);
  Limit l2 = t.for_address(2);
  EXPECT_EQ(l2.max_volts, 1500u);
  EXPECT_EQ(l2.max_step, 300u);
  EXPECT_EQ(l2.max_code, 1825u);
  EXPECT_EQ(t.for_address(7).max_step_code, 40u);
  EXPECT_FALSE(LimitTable::parse("3 max_volts=10\n", "x").for_address(4).any());
}

TEST(Limits, BadFilesNameTheLine) {
  const std::pair<const char*, const char*> bad[] = {
      {"1 max_volts=1500\n1 max_step=10\n", "x:2: address 1 listed twice"},
      {"\n\n253 max_volts=10\n", "x:3: address must be 1..252"},
      {"0 max_volts=10\n", "x:1: address must be 1..252"},
      {"1 max_volt=10\n", "x:1: unknown key 'max_volt'"},
      {"1 max_volts=-5\n", "x:1: 'max_volts' needs a whole number"},
      {"1 max_volts 10\n", "x:1: expected key=value"},
      {"1\n", "x:1: no limit given"},
      {"1 max_step=0\n", "x:1: a step limit of 0"},
      {"* max_volts=1\n* max_volts=2\n", "x:2: second '*' line"},
  };
  for (const auto& [text, message] : bad) {
    try {
      LimitTable::parse(text, "x");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Exit::usage);
      EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
    }
  }
}

TEST(Bytes, EscapesRoundTripAndDirtyBytesAreSeen) {
  const std::string raw = std::string("H1\r\n\x1b\x00\xff\"\\", 9);
  EXPECT_EQ(escape_bytes(raw), "H1\\r\\n\\x1B\\x00\\xFF\\\"\\\\");
  EXPECT_EQ(unescape_bytes("H1\\r\\x41\\e\\\\"), std::string("H1\rA\x1b\\"));
  EXPECT_TRUE(clean_ascii("e=1808\r\n"));
  EXPECT_FALSE(clean_ascii("e=18\x83\r\n"));
  EXPECT_FALSE(clean_ascii(std::string("e\0", 2)));
  EXPECT_EQ(parse_decimal("4095", 4095), 4095u);
  EXPECT_FALSE(parse_decimal("4096", 4095));
  EXPECT_FALSE(parse_decimal("", 10));
  EXPECT_FALSE(parse_decimal("+1", 10));
  EXPECT_FALSE(parse_decimal("99999999999999999999", ~0ull));
}

TEST(Svg, ProfileAndTimeSeriesAreSelfContainedCharts) {
  Scan s;
  for (unsigned ch = 0; ch < kChannels; ++ch) s[ch] = {ch * 64, 4095 - ch * 64};
  std::string svg = scan_profile_svg(s, "unit <1> & friends");
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("unit &lt;1&gt; &amp; friends"), std::string::npos);
  EXPECT_EQ(svg.find("href"), std::string::npos);  // nothing external
  // Two polylines of 64 points: X rises from the bottom left, Y falls from the top left.
  std::regex poly("<polyline[^>]*points=\"([^\"]*)\"");
  std::vector<std::string> lines;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), poly); it != std::sregex_iterator(); ++it)
    lines.push_back((*it)[1]);
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& pts : lines) EXPECT_EQ(std::count(pts.begin(), pts.end(), ','), 64);
  auto first_y = [](const std::string& pts) { return std::stod(pts.substr(pts.find(',') + 1)); };
  EXPECT_GT(first_y(lines[0]), first_y(lines[1]));  // SVG y grows downwards

  Chart c;
  c.title = "hv";
  c.series = {{"out", "#123456", {0, 10, 20}, {0, 1500, 1490}}};
  svg = render_svg(c);
  EXPECT_NE(svg.find(">1500<"), std::string::npos);  // a y tick at the top reading
  EXPECT_NE(svg.find(">20<"), std::string::npos);

  auto ticks = nice_ticks(0, 4095, 6);
  EXPECT_EQ(ticks.front(), 0);
  EXPECT_GE(ticks.back(), 4000);
  EXPECT_LE(ticks.size(), 9u);
  EXPECT_DOUBLE_EQ(ticks[1] - ticks[0], 1000);
}
