// Hostile input on both command interpreters, the CI share: the fuzzers'
// corpus and every input that once found a fault replayed, seeded random
// frames at the line rate, and the oracles shown to catch planted faults.
// RELIAB_SEED=n picks another random sequence; a failure names its seed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "aduc702x.h"
#include "fuzz/tavlo_harness.h"
#include "fuzz/velmora_harness.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsIn(const fs::path& dir) {
    std::vector<fs::path> out;
    if (fs::is_directory(dir))
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file()) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t seed() {
    const char* s = std::getenv("RELIAB_SEED");
    return s ? static_cast<uint32_t>(std::strtoul(s, nullptr, 0)) : 20261207u;
}

template <class Node>
void replay(Node& node, const char* name) {
    unsigned count = 0;
    for (const char* sub : {"corpus", "crashes"}) {
        for (const fs::path& p : inputsIn(fs::path(FUZZ_DIR) / sub / name)) {
            const std::string in = slurp(p);
            const fuzz::Outcome o = node.run(in);
            EXPECT_TRUE(o) << p.filename() << " \"" << fuzz::printable(in) << "\": " << o.finding << "\n  "
                           << o.detail;
            ++count;
        }
    }
    EXPECT_GE(count, 20u) << "the corpus of " << name << " is missing";
    // The lowest stack pointer of each mode over all those inputs (kept
    // across the snapshot restores), inside its area.
    sim::Machine& m = node.machine();
    for (const auto& a : m.stackAreas()) {
        const uint32_t low = m.lowestSp(a.mode);
        if (low != a.top)
            std::printf("%-8s corpus: %-10s stack down to 0x%05X, %u of %u bytes\n", name, sim::toString(a.mode), low,
                        a.top - low, a.top - a.bottom);
        EXPECT_GE(low, a.bottom) << name << " " << sim::toString(a.mode);
    }
}

// ---- Random frames ----

