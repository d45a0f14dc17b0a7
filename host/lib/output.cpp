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
    std::string operator()(const JsonRaw& r) const { return r.text; }
  };
  return std::visit(V{}, v);
}

std::string json_value(const Value& v) {
  if (std::holds_alternative<std::monostate>(v)) return "null";
  if (auto* s = std::get_if<std::string>(&v)) return json_string(*s);
  if (auto* r = std::get_if<JsonRaw>(&v)) return r->json;
  return plain(v);
}

}  // namespace

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

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

std::string json_object(const Record& r) {
  std::string out = "{";
  for (std::size_t i = 0; i < r.size(); ++i)
    out += (i ? ", " : "") + json_string(r[i].first) + ": " + json_value(r[i].second);
  return out + "}";
}

void write_json(std::ostream& os, const std::vector<Record>& rows, bool as_list) {
  if (!as_list && rows.size() == 1) {
    os << json_object(rows[0]) << '\n';
    return;
  }
  os << "[";
  for (std::size_t i = 0; i < rows.size(); ++i) os << (i ? ",\n " : "") << json_object(rows[i]);
  os << "]\n";
}

}  // namespace host
