// SPDX-License-Identifier: MIT
#include "bridge/serve.h"

#include <array>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <utility>

#include "bridge/log_writer.h"
#include "bridge/metrics.h"
#include "bridge/work_queue.h"
#include "encoder/protocol.h"
#include "qelmar/host.h"

#ifndef QELMAR_VERSION
#define QELMAR_VERSION "unknown"
#endif

namespace qelmar::bridge {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using Response = http::response<http::string_body>;

// A connection at the cap that has been reading for less than this is not
// cut to make room: under a burst of good clients each is read in far less.
constexpr std::chrono::milliseconds eviction_grace{100};
// How long a refused client's unread bytes are taken and dropped, so that the
// answer reaches it before the connection closes rather than a reset.
constexpr std::chrono::milliseconds linger{1000};
// Log lines that may wait for a stderr nobody reads before they are dropped.
constexpr std::size_t log_backlog = std::size_t{256} * 1024;

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

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
    return net::ip::make_address_v6(host.substr(1, host.size() - 2), ec), !ec;
  }
  return net::ip::make_address_v4(host, ec), !ec;
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  char cell[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(cell, sizeof cell, out.empty() ? "%02X" : " %02X", bytes[i]);
    out += cell;
  }
  return out;
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

std::string dump(const json& body) {
  return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

// In the tool's words, from the same function.
json outcome_of(const qelmar_status& status) {
  const bool delivered = status.outcome == QELMAR_DELIVERED;
  json item{{"delivered", delivered}};
  if (!delivered) {
    char why[512];
    qelmar_describe(&status, why, sizeof why);
    item["why"] = why;
  }
  return item;
}

// "2026-12-08T12:07:24.338Z"
std::string utc_now() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[40];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%03ldZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
      static_cast<long>(time.seconds().count()), static_cast<long>(time.subseconds().count()));
  return text;
}

// What is quoted from a client's header, in an answer and the log.
constexpr std::size_t quoted_bytes = 200;

std::string clipped(std::string_view text) {
  if (text.size() <= quoted_bytes) return std::string(text);
  return std::string(text.substr(0, quoted_bytes)) + "...";
}

