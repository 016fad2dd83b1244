// SPDX-License-Identifier: MIT
#pragma once

// What the bridge decides about a request, apart from how its bytes come and
// go: a request's head (and then its body) in; the answer, the reason for a
// refusal, and the work for a display out. No sockets here, so that every
// decision can be tried on its own (the tests, the fuzzer).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qelmar::bridge {

// A request's head as the connection read it.
struct RequestHead {
  std::string method;  // as sent: "GET", "POST", or any other token
  std::string target;
  std::vector<std::pair<std::string, std::string>> fields;  // in the order sent
  std::optional<std::uint64_t> content_length;

  // The first field of that name, in any case; "" when there is none.
  std::string_view operator[](std::string_view name) const;
  std::size_t count(std::string_view name) const;
};

// What to answer: the status, the body, and for a refusal the reason
// metrics count it under.
struct Answer {
  int status = 200;
  std::string body;
  std::string refusal;  // "" for an answer that is not a refusal
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string message;  // an error's words, for the log
};

// Thrown for a request whose body is wrong: nothing is sent.
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Answer reply(int status, std::string body, std::string type = "application/json");
Answer error(int status, const std::string& message, std::string refusal = {});

// Work that needs a worker (or the service's own state) to be answered.
struct Job {
  enum class Kind { none, ports, metrics, commands, rc, sound } kind = Kind::none;
  int port = 0;                    // commands, rc: 1 to 255
  std::vector<std::string> texts;  // commands: as the library takes them
  std::int32_t a = 0, b = 0;       // rc
  std::string name;                // sound
};

// Either an answer now, or a job whose result is the answer.
struct Decision {
  Answer answer;
  Job job;
};

struct HandlerSettings {
  std::vector<std::string> allow_origins;  // as browsers serialise them
  std::string token;                       // empty: none asked for
  bool sounds = false;                     // a sounds folder is configured
  std::size_t max_body = 16384;
  std::size_t max_header = 8192;
  std::size_t max_texts = 64;
  std::string client_js;
  std::string version;
  // Where the service listens, as a Host header names it.
  std::string address;
  bool wildcard = false;
  int port = -1;
};

class Handler {
 public:
  explicit Handler(HandlerSettings settings) : settings_(std::move(settings)) {}

  // Everything a request must pass before its body is read: a refusal (or the
  // answer to a preflight), or nothing when the body may be read.
  std::optional<Answer> screen(const RequestHead& head) const;
  // The whole request, once it has passed screen().
  Decision decide(const RequestHead& head, std::string_view body) const;
  // The headers that let the page read an answer, when its origin may.
  std::vector<std::pair<std::string, std::string>> cors(const RequestHead& head) const;

  // What the connection found before the head was whole.
  Answer header_too_large() const;
  Answer body_too_large() const;

  HandlerSettings& settings() { return settings_; }
  const HandlerSettings& settings() const { return settings_; }

 private:
  bool host_allowed(std::string_view header) const;
  // The allow-list's entry for it, or null.
  const std::string* origin_allowed(std::string_view origin) const;
  std::optional<Answer> screen_token_and_type(const RequestHead& head) const;

  HandlerSettings settings_;
};

// A HEAD is answered as its GET is, without the body.
bool head_only(const RequestHead& head);

// Text from a client as the log shows it: printable ASCII, the rest (and the
// backslash) as \xNN, so that a line stays one line whatever was sent. A path
// or method (`word`) has its spaces escaped too, and is clipped to 200 bytes.
std::string loggable(std::string_view text, bool word = true);
// What is quoted from a client's header in an answer: 200 bytes, then "...".
std::string clipped(std::string_view text);

std::string lower(std::string_view s);

}  // namespace qelmar::bridge
