// SPDX-License-Identifier: MIT
// The bridge under load: requests per second and latency for a 6-byte frame
// through qelmar-serve, beside the same call made directly through the host
// library, and the bridge's memory while idle and while connections stall.
// Every program measured runs in the same run, point after point, so that the
// ratios between them hold on a noisy machine. See docs/performance.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qelmar/host.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int display_port = 3;
constexpr const char* command = "12.5H";
constexpr int frame_bytes = 6;
// 2400 baud, a start bit, 8 data bits and a stop bit.
constexpr double byte_ms = 10.0 * 1000.0 / 2400.0;

double since_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A pseudo-terminal linked as DIR/comN, with a thread draining it as a display
// would, counting the bytes that arrive.
class Line {
 public:
  Line() {
    char tmpl[] = "/tmp/qelmar-bridge-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    char name[256];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty");
    std::filesystem::create_symlink(name, dir_ + "/com" + std::to_string(display_port));
    ::setenv("QELMAR_DEVICE_DIR", dir_.c_str(), 1);
    reader_ = std::thread([this] { drain(); });
  }
  ~Line() {
    stop_ = true;
    reader_.join();
    ::close(slave_);  // held open so that the master never sees a hang-up
    ::close(master_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  long long bytes() const { return bytes_; }

 private:
  void drain() {
    char chunk[4096];
    while (!stop_) {
      pollfd ready{master_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const ssize_t n = ::read(master_, chunk, sizeof chunk);
      if (n > 0) bytes_ += n;
    }
  }

  std::string dir_;
  int master_ = -1;
  int slave_ = -1;
  std::atomic<long long> bytes_{0};
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

long rss_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  }
  return -1;
}

sockaddr_in loopback(int port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  return at;
}

// A program that answers HTTP on a loopback port: a bridge, or the fixed
// answerer that shows what the load generator can do.
class Server {
 public:
  virtual ~Server() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  Server() = default;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  pid_t pid() const { return pid_; }
  int port() const { return port_; }

 protected:
  pid_t pid_ = -1;
  int port_ = 0;
};

class Bridge : public Server {
 public:
  // Starts PATH on a free loopback port and reads the port it says.
  Bridge(const std::string& path, const std::vector<std::string>& extra, const std::string& log) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> args{path, "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) ::dup2(err, 2);
      std::vector<char*> argv;
      argv.reserve(args.size() + 1);
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::string said;
    char c = 0;
    pollfd ready{out[0], POLLIN, 0};
    while (said.find('\n') == std::string::npos && ::poll(&ready, 1, 10000) > 0 &&
           ::read(out[0], &c, 1) == 1) {
      said += c;
    }
    ::close(out[0]);
    const std::size_t at = said.rfind("port ");
    if (at == std::string::npos) throw std::runtime_error(path + " said: " + said);
    port_ = std::stoi(said.substr(at + 5));
  }
};

// One process answering every request with the same few bytes, one at a time.
class FixedAnswer : public Server {
 public:
  FixedAnswer() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = loopback(0);
    socklen_t size = sizeof at;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, SOMAXCONN) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
      throw std::runtime_error("cannot listen for the fixed answer");
    }
    port_ = ntohs(at.sin_port);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) serve(listener);
    ::close(listener);
  }

 private:
  [[noreturn]] static void serve(int listener) {
    static const char answer[] =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 16\r\n"
        "Connection: close\r\n\r\n{\"status\":\"ok\"}\n";
    for (;;) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      std::string request;
      char chunk[2048];
      ssize_t n = 0;
      while (request.find("\r\n\r\n") == std::string::npos &&
             (n = ::read(fd, chunk, sizeof chunk)) > 0) {
        request.append(chunk, static_cast<std::size_t>(n));
      }
      if (::write(fd, answer, sizeof answer - 1) < 0) {
        // the client went away; nothing to tell it
      }
      ::close(fd);
    }
  }
};

struct Answer {
  int status = 0;
  std::string body;
};

