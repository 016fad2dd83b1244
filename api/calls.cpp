// SPDX-License-Identifier: MIT
// The calls behind the entry points. Nothing thrown inside ever leaves them.
#include "api/calls.h"

#include <chrono>
#include <string_view>

#include "encoder/interpreter.h"
#include "serial/port.h"
#include "serial/port_lock.h"

namespace qelmar {
namespace {

// Runs `send` on the port's connection once this call has its turn. A call
// queued behind one that was held up (a stuck line, a port that stayed busy)
// sends nothing.
template <class Send>
void on_port(std::int32_t port, CallStatus* status, const Send& send) noexcept {
  try {
    // Until something says otherwise.
    if (status != nullptr) status->outcome = Outcome::delivered;
    serial::PortLock lock(port, std::chrono::steady_clock::now() + serial::port_wait);
    if (!lock.taken()) {
      // Calls of this process held the port to the end of the wait.
      if (status != nullptr) {
        status->outcome = Outcome::busy;
        status->holder = serial::this_process();
      }
      return;
    }
    if (lock.behind_held_up_call()) {
      if (status != nullptr) status->outcome = Outcome::behind_held_up;
      return;
    }
    serial::Connection connection(port, lock, status);
    send(connection);
    if (connection.held_up()) lock.mark_held_up();
  } catch (...) {
    // The frame is lost, as for a missing port.
  }
}

// Times the call for the status, when there is one.
class Timing {
 public:
  explicit Timing(CallStatus* status) : status_(status) {
    if (status_ != nullptr) start_ = std::chrono::steady_clock::now();
  }
  ~Timing() {
    if (status_ == nullptr) return;
    status_->milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
  }
  Timing(const Timing&) = delete;
  Timing& operator=(const Timing&) = delete;

 private:
  CallStatus* status_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

std::int32_t send_command(std::int32_t port, const char* command, CallStatus* status) noexcept {
  try {
    const Timing timing(status);
    const std::string_view text =
        command != nullptr ? std::string_view(command) : std::string_view();
    if (text.empty()) {
      if (status != nullptr) status->outcome = Outcome::empty;
      return result_empty;
    }
    const Command encoded = encode(text);
    if (status != nullptr && !encoded.send) {
      const bool dropped = encoded.dropped_because[0] != '\0';
      status->outcome = dropped ? Outcome::dropped : Outcome::nothing_to_send;
      status->reason = encoded.dropped_because;
    }
    const Outcome encoder_outcome = status != nullptr ? status->outcome : Outcome::delivered;
    on_port(port, status, [&](serial::Connection& connection) {
      if (encoded.send) connection.write(encoded.frame.bytes());
      // The pause keeps the line quiet after the key: nothing to keep quiet
      // when the key did not go out.
      if (encoded.pause_follows && connection.went_out()) serial::pause(key_pause);
    });
    // Nothing would have gone out whatever the port did: say why.
    if (status != nullptr && !encoded.send) status->outcome = encoder_outcome;
    return encoded.result;
  } catch (...) {
    return result_done;
  }
}

void send_rc(std::int32_t port, std::int32_t first, std::int32_t second,
             CallStatus* status) noexcept {
  const Timing timing(status);
  const std::uint8_t frame[] = {rc_lead, static_cast<std::uint8_t>(first),
                                static_cast<std::uint8_t>(second)};
  on_port(port, status, [&](serial::Connection& connection) { connection.write(frame); });
}

void play_sound(const char* path, sound::SoundStatus* status) noexcept {
  sound::play(path, status);
}

}  // namespace qelmar
