// aducsim: runs ADuC702x firmware images on the simulated board.
#include <cstdio>
#include <cstring>
#include <string>

#include "machine.h"

static void usage() {
    std::puts("usage: aducsim [--boot-check] IMAGE.elf...\n"
              "  --boot-check  boot each image and report whether it reached main");
}

int main(int argc, char** argv) {
    bool bootCheck = false;
    std::vector<std::string> images;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--boot-check") bootCheck = true;
        else if (a == "-h" || a == "--help") { usage(); return 0; }
        else if (!a.empty() && a[0] == '-') { std::fprintf(stderr, "aducsim: unknown option %s\n", a.c_str()); return 2; }
        else images.push_back(a);
    }
    if (images.empty() || !bootCheck) { usage(); return 2; }
    int failures = 0;
    for (const auto& path : images) {
        try {
            sim::Machine m;
            m.loadElf(path);
            auto r = m.runToSymbol("main", sim::fromMillis(100));
            if (r.reason == sim::StopReason::Condition)
                std::printf("%s: reached main after %.1f us (%llu instructions, core clock divider %u)\n",
                            path.c_str(), sim::toMicros(m.now()), (unsigned long long)m.instructions(),
                            m.chip().coreDivider());
            else {
                std::printf("%s: did not reach main: %s\n", path.c_str(), r.report.c_str());
                ++failures;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "aducsim: %s\n", e.what());
            ++failures;
        }
    }
    return failures ? 1 : 0;
}
