// SPDX-License-Identifier: MIT
#include "virtual_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

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

void VirtualPort::stop_line() const {
  const int filler = ::open(slave_path_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
  if (filler < 0) throw std::runtime_error("cannot open " + slave_path_);
  // Set up as the library sets the line, so that its set-up changes nothing:
  // a change of settings lets a full pseudo-terminal take bytes again.
  termios line{};
  ::tcgetattr(filler, &line);
  ::cfmakeraw(&line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CREAD | CLOCAL;
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  ::cfsetispeed(&line, B2400);
  ::cfsetospeed(&line, B2400);
  ::tcsetattr(filler, TCSANOW, &line);
  const std::vector<char> block(4096, 'x');
  // The kernel moves what was written on to the reader's side in the
  // background, which makes room again: full is when pauses made none, several
  // in a row, as on a loaded machine that work can wait past one pause.
  for (int still = 0; still < 5;) {
    bool wrote = false;
    while (::write(filler, block.data(), block.size()) > 0) wrote = true;
    still = wrote ? 0 : still + 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(filler);
}

}  // namespace qelmar::test
