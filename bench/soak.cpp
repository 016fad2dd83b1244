// SPDX-License-Identifier: MIT
// Soak: host processes call on several pseudo-terminal ports for a while, as
// faults come and go, and every frame that reaches a line is checked against
// the outcome its call was told. The hosts log each call to a FIFO that soak
// reads, and stops reading now and then; some calls are made by children the
// hosts fork. See docs/performance.md.
#include "bench/soak.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak_ledger.h"

namespace qelmar::soak {
namespace {

using std::chrono::milliseconds;

constexpr std::int64_t ms_ns = 1'000'000;
// A reader stops for less than a host lives before it can be killed, so that a
// killed host's frames have all been read before its streams are reused.
constexpr std::int64_t longest_fault_ns = 1500 * ms_ns;
constexpr std::int64_t youngest_kill_ns = 2000 * ms_ns;
// A call that ends this soon after a fault was still feeling it.
constexpr std::int64_t fault_grace_ns = 100 * ms_ns;

struct Options {
  int processes = 3;
  int threads = 2;
  int ports = 3;
  double seconds = 20;
  std::uint64_t schedule = 0;
  int fork_every = 40;
  bool log = true;
  bool check = false;
  std::uint32_t host_gen = 0;  // set for a host process
  int host_slot = 0;
};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void sleep_ns(std::int64_t ns) {
  if (ns > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

// A display: a pseudo-terminal linked as DIR/comN, its master read by soak.
// Soak keeps the slave open too, so that the master never sees a hang-up.
struct Line {
  int number = 0;
  int master = -1, slave = -1;
  std::string slave_path, link;
  std::atomic<bool> reading = true;
  std::unique_ptr<LineParser> parser;
  int holder = -1;  // a foreign program's descriptor
};

std::unique_ptr<Line> make_line(const std::string& dir, int number, Ledger& ledger) {
  auto line = std::make_unique<Line>();
  line->number = number;
  char name[PATH_MAX];
  if (::openpty(&line->master, &line->slave, name, nullptr, nullptr) != 0) fail("openpty");
  for (const int fd : {line->master, line->slave}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(line->master, F_SETFL, ::fcntl(line->master, F_GETFL) | O_NONBLOCK);
  line->slave_path = name;
  line->link = dir + "/com" + std::to_string(number);
  if (::symlink(name, line->link.c_str()) != 0) fail("symlink " + line->link);
  line->parser = std::make_unique<LineParser>(ledger, number);
  return line;
}

// A display that stops reading: the line fills up, so that calls meet a full
// line at once rather than after tens of kilobytes. Set up as the library sets
// the line, since a change of settings would make room again.
void fill(const Line& line) {
  const int fd = ::open(line.slave_path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  termios raw{};
  ::tcgetattr(fd, &raw);
  ::cfmakeraw(&raw);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  raw.c_cflag |= CS8 | CREAD | CLOCAL;
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  ::cfsetispeed(&raw, B2400);
  ::cfsetospeed(&raw, B2400);
  ::tcsetattr(fd, TCSANOW, &raw);
  const std::vector<std::uint8_t> block(4096, filler_byte);
  // The kernel moves bytes on to the reader's side in the background, which
  // makes room again: full is when a pause made none.
  for (bool wrote = true; wrote;) {
    wrote = false;
    while (::write(fd, block.data(), block.size()) > 0) wrote = true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  ::close(fd);
}

// When faults were on each port (0: every port), to tell give-ups they explain
// from those nothing explains.
class FaultLog {
 public:
  std::size_t begin(int port) {
    const std::lock_guard lock(mutex_);
    const std::int64_t now = now_ns();
    // Reports arrive within moments of their calls; old windows only cost time.
    std::erase_if(windows_, [now](const Window& w) { return w.end < now - 10'000 * ms_ns; });
    windows_.push_back({++last_, port, now, INT64_MAX});
    return last_;
  }
  void end(std::size_t id) {
    const std::lock_guard lock(mutex_);
    for (Window& w : windows_) {
      if (w.id == id) w.end = now_ns() + fault_grace_ns;
    }
  }
  bool covers(int port, std::int64_t start, std::int64_t end) {
    const std::lock_guard lock(mutex_);
    return std::any_of(windows_.begin(), windows_.end(), [&](const Window& w) {
      return (w.port == 0 || w.port == port) && w.begin <= end && w.end >= start;
    });
  }

 private:
  struct Window {
    std::size_t id;
    int port;
    std::int64_t begin, end;
  };
  std::mutex mutex_;
  std::vector<Window> windows_;
  std::size_t last_ = 0;
};

struct Usage {
  long rss_kb = -1;
  int fds = -1;
};

struct Descriptors {
  int others = -1;    // not on a port
  bool port = false;  // one on a port: a call is on it
};

Descriptors descriptors(pid_t pid, const std::vector<std::string>& ports) {
  Descriptors d;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* entries = ::opendir(dir.c_str());
  if (entries == nullptr) return d;
  d.others = pid == ::getpid() ? -1 : 0;  // the directory being read
  while (const dirent* e = ::readdir(entries)) {
    char target[PATH_MAX] = {};
    if (e->d_name[0] == '.' ||
        ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) <= 0) {
      continue;
    }
    const bool port = std::find(ports.begin(), ports.end(), target) != ports.end();
    d.port = d.port || port;
    d.others += port ? 0 : 1;
  }
  ::closedir(entries);
  return d;
}

// The ports a call holds open for moments are left out of the count.
Usage usage_of(pid_t pid, const std::vector<std::string>& ports) {
  Usage u;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;) {
    if (key == "VmRSS:") status >> u.rss_kb;
    status.ignore(INT_MAX, '\n');
  }
  u.fds = descriptors(pid, ports).others;
  return u;
}

struct Host {
  pid_t pid = -1;
  int control = -1;  // its standard input: closed to end it
  std::uint32_t gen = 0;
  std::int64_t started = 0;
  Usage at_start;
};

enum Kind {
  reader_stopped,
  link_vanished,
  host_killed_kind,
  flock_holder,
  exclusive_holder,
  log_stalled,
  kinds
};

struct Active {
  Kind kind;
  Line* line;
  std::int64_t until;
  std::size_t window;
};

class Soak {
 public:
  explicit Soak(const Options& o)
      : o_(o), ledger_(o.threads, o.ports), random_(o.schedule), hosts_(std::size_t(o.processes)) {}
  ~Soak();
  Soak(const Soak&) = delete;
  Soak& operator=(const Soak&) = delete;
  int run();

 private:
  void set_up();
  void drive(std::int64_t deadline);
  void spawn(int slot);
  void read_lines();
  void read_reports();
  void take_report(const Record& r);
  void read_log();
  void take_log_line(const std::string& line);
  void inject();
  void end_fault(const Active& a);
  bool kill_one();
  void reap_deaths();
  void replace(int slot, std::int64_t gone_at);
  int stop_hosts();
  int print(const Summary& s, const std::vector<Usage>& hosts_end, const Usage& soak_start,
            const Usage& soak_end, int stragglers);

  Options o_;
  Ledger ledger_;
  FaultLog faults_;
  std::mt19937_64 random_;
  std::string exe_, dir_;
  std::vector<std::unique_ptr<Line>> lines_;
  std::vector<std::string> ports_;  // the lines' devices
  std::vector<Host> hosts_;
  int report_read_ = -1, report_write_ = -1;
  std::atomic<bool> draining_ = false;
  std::vector<Active> active_;
  std::array<std::uint64_t, kinds> injected_{};
  std::uint64_t killed_in_call_ = 0, died_ = 0;
  std::atomic<std::uint64_t> forked_calls_ = 0, hung_children_ = 0;
  // Calls' own times beside the ledger's: in the host, in a forked child (its
  // fork included), and what their log lines took.
  std::array<double, 2> longest_ms_{};
  std::array<std::uint64_t, 2> over_one_second_{};
  int longest_log_ms_ = 0;
  std::uint64_t log_over_5ms_ = 0, log_over_5ms_slept_ = 0;
  // The log: a FIFO soak reads, with a writer of its own so that it never
  // reads as ended; the lines of each process, by pid.
  int log_read_ = -1, log_keep_ = -1;
  std::atomic<bool> log_reading_ = true;
  std::mutex log_mutex_;
  std::vector<pid_t> host_pids_;
  std::map<long, std::uint64_t> log_lines_;
  std::uint64_t log_broken_ = 0, log_dropped_ = 0;
  std::string log_example_;
};

Soak::~Soak() {
  for (Host& h : hosts_) {
    if (h.pid > 0) {
      ::kill(h.pid, SIGKILL);
      ::waitpid(h.pid, nullptr, 0);
    }
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  for (const auto& line : lines_) {
    ::close(line->master);
    ::close(line->slave);
  }
  ::close(log_read_);
  ::close(log_keep_);
}

void Soak::set_up() {
  char exe[PATH_MAX] = {};
  if (::readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) fail("/proc/self/exe");
  exe_ = exe;
  char dir[] = "/tmp/qelmar-soak-XXXXXX";
  if (::mkdtemp(dir) == nullptr) fail("mkdtemp");
  dir_ = dir;
  ::setenv("QELMAR_DEVICE_DIR", dir_.c_str(), 1);
  for (int n = 1; n <= o_.ports; ++n) {
    lines_.push_back(make_line(dir_, n, ledger_));
    ports_.push_back(lines_.back()->slave_path);
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) fail("pipe");
  report_read_ = pipe_fds[0];
  // Above 3, so that moving it to 3 in a host is a real dup2.
  report_write_ = ::fcntl(pipe_fds[1], F_DUPFD_CLOEXEC, 10);
  ::close(pipe_fds[1]);
  if (o_.log) {
    const std::string log = dir_ + "/log.fifo";
    if (::mkfifo(log.c_str(), 0600) != 0) fail("mkfifo");
    log_read_ = ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    log_keep_ = ::open(log.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (log_read_ < 0 || log_keep_ < 0) fail("open " + log);
    ::setenv("QELMAR_LOG", log.c_str(), 1);
  }
}

void Soak::spawn(int slot) {
  Host& h = hosts_[static_cast<std::size_t>(slot)];
  int control[2];
  if (::pipe2(control, O_CLOEXEC) != 0) fail("pipe");
  h.gen = ledger_.host_started(slot);
  const std::vector<std::string> args = {exe_,
                                         "--host",
                                         std::to_string(h.gen),
                                         "--slot",
                                         std::to_string(slot),
                                         "--threads",
                                         std::to_string(o_.threads),
                                         "--ports",
                                         std::to_string(o_.ports),
                                         "--fork-every",
                                         std::to_string(o_.fork_every)};
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, control[0], STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, report_write_, 3);
  // Nothing else, whatever soak was started with: a host's count is its own.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 4);
  const int error = ::posix_spawn(&h.pid, exe_.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(control[0]);
  if (error != 0) {
    errno = error;
    fail("posix_spawn");
  }
  h.control = control[1];
  h.started = now_ns();
  const std::lock_guard lock(log_mutex_);
  host_pids_.push_back(h.pid);
}

void Soak::read_lines() {
  std::int64_t last_byte = now_ns();
  std::vector<pollfd> fds;
  std::vector<Line*> of;
  std::uint8_t chunk[65536];
  for (;;) {
    fds.clear();
    of.clear();
    for (const auto& line : lines_) {
      if (!line->reading) continue;
      fds.push_back({line->master, POLLIN, 0});
      of.push_back(line.get());
    }
    ::poll(fds.data(), fds.size(), 10);
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      for (ssize_t n; (n = ::read(fds[i].fd, chunk, sizeof chunk)) > 0;) {
        of[i]->parser->feed(chunk, static_cast<std::size_t>(n));
        last_byte = now_ns();
      }
    }
    // At the end: every host has stopped, so a quiet line has nothing more.
    if (draining_ && now_ns() - last_byte > 300 * ms_ns) return;
  }
}

void Soak::take_report(const Record& r) {
  if (r.outcome == host_killed) {
    ledger_.host_killed(r.gen);
    return;
  }
  if (r.outcome == child_hung) {
    ++hung_children_;
    return;
  }
  const std::size_t forked = (r.flags & made_by_child) != 0 ? 1 : 0;
  forked_calls_ += forked;
  const double ms = static_cast<double>(r.end_ns - r.start_ns) / 1e6;
  longest_ms_[forked] = std::max(longest_ms_[forked], ms);
  over_one_second_[forked] += ms > 1000 ? 1 : 0;
  longest_log_ms_ = std::max<int>(longest_log_ms_, r.log_ms);
  log_over_5ms_ += r.log_ms > 5 ? 1 : 0;
  log_over_5ms_slept_ += r.log_ms > 5 && (r.flags & log_slept) != 0 ? 1 : 0;
  ledger_.report(r, faults_.covers(r.port, r.start_ns, r.end_ns));
}

void Soak::read_reports() {
  std::vector<char> buffer(64 * sizeof(Record));
  std::size_t held = 0;
  for (;;) {
    const ssize_t n = ::read(report_read_, buffer.data() + held, buffer.size() - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    held += static_cast<std::size_t>(n);
    std::size_t at = 0;
    for (; held - at >= sizeof(Record); at += sizeof(Record)) {
      Record r;
      std::memcpy(&r, buffer.data() + at, sizeof r);
      take_report(r);
    }
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
  }
}

// One line of the log: whole (a time, "qelmar pid", one call's words and the
// newline, which the caller has taken off), counted by its process, and the
// lines it says were dropped before it.
void Soak::take_log_line(const std::string& line) {
  static constexpr char form[] = "0000-00-00T00:00:00.000 qelmar pid ";
  bool whole = line.size() > sizeof form && line.find(" qelmar pid ") == 23 &&
               line.rfind(" qelmar pid ") == 23 && line.find(" port ") != std::string::npos;
  for (std::size_t i = 0; whole && i < 23; ++i) {
    whole = form[i] == '0' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                           : line[i] == form[i];
  }
  const std::lock_guard lock(log_mutex_);
  if (!whole) {
    if (log_broken_++ == 0) log_example_ = line;
    return;
  }
  ++log_lines_[std::strtol(line.c_str() + sizeof form - 1, nullptr, 10)];
  const std::size_t note = line.find(" line dropped before this one)");
  const std::size_t notes = line.find(" lines dropped before this one)");
  const std::size_t at = std::min(note, notes);
  if (at != std::string::npos) {
    const std::size_t open = line.rfind('(', at);
    if (open != std::string::npos)
      log_dropped_ += std::strtoull(line.c_str() + open + 1, nullptr, 10);
  }
}

// The log's reader, which stops while a stall is on: the FIFO fills, and the
// hosts' lines must then be dropped rather than wait.
void Soak::read_log() {
  std::int64_t last_byte = now_ns();
  std::string held;
  char chunk[65536];
  for (;;) {
    if (!log_reading_) {
      std::this_thread::sleep_for(milliseconds(10));
      continue;
    }
    pollfd in{log_read_, POLLIN, 0};
    ::poll(&in, 1, 10);
    for (ssize_t n; (n = ::read(log_read_, chunk, sizeof chunk)) > 0;) {
      held.append(chunk, static_cast<std::size_t>(n));
      last_byte = now_ns();
    }
    std::size_t start = 0;
    for (std::size_t end; (end = held.find('\n', start)) != std::string::npos; start = end + 1) {
      take_log_line(held.substr(start, end - start));
    }
    held.erase(0, start);
    if (draining_ && now_ns() - last_byte > 300 * ms_ns) {
      if (!held.empty()) take_log_line(held);  // a line that never ended
      return;
    }
  }
}

// A replacement for a host that is gone, once its reports are all in the pipe.
void Soak::replace(int slot, std::int64_t gone_at) {
  Host& h = hosts_[static_cast<std::size_t>(slot)];
  Record marker;
  marker.gen = h.gen;
  marker.outcome = host_killed;
  marker.start_ns = gone_at;
  if (::write(report_write_, &marker, sizeof marker) != static_cast<ssize_t>(sizeof marker)) {
    fail("report pipe");
  }
  ::close(h.control);
  h.pid = -1;
  spawn(slot);
}

bool Soak::kill_one() {
  std::vector<int> old_enough;
  const std::int64_t now = now_ns();
  // The first host lives through the run, so that its memory and descriptors
  // at the end tell of a leak; alone, it is killed too.
  for (int slot = o_.processes > 1 ? 1 : 0; slot < o_.processes; ++slot) {
    if (now - hosts_[static_cast<std::size_t>(slot)].started >= youngest_kill_ns) {
      old_enough.push_back(slot);
    }
  }
  if (old_enough.empty()) return false;
  const int slot = old_enough[random_() % old_enough.size()];
  Host& h = hosts_[static_cast<std::size_t>(slot)];
  if (h.pid <= 0) return false;
  // Inside a call: with one of the ports open.
  bool in_call = false;
  for (int i = 0; i < 100 && !in_call; ++i) {
    in_call = descriptors(h.pid, ports_).port;
    if (!in_call) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const std::size_t window = faults_.begin(0);
  const std::int64_t killed_at = now_ns();
  ::kill(h.pid, SIGKILL);
  ::waitpid(h.pid, nullptr, 0);
  killed_in_call_ += in_call ? 1 : 0;
  replace(slot, killed_at);
  faults_.end(window);
  return true;
}

// A host that died by itself is a crash: counted, and replaced.
void Soak::reap_deaths() {
  for (int slot = 0; slot < o_.processes; ++slot) {
    Host& h = hosts_[static_cast<std::size_t>(slot)];
    int status = 0;
    if (h.pid <= 0 || ::waitpid(h.pid, &status, WNOHANG) != h.pid) continue;
    std::fprintf(stderr, "soak: host %u (pid %d) died by itself: status %#x\n", h.gen, h.pid,
                 static_cast<unsigned>(status));
    ++died_;
    replace(slot, now_ns());
  }
}

// The library's calls hold the lock for moments only.
bool take_lock(int fd) {
  for (int i = 0; i < 200; ++i) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return false;
}

void Soak::inject() {
  const auto kind = static_cast<Kind>(random_() % kinds);
  Line& line = *lines_[random_() % lines_.size()];
  const std::int64_t until =
      now_ns() + 100 * ms_ns +
      static_cast<std::int64_t>(random_() % (longest_fault_ns - 100 * ms_ns));
  if (kind == host_killed_kind) {
    injected_[kind] += kill_one() ? 1 : 0;
    return;
  }
  // Not a fault on any port: a call that gives up meanwhile has no excuse.
  if (kind == log_stalled) {
    const bool on = std::any_of(active_.begin(), active_.end(),
                                [](const Active& a) { return a.kind == log_stalled; });
    if (!o_.log || on) return;
    log_reading_ = false;
    ++injected_[kind];
    active_.push_back({kind, &line, until, 0});
    return;
  }
  for (const Active& a : active_) {
    const bool holder = a.kind == flock_holder || a.kind == exclusive_holder;
    const bool same =
        a.kind == kind || (holder && (kind == flock_holder || kind == exclusive_holder));
    if (a.line == &line && same) return;  // this fault is already on that port
  }
  const std::size_t window = faults_.begin(line.number);
  if (kind == reader_stopped) {
    line.reading = false;
    fill(line);
  }
  if (kind == link_vanished) ::unlink(line.link.c_str());
  if (kind == flock_holder || kind == exclusive_holder) {
    line.holder = ::open(line.slave_path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (kind == exclusive_holder) ::ioctl(line.holder, TIOCEXCL);
  }
  const Active fault{kind, &line, until, window};
  if (kind == flock_holder && !take_lock(line.holder)) {
    end_fault(fault);
    return;
  }
  ++injected_[kind];
  active_.push_back(fault);
}

void Soak::end_fault(const Active& a) {
  if (a.kind == log_stalled) {
    log_reading_ = true;
    return;
  }
  Line& line = *a.line;
  if (a.kind == reader_stopped) line.reading = true;
  if (a.kind == link_vanished) ::symlink(line.slave_path.c_str(), line.link.c_str());
  if (a.kind == exclusive_holder) ::ioctl(line.holder, TIOCNXCL);
  if (a.kind == flock_holder || a.kind == exclusive_holder) {
    ::close(line.holder);  // lets go of the lock too
    line.holder = -1;
  }
  faults_.end(a.window);
}

// Ends every host by closing its standard input; a host that has not finished
// its calls within 5 s is killed and counted.
int Soak::stop_hosts() {
  for (Host& h : hosts_) {
    ::close(h.control);
    h.control = -1;
  }
  int stragglers = 0;
  const std::int64_t deadline = now_ns() + 5000 * ms_ns;
  for (Host& h : hosts_) {
    if (h.pid <= 0) continue;
    int status = 0;
    while (::waitpid(h.pid, &status, WNOHANG) == 0 && now_ns() < deadline) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    if (::waitpid(h.pid, &status, WNOHANG) == 0) {
      ++stragglers;
      ::kill(h.pid, SIGKILL);
      ::waitpid(h.pid, &status, 0);
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++died_;
    }
    h.pid = -1;
  }
  return stragglers;
}

// Faults come and go until the time is up; then every host is stopped and
// every line read to its end.
int Soak::run() {
  set_up();
  std::thread lines_reader([this] { read_lines(); });
  std::thread reports_reader([this] { read_reports(); });
  std::thread log_reader([this] {
    if (o_.log) read_log();
  });
  Usage soak_start, soak_end;
  std::vector<Usage> hosts_end;
  int stragglers = 0;
  try {
    for (int slot = 0; slot < o_.processes; ++slot) spawn(slot);
    // Settled in: the figures to compare the end with.
    std::this_thread::sleep_for(milliseconds(1000));
    soak_start = usage_of(::getpid(), ports_);
    for (Host& h : hosts_) h.at_start = usage_of(h.pid, ports_);
    drive(hosts_[0].started + static_cast<std::int64_t>(o_.seconds * 1e9));
    for (const Host& h : hosts_) hosts_end.push_back(usage_of(h.pid, ports_));
    soak_end = usage_of(::getpid(), ports_);
    stragglers = stop_hosts();
  } catch (...) {
    for (const Host& h : hosts_) {
      if (h.pid > 0) ::kill(h.pid, SIGKILL);
    }
    stop_hosts();
    draining_ = true;
    log_reading_ = true;
    ::close(report_write_);
    lines_reader.join();
    reports_reader.join();
    log_reader.join();
    throw;
  }
  draining_ = true;
  lines_reader.join();
  ::close(report_write_);
  reports_reader.join();
  log_reader.join();
  for (const auto& line : lines_) line->parser->end();
  return print(ledger_.finish(), hosts_end, soak_start, soak_end, stragglers);
}

void Soak::drive(std::int64_t deadline) {
  std::int64_t next_fault = now_ns();
  while (now_ns() < deadline) {
    const std::int64_t now = now_ns();
    std::erase_if(active_, [&](const Active& a) {
      if (a.until > now) return false;
      end_fault(a);
      return true;
    });
    reap_deaths();
    if (now >= next_fault) {
      inject();
      next_fault = now_ns() + 150 * ms_ns + static_cast<std::int64_t>(random_() % (450 * ms_ns));
    }
    sleep_ns(std::min<std::int64_t>(10 * ms_ns, std::min(next_fault, deadline) - now_ns()));
  }
  for (const Active& a : active_) end_fault(a);
  active_.clear();
}

std::string megabytes(long kb) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(kb) / 1024);
  return text;
}

void print_outcomes(const Summary& s) {
  for (std::size_t o = 0; o < outcome_count; ++o) {
    if (s.by_outcome[o] == 0) continue;
    std::printf("  %-16s %10llu", outcome_name(static_cast<std::uint8_t>(o)),
                static_cast<unsigned long long>(s.by_outcome[o]));
    if (o != static_cast<std::size_t>(Outcome::delivered)) {
      std::printf("  (without a fault: %llu)", static_cast<unsigned long long>(s.without_fault[o]));
    }
    std::printf("\n");
  }
  std::printf("  %-16s %10llu  (of which %llu arrived whole)\n", "killed in flight",
              static_cast<unsigned long long>(s.in_flight),
              static_cast<unsigned long long>(s.in_flight_arrived));
}

int Soak::print(const Summary& s, const std::vector<Usage>& hosts_end, const Usage& soak_start,
                const Usage& soak_end, int stragglers) {
  using ull = unsigned long long;
  std::printf("soak: %d processes x %d threads on %d ports for %.0f s, fault schedule %llu\n",
              o_.processes, o_.threads, o_.ports, o_.seconds, static_cast<ull>(o_.schedule));
  std::printf(
      "faults: %llu reader stops, %llu vanished links, %llu hosts killed (%llu inside a call), "
      "%llu flock holders, %llu exclusive holders, %llu log stalls\n",
      static_cast<ull>(injected_[reader_stopped]), static_cast<ull>(injected_[link_vanished]),
      static_cast<ull>(injected_[host_killed_kind]), static_cast<ull>(killed_in_call_),
      static_cast<ull>(injected_[flock_holder]), static_cast<ull>(injected_[exclusive_holder]),
      static_cast<ull>(injected_[log_stalled]));
  std::printf("calls made: %llu (%.0f a second), by outcome:\n", static_cast<ull>(s.calls),
              static_cast<double>(s.calls) / o_.seconds);
  print_outcomes(s);
  std::uint64_t unexplained = 0;
  for (const std::uint64_t n : s.without_fault) unexplained += n;
  std::printf("frames delivered: %llu, each whole and once\n", static_cast<ull>(s.delivered_whole));
  std::printf("frames lost beyond the documented give-ups: %llu\n", static_cast<ull>(s.lost));
  std::printf(
      "duplicated: %llu, mangled: %llu (fragments %llu, %llu of them from stuck or killed calls), "
      "unknown: %llu, arrived though told not sent: %llu\n",
      static_cast<ull>(s.duplicated), static_cast<ull>(s.mangled), static_cast<ull>(s.fragments),
      static_cast<ull>(s.fragments_explained), static_cast<ull>(s.unknown),
      static_cast<ull>(s.phantom));
  std::printf("stuck calls whose frame arrived whole anyway: %llu\n",
              static_cast<ull>(s.stuck_arrived));
  std::printf("give-ups without a fault: %llu\n", static_cast<ull>(unexplained));
  std::printf("longest call: %.1f ms (%s, port %d); calls over 1 s: %llu (%llu without a fault)\n",
              s.longest_ms, outcome_name(s.longest_outcome), s.longest_port,
              static_cast<ull>(s.over_one_second), static_cast<ull>(s.over_one_second_calm));
  std::printf("hosts that died by themselves: %llu, did not stop within 5 s: %d\n",
              static_cast<ull>(died_), stragglers);
  std::printf("calls made by forked children: %llu, children that never finished: %llu\n",
              static_cast<ull>(forked_calls_.load()), static_cast<ull>(hung_children_.load()));
  std::printf(
      "longest call in a host: %.1f ms (%llu over 1 s); in a forked child, its fork included: "
      "%.1f ms (%llu over 1 s)\n",
      longest_ms_[0], static_cast<ull>(over_one_second_[0]), longest_ms_[1],
      static_cast<ull>(over_one_second_[1]));
  std::uint64_t lines = 0, from_children = 0;
  for (const auto& [pid, count] : log_lines_) {
    lines += count;
    const bool host = std::find(host_pids_.begin(), host_pids_.end(), pid) != host_pids_.end();
    from_children += host ? 0 : count;
  }
  if (o_.log) {
    std::printf(
        "log: %llu lines whole (%llu from forked children), %llu not; %llu dropped lines "
        "reported by the line after them\n",
        static_cast<ull>(lines), static_cast<ull>(from_children), static_cast<ull>(log_broken_),
        static_cast<ull>(log_dropped_));
    std::printf(
        "  longest a line took: %d ms; lines that took over 5 ms: %llu (%llu of them slept, the "
        "rest waited for a core)\n",
        longest_log_ms_, static_cast<ull>(log_over_5ms_), static_cast<ull>(log_over_5ms_slept_));
    if (log_broken_ > 0) std::printf("  not whole, the first: %s\n", log_example_.c_str());
  }
  std::printf("memory and descriptors (besides the ports): start -> end\n");
  std::printf("  soak          %s, %d fds -> %s, %d fds\n", megabytes(soak_start.rss_kb).c_str(),
              soak_start.fds, megabytes(soak_end.rss_kb).c_str(), soak_end.fds);
  for (std::size_t slot = 0; slot < hosts_.size(); ++slot) {
    const Host& h = hosts_[slot];
    std::printf("  host %zu        %s, %d fds -> %s, %d fds (then host %u, %.0f s old)\n", slot + 1,
                megabytes(h.at_start.rss_kb).c_str(), h.at_start.fds,
                megabytes(hosts_end[slot].rss_kb).c_str(), hosts_end[slot].fds, h.gen,
                static_cast<double>(now_ns() - h.started) / 1e9);
  }
  const bool failed =
      s.faults() > 0 || died_ > 0 || stragglers > 0 || hung_children_ > 0 || log_broken_ > 0;
  std::printf("%s\n", failed ? "FAILED" : "ok");
  return failed ? 1 : 0;
}

int run(int argc, char** argv) {
  Options o;
  CLI::App app{
      "Hosts calling on pseudo-terminal ports through injected faults; every frame is "
      "checked against what its call was told"};
  app.add_option("--processes", o.processes, "Host processes")
      ->capture_default_str()
      ->check(CLI::Range(1, max_callers));
  app.add_option("--threads", o.threads, "Calling threads in each")
      ->capture_default_str()
      ->check(CLI::Range(1, max_callers));
  app.add_option("--ports", o.ports, "Ports (pseudo-terminals)")
      ->capture_default_str()
      ->check(CLI::Range(1, 99));
  app.add_option("--seconds", o.seconds, "How long")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--schedule", o.schedule,
                 "Number of the fault schedule, to replay one (default: from the clock)");
  app.add_option("--fork-every", o.fork_every,
                 "A host thread hands every Nth call to a child it forks (0: never)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_flag("!--no-log", o.log, "Hosts do not log their calls (else to a FIFO soak reads)");
  app.add_flag("--check", o.check, "Check soak's own bookkeeping against made-up lines");
  app.add_option("--host", o.host_gen)->group("");
  app.add_option("--slot", o.host_slot)->group("");
  CLI11_PARSE(app, argc, argv);
  if (o.check) return run_checks();
  if (o.host_gen != 0) {
    return run_host(o.host_gen, o.host_slot, o.threads, o.ports, o.fork_every);
  }
  if (o.processes * o.threads > max_callers) {
    std::fprintf(stderr, "soak: at most %d threads in all\n", max_callers);
    return 2;
  }
  if (o.schedule == 0) o.schedule = static_cast<std::uint64_t>(now_ns());
  ::signal(SIGPIPE, SIG_IGN);
  Soak soak(o);
  return soak.run();
}

}  // namespace
}  // namespace qelmar::soak

int main(int argc, char** argv) {
  try {
    return qelmar::soak::run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "soak: failed\n");
  }
  return 2;
}
