// SPDX-License-Identifier: MIT
// libFuzzer target: any bytes as a request to the bridge, read as the
// connection would hand it over (request line, fields, body). Sanitizers catch
// faults; the checks below catch decisions no request may get.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bridge/handler.h"

namespace {

using qelmar::bridge::Answer;
using qelmar::bridge::Decision;
using qelmar::bridge::Handler;
using qelmar::bridge::HandlerSettings;
using qelmar::bridge::Job;
using qelmar::bridge::RequestHead;

const std::string page = "http://pos.example:8080";

Handler make(bool token) {
  HandlerSettings s;
  s.allow_origins = {page};
  if (token) s.token = "s3cret";
  s.sounds = true;
  s.max_texts = 64;
  s.client_js = "/* client */";
  s.version = "fuzz";
  s.address = "127.0.0.1";
  s.port = 27400;
  return Handler(s);
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// "METHOD TARGET ...\r\nName: value\r\n...\r\n\r\nbody"; what a parser would
// refuse is taken anyway, so that the handler sees worse than it ever will.
RequestHead head_of(std::string_view text, std::string_view& body) {
  RequestHead head;
  const std::size_t end = text.find("\r\n\r\n");
  std::string_view lines = end == std::string_view::npos ? text : text.substr(0, end);
  body = end == std::string_view::npos ? std::string_view() : text.substr(end + 4);
  std::size_t eol = lines.find("\r\n");
  const std::string_view first = lines.substr(0, eol);
  const std::size_t space = first.find(' ');
  head.method = std::string(first.substr(0, space));
  if (space != std::string_view::npos) {
    const std::string_view rest = first.substr(space + 1);
    head.target = std::string(rest.substr(0, rest.find(' ')));
  }
  while (eol != std::string_view::npos) {
    lines.remove_prefix(eol + 2);
    eol = lines.find("\r\n");
    const std::string_view line = lines.substr(0, eol);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    head.fields.emplace_back(std::string(line.substr(0, colon)),
                             std::string(trimmed(line.substr(colon + 1))));
  }
  const std::string_view length = head["Content-Length"];
  if (!length.empty() && length.size() < 19 &&
      length.find_first_not_of("0123456789") == std::string_view::npos) {
    head.content_length = std::strtoull(std::string(length).c_str(), nullptr, 10);
  }
  return head;
}

void check(const Answer& a) {
  if (a.status < 100 || a.status > 599) std::abort();
  if (!a.refusal.empty() && a.status < 400) std::abort();
  if (a.status >= 400 && a.message.empty()) std::abort();
}

void check_log(std::string_view text) {
  const std::string shown = qelmar::bridge::loggable(text);
  if (shown.size() > 4 * 200 + 3) std::abort();
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x7F) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Handler open = make(false), guarded = make(true);
  std::string_view body;
  const RequestHead head = head_of({reinterpret_cast<const char*>(data), size}, body);
  check_log(head.method);
  check_log(head.target);
  for (const Handler* handler : {&open, &guarded}) {
    if (const std::optional<Answer> refused = handler->screen(head)) {
      check(*refused);
      continue;
    }
    // Past the screen: the Host named this service, and the token was right.
    const std::string_view given = head["Authorization"];
    const bool token = given.size() == 13 &&
                       qelmar::bridge::lower(given.substr(0, 7)) == "bearer " &&
                       given.substr(7) == "s3cret";
    if (handler == &guarded && !token && head.target.rfind("/v1/client.js", 0) != 0) std::abort();
    const Decision d = handler->decide(head, body);
    switch (d.job.kind) {
      case Job::Kind::none:
        check(d.answer);
        break;
      case Job::Kind::commands:
        if (d.job.texts.empty() || d.job.texts.size() > 64) std::abort();
        [[fallthrough]];
      case Job::Kind::rc:
        if (d.job.port < 1 || d.job.port > 255 || head.method != "POST") std::abort();
        break;
      case Job::Kind::sound:
        if (d.job.name.empty() || d.job.name.find('/') != std::string::npos) std::abort();
        break;
      default:
        break;
    }
    for (const auto& [key, value] : handler->cors(head))
      if (key == "Access-Control-Allow-Origin" && value != page) std::abort();
  }
  return 0;
}
