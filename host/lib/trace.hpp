#pragma once
// A Transport wrapper that logs every byte with a timestamp and its direction,
// one line per write or read chunk:  "   0.012345 > H1\r"  ('>' to the node, '<' from it).
#include <cstdio>
#include <string>

#include "transport.hpp"

namespace host {

class TraceLine final : public Transport {
 public:
  // Writes to `file` (kept open by the caller); timestamps from `clock`,
  // counted from construction.
  TraceLine(Transport& inner, std::FILE* file, Clock& clock);

  void write(std::string_view bytes) override;
  std::string read_some(Duration timeout) override;
  unsigned baud() const override { return inner_.baud(); }
  std::string name() const override { return inner_.name(); }
  int poll_fd() const override { return inner_.poll_fd(); }
  // A free-form remark in the trace ("# ...").
  void note(const std::string& text);

 private:
  void log(char dir, std::string_view bytes);
  Transport& inner_;
  std::FILE* file_;
  Clock& clock_;
  TimePoint start_;
};

}  // namespace host
