// SPDX-License-Identifier: MIT
#include "tools/decode.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "encoder/protocol.h"
#include "qelmar/host.h"

namespace qelmar::tools {
namespace {

// A reading of a frame, with the command texts that may give it back.
struct Reading {
  Reading(std::string k, std::string d, std::vector<std::string> c = {})
      : kind(std::move(k)), description(std::move(d)), candidates(std::move(c)) {}
  Reading(std::string k, std::string d, std::string command)
      : Reading(std::move(k), std::move(d), std::vector<std::string>{std::move(command)}) {}

  std::string kind;
  std::string description;
  std::vector<std::string> candidates;
};

// A letter without a code, which the encoder sends as no_code_byte.
char letter_without_code() {
  for (unsigned char c = 'A'; c <= 'z'; ++c) {
    if (is_letter(c) && !letter_code(c)) return static_cast<char>(c);
  }
  return '?';
}

bool is_letter_byte(std::uint8_t b) { return b == no_code_byte || letter_of(b).has_value(); }

// A letter that the encoder turns into `b`.
char command_letter(std::uint8_t b) { return letter_of(b).value_or(letter_without_code()); }

std::string letter_name(std::uint8_t b) {
  if (auto letter = letter_of(b)) return std::string(1, *letter);
  return "(no code)";
}

bool is_header_code(std::uint8_t b) {
  const auto letter = letter_of(b);
  return letter && is_header_letter(static_cast<unsigned char>(*letter));
}

// A parameter byte back as the character that the command carried.
char parameter_char(std::uint8_t b) { return static_cast<char>(b + parameter_base); }

std::string printable(std::uint8_t parameter) {
  const auto ch = static_cast<unsigned char>(parameter_char(parameter));
  if (ch >= 0x20 && ch < 0x7F) return std::string(1, static_cast<char>(ch));
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", ch);
  return hex;
}

std::string parameter_chars(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += parameter_char(b);
  return out;
}

// The parts of a number frame: an optional header letter, digits, an optional
// end letter.
struct NumberParts {
  std::optional<std::uint8_t> header;
  std::string digits;
  std::optional<std::uint8_t> end;
};

std::optional<NumberParts> number_parts(std::span<const std::uint8_t> frame) {
  NumberParts parts;
  std::size_t i = 0;
  if (frame.size() >= 2 && is_header_code(frame[0]) && is_digit_code(frame[1])) {
    parts.header = frame[i++];
  }
  while (i < frame.size() && is_digit_code(frame[i])) {
    parts.digits += static_cast<char>('0' + frame[i++]);
  }
  if (i + 1 == frame.size() && is_letter_byte(frame[i])) parts.end = frame[i++];
  if (parts.digits.empty() || i != frame.size()) return std::nullopt;
  return parts;
}

// The texts with a point and one digit behind it that give these digits: after
// such a point every digit is followed by a 0.
std::vector<std::string> one_place_readings(const std::string& digits) {
  std::vector<std::string> readings;
  for (std::size_t k = 1; k + 1 < digits.size(); ++k) {
    if ((digits.size() - k) % 2 != 0) continue;
    std::string reading = digits.substr(0, k) + "." + digits[k];
    bool pairs = true;
    for (std::size_t j = k; pairs && j < digits.size(); j += 2) {
      pairs = digits[j + 1] == '0';
      if (j > k) reading += (j == k + 2 ? "." : "") + std::string(1, digits[j]);
    }
    if (pairs) readings.push_back(reading);
  }
  return readings;
}

Reading number(std::span<const std::uint8_t> frame) {
  const auto parts = number_parts(frame);
  if (!parts) return {"unknown", ""};
  const std::string& digits = parts->digits;

  Reading m{"number", "number " + digits, digits};
  if (parts->end && digits.size() >= 3) {
    // A number ended by a letter carries two decimal places.
    const std::string whole = digits.substr(0, digits.size() - 2);
    const std::string places = digits.substr(digits.size() - 2);
    m.description = "number " + whole + "." + places;
    m.candidates = {whole + "." + places, whole};
  }
  for (std::string& reading : one_place_readings(digits)) m.candidates.push_back(reading);

  const std::string suffix = parts->end ? std::string(1, command_letter(*parts->end)) : "";
  std::string header_suffix;
  if (parts->header && parts->header != parts->end) {
    header_suffix = std::string(parts->end ? "" : " ") + command_letter(*parts->header);
  }
  for (std::string& c : m.candidates) c += suffix + header_suffix;
  if (parts->end) m.description += " " + letter_name(*parts->end);
  if (parts->header) m.description += ", header " + letter_name(*parts->header);
  return m;
}

bool is_text(std::span<const std::uint8_t> frame) {
  return !frame.empty() && frame.size() % 2 == 0 &&
         std::all_of(frame.begin(), frame.end(), is_gb2312_byte);
}

// A one-byte frame: a control, the F key, or a letter's code.
std::optional<Reading> single_byte(std::uint8_t b) {
  // Before the letters: 0E is also the code of W, whose key sends a key frame.
  for (const SingleControl& control : single_controls) {
    if (b == control.byte) {
      const std::string command(1, control.command);
      return Reading{"control", "control " + command, command};
    }
  }
  if (letter_of(b) == pause_key) {
    return Reading{"key", std::string("key ") + pause_key + " (then a pause)",
                   std::string(1, pause_key)};
  }
  if (is_letter_byte(b)) {
    return Reading{"key", "key " + letter_name(b), std::string(1, command_letter(b))};
  }
  return std::nullopt;
}

std::optional<Reading> key_frame(std::span<const std::uint8_t> frame) {
  if (frame.size() != 2 || frame[0] != key_lead) return std::nullopt;
  for (const KeyFrame& key : key_frames) {
    if (frame[1] == key.number) {
      const std::string letter(1, key.letter);
      return Reading{"key", "key " + letter, letter};
    }
  }
  return std::nullopt;
}

std::optional<Reading> control_frame(std::span<const std::uint8_t> frame) {
  const std::size_t n = frame.size();
  if (n == 2 && frame[0] == dollar_lead) {
    return Reading{"control", "control $ " + printable(frame[1]),
                   "$" + parameter_chars(frame.subspan(1))};
  }
  if (n == 3 && frame[0] == caret_mark && frame[2] == caret_mark) {
    const auto letter = letter_of(frame[1]);
    if (letter && is_caret_letter(static_cast<unsigned char>(*letter))) {
      return Reading{"control", "control ^ " + std::string(1, *letter),
                     "^" + std::string(1, *letter)};
    }
    return Reading{"control", "control ^ (no code)", "^"};
  }
  if (n >= 2 && frame[0] == digit_string_mark && frame[n - 1] == digit_string_mark) {
    const std::string chars = parameter_chars(frame.subspan(1, n - 2));
    return Reading{"control", "control @ " + chars, "@" + chars + "@"};
  }
  return std::nullopt;
}

Reading describe(std::span<const std::uint8_t> frame, const TextConverter& to_terminal) {
  if (frame.empty()) return {"unknown", "no bytes"};
  if (frame.size() == 3 && frame[0] == rc_lead) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%02X frame %02X %02X", rc_lead, frame[1], frame[2]);
    return {"rc", text};
  }
  std::optional<Reading> reading = key_frame(frame);
  if (!reading && frame.size() == 1) reading = single_byte(frame[0]);
  if (!reading) reading = control_frame(frame);
  if (reading) return *reading;
  if (is_text(frame)) {
    const std::string raw(frame.begin(), frame.end());
    const auto shown = to_terminal(raw);
    return {"text", "text \"" + shown.value_or("(cannot be shown here)") + "\"", "#" + raw + "#"};
  }
  return number(frame);
}

// A one-byte control frame that follows a number frame is not its end letter,
// even where a letter has the same code.
bool is_single_control(std::uint8_t b) {
  return std::any_of(single_controls.begin(), single_controls.end(),
                     [b](const SingleControl& control) { return control.byte == b; });
}

}  // namespace

