// SPDX-License-Identifier: MIT
#include "tools/wine_port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace qelmar::tools {
namespace {

namespace fs = std::filesystem;

// Where mountmgr looks for ports the user names: a value "COMn" with the Unix
// path. Wine makes the dosdevices link and the SERIALCOMM value (a volatile
// key, never in system.reg) from it each time it starts, and takes other
// dosdevices links away where they shadow a port it numbers itself.
constexpr const char* ports_key = "Software\\\\Wine\\\\Ports";
constexpr const char* registry_header = "WINE REGISTRY Version 2";

std::string lower(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// A quoted registry string from `at` (the opening quote), unescaped.
std::string unquote(const std::string& line, std::size_t at) {
  std::string text;
  for (std::size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    text += line[i];
  }
  return text;
}

std::string quote(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// system.reg as lines, with the Ports key's value for one port found and set
// the way wineserver writes them.
class Registry {
 public:
  explicit Registry(fs::path file) : file_(std::move(file)) {}

  // False, with why, when it is not a registry Wine wrote.
  bool load(std::string& why) {
    std::ifstream in(file_);
    if (!in) {
      why = "no system.reg";
      return false;
    }
    for (std::string line; std::getline(in, line);) lines_.push_back(line);
    if (lines_.empty() || lines_.front() != registry_header) {
      why = file_.string() + " does not start with \"" + registry_header + "\"";
      return false;
    }
    return true;
  }

  // The Ports value named COMn (names are case-blind), if there is one.
  std::optional<std::string> value(int port) const {
    const auto [begin, end] = section();
    for (std::size_t i = begin; i < end; ++i) {
      if (!names(lines_[i], port)) continue;
      const std::size_t data = lines_[i].find("=\"");
      if (data == std::string::npos) return std::string();  // not a string: not a path
      return unquote(lines_[i], data + 1);
    }
    return std::nullopt;
  }

  // Sets COMn to `device`, or with no device removes it.
  void set(int port, const std::optional<std::string>& device) {
    auto [begin, end] = section();
    if (begin == 0) {
      // No such key yet: a prefix Wine has not started in since it was made.
      lines_.push_back("");
      lines_.push_back("[" + std::string(ports_key) + "] " + std::to_string(std::time(nullptr)));
      begin = end = lines_.size();
    }
    for (std::size_t i = begin; i < end;) {
      if (!names(lines_[i], port)) {
        ++i;
        continue;
      }
      // With the lines a long value goes on to.
      std::size_t last = i + 1;
      while (last < end && lines_[last].rfind("  ", 0) == 0) ++last;
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i),
                   lines_.begin() + static_cast<std::ptrdiff_t>(last));
      end -= last - i;
    }
    if (device) {
      lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(end),
                    quote("COM" + std::to_string(port)) + "=" + quote(*device));
    }
  }

  // Replaces the file at once, as its owner had it: a reader sees the old file
  // or the new one, never a part.
  bool save(std::string& why) const {
    struct stat old {};
    if (::stat(file_.c_str(), &old) != 0) {
      why = std::strerror(errno);
      return false;
    }
    std::string temporary = file_.string() + ".qelmar-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
      why = "cannot write beside " + file_.string() + ": " + std::strerror(errno);
      return false;
    }
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    bool written = true;
    for (std::size_t at = 0; written && at < text.size();) {
      const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
      if (n < 0 && errno == EINTR) continue;
      written = n > 0;
      at += written ? static_cast<std::size_t>(n) : 0;
    }
    // Only root can give it away; anyone else owns the file already.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && ::geteuid() == 0) written = false;
    written = written && ::fchmod(fd, old.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), file_.c_str()) != 0) {
      why = std::string("cannot write ") + file_.string() + ": " +
            std::strerror(written ? errno : error);
      ::unlink(temporary.c_str());
      return false;
    }
    return true;
  }

 private:
  // The lines of the Ports key's values: [begin, end); 0, 0 when it is not there.
  std::pair<std::size_t, std::size_t> section() const {
    const std::string key = "[" + lower(ports_key) + "]";
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (lower(lines_[i]).rfind(key, 0) != 0) continue;
      std::size_t end = i + 1;
      while (end < lines_.size() && lines_[end].rfind('[', 0) != 0) ++end;
      // New values go before the blank line that ends the key.
      while (end > i + 1 && lines_[end - 1].empty()) --end;
      return {i + 1, end};
    }
    return {0, 0};
  }

  static bool names(const std::string& line, int port) {
    if (line.empty() || line[0] != '"') return false;
    return lower(unquote(line, 0)) == "com" + std::to_string(port);
  }

  fs::path file_;
  std::vector<std::string> lines_;
};

