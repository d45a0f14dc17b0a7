// The operator's tools against each other: nodectl driving the nodes that
// aducsim runs, through the simulator's pseudo-terminal, as with hardware.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "support/process.h"

#ifndef ADUCSIM_PATH
#error "ADUCSIM_PATH must name the aducsim binary"
#endif
#ifndef NODECTL_PATH
#error "NODECTL_PATH must name the nodectl binary"
#endif

namespace {

using proc::Result;

// A number after `key` in text, or -1.
long numberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return -1;
    return std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

// aducsim in the background; its pseudo-terminal is where nodectl goes.
class Sim {
public:
    explicit Sim(std::vector<std::string> args) : child_(ADUCSIM_PATH, args) {
        port_ = child_.waitForLine("serial line: ");
    }
    const std::string& port() const { return port_; }
    proc::Child& child() { return child_; }

    // nodectl on this line; args start with the node kind.
    Result nodectl(std::vector<std::string> args, int timeoutMs = 20000, const std::string& input = "") {
        args.insert(args.begin(), {"-p", port_});
        return proc::run(NODECTL_PATH, args, timeoutMs, input);
    }
    // The volts a velmora node reads once its output has settled near
    // `expect` (a set is verified as soon as the rising output passes it,
    // and the regulation may still overshoot); the last reading after 5 s.
    long settledVolts(unsigned address, long expect) {
        const std::string a = std::to_string(address);
        long v = -1;
        for (int i = 0; i < 25; ++i) {
            const Result r = nodectl({"velmora", "-a", a, "read"});
            v = numberAfter(r.out, "velmora " + a + ": ");
            if (std::labs(v - expect) <= 5) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return v;
    }

private:
    proc::Child child_;
    std::string port_;
};

#define EXPECT_RUN(r, code_, text)                                                          \
    do {                                                                                    \
        const Result& res_ = (r);                                                           \
        EXPECT_FALSE(res_.timedOut);                                                        \
        EXPECT_EQ(res_.code, code_) << "stdout: " << res_.out << "\nstderr: " << res_.err;  \
        EXPECT_NE(res_.out.find(text), std::string::npos) << "stdout: " << res_.out;        \
    } while (0)

TEST(NodectlAducsim, VelmoraNodesAndTheirStoredParameters) {
    proc::TempDir t;
    // Real time: a node left waiting for an address after a reply is reset
    // by its watchdog 125 ms later unless the host's next bytes come in time,
    // so the host's and the node's clocks must agree.
    const std::vector<std::string> args = {"velmora", "--nodes", "1,2", "--flash-dir", t / "flash", "--param",
                                           "adc3_v=2.0"};
    {
        Sim sim(args);
        ASSERT_FALSE(sim.port().empty()) << sim.child().err();

        const Result scan = sim.nodectl({"velmora", "scan", "--to", "4"});
        EXPECT_RUN(scan, 0, "address 1: answers");
        EXPECT_NE(scan.out.find("address 2: answers"), std::string::npos);
        EXPECT_NE(scan.out.find("2 addresses of 1..4 answered"), std::string::npos) << scan.out;

        EXPECT_RUN(sim.nodectl({"velmora", "-a", "1", "read"}), 0, "velmora 1: 0 V ('H' at ");
        // A set while off cannot be seen on the output.
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "1", "set", "800", "--settle-ms", "300"}), 0, "unverified");
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "1", "on", "--volts", "800"}), 0, "verified");
        EXPECT_NEAR(double(sim.settledVolts(1, 800)), 800, 5);
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "1", "off"}), 0, "output off: verified");

        // Node 2, stored: set-point, output on, and a new address 7.
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "2", "on", "--volts", "1200", "--persist"}), 0, "verified");
        EXPECT_NEAR(double(sim.settledVolts(2, 1200)), 1200, 5);
        // The dump sees the board: ADC3 at 2.0 V of 2.5 V.
        const Result dump = sim.nodectl({"velmora", "-a", "2", "dump"});
        EXPECT_RUN(dump, 0, "ADC3=3276");
        EXPECT_NE(dump.out.find("ADC1=819"), std::string::npos);
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "2", "address"}), 0, "2");
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "2", "address", "7"}), 0, "7");
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "7", "address"}), 0, "7");
        // No node at 2 any more.
        const Result gone = sim.nodectl({"velmora", "-a", "2", "read", "-t", "150"});
        EXPECT_EQ(gone.code, 4) << gone.out << gone.err;

        EXPECT_EQ(sim.child().stop(), 0) << sim.child().err();
        EXPECT_EQ(sim.child().err().find("collision"), std::string::npos) << sim.child().err();
    }
    {
        // A restart finds every node as the flash files left it: node 2's
        // file answers at 7 with its output on at 1200 V; node 1 came back off.
        Sim sim(args);
        ASSERT_FALSE(sim.port().empty()) << sim.child().err();
        EXPECT_NE(sim.child().err().find("answers at its stored address 7"), std::string::npos) << sim.child().err();
        EXPECT_RUN(sim.nodectl({"velmora", "scan", "--to", "8"}), 0, "address 7: answers");
        EXPECT_NEAR(double(sim.settledVolts(7, 1200)), 1200, 5);
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "1", "read"}), 0, "velmora 1: 0 V");
        EXPECT_RUN(sim.nodectl({"velmora", "-a", "7", "off", "--persist"}), 0, "output off (stored): verified");
        EXPECT_EQ(sim.child().stop(), 0);
    }
}

