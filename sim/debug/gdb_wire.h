// The encodings of the GDB remote protocol: hex numbers and byte strings in
// target (little-endian) order, "addr,len" arguments, and the escaped binary
// form of 'X' packets and qXfer replies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::gdb {

std::string hex32(uint32_t v);  // target byte order
std::string hexBytes(const uint8_t* p, size_t n);
std::string hexText(const std::string& t);
std::optional<std::vector<uint8_t>> unhex(const std::string& s);
// A hex number; the whole string must be one.
std::optional<uint32_t> parseHex(const std::string& s);
std::optional<uint32_t> wordFromTarget(const std::string& s);
// "addr,len" (and what follows a ':' when asked for).
bool parseAddrLen(const std::string& s, uint32_t& addr, uint32_t& len, std::string* rest = nullptr);
// Binary data in packets: '$', '#', '}' and '*' travel as '}' + (c ^ 0x20).
std::string escapeBinary(const std::string& s);
std::vector<uint8_t> unescapeBinary(const std::string& s);
std::vector<std::string> words(const std::string& s);

}  // namespace sim::gdb
