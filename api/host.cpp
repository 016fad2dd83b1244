// SPDX-License-Identifier: MIT
// The host face: the same calls as the legacy entry points, with what became of
// each handed back in the caller's record. Nothing thrown inside leaves it.
#include "qelmar/host.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "api/calls.h"
#include "api/gb2312.h"
#include "api/log.h"
#include "api/pin.h"
#include "encoder/interpreter.h"
#include "encoder/marked_text.h"
#include "serial/port.h"
#include "serial/port_list.h"

namespace {

using qelmar::CallStatus;
using qelmar::Outcome;

template <std::size_t N>
void copy_text(char (&out)[N], const char* text) {
  std::snprintf(out, N, "%s", text != nullptr ? text : "");
}

template <std::size_t N>
void end_text(char (&text)[N]) {
  text[N - 1] = '\0';
}

// The core's outcomes are the host's, value for value: both come from one list.
#define QELMAR_SAME_VALUE(constant, value, name, words)                 \
  static_assert(static_cast<int>(Outcome::name) == QELMAR_##constant && \
                QELMAR_##constant == (value));
QELMAR_OUTCOMES(QELMAR_SAME_VALUE, )
#undef QELMAR_SAME_VALUE

qelmar_outcome public_outcome(Outcome outcome) { return static_cast<qelmar_outcome>(outcome); }

// The way back, for describe: a host's record may hold any number there, so
// it is read as one; values the list lacks stay unfilled.
Outcome core_outcome(const qelmar_status& status) {
  std::int32_t value = 0;
  static_assert(sizeof value == sizeof status.outcome);
  std::memcpy(&value, &status.outcome, sizeof value);
  return qelmar::outcome_of(value).value_or(Outcome::unfilled);
}

// A record's size is the host's to set. One short of the first version's, or
// far past any version's, is a record that was never set up: nothing is written
// to it, nor read from it.
bool set_up(std::uint32_t size, std::size_t first_version) {
  return size >= first_version && size <= QELMAR_RECORD_SIZE_MAX;
}

// Hands a record filled in full to the host, as far as the host's record
// reaches; its size stays the host's.
template <class Record>
void hand_over(Record& filled, std::uint32_t size, void* out) {
  filled.size = size;
  std::memcpy(out, &filled, std::min<std::size_t>(size, sizeof filled));
}

void fill(const char* name, const CallStatus& call, std::int32_t result, qelmar_status& out) {
  std::memset(&out, 0, sizeof out);
  copy_text(out.call, name);
  out.outcome = public_outcome(call.outcome);
  out.result = result;
  out.port = call.port;
  out.tried_count = call.tried_count;
  for (int i = 0; i < call.tried_count && i < static_cast<int>(std::size(out.tried)); ++i) {
    copy_text(out.tried[i], call.tried[i]);
  }
  copy_text(out.group, call.group);
  out.holder = call.holder;
  copy_text(out.reason, call.reason);
  out.frame_bytes = static_cast<std::uint32_t>(call.frame);
  out.sent_bytes = static_cast<std::uint32_t>(call.sent);
  out.milliseconds = call.milliseconds;
}

// Runs one call with a status whenever the host or the log wants one.
template <class Call>
std::int32_t with_status(const char* entry, const char* name, std::int32_t port,
                         qelmar_status* status, const Call& call) noexcept {
  // The size as checked bounds the write, whatever the host does to it meanwhile.
  const std::uint32_t size = status != nullptr ? status->size : 0;
  if (!set_up(size, QELMAR_STATUS_V1_SIZE)) status = nullptr;
  const bool logged = qelmar::log::enabled();
  if (status == nullptr && !logged) return call(nullptr);
  CallStatus record;
  record.entry = entry;
  record.port = port;
  const std::int32_t result = call(&record);
  if (logged) qelmar::log::write_call(record);
  if (status != nullptr) {
    qelmar_status filled;
    fill(name, record, result, filled);
    hand_over(filled, size, status);
  }
  return result;
}

// A sound's outcome in words, as the tool says it.
void describe_sound(const qelmar_status& s, char* out, std::size_t size) {
  switch (s.outcome) {
    case QELMAR_DELIVERED:
      // Windows's service does not say what it played.
      if (*s.sound_format == '\0') {
        std::snprintf(out, size, "played, to %s", s.sound_device);
      } else {
        std::snprintf(out, size, "played %s, %.2f s, to %s", s.sound_format, s.sound_seconds,
                      s.sound_device);
      }
      break;
    case QELMAR_ALERT_INSTEAD:
      std::snprintf(out, size, "the default alert instead (%s), to %s", s.reason, s.sound_device);
      break;
    case QELMAR_STUCK:
      std::snprintf(out, size, "not played to its end: %s", s.reason);
      break;
    case QELMAR_BAD_FILE:
      std::snprintf(out, size, "not played: %s", s.reason);
      break;
    default:
      std::snprintf(out, size, "%s", s.reason);
      break;
  }
}

}  // namespace

static_assert(qelmar::serial::port_wait.count() == QELMAR_CALL_BOUND_MS,
              "the header's bound is the calls' own");
static_assert(QELMAR_FRAME_BOUND_MS(0) == qelmar::key_pause.count() &&
                  QELMAR_FRAME_BOUND_MS(1) - QELMAR_FRAME_BOUND_MS(0) ==
                      qelmar::serial::write_time_per_byte.count(),
              "the header's bound of a batch's frame is the writes' own");

extern "C" {

// Each function first makes the library stay loaded for good: a host may
// unload it while another of its threads is inside a call, and the texts some
// of them return live in it.
QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_send(std::int32_t port, const char* command,
                                                     qelmar_status* status) noexcept {
  qelmar::stay_loaded();
  return with_status("qelmar_send", "send", port, status, [&](CallStatus* record) {
    return qelmar::send_command(port, command, record, qelmar::Ports::numbered);
  });
}

QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_send_rc(std::int32_t port, std::int32_t first,
                                                        std::int32_t second,
                                                        qelmar_status* status) noexcept {
  qelmar::stay_loaded();
  return with_status("qelmar_send_rc", "rc", port, status, [&](CallStatus* record) {
    qelmar::send_rc(port, first, second, record, qelmar::Ports::numbered);
    return std::int32_t{0};
  });
}

QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_play(const char* path,
                                                     qelmar_status* host_status) noexcept {
  qelmar::stay_loaded();
  const std::uint32_t size = host_status != nullptr ? host_status->size : 0;
  qelmar_status* status = set_up(size, QELMAR_STATUS_V1_SIZE) ? host_status : nullptr;
  const bool logged = qelmar::log::enabled();
  if (status == nullptr && !logged) {
    qelmar::play_sound(path, nullptr);
    return 0;
  }
  const auto start = std::chrono::steady_clock::now();
  qelmar::sound::SoundStatus sound;
  qelmar::play_sound(path, &sound);
  if (logged) qelmar::log::write_sound(path, sound);
  if (status == nullptr) return 0;
  qelmar_status filled;
  std::memset(&filled, 0, sizeof filled);
  copy_text(filled.call, "play");
  const std::string_view ending = sound.ending != nullptr ? sound.ending : "";
  if (ending == "played") {
    filled.outcome = *sound.fallback == '\0' ? QELMAR_DELIVERED : QELMAR_ALERT_INSTEAD;
    copy_text(filled.reason, sound.fallback);
  } else if (*sound.fallback != '\0') {
    // The file's fault first: it is the one its user can mend, and mending
    // the device alone would only bring the alert.
    filled.outcome = QELMAR_BAD_FILE;
    std::snprintf(filled.reason, sizeof filled.reason, "%s; no alert instead: %s", sound.fallback,
                  sound.ending != nullptr ? sound.ending : "");
  } else {
    filled.outcome = ending.starts_with("given up") ? QELMAR_STUCK : QELMAR_NOT_PLAYED;
    copy_text(filled.reason, sound.ending);
  }
  copy_text(filled.sound_format, sound.format);
  filled.sound_seconds = sound.seconds;
  copy_text(filled.sound_device, sound.device);
  filled.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  hand_over(filled, size, status);
  return 0;
}

QELMAR_HOST_API std::size_t QELMAR_CALL qelmar_describe(const qelmar_status* host_status,
                                                        char* buffer, std::size_t size) noexcept {
  qelmar::stay_loaded();
  // What of the host's record there is; fields it lacks read as zeros.
  qelmar_status known;
  std::memset(&known, 0, sizeof known);
  const std::uint32_t host_size = host_status != nullptr ? host_status->size : 0;
  const bool readable = set_up(host_size, QELMAR_STATUS_V1_SIZE);
  if (readable) {
    std::memcpy(&known, host_status, std::min<std::size_t>(host_size, sizeof known));
    // The host's texts, each ended within its field.
    end_text(known.call);
    end_text(known.group);
    end_text(known.reason);
    end_text(known.sound_format);
    end_text(known.sound_device);
  }
  const qelmar_status* status = readable ? &known : nullptr;
  char text[1024];
  if (status != nullptr && std::strcmp(status->call, "play") == 0) {
    describe_sound(*status, text, sizeof text);
  } else {
    CallStatus call;
    if (status != nullptr) {
      call.outcome = core_outcome(*status);
      call.port = status->port;
      static_assert(sizeof call.group == sizeof status->group);
      std::memcpy(call.group, status->group, sizeof call.group);
      call.holder = static_cast<long>(status->holder);
      call.reason = status->reason;
      call.frame = status->frame_bytes;
      call.sent = status->sent_bytes;
      call.milliseconds = status->milliseconds;
    }
    qelmar::describe(call, text, sizeof text);
  }
  if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", text);
  return std::strlen(text);
}

QELMAR_HOST_API const char* QELMAR_CALL qelmar_outcome_name(qelmar_outcome outcome) noexcept {
  qelmar::stay_loaded();
  switch (outcome) {
#define QELMAR_NAME(constant, value, name, words) \
  case QELMAR_##constant:                         \
    return #name;
    QELMAR_OUTCOMES(QELMAR_NAME, )
#undef QELMAR_NAME
  }
  return "unknown";
}

QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_encode(const char* command, std::uint8_t* frame,
                                                       std::size_t size, std::int32_t* result,
                                                       char* reason,
                                                       std::size_t reason_size) noexcept {
  qelmar::stay_loaded();
  try {
    const std::string_view text =
        command != nullptr ? std::string_view(command) : std::string_view();
    qelmar::Command encoded;
    if (text.empty()) {
      encoded.result = qelmar::result_empty;
    } else {
      encoded = qelmar::encode(text);
    }
    if (result != nullptr) *result = encoded.result;
    if (reason != nullptr && reason_size > 0) {
      std::snprintf(reason, reason_size, "%s", encoded.dropped_because);
    }
    if (!encoded.send) return -1;
    const auto bytes = encoded.frame.bytes();
    if (frame != nullptr) std::memcpy(frame, bytes.data(), std::min(size, bytes.size()));
    return static_cast<std::int32_t>(bytes.size());
  } catch (...) {
    return -1;
  }
}

QELMAR_HOST_API const char* QELMAR_CALL qelmar_version() noexcept {
  qelmar::stay_loaded();
  return QELMAR_VERSION_STRING;
}

QELMAR_HOST_API void QELMAR_CALL qelmar_port_range(std::int32_t* lowest,
                                                   std::int32_t* highest) noexcept {
  qelmar::stay_loaded();
  if (lowest != nullptr) *lowest = QELMAR_PORT_MIN;
  if (highest != nullptr) *highest = QELMAR_PORT_MAX;
}

QELMAR_HOST_API void QELMAR_CALL qelmar_set_log_hook(qelmar_log_hook hook, void* user) noexcept {
  qelmar::stay_loaded();
  qelmar::log::set_hook(hook, user);
}

}  // extern "C"

namespace {

// The machine below `root`, with the device folder the calls read.
qelmar::serial::Machine machine_at(const char* root) {
  qelmar::serial::Machine machine;
  if (root != nullptr && *root != '\0') machine.root = root;
  while (machine.root.size() > 1 && machine.root.back() == '/') machine.root.pop_back();
  const char* dir = std::getenv("QELMAR_DEVICE_DIR");
  if (dir != nullptr) machine.device_dir = dir;
  return machine;
}

template <std::size_t N>
void copy_first(char (&out)[N], const std::vector<std::string>& texts) {
  copy_text(out, texts.empty() ? "" : texts.front().c_str());
}

// Counts the whole list; keeps what fits.
template <class T, class U, std::size_t N>
std::int32_t copy_list(T (&out)[N], const std::vector<U>& list) {
  for (std::size_t i = 0; i < N && i < list.size(); ++i) out[i] = static_cast<T>(list[i]);
  return static_cast<std::int32_t>(std::min<std::size_t>(list.size(), INT32_MAX));
}

// Counts the whole list; keeps the texts that fit, each cut to its room.
template <std::size_t N, std::size_t M>
std::int32_t copy_texts(char (&out)[N][M], const std::vector<std::string>& texts) {
  for (std::size_t i = 0; i < N && i < texts.size(); ++i) copy_text(out[i], texts[i].c_str());
  return static_cast<std::int32_t>(std::min<std::size_t>(texts.size(), INT32_MAX));
}

void fill_port(const qelmar::serial::SerialDevice& d, qelmar_port_info& out) {
  std::memset(&out, 0, sizeof out);
  copy_text(out.path, d.path.c_str());
  copy_text(out.kind, d.kind.c_str());
  copy_text(out.driver, d.driver.c_str());
  copy_text(out.vendor_id, d.vendor_id.c_str());
  copy_text(out.product_id, d.product_id.c_str());
  copy_text(out.manufacturer, d.manufacturer.c_str());
  copy_text(out.product, d.product.c_str());
  copy_text(out.serial, d.serial.c_str());
  copy_first(out.by_id, d.by_id);
  out.port_count = copy_list(out.ports, d.ports);
  out.accessible = d.accessible ? 1 : 0;
  copy_text(out.group, d.group.c_str());
  out.holder_count = copy_list(out.holders, d.holders);
  out.console = d.console ? 1 : 0;
  copy_list(out.holder_how, d.holder_how);
  copy_texts(out.holder_names, d.holder_names);
  out.unseen_processes = d.unseen_processes;
  out.mode = d.mode;
  copy_text(out.owner, d.owner.c_str());
  out.running = d.running;
  out.master_count = copy_list(out.masters, d.masters);
  copy_texts(out.master_names, d.master_names);
  copy_text(out.consoles_unread, d.consoles_unread.c_str());
  out.by_path_count = copy_texts(out.by_path, d.by_path);
}

qelmar_route public_route(qelmar::serial::PortRoute route) {
  using qelmar::serial::PortRoute;
  switch (route) {
    case PortRoute::none:
      return QELMAR_ROUTE_NONE;
    case PortRoute::device_dir:
      return QELMAR_ROUTE_DEVICE_DIR;
    case PortRoute::alias:
      return QELMAR_ROUTE_ALIAS;
    case PortRoute::fallback:
      return QELMAR_ROUTE_FALLBACK;
    case PortRoute::console_skipped:
      return QELMAR_ROUTE_CONSOLE_SKIPPED;
    case PortRoute::com:
      return QELMAR_ROUTE_COM;
  }
  return QELMAR_ROUTE_NONE;
}

}  // namespace

extern "C" {

QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_list_ports(const char* root,
                                                           qelmar_port_info* ports,
                                                           std::int32_t capacity) noexcept {
  qelmar::stay_loaded();
  try {
    // The host's records are as far apart as the first one says.
    const bool room = ports != nullptr && capacity > 0;
    if (room && !set_up(ports->size, QELMAR_PORT_INFO_V1_SIZE)) return -1;
    const std::uint32_t stride = room ? ports->size : 0;
    std::vector<qelmar::serial::SerialDevice> devices;
    if (!qelmar::serial::list_ports(machine_at(root), devices)) return -1;
    for (std::size_t i = 0; room && i < devices.size() && i < static_cast<std::size_t>(capacity);
         ++i) {
      qelmar_port_info filled;
      fill_port(devices[i], filled);
      hand_over(filled, stride, reinterpret_cast<unsigned char*>(ports) + i * stride);
    }
    return static_cast<std::int32_t>(std::min<std::size_t>(devices.size(), INT32_MAX));
  } catch (...) {
    return -1;
  }
}

QELMAR_HOST_API qelmar_route QELMAR_CALL qelmar_resolve_port(const char* root, std::int32_t port,
                                                             char* path, std::size_t size,
                                                             std::size_t* length) noexcept {
  qelmar::stay_loaded();
  if (length != nullptr) *length = 0;
  try {
    // As long as the calls' own paths may be, so that the length is the whole one.
    char found[4096] = "";
    qelmar_route route =
        public_route(qelmar::serial::resolve_port(machine_at(root), port, found, sizeof found));
    // The calls of this face open nothing there: the path is the one not used.
    if (!qelmar::numbered_port(port)) route = QELMAR_ROUTE_NONE;
    if (path != nullptr && size > 0) std::snprintf(path, size, "%s", found);
    if (length != nullptr) *length = std::strlen(found);
    return route;
  } catch (...) {
    if (path != nullptr && size > 0) *path = '\0';
    return QELMAR_ROUTE_NONE;
  }
}

}  // extern "C"

namespace {

static_assert(QELMAR_MANY_MAX == qelmar::many_max);
static_assert(QELMAR_HOLDER_OPEN == qelmar::serial::held_open &&
              QELMAR_HOLDER_LOCKED == qelmar::serial::held_locked);
static_assert(QELMAR_RUNNING_MODEM_MANAGER == qelmar::serial::running_modem_manager &&
              QELMAR_RUNNING_BRLTTY == qelmar::serial::running_brltty);

// Hands each text of a batch to the log and to the host's record for it.
class ManyStatuses final : public qelmar::ManyReport {
 public:
  // The host's records are as far apart as the first one says.
  ManyStatuses(qelmar_status* statuses, std::uint32_t size, bool logged)
      : statuses_(reinterpret_cast<unsigned char*>(statuses)), size_(size), logged_(logged) {}

