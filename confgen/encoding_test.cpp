// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "confgen/confgen.h"

namespace {

TEST(PathHash, SignExtendsBytesAndShiftsByFive) {
  const struct {
    const char* text;
    uint32_t hash;
  } cases[] = {
      {"", 0x00000000u},
      {"a", 0x00000061u},
      {"ab", 0x00000c23u},
      {"abc", 0x00018820u},
      {"\xE9", 0xffffffe9u},
      {"a\xE9", 0xfffff3a8u},
  };
  for (const auto& c : cases) EXPECT_EQ(pathHash(c.text), c.hash) << '"' << c.text << '"';
}

TEST(UrlEncode, KeepsOnlyTheSafeBytes) {
  const struct {
    const char* text;
    const char* encoded;
  } cases[] = {
      {"o=Example, c=US", "o%3DExample%2C%20c%3DUS"},
      {"", ""},
      {"AZaz09-./@_", "AZaz09-./@_"},
      {"~+:?#%&", "%7E%2B%3A%3F%23%25%26"},
      {"\x01\x7f\x80\xff", "%01%7F%80%FF"},
      {"ou=R&D,o=Ex", "ou%3DR%26D%2Co%3DEx"},
  };
  for (const auto& c : cases) EXPECT_EQ(urlEncode(c.text), c.encoded) << '"' << c.text << '"';
}

TEST(Base64Encode, Rfc4648VectorsAndHighBytes) {
  const struct {
    std::string bytes;
    const char* encoded;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xE9", "6Q=="},
      {"\xff\xff\xff", "////"},
      {"\xfb\xef\xbe", "++++"},
      {std::string("\0\0\0\0", 4), "AAAAAA=="},
      {"secret", "c2VjcmV0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64Encode(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()), c.encoded)
        << '"' << c.bytes << '"';
  }
}

TEST(Base64Encode, AlphabetIsExportedWhole) {
  EXPECT_STREQ(installuuset, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  EXPECT_EQ(std::strlen(installuuset), 64u);
}

TEST(XmlEscape, EscapesTheFiveSpecialCharacters) {
  const struct {
    const char* text;
    const char* escaped;
  } cases[] = {
      {"/srv/R&D", "/srv/R&amp;D"},
      {"a\"b'c<d>e", "a&quot;b&apos;c&lt;d&gt;e"},
      {"&amp;", "&amp;amp;"},
      {"plain text %%%X%%%", "plain text %%%X%%%"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(xmlEscape(c.text), c.escaped) << '"' << c.text << '"';
  EXPECT_EQ(xmlEscape(nullptr), "");
}

// The lines writeDbSwitch produces for the fields given.
std::string dbSwitchLines(const char* url, const char* base, const char* bindDn, const char* password,
                          int* result = nullptr) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* memory = open_memstream(&buffer, &size);
  int written = writeDbSwitch(memory, url, base, bindDn, password);
  std::fclose(memory);
  std::string text(buffer, size);
  std::free(buffer);
  if (result) *result = written;
  return text;
}

TEST(WriteDbSwitch, LinesDependOnWhichFieldsHoldValues) {
  const char* url = "ldap://ldap.example.com:389";
  const char* base = "o=Example, c=US";
  const std::string nullLine = "directory default null:///none\n";
  const std::string directory = "directory default ldap://ldap.example.com:389/o%3DExample%2C%20c%3DUS\n";
  const std::string bindDn = "default:binddn cn=Directory Manager\n";
  const struct {
    const char* url;
    const char* base;
    const char* bindDn;
    const char* password;
    std::string lines;
  } cases[] = {
      {nullptr, nullptr, nullptr, nullptr, nullLine},
      {"", base, "cn=Directory Manager", "secret", nullLine},
      {url, nullptr, "cn=Directory Manager", "secret", nullLine},
      {nullptr, base, nullptr, nullptr, nullLine},
      {url, "", nullptr, nullptr, "directory default ldap://ldap.example.com:389/\n"},
      {url, base, nullptr, "secret", directory},
      {url, base, "", "secret", directory},
      {url, base, "cn=Directory Manager", nullptr, directory + bindDn},
      {url, base, "cn=Directory Manager", "", directory + bindDn},
      {url, base, "cn=Directory Manager", "p\xE9:w", directory + bindDn + "default:encoded bindpw cOk6dw==\n"},
  };
  for (const auto& c : cases) {
    int result = -1;
    EXPECT_EQ(dbSwitchLines(c.url, c.base, c.bindDn, c.password, &result), c.lines)
        << (c.url ? c.url : "(none)") << " | " << (c.base ? c.base : "(none)") << " | "
        << (c.bindDn ? c.bindDn : "(none)") << " | " << (c.password ? c.password : "(none)");
    EXPECT_EQ(result, 0);
  }
}

TEST(WriteDbSwitch, ReportsTheErrorOfAFailedWrite) {
  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);  // every write reaches the device at once
  EXPECT_EQ(writeDbSwitch(full, "ldap://h", "o=x", "cn=y", "z"), ENOSPC);
  std::fclose(full);
}

}  // namespace
