// The library's three entry points.
#include "qelmar.h"

#include <string_view>

#include "encoder/interpreter.h"
#include "serial/port.h"
#include "serial/port_lock.h"
#include "sound/sound.h"

namespace {

class PortSink final : public qelmar::FrameSink {
 public:
  explicit PortSink(qelmar::serial::Connection& connection) : connection_(connection) {}
  void write(std::span<const std::uint8_t> frame) override { connection_.write(frame); }
  void pause(std::chrono::milliseconds duration) override { qelmar::serial::hold(duration); }

 private:
  qelmar::serial::Connection& connection_;
};

}  // namespace

extern "C" {

QELMAR_API std::int32_t QELMAR_CALL tavdll(std::int32_t port, const char* command) {
  const std::string_view text = command != nullptr ? std::string_view(command) : std::string_view();
  if (text.empty()) return qelmar::result_empty;

  const qelmar::serial::PortLock lock(port);
  qelmar::serial::Connection connection(port);
  PortSink sink(connection);
  return qelmar::interpret(text, sink);
}

QELMAR_API std::int32_t QELMAR_CALL tavrc(std::int32_t port, std::int32_t first,
                                          std::int32_t second) {
  const std::uint8_t frame[] = {0x12, static_cast<std::uint8_t>(first),
                                static_cast<std::uint8_t>(second)};
  const qelmar::serial::PortLock lock(port);
  qelmar::serial::Connection connection(port);
  connection.write(frame);
  return 0;
}

QELMAR_API std::int32_t QELMAR_CALL tavadd(std::int32_t, const char* path) {
  qelmar::sound::play(path);
  return 0;
}

}  // extern "C"