// Text from a client as the log shows it: printable ASCII, the rest (and the
// backslash) as \xNN, so that a line stays one line whatever was sent. A path
// (`word`) has its spaces escaped too, and is clipped.
std::string loggable(std::string_view text, bool word = true) {
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

// What a handler decided: the status, the JSON body, and for a refusal the
// reason metrics count it under.
struct Answer {
  int status = 200;
  std::string body;
  std::string refusal;  // "" for an answer that is not a refusal
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string message;  // an error's words, for the log
};

Answer reply(int status, std::string body, std::string type = "application/json") {
  Answer a;
  a.status = status;
  a.body = std::move(body);
  a.content_type = std::move(type);
  return a;
}

Answer error(int status, const std::string& message, std::string refusal = {}) {
  Answer a = reply(status, dump(json{{"error", message}}));
  a.refusal = std::move(refusal);
  a.message = message;
  return a;
}

// Thrown by the handlers for a request whose body is wrong: nothing is sent.
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

json parse_object(const std::string& text) {
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

Route route_of(http::verb method, std::string_view path) {
  Route r;
  if (method == http::verb::get) {
    if (path == "/v1/health") r.kind = Route::health;
    if (path == "/v1/ports") r.kind = Route::ports;
    if (path == "/v1/client.js") r.kind = Route::client;
    if (path == "/metrics") r.kind = Route::metrics;
    return r;
  }
  if (method != http::verb::post) return r;
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

struct Bridge::Impl {
  class Connection;

  BridgeOptions options;
  Metrics metrics;
  std::unique_ptr<LogWriter> log_writer;  // none when quiet
  // The connections open now, oldest first; only the I/O thread touches it.
  std::map<std::uint64_t, Connection*> open;
  std::uint64_t next_id = 0;
  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::steady_timer accept_wait{io};
  net::signal_set signals{io, SIGINT, SIGTERM};
  std::string address;  // what we listen on, as a Host header names it
  bool wildcard = false;
  int listening_port = -1;
  WorkQueue queue;

  explicit Impl(BridgeOptions o)
      : options(std::move(o)),
        log_writer(options.quiet ? nullptr : std::make_unique<LogWriter>(log_backlog)),
        // A lane for each port (1 to 255): one request's frames go out together.
        queue(options.workers, options.queue, 256) {}

  int learn_address() {
    boost::system::error_code ec;
    const tcp::endpoint here = acceptor.local_endpoint(ec);
    if (ec) return -1;
    const net::ip::address a = here.address();
    address = a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
    wildcard = a.is_unspecified();
    listening_port = here.port();
    return listening_port;
  }

  void accept();
  bool make_room();
  void stop();
  void log(std::string line) const {
    if (log_writer) log_writer->write(std::move(line));
  }

  // Against DNS rebinding: a page from a name that resolves here still sends
  // its own name as the Host.
  bool host_allowed(std::string_view header) const {
    std::string host = lower(header);
    std::string given_port = "80";
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
      given_port = host.substr(colon + 1);
      host.resize(colon);
    }
    if (given_port != std::to_string(listening_port)) return false;
    return host == "localhost" || host == address || (wildcard && is_ip_literal(host));
  }

  bool origin_allowed(std::string_view origin) const {
    const std::string o = lower(origin);
    for (const std::string& allowed : options.allow_origins)
      if (o == allowed) return true;
    return false;
  }

  std::optional<Answer> screen(const http::request_parser<http::string_body>& parser) const;
  std::optional<Answer> screen_token_and_type(const http::request<http::string_body>& req) const;
  Answer inline_answer(const Route& route) const;
  std::function<Answer()> job_for(const Route& route, const std::string& body);
  // Run in the port's lane of the queue, so one request's frames go out together.
  Answer commands(int port, const std::vector<std::string>& texts);
  Answer rc(int port, std::int32_t a, std::int32_t b);
  Answer sound(const std::string& name) const;
};

// One client's connection: read the head, screen it, read the body, answer
// once and close. It lives as long as an operation of it is pending.
class Bridge::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Impl& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)), id_(server.next_id++) {
    boost::system::error_code ec;
    const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? "-"
               : (peer.address().is_v6() ? "[" + peer.address().to_string() + "]"
                                         : peer.address().to_string()) +
                     ":" + std::to_string(peer.port());
    server_.open[id_] = this;
    server_.metrics.connections(static_cast<std::int64_t>(server_.open.size()));
  }
  ~Connection() {
    server_.open.erase(id_);
    server_.metrics.connections(static_cast<std::int64_t>(server_.open.size()));
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void start() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options.max_header));
    parser_->body_limit(server_.options.max_body);
    // One deadline for the whole request, headers and body, however its bytes come.
    stream_.expires_after(server_.options.request_timeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_header(ec); });
  }

  bool reading() const { return state_ == State::reading || state_ == State::draining; }
  Clock::time_point since() const { return since_; }

  // Cut to make room for a newer connection, or as the service stops.
  void cut(const char* why, const char* reason) {
    if (state_ == State::reading) end_unanswered(why, reason);
    state_ = State::closed;
    stream_.close();
  }

 private:
  enum class State { reading, answering, writing, draining, closed };

  void on_header(beast::error_code ec) {
    if (ec) return failed(ec);
    if (std::optional<Answer> refused = server_.screen(*parser_)) return answer(*refused, true);
    if (parser_->is_done()) return dispatch();
    // A client that asked to be told first (curl does for a large body)
    // otherwise waits its own timeout before it sends the body. Refusals came
    // above, with their status instead.
    if (lower(parser_->get()[http::field::expect]) == "100-continue") {
      proceed_.emplace(http::status::continue_, 11);
      http::async_write(stream_, *proceed_,
                        [self = shared_from_this()](beast::error_code e, std::size_t) {
                          if (e) return self->failed(e);
                          self->read_body();
                        });
      return;
    }
    read_body();
  }

  void read_body() {
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code e, std::size_t) {
                       if (e) return self->failed(e);
                       self->dispatch();
                     });
  }

  void failed(beast::error_code ec) {
    if (state_ == State::closed) return;
    if (ec == http::error::header_limit) {
      return answer(error(431,
                          "the request's headers are over " +
                              std::to_string(server_.options.max_header) + " bytes",
                          "header_size"),
                    true);
    }
    if (ec == http::error::body_limit) return answer(too_large(), true);
    if (ec == beast::error::timeout) {
      return end_unanswered(("the request was not read within " +
                             std::to_string(server_.options.request_timeout.count()) + " ms")
                                .c_str(),
                            "deadline");
    }
    // A client that went away before its request was whole is not a request.
    if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
        ec == net::error::eof || ec == net::error::connection_reset ||
        ec == net::error::broken_pipe || ec == net::error::operation_aborted) {
      return;
    }
    answer(error(400, "bad request: " + ec.message(), "malformed"), true);
  }

  Answer too_large() const {
    return error(413, "the body is over " + std::to_string(server_.options.max_body) + " bytes",
                 "body_size");
  }

  void dispatch() {
    const http::request<http::string_body>& req = parser_->get();
    const std::string_view target = req.target();
    const Route route = route_of(req.method(), target.substr(0, target.find('?')));
    std::function<Answer()> job;
    try {
      if (route.kind == Route::none) return answer(error(404, "no such resource"));
      if ((route.kind == Route::commands || route.kind == Route::rc) &&
          (route.port < 1 || route.port > 255)) {
        return answer(error(404, "no port " + route.digits + " (ports are 1 to 255)"));
      }
      job = server_.job_for(route, req.body());
      if (!job) return answer(server_.inline_answer(route));
    } catch (const BadRequest& e) {
      return answer(error(400, e.what()));
    } catch (const json::exception& e) {
      return answer(error(400, e.what()));
    }
    state_ = State::answering;
    // The device calls run on the workers, a port's in turn; the answer comes back here.
    const std::size_t lane = route.kind == Route::commands || route.kind == Route::rc
                                 ? static_cast<std::size_t>(route.port)
                                 : 0;
    const bool queued =
        server_.queue.push(lane, [self = shared_from_this(), job = std::move(job)]() mutable {
          Answer a;
          try {
            a = job();
          } catch (const BadRequest& e) {
            a = error(400, e.what());
          } catch (const std::exception&) {
            a = error(500, "internal error");
          }
          // The last reference goes back with it: a connection ends on the I/O thread.
          const auto executor = self->stream_.get_executor();
          net::post(executor, [self = std::move(self), a = std::move(a)]() mutable {
            self->answer(std::move(a));
          });
        });
    if (!queued) {
      Answer busy = error(503, "the display's queue is full; try again shortly", "queue_full");
      busy.headers.emplace_back("Retry-After", "1");
      answer(busy);
    }
  }

  void end_unanswered(const char* why, const char* reason) {
    server_.metrics.refusal(reason);
    server_.log(line("-", 0) + " cut: " + why + "\n");
    state_ = State::closed;
  }

  std::string line(const std::string& status, std::size_t bytes) const {
    const auto ms = std::chrono::duration<double, std::milli>(Clock::now() - since_).count();
    char took[32];
    std::snprintf(took, sizeof took, " %.1f ms", ms);
    const bool head = parser_ && parser_->is_header_done();
    const std::string method = head ? std::string(parser_->get().method_string()) : "-";
    const std::string path = head ? loggable(parser_->get().target()) : "-";
    return utc_now() + " " + peer_ + " " + loggable(method) + " " + path + " " + status + " " +
           std::to_string(bytes) + took;
  }

  // `unread`: the request was not read whole, so what follows it is dropped.
  void answer(Answer a, bool unread = false) {
    if (state_ == State::closed) return;
    if (state_ == State::reading && !a.refusal.empty()) unread = true;
    state_ = State::writing;
    response_.emplace(static_cast<http::status>(a.status), 11);
    Response& res = *response_;
    res.set(http::field::content_type, a.content_type);
    for (const auto& [key, value] : a.headers) res.set(key, value);
    if (parser_ && parser_->is_header_done()) cors(res);
    res.keep_alive(false);  // one request per connection: nothing after it is read
    res.body() = std::move(a.body);
    res.prepare_payload();
    server_.metrics.request(a.status);
    if (!a.refusal.empty()) server_.metrics.refusal(a.refusal);
    stream_.expires_after(server_.options.write_timeout);
    http::async_write(
        stream_, res,
        [self = shared_from_this(), unread, a = std::move(a)](
            beast::error_code ec, std::size_t bytes) { self->written(ec, bytes, a, unread); });
  }

  void cors(Response& res) const {
    const auto& req = parser_->get();
    const auto origin = req.find(http::field::origin);
    if (origin == req.end() || !server_.origin_allowed(origin->value())) return;
    res.set(http::field::access_control_allow_origin, origin->value());
    res.set(http::field::vary, "Origin");
  }

  void written(beast::error_code ec, std::size_t bytes, const Answer& a, bool unread) {
    std::string text = line(std::to_string(a.status), bytes);
    if (!a.refusal.empty()) text += " refused: " + loggable(a.message, false);
    server_.log(text + "\n");
    if (ec || state_ == State::closed) return;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    if (!unread) {
      stream_.socket().close(ignored);
      state_ = State::closed;
      return;
    }
    state_ = State::draining;
    stream_.expires_after(linger);
    drain();
  }

  void drain() {
    stream_.async_read_some(net::buffer(scratch_),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (!ec && self->state_ == State::draining) self->drain();
                            });
  }

  Impl& server_;
  beast::tcp_stream stream_;
  // Bounded by the parser's limits; one read's worth past them at most.
  beast::flat_buffer buffer_{std::size_t{64} * 1024};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<Response> response_;
  std::optional<http::response<http::empty_body>> proceed_;  // 100 Continue
  std::array<char, 4096> scratch_{};
  std::uint64_t id_;
  std::string peer_;
  Clock::time_point since_ = Clock::now();
  State state_ = State::reading;
};

