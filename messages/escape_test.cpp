// SPDX-License-Identifier: GPL-3.0-or-later
#include "messages/escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

struct Case {
  std::string text;
  std::string escaped;  // with line breaks escaped
  std::string kept;     // with line breaks kept
};

const Case kCases[] = {
    {"plain /srv/www", "plain /srv/www", "plain /srv/www"},
    {"a\\b", "a\\b", "a\\b"},
    {"two\nlines\tand\r", "two\\nlines\\tand\\r", "two\nlines\tand\\r"},
    {"nul\0here"s, "nul\\x00here", "nul\\x00here"},
    {"\x1b]0;title\x07", "\\x1b]0;title\\x07", "\\x1b]0;title\\x07"},
    {"del\x7f", "del\\x7f", "del\\x7f"},
    // C1 controls in UTF-8, CSI (U+009B) among them.
    {"\xc2\x9b" "31m \xc2\x80 \xc2\x9f", "\\u009b31m \\u0080 \\u009f", "\\u009b31m \\u0080 \\u009f"},
    // Raw C1 bytes and other bytes that are no UTF-8.
    {"\x9b" "2J \x85 \xff", "\\x9b2J \\x85 \\xff", "\\x9b2J \\x85 \\xff"},
    // Well-formed UTF-8 stays, including U+00A0 and a character whose
    // second byte lies in 0x80 to 0x9F.
    {"caf\xc3\xa9 \xc2\xa0 \xc4\x85 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xc2\xa0 \xc4\x85 \xe2\x82\xac \xf0\x9f\x98\x80",
     "caf\xc3\xa9 \xc2\xa0 \xc4\x85 \xe2\x82\xac \xf0\x9f\x98\x80"},
    // Overlong forms, surrogates, truncated sequences: byte by byte.
    {"\xc0\x8a", "\\xc0\\x8a", "\\xc0\\x8a"},
    {"\xed\xa0\x80", "\\xed\\xa0\\x80", "\\xed\\xa0\\x80"},
    {"\xe2\x82", "\\xe2\\x82", "\\xe2\\x82"},
    {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "\\xf4\\x90\\x80\\x80"},
};

TEST(EscapeForTerminal, EscapesEveryControlAndEveryStrayByte) {
  for (const Case& c : kCases) {
    EXPECT_EQ(escapeForTerminal(c.text), c.escaped) << "escaping line breaks too: " << c.escaped;
    EXPECT_EQ(escapeForTerminal(c.text, LineBreaks::Keep), c.kept) << "keeping line breaks: " << c.escaped;
  }
}

TEST(EscapeForTerminal, NoByteOfTheResultIsAControl) {
  std::string every;
  for (int byte = 0; byte < 256; ++byte) every += static_cast<char>(byte);
  for (int lead = 0xC2; lead < 0xF5; ++lead) every += {static_cast<char>(lead), '\x85', '\x9b'};
  const std::string shown = escapeForTerminal(every);
  for (size_t i = 0; i < shown.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(shown[i]);
    ASSERT_FALSE(c < 0x20 || c == 0x7F) << "at " << i;
    if (c == 0xC2 && i + 1 < shown.size()) {
      ASSERT_GT(static_cast<unsigned char>(shown[i + 1]), 0x9F) << "at " << i;
    }
  }
}

}  // namespace
