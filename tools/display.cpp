// SPDX-License-Identifier: MIT
#include "tools/display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "encoder/protocol.h"
#include "tools/charset.h"
#include "tools/decode.h"
#include "tools/hex.h"

namespace qelmar::tools {
namespace {

namespace fs = std::filesystem;

// Bytes that stop for this long make a frame even without a close of the port.
constexpr int silence_ms = 50;

// What may wait for a silence or an open or close before it is shown anyway.
constexpr std::size_t max_pending = std::size_t{64} * 1024;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {
    if (fd_ < 0) throw std::runtime_error(std::string("cannot open: ") + std::strerror(errno));
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string now() {
  const auto t = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()) % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms.count()));
  return text;
}

// What is wrong with the line for the display, or nothing.
std::string line_problems(const termios& line) {
  std::string problems;
  auto add = [&](const char* what) {
    problems += problems.empty() ? what : std::string(", ") + what;
  };
  if (cfgetospeed(&line) != B2400) add("not 2400 baud");
  if ((line.c_cflag & CSIZE) != CS8) add("not 8 data bits");
  if (line.c_cflag & PARENB) add("parity on");
  if (line.c_cflag & CSTOPB) add("two stop bits");
  if (line.c_cflag & CRTSCTS) add("RTS/CTS flow control on");
  if (line.c_iflag & (IXON | IXOFF)) add("XON/XOFF flow control on");
  if (line.c_oflag & OPOST) add("output post-processing on");
  if (line.c_lflag & (ICANON | ECHO | ISIG)) add("not raw");
  return problems;
}

// Reads what has arrived, up to max_pending in all: a host that never stops
// writing must not keep the display from its signals or its memory bound.
void drain(int master, std::vector<std::uint8_t>& pending) {
  std::uint8_t chunk[4096];
  while (pending.size() < max_pending) {
    const ssize_t n = ::read(master, chunk, sizeof chunk);
    if (n <= 0) return;
    pending.insert(pending.end(), chunk, chunk + n);
  }
}

// Tells when a host opens or closes the port. The events come after the fact:
// calls in quick succession can leave several frames waiting at once.
class PortWatch {
 public:
  explicit PortWatch(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
      throw std::runtime_error("cannot watch " + path);
    }
  }
  ~PortWatch() { ::close(fd_); }
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  int fd() const { return fd_; }

  // How many opens and closes have happened since the last call.
  int take_events() {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* p = buffer; p < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(p);
        ++count;
        p += sizeof(inotify_event) + event->len;
      }
    }
    return count;
  }

 private:
  int fd_;
};

// Removes a path when it goes, however the display ends; an empty path is kept.
class Removal {
 public:
  explicit Removal(fs::path path) : path_(std::move(path)) {}
  ~Removal() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove(path_, ignored);
  }
  Removal(const Removal&) = delete;
  Removal& operator=(const Removal&) = delete;

 private:
  fs::path path_;
};

fs::path display_dir(const DisplayOptions& options) {
  if (!options.dir.empty()) {
    fs::create_directories(options.dir);
    return options.dir;
  }
  char tmpl[] = "/tmp/qelmar-display-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot make a temporary directory");
  return tmpl;
}

int open_master() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 && (::grantpt(fd) != 0 || ::unlockpt(fd) != 0)) {
    ::close(fd);
    throw std::runtime_error("cannot set up a pseudo-terminal");
  }
  return fd;
}

// Only one display serves DIR/comN at a time: it holds DIR/comN.lock with
// flock, which goes with the process, and writes its pid there for the next
// one to name. A lock file left by a display that was killed is taken over.
class LinkLock {
 public:
  explicit LinkLock(const fs::path& link) : path_(link.string() + ".lock") {
    for (;;) {
      fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd_ < 0) {
        throw std::runtime_error("cannot open " + path_ + ": " + std::strerror(errno));
      }
      if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const std::string holder = read_holder();
        ::close(fd_);
        throw std::runtime_error(link.string() + " is served by another display" +
                                 (holder.empty() ? "" : " (process " + holder + ")") +
                                 "; end it first, or choose another port or --dir");
      }
      // The file may have been removed by the display that just ended, after
      // this one opened it: lock the file that is there now.
      struct stat held {
      }, there{};
      if (::fstat(fd_, &held) == 0 && ::stat(path_.c_str(), &there) == 0 &&
          held.st_dev == there.st_dev && held.st_ino == there.st_ino) {
        break;
      }
      ::close(fd_);
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) != 0 ||
        ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
      // Still locked; the next display only cannot name this one.
    }
  }
  // Removed while still held, so that no one else locks the file on its way out.
  ~LinkLock() {
    ::unlink(path_.c_str());
    ::close(fd_);
  }
  LinkLock(const LinkLock&) = delete;
  LinkLock& operator=(const LinkLock&) = delete;

 private:
  std::string read_holder() const {
    char text[32] = {};
    const ssize_t n = ::pread(fd_, text, sizeof text - 1, 0);
    std::string pid(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    pid.erase(std::find_if(pid.begin(), pid.end(), [](char c) { return c < '0' || c > '9'; }),
              pid.end());
    return pid;
  }

  std::string path_;
  int fd_ = -1;
};

// Removes the link when the display goes, unless it no longer leads to this
// display's pseudo-terminal: then someone else has made it since.
class LinkRemoval {
 public:
  LinkRemoval(fs::path link, std::string target)
      : link_(std::move(link)), target_(std::move(target)) {}
  ~LinkRemoval() {
    std::error_code error;
    if (fs::read_symlink(link_, error) == target_ && !error) fs::remove(link_, error);
  }
  LinkRemoval(const LinkRemoval&) = delete;
  LinkRemoval& operator=(const LinkRemoval&) = delete;