// Everything a request must pass before its body is read.
std::optional<Answer> Bridge::Impl::screen(
    const http::request_parser<http::string_body>& parser) const {
  const http::request<http::string_body>& req = parser.get();
  if (req.count(http::field::transfer_encoding) != 0) {
    return error(411, "send the body with a Content-Length, not in chunks", "chunked");
  }
  if (req.count(http::field::content_encoding) != 0) {
    return error(415, "the body must not be compressed", "compressed");
  }
  if (req.method() == http::verb::post && req.count(http::field::content_length) == 0) {
    return error(411, "a POST needs a Content-Length", "length");
  }
  if (!host_allowed(req[http::field::host])) {
    return error(403,
                 "the Host header must name this service (" + address + ":" +
                     std::to_string(listening_port) + " or localhost)",
                 "host");
  }
  const auto origin = req.find(http::field::origin);
  if (origin != req.end() && !origin_allowed(origin->value())) {
    return error(403, "origin " + clipped(origin->value()) + " is not allowed (see --allow-origin)",
                 "origin");
  }
  if (req.method() == http::verb::options) {
    Answer a = reply(204, "");
    // Chromium asks before a page on a public origin may call a local service.
    if (origin != req.end() && lower(req["Access-Control-Request-Private-Network"]) == "true") {
      a.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
    }
    a.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST");
    a.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type, Authorization");
    a.headers.emplace_back("Access-Control-Max-Age", "600");
    return a;
  }
  if (std::optional<Answer> refused = screen_token_and_type(req)) return refused;
  if (parser.content_length() && *parser.content_length() > options.max_body) {
    return error(413, "the body is over " + std::to_string(options.max_body) + " bytes",
                 "body_size");
  }
  return std::nullopt;
}

