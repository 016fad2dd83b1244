// SPDX-License-Identifier: MIT
#include "bridge/handler.h"

#include <boost/asio/ip/address.hpp>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <nlohmann/json.hpp>

#include "bridge/host_calls.h"
#include "bridge/json_body.h"
#include "qelmar/host.h"

namespace qelmar::bridge {

namespace {

using nlohmann::json;

bool equal_in_constant_time(std::string_view a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  }
  return differ == 0 && !b.empty();
}

bool is_ip_literal(const std::string& host) {
  boost::system::error_code ec;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return boost::asio::ip::make_address_v6(host.substr(1, host.size() - 2), ec), !ec;
  }
  return boost::asio::ip::make_address_v4(host, ec), !ec;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// "1A 2b3c" -> bytes; throws std::invalid_argument.
std::string from_hex(const std::string& text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) throw std::invalid_argument("\"hex\" holds a character that is not a hex digit");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("\"hex\" has an odd number of digits");
  return out;
}

// What is quoted from a client's header, in an answer and the log.
constexpr std::size_t quoted_bytes = 200;

json parse_object(std::string_view text) {
  json body;
  try {
    body = json::parse(text);
  } catch (const json::exception& e) {
    // Numbers out of range are nlohmann's out_of_range, not a parse error.
    throw BadRequest(std::string("malformed JSON: ") + e.what());
  }
  if (!body.is_object()) throw BadRequest("the body must be a JSON object");
  return body;
}

void only_fields(const json& body, std::initializer_list<const char*> known) {
  for (const auto& [key, value] : body.items()) {
    bool found = false;
    for (const char* k : known) found = found || key == k;
    if (!found) throw BadRequest("unknown field \"" + key + "\"");
  }
}

// A 32-bit integer field; an unsigned number past 2^63 would wrap round to a
// negative one, and a float is not an integer.
std::int32_t int32_field(const json& body, const char* name) {
  const json& v = body.contains(name) ? body[name] : json();
  const bool fits = v.is_number_unsigned()
                        ? v.get<std::uint64_t>() <= INT32_MAX
                        : v.is_number_integer() && v.get<std::int64_t>() >= INT32_MIN &&
                              v.get<std::int64_t>() <= INT32_MAX;
  if (!fits) throw BadRequest(std::string("\"") + name + "\" must be a 32-bit integer");
  return static_cast<std::int32_t>(v.get<std::int64_t>());
}

std::string checked_device_text(const std::string& text) {
  try {
    return device_text(text);
  } catch (const std::runtime_error& e) {
    throw BadRequest(e.what());
  }
}

// The command texts of a request, as the library takes them.
std::vector<std::string> texts_of(const json& body, std::size_t max_texts) {
  const char* one_of = "give one of \"text\", \"texts\" or \"hex\"";
  if (body.size() != 1) throw BadRequest(one_of);
  std::vector<std::string> out;
  if (body.contains("hex")) {
    if (!body["hex"].is_string()) throw BadRequest("\"hex\" must be a string");
    try {
      out.push_back(from_hex(body["hex"].get<std::string>()));
    } catch (const std::invalid_argument& e) {
      throw BadRequest(e.what());
    }
  } else if (body.contains("text")) {
    if (!body["text"].is_string()) throw BadRequest("\"text\" must be a string");
    out.push_back(checked_device_text(body["text"].get<std::string>()));
  } else if (body.contains("texts")) {
    const json& texts = body["texts"];
    if (!texts.is_array() || texts.empty() || texts.size() > max_texts) {
      throw BadRequest("\"texts\" must be an array of 1 to " + std::to_string(max_texts) +
                       " strings");
    }
    for (const json& t : texts) {
      if (!t.is_string()) throw BadRequest("\"texts\" must hold strings only");
      out.push_back(checked_device_text(t.get<std::string>()));
    }
  } else {
    throw BadRequest(one_of);
  }
  for (const std::string& t : out) {
    if (t.find('\0') != std::string::npos) throw BadRequest("a command cannot hold a NUL byte");
  }
  return out;
}

// The route a path names; port and sound name taken from it.
struct Route {
  enum Kind { none, health, ports, client, metrics, commands, rc, sound } kind = none;
  int port = 0;
  std::string digits, name;
};

bool all_digits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool sound_name(std::string_view s) {
  const auto ok = [](char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           (!first && (c == '.' || c == '-'));
  };
  if (s.empty() || s.size() > 128) return false;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (!ok(s[i], i == 0)) return false;
  return true;
}