  void text(std::size_t index, const CallStatus& status, std::int32_t result) noexcept override {
    if (logged_) qelmar::log::write_call(status);
    if (statuses_ == nullptr) return;
    qelmar_status filled;
    fill("batch", status, result, filled);
    hand_over(filled, size_, statuses_ + index * size_);
  }

 private:
  unsigned char* statuses_;
  std::uint32_t size_;
  bool logged_;
};

}  // namespace

extern "C" {

QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_send_many(std::int32_t port,
                                                          const char* const* commands,
                                                          std::int32_t count,
                                                          qelmar_status* statuses) noexcept {
  qelmar::stay_loaded();
  if (count < 0 || count > QELMAR_MANY_MAX) return -1;
  const std::uint32_t size = statuses != nullptr ? statuses->size : 0;
  if (!set_up(size, QELMAR_STATUS_V1_SIZE)) statuses = nullptr;
  const bool logged = qelmar::log::enabled();
  ManyStatuses report(statuses, size, logged);
  const std::size_t whole =
      qelmar::send_many(port, commands, static_cast<std::size_t>(count),
                        statuses != nullptr || logged ? &report : nullptr, qelmar::Ports::numbered);
  return static_cast<std::int32_t>(whole);
}

QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_send_frame(std::int32_t port,
                                                           const std::uint8_t* bytes,
                                                           std::size_t length,
                                                           qelmar_status* status) noexcept {
  qelmar::stay_loaded();
  const std::uint32_t size = status != nullptr ? status->size : 0;
  if (!set_up(size, QELMAR_STATUS_V1_SIZE)) status = nullptr;
  // The bytes that left are the answer, so there is always a record.
  CallStatus record;
  record.entry = "qelmar_send_frame";
  record.port = port;
  qelmar::send_frame(port, bytes, length, &record, qelmar::Ports::numbered);
  const auto sent = static_cast<std::int32_t>(record.sent);
  if (qelmar::log::enabled()) qelmar::log::write_call(record);
  if (status != nullptr) {
    qelmar_status filled;
    fill("frame", record, sent, filled);
    hand_over(filled, size, status);
  }
  return sent;
}

}  // extern "C"

extern "C" {

QELMAR_HOST_API qelmar_outcome QELMAR_CALL qelmar_display_text(const char* command,
                                                               const char* charset, char* text,
                                                               std::size_t size,
                                                               std::size_t* length,
                                                               std::size_t* failed_at) noexcept {
  qelmar::stay_loaded();
  // What a call that gets no further leaves.
  if (text != nullptr && size > 0) *text = '\0';
  if (length != nullptr) *length = 0;
  if (failed_at != nullptr) *failed_at = QELMAR_NO_FAULT;
  try {
    const std::string_view whole = command != nullptr ? std::string_view(command) : "";
    const qelmar::MarkedText marked = qelmar::marked_text(whole);
    std::string converted(whole);
    if (marked.found) {
      const qelmar::Gb2312 gb2312 =
          qelmar::to_gb2312(whole.substr(marked.begin, marked.end - marked.begin), charset);
      if (gb2312.fault == qelmar::Gb2312::Fault::unknown_charset) return QELMAR_NOT_CONFIGURED;
      if (gb2312.fault == qelmar::Gb2312::Fault::no_character) {
        if (failed_at != nullptr) *failed_at = marked.begin + gb2312.failed_at;
        return QELMAR_DROPPED;
      }
      converted.replace(marked.begin, marked.end - marked.begin, gb2312.bytes);
    }
    if (text != nullptr && size > 0) {
      const std::size_t fit = std::min(size - 1, converted.size());
      std::memcpy(text, converted.data(), fit);
      text[fit] = '\0';
    }
    if (length != nullptr) *length = converted.size();
    return QELMAR_DELIVERED;
  } catch (...) {
    // Out of memory: nothing converted.
    return QELMAR_NOT_CONFIGURED;
  }
}

QELMAR_HOST_API std::int32_t QELMAR_CALL qelmar_rc_frame(std::int32_t first, std::int32_t second,
                                                         std::uint8_t* frame,
                                                         std::size_t size) noexcept {
  qelmar::stay_loaded();
  const auto bytes = qelmar::rc_frame(first, second);
  if (frame != nullptr) std::memcpy(frame, bytes.data(), std::min(size, bytes.size()));
  return static_cast<std::int32_t>(bytes.size());
}

}  // extern "C"
