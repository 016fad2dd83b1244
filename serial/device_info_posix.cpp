// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/device_info.h"

namespace qelmar::serial {
namespace {

// The name /proc/consoles gives a device: what follows the last "/dev/" of its
// path, or nothing.
const char* console_name(const char* path) {
  const char* name = nullptr;
  for (const char* at = std::strstr(path, "/dev/"); at != nullptr;
       at = std::strstr(at + 1, "/dev/")) {
    name = at + 5;
  }
  return name != nullptr && *name != '\0' ? name : nullptr;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads "MAJOR:MINOR" from [begin, end).
bool parse_device_number(const char* begin, const char* end, dev_t& number) {
  unsigned parts[2] = {0, 0};
  int part = 0;
  bool digits = false;
  for (const char* c = begin; c < end; ++c) {
    if (*c == ':' && part == 0 && digits) {
      part = 1;
      digits = false;
    } else if (*c >= '0' && *c <= '9' && parts[part] < 0xFFFFFFFU) {
      parts[part] = parts[part] * 10 + static_cast<unsigned>(*c - '0');
      digits = true;
    } else {
      return false;
    }
  }
  if (part != 1 || !digits) return false;
  number = makedev(parts[0], parts[1]);
  return true;
}

// What to look for in each line of /proc/consoles, which reads like
// "ttyS0                -W- (EC p a)    4:64".
struct ConsoleQuery {
  const char* name;  // or null
  bool by_number;
  dev_t number;

  // `whole`: the line was not cut short, so its last word is all there.
  bool matches(const char* line, std::size_t length, bool whole) const {
    std::size_t word = 0;
    while (word < length && !is_blank(line[word])) ++word;
    if (name != nullptr && word > 0 && std::strlen(name) == word &&
        std::memcmp(line, name, word) == 0) {
      return true;
    }
    if (!by_number || !whole) return false;
    std::size_t last = length;
    while (last > word && !is_blank(line[last - 1])) --last;
    dev_t listed = 0;
    return last > word && parse_device_number(line + last, line + length, listed) &&
           listed == number;
  }
};

// Reads to the end: a list cut short by an error tells nothing.
Console read_consoles(int fd, const ConsoleQuery& query) {
  char line[256];
  std::size_t length = 0;
  bool whole = true;
  bool listed = false;
  char chunk[512];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Console::unknown;
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (chunk[i] == '\n') {
        listed = listed || query.matches(line, length, whole);
        length = 0;
        whole = true;
      } else if (length < sizeof line) {
        line[length++] = chunk[i];
      } else {
        whole = false;
      }
    }
  }
  listed = listed || (length > 0 && query.matches(line, length, whole));
  return listed ? Console::listed : Console::not_listed;
}

// One lock as /proc/locks and fdinfo list it:
// "1: POSIX  ADVISORY  WRITE 4321 fe:00:1234 0 EOF".
struct ListedLock {
  char kind[16] = "";  // FLOCK, POSIX, OFDLCK
  long pid = 0;
  dev_t device = 0;
  unsigned long inode = 0;
  long long start = 0;
  long long end = -1;  // the last byte; -1 for EOF

  bool read(const char* line) {
    unsigned major_number = 0, minor_number = 0;
    char last[24] = "";
    if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu %lld %23s", kind, &pid, &major_number,
                    &minor_number, &inode, &start, last) < 6) {
      return false;
    }
    device = makedev(major_number, minor_number);
    end = std::strcmp(last, "EOF") == 0 ? -1 : std::atoll(last);
    return true;
  }
  bool on(const struct stat& file) const { return device == file.st_dev && inode == file.st_ino; }
  // The calls' queue: one byte each, past offset 0.
  bool queue_place() const {
    return std::strcmp(kind, "OFDLCK") == 0 && start >= 1 && end == start;
  }
};

template <std::size_t N>
bool fits(int written, const char (&)[N]) {
  return written > 0 && static_cast<std::size_t>(written) < N;
}

// Calls `each` with each numeric name in the folder open as `dir`, until it
// returns true; closes `dir`.
template <class Each>
bool each_number(int dir, const Each& each) {
  if (dir < 0) return false;
  alignas(8) char buffer[4096];
  bool done = false;
  for (long n; !done && (n = ::getdents64(dir, buffer, sizeof buffer)) > 0;) {
    for (long at = 0; !done && at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
      done = each(entry->d_name);
    }
  }
  ::close(dir);
  return done;
}

}  // namespace

