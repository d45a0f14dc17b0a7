#pragma once
// Failure classes of the host tools. Each has its own process exit code so that
// scripts can tell "the node did not answer" from "the node answered nonsense".
#include <stdexcept>
#include <string>

namespace host {

enum class Exit : int {
  ok = 0,
  failure = 1,    // anything not listed below (files, internal faults)
  usage = 2,      // bad command line or bad input value
  port = 3,       // the line could not be opened, locked or used
  no_reply = 4,   // the node stayed silent within the time-out
  malformed = 5,  // a reply came but was truncated, garbled or unexpected
  mismatch = 6,   // a set was sent but the readback disagrees
  refused = 7,    // a limit or safety check stopped the command before sending
};

class Error : public std::runtime_error {
 public:
  Error(Exit code, const std::string& what) : std::runtime_error(what), code_(code) {}
  Exit code() const noexcept { return code_; }

 private:
  Exit code_;
};

inline Error usage_error(const std::string& m) { return {Exit::usage, m}; }
inline Error port_error(const std::string& m) { return {Exit::port, m}; }
inline Error no_reply_error(const std::string& m) { return {Exit::no_reply, m}; }
inline Error malformed_error(const std::string& m) { return {Exit::malformed, m}; }
inline Error mismatch_error(const std::string& m) { return {Exit::mismatch, m}; }
inline Error refused_error(const std::string& m) { return {Exit::refused, m}; }

}  // namespace host
