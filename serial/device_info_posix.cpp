// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

bool read_consoles(int fd, const ConsoleQuery& query) {
  char line[256];
  std::size_t length = 0;
  bool whole = true;
  char chunk[512];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (chunk[i] == '\n') {
        if (query.matches(line, length, whole)) return true;
        length = 0;
        whole = true;
      } else if (length < sizeof line) {
        line[length++] = chunk[i];
      } else {
        whole = false;
      }
    }
  }
  return length > 0 && query.matches(line, length, whole);
}

}  // namespace

int flock_holders(const char* path, const char* locks_file, long* pids, int max) {
  struct stat device {};
  if (::stat(path, &device) != 0) return 0;
  FILE* locks = std::fopen(locks_file, "re");
  if (locks == nullptr) return 0;
  int found = 0;
  char line[256];
  while (found < max && std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16];
    long pid = 0;
    unsigned major_number = 0, minor_number = 0;
    unsigned long inode = 0;
    if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major_number,
                    &minor_number, &inode) == 5 &&
        std::strcmp(kind, "FLOCK") == 0 && major_number == major(device.st_dev) &&
        minor_number == minor(device.st_dev) && inode == device.st_ino) {
      pids[found++] = pid;
    }
  }
  std::fclose(locks);
  return found;
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

bool listed_as_console(const char* device_path, const char* consoles_file) noexcept {
  if (device_path == nullptr || consoles_file == nullptr) return false;
  const int saved_errno = errno;
  struct stat device {};
  const bool by_number = ::stat(device_path, &device) == 0 && S_ISCHR(device.st_mode);
  const ConsoleQuery query{console_name(device_path), by_number, device.st_rdev};
  bool listed = false;
  if (query.name != nullptr || query.by_number) {
    const int fd = ::open(consoles_file, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      listed = read_consoles(fd, query);
      ::close(fd);
    }
  }
  errno = saved_errno;
  return listed;
}

}  // namespace qelmar::serial
