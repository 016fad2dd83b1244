// SPDX-License-Identifier: MIT
#include "bridge/serve.h"

#include <algorithm>
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

#include "bridge/device_jobs.h"
#include "bridge/handler.h"
#include "bridge/host_calls.h"
#include "bridge/log_writer.h"
#include "bridge/metrics.h"
#include "bridge/work_queue.h"
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

// A connection at the cap that was accepted less than this ago is not cut to
// make room: under a burst of good clients each is read in far less.
constexpr std::chrono::milliseconds eviction_grace{100};
// How long accepting waits when it failed, for want of descriptors most likely.
constexpr std::chrono::milliseconds accept_pause{50};
// How long a refused client's unread bytes are taken and dropped, so that the
// answer reaches it before the connection closes rather than a reset.
constexpr std::chrono::milliseconds linger{1000};
// Log lines that may wait for a stderr nobody reads before they are dropped.
constexpr std::size_t log_backlog = std::size_t{256} * 1024;

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
  int listening_port = -1;
  Handler handler;
  WorkQueue queue;

  explicit Impl(BridgeOptions o)
      : options(std::move(o)),
        log_writer(options.quiet ? nullptr : std::make_unique<LogWriter>(log_backlog)),
        handler(settings_of(options)),
        // A lane for each device: one request's frames go out together. Each
        // may fill a quarter of the queue, 4 places at least.
        queue(options.workers, options.queue,
              std::min(options.queue, std::max<std::size_t>(4, options.queue / 4))) {}

  static HandlerSettings settings_of(const BridgeOptions& o) {
    HandlerSettings s;
    s.allow_origins = o.allow_origins;
    s.token = o.token;
    s.sounds = !o.sounds_dir.empty();
    s.max_body = o.max_body;
    s.max_header = o.max_header;
    s.max_texts = o.max_texts;
    s.client_js = o.client_js;
    s.version = QELMAR_VERSION;
    return s;
  }

  int learn_address() {
    boost::system::error_code ec;
    const tcp::endpoint here = acceptor.local_endpoint(ec);
    if (ec) return -1;
    const net::ip::address a = here.address();
    HandlerSettings& s = handler.settings();
    s.address = a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
    s.wildcard = a.is_unspecified();
    s.port = listening_port = here.port();
    return listening_port;
  }

  void accept();
  void take();
  bool make_room();
  void stop();
  void log(std::string line) const {
    if (log_writer) log_writer->write(std::move(line));
  }

  Answer inline_answer(const Job& job) const;
  std::function<Answer()> job_for(const Job& job);
};