std::optional<Answer> Bridge::Impl::screen_token_and_type(
    const http::request<http::string_body>& req) const {
  const std::string_view target = req.target();
  if (!options.token.empty() && target.substr(0, target.find('?')) != "/v1/client.js") {
    const std::string_view given = req[http::field::authorization];
    // The scheme's name is case-insensitive; the token is not.
    const bool bearer = given.size() > 7 && lower(given.substr(0, 7)) == "bearer ";
    if (!bearer || !equal_in_constant_time(given.substr(7), options.token)) {
      Answer a = error(401, given.empty() ? "a bearer token is required" : "the token is not right",
                       "token");
      a.headers.emplace_back("WWW-Authenticate", "Bearer");
      return a;
    }
  }
  if (req.method() == http::verb::post) {
    const std::string type = lower(req[http::field::content_type]);
    if (type != "application/json" && type.rfind("application/json;", 0) != 0) {
      return error(415, "the body must be application/json", "content_type");
    }
  }
  return std::nullopt;
}

// What needs no device and no system listing is answered on the I/O thread.
Answer Bridge::Impl::inline_answer(const Route& route) const {
  switch (route.kind) {
    case Route::health:
      return reply(200, dump(json{{"status", "ok"},
                                  {"version", QELMAR_VERSION},
                                  {"sounds", !options.sounds_dir.empty()}}));
    case Route::client: {
      Answer a = reply(200, options.client_js, "text/javascript; charset=utf-8");
      a.headers.emplace_back("Cache-Control", "no-cache");
      return a;
    }
    case Route::metrics:
      return reply(200, metrics.exposition(queue.depth(), log_writer ? log_writer->dropped() : 0),
                   "text/plain; version=0.0.4");
    default:
      return error(404, "no such resource");
  }
}