bool write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One request on a connection of its own, as the bridge's clients make them.
// The status is 0 when the connection failed or the answer did not come whole.
Answer exchange(int port, const std::string& request, int timeout_s = 10) {
  Answer answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return answer;
  const timeval limit{timeout_s, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const sockaddr_in at = loopback(port);
  std::string got;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
      write_all(fd, request)) {
    char chunk[4096];
    std::size_t head_end = std::string::npos;
    std::size_t length = 0;
    for (;;) {
      if (head_end != std::string::npos && got.size() >= head_end + 4 + length) break;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      got.append(chunk, static_cast<std::size_t>(n));
      if (head_end == std::string::npos && (head_end = got.find("\r\n\r\n")) != std::string::npos) {
        std::string head = got.substr(0, head_end);
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::size_t field = head.find("\r\ncontent-length:");
        if (field != std::string::npos) length = std::stoul(head.substr(field + 17));
      }
    }
    if (head_end != std::string::npos && got.size() >= head_end + 4 + length &&
        got.compare(0, 9, "HTTP/1.1 ") == 0) {
      answer.status = std::stoi(got.substr(9, 3));
      answer.body = got.substr(head_end + 4, length);
    }
  }
  ::close(fd);
  return answer;
}

std::string get(int port, const std::string& path) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\n\r\n";
}

std::string post(int port, const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

bool delivered(const Answer& a) {
  if (a.status != 200) return false;
  const std::size_t key = a.body.find("\"delivered\"");
  if (key == std::string::npos) return false;
  const std::size_t value = a.body.find_first_not_of(": \t", key + 11);
  return value != std::string::npos && a.body.compare(value, 4, "true") == 0;
}

struct Point {
  double per_second = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  double p999_ms = 0;
  double max_ms = 0;
  long long done = 0;
  long long failed = 0;
  long long succeeded_with_warmup = 0;
  long peak_rss_kb = -1;
};

// What one client thread saw.
struct Calls {
  std::vector<double> times;  // of counted calls that succeeded
  long long failed = 0;
  long long succeeded_with_warmup = 0;
};

void call_until(Clock::time_point start, Clock::time_point end, const std::function<bool()>& one,
                Calls& calls) {
  calls.times.reserve(1 << 16);
  for (;;) {
    const auto began = Clock::now();
    if (began >= end) break;
    const bool ok = one();
    if (ok) ++calls.succeeded_with_warmup;
    if (began < start) continue;
    if (ok) {
      calls.times.push_back(since_ms(began));
    } else {
      ++calls.failed;
    }
  }
}

// `clients` threads call `one` back to back for `seconds`, after a short
// warm-up whose calls are not counted. `one` says whether the call succeeded.
Point load(int clients, double seconds, const std::function<bool()>& one, pid_t watched = -1) {
  const auto warm = milliseconds(200);
  const auto start = Clock::now() + warm;
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<Calls> calls(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  threads.reserve(calls.size());
  for (Calls& c : calls) threads.emplace_back([&] { call_until(start, end, one, c); });
  Point point;
  while (Clock::now() < end) {
    if (watched > 0) point.peak_rss_kb = std::max(point.peak_rss_kb, rss_kb(watched));
    std::this_thread::sleep_for(milliseconds(100));
  }
  for (std::thread& t : threads) t.join();
  std::vector<double> all;
  for (const Calls& c : calls) {
    all.insert(all.end(), c.times.begin(), c.times.end());
    point.failed += c.failed;
    point.succeeded_with_warmup += c.succeeded_with_warmup;
  }
  point.done = static_cast<long long>(all.size());
  point.per_second = static_cast<double>(all.size()) / seconds;
  if (!all.empty()) {
    std::sort(all.begin(), all.end());
    point.p50_ms = all[all.size() / 2];
    point.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    point.p999_ms = all[std::min(all.size() - 1, all.size() * 999 / 1000)];
    point.max_ms = all.back();
  }
  return point;
}

struct Stall {
  long idle_kb = -1;
  long held_kb = -1;
  long after_kb = -1;
  int opened = 0;
  int cut_while_held = 0;
  double good_ms = -1;  // a good request made while they stall; -1: no answer
  double cut_ms = 0;    // when they were cut, from when that request began
};

// Connections to `port`, all begun at once; the bridge's backlog decides how
// many get through.
std::vector<pollfd> connect_all(int port, int count) {
  std::vector<pollfd> fds;
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    const sockaddr_in at = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 &&
        errno != EINPROGRESS) {
      ::close(fd);
      continue;
    }
    fds.push_back({fd, POLLOUT, 0});
  }
  return fds;
}

