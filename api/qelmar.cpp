// The library's three entry points. Nothing thrown inside ever reaches the host.
#include "qelmar.h"

#include <string_view>

#include "encoder/interpreter.h"
#include "serial/port.h"
#include "serial/port_lock.h"
#include "sound/sound.h"

namespace {

// Runs `send` on the port's connection once this call has its turn. A call
// queued behind one that was held up (a stuck line, a port that stayed busy)
// sends nothing.
template <class Send>
void on_port(std::int32_t port, const Send& send) noexcept {
  try {
    qelmar::serial::PortLock lock(port);
    if (lock.behind_held_up_call()) return;
    qelmar::serial::Connection connection(port);
    send(connection);
    if (connection.held_up()) lock.mark_held_up();
  } catch (...) {
    // The frame is lost, as for a missing port.
  }
}

}  // namespace

extern "C" {

QELMAR_API std::int32_t QELMAR_CALL tavdll(std::int32_t port, const char* command) QELMAR_NOEXCEPT {
  try {
    const std::string_view text =
        command != nullptr ? std::string_view(command) : std::string_view();
    if (text.empty()) return qelmar::result_empty;

    const qelmar::Command encoded = qelmar::encode(text);
    on_port(port, [&](qelmar::serial::Connection& connection) {
      if (encoded.send) connection.write(encoded.frame.bytes());
      if (encoded.pause_follows) qelmar::serial::pause(qelmar::key_pause);
    });
    return encoded.result;
  } catch (...) {
    return qelmar::result_done;
  }
}

QELMAR_API std::int32_t QELMAR_CALL tavrc(std::int32_t port, std::int32_t first,
                                          std::int32_t second) QELMAR_NOEXCEPT {
  const std::uint8_t frame[] = {qelmar::rc_lead, static_cast<std::uint8_t>(first),
                                static_cast<std::uint8_t>(second)};
  on_port(port, [&](qelmar::serial::Connection& connection) { connection.write(frame); });
  return 0;
}

QELMAR_API std::int32_t QELMAR_CALL tavadd(std::int32_t, const char* path) QELMAR_NOEXCEPT {
  qelmar::sound::play(path);
  return 0;
}

}  // extern "C"