TEST(NodectlAducsim, ReadoutUnitsScanTheBeam) {
    proc::TempDir t;
    Sim sim({"tavlo", "--nodes", "2", "--speed", "max", "--param", "x.centre=10", "--param", "y.centre=50",
             "--param", "x.noise_v=0", "--param", "y.noise_v=0"});
    ASSERT_FALSE(sim.port().empty()) << sim.child().err();

    // Both units are unselected and both answer, in step: on the wired-AND
    // line "IDN1" and "IDN2" merge into "IDN0", and the simulator says why.
    const Result both = sim.nodectl({"tavlo", "identify"});
    EXPECT_EQ(both.out.find("IDN1"), std::string::npos) << both.out;
    EXPECT_EQ(both.out.find("IDN2"), std::string::npos) << both.out;
    EXPECT_TRUE(sim.child().waitForErr("collision", 2000)) << sim.child().err();

    EXPECT_RUN(sim.nodectl({"tavlo", "-a", "2", "select"}), 0, "tavlo 2: selected");
    EXPECT_RUN(sim.nodectl({"tavlo", "-a", "2", "averaging", "2"}), 0, "verified");
    EXPECT_RUN(sim.nodectl({"tavlo", "-a", "2", "settle", "10"}), 0, "verified");
    EXPECT_RUN(sim.nodectl({"tavlo", "-a", "2", "version"}), 0, "3");
    const std::string csv = t / "scans.csv", svg = t / "profile.svg";
    EXPECT_RUN(sim.nodectl({"tavlo", "-a", "2", "acquire", "2", "-o", csv, "--svg", svg}), 0, "2 scan(s)");

    // 2 scans x 64 channels; the beam peaks where the board put it.
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "scan,channel,x,y");
    unsigned rows = 0, xPeak = 0, yPeak = 0, xMax = 0, yMax = 0, xMin = 4096;
    while (std::getline(in, line)) {
        unsigned scan, ch, x, y;
        ASSERT_EQ(std::sscanf(line.c_str(), "%u,%u,%u,%u", &scan, &ch, &x, &y), 4) << line;
        ++rows;
        if (scan != 2) continue;
        if (x > xMax) xMax = x, xPeak = ch;
        if (y > yMax) yMax = y, yPeak = ch;
        xMin = std::min(xMin, x);
    }
    EXPECT_EQ(rows, 128u);
    EXPECT_EQ(xPeak, 10u);
    EXPECT_EQ(yPeak, 50u);
    // Peak 1.6 V over a 0.05 V base, baseline 0.05 V (2.5 V reference).
    EXPECT_NEAR(double(xMax), 1.65 / 2.5 * 4096, 3);
    EXPECT_NEAR(double(xMin), 0.05 / 2.5 * 4096, 3);
    std::ifstream pic(svg);
    std::stringstream ss;
    ss << pic.rdbuf();
    EXPECT_NE(ss.str().find("<svg"), std::string::npos);

    // Unit 1 heard every 'M' too but kept its own settings.
    EXPECT_RUN(sim.nodectl({"tavlo", "-a", "1", "select"}), 0, "tavlo 1: selected");
    EXPECT_RUN(sim.nodectl({"tavlo", "-a", "1", "averaging"}), 0, "0");
    const Result read1 = sim.nodectl({"tavlo", "-a", "1", "read"});
    EXPECT_EQ(read1.code, 0) << read1.err;
    EXPECT_NE(read1.out.find("10  "), std::string::npos);
    EXPECT_EQ(sim.child().stop(), 0) << sim.child().err();
}

// With realtime pacing, nodectl's default time-outs hold as with hardware.
TEST(NodectlAducsim, RealtimeLineServesTheDefaultTimeouts) {
    proc::TempDir t;
    Sim sim({"velmora", "--flash-dir", t / "flash"});
    ASSERT_FALSE(sim.port().empty()) << sim.child().err();
    const Result r = sim.nodectl({"velmora", "-a", "1", "raw", "A1"});
    EXPECT_RUN(r, 0, "1");
    // The die sits at the board's default 25 C, with the data sheet's typical
    // sensor: the node prints 30, which is about 25 C.
    EXPECT_RUN(sim.nodectl({"velmora", "-a", "1", "dump"}), 0, "temperature: raw 30 (the node's value), about 25.");

    // Frames from a pipe go out one at a time, each after the reply to the
    // one before: no collisions, every reply printed.
    const Result piped = sim.nodectl({"velmora", "term"}, 20000, "H1\nA1\nD1\nR1\n");
    EXPECT_RUN(piped, 0, "e=0\r\n1\r\n\r\nADC[0]=");
    EXPECT_NE(piped.out.find("Temperature=30\r\n\r\r\n\re=0\r\n"), std::string::npos) << ::testing::PrintToString(piped.out);
    EXPECT_EQ(sim.child().stop(), 0);
    EXPECT_EQ(sim.child().err().find("collision"), std::string::npos) << sim.child().err();
}

}  // namespace
