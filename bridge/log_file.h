// SPDX-License-Identifier: MIT
#pragma once

// The service's log on Windows, where no journal keeps its output: a file an
// administrator can open, which never fills the disk of a till left running
// for years. Past `limit` bytes the file becomes NAME.1, replacing the one
// before, and a new one begins, so the two never hold more than twice that.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <utility>

namespace qelmar::bridge {

class LogFile {
 public:
  LogFile(std::filesystem::path path, std::uintmax_t limit)
      : path_(std::move(path)), limit_(limit) {
    std::error_code ec;
    size_ = std::filesystem::file_size(path_, ec);
    if (ec) size_ = 0;
  }

  // A whole line, with its newline; one longer than the limit is cut to it.
  // Opened for each line, so that the file may be read, moved or deleted
  // while the service runs.
  void write(std::string_view line) {
    if (line.size() > limit_) line = line.substr(0, limit_);
    if (size_ > 0 && size_ + line.size() > limit_) rotate();
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    if (!out) return;
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    if (out) size_ += line.size();
  }

 private:
  void rotate() {
    std::filesystem::path older = path_;
    older += ".1";
    std::error_code ec;
    std::filesystem::remove(older, ec);
    std::filesystem::rename(path_, older, ec);
    // A file held open elsewhere cannot be renamed on Windows: it is emptied
    // instead, which still keeps the bound.
    if (ec) std::ofstream(path_, std::ios::binary | std::ios::trunc);
    size_ = 0;
  }

  std::filesystem::path path_;
  std::uintmax_t limit_;
  std::uintmax_t size_ = 0;
};

}  // namespace qelmar::bridge
