#include "tools/display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
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
#include <vector>

#include "encoder/frame.h"
#include "tools/charset.h"
#include "tools/decode.h"
#include "tools/hex.h"

namespace qelmar::tools {
namespace {

namespace fs = std::filesystem;

// Bytes that stop for this long make a frame even without a close of the port.
constexpr int silence_ms = 50;

// What may wait for a silence or an open or close before it is shown anyway.
constexpr std::size_t max_pending = 64 * 1024;

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

void drain(int master, std::vector<std::uint8_t>& pending) {
  std::uint8_t chunk[4096];
  for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;) {
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

}  // namespace

int run_display(const DisplayOptions& options, std::ostream& out) {
  fs::path dir = options.dir;
  const bool own_dir = dir.empty();
  if (own_dir) {
    char tmpl[] = "/tmp/qelmar-display-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    dir = tmpl;
  } else {
    fs::create_directories(dir);
  }
  const fs::path link = dir / ("com" + std::to_string(options.port));
  if (fs::exists(fs::symlink_status(link)) && !fs::is_symlink(fs::symlink_status(link))) {
    throw std::runtime_error(link.string() + " exists and is not a link");
  }

  const Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
    throw std::runtime_error("cannot set up a pseudo-terminal");
  }
  const std::string slave_path = ::ptsname(master.get());
  // Held open so that the line's settings can be read and the master never
  // sees a hang-up between calls.
  const Fd slave(::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  fs::remove(link);
  fs::create_symlink(slave_path, link);

  PortWatch watch(slave_path);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  const Fd signals(::signalfd(-1, &stop, SFD_CLOEXEC));

  out << "Virtual display on port " << options.port << " (" << slave_path << "). For hosts:\n"
      << "export QELMAR_DEVICE_DIR=" << dir.string() << std::endl;

  const Charset to_terminal(locale_charset() + "//TRANSLIT", "GB2312");
  const TextConverter convert = [&](const std::string& gb2312) -> std::optional<std::string> {
    auto result = to_terminal.convert(gb2312);
    if (!result.ok()) return std::nullopt;
    return result.text;
  };

  long frames = 0;
  std::vector<std::uint8_t> pending;
  int events_since_shown = 0;
  // Shows what has arrived as one frame, or split by the frames' own layout
  // when it may hold the frames of several calls.
  bool stopping = false;
  auto stop_requested = [&] {
    pollfd signal{signals.get(), POLLIN, 0};
    stopping = stopping || ::poll(&signal, 1, 0) > 0;
    return stopping;
  };
  auto show = [&](bool split) {
    std::span<const std::uint8_t> rest(pending);
    while (!rest.empty() && (options.count == 0 || frames < options.count)) {
      if (frames % 256 == 0 && stop_requested()) break;
      // No call sends more than one frame's worth, so no frame is looked for
      // beyond that: linear in what arrived, however much it is.
      const std::span<const std::uint8_t> window =
          rest.first(std::min(rest.size(), Frame::capacity));
      const std::size_t length =
          split || rest.size() > Frame::capacity ? frame_length(window) : rest.size();
      const std::vector<std::uint8_t> frame(rest.begin(), rest.begin() + static_cast<long>(length));
      rest = rest.subspan(length);
      const Meaning meaning = decode(frame, convert);
      out << now() << "  " << hex(frame) << "  " << meaning.description << "\n";
      termios line{};
      if (::tcgetattr(slave.get(), &line) == 0) {
        const std::string problems = line_problems(line);
        if (!problems.empty())
          out << "  warning: the line is " << problems << " (want 2400 8N1 raw)\n";
      }
      ++frames;
    }
    out.flush();
    pending.clear();
    events_since_shown = 0;
  };

  while (!stopping && (options.count == 0 || frames < options.count)) {
    pollfd fds[] = {{master.get(), POLLIN, 0}, {watch.fd(), POLLIN, 0}, {signals.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 3, pending.empty() ? -1 : silence_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      show(false);
      continue;
    }
    if (fds[2].revents != 0) break;
    if (fds[1].revents != 0) {
      // Every byte written before a host opened or closed the port belongs to
      // the frames before that: read them all, then see whether more than one
      // call has come and gone meanwhile.
      int events = watch.take_events();
      drain(master.get(), pending);
      events += watch.take_events();
      events_since_shown += events;
      show(events_since_shown >= 2);
      continue;
    }
    if (fds[0].revents != 0) {
      drain(master.get(), pending);
      // A host that never pauses still gets its frames shown, in bounded memory.
      if (pending.size() > max_pending) show(true);
    }
  }

  fs::remove(link);
  if (own_dir) fs::remove(dir);
  return 0;
}

}  // namespace qelmar::tools
