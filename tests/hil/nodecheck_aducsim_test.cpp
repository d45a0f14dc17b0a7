// The protocol checks (nodecheck) against the simulated nodes through
// aducsim's pseudo-terminal, as they run against hardware: every case passes
// on the real images, a planted fault fails the case that covers it, and an
// interrupted run leaves the node as it found it.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "support/process.h"

#if defined(ADUCSIM_PATH) && defined(NODECHECK_PATH) && defined(NODECTL_PATH) && defined(VELMORA_FAULT_ELF)

namespace {

using proc::Result;

// The simulator runs in real time: the checks measure time on the wall clock.
class Sim {
public:
    explicit Sim(std::vector<std::string> args) : child_(ADUCSIM_PATH, args) { port_ = child_.waitForLine("serial line: "); }
    const std::string& port() const { return port_; }
    proc::Child& child() { return child_; }

private:
    proc::Child child_;
    std::string port_;
};

// The parameter store's variables as the node would read them at boot: the
// newest record of each virtual address on the page it reads from.
std::map<unsigned, unsigned> storedParameters(const std::string& flashFile) {
    std::ifstream in(flashFile, std::ios::binary);
    std::string f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto half = [&](size_t off) { return unsigned(uint8_t(f.at(off))) | unsigned(uint8_t(f.at(off + 1))) << 8; };
    std::map<unsigned, unsigned> vars;
    size_t page = 0;
    if ((half(0xF000) & 0xFF) == 6) page = 0xF000;
    else if ((half(0xF200) & 0xFF) == 6) page = 0xF200;
    else return vars;
    for (size_t rec = 4; rec < 512; rec += 4) {
        const unsigned va = half(page + rec + 2);
        if (va <= 6 && va % 2 == 0) vars[va] = half(page + rec);  // later records overwrite
    }
    return vars;
}

std::vector<std::string> nodecheckArgs(const std::string& port, std::vector<std::string> more) {
    // The simulator's line adds the host's and its own scheduling delays to
    // every reply, more on a loaded machine: a looser frame-to-reply limit.
    std::vector<std::string> a = {"velmora", "-p", port, "--quick", "--reply-max-ms", "300"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

TEST(NodecheckAducsim, VelmoraEveryCasePassesAndLeavesTheStoreAsFound) {
    proc::TempDir t;
    Sim sim({"velmora", "--flash-dir", t / "flash", "--quiet"});
    ASSERT_FALSE(sim.port().empty()) << sim.child().err();
    const std::string flash = t / "flash/velmora-1.flash";
    const auto before = storedParameters(flash);
    ASSERT_EQ(before.size(), 4u);
    const Result r = proc::run(NODECHECK_PATH,
                               nodecheckArgs(sim.port(), {"--allow-hv", "1000", "--calibration", "26936", "--junit",
                                                          t / "velmora.xml"}),
                               120000);
    EXPECT_EQ(r.code, 0) << r.out << r.err << sim.child().err();
    EXPECT_NE(r.out.find("9 passed, 0 failed, 0 skipped"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("NOT RESTORED"), std::string::npos) << r.out;
    std::ifstream x(t / "velmora.xml");
    const std::string xml((std::istreambuf_iterator<char>(x)), std::istreambuf_iterator<char>());
    EXPECT_NE(xml.find("tests=\"9\" failures=\"0\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("name=\"velmora.calibration\""), std::string::npos) << xml;
    EXPECT_EQ(sim.child().stop(), 0) << sim.child().err();
    EXPECT_EQ(storedParameters(flash), before);
    std::printf("%s(%.1f s)\n", r.out.c_str(), r.seconds);
}

// Value changes of one VCD signal: (time, value) in file order.
std::vector<std::pair<uint64_t, uint64_t>> vcdChanges(const std::string& path, const std::string& name) {
    std::ifstream in(path);
    std::string line, id;
    std::vector<std::pair<uint64_t, uint64_t>> out;
    uint64_t now = 0;
    bool body = false;
    while (std::getline(in, line)) {
        if (!body) {
            // "$var wire 1 , P1_2 $end"
            std::istringstream w(line);
            std::string var, kind, width, code, signal;
            if (w >> var >> kind >> width >> code >> signal && var == "$var" && signal == name) id = code;
            if (line.rfind("$enddefinitions", 0) == 0) body = true;
            continue;
        }
        if (line.empty() || line[0] == '$') continue;
        if (line[0] == '#') now = std::stoull(line.substr(1));
        else if (line[0] == 'b') {
            const size_t sp = line.find(' ');
            const std::string bits = line.substr(1, sp - 1);
            if (line.substr(sp + 1) == id && bits.find_first_not_of("01") == std::string::npos)
                out.push_back({now, std::stoull(bits, nullptr, 2)});
        } else if (line.substr(1) == id) out.push_back({now, uint64_t(line[0] == '1')});
    }
    return out;
}

TEST(NodecheckAducsim, VelmoraWithoutAllowHvNeverSwitchesTheOutputOn) {
    proc::TempDir t;
    Sim sim({"velmora", "--flash-dir", t / "flash", "--quiet", "--vcd", t / "run.vcd"});
    ASSERT_FALSE(sim.port().empty()) << sim.child().err();
    const Result r = proc::run(NODECHECK_PATH, nodecheckArgs(sim.port(), {}), 60000);
    EXPECT_EQ(r.code, 0) << r.out << r.err << sim.child().err();
    EXPECT_NE(r.out.find("7 passed, 0 failed, 2 skipped"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SKIP velmora.setpoint"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("needs the output on: give --allow-hv"), std::string::npos) << r.out;
    EXPECT_EQ(sim.child().stop(), 0) << sim.child().err();
    // The enable pin never rose and the supply stayed at 0 V for the whole run.
    const auto enable = vcdChanges(t / "run.vcd", "P1_2");
    const auto hv = vcdChanges(t / "run.vcd", "HV_mV");
    ASSERT_FALSE(hv.empty());
    for (const auto& [at, v] : enable) EXPECT_EQ(v, 0u) << "P1.2 high at " << at;
    uint64_t top = 0;
    for (const auto& c : hv) top = std::max(top, c.second);
    EXPECT_LT(top, 1000u) << "the supply reached " << top << " mV";
}

TEST(NodecheckAducsim, TavloEveryCasePasses) {
    proc::TempDir t;
    Sim sim({"tavlo", "--quiet"});
    ASSERT_FALSE(sim.port().empty()) << sim.child().err();
    const Result r =
        proc::run(NODECHECK_PATH, {"tavlo", "-p", sim.port(), "--quick", "--junit", t / "tavlo.xml"}, 120000);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("7 passed, 0 failed, 0 skipped"), std::string::npos) << r.out;
    // A fresh unit averages 0, which no command sets back: said, not hidden.
    EXPECT_NE(r.out.find("NOT RESTORED in tavlo.parameters: averaging 0"), std::string::npos) << r.out;
    std::ifstream x(t / "tavlo.xml");
    const std::string xml((std::istreambuf_iterator<char>(x)), std::istreambuf_iterator<char>());
    EXPECT_NE(xml.find("tests=\"7\" failures=\"0\""), std::string::npos) << xml;
    std::printf("%s(%.1f s)\n", r.out.c_str(), r.seconds);
}

TEST(NodecheckAducsim, PlantedFaultsFailTheirCase) {
    proc::TempDir t;
    {
        // A supply that cannot reach the set-point.
        Sim sim({"velmora", "--flash-dir", t / "a", "--quiet", "--param", "hv.max_v=500"});
        ASSERT_FALSE(sim.port().empty()) << sim.child().err();
        const Result r =
            proc::run(NODECHECK_PATH, nodecheckArgs(sim.port(), {"--allow-hv", "1000", "--only", "setpoint"}), 60000);
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("FAIL velmora.setpoint"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("expected 1000 V +/- 5 V"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("RESTORE FAILED"), std::string::npos) << r.out;
    }
    {
        // Firmware whose 'D' dump lines lack their CR: only the format case fails.
        Sim sim({"velmora", "--flash-dir", t / "b", "--quiet", "--image", VELMORA_FAULT_ELF});
        ASSERT_FALSE(sim.port().empty()) << sim.child().err();
        const Result r = proc::run(NODECHECK_PATH, nodecheckArgs(sim.port(), {"--only", "address,reply-formats"}), 60000);
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("PASS velmora.address"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("FAIL velmora.reply-formats"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("D1 drew \"\\r\\nADC[0]="), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("1 passed, 1 failed"), std::string::npos) << r.out;
    }
}

TEST(NodecheckAducsim, InterruptedRunLeavesTheNodeAsFound) {
    proc::TempDir t;
    Sim sim({"velmora", "--flash-dir", t / "flash", "--quiet"});
    ASSERT_FALSE(sim.port().empty()) << sim.child().err();
    const std::string flash = t / "flash/velmora-1.flash";
    const auto before = storedParameters(flash);
    for (const std::string marker : {"calibration claimed", "address moved"}) {
        proc::Child run(NODECHECK_PATH, nodecheckArgs(sim.port(), {"--allow-hv", "1000", "--calibration", "26936",
                                                                   "-v", "--only", "calibration,persistence"}));
        ASSERT_TRUE(run.waitForErr(marker, 30000)) << run.err();
        // Ctrl-C right after the node's stored state changed.
        EXPECT_EQ(run.stop(SIGINT, 30000), 130) << run.out() << run.err();
        EXPECT_NE(run.out().find("(interrupted)"), std::string::npos) << run.out();
        EXPECT_EQ(run.out().find("RESTORE FAILED"), std::string::npos) << run.out();
        EXPECT_EQ(storedParameters(flash), before) << "after Ctrl-C at \"" << marker << "\"";
    }
    // Read back over the line: the node answers at its address, output off.
    const Result a = proc::run(NODECTL_PATH, {"-p", sim.port(), "velmora", "address"});
    EXPECT_EQ(a.code, 0) << a.out << a.err;
    EXPECT_NE(a.out.find("1"), std::string::npos) << a.out;
    const Result v = proc::run(NODECTL_PATH, {"-p", sim.port(), "velmora", "read"});
    EXPECT_NE(v.out.find("velmora 1: 0"), std::string::npos) << v.out;
    EXPECT_EQ(sim.child().stop(), 0) << sim.child().err();
    EXPECT_EQ(storedParameters(flash), before);
}

TEST(NodecheckAducsim, ANodeLostMidCaseMakesTheRestoreFailLoudly) {
    proc::TempDir t;
    auto sim = std::make_unique<Sim>(std::vector<std::string>{"velmora", "--flash-dir", t / "flash", "--quiet"});
    ASSERT_FALSE(sim->port().empty()) << sim->child().err();
    proc::Child run(NODECHECK_PATH, nodecheckArgs(sim->port(), {"-v", "--only", "persistence"}));
    ASSERT_TRUE(run.waitForErr("address moved", 30000)) << run.err();
    sim.reset();  // the node goes away with its address changed
    EXPECT_EQ(run.stop(0, 30000), 4) << run.out() << run.err();
    EXPECT_NE(run.out().find("!!!! RESTORE FAILED in velmora.persistence: could not restore node address 1"),
              std::string::npos)
        << run.out();
    EXPECT_NE(run.err().find("The node is NOT as the run found it"), std::string::npos) << run.err();
}

}  // namespace

#endif
