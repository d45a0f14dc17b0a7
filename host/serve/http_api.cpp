#include "http_api.hpp"

#include <cmath>
#include <sstream>

#include "errors.hpp"
#include "serve_errors.hpp"
#include "web_assets.hpp"

namespace host::serve {
namespace {

using httplib::Request;
using httplib::Response;

struct HttpFailure {
  int status;
  std::string kind;
  std::string message;
};

HttpFailure classify(const std::exception_ptr& ep) {
  try {
    std::rethrow_exception(ep);
  } catch (const NotFound& e) {
    return {404, "not_found", e.what()};
  } catch (const UnsupportedType& e) {
    return {415, "bad_request", e.what()};
  } catch (const Error& e) {
    switch (e.code()) {
      case Exit::usage: return {400, "bad_request", e.what()};
      case Exit::refused: return {422, "refused", e.what()};
      case Exit::port: return {503, "line_lost", e.what()};
      case Exit::no_reply: return {504, "no_reply", e.what()};
      case Exit::malformed: return {502, "garbled_reply", e.what()};
      case Exit::mismatch: return {502, "mismatch", e.what()};
      default: return {500, "failure", e.what()};
    }
  } catch (const json::exception& e) {
    return {400, "bad_request", std::string("bad JSON value: ") + e.what()};
  } catch (const std::exception& e) {
    return {500, "failure", e.what()};
  }
}

void send_json(Response& res, int status, const json& j) {
  res.status = status;
  res.set_content(j.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void send_error(Response& res, int status, const std::string& kind, const std::string& message) {
  send_json(res, status, {{"error", message}, {"kind", kind}});
}

json parse_body(const Request& req) {
  if (req.body.empty()) return json::object();
  json j;
  try {
    j = json::parse(req.body);
  } catch (const json::parse_error& e) {
    throw usage_error(std::string("malformed JSON body: ") + e.what());
  }
  if (!j.is_object()) throw usage_error("the body must be a JSON object");
  return j;
}

void only_keys(const json& body, std::initializer_list<const char*> keys) {
  for (auto it = body.begin(); it != body.end(); ++it) {
    bool known = false;
    for (const char* k : keys) known = known || it.key() == k;
    if (!known) {
      std::string list;
      for (const char* k : keys) list += (list.empty() ? "" : ", ") + std::string(k);
      throw usage_error("unknown field '" + it.key() + "'" + (list.empty() ? " (none expected)" : " (expected " + list + ")"));
    }
  }
}

std::optional<unsigned> opt_uint(const json& body, const char* key, unsigned lo, unsigned hi) {
  if (!body.contains(key) || body[key].is_null()) return std::nullopt;
  const json& v = body[key];
  if (!v.is_number_integer() || v.get<long long>() < lo || v.get<long long>() > hi)
    throw usage_error(std::string("'") + key + "' must be a whole number " + std::to_string(lo) + ".." +
                      std::to_string(hi) + ", got " + v.dump());
  return v.get<unsigned>();
}

unsigned req_uint(const json& body, const char* key, unsigned lo, unsigned hi) {
  auto v = opt_uint(body, key, lo, hi);
  if (!v) throw usage_error(std::string("'") + key + "' is required");
  return *v;
}

bool opt_bool(const json& body, const char* key, bool dflt) {
  if (!body.contains(key) || body[key].is_null()) return dflt;
  if (!body[key].is_boolean()) throw usage_error(std::string("'") + key + "' must be true or false");
  return body[key].get<bool>();
}

unsigned path_address(const Request& req) {
  const std::string s = req.matches[1];
  if (s.size() > 3) throw NotFound("no velmora node " + s + " on the bus");
  return static_cast<unsigned>(std::stoul(s));
}

std::string client_of(const Request& req) {
  std::string c = req.remote_addr + ":" + std::to_string(req.remote_port);
  if (req.has_header("User-Agent")) c += " " + req.get_header_value("User-Agent").substr(0, 80);
  return c;
}

std::string cookie_value(const Request& req, const std::string& name) {
  if (!req.has_header("Cookie")) return {};
  std::istringstream in(req.get_header_value("Cookie"));
  std::string part;
  while (std::getline(in, part, ';')) {
    auto b = part.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    part = part.substr(b);
    if (part.rfind(name + "=", 0) == 0) return part.substr(name.size() + 1);
  }
  return {};
}

bool same_text(const std::string& a, const std::string& b) {
  // Constant time for equal lengths: the token is compared without leaking where it differs.
  if (a.size() != b.size()) return false;
  unsigned char d = 0;
  for (std::size_t i = 0; i < a.size(); ++i) d |= static_cast<unsigned char>(a[i] ^ b[i]);
  return d == 0;
}

bool loopback_host(const std::string& host_header) {
  std::string h = host_header;
  if (!h.empty() && h[0] == '[') {
    auto e = h.find(']');
    h = e == std::string::npos ? h : h.substr(1, e - 1);
  } else if (auto c = h.find(':'); c != std::string::npos) {
    h = h.substr(0, c);
  }
  return h == "localhost" || h == "::1" || h.rfind("127.", 0) == 0;
}

std::string csv_of_history(const std::vector<Sample>& h) {
  std::string out = "time_ms,time,volts,code\n";
  for (const auto& s : h)
    out += std::to_string(s.t) + "," + iso_time(s.t) + "," + std::to_string(s.volts) + "," + std::to_string(s.code) +
           "\n";
  return out;
}

}  // namespace

void install_routes(httplib::Server& svr, const Parts& p, const Access& access) {
  EventHub& hub = *p.hub;
  Failures& failures = *p.failures;
  AuditLog& audit = *p.audit;

  svr.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                           {"X-Frame-Options", "DENY"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Content-Security-Policy",
                            "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:"}});

