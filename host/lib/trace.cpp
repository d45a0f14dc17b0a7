#include "trace.hpp"

#include "bytes.hpp"

namespace host {

TraceLine::TraceLine(Transport& inner, std::FILE* file, Clock& clock)
    : inner_(inner), file_(file), clock_(clock), start_(clock.now()) {}

void TraceLine::log(char dir, std::string_view bytes) {
  const double t = seconds(std::chrono::duration_cast<Duration>(clock_.now() - start_));
  std::fprintf(file_, "%11.6f %c %s\n", t, dir, escape_bytes(bytes).c_str());
  std::fflush(file_);  // keep the trace useful when the program is killed
}

void TraceLine::write(std::string_view bytes) {
  log('>', bytes);
  inner_.write(bytes);
}

std::string TraceLine::read_some(Duration timeout) {
  auto got = inner_.read_some(timeout);
  if (!got.empty()) log('<', got);
  return got;
}

void TraceLine::note(const std::string& text) {
  std::fprintf(file_, "# %s\n", text.c_str());
  std::fflush(file_);
}

}  // namespace host
