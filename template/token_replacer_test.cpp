// SPDX-License-Identifier: GPL-3.0-or-later
#include "template/token_replacer.h"

#include <gtest/gtest.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "tests/testsupport.h"

namespace {

// Equality of long texts, reported as the first differing offset rather than
// as two megabytes of output.
::testing::AssertionResult sameText(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at " << at << ": \""
                                       << actual.substr(at, 40) << "\" instead of \"" << expected.substr(at, 40) << "\"";
}

class TokenReplacerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en", &status);
  }

  // Expands `content` with the tokens `setup` registers; the thrown text, or
  // "" when nothing was thrown. The replacer is gone before the text is read.
  std::string expand(const std::string& content, const std::function<void(TokenReplacer&)>& setup,
                     const std::string& target = "") {
    const std::string templateFile = templatePath();
    writeFile(templateFile, content);
    const std::string targetFile = target.empty() ? targetPath() : target;
    const char* thrown = nullptr;
    try {
      TokenReplacer replacer(templateFile.c_str(), targetFile.c_str());
      setup(replacer);
      replacer.replaceTokens();
    } catch (const char* text) {
      thrown = text;
    }
    return thrown ? std::string(thrown) : std::string();
  }

  std::string templatePath() const { return scratch / "in.template"; }
  std::string targetPath() const { return scratch / "out"; }

  ScratchDir scratch;
  ScopedMessageBundle bundle{SAMPLE_SERVER_ROOT};
};

void standardTokens(TokenReplacer& replacer) {
  replacer.addToken("HTTP_PORT", "80");
  replacer.addToken("A", "a");
  replacer.addToken("B", "b");
  replacer.addToken("NOVALUE", nullptr);
  replacer.addToken("DUP", "first");
  replacer.addToken("DUP", "second");
  replacer.addToken("SELF", "%%%A%%%");
  replacer.addToken("EMPTY", "");
  replacer.addToken("SERVER_ROOT", "/srv");
}

TEST_F(TokenReplacerTest, LineCases) {
  const struct {
    std::string input;
    std::string output;
  } cases[] = {
      {"port=%%%HTTP_PORT%%%\n", "port=80\n"},
      {"%%%A%%%%%%B%%%", "ab"},
      {"x%%%A%%%y%%%B%%%z\n", "xaybz\n"},
      {"%%%UNKNOWN%%%\n", "%%%UNKNOWN%%%\n"},
      {"%%%NOVALUE%%% and %%%A%%%\n", "%%%NOVALUE%%% and a\n"},
      {"%%%%%%\n", "%%%%%%\n"},
      {"%%%%%%%A%%%\n", "%%%%%%%A%%%\n"},
      {"abc%%%", "abc%%%"},
      {"abc%%%A\n", "abc%%%A\n"},
      {"%%%A%%\n", "%%%A%%\n"},
      {"%%%SELF%%%\n", "%%%A%%%\n"},
      {"%%%DUP%%%\n", "first\n"},
      {"%%%server_root%%% %%%SERVER_ROOT%%%\n", "%%%server_root%%% /srv\n"},
      {"[%%%EMPTY%%%]\n", "[]\n"},
      {"%%%A%%%B%%%\n", "aB%%%\n"},
      {"%%%%A%%%\n", "%%%%A%%%\n"},
      {"%%%A%%%%\n", "a%\n"},
      {"%%%A\n%%%\n", "%%%A\n%%%\n"},
      {"one\ntwo %%%B%%%\nlast %%%A%%%", "one\ntwo b\nlast a"},
      {std::string("nul\0%%%A%%%\0\n", 13), std::string("nul\0a\0\n", 7)},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expand(c.input, standardTokens), "") << c.input;
    EXPECT_EQ(readFile(targetPath()), c.output) << c.input;
  }
}

TEST_F(TokenReplacerTest, OtherDelimiter) {
  EXPECT_EQ(expand("@A@ %%%A%%% @@ @B@@\n",
                   [](TokenReplacer& r) {
                     r.setDelimiter("@");
                     standardTokens(r);
                   }),
            "");
  EXPECT_EQ(readFile(targetPath()), "a %%%A%%% @@ b@\n");
}

