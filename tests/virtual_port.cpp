#include "virtual_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "qelmar.h"

namespace qelmar::test {

DeviceDir::DeviceDir() {
  char tmpl[] = "/tmp/qelmar-test-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
  ::setenv("QELMAR_DEVICE_DIR", path_.c_str(), 1);
}

DeviceDir::~DeviceDir() {
  ::unsetenv("QELMAR_DEVICE_DIR");
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

VirtualPort::VirtualPort(const DeviceDir& dir, int number) : number_(number) {
  char name[256];
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty");
  slave_path_ = name;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  link_ = dir.path() + "/com" + std::to_string(number);
  std::filesystem::create_symlink(slave_path_, link_);
}

VirtualPort::~VirtualPort() {
  std::error_code ignored;
  std::filesystem::remove(link_, ignored);
  ::close(slave_);
  ::close(master_);
}

std::vector<std::uint8_t> VirtualPort::read_quiet(std::chrono::milliseconds quiet) const {
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[4096];
  for (;;) {
    pollfd ready{master_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(quiet.count())) <= 0) return bytes;
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) return bytes;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
}

std::vector<std::uint8_t> VirtualPort::read_through_marker() const {
  static constexpr std::uint8_t marker[] = {0x12, 0xA5, 0x5A};
  ::tavrc(number_, 0xA5, 0x5A);
  std::vector<std::uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (bytes.size() < 3 || !std::equal(std::end(marker) - 3, std::end(marker), bytes.end() - 3)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("marker frame never arrived");
    std::vector<std::uint8_t> more = read_quiet(std::min(left, std::chrono::milliseconds(100)));
    bytes.insert(bytes.end(), more.begin(), more.end());
  }
  bytes.resize(bytes.size() - 3);
  return bytes;
}

}  // namespace qelmar::test
