// SPDX-License-Identifier: GPL-3.0-or-later
#include "messages/escape.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at `at` (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = at + 2; i < at + length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

bool isC1(std::string_view text, size_t at, size_t length) {
  return length == 2 && static_cast<unsigned char>(text[at]) == 0xC2 &&
         static_cast<unsigned char>(text[at + 1]) <= 0x9F;
}

std::string hexEscape(const char* prefix, unsigned value) {
  char escape[12];
  std::snprintf(escape, sizeof escape, "%s%02x", prefix, value);
  return escape;
}

// The escape of the ASCII byte `c`, or "" when it is shown as it is.
std::string asciiEscape(unsigned char c, LineBreaks lineBreaks) {
  if (c >= 0x20 && c != 0x7F) return std::string();
  if ((c == '\n' || c == '\t') && lineBreaks == LineBreaks::Keep) return std::string();
  switch (c) {
    case '\n': return "\\n";
    case '\t': return "\\t";
    case '\r': return "\\r";
    default: return hexEscape("\\x", c);
  }
}

}  // namespace

std::string escapeForTerminal(std::string_view text, LineBreaks lineBreaks) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) {
      std::string escape = asciiEscape(c, lineBreaks);
      if (escape.empty()) shown += static_cast<char>(c);
      shown += escape;
      ++at;
      continue;
    }
    const size_t length = utf8SequenceLength(text, at);
    if (length == 0) {
      shown += hexEscape("\\x", c);
      ++at;
    } else if (isC1(text, at, length)) {
      shown += hexEscape("\\u00", static_cast<unsigned char>(text[at + 1]));
      at += length;
    } else {
      shown.append(text, at, length);
      at += length;
    }
  }
  return shown;
}
