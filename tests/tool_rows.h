// SPDX-License-Identifier: MIT
// Runs of the tool that answer alike on every system: tool_test runs them with
// the Linux tool (in a UTF-8 locale), wine_test with qelmar.exe under Wine.
#pragma once

#include <string>
#include <vector>

namespace qelmar::test {

struct ToolRow {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err_has;  // a part of stderr; empty: anything
};

inline const std::vector<ToolRow>& portable_tool_rows() {
  static const std::vector<ToolRow> rows = {
      // Text between '#' marks, converted from UTF-8.
      {{"encode", "#总计 12.50#"},
       0,
       "D7 DC BC C6 A1 A1 A3 B1 A3 B2 A3 AE A3 B5 A3 B0\nresult 2\n",
       ""},
      {{"encode", "  #你好#@1@"}, 0, "C4 E3 BA C3\nresult 2\n", ""},
      {{"encode", "#总计"},
       2,
       "-\nresult 2\n",
       "qelmar: '#总计': not sent: the command was dropped (no closing '#')\n"},
      {{"encode", "12.5H"}, 0, "1F 01 02 05 00 1F\nresult 2\n", ""},
      {{"encode", "#€ 5#"}, 1, "", "GB2312 has no character '€'"},
      // Where the character starts, so that a long text's fault can be found.
      {{"send", "-p", "3", "#😀#"}, 1, "", "'#😀#': GB2312 has no character '😀' at byte 1\n"},
      {{"encode", "  #ab😀#"}, 1, "", "GB2312 has no character '😀' at byte 5\n"},
      // A mistyped long option names the one meant when one is near, for the
      // subcommand given or the tool itself; one near nothing keeps CLI11's words.
      {{"send", "--prot", "3", "12"},
       1,
       "",
       "qelmar: unknown option '--prot': did you mean '--port'? (see --help)\n"},
      {{"send", "--prot=3", "12"},
       1,
       "",
       "qelmar: unknown option '--prot': did you mean '--port'? (see --help)\n"},
      {{"rc", "--qui", "1", "2"},
       1,
       "",
       "qelmar: unknown option '--qui': did you mean '--quiet'? (see --help)\n"},
      {{"doctor", "--send-tset"},
       1,
       "",
       "qelmar: unknown option '--send-tset': did you mean '--send-test'? (see --help)\n"},
      {{"--verison"},
       1,
       "",
       "qelmar: unknown option '--verison': did you mean '--version'? (see --help)\n"},
      {{"send", "--json", "12"},
       1,
       "",
       "qelmar: The following argument was not expected: --json (see --help)\n"},
      {{"sned", "12"},
       1,
       "",
       "qelmar: unknown subcommand 'sned': did you mean 'send'? (see --help)\n"},
      // Every number in plain ranges, at either end.
      {{"send", "-p", "0", "12"}, 1, "", "--port: 0 is not a number from 1 to 255"},
      {{"rc", "-p", "256", "1", "2"}, 1, "", "--port: 256 is not a number from 1 to 255"},
      {{"send", "-p", "x", "12"}, 1, "", "--port: x is not a number from 1 to 255"},
      {{"doctor", "-p", "-3"}, 1, "", "--port: -3 is not a number from 1 to 255"},
      {{"rc", "1", "0x100000000"},
       1,
       "",
       "BYTE2: 0x100000000 is not a number from -2147483648 to 2147483647"},
      {{"encode", "--", "-12", "12"},
       2,
       "-\nresult 2\n01 02\nresult 750630\n",
       "qelmar: '-12': nothing to send: the text selects no frame\n"},
  };
  return rows;
}

}  // namespace qelmar::test