// Methods are case-sensitive: "get" is not GET.
Route route_of(std::string_view method, std::string_view path) {
  Route r;
  if (method == "GET" || method == "HEAD") {
    if (path == "/v1/health") r.kind = Route::health;
    if (path == "/v1/ports") r.kind = Route::ports;
    if (path == "/v1/client.js") r.kind = Route::client;
    if (path == "/metrics") r.kind = Route::metrics;
    return r;
  }
  if (method != "POST") return r;
  constexpr std::string_view ports = "/v1/ports/", sounds = "/v1/sounds/";
  if (path.starts_with(sounds) && sound_name(path.substr(sounds.size()))) {
    r.kind = Route::sound;
    r.name = path.substr(sounds.size());
  } else if (path.starts_with(ports)) {
    const std::string_view rest = path.substr(ports.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos || !all_digits(rest.substr(0, slash))) return r;
    r.digits = rest.substr(0, slash);
    const std::string_view what = rest.substr(slash);
    r.kind = what == "/commands" ? Route::commands : what == "/rc" ? Route::rc : Route::none;
    // 1 to 255, as hosts number COM ports.
    r.port = r.digits.size() <= 3 ? std::atoi(r.digits.c_str()) : 0;
  }
  return r;
}

}  // namespace

std::string dump(const json& body) {
  return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string_view RequestHead::operator[](std::string_view name) const {
  for (const auto& [key, value] : fields)
    if (same_name(key, name)) return value;
  return {};
}

std::size_t RequestHead::count(std::string_view name) const {
  std::size_t n = 0;
  for (const auto& field : fields) n += same_name(field.first, name) ? 1 : 0;
  return n;
}

Answer reply(int status, std::string body, std::string type) {
  Answer a;
  a.status = status;
  a.body = std::move(body);
  a.content_type = std::move(type);
  return a;
}

Answer error(int status, const std::string& message, std::string refusal) {
  Answer a = reply(status, dump(json{{"error", message}}));
  a.refusal = std::move(refusal);
  a.message = message;
  return a;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string clipped(std::string_view text) {
  if (text.size() <= quoted_bytes) return std::string(text);
  return std::string(text.substr(0, quoted_bytes)) + "...";
}

std::string loggable(std::string_view text, bool word) {
  // Clipped before it is escaped: the "..." added is not the client's to escape.
  const bool clip = word && text.size() > quoted_bytes;
  std::string out;
  for (const char c : clip ? text.substr(0, quoted_bytes) : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte > ' ' || (byte == ' ' && !word)) && byte < 0x7F && c != '\\';
    if (plain) {
      out += c;
    } else {
      char cell[5];
      std::snprintf(cell, sizeof cell, "\\x%02X", byte);
      out += cell;
    }
  }
  if (clip) out += "...";
  return out.empty() && word ? "-" : out;
}

bool head_only(const RequestHead& head) { return head.method == "HEAD"; }

// Against DNS rebinding: a page from a name that resolves here still sends
// its own name as the Host.
bool Handler::host_allowed(std::string_view header) const {
  std::string host = lower(header);
  std::string given_port = "80";
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    given_port = host.substr(colon + 1);
    host.resize(colon);
  }
  if (given_port != std::to_string(settings_.port)) return false;
  return host == "localhost" || host == settings_.address ||
         (settings_.wildcard && is_ip_literal(host));
}

// The allow-list holds origins as browsers serialise them, in lower case.
const std::string* Handler::origin_allowed(std::string_view origin) const {
  const std::string o = lower(origin);
  for (const std::string& allowed : settings_.allow_origins)
    if (o == allowed) return &allowed;
  return nullptr;
}

std::optional<Answer> Handler::screen(const RequestHead& head) const {
  if (head.count("Transfer-Encoding") != 0) {
    return error(411, "send the body with a Content-Length, not in chunks", "chunked");
  }
  if (head.count("Content-Encoding") != 0) {
    return error(415, "the body must not be compressed", "compressed");
  }
  if (head.method == "POST" && head.count("Content-Length") == 0) {
    return error(411, "a POST needs a Content-Length", "length");
  }
  if (!host_allowed(head["Host"])) {
    return error(403,
                 "the Host header must name this service (" + settings_.address + ":" +
                     std::to_string(settings_.port) + " or localhost)",
                 "host");
  }
  const bool has_origin = head.count("Origin") != 0;
  const std::string_view origin = head["Origin"];
  if (has_origin && origin_allowed(origin) == nullptr) {
    return error(403, "origin " + clipped(origin) + " is not allowed (see --allow-origin)",
                 "origin");
  }
  if (head.method == "OPTIONS") {
    Answer a = reply(204, "");
    // Chromium asks before a page on a public origin may call a local service.
    if (has_origin && lower(head["Access-Control-Request-Private-Network"]) == "true") {
      a.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
    }
    a.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST");
    a.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type, Authorization");
    a.headers.emplace_back("Access-Control-Max-Age", "600");
    return a;
  }
  if (std::optional<Answer> refused = screen_token_and_type(head)) return refused;
  if (head.content_length && *head.content_length > settings_.max_body) return body_too_large();
  return std::nullopt;
}

