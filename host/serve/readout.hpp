#pragma once
// The tavlo line as the console runs it: the unit selected once, its
// parameters tracked, scans on request or continuously, and a light check
// that the unit still answers while nothing else happens.
#include <functional>
#include <optional>

#include "errors.hpp"
#include "line_worker.hpp"
#include "tavlo.hpp"

namespace host::serve {

struct ReadoutOptions {
  std::optional<unsigned> address;  // none: ask with 'IDN' at start
  Duration reply_timeout = 300ms;
  Duration check_every = 1s;
};

class Readout final : public LineWorker {
 public:
  Readout(std::string where, unsigned baud, ReadoutOptions opt, EventHub& hub, Failures& failures);

  json unit_json();
  // The last scan as JSON ({"t","seq","x","y","peak"}) or nullopt before the first.
  std::optional<json> profile();

  json select();
  json averaging(unsigned exponent);
  json settle(unsigned units);
  json acquire(unsigned count);
  json run(bool on);

 private:
  json set_parameter(std::function<Outcome()> send, std::optional<unsigned>& kept);
  void on_open() override;
  void on_lost(const std::string& why) override;
  bool background() override;

  TavloClient& client();
  void learn();               // address, parameters, version
  void measure_once();
  void failed(const Error& e);  // node-level fault: note it, select again next time
  void publish_unit();
  json unit_view() const;

  ReadoutOptions opt_;
  Failures& failures_;
  std::unique_ptr<TavloClient> client_;
  mutable std::mutex m_;
  std::optional<unsigned> address_, averaging_, settle_, version_;
  std::string reply_ = "unknown", error_;
  std::int64_t last_reply_ = 0;
  bool running_ = false;
  std::optional<json> profile_;
  std::uint64_t seq_ = 0;
  TimePoint next_check_{};
};

}  // namespace host::serve
