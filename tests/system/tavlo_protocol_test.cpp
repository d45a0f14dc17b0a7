// The readout unit's selection protocol and command interpreter, driven over
// its serial line as a host would, with the exact bytes of every reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "support/tavlo_unit.h"

namespace {

using namespace tavlo_test;

const std::string CRLF = "\r\n";
const std::string BS = "\x08";
const std::string ESC = "\x1B";

std::string zeros() {
    return readReply([](unsigned) { return 0u; }, [](unsigned) { return 0u; });
}

std::string zeroDump() {
    std::string s;
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        char line[32];
        std::snprintf(line, sizeof line, "Ch=%2u    0    0\r\n", ch);
        s += line;
    }
    return s;
}

TEST(TavloProtocol, ExampleExchanges) {
    Line l;
    EXPECT_EQ(l.exchange("idn\r"), "IDN1" + CRLF);
    EXPECT_EQ(l.exchange("S1\r"), "S1" + CRLF);
    EXPECT_EQ(l.unit().m.readSym("IamSelected"), 1u);
    EXPECT_EQ(l.exchange("D\r"), "D" + CRLF + "D0" + CRLF);
    EXPECT_EQ(l.exchange("a3\r"), "A3" + CRLF + "A3" + CRLF);
    EXPECT_EQ(l.unit().m.readSym("Averaging"), 3u);
    EXPECT_EQ(l.exchange("V\r"), "V" + CRLF + "V3" + CRLF);
    EXPECT_EQ(l.exchange("Q\r"), "Q" + CRLF + "?");
    EXPECT_EQ(l.unit().m.readSym("ErrorCode"), 1u);
    // Before any scan the results are zero.
    EXPECT_EQ(l.exchange("R"), zeros());
    EXPECT_EQ(l.exchange("L\r"), "L" + CRLF + zeroDump());
    EXPECT_EQ(l.collisions(), 0u);
}

TEST(TavloProtocol, SelectionAndIdentification) {
    Line l;
    Unit& u = l.unit();
    // Unselected: no echo, no reply; letters without a command there only
    // set bit 0 of Error. 'I' wants D and N as the first two characters.
    EXPECT_EQ(l.exchange("ID\r"), "");
    EXPECT_EQ(l.exchange("IDN?\r"), "IDN1" + CRLF);
    EXPECT_EQ(u.m.readSym("Error"), 0u);
    EXPECT_EQ(l.exchange("R"), "");
    EXPECT_EQ(u.m.readSym("Error"), 1u);
    for (const char* c : {"A3\r", "D5\r", "L\r", "V\r"}) EXPECT_EQ(l.exchange(c), "") << c;
    EXPECT_EQ(u.m.readSym("Averaging"), 0u);
    EXPECT_EQ(u.m.readSym("ChDel"), 0u);
    EXPECT_EQ(u.m.readSym("Error"), 1u);

    // Addresses are decimal, taken modulo 65536, with anything after the
    // number ignored; a leading space reads as no number at all.
    EXPECT_EQ(l.exchange("S 1\r"), "");
    EXPECT_EQ(u.m.readSym("IamSelected"), 0u);
    EXPECT_EQ(l.exchange("s01\r"), "S1" + CRLF);
    EXPECT_EQ(l.exchange("S2\r"), "");  // another unit's address deselects
    EXPECT_EQ(u.m.readSym("IamSelected"), 0u);
    EXPECT_EQ(l.exchange("S1X\r"), "S1" + CRLF);
    EXPECT_EQ(l.exchange("S65537\r"), "S1" + CRLF);  // selected and addressed again
    EXPECT_EQ(u.m.readSym("IamSelected"), 1u);

    // Selected: 'I' is an unknown line command.
    EXPECT_EQ(l.exchange("IDN\r"), "IDN" + CRLF + "?");
    EXPECT_EQ(l.exchange("S\r"), "");
    EXPECT_EQ(u.m.readSym("IamSelected"), 0u);
}

TEST(TavloProtocol, LineEntry) {
    Line l;
    Unit& u = l.unit();
    ASSERT_EQ(l.exchange("S1\r"), "S1" + CRLF);
    // BS takes back the last character and is echoed, also on an empty line.
    EXPECT_EQ(l.exchange("A3" + BS + "4\r"), "A3" + BS + "4" + CRLF + "A4" + CRLF);
    EXPECT_EQ(u.m.readSym("Averaging"), 4u);
    EXPECT_EQ(l.exchange("D" + BS + BS + "7\r"), "D" + BS + BS + "7" + CRLF + "D7" + CRLF);
    // ESC ends the line empty; the command still runs.
    EXPECT_EQ(l.exchange("A12" + ESC), "A12" + CRLF + "A4" + CRLF);
    EXPECT_EQ(l.exchange("L" + ESC), "L" + CRLF + zeroDump());
    // Zero, missing or non-numeric arguments leave the value; -1 is 65535.
    EXPECT_EQ(l.exchange("A0\r"), "A0" + CRLF + "A4" + CRLF);
    EXPECT_EQ(l.exchange("Dx\r"), "DX" + CRLF + "D7" + CRLF);
    EXPECT_EQ(l.exchange("D-1\r"), "D-1" + CRLF + "D65535" + CRLF);
    EXPECT_EQ(u.m.readSym("ChDel"), 65535u);
    // The version needs an empty line.
    EXPECT_EQ(l.exchange("V1\r"), "V1" + CRLF);
    u.board.clearIndicatorEdges();
    // Lower case is echoed as capitals; other bytes pass unchanged.
    EXPECT_EQ(l.exchange("q\xE9z\r"), "Q\xE9Z" + CRLF + "?");

    // A line ends at its 24th character without waiting for CR; what follows
    // is read as the next command: here '9' (which waits in the UART while
    // the reply goes out), whose line the CR then ends.
    const std::string digits = std::string(22, '0') + "77";
    EXPECT_EQ(l.exchange("D" + digits + "9"), "D" + digits + CRLF + "D77" + CRLF + "9");
    EXPECT_EQ(u.m.readSym("ChDel"), 77u);
    EXPECT_EQ(l.exchange("\r"), CRLF + "?");

    // 'M' takes no line: the CR after it waits in the UART during the scan,
    // then is the next command letter, echoed and waiting for its own line,
    // which the next CR ends.
    l.clear();
    l.line.hostSend("M\r");
    ASSERT_TRUE(l.line.runUntil([&] { return u.board.indicatorEdges().size() >= 2; }, sim::fromSeconds(1)));
    l.settle();
    EXPECT_EQ(l.text(), "\r");
    EXPECT_EQ(l.exchange("\r"), CRLF + "?");
}

