#include "tools/decode.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "encoder/codes.h"
#include "encoder/interpreter.h"

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

std::optional<char> letter_of(std::uint8_t code) {
  for (unsigned char c = 'A'; c <= 'z'; ++c) {
    if (is_letter(c) && letter_code(c) == code) return static_cast<char>(c);
  }
  return std::nullopt;
}

bool is_letter_byte(std::uint8_t b) { return b == no_code_byte || letter_of(b).has_value(); }

// A letter that the encoder turns into `b`: the letter itself, or one without a code.
char command_letter(std::uint8_t b) { return letter_of(b).value_or('A'); }

std::string letter_name(std::uint8_t b) {
  if (auto letter = letter_of(b)) return std::string(1, *letter);
  return "(no code)";
}

std::string printable(std::uint8_t parameter) {
  const auto ch = static_cast<unsigned char>(parameter + 0x30);
  if (ch >= 0x20 && ch < 0x7F) return std::string(1, static_cast<char>(ch));
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", ch);
  return hex;
}

// The parameter byte back as the character that the command carried.
std::string parameter_chars(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += static_cast<char>(static_cast<unsigned char>(b + 0x30));
  return out;
}

Reading number(std::span<const std::uint8_t> frame) {
  std::size_t i = 0;
  std::optional<std::uint8_t> header;
  if (frame.size() >= 2 &&
      is_header_letter(static_cast<unsigned char>(letter_of(frame[0]).value_or('\0'))) &&
      frame[1] <= 9) {
    header = frame[i++];
  }
  std::string digits;
  while (i < frame.size() && frame[i] <= 9) digits += static_cast<char>('0' + frame[i++]);
  std::optional<std::uint8_t> end;
  if (i + 1 == frame.size() && is_letter_byte(frame[i])) end = frame[i++];
  if (digits.empty() || i != frame.size()) return {"unknown", ""};

  Reading m{"number", "number " + digits};
  const std::string suffix = end ? std::string(1, command_letter(*end)) : std::string();
  const std::string header_suffix =
      header && header != end ? std::string(end ? "" : " ") + command_letter(*header) : "";
  if (end && digits.size() >= 3) {
    // A number ended by a letter carries two decimal places.
    const std::string whole = digits.substr(0, digits.size() - 2);
    const std::string places = digits.substr(digits.size() - 2);
    m.description = "number " + whole + "." + places;
    m.candidates = {whole + "." + places, whole};
  } else {
    m.candidates = {digits};
  }
  // After a point with one digit behind it, every digit is followed by a 0.
  for (std::size_t k = 1; k + 1 < digits.size(); ++k) {
    std::string flagged = digits.substr(0, k) + "." + digits[k];
    bool pairs = (digits.size() - k) % 2 == 0;
    for (std::size_t j = k; pairs && j < digits.size(); j += 2) {
      pairs = digits[j + 1] == '0';
      if (j > k) flagged += (j == k + 2 ? "." : "") + std::string(1, digits[j]);
    }
    if (pairs) m.candidates.push_back(flagged);
  }
  for (std::string& c : m.candidates) c += suffix + header_suffix;
  if (end) m.description += " " + letter_name(*end);
  if (header) m.description += ", header " + letter_name(*header);
  return m;
}

bool is_text(std::span<const std::uint8_t> frame) {
  if (frame.empty() || frame.size() % 2 != 0) return false;
  for (std::uint8_t b : frame) {
    if (b < 0xA1 || b > 0xFE) return false;
  }
  return true;
}