std::size_t frame_length(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  if (n == 0) return 0;
  auto at_most = [n](std::size_t length) { return std::min(length, n); };
  const std::uint8_t first = bytes[0];
  if (first == rc_lead || first == caret_mark) return at_most(3);
  if (first == key_lead || first == dollar_lead) return at_most(2);
  if (first == digit_string_mark) {
    const auto close = std::find(bytes.begin() + 1, bytes.end(), digit_string_mark);
    return close == bytes.end() ? n : static_cast<std::size_t>(close - bytes.begin()) + 1;
  }
  if (is_gb2312_byte(first)) {
    std::size_t i = 0;
    while (i + 1 < n && is_gb2312_byte(bytes[i]) && is_gb2312_byte(bytes[i + 1])) i += 2;
    return std::max<std::size_t>(i, 1);
  }
  std::size_t i = n >= 2 && is_header_code(first) && is_digit_code(bytes[1]) ? 1 : 0;
  if (!is_digit_code(bytes[i])) return 1;  // a key or a one-byte control frame
  while (i < n && is_digit_code(bytes[i])) ++i;
  if (i < n && is_letter_byte(bytes[i]) && !is_single_control(bytes[i])) ++i;
  return i;
}

Meaning decode(std::span<const std::uint8_t> frame, const TextConverter& to_terminal) {
  Reading reading = describe(frame, to_terminal);
  Meaning meaning{reading.kind, reading.description, std::nullopt};
  // Only a command that really gives this frame back, as the library encodes
  // it, is offered: as a host passes it, up to its first NUL ("$" ends in one).
  for (const std::string& candidate : reading.candidates) {
    const std::string command = candidate.substr(0, candidate.find('\0'));
    std::uint8_t again[max_frame];
    const std::int32_t length =
        qelmar_encode(command.c_str(), again, sizeof again, nullptr, nullptr, 0);
    if (length >= 0 && std::equal(frame.begin(), frame.end(), again, again + length)) {
      meaning.command = command;
      break;
    }
  }
  return meaning;
}

}  // namespace qelmar::tools