// Sends `bytes` on each connection that is up within `wait`; says which took them.
std::vector<bool> send_within(std::vector<pollfd>& fds, const std::string& bytes,
                              milliseconds wait) {
  std::vector<bool> sent(fds.size(), false);
  std::vector<bool> tried(fds.size(), false);
  const auto began = Clock::now();
  while (std::find(tried.begin(), tried.end(), false) != tried.end() &&
         Clock::now() - began < wait) {
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (tried[i] || (fds[i].revents & POLLOUT) == 0) continue;
      tried[i] = true;
      fds[i].events = 0;
      sent[i] = ::send(fds[i].fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(bytes.size());
    }
  }
  return sent;
}

// `count` connections each send the first lines of a request and stop; held
// for `hold_s`, while one good request is made, then cut.
Stall stall(const Bridge& bridge, int count, double hold_s) {
  Stall s;
  s.idle_kb = rss_kb(bridge.pid());
  const std::string partial =
      "POST /v1/ports/3/commands HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(bridge.port()) +
      "\r\nContent-Type: application/json\r\n";
  std::vector<pollfd> fds = connect_all(bridge.port(), count);
  const std::vector<bool> sent = send_within(fds, partial, milliseconds(2000));
  s.opened = static_cast<int>(std::count(sent.begin(), sent.end(), true));
  const auto began = Clock::now();
  std::this_thread::sleep_for(milliseconds(300));
  std::atomic<double> good{-1};
  const auto asked = Clock::now();
  std::thread asker([&] {
    const auto at = asked;
    const Answer a =
        exchange(bridge.port(), post(bridge.port(), "/v1/ports/3/commands", R"({"text":"12.5H"})"),
                 static_cast<int>(hold_s) + 10);
    if (delivered(a)) good = since_ms(at);
  });
  while (since_ms(began) < hold_s * 1000) {
    s.held_kb = std::max(s.held_kb, rss_kb(bridge.pid()));
    std::this_thread::sleep_for(milliseconds(100));
  }
  s.cut_ms = since_ms(asked);
  for (std::size_t i = 0; i < fds.size(); ++i) {
    char c = 0;
    const ssize_t n = ::recv(fds[i].fd, &c, 1, MSG_DONTWAIT);
    if (sent[i] && (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)))
      ++s.cut_while_held;
    ::close(fds[i].fd);
  }
  asker.join();
  s.good_ms = good;
  std::this_thread::sleep_for(milliseconds(1000));
  s.after_kb = rss_kb(bridge.pid());
  return s;
}

std::string thousands(double value) {
  std::string digits = std::to_string(std::llround(value));
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
    digits.insert(static_cast<std::size_t>(i), ",");
  return digits;
}

std::string fixed(double value, int places) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  return text;
}

// Points by what was measured, in the order first measured: for each count of
// clients, one point a round.
class Results {
 public:
  explicit Results(std::vector<int> clients) : clients_(std::move(clients)) {}

  void add(const std::string& what, std::size_t at, int round, const Point& p) {
    auto found = std::find_if(series_.begin(), series_.end(),
                              [&](const Series& x) { return x.what == what; });
    if (found == series_.end()) {
      series_.push_back({what, std::vector<std::vector<Point>>(clients_.size())});
      found = series_.end() - 1;
    }
    found->points[at].push_back(p);
    std::printf("| %d | %s | %d | %s | %s | %s | %s | %s | %s | %s |\n", round + 1, what.c_str(),
                clients_[at], thousands(p.per_second).c_str(), fixed(p.p50_ms, 2).c_str(),
                fixed(p.p99_ms, 2).c_str(), fixed(p.p999_ms, 2).c_str(), fixed(p.max_ms, 1).c_str(),
                p.failed > 0 ? std::to_string(p.failed).c_str() : "",
                p.peak_rss_kb > 0 ? thousands(static_cast<double>(p.peak_rss_kb)).c_str() : "");
    std::fflush(stdout);
  }

