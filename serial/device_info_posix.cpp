#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>

#include "serial/device_info.h"

namespace qelmar::serial {

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

}  // namespace qelmar::serial
