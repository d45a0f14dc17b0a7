#pragma once
// The console's HTTP side: the JSON API, the event stream and the page.
#include <httplib.h>

#include <string>

#include "hub.hpp"
#include "readout.hpp"
#include "velmora_bus.hpp"

namespace host::serve {

struct Access {
  std::string token;         // empty: no token asked for
  bool loopback = true;      // bound to a loopback address only
  std::string dygraphs_dir;  // Debian's libjs-dygraphs
};

struct Parts {
  VelmoraBus* velmora = nullptr;  // either may be absent
  Readout* readout = nullptr;
  EventHub* hub = nullptr;
  Failures* failures = nullptr;
  AuditLog* audit = nullptr;
};

void install_routes(httplib::Server& svr, const Parts& parts, const Access& access);

}  // namespace host::serve