  // Medians over the rounds, with the range of requests per second.
  void summary() const {
    std::printf(
        "\nMedians over the rounds:\n\n| What | Clients | Per second (range) | p50 ms | p99 ms | "
        "p99.9 ms |\n|---|---|---|---|---|---|\n");
    for (const Series& x : series_) {
      for (std::size_t i = 0; i < clients_.size(); ++i) {
        const std::vector<Point>& p = x.points[i];
        const auto median = [&](double Point::*field) {
          std::vector<double> v;
          v.reserve(p.size());
          for (const Point& one : p) v.push_back(one.*field);
          std::sort(v.begin(), v.end());
          return v.empty() ? 0.0 : v[v.size() / 2];
        };
        const auto [low, high] = std::minmax_element(
            p.begin(), p.end(),
            [](const Point& l, const Point& r) { return l.per_second < r.per_second; });
        std::printf(
            "| %s | %d | %s (%s to %s) | %s | %s | %s |\n", x.what.c_str(), clients_[i],
            thousands(median(&Point::per_second)).c_str(), thousands(low->per_second).c_str(),
            thousands(high->per_second).c_str(), fixed(median(&Point::p50_ms), 2).c_str(),
            fixed(median(&Point::p99_ms), 2).c_str(), fixed(median(&Point::p999_ms), 2).c_str());
      }
    }
  }

  // The ratio of `top`'s requests per second to `bottom`'s, round by round:
  // lowest to highest.
  void ratio(const std::string& top, const std::string& bottom) const {
    const Series& t = find(top);
    const Series& b = find(bottom);
    std::printf("  %s / %s:", top.c_str(), bottom.c_str());
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      double low = 1e300;
      double high = 0;
      for (std::size_t r = 0; r < t.points[i].size() && r < b.points[i].size(); ++r) {
        const double q = t.points[i][r].per_second / std::max(1.0, b.points[i][r].per_second);
        low = std::min(low, q);
        high = std::max(high, q);
      }
      std::printf("%s %d clients %s to %s", i == 0 ? "" : ";", clients_[i], fixed(low, 2).c_str(),
                  fixed(high, 2).c_str());
    }
    std::printf("\n");
  }

 private:
  struct Series {
    std::string what;
    std::vector<std::vector<Point>> points;
  };
  const Series& find(const std::string& what) const {
    return *std::find_if(series_.begin(), series_.end(),
                         [&](const Series& x) { return x.what == what; });
  }

  std::vector<int> clients_;
  std::vector<Series> series_;
};

struct Named {
  std::string name;
  std::unique_ptr<Bridge> bridge;
  long started_kb = -1;  // after its first answer
};

