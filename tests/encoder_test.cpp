// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_table.h"
#include "encoder/interpreter.h"
#include "encoder/protocol.h"

namespace qelmar {
namespace {

using test::CommandRow;
using test::hex;

class CommandTable : public ::testing::TestWithParam<CommandRow> {};

TEST_P(CommandTable, EncodesFrameAndResult) {
  const CommandRow& row = GetParam();
  const Command command = encode(row.text);
  EXPECT_EQ(command.result, row.result);
  ASSERT_EQ(command.send, row.frame.has_value());
  if (row.frame) {
    EXPECT_EQ(hex(command.frame.bytes()), hex(*row.frame));
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, CommandTable, ::testing::ValuesIn(test::load_command_table()));

TEST(CodeTable, MatchesTheDeviceAlphabet) {
  std::string without_code, header, caret;
  int codes = 0;
  for (int c = 0; c < 256; ++c) {
    const auto ch = static_cast<unsigned char>(c);
    const auto code = letter_code(ch);
    if (code) {
      ++codes;
      EXPECT_TRUE(is_letter(ch)) << c;
      EXPECT_GE(*code & 0x0F, 0x0A) << "letter " << ch;
    } else if (is_letter(ch)) {
      without_code += static_cast<char>(ch);
    }
    if (is_header_letter(ch)) header += static_cast<char>(ch);
    if (is_caret_letter(ch)) caret += static_cast<char>(ch);
  }
  EXPECT_EQ(codes, 45);
  EXPECT_EQ(without_code, "ABTUVyz");
  EXPECT_EQ(header, "EGHJSYZ");
  EXPECT_EQ(caret, "GIKLMNOPQRabcdeghijklmnopqrstuvwx");
  EXPECT_EQ(letter_code('F'), letter_code('f'));
  // Every code but the digits' is used exactly once, except F/f.
  std::vector<int> seen(256, 0);
  for (int c = 0; c < 256; ++c) {
    if (auto code = letter_code(static_cast<unsigned char>(c))) ++seen[*code];
  }
  for (int hi = 1; hi <= 7; ++hi) {
    for (int lo = 0xA; lo <= 0xF; ++lo) EXPECT_GE(seen[hi * 16 + lo], 1) << hi * 16 + lo;
  }
  EXPECT_EQ(seen[0x0E] + seen[0x0F], 2);
  EXPECT_EQ(seen[no_code_byte], 0);
}

// The limits that keep every frame inside the 81-byte buffer.
TEST(FrameLimits, LongestFramesFitAndLongerOnesAreDropped) {
  struct Case {
    std::string text;
    bool sent;
    std::size_t length;
  };
  const std::string two_byte_char = "\xB0\xA1";
  std::string forty_chinese;
  for (int i = 0; i < 40; ++i) forty_chinese += two_byte_char;
  const std::vector<Case> cases = {
      {"@" + std::string(79, '1') + "@", true, 81},
      {"@" + std::string(80, '1') + "@", false, 0},
      {"#" + std::string(40, 'A') + "#", true, 80},
      {"#" + std::string(41, 'A') + "#", false, 0},
      {"#" + forty_chinese + "#", true, 80},
      {"#" + forty_chinese + "A#", false, 0},
      {"#" + std::string(39, 'A') + "\x01x#", true, 80},
      {std::string(1 << 20, '7'), false, 0},
      {"#" + std::string(1 << 20, 'A'), false, 0},
      {"@" + std::string(1 << 20, '1'), false, 0},
  };
  for (const Case& c : cases) {
    const Command command = encode(c.text);
    EXPECT_EQ(command.send, c.sent) << c.text.substr(0, 90);
    if (c.sent) {
      EXPECT_EQ(command.frame.size(), c.length) << c.text.substr(0, 90);
    }
  }
}

// A text that ends anywhere must not be read past its end, whatever byte ends it.
TEST(FrameLimits, EveryPrefixOfEveryKindEncodesWithinTheText) {
  const std::vector<std::string> commands = {"12.5H", "1.2.34", "@12@",   "#\xB0\xA1 a#",
                                             "^a",    "$3",     "#\x01#", "F"};
  for (const std::string& full : commands) {
    for (std::size_t n = 1; n <= full.size(); ++n) {
      // A heap copy of exactly n bytes, so a sanitizer sees any over-read.
      const std::vector<char> exact(full.begin(), full.begin() + static_cast<long>(n));
      const Command command = encode(std::string_view(exact.data(), exact.size()));
      EXPECT_LE(command.frame.size(), Frame::capacity);
    }
  }
}

TEST(Interpreter, PausesOnlyAfterTheFKey) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"F", "7F then a pause"},
      {"f", "7F then a pause"},
      {"52F9", "05 02 00 00 7F"},
      {"##", ""},
      {"-12", "-"},
      {"#AB", "-"},
  };
  for (const auto& [text, expected] : cases) {
    const Command command = encode(text);
    const std::string written = command.send ? hex(command.frame.bytes()) : "-";
    EXPECT_EQ(written + (command.pause_follows ? " then a pause" : ""), expected) << text;
  }
  EXPECT_EQ(key_pause, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace qelmar