Reading describe(std::span<const std::uint8_t> frame, const TextConverter& to_terminal) {
  const std::size_t n = frame.size();
  if (n == 0) return {"unknown", "no bytes"};
  const std::uint8_t first = frame[0];

  if (n == 3 && first == 0x12) {
    char text[32];
    std::snprintf(text, sizeof text, "0x12 frame %02X %02X", frame[1], frame[2]);
    return {"rc", text};
  }
  if (n == 2 && first == 0xFE && frame[1] >= 1 && frame[1] <= 3) {
    const std::string key(1, "WDX"[frame[1] - 1]);
    return {"key", "key " + key, key};
  }
  if (n == 1) {
    // Before the letters: 0E is also the code of W, whose key sends FE 01.
    static constexpr struct {
      std::uint8_t code;
      char command;
    } singles[] = {{0x0C, '*'}, {0x0B, '!'}, {0x0E, '%'}};
    for (const auto& single : singles) {
      if (first == single.code) {
        const std::string command(1, single.command);
        return {"control", "control " + command, command};
      }
    }
    if (first == 0x7F) return {"key", "key F (then a pause)", "F"};
    if (is_letter_byte(first)) {
      return {"key", "key " + letter_name(first), std::string(1, command_letter(first))};
    }
  }
  if (n == 2 && first == 0x0D) {
    return {"control", "control $ " + printable(frame[1]), "$" + parameter_chars(frame.subspan(1))};
  }
  if (n == 3 && first == 0xFF && frame[2] == 0xFF) {
    const bool caret =
        is_caret_letter(static_cast<unsigned char>(letter_of(frame[1]).value_or('\0')));
    return {"control", "control ^ " + (caret ? letter_name(frame[1]) : std::string("(no code)")),
            caret ? "^" + std::string(1, *letter_of(frame[1])) : "^"};
  }
  if (n >= 2 && first == 0xFD && frame[n - 1] == 0xFD) {
    const std::string chars = parameter_chars(frame.subspan(1, n - 2));
    return {"control", "control @ " + chars, "@" + chars + "@"};
  }
  if (is_text(frame)) {
    const std::string raw(frame.begin(), frame.end());
    const auto shown = to_terminal(raw);
    return {"text", "text \"" + shown.value_or("(cannot be shown here)") + "\"", "#" + raw + "#"};
  }
  return number(frame);
}

bool is_digit_code(std::uint8_t b) { return b <= 9; }
bool is_gb2312_byte(std::uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

}  // namespace

std::size_t frame_length(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  if (n == 0) return 0;
  auto at_most = [n](std::size_t length) { return std::min(length, n); };
  const std::uint8_t first = bytes[0];
  switch (first) {
    case 0x12:
    case 0xFF:
      return at_most(3);
    case 0xFE:
    case 0x0D:
      return at_most(2);
    case 0xFD:
      for (std::size_t i = 1; i < n; ++i) {
        if (bytes[i] == 0xFD) return i + 1;
      }
      return n;
    default:
      break;
  }
  if (is_gb2312_byte(first)) {
    std::size_t i = 0;
    while (i + 1 < n && is_gb2312_byte(bytes[i]) && is_gb2312_byte(bytes[i + 1])) i += 2;
    return std::max<std::size_t>(i, 1);
  }
  std::size_t i = 0;
  if (n >= 2 && is_header_letter(static_cast<unsigned char>(letter_of(first).value_or('\0'))) &&
      is_digit_code(bytes[1])) {
    i = 1;
  }
  if (!is_digit_code(bytes[i])) return 1;  // a key or a one-byte control frame
  while (i < n && is_digit_code(bytes[i])) ++i;
  if (i < n && is_letter_byte(bytes[i]) && bytes[i] != 0x0E && bytes[i] != 0x0F) ++i;
  return i;
}

Meaning decode(std::span<const std::uint8_t> frame, const TextConverter& to_terminal) {
  Reading reading = describe(frame, to_terminal);
  Meaning meaning{reading.kind, reading.description, std::nullopt};
  // Only a command that really gives this frame back is offered.
  for (const std::string& candidate : reading.candidates) {
    const Command again = encode(candidate);
    if (again.send && std::equal(frame.begin(), frame.end(), again.frame.bytes().begin(),
                                 again.frame.bytes().end())) {
      meaning.command = candidate;
      break;
    }
  }
  return meaning;
}

}  // namespace qelmar::tools