int lock_holders(const char* path, const char* locks_file, long* pids, int max) {
  struct stat device {};
  if (::stat(path, &device) != 0) return 0;
  FILE* locks = std::fopen(locks_file, "re");
  if (locks == nullptr) return 0;
  int found = 0;
  char line[256];
  while (found < max && std::fgets(line, sizeof line, locks) != nullptr) {
    ListedLock lock;
    if (!lock.read(line) || !lock.on(device) || lock.pid <= 0 || lock.queue_place()) continue;
    if (std::strcmp(lock.kind, "FLOCK") == 0 || std::strcmp(lock.kind, "POSIX") == 0 ||
        std::strcmp(lock.kind, "OFDLCK") == 0) {
      pids[found++] = lock.pid;
    }
  }
  std::fclose(locks);
  return found;
}

long record_lock_holder(int fd, long pid, long long start, long long length,
                        const char* proc) noexcept {
  if (pid > 0) return pid;
  struct stat file {};
  if (::fstat(fd, &file) != 0) return 0;
  const int saved_errno = errno;
  const long long end = length == 0 ? -1 : start + length - 1;
  long holder = 0;
  each_number(::open(proc, O_RDONLY | O_DIRECTORY | O_CLOEXEC), [&](const char* process) {
    char folder[PATH_MAX];
    if (!fits(std::snprintf(folder, sizeof folder, "%s/%s/fdinfo", proc, process), folder)) {
      return false;
    }
    return each_number(
        ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC), [&](const char* fd_name) {
          // Only the descriptors of this device have its locks to show.
          char path[PATH_MAX];
          struct stat target {};
          if (!fits(std::snprintf(path, sizeof path, "%s/%s/fd/%s", proc, process, fd_name),
                    path) ||
              ::stat(path, &target) != 0 || target.st_dev != file.st_dev ||
              target.st_ino != file.st_ino ||
              !fits(std::snprintf(path, sizeof path, "%s/%s", folder, fd_name), path)) {
            return false;
          }
          const int info = ::open(path, O_RDONLY | O_CLOEXEC);
          if (info < 0) return false;
          char text[4096];
          const ssize_t n = ::read(info, text, sizeof text - 1);
          ::close(info);
          text[n > 0 ? n : 0] = '\0';
          for (const char* line = std::strstr(text, "lock:\t"); line != nullptr;
               line = std::strstr(line + 1, "lock:\t")) {
            ListedLock lock;
            if (lock.read(line + 6) && std::strcmp(lock.kind, "OFDLCK") == 0 && lock.on(file) &&
                lock.start == start && lock.end == end) {
              holder = std::atol(process);
              return true;
            }
          }
          return false;
        });
  });
  errno = saved_errno;
  return holder;
}

void owner_group(const char* path, char* out, std::size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  struct stat device {};
  if (::stat(path, &device) != 0) return;
  ::group entry{};
  ::group* found = nullptr;
  char buffer[4096];
  if (::getgrgid_r(device.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    std::snprintf(out, size, "%s", found->gr_name);
  } else {
    std::snprintf(out, size, "%u", static_cast<unsigned>(device.st_gid));
  }
}

void owner_user(const char* path, char* out, std::size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  struct stat device {};
  if (::stat(path, &device) != 0) return;
  ::passwd entry{};
  ::passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(device.st_uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    std::snprintf(out, size, "%s", found->pw_name);
  } else {
    std::snprintf(out, size, "%u", static_cast<unsigned>(device.st_uid));
  }
}

void consoles_unreadable(const char* consoles_file, char* why, std::size_t size) noexcept {
  if (size == 0) return;
  why[0] = '\0';
  const int saved_errno = errno;
  const int fd = ::open(consoles_file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat list {};
  if (fd < 0) {
    std::snprintf(why, size, "%s", std::strerror(errno));
  } else if (::fstat(fd, &list) != 0 || !S_ISREG(list.st_mode)) {
    std::snprintf(why, size, "not a regular file");
  } else {
    char chunk[512];
    for (ssize_t n = 1; n != 0;) {
      n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        std::snprintf(why, size, "%s", std::strerror(errno));
        break;
      }
    }
  }
  if (fd >= 0) ::close(fd);
  errno = saved_errno;
}

Console console_listing(const char* device_path, const char* consoles_file) noexcept {
  if (device_path == nullptr || consoles_file == nullptr) return Console::unknown;
  const int saved_errno = errno;
  struct stat device {};
  const bool by_number = ::stat(device_path, &device) == 0 && S_ISCHR(device.st_mode);
  const ConsoleQuery query{console_name(device_path), by_number, device.st_rdev};
  // Non-blocking, and only a regular file: a FIFO in its place must not hold
  // a call, nor read as an empty list.
  const int fd = ::open(consoles_file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  Console listing = Console::unknown;
  if (struct stat list{}; fd >= 0 && ::fstat(fd, &list) == 0 && S_ISREG(list.st_mode)) {
    listing = read_consoles(fd, query);
  }
  if (fd >= 0) ::close(fd);
  errno = saved_errno;
  return listing;
}

}  // namespace qelmar::serial
