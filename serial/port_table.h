#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qelmar::serial {

// A fixed table of per-port slots, claimed on first use and never released.
// Once every slot is taken, further ports share a slot with another port,
// which costs them only waiting for each other. It starts as all zero bytes, so
// it takes no room in the library file.
template <class Mutex>
class PortTable {
 public:
  struct Slot {
    std::atomic<std::int64_t> port{unclaimed};  // key_of(port) once claimed
    Mutex mutex;
    // Under the mutex: the last call that was held up, and when it ended
    // (steady_clock ticks).
    std::int32_t held_up_port = 0;
    long long held_up_at = 0;  // the steady clock is past 0 by the first call
  };

  static constexpr std::size_t size = 256;

  Slot& slot(std::int32_t port) noexcept {
    const std::size_t home = (static_cast<std::uint32_t>(port) * 2654435761u) % std::uint32_t{size};
    for (std::size_t i = 0; i < size; ++i) {
      Slot& s = slots_[(home + i) % size];
      std::int64_t key = s.port.load(std::memory_order_acquire);
      if (key == unclaimed) {
        s.port.compare_exchange_strong(key, key_of(port), std::memory_order_acq_rel);
        key = s.port.load(std::memory_order_acquire);
      }
      if (key == key_of(port)) return s;
    }
    return slots_[home];
  }

  std::array<Slot, size>& slots() noexcept { return slots_; }

 private:
  static constexpr std::int64_t unclaimed = 0;
  // Never 0, whatever the port number.
  static constexpr std::int64_t key_of(std::int32_t port) {
    return std::int64_t{port} + (std::int64_t{1} << 32);
  }
  std::array<Slot, size> slots_;
};

// Holds a value that is never destroyed, so that nothing is torn down under
// threads that are still running while the process exits.
template <class T>
union Forever {
  constexpr Forever() : value() {}
  ~Forever() {}
  T value;
};

inline long long now_ticks() noexcept {
  return std::chrono::steady_clock::now().time_since_epoch().count();
}

}  // namespace qelmar::serial
