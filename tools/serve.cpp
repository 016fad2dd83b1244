#include "tools/serve.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "qelmar/host.h"
#include "tools/charset.h"
#include "tools/hex.h"
#include "tools/ports.h"

#ifndef QELMAR_VERSION
#define QELMAR_VERSION "unknown"
#endif

namespace qelmar::tools {

namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;
using Screen = httplib::Server::HandlerResponse;

// A fixed set of workers behind a bounded queue. When the queue is full the
// acceptor waits, so further connections stay in the kernel's backlog instead
// of in memory.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool(std::size_t workers, std::size_t limit) : limit_(limit) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return tasks_.size() < limit_; });
    tasks_.push_back(std::move(fn));
    ready_.notify_one();
  }

  // Runs what is queued, then ends the workers.
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !tasks_.empty() || done_; });
        if (tasks_.empty()) return;
        fn = std::move(tasks_.front());
        tasks_.pop_front();
        room_.notify_one();
      }
      fn();
    }
  }

  std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::thread> threads_;
  bool done_ = false;
};

// httplib's time-outs are per read, so a client that sends a byte at a time
// would hold a worker for as long as it likes. Each connection gets `limit` to
// be read, counted from when its bytes are first seen taken (a connection still
// waiting in the queue with its request in the kernel is not slow). The bridge
// cannot see the sockets httplib accepts, so it finds them among its own
// descriptors. A request that has reached its handler is left alone, since a
// sound plays for as long as it lasts.
class Reaper {
 public:
  void start(int listening_port, std::chrono::seconds limit) {
    port_ = listening_port;
    limit_ = limit;
    running_ = true;
    thread_ = std::thread([this] { loop(); });
  }

  // Connections not being answered are ended at once, as the server stops.
  void hurry() { hurry_ = true; }

  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

  // The connection from peer_port has been read whole.
  void answering(int peer_port) {
    std::lock_guard lock(mutex_);
    answering_.insert(peer_port);
  }

 private:
  using Clock = std::chrono::steady_clock;

  // A connection accepted on our port: its socket's inode and its peer's port.
  bool connection(int fd, ino_t& inode, int& peer_port) const {
    struct stat st {};
    int listening = 1;
    socklen_t size = sizeof listening;
    sockaddr_storage here{}, there{};
    socklen_t here_size = sizeof here, there_size = sizeof there;
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&here), &here_size) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&there), &there_size) != 0) {
      return false;
    }
    inode = st.st_ino;
    peer_port = port_of(there);
    return port_of(here) == port_;
  }

  static int port_of(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
  }

  void sweep(std::map<ino_t, Clock::time_point>& reading_since) {
    const Clock::time_point now = Clock::now();
    std::map<ino_t, Clock::time_point> reading;
    std::set<int> peers;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      ino_t inode = 0;
      int peer = 0, unread = 0;
      if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == ::dirfd(dir) ||
          !connection(fd, inode, peer) || ::ioctl(fd, FIONREAD, &unread) != 0) {
        continue;
      }
      peers.insert(peer);
      const auto known = reading_since.find(inode);
      if (known == reading_since.end() && unread > 0 && !hurry_) continue;  // not taken up yet
      const Clock::time_point since = known == reading_since.end() ? now : known->second;
      reading[inode] = since;
      std::lock_guard lock(mutex_);
      if ((hurry_ || now - since > limit_) && answering_.count(peer) == 0) {
        ::shutdown(fd, SHUT_RDWR);
      }
    }
    ::closedir(dir);
    reading_since.swap(reading);
    std::lock_guard lock(mutex_);
    std::erase_if(answering_, [&](int peer) { return peers.count(peer) == 0; });
  }

  void loop() {
    std::map<ino_t, Clock::time_point> reading_since;
    while (running_) {
      sweep(reading_since);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  int port_ = -1;
  std::chrono::seconds limit_{5};
  std::atomic<bool> running_{false}, hurry_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::set<int> answering_;  // peers whose request reached its handler
};

// httplib keeps its listening socket to itself; a socket systemd made is handed
// to it through the member its own bind fills.
class Server : public httplib::Server {
 public:
  void use_socket(int fd) { svr_sock_ = fd; }
  int socket() const { return svr_sock_; }
};

void answer(Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace),
                  "application/json");
}