// The wineserver of `prefix`, if one runs: it works in a folder named
// server-DEV-INODE of the prefix, and saves the registry over any edit when it
// ends. Without it no Wine program runs in the prefix.
long wineserver_of(const fs::path& prefix) {
  struct stat node {};
  if (::stat(prefix.c_str(), &node) != 0) return 0;
  char folder[64];
  std::snprintf(folder, sizeof folder, "server-%llx-%llx",
                static_cast<unsigned long long>(node.st_dev),
                static_cast<unsigned long long>(node.st_ino));
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    std::string name;
    std::getline(std::ifstream(it->path() / "comm"), name);
    if (name.rfind("wineserver", 0) != 0) continue;
    std::error_code unreadable;
    if (fs::read_symlink(it->path() / "cwd", unreadable).filename() == folder) {
      return std::atol(it->path().filename().c_str());
    }
  }
  return 0;
}

enum class Console { no, yes, unknown };

// Whether the library counts `device` as a system console. Its listing tells
// for every device a comN name leads to, so the device gets one, in a folder
// of its own for the length of the listing.
Console console(const Machine& machine, const std::string& device) {
  const std::string consoles = machine.at("/proc/consoles");
  if (!fs::is_regular_file(consoles) || !std::ifstream(consoles)) return Console::unknown;
  std::string dir = (fs::temp_directory_path() / "qelmar-wine-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return Console::unknown;
  std::error_code error;
  fs::create_symlink(device, fs::path(dir) / "com1", error);
  const char* before = std::getenv("QELMAR_DEVICE_DIR");
  const std::optional<std::string> saved =
      before != nullptr ? std::optional<std::string>(before) : std::nullopt;
  ::setenv("QELMAR_DEVICE_DIR", dir.c_str(), 1);
  Console found = Console::unknown;
  try {
    const std::string want = real(device);
    for (const SerialDevice& d : list_ports(machine)) {
      if (real(machine.at(d.path)) == want || real(d.path) == want) {
        found = d.console ? Console::yes : Console::no;
      }
    }
  } catch (const std::exception&) {
  }
  if (saved) {
    ::setenv("QELMAR_DEVICE_DIR", saved->c_str(), 1);
  } else {
    ::unsetenv("QELMAR_DEVICE_DIR");
  }
  fs::remove_all(dir, error);
  return found;
}

// What a dosdevices link leads to, as Wine reads it: relative to its folder.
std::string link_target(const fs::path& link) {
  std::error_code error;
  const fs::path target = fs::read_symlink(link, error);
  if (error) return {};
  return (target.is_absolute() ? target : link.parent_path() / target).string();
}

// Replaces (or makes) `link` at once, so that Wine never finds it missing.
bool make_link(const fs::path& link, const std::string& device, std::string& why) {
  const fs::path temporary = link.string() + ".qelmar";
  std::error_code error;
  fs::remove(temporary, error);
  fs::create_symlink(device, temporary, error);
  if (!error) fs::rename(temporary, link, error);
  if (error) {
    why = "cannot link " + link.string() + ": " + error.message();
    fs::remove(temporary, error);
    return false;
  }
  // sudo on another user's prefix: theirs, like the folder.
  struct stat folder {};
  if (::stat(link.parent_path().c_str(), &folder) == 0) {
    (void)::lchown(link.c_str(), folder.st_uid, folder.st_gid);
  }
  return true;
}

struct Prefix {
  fs::path dir, dosdevices, link;
  std::string com;  // COMn
  Registry registry{""};
};

// The prefix, checked: a folder Wine made, with no Wine running in it.
bool open_prefix(const WinePortOptions& o, Prefix& p, std::ostream& err) {
  p.dir = fs::absolute(wine_prefix(o.prefix)).lexically_normal();
  p.dosdevices = p.dir / "dosdevices";
  p.com = "COM" + std::to_string(o.port);
  p.link = p.dosdevices / ("com" + std::to_string(o.port));  // Wine's names are lower case
  p.registry = Registry(p.dir / "system.reg");
  std::string why;
  if (!fs::is_directory(p.dosdevices) || !p.registry.load(why)) {
    err << "qelmar: " << p.dir.string() << " is not a Wine prefix ("
        << (fs::is_directory(p.dosdevices) ? why : "no dosdevices folder")
        << "); make one with: WINEPREFIX=" << p.dir.string() << " wineboot -i\n";
    return false;
  }
  if (const long server = wineserver_of(p.dir); server != 0) {
    err << "qelmar: Wine is running in " << p.dir.string() << " (wineserver, process " << server
        << "), and would write its registry over the change: end its programs, or run "
           "WINEPREFIX="
        << p.dir.string() << " wineserver -k, then try again\n";
    return false;
  }
  return true;
}

int map_port(const Machine& machine, const WinePortOptions& o, Prefix& p, std::ostream& out,
             std::ostream& err) {
  // As given, not resolved: a /dev/serial/by-id name keeps the adapter's port
  // whatever socket it is in.
  const std::string device = fs::absolute(o.device).lexically_normal().string();
  // Wine reads other bytes of its registry by escapes this does not write.
  if (std::any_of(device.begin(), device.end(), [](char c) { return c < ' ' || c > '~'; })) {
    err << "qelmar: " << device << ": name the device by a path in plain ASCII, such as its "
        << "/dev/serial/by-id link\n";
    return 2;
  }
  struct stat node {};
  if (::stat(device.c_str(), &node) != 0) {
    err << "qelmar: " << device << ": no such device\n";
    return 2;
  }
  if (!S_ISCHR(node.st_mode)) {
    err << "qelmar: " << device << " is not a character device (a tty)\n";
    return 2;
  }
  switch (console(machine, device)) {
    case Console::yes:
      err << "qelmar: " << device
          << " is the system console (/proc/consoles lists it): frames would land among the "
             "kernel's messages or on a login prompt, so it is not mapped\n";
      return 2;
    case Console::unknown:
      err << "qelmar: /proc/consoles cannot be read, so whether " << device
          << " is the system console cannot be told: it is not mapped\n";
      return 2;
    case Console::no:
      break;
  }
  std::error_code error;
  if (fs::exists(fs::symlink_status(p.link, error)) && !fs::is_symlink(p.link, error)) {
    err << "qelmar: " << p.link.string() << " is not a link; move it away first\n";
    return 2;
  }
  const std::string before = link_target(p.link);
  std::string why;
  p.registry.set(o.port, device);
  if (!p.registry.save(why) || !make_link(p.link, device, why)) {
    err << "qelmar: " << why << "\n";
    return 2;
  }
  out << p.com << " in " << p.dir.string() << " leads to " << device;
  if (!before.empty() && before != device) out << " (it led to " << before << ")";
  out << ": dosdevices/" << p.link.filename().string() << ", and HKLM\\Software\\Wine\\Ports, "
      << "from which Wine lists it under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM when it starts\n";
  return 0;
}

// Takes back what map_port made: the Ports value, and the link while it still
// leads where that value says. Wine's own links, and one changed by hand, stay.
int unmap_port(const WinePortOptions& o, Prefix& p, std::ostream& out, std::ostream& err) {
  const std::optional<std::string> mapped = p.registry.value(o.port);
  const std::string target = link_target(p.link);
  if (!mapped) {
    out << p.com << " in " << p.dir.string() << " is not mapped by qelmar wine-port; nothing "
        << "to remove";
    if (!target.empty())
      out << " (dosdevices/" << p.link.filename().string() << " -> " << target
          << " is Wine's own or made by hand, and stays)";
    out << "\n";
    return 0;
  }
  std::string why;
  p.registry.set(o.port, std::nullopt);
  if (!p.registry.save(why)) {
    err << "qelmar: " << why << "\n";
    return 2;
  }
  std::error_code error;
  const bool ours = !target.empty() && target == *mapped;
  if (ours && !fs::remove(p.link, error)) {
    err << "qelmar: cannot remove " << p.link.string() << ": " << error.message() << "\n";
    return 2;
  }
  out << p.com << " in " << p.dir.string() << " no longer leads to " << *mapped;
  if (!ours && !target.empty()) {
    out << " (dosdevices/" << p.link.filename().string() << " -> " << target
        << " was changed by hand, and stays)";
  }
  out << "\n";
  return 0;
}

}  // namespace

