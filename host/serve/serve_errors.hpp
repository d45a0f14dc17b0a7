#pragma once
#include <stdexcept>

namespace host::serve {

// A node or resource that the request names does not exist (HTTP 404).
struct NotFound : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A request body of another type than JSON (HTTP 415).
struct UnsupportedType : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace host::serve