int run(int argc, char** argv) {
  CLI::App app{"Requests per second and latency through the bridge, beside direct calls."};
  std::vector<std::string> given;
  std::vector<int> clients{1, 8, 32};
  double seconds = 2;
  int rounds = 3;
  int stalled = 200;
  double hold = 4;
  std::string log = "/dev/null";
  app.add_option("--bridge", given, "NAME=PATH of a qelmar-serve to measure (repeat to compare)")
      ->required();
  app.add_option("--clients", clients, "Concurrent clients at each point")->capture_default_str();
  app.add_option("--seconds", seconds, "Seconds measured at each point")->capture_default_str();
  app.add_option("--rounds", rounds, "Rounds of every point, alternating the bridges' order")
      ->capture_default_str();
  app.add_option("--stalled", stalled, "Connections that send part of a request and stop")
      ->capture_default_str();
  app.add_option("--hold", hold, "Seconds the stalled connections are held")->capture_default_str();
  app.add_option("--bridge-log", log, "Where the bridges' standard error goes")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  std::signal(SIGPIPE, SIG_IGN);

  const Line line;
  std::vector<Named> bridges;
  for (const std::string& one : given) {
    const std::size_t eq = one.find('=');
    const std::string name = eq == std::string::npos ? "bridge" : one.substr(0, eq);
    const std::string path = eq == std::string::npos ? one : one.substr(eq + 1);
    Named n{name, std::make_unique<Bridge>(path, std::vector<std::string>{}, log)};
    exchange(n.bridge->port(), get(n.bridge->port(), "/v1/health"));
    n.started_kb = rss_kb(n.bridge->pid());
    bridges.push_back(std::move(n));
  }
  const FixedAnswer fixed_answer;

  std::printf(
      "The line: %d bytes x %.2f ms (10 bits at 2400 baud) = %.1f ms a frame, so at most "
      "%.0f frames a second on one port.\n",
      frame_bytes, byte_ms, frame_bytes * byte_ms, 1000.0 / (frame_bytes * byte_ms));
  std::printf(
      "Each request on a connection of its own (Connection: close); %.1f s a point, %d rounds.\n\n",
      seconds, rounds);
  std::printf(
      "| Round | What | Clients | Per second | p50 ms | p99 ms | p99.9 ms | max ms | failed | "
      "bridge RSS KiB, highest |\n|---|---|---|---|---|---|---|---|---|---|\n");

  long long delivered_calls = 0;
  const long long line_before = line.bytes();
  Results results(clients);
  const std::string direct = std::string("qelmar_send(3, \"") + command + "\") in-process";
  const std::string ceiling = "fixed answer, one process (the generator's ceiling)";
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t at = 0; at < clients.size(); ++at) {
      const int c = clients[at];
      const std::string trivial = get(fixed_answer.port(), "/v1/health");
      results.add(ceiling, at, round, load(c, seconds, [&] {
                    return exchange(fixed_answer.port(), trivial).status == 200;
                  }));
      const Point p = load(c, seconds, [&] {
        qelmar_status status;
        QELMAR_STATUS_INIT(status);
        qelmar_send(display_port, command, &status);
        return status.outcome == QELMAR_DELIVERED;
      });
      delivered_calls += p.succeeded_with_warmup;
      results.add(direct, at, round, p);
      // Every other round the bridges take their turns the other way round.
      for (std::size_t i = 0; i < bridges.size(); ++i) {
        const Named& n = bridges[round % 2 == 0 ? i : bridges.size() - 1 - i];
        const int port = n.bridge->port();
        const std::string health = get(port, "/v1/health");
        results.add(n.name + ": GET /v1/health", at, round,
                    load(c, seconds, [&] { return exchange(port, health).status == 200; }));
        const std::string send =
            post(port, "/v1/ports/3/commands", std::string(R"({"text":")") + command + "\"}");
        const Point q = load(
            c, seconds, [&] { return delivered(exchange(port, send)); }, n.bridge->pid());
        delivered_calls += q.succeeded_with_warmup;
        results.add(n.name + ": POST " + command, at, round, q);
      }
    }
  }
  std::this_thread::sleep_for(milliseconds(300));
  const long long arrived = line.bytes() - line_before;
  std::printf("\nThe line read %lld bytes for %lld calls answered as delivered: %s.\n", arrived,
              delivered_calls,
              arrived == delivered_calls * frame_bytes ? "6 bytes each" : "MISMATCH");
  results.summary();
  std::printf("\nRatios of requests per second, round by round (lowest to highest):\n");
  for (const Named& n : bridges) results.ratio(direct, n.name + ": POST " + command);
  for (std::size_t i = 1; i < bridges.size(); ++i) {
    results.ratio(bridges[i].name + ": POST " + command, bridges[0].name + ": POST " + command);
  }

  std::printf(
      "\n| Bridge | RSS at start | idle after the load | %d stalled, held %.0f s | after they are "
      "cut | stalled "
      "connections cut by the bridge while held | a good request while they stall |\n"
      "|---|---|---|---|---|---|---|\n",
      stalled, hold);
  for (const Named& n : bridges) {
    const Stall s = stall(*n.bridge, stalled, hold);
    std::string good = s.good_ms < 0 ? "no answer" : fixed(s.good_ms, 1) + " ms";
    if (s.good_ms > s.cut_ms) good += " (after the cut, at " + fixed(s.cut_ms, 0) + " ms)";
    std::printf("| %s | %s KiB | %s KiB | %s KiB | %s KiB | %d of %d | %s |\n", n.name.c_str(),
                thousands(static_cast<double>(n.started_kb)).c_str(),
                thousands(static_cast<double>(s.idle_kb)).c_str(),
                thousands(static_cast<double>(s.held_kb)).c_str(),
                thousands(static_cast<double>(s.after_kb)).c_str(), s.cut_while_held, s.opened,
                good.c_str());
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bridge_bench: %s\n", e.what());
    return 1;
  }
}