std::string wine_prefix(const std::string& given) {
  if (!given.empty()) return given;
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix != nullptr && *prefix != '\0') return prefix;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.wine";
}

int wine_port(const Machine& machine, const WinePortOptions& options, std::ostream& out,
              std::ostream& err) {
  Prefix prefix;
  if (!open_prefix(options, prefix, err)) return 2;
  return options.remove ? unmap_port(options, prefix, out, err)
                        : map_port(machine, options, prefix, out, err);
}

bool check_wine_port(const Machine& machine, int port, std::ostream& out) {
  const fs::path dir = wine_prefix("");
  const fs::path link = dir / "dosdevices" / ("com" + std::to_string(port));
  if (!fs::is_directory(dir / "dosdevices")) return true;
  std::string device = link_target(link);
  Registry registry(dir / "system.reg");
  std::string why;
  if (device.empty() && registry.load(why)) device = registry.value(port).value_or("");
  if (device.empty()) return true;
  const std::string com = "Wine's COM" + std::to_string(port) + " in " + dir.string();
  std::error_code error;
  if (!fs::exists(device, error)) {
    out << "problem  " << com << " leads to " << device
        << ", which is not there: plug it in, or map it anew: qelmar wine-port -p " << port
        << " DEVICE\n";
    return false;
  }
  if (console(machine, device) == Console::yes) {
    out << "problem  " << com << " leads to " << device
        << ", the system console (/proc/consoles lists it): a Windows host's frames land among "
           "the kernel's messages; map it to the display: qelmar wine-port -p "
        << port << " DEVICE\n";
    return false;
  }
  out << "ok       " << com << " leads to " << device << "\n";
  return true;
}

}  // namespace qelmar::tools
