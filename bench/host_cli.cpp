// What nodectl costs on the host before and after a line is touched: taking
// a command line apart (the whole command tree is built on every start) and
// writing a readout scan as JSON and CSV. Google Benchmark prints the figures.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "output.hpp"

namespace {

// A full parse that stops at the command's own argument, before any port.
void BM_ParseCommandLine(benchmark::State& state) {
  std::vector<std::string> words = {"nodectl", "-p", "/dev/null", "velmora", "-a", "2", "set", "12.5",
                                    "--persist", "--ramp", "50V/s", "--settle-ms", "2000"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  for (auto _ : state) {
    std::ostringstream out, err;
    int rc = host::nodectl_main(static_cast<int>(argv.size()), argv.data(), out, err);
    benchmark::DoNotOptimize(rc);
  }
}
BENCHMARK(BM_ParseCommandLine)->Unit(benchmark::kMicrosecond);

std::vector<host::Record> scan_rows() {
  std::vector<host::Record> rows;
  for (long long ch = 0; ch < 64; ++ch)
    rows.push_back({{"scan", 1LL}, {"channel", ch}, {"x", 100 + ch * 7}, {"y", 4000 - ch * 3}});
  return rows;
}

void BM_ScanAsJson(benchmark::State& state) {
  const auto rows = scan_rows();
  for (auto _ : state) {
    std::ostringstream os;
    host::write_json(os, rows, true);
    benchmark::DoNotOptimize(os.str().size());
  }
}
BENCHMARK(BM_ScanAsJson)->Unit(benchmark::kMicrosecond);

void BM_ScanAsCsv(benchmark::State& state) {
  const auto rows = scan_rows();
  for (auto _ : state) {
    std::ostringstream os;
    host::write_csv(os, rows, true);
    benchmark::DoNotOptimize(os.str().size());
  }
}
BENCHMARK(BM_ScanAsCsv)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
