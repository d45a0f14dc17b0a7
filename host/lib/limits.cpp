#include "limits.hpp"

#include <fstream>
#include <sstream>

#include "bytes.hpp"
#include "errors.hpp"

namespace host {

LimitTable LimitTable::parse(const std::string& text, const std::string& source) {
  LimitTable table;
  std::istringstream in(text);
  std::string raw;
  int lineno = 0;
  while (std::getline(in, raw)) {
    ++lineno;
    auto hash = raw.find('#');
    if (hash != std::string::npos) raw.erase(hash);
    auto words = split_ws(raw);
    if (words.empty()) continue;
    const std::string where = source + ":" + std::to_string(lineno) + ": ";

    Limit limit;
    for (std::size_t i = 1; i < words.size(); ++i) {
      auto eq = words[i].find('=');
      if (eq == std::string::npos) throw usage_error(where + "expected key=value, got '" + words[i] + "'");
      std::string key = words[i].substr(0, eq);
      std::string val = words[i].substr(eq + 1);
      // Accept a trailing unit as people write it ("1500V").
      if (!val.empty() && (val.back() == 'V' || val.back() == 'v') && (key == "max_volts" || key == "max_step"))
        val.pop_back();
      auto v = parse_decimal(val, 65535);
      if (!v) throw usage_error(where + "'" + key + "' needs a whole number 0..65535, got '" + val + "'");
      unsigned u = static_cast<unsigned>(*v);
      if (key == "max_volts") limit.max_volts = u;
      else if (key == "max_step") limit.max_step = u;
      else if (key == "max_code") limit.max_code = u;
      else if (key == "max_step_code") limit.max_step_code = u;
      else throw usage_error(where + "unknown key '" + key + "' (max_volts, max_step, max_code, max_step_code)");
    }
    if (!limit.any()) throw usage_error(where + "no limit given for '" + words[0] + "'");
    if ((limit.max_step && *limit.max_step == 0) || (limit.max_step_code && *limit.max_step_code == 0))
      throw usage_error(where + "a step limit of 0 would refuse every change");

    if (words[0] == "*") {
      if (table.all_) throw usage_error(where + "second '*' line");
      table.all_ = limit;
    } else {
      auto a = parse_decimal(words[0], 252);
      if (!a || *a == 0) throw usage_error(where + "address must be 1..252 or '*', got '" + words[0] + "'");
      if (table.per_address_.count(static_cast<unsigned>(*a)))
        throw usage_error(where + "address " + words[0] + " listed twice");
      table.per_address_[static_cast<unsigned>(*a)] = limit;
    }
  }
  return table;
}

LimitTable LimitTable::load(const std::string& path) {
  std::ifstream f(path);
  if (!f) throw usage_error("cannot read limit file " + path);
  std::stringstream ss;
  ss << f.rdbuf();
  return parse(ss.str(), path);
}

Limit LimitTable::for_address(unsigned address) const {
  Limit out = all_.value_or(Limit{});
  auto it = per_address_.find(address);
  if (it != per_address_.end()) {
    const Limit& l = it->second;
    if (l.max_volts) out.max_volts = l.max_volts;
    if (l.max_step) out.max_step = l.max_step;
    if (l.max_code) out.max_code = l.max_code;
    if (l.max_step_code) out.max_step_code = l.max_step_code;
  }
  return out;
}

}  // namespace host