Answer answer_of(DeviceReply r) {
  Answer a = reply(r.status, std::move(r.body));
  a.refusal = std::move(r.refusal);
  a.message = std::move(r.message);
  if (r.retry_later) a.headers.emplace_back("Retry-After", "1");
  return a;
}

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
    // The whole head is bounded below, the request line with it; the parser's
    // own limit leaves the request line out.
    parser_->header_limit(static_cast<std::uint32_t>(server_.options.max_header));
    parser_->body_limit(server_.options.max_body);
    // One deadline for the whole request, headers and body, however its bytes come.
    stream_.expires_after(server_.options.request_timeout);
    read();
  }

  bool reading() const { return state_ == State::reading || state_ == State::draining; }
  bool draining() const { return state_ == State::draining; }
  // Bytes of the request a second since it was accepted, over the grace at
  // least: what eviction goes by.
  double progress(Clock::time_point now) const {
    const std::chrono::duration<double> over =
        std::max<Clock::duration>(now - since_, eviction_grace);
    return static_cast<double>(received_) / over.count();
  }
  Clock::duration age(Clock::time_point now) const { return now - since_; }

  // Cut to make room for a newer connection, or as the service stops.
  void cut(const char* why, const char* reason) {
    if (state_ == State::reading) end_unanswered(why, reason);
    state_ = State::closed;
    stream_.close();
  }

 private:
  enum class State { reading, answering, writing, draining, closed };

  // The request is read a read at a time and each read's bytes parsed at once,
  // so that the time of the last byte is known.
  void read() {
    const std::size_t room = buffer_.max_size() - buffer_.size();
    if (room == 0) return failed(http::error::buffer_overflow);
    stream_.async_read_some(buffer_.prepare(std::min<std::size_t>(room, 16384)),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->received(ec, n);
                            });
  }

  void received(beast::error_code ec, std::size_t n) {
    if (state_ != State::reading) return;
    if (ec) return failed(ec == net::error::eof ? http::error::partial_message : ec);
    buffer_.commit(n);
    received_ += n;
    parse();
  }

  void parse() {
    const std::size_t max_header = server_.options.max_header;
    while (buffer_.size() > 0) {
      beast::error_code ec;
      const bool had_head = parser_->is_header_done();
      const std::size_t used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      if (!had_head) head_bytes_ += used;
      if (ec && ec != http::error::need_more) return failed(ec);
      if (!had_head && parser_->is_header_done()) {
        if (head_bytes_ > max_header) return failed(http::error::header_limit);
        return on_header();
      }
      // A head not yet whole needs at least one byte more than it has.
      if (!had_head && head_bytes_ + buffer_.size() >= max_header) {
        return failed(http::error::header_limit);
      }
      if (parser_->is_done()) return dispatch();
      if (used == 0) break;
    }
    read();
  }

  void on_header() {
    const auto& req = parser_->get();
    head_.method = std::string(req.method_string());
    head_.target = std::string(req.target());
    for (const auto& field : req)
      head_.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
    if (parser_->content_length()) head_.content_length = *parser_->content_length();
    head_read_ = true;
    if (std::optional<Answer> refused = server_.handler.screen(head_)) {
      return answer(*refused, true);
    }
    if (parser_->is_done()) return dispatch();
    // A client that asked to be told first (curl does for a large body)
    // otherwise waits its own timeout before it sends the body. Refusals came
    // above, with their status instead.
    if (lower(head_["Expect"]) == "100-continue") {
      proceed_.emplace(http::status::continue_, 11);
      http::async_write(stream_, *proceed_,
                        [self = shared_from_this()](beast::error_code e, std::size_t) {
                          if (e) return self->failed(e);
                          self->parse();
                        });
      return;
    }
    parse();
  }

  void failed(beast::error_code ec) {
    if (state_ == State::closed) return;
    if (ec == http::error::header_limit) return answer(server_.handler.header_too_large(), true);
    if (ec == http::error::body_limit) return answer(server_.handler.body_too_large(), true);
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

  void dispatch() {
    Decision decided = server_.handler.decide(head_, parser_->get().body());
    const Job& route = decided.job;
    std::function<Answer()> job = server_.job_for(route);
    if (!job) {
      return answer(route.kind == Job::Kind::none ? std::move(decided.answer)
                                                  : server_.inline_answer(route));
    }
    state_ = State::answering;
    // The device calls run on the workers, a device's in turn; the answer comes back here.
    const bool on_port = route.kind == Job::Kind::commands || route.kind == Job::Kind::rc;
    const WorkQueue::Pushed pushed = server_.queue.push(
        on_port ? device_lane(route.port) : std::string(),
        [self = shared_from_this(), job = std::move(job)]() mutable {
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
    if (pushed == WorkQueue::Pushed::lane_full) {
      Answer busy = error(
          503,
          (on_port ? "port " + std::to_string(route.port) : std::string("this kind of request")) +
              " has its share of the display's queue (" +
              std::to_string(server_.queue.lane_limit()) + ") waiting; try again shortly",
          "lane_full");
      busy.headers.emplace_back("Retry-After", "1");
      answer(busy);
    } else if (pushed != WorkQueue::Pushed::queued) {
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
    const std::string method = head_read_ ? loggable(head_.method) : "-";
    const std::string path = head_read_ ? loggable(head_.target) : "-";
    return utc_now() + " " + peer_ + " " + method + " " + path + " " + status + " " +
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
    if (head_read_) {
      for (const auto& [key, value] : server_.handler.cors(head_)) res.set(key, value);
    }
    res.keep_alive(false);  // one request per connection: nothing after it is read
    if (head_read_ && head_only(head_)) {
      res.content_length(a.body.size());  // what the GET would have sent
    } else {
      res.body() = std::move(a.body);
      res.prepare_payload();
    }
    server_.metrics.request(a.status);
    if (!a.refusal.empty()) server_.metrics.refusal(a.refusal);
    stream_.expires_after(server_.options.write_timeout);
    http::async_write(
        stream_, res,
        [self = shared_from_this(), unread, a = std::move(a)](
            beast::error_code ec, std::size_t bytes) { self->written(ec, bytes, a, unread); });
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
  std::size_t received_ = 0;
  std::size_t head_bytes_ = 0;  // of the head, the request line with it
  RequestHead head_;
  bool head_read_ = false;
  State state_ = State::reading;
};

// What needs the service's own state is answered on the I/O thread.
Answer Bridge::Impl::inline_answer(const Job& job) const {
  if (job.kind == Job::Kind::metrics) {
    return reply(200, metrics.exposition(queue.depth(), log_writer ? log_writer->dropped() : 0),
                 "text/plain; version=0.0.4");
  }
  return error(404, "no such resource");
}

// The work for the queue, its body checked by the handler first so that a
// wrong request costs no worker; empty for what is answered at once.
std::function<Answer()> Bridge::Impl::job_for(const Job& job) {
  Impl* self = this;
  // From now, as the request has just been read.
  const Deadline deadline = Deadline::from_now(options.request_timeout);
  switch (job.kind) {
    case Job::Kind::ports:
      return [] { return reply(200, ports_json()); };
    case Job::Kind::commands:
      return [self, port = job.port, texts = job.texts, deadline] {
        return answer_of(send_texts(self->metrics, port, texts, deadline));
      };
    case Job::Kind::rc:
      return [self, port = job.port, a = job.a, b = job.b, deadline] {
        return answer_of(send_rc(self->metrics, port, a, b, deadline));
      };
    case Job::Kind::sound:
      return [self, name = job.name, deadline] {
        return answer_of(play_sound(self->options.sounds_dir, name, deadline));
      };
    default:
      return {};
  }
}

// At the cap, a connection still reading its request makes room (one already
// answered first): the one that has sent the fewest bytes a second, counted
// over a fair moment at least. One that has not had its moment yet is waited
// for rather than another cut: a client sending its request steadily is not
// cut for one that dribbles, however often that one comes back. Meanwhile new
// ones wait in the kernel's backlog.
bool Bridge::Impl::make_room() {
  if (open.size() < options.max_connections) return true;
  const auto now = Clock::now();
  Connection* slowest = nullptr;
  for (const auto& [id, connection] : open) {
    if (!connection->reading()) continue;
    if (connection->draining()) {
      slowest = connection;
      break;
    }
    if (slowest == nullptr || connection->progress(now) < slowest->progress(now))
      slowest = connection;
  }
  if (slowest == nullptr) {
    accept_wait.expires_after(std::chrono::milliseconds(10));
    return false;
  }
  if (!slowest->draining() && slowest->age(now) < eviction_grace) {
    accept_wait.expires_after(eviction_grace - slowest->age(now) + std::chrono::milliseconds(1));
    return false;
  }
  slowest->cut(
      ("evicted at the connection cap (" + std::to_string(options.max_connections) + ")").c_str(),
      "evicted");
  return true;
}

void Bridge::Impl::accept() {
  if (!acceptor.is_open()) return;
  // At the cap, room is made only for a client that is there to take it.
  if (open.size() >= options.max_connections) {
    acceptor.async_wait(tcp::acceptor::wait_read, [this](beast::error_code ec) {
      if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
      // Straight to accepting: the one just cut is counted until it has ended.
      if (!ec && make_room()) return take();
      if (ec) accept_wait.expires_after(accept_pause);
      accept_wait.async_wait([this](beast::error_code e) {
        if (!e) accept();
      });
    });
    return;
  }
  take();
}

void Bridge::Impl::take() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors (or memory) the connection stays in the backlog and
      // accept fails again at once: wait a moment rather than spin.
      accept_wait.expires_after(accept_pause);
      accept_wait.async_wait([this](beast::error_code e) {
        if (!e) accept();
      });
      return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    std::make_shared<Connection>(*this, std::move(socket))->start();
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
  impl_->acceptor.assign(socket.ipv6 ? tcp::v6() : tcp::v4(),
                         static_cast<tcp::acceptor::native_handle_type>(socket.handle), ec);
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

}  // namespace qelmar::bridge