TEST_F(TokenReplacerTest, NamesLongerThan1023BytesAreNotTokens) {
  const std::string fits(1023, 'N');
  const std::string tooLong(1024, 'N');
  const std::string input = "%%%" + fits + "%%% %%%" + tooLong + "%%%\n";
  EXPECT_EQ(expand(input,
                   [&](TokenReplacer& r) {
                     r.addToken(fits.c_str(), "fits");
                     r.addToken(tooLong.c_str(), "too long");
                   }),
            "");
  EXPECT_TRUE(sameText(readFile(targetPath()), "fits %%%" + tooLong + "%%%\n"));
}

TEST_F(TokenReplacerTest, RegistrationFailures) {
  EXPECT_EQ(expand("", [](TokenReplacer& r) { r.addToken(nullptr, "v"); }), "A template token has no name.");
  EXPECT_EQ(expand("", [](TokenReplacer& r) { r.setDelimiter(""); }), "The template token delimiter is empty.");
  EXPECT_EQ(expand("", [](TokenReplacer& r) { r.setDelimiter(nullptr); }), "The template token delimiter is empty.");

  // The 101st token is refused; the first hundred still work.
  std::vector<std::string> names;
  for (int i = 0; i < 101; ++i) names.push_back("T" + std::to_string(i));
  std::string refused;
  EXPECT_EQ(expand("%%%T0%%% %%%T99%%% %%%T100%%%\n",
                   [&](TokenReplacer& r) {
                     for (int i = 0; i < 100; ++i) r.addToken(names[i].c_str(), names[i].c_str());
                     try {
                       r.addToken(names[100].c_str(), "x");
                     } catch (const char* text) {
                       refused = text;
                     }
                     r.addToken(nullptr, nullptr);  // the limit is tested first
                   }),
            "Too many template tokens: at most 100 can be registered.");
  EXPECT_EQ(refused, "Too many template tokens: at most 100 can be registered.");
  EXPECT_EQ(expand("%%%T0%%% %%%T99%%% %%%T100%%%\n",
                   [&](TokenReplacer& r) {
                     for (int i = 0; i < 100; ++i) r.addToken(names[i].c_str(), names[i].c_str());
                     try {
                       r.addToken(names[100].c_str(), "x");
                     } catch (const char*) {
                     }
                   }),
            "");
  EXPECT_EQ(readFile(targetPath()), "T0 T99 %%%T100%%%\n");
}

TEST_F(TokenReplacerTest, FileFailures) {
  auto run = [](const char* from, const char* to) -> std::string {
    try {
      TokenReplacer replacer(from, to);
      replacer.replaceTokens();
    } catch (const char* text) {
      return text;
    }
    return "";
  };
  const std::string target = targetPath();
  EXPECT_EQ(run(nullptr, target.c_str()), "No template file was given.");
  EXPECT_EQ(run(templatePath().c_str(), nullptr), "No target file was given.");

  const std::string missing = scratch / "missing.template";
  EXPECT_EQ(run(missing.c_str(), target.c_str()), "Cannot open the template file " + missing + ".");
  EXPECT_TRUE(fileExists(target));
  EXPECT_EQ(readFile(target), "");

  writeFile(templatePath(), "x\n");
  const std::string noDirectory = scratch / "no/such/out";
  EXPECT_EQ(run(templatePath().c_str(), noDirectory.c_str()), "Cannot create the target file " + noDirectory + ".");

  EXPECT_EQ(run(scratch.path().c_str(), target.c_str()), "Cannot read " + scratch.path() + ": Is a directory");
  EXPECT_EQ(readFile(target), "");

  // Every write to /dev/full fails with ENOSPC: the failure must not pass for success.
  const std::string full = scratch / "full";
  ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
  EXPECT_EQ(run(templatePath().c_str(), full.c_str()), "Cannot write " + full + ": No space left on device");
  writeFile(templatePath(), std::string(300000, 'x'));  // fails on a write, before the final flush
  EXPECT_EQ(run(templatePath().c_str(), full.c_str()), "Cannot write " + full + ": No space left on device");
}

