// SPDX-License-Identifier: GPL-3.0-or-later
// The small text transformations of the configuration writers.
#include <cstring>

#include "confgen/confgen.h"

extern "C" const char installuuset[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t pathHash(const char* text) {
  uint32_t hash = 0;
  for (const char* p = text; *p; ++p) {
    // The byte counts as signed and is sign-extended, so a byte above 127
    // sets the high bits; the TempDir name depends on exactly this value.
    uint32_t byte = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    hash = hash ^ (hash << 5) ^ byte;
  }
  return hash;
}

namespace {

bool keptInUrl(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '/' || c == '@' || c == '_';
}

}  // namespace

std::string urlEncode(const char* text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(std::strlen(text) * 3);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (keptInUrl(*p)) {
      out += static_cast<char>(*p);
    } else {
      out += '%';
      out += hex[*p >> 4];
      out += hex[*p & 0x0F];
    }
  }
  return out;
}

std::string base64Encode(const unsigned char* bytes, size_t length) {
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += installuuset[(group >> 18) & 0x3F];
    out += installuuset[(group >> 12) & 0x3F];
    out += installuuset[(group >> 6) & 0x3F];
    out += installuuset[group & 0x3F];
  }
  size_t rest = length - i;
  if (rest == 0) return out;
  uint32_t group = uint32_t{bytes[i]} << 16;
  if (rest == 2) group |= uint32_t{bytes[i + 1]} << 8;
  out += installuuset[(group >> 18) & 0x3F];
  out += installuuset[(group >> 12) & 0x3F];
  out += rest == 2 ? installuuset[(group >> 6) & 0x3F] : '=';
  out += '=';
  return out;
}

std::string xmlEscape(const char* text) {
  std::string out;
  if (!text) return out;
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += *p;
    }
  }
  return out;
}
