#include "output.hpp"

#include <cstdio>

namespace host {
namespace {

std::string plain(const Value& v) {
  struct V {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(long long x) const { return std::to_string(x); }
    std::string operator()(double x) const {
      char b[32];
      std::snprintf(b, sizeof b, "%.3f", x);
      return b;
    }
    std::string operator()(bool x) const { return x ? "true" : "false"; }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(const Nested& n) const { return n.text; }
  };
  return std::visit(V{}, v);
}

Json json_value(const Value& v) {
  struct V {
    Json operator()(std::monostate) const { return nullptr; }
    Json operator()(long long x) const { return x; }
    Json operator()(double x) const { return x; }
    Json operator()(bool x) const { return x; }
    // Replies may hold any byte: each byte that is not ASCII stands for the
    // code point of the same value, so the text stays valid JSON.
    Json operator()(const std::string& s) const {
      std::string u;
      for (unsigned char c : s) {
        if (c < 0x80) {
          u += static_cast<char>(c);
        } else {
          u += static_cast<char>(0xC0 | (c >> 6));
          u += static_cast<char>(0x80 | (c & 0x3F));
        }
      }
      return u;
    }
    Json operator()(const Nested& n) const { return n.json; }
  };
  return std::visit(V{}, v);
}

std::string dump(const Json& j) { return j.dump(-1, ' ', true, Json::error_handler_t::replace); }

}  // namespace

std::string json_string(const std::string& s) { return dump(json_value(Value(s))); }

std::string csv_field(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void write_csv(std::ostream& os, const std::vector<Record>& rows, bool header) {
  if (rows.empty()) return;
  if (header) {
    for (std::size_t i = 0; i < rows[0].size(); ++i) os << (i ? "," : "") << csv_field(rows[0][i].first);
    os << '\n';
  }
  for (const auto& r : rows) {
    for (std::size_t i = 0; i < r.size(); ++i) os << (i ? "," : "") << csv_field(plain(r[i].second));
    os << '\n';
  }
}

Json to_json(const Record& r) {
  Json j = Json::object();
  for (const auto& [k, v] : r) j[k] = json_value(v);
  return j;
}

std::string json_object(const Record& r) { return dump(to_json(r)); }

void write_json(std::ostream& os, const std::vector<Record>& rows, bool as_list) {
  if (!as_list && rows.size() == 1) {
    os << json_object(rows[0]) << '\n';
    return;
  }
  // One object per line, so that long lists stay readable and diffable.
  os << "[";
  for (std::size_t i = 0; i < rows.size(); ++i) os << (i ? ",\n " : "") << json_object(rows[i]);
  os << "]\n";
}

}  // namespace host