// The work for the queue, its body checked here first so that a wrong
// request costs no worker; empty for what is answered at once.
std::function<Answer()> Bridge::Impl::job_for(const Route& route, const std::string& body) {
  Impl* self = this;
  switch (route.kind) {
    case Route::ports:
      return [] { return reply(200, ports_json()); };
    case Route::commands: {
      std::vector<std::string> texts = texts_of(parse_object(body), options.max_texts);
      return [self, port = route.port, texts = std::move(texts)] {
        return self->commands(port, texts);
      };
    }
    case Route::rc: {
      const json fields = parse_object(body);
      only_fields(fields, {"a", "b"});
      const std::int32_t a = int32_field(fields, "a"), b = int32_field(fields, "b");
      return [self, port = route.port, a, b] { return self->rc(port, a, b); };
    }
    case Route::sound:
      return [self, name = route.name] { return self->sound(name); };
    default:
      return {};
  }
}

Answer Bridge::Impl::commands(int port, const std::vector<std::string>& texts) {
  // Each text is encoded once here for its frame.
  std::vector<std::string> frames;
  for (const std::string& text : texts) {
    std::uint8_t frame[max_frame];
    const std::int32_t length =
        qelmar_encode(text.c_str(), frame, sizeof frame, nullptr, nullptr, 0);
    frames.push_back(length > 0 ? hex(frame, static_cast<std::size_t>(length)) : std::string());
  }
  json results = json::array();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    qelmar_status status;
    const auto start = Clock::now();
    const std::int32_t result = qelmar_send(port, texts[i].c_str(), &status);
    metrics.call(port, qelmar_outcome_name(status.outcome),
                 std::chrono::duration<double>(Clock::now() - start).count());
    json item{{"result", result}, {"frame", frames[i]}};
    item.update(outcome_of(status));
    results.push_back(std::move(item));
  }
  return reply(200, dump(json{{"port", port}, {"results", std::move(results)}}));
}

Answer Bridge::Impl::rc(int port, std::int32_t a, std::int32_t b) {
  qelmar_status status;
  const auto start = Clock::now();
  qelmar_send_rc(port, a, b, &status);
  metrics.call(port, qelmar_outcome_name(status.outcome),
               std::chrono::duration<double>(Clock::now() - start).count());
  const std::uint8_t frame[3] = {rc_lead, static_cast<std::uint8_t>(a & 0xFF),
                                 static_cast<std::uint8_t>(b & 0xFF)};
  json body{{"port", port}, {"frame", hex(frame, sizeof frame)}};
  body.update(outcome_of(status));
  return reply(200, dump(body));
}

