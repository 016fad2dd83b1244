// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "encoder/protocol.h"

namespace qelmar {

// One outgoing frame. put() never writes past the buffer; a builder that would
// have overflowed it finds overflowed() set and drops the frame.
class Frame {
 public:
  static constexpr std::size_t capacity = max_frame;

  void put(std::uint8_t byte) {
    if (size_ < capacity) {
      bytes_[size_++] = byte;
    } else {
      overflowed_ = true;
    }
  }
  void put(std::uint8_t a, std::uint8_t b) {
    put(a);
    put(b);
  }
  std::size_t size() const { return size_; }
  bool overflowed() const { return overflowed_; }
  std::span<const std::uint8_t> bytes() const { return {bytes_.data(), size_}; }

 private:
  std::array<std::uint8_t, capacity> bytes_{};
  std::size_t size_ = 0;
  bool overflowed_ = false;
};

}  // namespace qelmar
