#pragma once
// Records printed as CSV or JSON for scripts; people get plain sentences.
#include <ostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace host {

enum class Format { text, csv, json };

using Json = nlohmann::ordered_json;

// A nested JSON value (an array of steps, say); CSV gets `text`.
struct Nested {
  Json json;
  std::string text;
};

using Value = std::variant<std::monostate, long long, double, bool, std::string, Nested>;
using Record = std::vector<std::pair<std::string, Value>>;

std::string json_string(const std::string& s);
std::string csv_field(const std::string& s);

// CSV: a header from the first record's keys, then one row per record.
void write_csv(std::ostream& os, const std::vector<Record>& rows, bool header = true);
// JSON: one object, or an array of objects when `as_list`.
void write_json(std::ostream& os, const std::vector<Record>& rows, bool as_list);
Json to_json(const Record& r);
std::string json_object(const Record& r);

}  // namespace host