// Only a regular file directly in the configured folder: the name can hold
// no '/', and a link is not followed out of it.
Answer Bridge::Impl::sound(const std::string& name) const {
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::path(options.sounds_dir) / name;
  if (options.sounds_dir.empty() ||
      !std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) {
    return error(404, "no sound " + name);
  }
  qelmar_status status;
  qelmar_play(path.string().c_str(), &status);
  const bool alert = status.outcome == QELMAR_ALERT_INSTEAD;
  json body{{"name", name},
            {"played", status.outcome == QELMAR_DELIVERED},
            {"format", status.sound_format},
            {"seconds", status.sound_seconds},
            {"ending", alert || status.outcome == QELMAR_DELIVERED ? "played" : status.reason}};
  if (alert) body["fallback"] = status.reason;
  return reply(200, dump(body));
}

// At the cap, the oldest connection still reading its request makes room, once
// it has had a fair moment; until one can, new ones wait in the kernel's backlog.
bool Bridge::Impl::make_room() {
  if (open.size() < options.max_connections) return true;
  for (const auto& [id, connection] : open) {
    if (!connection->reading()) continue;
    const auto age = Clock::now() - connection->since();
    if (age < eviction_grace) {
      accept_wait.expires_after(eviction_grace - age);
      return false;
    }
    connection->cut(
        ("evicted at the connection cap (" + std::to_string(options.max_connections) + ")").c_str(),
        "evicted");
    return true;
  }
  accept_wait.expires_after(std::chrono::milliseconds(10));
  return false;
}

void Bridge::Impl::accept() {
  if (!acceptor.is_open()) return;
  if (!make_room()) {
    accept_wait.async_wait([this](beast::error_code ec) {
      if (!ec) accept();
    });
    return;
  }
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) {
      socket.set_option(tcp::no_delay(true), ec);
      std::make_shared<Connection>(*this, std::move(socket))->start();
    }
    accept();
  });
}

void Bridge::Impl::stop() {
  beast::error_code ec;
  acceptor.close(ec);
  accept_wait.cancel();
  // Copied: each cut may end its connection and take it out of `open`.
  std::vector<Connection*> all;
  for (const auto& [id, connection] : open) all.push_back(connection);
  for (Connection* connection : all) connection->cut("the service is stopping", "stopping");
  io.stop();
}

Bridge::Bridge(BridgeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Bridge::~Bridge() = default;

int Bridge::bind(const std::string& host, int port) {
  boost::system::error_code ec;
  tcp::resolver resolver(impl_->io);
  const auto found = resolver.resolve(host, std::to_string(port), ec);
  if (ec || found.empty()) return -1;
  const tcp::endpoint at = found.begin()->endpoint();
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(at.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(at, ec);
  // The kernel caps the backlog at its own maximum (net.core.somaxconn); asio's
  // max_listen_connections is only SOMAXCONN.
  if (!ec) acceptor.listen(std::numeric_limits<int>::max(), ec);
  return ec ? -1 : impl_->learn_address();
}

int Bridge::adopt(const InheritedSocket& socket) {
  boost::system::error_code ec;
  impl_->acceptor.assign(socket.ipv6 ? tcp::v6() : tcp::v4(), socket.handle, ec);
  return ec ? -1 : impl_->learn_address();
}

bool Bridge::run() {
  Impl& impl = *impl_;
  if (impl.listening_port <= 0) return false;
  impl.signals.async_wait([&impl](beast::error_code ec, int) {
    if (!ec) impl.stop();
  });
  impl.accept();
  impl.io.run();
  // A call in progress ends within its bounded wait; a sound may last longer,
  // and the service does not wait for it past the second it has to stop.
  if (!impl.queue.stop_within(std::chrono::milliseconds(800))) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  impl.queue.stop();
  return true;
}

ListenAddress parse_listen(const std::string& text) {
  ListenAddress out{"127.0.0.1", default_port};
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) throw std::invalid_argument("no ']' in " + text);
    out.host = text.substr(1, close - 1);
    port = close + 1 < text.size() && text[close + 1] == ':' ? text.substr(close + 2) : "";
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    out.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  } else if (text.find_first_not_of("0123456789") != std::string::npos) {
    out.host = text;
    port.clear();
  }
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      throw std::invalid_argument("not a port: " + port);
    out.port = std::atoi(port.c_str());
    if (out.port > 65535) throw std::invalid_argument("not a port: " + port);
  }
  if (out.host.empty()) throw std::invalid_argument("no address in " + text);
  return out;
}

}  // namespace qelmar::bridge
