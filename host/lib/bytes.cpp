#include "bytes.hpp"

#include <cctype>
#include <cstdio>

namespace host {

std::string escape_bytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 8);
  for (unsigned char c : bytes) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out += static_cast<char>(c);
        } else {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          out += buf;
        }
    }
  }
  return out;
}

std::string escape_cut(std::string_view bytes, std::size_t keep) {
  if (bytes.size() <= keep) return escape_bytes(bytes);
  return escape_bytes(bytes.substr(0, keep)) + "... (" + std::to_string(bytes.size()) + " bytes in all)";
}

std::string unescape_bytes(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    char e = text[++i];
    switch (e) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'e': out += '\x1b'; break;
      case 'b': out += '\x08'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int v = 0, n = 0;
        while (n < 2 && i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
          char h = text[++i];
          v = v * 16 + (std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (std::tolower(h) - 'a' + 10));
          ++n;
        }
        if (n == 0) out += "\\x";
        else out += static_cast<char>(v);
        break;
      }
      default: out += '\\'; out += e;
    }
  }
  return out;
}

bool clean_ascii(std::string_view bytes) {
  for (unsigned char c : bytes)
    if (!(c == '\r' || c == '\n' || (c >= 0x20 && c < 0x7f))) return false;
  return true;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

std::string to_upper(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string_view trim_cr(std::string_view s) {
  while (!s.empty() && (s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

std::vector<std::string> split_ws(std::string_view s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    std::size_t j = i;
    while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
    if (j > i) out.emplace_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

}  // namespace host