 private:
  fs::path link_;
  fs::path target_;
};

fs::path make_link(const fs::path& link, const std::string& target) {
  if (fs::exists(fs::symlink_status(link)) && !fs::is_symlink(fs::symlink_status(link))) {
    throw std::runtime_error(link.string() + " exists and is not a link");
  }
  fs::remove(link);
  fs::create_symlink(target, link);
  return link;
}

// A pseudo-terminal linked as DIR/comN; the link, and the directory when it
// made one, go with it.
class LinkedTerminal {
 public:
  explicit LinkedTerminal(const DisplayOptions& options)
      : dir_(display_dir(options)),
        own_dir_(options.dir.empty() ? dir_ : fs::path()),
        link_path_(dir_ / ("com" + std::to_string(options.port))),
        lock_(link_path_),
        master_(open_master()),
        slave_path_(::ptsname(master_.get())),
        slave_(::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)),
        link_(make_link(link_path_, slave_path_), slave_path_) {}

  const fs::path& dir() const { return dir_; }
  int master() const { return master_.get(); }
  // Held open so that the line's settings can be read and the master never
  // sees a hang-up between calls.
  int slave() const { return slave_.get(); }
  const std::string& slave_path() const { return slave_path_; }

 private:
  fs::path dir_;
  Removal own_dir_;
  fs::path link_path_;
  LinkLock lock_;
  Fd master_;
  std::string slave_path_;
  Fd slave_;
  LinkRemoval link_;
};

// SIGINT and SIGTERM arrive as a descriptor while it lives; the signal mask is
// what it was before, after.
class StopSignals {
 public:
  StopSignals() : fd_(block_and_watch(old_)) {}
  ~StopSignals() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int fd() const { return fd_.get(); }
  // Takes the signal when one has come, so that restoring the mask later does
  // not deliver it after all.
  bool arrived() const {
    signalfd_siginfo info{};
    return ::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info);
  }

 private:
  static int block_and_watch(sigset_t& old) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stop, &old);
    return ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
  }

  sigset_t old_{};
  Fd fd_;
};

// Shows what has arrived: as one frame, or split by the frames' own layout
// when it may hold the frames of several calls.
class FrameShower {
 public:
  FrameShower(std::ostream& out, const LinkedTerminal& line, const StopSignals& stop, long count)
      : out_(out), line_(line), stop_(stop), count_(count) {}
  FrameShower(const FrameShower&) = delete;
  FrameShower& operator=(const FrameShower&) = delete;

  std::vector<std::uint8_t>& pending() { return pending_; }
  bool done() const { return stopping_ || (count_ != 0 && frames_ >= count_); }

  void show(bool split) {
    std::span<const std::uint8_t> rest(pending_);
    while (!rest.empty() && !done()) {
      if (frames_ % 256 == 0 && stop_.arrived()) stopping_ = true;
      // No call sends more than one frame's worth, so no frame is looked for
      // beyond that: linear in what arrived, however much it is.
      const auto window = rest.first(std::min(rest.size(), max_frame));
      const std::size_t length =
          split || rest.size() > max_frame ? frame_length(window) : rest.size();
      show_frame(rest.first(length));
      rest = rest.subspan(length);
    }
    out_.flush();
    pending_.clear();
  }

 private:
  void show_frame(std::span<const std::uint8_t> frame) {
    const Meaning meaning = decode(frame, convert_);
    out_ << now() << "  " << hex(frame) << "  " << meaning.description << "\n";
    termios settings{};
    if (::tcgetattr(line_.slave(), &settings) == 0) {
      const std::string problems = line_problems(settings);
      if (!problems.empty())
        out_ << "  warning: the line is " << problems << " (want 2400 8N1 raw)\n";
    }
    ++frames_;
  }

  std::ostream& out_;
  const LinkedTerminal& line_;
  const StopSignals& stop_;
  long count_;
  long frames_ = 0;
  bool stopping_ = false;
  std::vector<std::uint8_t> pending_;
  Charset to_terminal_{locale_charset() + "//TRANSLIT", "GB2312"};
  TextConverter convert_ = [this](const std::string& gb2312) -> std::optional<std::string> {
    auto result = to_terminal_.convert(gb2312);
    if (!result.ok()) return std::nullopt;
    return result.text;
  };
};

}  // namespace

int run_display(const DisplayOptions& options, std::ostream& out) {
  const LinkedTerminal line(options);
  PortWatch watch(line.slave_path());
  const StopSignals stop;
  out << "Virtual display on port " << options.port << " (" << line.slave_path()
      << "). For hosts:\n"
      << "export QELMAR_DEVICE_DIR=" << line.dir().string() << std::endl;

  FrameShower shower(out, line, stop, options.count);
  std::vector<std::uint8_t>& pending = shower.pending();
  int events_since_shown = 0;
  while (!shower.done()) {
    pollfd fds[] = {{line.master(), POLLIN, 0}, {watch.fd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 3, pending.empty() ? -1 : silence_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (fds[2].revents != 0 && stop.arrived()) break;
    if (ready == 0) {
      shower.show(false);
      events_since_shown = 0;
    } else if (fds[1].revents != 0) {
      // Every byte written before a host opened or closed the port belongs to
      // the frames before that: read them all, then see whether more than one
      // call has come and gone meanwhile.
      events_since_shown += watch.take_events();
      drain(line.master(), pending);
      events_since_shown += watch.take_events();
      shower.show(events_since_shown >= 2);
      events_since_shown = 0;
    } else if (fds[0].revents != 0) {
      drain(line.master(), pending);
      // A host that never pauses still gets its frames shown, in bounded memory.
      if (pending.size() >= max_pending) {
        shower.show(true);
        events_since_shown = 0;
      }
    }
  }
  return 0;
}

}  // namespace qelmar::tools
