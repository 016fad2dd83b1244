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

TempDir::TempDir() {
  char tmpl[] = "/tmp/qelmar-test-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

DeviceDir::DeviceDir() { ::setenv("QELMAR_DEVICE_DIR", dir_.path().c_str(), 1); }

DeviceDir::~DeviceDir() { ::unsetenv("QELMAR_DEVICE_DIR"); }

VirtualPort::VirtualPort(const std::string& dir, int number) : number_(number) {
  char name[256];
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty");
  slave_path_ = name;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  link_ = dir + "/com" + std::to_string(number);
  std::filesystem::create_symlink(slave_path_, link_);
}

VirtualPort::~VirtualPort() {
  std::error_code ignored;
  std::filesystem::remove(link_, ignored);
  ::close(slave_);
  ::close(master_);
}

namespace {

// Appends what the master has, waiting up to `wait` for the first byte.
bool read_some(int master, std::chrono::milliseconds wait, std::vector<std::uint8_t>& bytes) {
  pollfd ready{master, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return false;
  std::uint8_t chunk[4096];
  const ssize_t n = ::read(master, chunk, sizeof chunk);
  if (n <= 0) return false;
  bytes.insert(bytes.end(), chunk, chunk + n);
  return true;
}

}  // namespace

std::vector<std::uint8_t> VirtualPort::read_quiet(std::chrono::milliseconds quiet) const {
  std::vector<std::uint8_t> bytes;
  while (read_some(master_, quiet, bytes)) {
  }
  return bytes;
}

std::vector<std::uint8_t> VirtualPort::read_until(const std::vector<std::uint8_t>& tail) const {
  using Clock = std::chrono::steady_clock;
  std::vector<std::uint8_t> bytes;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (bytes.size() < tail.size() ||
         !std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<long>(tail.size()))) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) throw std::runtime_error("the closing frame never arrived");
    read_some(master_, left, bytes);
  }
  bytes.resize(bytes.size() - tail.size());
  return bytes;
}

std::vector<std::uint8_t> VirtualPort::read_through_marker() const {
  ::tavrc(number_, 0xA5, 0x5A);
  return read_until({0x12, 0xA5, 0x5A});
}

}  // namespace qelmar::test