std::optional<Answer> Handler::screen_token_and_type(const RequestHead& head) const {
  const std::string_view target = head.target;
  if (!settings_.token.empty() && target.substr(0, target.find('?')) != "/v1/client.js") {
    const std::string_view given = head["Authorization"];
    // The scheme's name is case-insensitive; the token is not.
    const bool bearer = given.size() > 7 && lower(given.substr(0, 7)) == "bearer ";
    if (!bearer || !equal_in_constant_time(given.substr(7), settings_.token)) {
      Answer a = error(401, given.empty() ? "a bearer token is required" : "the token is not right",
                       "token");
      a.headers.emplace_back("WWW-Authenticate", "Bearer");
      return a;
    }
  }
  if (head.method == "POST") {
    const std::string type = lower(head["Content-Type"]);
    if (type != "application/json" && type.rfind("application/json;", 0) != 0) {
      return error(415, "the body must be application/json", "content_type");
    }
  }
  return std::nullopt;
}

Decision Handler::decide(const RequestHead& head, std::string_view body) const {
  const std::string_view target = head.target;
  const Route route = route_of(head.method, target.substr(0, target.find('?')));
  Decision d;
  try {
    switch (route.kind) {
      case Route::none:
        d.answer = error(404, "no such resource");
        break;
      case Route::health:
        d.answer = reply(200, dump(json{{"status", "ok"},
                                        {"version", settings_.version},
                                        {"sounds", settings_.sounds}}));
        break;
      case Route::client:
        d.answer = reply(200, settings_.client_js, "text/javascript; charset=utf-8");
        d.answer.headers.emplace_back("Cache-Control", "no-cache");
        break;
      case Route::metrics:
        d.job.kind = Job::Kind::metrics;
        break;
      case Route::ports:
        d.job.kind = Job::Kind::ports;
        break;
      case Route::commands:
      case Route::rc:
        if (route.port < QELMAR_PORT_MIN || route.port > QELMAR_PORT_MAX) {
          d.answer = error(404, "no port " + route.digits + " (ports are " +
                                    std::to_string(QELMAR_PORT_MIN) + " to " +
                                    std::to_string(QELMAR_PORT_MAX) + ")");
          break;
        }
        d.job.port = route.port;
        if (route.kind == Route::commands) {
          d.job.texts = texts_of(parse_object(body), settings_.max_texts);
          d.job.kind = Job::Kind::commands;
        } else {
          const json fields = parse_object(body);
          only_fields(fields, {"a", "b"});
          d.job.a = int32_field(fields, "a");
          d.job.b = int32_field(fields, "b");
          d.job.kind = Job::Kind::rc;
        }
        break;
      case Route::sound:
        d.job.kind = Job::Kind::sound;
        d.job.name = route.name;
        break;
    }
  } catch (const BadRequest& e) {
    d = Decision{error(400, e.what()), Job{}};
  } catch (const json::exception& e) {
    d = Decision{error(400, e.what()), Job{}};
  }
  return d;
}

std::vector<std::pair<std::string, std::string>> Handler::cors(const RequestHead& head) const {
  const std::string* allowed = head.count("Origin") != 0 ? origin_allowed(head["Origin"]) : nullptr;
  // The origin as a browser writes it, which is the one it compares.
  if (allowed == nullptr) return {};
  return {{"Access-Control-Allow-Origin", *allowed}, {"Vary", "Origin"}};
}

Answer Handler::header_too_large() const {
  return error(431,
               "the request's headers are over " + std::to_string(settings_.max_header) + " bytes",
               "header_size");
}

Answer Handler::body_too_large() const {
  return error(413, "the body is over " + std::to_string(settings_.max_body) + " bytes",
               "body_size");
}

}  // namespace qelmar::bridge