struct Dice {
    std::mt19937 rng;
    unsigned below(unsigned n) { return static_cast<unsigned>(rng() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <class T>
    const T& pick(const std::vector<T>& v) { return v[below(static_cast<unsigned>(v.size()))]; }
    std::string number() {
        static const std::vector<std::string> odd = {"0", "253", "255", "256", "65535", "65536", "2147483648",
                                                     "4294967295", "4294967296", "99999999999999999999", ""};
        if (chance(20)) return pick(odd);
        return std::to_string(below(chance(50) ? 3500 : 300));
    }
    // A few bytes inserted, removed or replaced anywhere.
    void mutate(std::string& s) {
        for (unsigned n = 1 + below(3); n > 0; --n) {
            const size_t at = s.empty() ? 0 : below(static_cast<unsigned>(s.size()));
            const char b = static_cast<char>(below(256));
            switch (below(3)) {
                case 0: s.insert(s.begin() + static_cast<long>(at), b); break;
                case 1: if (!s.empty()) s.erase(at, 1); break;
                default: if (!s.empty()) s[at] = b; break;
            }
        }
    }
};

std::string velmoraInput(Dice& d) {
    static const std::vector<char> letters = {'A', 'C', 'D', 'E', 'U', 'V', 'F', 'S', 'G', 'N', 'H', 'R', 'K', 'B', '1'};
    std::string in;
    for (unsigned f = 1 + d.below(5); f > 0; --f) {
        char letter = d.pick(letters);
        if (d.chance(10) && letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter + 32);
        in += letter;
        in += d.chance(75) ? "1" : d.number();
        const bool value = letter == 'C' || letter == 'E' || letter == 'U' || letter == 'V' || letter == 'c' ||
                           letter == 'e' || letter == 'u' || letter == 'v' || ((letter == 'A' || letter == 'a') && d.chance(30));
        if (value) in += (d.chance(85) ? " " : "x") + d.number();
        if (d.chance(90)) in += d.chance(85) ? '\r' : d.pick(std::vector<char>{'\n', ' ', ',', '\x00', '\xff'});
        if (d.chance(20)) in += "0\r";
    }
    if (d.chance(30)) d.mutate(in);
    return in;
}

std::string tavloInput(Dice& d) {
    std::string in = d.chance(70) ? "S1\r" : "";
    for (unsigned f = 1 + d.below(5); f > 0; --f) {
        switch (d.below(12)) {
            case 0: in += "S" + d.number() + "\r"; break;
            case 1: in += d.chance(50) ? "IDN\r" : "I" + d.number() + "\r"; break;
            case 2: in += "A" + (d.chance(80) ? std::to_string(d.below(5)) : d.number()) + "\r"; break;
            case 3: in += "D" + std::to_string(d.below(40)) + "\r"; break;  // short settling keeps scans short
            case 4: in += "L\r"; break;
            case 5: in += d.chance(70) ? "V\r" : "V" + d.number() + "\r"; break;
            case 6: in += "R"; break;
            case 7: in += "M"; break;
            case 8: in += std::string(1, static_cast<char>('A' + d.below(26))) + "\x1b"; break;
            case 9: in += "A12\x08\x08" + std::to_string(d.below(4)) + "\r"; break;
            case 10: in += std::string(20 + d.below(10), static_cast<char>('a' + d.below(26))) + "\r"; break;
            default: in += d.chance(95) ? "Q\r" : "Z"; break;
        }
    }
    if (d.chance(30)) d.mutate(in);
    return in;
}

template <class Node, class Gen>
void randomFrames(Node& node, Gen gen, unsigned count) {
    Dice d{std::mt19937(seed())};
    unsigned judged = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::string in = gen(d);
        const fuzz::Outcome o = node.run(in);
        ASSERT_TRUE(o) << "RELIAB_SEED=" << seed() << ", input #" << i << " \"" << fuzz::printable(in)
                       << "\": " << o.finding << "\n  " << o.detail;
        judged += o.slow ? 0 : 1;
    }
    EXPECT_GT(judged, count * 9 / 10) << "too many inputs ran into long scans";
}

// ---- Tests ----

TEST(HostileInput, VelmoraCorpusAndFoundInputsReplay) {
    fuzz::Velmora node;
    replay(node, "velmora");
}

TEST(HostileInput, TavloCorpusAndFoundInputsReplay) {
    fuzz::Tavlo node;
    replay(node, "tavlo");
}

TEST(HostileInput, VelmoraSeededRandomFramesAtTheLineRate) {
    fuzz::Velmora node(fuzz::Pacing::Line);
    randomFrames(node, velmoraInput, 250);
}

TEST(HostileInput, TavloSeededRandomFramesAtTheLineRate) {
    fuzz::Tavlo node(fuzz::Pacing::Line);
    randomFrames(node, tavloInput, 250);
}

// Each oracle, given a planted fault, reports it.
TEST(HostileInput, VelmoraOraclesCatchPlantedFaults) {
    fuzz::Velmora node(fuzz::Pacing::Line);
    sim::Machine& m = node.machine();
    const auto after = [&](double ms, std::function<void()> f) { m.chip().sched().after(sim::fromMillis(ms), std::move(f)); };
    const auto finding = [&](const std::string& input) { return node.run(input).finding; };

    ASSERT_EQ(finding("H1\r"), "");

    node.beforeInput = [&] { after(1, [&] { m.chip().write(GP1DAT.addr, m.chip().read(GP1DAT.addr) | 0x40000); }); };
    EXPECT_EQ(finding("H1\r").rfind("output:", 0), 0u);

    // The newest record of the node address gets another value behind the store's back.
    node.beforeInput = [&] {
        after(1, [&] {
            uint8_t* f = m.chip().flash();
            for (uint32_t at = 0xF000 + 0x1FE; at > 0xF004; at -= 4)
                if (f[at] == 0 && f[at + 1] == 0) {
                    f[at - 2] &= 0xF0;
                    break;
                }
        });
    };
    EXPECT_EQ(finding("H1\r").rfind("persisted:", 0), 0u);

    // A set-point above MaxADC right after a set frame ("E1 100" ends at the 7th character).
    node.beforeInput = [&] { after(7.6, [&] { m.writeSym("HV_Setting", 3000); }); };
    EXPECT_EQ(finding("E1 100\rH1\r").rfind("set-point:", 0), 0u);

    node.beforeInput = [&] { after(1, [&] { m.writeSym("IRQ", 0x11000); }); };  // RAM, not code
    EXPECT_NE(finding("H1\r"), "");

    node.beforeInput = [&] { after(1, [&] { m.chip().write(GP1CON.addr, 0); }); };  // deaf
    EXPECT_NE(finding("H1\r"), "");

    node.beforeInput = nullptr;
    EXPECT_EQ(finding("H1\r"), "");
}

TEST(HostileInput, TavloOraclesCatchPlantedFaults) {
    fuzz::Tavlo node;
    sim::Machine& m = node.machine();
    ASSERT_EQ(node.run("S1\rV\r").finding, "");

    // Stuck in a busy-wait that never looks at the line again.
    node.beforeInput = [&] {
        m.chip().sched().after(sim::fromMicros(100), [&] {
            m.setReg(0, 100'000'000);
            m.jump(m.symbol("delay"));
        });
    };
    EXPECT_EQ(node.run("S1\rV\r").finding.rfind("hang:", 0), 0u);

    // Sent off into RAM, which holds no code.
    node.beforeInput = [&] { m.chip().sched().after(sim::fromMicros(100), [&] { m.jump(0x11000); }); };
    EXPECT_NE(node.run("S1\rV\r").finding, "");

    node.beforeInput = nullptr;
    EXPECT_EQ(node.run("S1\rV\r").finding, "");
}

}  // namespace
