// SPDX-License-Identifier: MIT
// The calls behind the entry points. Nothing thrown inside ever leaves them.
#include "api/calls.h"

#include <algorithm>
#include <array>
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
void on_port(std::int32_t port, Ports ports, CallStatus* status, const Send& send) noexcept {
  try {
    if (ports == Ports::numbered && !numbered_port(port)) {
      if (status != nullptr) {
        status->outcome = Outcome::not_found;
        status->reason = outside_ports;
      }
      return;
    }
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
    send(connection, lock);
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

std::int32_t send_command(std::int32_t port, const char* command, CallStatus* status,
                          Ports ports) noexcept {
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
    on_port(port, ports, status, [&](serial::Connection& connection, serial::PortLock&) {
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

void send_rc(std::int32_t port, std::int32_t first, std::int32_t second, CallStatus* status,
             Ports ports) noexcept {
  const Timing timing(status);
  const auto frame = rc_frame(first, second);
  on_port(port, ports, status,
          [&](serial::Connection& connection, serial::PortLock&) { connection.write(frame); });
}

namespace {

using Clock = std::chrono::steady_clock;

// What became of one text of a batch, beside what the batch shares.
struct Settled {
  Outcome outcome = Outcome::unfilled;
  const char* reason = "";
  std::size_t frame = 0;
  std::size_t sent = 0;
  std::int32_t result = result_done;
  Clock::time_point at;
};

constexpr const char* batch_stopped = "an earlier frame of the batch did not go out whole";

// Writes each frame of the batch in order on the connection the batch holds.
void write_batch(serial::Connection& connection, serial::PortLock& lock,
                 std::span<const Command> encoded, std::span<Settled> settled, CallStatus& shared) {
  bool first = true;
  bool stopped = false;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (!encoded[i].send) continue;
    Settled& text = settled[i];
    if (stopped) {
      text.outcome = Outcome::behind_held_up;
      text.reason = batch_stopped;
      continue;
    }
    // The port was not had: every frame shares why, as the connection said.
    if (shared.outcome != Outcome::delivered) break;
    if (!first) lock.extend_to(Clock::now() + serial::port_wait);
    first = false;
    const std::size_t sent_before = shared.sent;
    const auto frame = encoded[i].frame.bytes();
    connection.write(frame);
    text.sent = shared.sent - sent_before;
    if (text.sent > 0 && encoded[i].pause_follows) serial::pause(key_pause);
    text.at = Clock::now();
    if (shared.outcome == Outcome::delivered && text.sent == frame.size()) {
      text.outcome = Outcome::delivered;
    } else {
      text.outcome = shared.outcome == Outcome::delivered ? Outcome::stuck : shared.outcome;
      text.reason = shared.reason;
      stopped = true;
    }
  }
}

// Encodes one text of a batch, settling one that sends nothing as a single
// call would. Whether it has a frame to send.
bool encode_text(const char* command, Command& encoded, Settled& text) {
  const std::string_view view = command != nullptr ? std::string_view(command) : std::string_view();
  text.at = Clock::now();
  if (view.empty()) {
    text.outcome = Outcome::empty;
    text.result = result_empty;
    return false;
  }
  encoded = encode(view);
  text.result = encoded.result;
  if (encoded.send) {
    text.frame = encoded.frame.size();
    return true;
  }
  const bool dropped = encoded.dropped_because[0] != '\0';
  text.outcome = dropped ? Outcome::dropped : Outcome::nothing_to_send;
  text.reason = encoded.dropped_because;
  return false;
}

}  // namespace

std::size_t send_many(std::int32_t port, const char* const* commands, std::size_t count,
                      ManyReport* report, Ports ports) noexcept {
  try {
    const Clock::time_point start = Clock::now();
    count = std::min(count, many_max);
    std::array<Command, many_max> encoded{};
    std::array<Settled, many_max> settled{};
    bool any_frame = false;
    for (std::size_t i = 0; i < count; ++i) {
      const bool sends =
          encode_text(commands != nullptr ? commands[i] : nullptr, encoded[i], settled[i]);
      any_frame = any_frame || sends;
    }
    CallStatus shared;
    shared.entry = "qelmar_send_many";
    shared.port = port;
    // Texts that send nothing leave the port alone: there is no turn to keep.
    if (any_frame) {
      on_port(port, ports, &shared, [&](serial::Connection& connection, serial::PortLock& lock) {
        write_batch(connection, lock, std::span(encoded).first(count),
                    std::span(settled).first(count), shared);
      });
    }
    std::size_t whole = 0;
    for (std::size_t i = 0; i < count; ++i) {
      Settled& s = settled[i];
      // Not tried: the turn, or the port, was not had.
      if (s.outcome == Outcome::unfilled) {
        s.outcome = shared.outcome == Outcome::delivered ? Outcome::stuck : shared.outcome;
        s.reason = shared.reason;
        s.at = Clock::now();
      }
      if (s.outcome == Outcome::delivered) ++whole;
    }
    if (report == nullptr) return whole;
    CallStatus status;
    for (std::size_t i = 0; i < count; ++i) {
      const Settled& s = settled[i];
      status = shared;
      // A text without a frame had no part in the port.
      if (s.frame == 0) {
        status.tried_count = 0;
        status.holder = 0;
        status.group[0] = '\0';
      }
      status.outcome = s.outcome;
      status.reason = s.reason;
      status.frame = s.frame;
      status.sent = s.sent;
      status.milliseconds = std::chrono::duration<double, std::milli>(s.at - start).count();
      report->text(i, status, s.result);
    }
    return whole;
  } catch (...) {
    return 0;
  }
}

// The reason below says the longest frame in words.
static_assert(max_frame == 81);

void send_frame(std::int32_t port, const std::uint8_t* bytes, std::size_t length,
                CallStatus* status, Ports ports) noexcept {
  const Timing timing(status);
  if (bytes == nullptr || length == 0 || length > max_frame) {
    if (status != nullptr) {
      status->outcome = Outcome::dropped;
      status->frame = length;
      status->reason = bytes == nullptr && length > 0 ? "no bytes given for the frame"
                                                      : "a frame is 1 to 81 bytes long";
    }
    return;
  }
  const std::span<const std::uint8_t> frame(bytes, length);
  // The F key's frame is its letter code alone.
  const bool key = length == 1 && bytes[0] == letter_byte(pause_key);
  on_port(port, ports, status, [&](serial::Connection& connection, serial::PortLock&) {
    connection.write(frame);
    if (key && connection.went_out()) serial::pause(key_pause);
  });
}

void play_sound(const char* path, sound::SoundStatus* status) noexcept {
  sound::play(path, status);
}

}  // namespace qelmar
