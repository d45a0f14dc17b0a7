#pragma once
// Small text routines shared by the clients and the command line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Printable form of raw line bytes: CR as \r, LF as \n, other control and
// non-ASCII bytes as \xNN, quote and backslash escaped.
std::string escape_bytes(std::string_view bytes);
// The same, cut for messages: at most `keep` bytes shown, then how many more
// there were, so that a runaway frame does not flood the screen.
std::string escape_cut(std::string_view bytes, std::size_t keep = 64);
// Inverse of the escapes a person types for `raw`: \r \n \t \e \\ \xNN.
std::string unescape_bytes(std::string_view text);

// True when every byte is printable ASCII, CR or LF: anything else on these
// lines means a collision, a wrong baud rate or noise.
bool clean_ascii(std::string_view bytes);

// Decimal digits only, no sign, at most `max`; nullopt otherwise.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max);

std::string to_upper(std::string_view s);
std::string_view trim_cr(std::string_view s);
std::vector<std::string> split_ws(std::string_view s);

}  // namespace host