void answer(Response& res, const json& body) {
  res.status = 200;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// A refusal before the body is read: the connection is not reused, since the
// unread body would follow.
Screen refuse(Response& res, int status, const std::string& message) {
  answer(res, status, message);
  res.set_header("Connection", "close");
  return Screen::Handled;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool equal_in_constant_time(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  }
  return differ == 0 && !b.empty();
}

bool is_ip_literal(const std::string& host) {
  in6_addr any{};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &any) == 1;
  return inet_pton(AF_INET, host.c_str(), &any) == 1;
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

json parse_object(const Request& req, Response& res) {
  json body;
  try {
    body = json::parse(req.body);
  } catch (const json::parse_error& e) {
    answer(res, 400, std::string("malformed JSON: ") + e.what());
    return nullptr;
  }
  if (!body.is_object()) {
    answer(res, 400, "the body must be a JSON object");
    return nullptr;
  }
  return body;
}

bool only_fields(const json& body, std::initializer_list<const char*> known, Response& res) {
  for (const auto& [key, value] : body.items()) {
    bool found = false;
    for (const char* k : known) found = found || key == k;
    if (!found) {
      answer(res, 400, "unknown field \"" + key + "\"");
      return false;
    }
  }
  return true;
}

// The port number in the path: 1 to 255, as hosts number COM ports.
bool port_of(const Request& req, Response& res, int& port) {
  const std::string digits = req.matches[1];
  port = digits.size() <= 3 ? std::atoi(digits.c_str()) : 0;
  if (port >= 1 && port <= 255) return true;
  answer(res, 404, "no port " + digits + " (ports are 1 to 255)");
  return false;
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

// The frame qelmar_send() would send for `text`, in hex; empty when none.
std::string frame_of(const std::string& text) {
  std::uint8_t frame[128];
  const std::int32_t length = qelmar_encode(text.c_str(), frame, sizeof frame, nullptr, nullptr, 0);
  return length > 0 ? hex({frame, static_cast<std::size_t>(length)}) : std::string();
}

}  // namespace

struct Bridge::Impl {
  BridgeOptions options;
  Server server;
  std::string address;  // what we listen on, as a Host header names it
  bool wildcard = false;
  int listening_port = -1;
  Reaper reaper;

  explicit Impl(BridgeOptions o) : options(std::move(o)) {
    for (std::string& origin : options.allow_origins) origin = lower(origin);
    server.new_task_queue = [this] { return new BoundedPool(options.workers, options.queue); };
    server.set_payload_max_length(options.max_body);
    server.set_read_timeout(options.timeout_seconds, 0);
    server.set_write_timeout(options.timeout_seconds, 0);
    // One request per connection: httplib would read whatever follows a refused
    // request's unread body as the next request.
    server.set_keep_alive_max_count(1);
    server.set_tcp_nodelay(true);
    server.set_pre_routing_handler(
        [this](const Request& req, Response& res) { return screen(req, res); });
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const Request&, Response& res) { return fill_error(res); }));
    server.set_exception_handler([](const Request&, Response& res, const std::exception_ptr&) {
      answer(res, 500, "internal error");
    });
    routes();
  }

  // A request that reaches its handler has been read: out of the reaper's way.
  template <class Handler>
  auto served(Handler handler) {
    return [this, handler](const Request& req, Response& res) {
      reaper.answering(req.remote_port);
      handler(req, res);
    };
  }

  void routes() {
    server.Get("/v1/health", served([this](const Request&, Response& res) {
                 answer(res, json{{"status", "ok"},
                                  {"version", QELMAR_VERSION},
                                  {"sounds", !options.sounds_dir.empty()}});
               }));
    server.Get("/v1/ports", served([](const Request&, Response& res) {
                 res.set_content(ports_json(list_ports(this_machine("/"))), "application/json");
               }));
    server.Get("/v1/client.js", served([this](const Request&, Response& res) {
                 res.set_header("Cache-Control", "no-cache");
                 res.set_content(options.client_js, "text/javascript; charset=utf-8");
               }));
    server.Post(R"(/v1/ports/(\d+)/commands)",
                served([this](const Request& req, Response& res) { commands(req, res); }));
    server.Post(R"(/v1/ports/(\d+)/rc)",
                served([](const Request& req, Response& res) { rc(req, res); }));
    server.Post(R"(/v1/sounds/([A-Za-z0-9_][A-Za-z0-9._-]{0,127}))",
                served([this](const Request& req, Response& res) { sound(req, res); }));
  }

  // Everything a request must pass before its body is read.
  Screen screen(const Request& req, Response& res) const {
    // httplib holds its size limit only against Content-Length: a chunked or
    // compressed body could be of any size once read.
    if (req.has_header("Transfer-Encoding")) {
      return refuse(res, 411, "send the body with a Content-Length, not in chunks");
    }
    if (req.has_header("Content-Encoding")) {
      return refuse(res, 415, "the body must not be compressed");
    }
    if (req.method == "POST" && !req.has_header("Content-Length")) {
      return refuse(res, 411, "a POST needs a Content-Length");
    }
    if (!host_allowed(req.get_header_value("Host"))) {
      return refuse(res, 403,
                    "the Host header must name this service (" + address + ":" +
                        std::to_string(listening_port) + " or localhost)");
    }
    if (req.has_header("Origin")) {
      const std::string origin = req.get_header_value("Origin");
      if (!origin_allowed(origin)) {
        return refuse(res, 403, "origin " + origin + " is not allowed (see --allow-origin)");
      }
      res.set_header("Access-Control-Allow-Origin", origin);
      res.set_header("Vary", "Origin");
    }
    if (req.method == "OPTIONS") {
      // Chromium asks before a page on a public origin may call a local service.
      if (req.has_header("Origin") &&
          lower(req.get_header_value("Access-Control-Request-Private-Network")) == "true") {
        res.set_header("Access-Control-Allow-Private-Network", "true");
      }
      res.set_header("Access-Control-Allow-Methods", "GET, POST");
      res.set_header("Access-Control-Allow-Headers", "Content-Type, Authorization");
      res.set_header("Access-Control-Max-Age", "600");
      res.status = 204;
      return Screen::Handled;
    }
    if (!options.token.empty() && req.path != "/v1/client.js") {
      const std::string given = req.get_header_value("Authorization");
      // The scheme's name is case-insensitive; the token is not.
      const bool bearer = given.size() > 7 && lower(given.substr(0, 7)) == "bearer ";
      if (!bearer || !equal_in_constant_time(given.substr(7), options.token)) {
        res.set_header("WWW-Authenticate", "Bearer");
        return refuse(res, 401,
                      given.empty() ? "a bearer token is required" : "the token is not right");
      }
    }
    if (req.method == "POST") {
      const std::string type = lower(req.get_header_value("Content-Type"));
      if (type != "application/json" && type.rfind("application/json;", 0) != 0) {
        return refuse(res, 415, "the body must be application/json");
      }
    }
    return Screen::Unhandled;
  }

  // Against DNS rebinding: a page from a name that resolves here still sends
  // its own name as the Host.
  bool host_allowed(const std::string& header) const {
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

  bool origin_allowed(const std::string& origin) const {
    const std::string o = lower(origin);
    for (const std::string& allowed : options.allow_origins)
      if (o == allowed) return true;
    return false;
  }

  Screen fill_error(Response& res) const {
    if (!res.body.empty()) return Screen::Unhandled;
    switch (res.status) {
      case 404:
        answer(res, 404, "no such resource");
        break;
      case 413:
        answer(res, 413, "the body is over " + std::to_string(options.max_body) + " bytes");
        break;
      case 400:
        answer(res, 400, "bad request");
        break;
      default:
        answer(res, res.status, "HTTP " + std::to_string(res.status));
    }
    return Screen::Handled;
  }

  // The command texts of a request, as the library takes them; answers 400 and
  // returns false when any of them is wrong, so that none is sent.
  bool texts_of(const json& body, Response& res, std::vector<std::string>& out) const {
    if (body.size() != 1) {
      answer(res, 400, "give one of \"text\", \"texts\" or \"hex\"");
      return false;
    }
    std::vector<std::string> given;
    if (body.contains("hex")) {
      if (!body["hex"].is_string()) return bad(res, "\"hex\" must be a string");
      try {
        out.push_back(from_hex(body["hex"].get<std::string>()));
      } catch (const std::invalid_argument& e) {
        return bad(res, e.what());
      }
    } else if (body.contains("text")) {
      if (!body["text"].is_string()) return bad(res, "\"text\" must be a string");
      given.push_back(body["text"].get<std::string>());
    } else if (body.contains("texts")) {
      const json& texts = body["texts"];
      if (!texts.is_array() || texts.empty() || texts.size() > options.max_texts) {
        return bad(res, "\"texts\" must be an array of 1 to " + std::to_string(options.max_texts) +
                            " strings");
      }
      for (const json& t : texts) {
        if (!t.is_string()) return bad(res, "\"texts\" must hold strings only");
        given.push_back(t.get<std::string>());
      }
    } else {
      return bad(res, "give one of \"text\", \"texts\" or \"hex\"");
    }
    for (const std::string& t : given) {
      try {
        out.push_back(to_device(t, "UTF-8"));
      } catch (const std::runtime_error& e) {
        return bad(res, e.what());
      }
    }
    for (const std::string& t : out) {
      if (t.find('\0') != std::string::npos) return bad(res, "a command cannot hold a NUL byte");
    }
    return true;
  }

  static bool bad(Response& res, const std::string& message) {
    answer(res, 400, message);
    return false;
  }

  void commands(const Request& req, Response& res) const {
    int port = 0;
    if (!port_of(req, res, port)) return;
    const json body = parse_object(req, res);
    std::vector<std::string> texts;
    if (body.is_null() || !texts_of(body, res, texts)) return;

    json results = json::array();
    for (const std::string& text : texts) {
      qelmar_status status;
      const std::int32_t result = qelmar_send(port, text.c_str(), &status);
      json item{{"result", result}, {"frame", frame_of(text)}};
      item.update(outcome_of(status));
      results.push_back(std::move(item));
    }
    answer(res, json{{"port", port}, {"results", std::move(results)}});
  }

  static void rc(const Request& req, Response& res) {
    int port = 0;
    if (!port_of(req, res, port)) return;
    const json body = parse_object(req, res);
    if (body.is_null() || !only_fields(body, {"a", "b"}, res)) return;
    std::int32_t bytes[2] = {};
    const char* names[2] = {"a", "b"};
    for (int i = 0; i < 2; ++i) {
      const json& v = body.contains(names[i]) ? body[names[i]] : json();
      // An unsigned number past 2^63 would wrap round to a negative one.
      const bool fits = v.is_number_unsigned()
                            ? v.get<std::uint64_t>() <= INT32_MAX
                            : v.is_number_integer() && v.get<std::int64_t>() >= INT32_MIN &&
                                  v.get<std::int64_t>() <= INT32_MAX;
      if (!fits) {
        answer(res, 400, std::string("\"") + names[i] + "\" must be a 32-bit integer");
        return;
      }
      bytes[i] = static_cast<std::int32_t>(v.get<std::int64_t>());
    }
    qelmar_status status;
    qelmar_send_rc(port, bytes[0], bytes[1], &status);
    const std::uint8_t frame[3] = {0x12, static_cast<std::uint8_t>(bytes[0] & 0xFF),
                                   static_cast<std::uint8_t>(bytes[1] & 0xFF)};
    json reply{{"port", port}, {"frame", hex(frame)}};
    reply.update(outcome_of(status));
    answer(res, reply);
  }

  // Only a regular file directly in the configured folder: the name can hold
  // no '/', and a link is not followed out of it.
  void sound(const Request& req, Response& res) const {
    const std::string name = req.matches[1];
    struct stat st {};
    const std::string path = options.sounds_dir + "/" + name;
    if (options.sounds_dir.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      answer(res, 404, "no sound " + name);
      return;
    }
    qelmar_status status;
    qelmar_play(path.c_str(), &status);
    const bool alert = status.outcome == QELMAR_ALERT_INSTEAD;
    json reply{{"name", name},
               {"played", status.outcome == QELMAR_DELIVERED},
               {"format", status.sound_format},
               {"seconds", status.sound_seconds},
               {"ending", alert || status.outcome == QELMAR_DELIVERED ? "played" : status.reason}};
    if (alert) reply["fallback"] = status.reason;
    answer(res, reply);
  }

  int learn_address() {
    sockaddr_storage where{};
    socklen_t size = sizeof where;
    int type = 0, listening = 0;
    socklen_t int_size = sizeof type;
    const int fd = server.socket();
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &int_size) != 0 || type != SOCK_STREAM ||
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &int_size) != 0 || !listening) {
      return -1;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (where.ss_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&where);
      inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      address = text;
      wildcard = in->sin_addr.s_addr == htonl(INADDR_ANY);
      listening_port = ntohs(in->sin_port);
    } else if (where.ss_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&where);
      inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
      address = std::string("[") + text + "]";
      wildcard = IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr);
      listening_port = ntohs(in6->sin6_port);
    } else {
      return -1;
    }
    return listening_port;
  }
};

