// libFuzzer target for one node's command interpreter (FUZZ_VELMORA or
// FUZZ_TAVLO): every input runs on the node restored from its post-boot
// snapshot (see harness.h), and the firmware's basic-block edges are handed
// to libFuzzer as extra counters. A finding prints what went wrong and aborts,
// so libFuzzer keeps the input as a crash file.
//
//   build/tests/velmora_fuzz -max_len=96 -dict=tests/fuzz/velmora.dict
//       build/fuzz-velmora tests/fuzz/corpus/velmora     (one command line)
//
// FUZZ_PACING=line sends bytes at the line rate instead of as soon as the
// node has taken the previous one.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(FUZZ_VELMORA)
#include "velmora_harness.h"
using Harness = fuzz::Velmora;
#elif defined(FUZZ_TAVLO)
#include "tavlo_harness.h"
using Harness = fuzz::Tavlo;
#else
#error "define FUZZ_VELMORA or FUZZ_TAVLO"
#endif

// libFuzzer clears and reads every counter in this section for each input.
__attribute__((section("__libfuzzer_extra_counters"))) static uint8_t counters[1 << 16];

static Harness* node;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* pacing = std::getenv("FUZZ_PACING");
    const bool line = pacing && std::strcmp(pacing, "line") == 0;
    node = new Harness(line ? fuzz::Pacing::Line : fuzz::Pacing::Eager);
    node->setCoverage(counters, sizeof counters);
    std::fprintf(stderr, "node ready: worst valid frame %llu instructions, hang limit %llu\n",
                 static_cast<unsigned long long>(node->worstValidFrame()),
                 static_cast<unsigned long long>(node->hangLimit()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Outcome o = node->run(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!o) {
        std::fprintf(stderr, "\nFINDING %s\n  input \"%s\"\n  %s\n", o.finding.c_str(),
                     fuzz::printable(std::string_view(reinterpret_cast<const char*>(data), size)).c_str(),
                     o.detail.c_str());
        std::abort();
    }
    return o.slow ? -1 : 0;  // a run cut short in a long scan stays out of the corpus
}