TEST(TavloProtocol, AveragingIsLimitedToWhatTheScanCanCount) {
    Line l;
    Unit& u = l.unit();
    ASSERT_EQ(l.exchange("S1\r"), "S1" + CRLF);
    EXPECT_EQ(l.exchange("A15\r"), "A15" + CRLF + "A15" + CRLF);
    EXPECT_EQ(l.exchange("A2\r"), "A2" + CRLF + "A2" + CRLF);
    // Beyond 15 the 16-bit pass counter would never end the scan: the unit
    // takes 15 and says so.
    EXPECT_EQ(l.exchange("A16\r"), "A16" + CRLF + "A15" + CRLF);
    EXPECT_EQ(u.m.readSym("Averaging"), 15u);
    EXPECT_EQ(l.exchange("A1\r"), "A1" + CRLF + "A1" + CRLF);
    EXPECT_EQ(l.exchange("A-1\r"), "A-1" + CRLF + "A15" + CRLF);
    EXPECT_EQ(l.exchange("A65557\r"), "A65557" + CRLF + "A15" + CRLF);  // 21 modulo 65536
    EXPECT_EQ(u.m.readSym("Averaging"), 15u);
}

TEST(TavloProtocol, HaltSilencesTheUnitUntilReset) {
    Line l;
    Unit& u = l.unit();
    ASSERT_EQ(l.exchange("S1\r"), "S1" + CRLF);
    EXPECT_EQ(l.exchange("Z"), "");
    EXPECT_EQ(l.exchange("S1\r"), "");
    EXPECT_EQ(l.exchange("idn\r"), "");
    EXPECT_EQ(l.exchange("R"), "");
    EXPECT_EQ(l.exchange("V\r"), "");
    u.board.clearIndicatorEdges();
    EXPECT_EQ(l.exchange("M"), "");
    EXPECT_TRUE(u.board.indicatorEdges().empty()) << "a halted unit scanned";
    EXPECT_TRUE(u.board.scanIndicator());

    // Power brings it back, unselected, with its parameters at zero.
    u.m.powerOn();
    l.run(kBootTime);
    EXPECT_EQ(l.exchange("V\r"), "");
    EXPECT_EQ(l.exchange("IDN\r"), "IDN1" + CRLF);
}

TEST(TavloProtocol, OnlyTheSelectedUnitAnswersOnASharedLine) {
    Line l(2);
    Unit& a = l.unit(0);
    Unit& b = l.unit(1);
    // The two units are the same image; the second is given address 2.
    b.m.writeSym("MyAddress", 2);
    a.setCodes(Axis::X, [](unsigned ch) { return 100 + ch; });
    a.setCodes(Axis::Y, [](unsigned ch) { return 200 + ch; });
    b.setCodes(Axis::X, [](unsigned ch) { return 3000 + ch; });
    b.setCodes(Axis::Y, [](unsigned ch) { return 4000 + ch; });

    l.exchange("S2\r");
    EXPECT_EQ(l.text(0), "");
    EXPECT_EQ(l.text(1), "S2" + CRLF);
    EXPECT_EQ(l.exchange("D50\r"), "D50" + CRLF + "D50" + CRLF);
    EXPECT_EQ(b.m.readSym("ChDel"), 50u);
    EXPECT_EQ(a.m.readSym("ChDel"), 0u);

    // Every unit hears 'M' and scans.
    a.board.clearIndicatorEdges();
    b.board.clearIndicatorEdges();
    l.line.hostSend("M");
    ASSERT_TRUE(l.line.runUntil(
        [&] { return a.board.indicatorEdges().size() >= 2 && b.board.indicatorEdges().size() >= 2; },
        sim::fromMillis(200)));

    l.exchange("R");
    EXPECT_EQ(l.text(0), "");
    EXPECT_EQ(l.text(1), readReply([](unsigned ch) { return 3000 + ch; },
                                        [](unsigned ch) { return 4000 + ch; }));

    // Selecting the first unit deselects the second without a word from it.
    l.exchange("S1\r");
    EXPECT_EQ(l.text(0), "S1" + CRLF);
    EXPECT_EQ(l.text(1), "");
    EXPECT_EQ(b.m.readSym("IamSelected"), 0u);
    l.exchange("R");
    EXPECT_EQ(l.text(1), "");
    // Unit 1 scanned with ChDel 0: its values are whatever settled, but its
    // reply is complete and its own.
    const std::string r = l.text(0);
    EXPECT_EQ(r.front(), 'R');
    EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), 64);
    EXPECT_EQ(l.collisions(), 0u);

    // Unselected, both answer 'I' at once: the line sees the collision.
    l.exchange("S9\r");
    l.exchange("IDN\r");
    EXPECT_GT(l.collisions(), 0u);
}

}  // namespace