Bridge::Bridge(BridgeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Bridge::~Bridge() = default;

int Bridge::bind(const std::string& host, int port) {
  if (host.find(':') != std::string::npos) impl_->server.set_address_family(AF_INET6);
  const bool bound =
      port == 0 ? impl_->server.bind_to_any_port(host) > 0 : impl_->server.bind_to_port(host, port);
  return bound ? impl_->learn_address() : -1;
}

int Bridge::adopt(int fd) {
  impl_->server.use_socket(fd);
  return impl_->learn_address();
}

bool Bridge::run() {
  if (impl_->listening_port <= 0) return false;
  impl_->reaper.start(impl_->listening_port, std::chrono::seconds(impl_->options.timeout_seconds));
  const bool ran = impl_->server.listen_after_bind();
  impl_->reaper.stop();
  return ran;
}

void Bridge::stop() {
  impl_->reaper.hurry();
  impl_->server.stop();
}

std::vector<int> activated_sockets() {
  std::vector<int> fds;
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || std::atol(pid) != static_cast<long>(::getpid()))
    return fds;
  const int n = std::atoi(count);
  for (int i = 0; i < n && i < 16; ++i) fds.push_back(3 + i);
  // Not for the children of this process.
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  return fds;
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

}  // namespace qelmar::tools