TEST_F(TokenReplacerTest, LongFailureTextIsCutWithoutSplittingACharacter) {
  // A target path of about 1,600 bytes of two-byte characters in a missing directory.
  std::string component;
  for (int j = 0; j < 100; ++j) component += "\xc3\xa9";  // é
  std::string target = scratch / "missing";
  for (int i = 0; i < 8; ++i) target += "/" + component;
  const std::string templateFile = templatePath();
  writeFile(templateFile, "");
  std::string thrown;
  try {
    TokenReplacer replacer(templateFile.c_str(), target.c_str());
    replacer.replaceTokens();
  } catch (const char* text) {
    thrown = text;
  }
  const std::string full = "Cannot create the target file " + target + ".";
  ASSERT_GT(full.size(), 1023u);
  ASSERT_LE(thrown.size(), 1023u);
  EXPECT_GE(thrown.size(), 1022u);
  EXPECT_EQ(full.compare(0, thrown.size(), thrown), 0);
  EXPECT_NE(static_cast<unsigned char>(full[thrown.size()]) & 0xC0, 0x80u);  // cut before a character
}

TEST_F(TokenReplacerTest, LongLinesArriveInPiecesOf8191Bytes) {
  const std::string x8184(8184, 'x');
  const struct {
    std::string input;
    std::string output;
  } cases[] = {
      // The first piece ends exactly after a token: both tokens are replaced.
      {x8184 + "%%%A%%%" + "%%%B%%%\n", x8184 + "a" + "b\n"},
      // One byte later the first token is cut by the piece boundary and stays.
      {x8184 + "y%%%A%%%\n", x8184 + "y%%%A%%%\n"},
      // A line that just fits is one piece.
      {std::string(8183, 'x') + "%%%A%%%\n", std::string(8183, 'x') + "a\n"},
      // Many pieces, then ordinary lines again.
      {std::string(3 * 8191, 'z') + "%%%A%%%\n%%%B%%%\n", std::string(3 * 8191, 'z') + "a\nb\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expand(c.input, standardTokens), "");
    EXPECT_TRUE(sameText(readFile(targetPath()), c.output)) << c.input.size();
  }
}

TEST_F(TokenReplacerTest, ExpandedLinesLongerThanTheOutputBufferAreWrittenWhole) {
  const std::string kilobyte(1000, 'k');
  const std::string huge(100000, 'h');
  std::string line;
  for (int i = 0; i < 1000; ++i) line += "%%%K%%%";
  EXPECT_EQ(expand(line + "\n" + "<%%%H%%%>\n" + line,
                   [&](TokenReplacer& r) {
                     r.addToken("K", kilobyte.c_str());
                     r.addToken("H", huge.c_str());
                   }),
            "");
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += kilobyte;
  EXPECT_TRUE(sameText(readFile(targetPath()), expected + "\n<" + huge + ">\n" + expected));
}

TEST_F(TokenReplacerTest, LargeTemplateStreamsThrough) {
  std::string line = "<path root=\"%%%SERVER_ROOT%%%\" port=\"%%%HTTP_PORT%%%\" keep=\"%%%NOVALUE%%%\"/>\n";
  std::string input;
  for (int i = 0; i < 40000; ++i) input += line;
  EXPECT_EQ(expand(input, standardTokens), "");
  std::string expectedLine = "<path root=\"/srv\" port=\"80\" keep=\"%%%NOVALUE%%%\"/>\n";
  std::string output = readFile(targetPath());
  ASSERT_EQ(output.size(), expectedLine.size() * 40000);
  for (size_t at = 0; at < output.size(); at += expectedLine.size())
    ASSERT_EQ(output.compare(at, expectedLine.size(), expectedLine), 0) << at;
}

}  // namespace