  // Every request: the Host a loopback server answers to, the token, and a
  // same-origin check for everything that changes state.
  svr.set_pre_routing_handler([access](const Request& req, Response& res) {
    if (access.loopback && !loopback_host(req.get_header_value("Host"))) {
      send_error(res, 403, "forbidden", "this console answers only to a loopback host name");
      return httplib::Server::HandlerResponse::Handled;
    }
    bool from_header = false;
    if (!access.token.empty()) {
      std::string given;
      if (req.has_header("Authorization")) {
        const std::string a = req.get_header_value("Authorization");
        if (a.rfind("Bearer ", 0) == 0) given = a.substr(7), from_header = true;
      }
      if (given.empty() && req.has_header("X-Token")) given = req.get_header_value("X-Token"), from_header = true;
      if (given.empty() && req.has_param("token")) given = req.get_param_value("token");
      if (given.empty()) given = cookie_value(req, "nodectl_token");
      if (given.empty()) {
        send_error(res, 401, "unauthorized", "this console needs its token (Authorization: Bearer TOKEN)");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (!same_text(given, access.token)) {
        send_error(res, 401, "unauthorized", "wrong token");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (req.method == "GET" && req.has_param("token"))
        res.set_header("Set-Cookie", "nodectl_token=" + access.token + "; Path=/; HttpOnly; SameSite=Strict");
    }
    if (req.method != "GET" && req.method != "HEAD") {
      const std::string host = req.get_header_value("Host");
      if (req.has_header("Origin")) {
        const std::string origin = req.get_header_value("Origin");
        if (origin != "http://" + host && origin != "https://" + host) {
          send_error(res, 403, "cross_origin", "requests that change state must come from the console's own page");
          return httplib::Server::HandlerResponse::Handled;
        }
      } else if (req.has_header("Sec-Fetch-Site")) {
        const std::string site = req.get_header_value("Sec-Fetch-Site");
        if (site != "same-origin" && site != "none") {
          send_error(res, 403, "cross_origin", "requests that change state must come from the console's own page");
          return httplib::Server::HandlerResponse::Handled;
        }
      } else if (!access.token.empty() && !from_header) {
        send_error(res, 403, "cross_origin", "without an Origin header the token must come in a request header");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  // ---------------------------------------------------------------- page --
  svr.Get("/", [](const Request&, Response& res) {
    res.set_header("Cache-Control", "no-cache");
    res.set_content(web::kIndexHtml, "text/html; charset=utf-8");
  });
  svr.Get("/console.js", [](const Request&, Response& res) {
    res.set_header("Cache-Control", "no-cache");
    res.set_content(web::kConsoleJs, "text/javascript; charset=utf-8");
  });
  svr.Get("/console.css", [](const Request&, Response& res) {
    res.set_header("Cache-Control", "no-cache");
    res.set_content(web::kConsoleCss, "text/css; charset=utf-8");
  });
  svr.Get("/favicon.ico", [](const Request&, Response& res) { res.status = 204; });
  if (!access.dygraphs_dir.empty()) svr.set_mount_point("/dygraphs", access.dygraphs_dir);

  // --------------------------------------------------------------- state --
  auto state = [p]() {
    json j = {{"time", unix_ms()}, {"lines", json::array()}};
    if (p.velmora) {
      j["lines"].push_back(p.velmora->line_json());
      j["velmora"] = {{"nodes", p.velmora->nodes_json()}, {"rates", p.velmora->rates_json()}};
    } else {
      j["velmora"] = nullptr;
    }
    if (p.readout) {
      j["lines"].push_back(p.readout->line_json());
      j["tavlo"] = p.readout->unit_json();
    } else {
      j["tavlo"] = nullptr;
    }
    return j;
  };
  svr.Get("/api/state", [state](const Request&, Response& res) { send_json(res, 200, state()); });

  // Wraps a GET handler: errors become JSON with their status.
  auto get = [&svr](const std::string& pattern, std::function<void(const Request&, Response&)> fn) {
    svr.Get(pattern, [fn](const Request& req, Response& res) {
      try {
        fn(req, res);
      } catch (...) {
        auto f = classify(std::current_exception());
        send_error(res, f.status, f.kind, f.message);
      }
    });
  };
  // Wraps a state-changing handler: parses the body, maps errors to their
  // status, and writes the audit line whatever the outcome.
  auto post = [&svr, &hub, &failures, &audit](const std::string& pattern,
                                                std::function<json(const Request&, const json&)> fn) {
    svr.Post(pattern, [fn, &hub, &failures, &audit](const Request& req, Response& res) {
      json body, out;
      int status = 200;
      try {
        // A page of another origin can send text/plain without asking first; JSON it cannot.
        if (!req.body.empty() && req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
          throw UnsupportedType("send the request body as application/json");
        body = parse_body(req);
        out = fn(req, body);
      } catch (...) {
        auto f = classify(std::current_exception());
        status = f.status;
        out = {{"error", f.message}, {"kind", f.kind}};
      }
      json request = {{"method", req.method}, {"path", req.path}};
      request["body"] = body.is_null() ? json(req.body.substr(0, 200)) : body;
      json result = out;
      result["status"] = status;
      if (result.contains("profile"))  // the scan itself is data, not a change: keep its number and peak
        result["profile"] = {{"seq", out["profile"]["seq"]}, {"peak", out["profile"]["peak"]}};
      const std::string client = client_of(req);
      audit.append(client, request, result);
      hub.publish("audit", {{"time", iso_time(unix_ms())}, {"client", client}, {"request", request}, {"result", result}});
      const std::string verdict = out.value("verdict", "");
      if (status >= 400 || verdict == "mismatch") {
        json f = {{"t", unix_ms()}, {"what", req.path}, {"error", out.value("error", out.value("detail", verdict))},
                  {"status", status}};
        failures.add(f);
        hub.publish("failure", f);
      }
      send_json(res, status, out);
    });
  };
  // Audit line for a ramp that ends after its request was answered.
  auto finished = [&audit, &hub](const Request& req) -> Finished {
    const std::string client = client_of(req);
    return [client, &audit, &hub](const json& request, const json& result) {
      json r = request;
      r["ended"] = "ramp";
      audit.append(client, r, result);
      hub.publish("audit", {{"time", iso_time(unix_ms())}, {"client", client}, {"request", r}, {"result", result}});
    };
  };

  // ------------------------------------------------------------- velmora --
  VelmoraBus* hv = p.velmora;
  auto need_hv = [hv]() -> VelmoraBus& {
    if (!hv) throw NotFound("this console runs no velmora line");
    return *hv;
  };
  get("/api/velmora/nodes", [need_hv](const Request&, Response& res) {
    auto& b = need_hv();
    send_json(res, 200, {{"nodes", b.nodes_json()}, {"rates", b.rates_json()}, {"line", b.line_json()}});
  });
  get(R"(/api/velmora/nodes/(\d+))", [need_hv](const Request& req, Response& res) {
    auto n = need_hv().node_json(path_address(req));
    if (!n) throw NotFound("no velmora node " + std::string(req.matches[1]) + " on the bus");
    send_json(res, 200, *n);
  });
  get(R"(/api/velmora/nodes/(\d+)/history)", [need_hv](const Request& req, Response& res) {
    const unsigned a = path_address(req);
    double secs = 0;
    if (req.has_param("seconds")) {
      try {
        secs = std::stod(req.get_param_value("seconds"));
      } catch (...) {
        throw usage_error("'seconds' must be a number");
      }
      if (!(secs >= 0)) throw usage_error("'seconds' must be a number >= 0");
    }
    auto h = need_hv().history(a, secs);
    if (!h) throw NotFound("no velmora node " + std::to_string(a) + " on the bus");
    const std::string format = req.has_param("format") ? req.get_param_value("format") : "json";
    if (format == "csv") {
      res.set_header("Content-Disposition", "attachment; filename=\"velmora-" + std::to_string(a) + ".csv\"");
      res.set_content(csv_of_history(*h), "text/csv");
    } else if (format == "json") {
      json rows = json::array();
      for (const auto& s : *h) rows.push_back({s.t, s.volts, s.code});
      send_json(res, 200, {{"address", a}, {"columns", {"time_ms", "volts", "code"}}, {"samples", rows}});
    } else {
      throw usage_error("format must be csv or json");
    }
  });
  post(R"(/api/velmora/nodes/(\d+)/set)", [need_hv, finished](const Request& req, const json& b) {
    only_keys(b, {"volts", "ramp", "persist"});
    const unsigned a = path_address(req);
    return need_hv().set(a, req_uint(b, "volts", 0, 65535), opt_uint(b, "ramp", 1, 10000),
                         opt_bool(b, "persist", false), finished(req));
  });
  post(R"(/api/velmora/nodes/(\d+)/on)", [need_hv, finished](const Request& req, const json& b) {
    only_keys(b, {"volts", "ramp", "persist"});
    const unsigned a = path_address(req);
    return need_hv().on(a, opt_uint(b, "volts", 0, 65535), opt_uint(b, "ramp", 1, 10000),
                        opt_bool(b, "persist", false), finished(req));
  });
  post(R"(/api/velmora/nodes/(\d+)/off)", [need_hv](const Request& req, const json& b) {
    only_keys(b, {"persist"});
    return need_hv().off(path_address(req), opt_bool(b, "persist", false));
  });
  post(R"(/api/velmora/nodes/(\d+)/calibrate)", [need_hv](const Request& req, const json& b) {
    only_keys(b, {"volts"});
    return need_hv().calibrate(path_address(req), req_uint(b, "volts", 1, 65535));
  });
  post(R"(/api/velmora/nodes/(\d+)/address)", [need_hv](const Request& req, const json& b) {
    only_keys(b, {"to"});
    return need_hv().change_address(path_address(req), req_uint(b, "to", 1, 252));
  });
  post("/api/velmora/all-off", [need_hv](const Request&, const json& b) {
    only_keys(b, {"persist"});
    return need_hv().all_off(opt_bool(b, "persist", true));
  });
  post("/api/velmora/scan", [need_hv](const Request&, const json& b) {
    only_keys(b, {"from", "to"});
    return need_hv().scan(opt_uint(b, "from", 1, 252).value_or(1), opt_uint(b, "to", 1, 252).value_or(252));
  });

  // --------------------------------------------------------------- tavlo --
  Readout* ro = p.readout;
  auto need_ro = [ro]() -> Readout& {
    if (!ro) throw NotFound("this console runs no tavlo line");
    return *ro;
  };
  get("/api/tavlo", [need_ro](const Request&, Response& res) {
    auto& r = need_ro();
    json j = r.unit_json();
    j["line"] = r.line_json();
    send_json(res, 200, j);
  });
  get("/api/tavlo/profile", [need_ro](const Request& req, Response& res) {
    auto prof = need_ro().profile();
    if (!prof) throw NotFound("no scan yet");
    const std::string format = req.has_param("format") ? req.get_param_value("format") : "json";
    if (format == "csv") {
      std::string out = "channel,x,y\n";
      for (unsigned ch = 0; ch < kChannels; ++ch)
        out += std::to_string(ch) + "," + (*prof)["x"][ch].dump() + "," + (*prof)["y"][ch].dump() + "\n";
      res.set_header("Content-Disposition", "attachment; filename=\"profile-" + (*prof)["seq"].dump() + ".csv\"");
      res.set_content(out, "text/csv");
    } else if (format == "json") {
      send_json(res, 200, *prof);
    } else {
      throw usage_error("format must be csv or json");
    }
  });
  post("/api/tavlo/select", [need_ro](const Request&, const json& b) {
    only_keys(b, {});
    return need_ro().select();
  });
  post("/api/tavlo/averaging", [need_ro](const Request&, const json& b) {
    only_keys(b, {"value"});
    return need_ro().averaging(req_uint(b, "value", 1, kMaxAveraging));
  });
  post("/api/tavlo/settle", [need_ro](const Request&, const json& b) {
    only_keys(b, {"value"});
    return need_ro().settle(req_uint(b, "value", 1, 65535));
  });
  post("/api/tavlo/acquire", [need_ro](const Request&, const json& b) {
    only_keys(b, {"count"});
    return need_ro().acquire(opt_uint(b, "count", 1, 100).value_or(1));
  });
  post("/api/tavlo/run", [need_ro](const Request&, const json& b) {
    only_keys(b, {"on"});
    if (!b.contains("on")) throw usage_error("'on' is required");
    return need_ro().run(opt_bool(b, "on", false));
  });

  // ---------------------------------------------------------------- logs --
  get("/api/log", [p](const Request& req, Response& res) {
    std::size_t max = 200;
    if (req.has_param("max")) max = std::min<std::size_t>(400, std::stoul(req.get_param_value("max")));
    json lines = json::object();
    std::uint64_t last = 0;
    if (p.velmora) lines["velmora"] = p.velmora->frames().since(0, max, last);
    if (p.readout) lines["tavlo"] = p.readout->frames().since(0, max, last);
    send_json(res, 200, {{"frames", lines}, {"failures", p.failures->all()}});
  });
  get("/api/audit", [p](const Request&, Response& res) { send_json(res, 200, p.audit->tail(100)); });

  // -------------------------------------------------------------- events --
  svr.Get("/api/events", [&hub](const Request& req, Response& res) {
    auto last = std::make_shared<std::uint64_t>(hub.last_id());
    if (req.has_header("Last-Event-ID")) {
      try {
        *last = std::stoull(req.get_header_value("Last-Event-ID"));
      } catch (...) {
      }
    }
    auto first = std::make_shared<bool>(true);
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider("text/event-stream", [&hub, last, first](std::size_t, httplib::DataSink& sink) {
      std::string out;
      if (*first) {
        *first = false;
        out = "retry: 1000\nevent: hello\ndata: {}\n\n";
        return sink.write(out.data(), out.size());
      }
      bool lost = false;
      auto events = hub.wait_after(*last, std::chrono::seconds(10), lost);
      if (hub.closed()) {
        sink.done();
        return true;
      }
      if (lost) out += "event: reload\ndata: {}\n\n";
      for (const auto& e : events) {
        out += "id: " + std::to_string(e.id) + "\nevent: " + e.type + "\ndata: " + e.data + "\n\n";
        *last = e.id;
      }
      if (out.empty()) out = ": ping\n\n";
      return sink.write(out.data(), out.size());
    });
  });

  svr.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty() && res.status == 404) send_error(res, 404, "not_found", "no such page or API path");
  });
}

}  // namespace host::serve
