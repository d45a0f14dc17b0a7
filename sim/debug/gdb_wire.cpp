#include "debug/gdb_wire.h"

#include <cstdio>
#include <sstream>

namespace sim::gdb {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string hex32(uint32_t v) {  // target byte order
    char b[9];
    std::snprintf(b, sizeof b, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
    return b;
}

std::string hexBytes(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hexText(const std::string& t) { return hexBytes(reinterpret_cast<const uint8_t*>(t.data()), t.size()); }

std::optional<std::vector<uint8_t>> unhex(const std::string& s) {
    if (s.size() % 2) return std::nullopt;
    std::vector<uint8_t> out(s.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int h = hexDigit(s[2 * i]), l = hexDigit(s[2 * i + 1]);
        if (h < 0 || l < 0) return std::nullopt;
        out[i] = uint8_t(h << 4 | l);
    }
    return out;
}

// A hex number; the whole string must be one.
std::optional<uint32_t> parseHex(const std::string& s) {
    if (s.empty() || s.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        v = v << 4 | uint32_t(d);
    }
    return v;
}

std::optional<uint32_t> wordFromTarget(const std::string& s) {
    auto b = unhex(s);
    if (!b || b->size() != 4) return std::nullopt;
    return uint32_t((*b)[0]) | uint32_t((*b)[1]) << 8 | uint32_t((*b)[2]) << 16 | uint32_t((*b)[3]) << 24;
}

// "addr,len" (and what follows a ':' when asked for).
bool parseAddrLen(const std::string& s, uint32_t& addr, uint32_t& len, std::string* rest) {
    size_t comma = s.find(',');
    if (comma == std::string::npos) return false;
    size_t colon = s.find(':', comma);
    if (rest && colon == std::string::npos) return false;
    auto a = parseHex(s.substr(0, comma));
    auto l = parseHex(s.substr(comma + 1, (colon == std::string::npos ? s.size() : colon) - comma - 1));
    if (!a || !l) return false;
    addr = *a;
    len = *l;
    if (rest) *rest = s.substr(colon + 1);
    return true;
}

// Binary data in packets: '$', '#', '}' and '*' travel as '}' + (c ^ 0x20).
std::string escapeBinary(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '$' || c == '#' || c == '}' || c == '*') {
            out += '}';
            out += char(c ^ 0x20);
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<uint8_t> unescapeBinary(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '}' && i + 1 < s.size()) out.push_back(uint8_t(s[++i] ^ 0x20));
        else out.push_back(uint8_t(s[i]));
    }
    return out;
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string t; in >> t;) w.push_back(t);
    return w;
}

}  // namespace sim::gdb
