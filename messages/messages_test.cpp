// SPDX-License-Identifier: GPL-3.0-or-later
#include "messages/messages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include <unicode/ucnv.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include "tests/testsupport.h"

namespace {

const char kNullBundle[] = "Internal Error: Null Resource Bundle";
const char kNoInfoPrefix[] = "Internal Error: Could not get info from resource bundle for key:";
const char kTooMany[] = "Error: Too many arguments to format";

struct KeyArity {
  const char* key;
  int arguments;
};

// Every key the tool reports, with the number of its arguments.
const KeyArity kKeys[] = {
    {"ERR_ILLEGAL_SERVER_ID", 1},   {"ERR_DOC_ROOT", 0},
    {"ERR_UNKNOWN_USER", 1},        {"ERR_INVALID_USER", 0},
    {"ERR_GET_USER_NAME", 1},       {"ERR_CHANGE_OWNER", 2},
    {"ERR_MKDIR_FAILURE", 2},       {"ERR_FILE_OPEN_READ", 2},
    {"ERR_FILE_OPEN_WRITE", 2},     {"ERR_IRREGULAR_FILE", 1},
    {"ERR_FILE_READ", 2},           {"ERR_FILE_COPY", 3},
    {"ERR_FILE_WRITE", 2},          {"ERR_CREATE_STARTSERV", 1},
    {"ERR_CREATE_STOPSERV", 1},     {"ERR_CREATE_RESTARTSERV", 1},
    {"ERR_CREATE_MESG", 2},         {"ERR_CREATE_BACKUP", 1},
    {"ERR_CREATE_BACKUP_TREE", 0},  {"ERR_CREATE_DBSWITCH_CONF", 0},
    {"ERR_KEYFILE_BACKUP", 0},      {"ERR_CHMOD_CONFIG", 0},
    {"ERR_TOKEN_LIMIT_EXCEEDED", 1}, {"ERR_TOKEN_NAME_NULL", 0},
    {"ERR_EMPTY_DELIMITER", 0},     {"ERR_TEMPLATE_FILE_NAME_NULL", 0},
    {"ERR_TARGET_FILE_NAME_NULL", 0}, {"ERR_OPEN_TEMPLATE_FILE", 1},
    {"ERR_OPEN_TARGET_FILE", 1},    {"ERR_CONTROL_CHARACTER", 2},
    {"ERR_DOCS_LIST_ENTRY", 2},     {"ERR_UNSAFE_LINK", 1},
    {"ERR_UNSAFE_DIRECTORY", 1},    {"ERR_EMPTY_SERVER_ID", 0},
    {"ERR_DOT_SERVER_ID", 1},       {"ERR_INSTANCE_SET_ASIDE", 1},
    {"ERR_INSTANCE_LEFT_IN_PLACE", 1}, {"ERR_PORTS_EQUAL", 1},
    {"ERR_PORT_TAKEN_BY_INSTANCE", 2}, {"ERR_PORT_TAKEN_BY_PROCESS", 1},
    {"ERR_PASSWORD_FILE", 2},       {"ERR_PASSWORD_FILE_SHARED", 1},
    {"ERR_PASSWORD_EMPTY", 1},      {"ERR_PASSWORD_TWICE", 0},
    {"ERR_CHECK_PASSED", 1},
    {"ERR_READ_THROUGH_LINK", 1},   {"ERR_READ_SECOND_NAME", 1},
    {"ERR_FILE_TOO_LARGE", 2},      {"ERR_PASSWORD_FILE_OWNER", 1},
    {"ERR_RECORD_SKIPPED", 2},      {"ERR_LOCK_TIMEOUT", 2},
    {"ERR_UNSAFE_LOCK", 1},         {"ERR_SERVER_ID_TOO_LONG", 2},
    {"ERR_LINK_REFUSED", 1},        {"ERR_OTHER_USER_NEEDS_ROOT", 1},
    {"ERR_CTL_UNKNOWN_INSTANCE", 2},
    {"ERR_CTL_RUNNING", 2},
    {"ERR_CTL_NOT_STOPPED", 2},
    {"ERR_CTL_NOT_STOPPED_UNIT", 2},
    {"ERR_CTL_STOP_TIMEOUT", 2},
    {"ERR_CTL_UNSAFE_SCRIPT", 1},
    {"ERR_CTL_UNSAFE_ROOT", 2},
    {"ERR_CTL_REMOVED", 2},
    {"ERR_CTL_KEPT_DOCROOT", 1},
    {"ERR_CTL_KEPT_INSIDE", 2},
    {"ERR_CTL_MOUNT_INSIDE", 2},
    {"ERR_CTL_OTHER_FILE_SYSTEM", 1},
    {"ERR_CTL_NOT_REMOVED", 2},
    {"ERR_CTL_INSTANCE_LEFT", 2},
    {"ERR_CTL_DOCROOT_NOT_KEPT", 2},
    {"ERR_CTL_UNIT_WRITTEN", 1},
    {"ERR_CTL_UNIT_UNCHANGED", 1},
    {"ERR_CTL_UNIT_ENABLE", 0},
    {"ERR_CTL_UNIT_EXISTS", 1},
    {"ERR_CTL_UNIT_REMOVED", 1},
    {"ERR_CTL_UNIT_NOT_ROOT", 0},
    {"ERR_CTL_UNIT_UNSAFE_START", 1},
    {"ERR_CTL_UNIT_NAME", 1},
    {"ERR_CTL_UNIT_BROKEN", 1},
    {"ERR_CTL_UNSAFE_UNIT_DIR", 2},
    {"ERR_SERVER_ID_IN_USE", 0},    {"ERR_BAD_PORT", 2},
    {"ERR_SERVER_ID_UNFINISHED", 2}, {"ERR_CTL_RESUMING", 1},
    {"ERR_CTL_TAKEN_BACK", 1},      {"ERR_CTL_MADE_SHARED", 2},
    {"ERR_CTL_MADE_CHANGED", 1},    {"ERR_CTL_STILL_REMOVING", 2},
    {"ERR_CTL_UNIT_UNFINISHED", 1}, {"ERR_CTL_NOTE_UNREADABLE", 1},
    {"ERR_CTL_ERROR_LOG", 1},
    {"ERR_CTL_UNSAFE_OPERATION", 1},
    {"ERR_CTL_SCRIPT_TIMEOUT", 2},
    {"ERR_CTL_STILL_RUNNING", 3},
    {"ERR_CTL_STILL_RUNNING_KILLED", 2},
    {"ERR_CTL_STARTED_UNIT", 2},
    {"ERR_CTL_STOPPED_UNIT", 2},
    {"ERR_CTL_RESTARTED_UNIT", 2},
    {"ERR_CTL_SYSTEMCTL_FAILED", 3},
    {"ERR_CTL_ALREADY_RUNNING", 2},
    {"ERR_CTL_STARTED", 2},
    {"ERR_CTL_NOT_STARTED", 3},
    {"ERR_CTL_NOT_RUNNING", 1},
    {"ERR_CTL_STOPPED", 1},
    {"ERR_CTL_RESTARTED", 2},
    {"ERR_CTL_NOT_RESTARTED", 3},
    {"ERR_CTL_NOT_OWNER", 2},
    {"ERR_CTL_SOME_FAILED", 3},
    {"ERR_CTL_STATUS_RUNNING", 3},
    {"ERR_CTL_STATUS", 3},
    {"ERR_CTL_NO_SYSTEMD", 0},
    {"ERR_CTL_UNIT_ENABLED_ALREADY", 1},
    {"ERR_CTL_UNIT_ENABLED", 1},
    {"ERR_CTL_UNIT_ABSENT", 2},
    {"ERR_CTL_UNIT_NOT_OURS", 2},
    {"ERR_CTL_UNIT_GONE", 1},
    {"ERR_CTL_SCRIPT_REFUSED", 2},
    {"ERR_CTL_STOP_FAILED", 3},
    {"ERR_CTL_STILL_RUNNING_UNIT", 3},
    {"ERR_CTL_NOT_STARTED_UNIT", 2},
    {"ERR_CTL_START_LIMIT", 2},
    {"ERR_CTL_OUTSIDE_UNIT", 3},
    {"ERR_CTL_RESTART_UNDER_UNIT", 1},
    {"ERR_CTL_NOT_SUPERVISED", 2},
    {"ERR_CTL_STATE_UNKNOWN", 3},
    {"ERR_CTL_RUNNING_IN_REMOVAL", 2},
    {"ERR_CTL_UNIT_NOT_LOADED", 2},
    {"ERR_CTL_MADE_MOVED", 1},
    {"ERR_RESERVED_SERVER_ID", 1},  {"ERR_SAME_FILE", 2},
    {"ERR_DOC_ROOT_IN_TEMPLATES", 2}, {"ERR_PATH_TOO_LONG", 3},
    {"ERR_INTERPRETER_CANNOT_START", 2}, {"ERR_INTERPRETER_NEEDS", 3},
    {"ERR_LABEL_SERVER_NAME", 0},   {"ERR_LABEL_SERVER_PORT", 0},
    {"ERR_LABEL_SERVER_ID", 0},     {"ERR_LABEL_SERVER_USER", 0},
    {"ERR_LABEL_DNS", 0},           {"ERR_LABEL_DOC_ROOT", 0},
    {"ERR_LABEL_HTTP_PORT", 0},     {"ERR_LABEL_JMS_PORT", 0},
    {"ERR_LABEL_JMS_ADMIN", 0},     {"ERR_LABEL_JMS_PASSWORD", 0},
    {"ERR_LABEL_JAVA_HOME", 0},     {"ERR_UNSET_SETTINGS", 2},
    {"ERR_ROOT_SERVER_USER", 2},    {"ERR_PASSWORD_STDIN_EMPTY", 0},
    {"ERR_PASSWORD_STDIN_READ", 1}, {"ERR_PASSWORD_STDIN_TOO_LONG", 1},
};

std::string bundlePath() { return sampleServerRoot() + "/lib/messages/httpconf"; }

std::string take(char* text) {
  Message owned(text);
  return owned ? std::string(owned.get()) : std::string("<null>");
}

std::set<std::string> placeholders(const std::string& text) {
  std::set<std::string> found;
  for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
    size_t close = text.find('}', open);
    found.insert(text.substr(open, close == std::string::npos ? std::string::npos : close - open + 1));
  }
  return found;
}

std::string substitute(std::string text, const std::string& placeholder, const std::string& value) {
  for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
    text.replace(at, placeholder.size(), value);
  return text;
}

struct BundleCloser {
  void operator()(UResourceBundle* b) const { closeMessageBundle(b); }
};
using BundlePtr = std::unique_ptr<UResourceBundle, BundleCloser>;

// Keeps the process-wide default locale and rBundle as a test found them.
class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLocale_ = uloc_getDefault();
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en_US", &status);
  }
  void TearDown() override {
    closeMessageBundle(rBundle);
    rBundle = nullptr;
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(savedLocale_.c_str(), &status);
  }
  std::string savedLocale_;
};

// Looks in the locale's own file only, so that a key missing from fr.res is
// not hidden by the root fallback.
TEST_F(MessagesTest, EveryKeyIsInBothLanguagesWithItsPlaceholders) {
  for (const char* locale : {"root", "fr"}) {
    UErrorCode status = U_ZERO_ERROR;
    BundlePtr own(ures_openDirect(bundlePath().c_str(), locale, &status));
    ASSERT_TRUE(U_SUCCESS(status)) << locale << ": " << u_errorName(status);
    for (const KeyArity& entry : kKeys) {
      SCOPED_TRACE(std::string(locale) + " " + entry.key);
      const UChar* pattern = get_const_ucs2_resource_string_icu(own.get(), entry.key);
      ASSERT_NE(pattern, nullptr);
      std::string text = take(ucs2strToUTF8(pattern));
      std::set<std::string> expected;
      for (int i = 0; i < entry.arguments; ++i) expected.insert("{" + std::to_string(i) + "}");
      EXPECT_EQ(placeholders(text), expected) << text;

      // The formatter must reproduce every other character, apostrophes included.
      std::string formatted = take(get_and_format_message(3, own.get(), "en_US", entry.key, "A0", "A1", "A2"));
      std::string manual = substitute(substitute(substitute(text, "{0}", "A0"), "{1}", "A1"), "{2}", "A2");
      EXPECT_EQ(formatted, manual);
    }
  }
}

TEST_F(MessagesTest, FrenchTextsAreTranslations) {
  UErrorCode status = U_ZERO_ERROR;
  BundlePtr english(ures_openDirect(bundlePath().c_str(), "root", &status));
  BundlePtr french(ures_openDirect(bundlePath().c_str(), "fr", &status));
  ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  for (const KeyArity& entry : kKeys)
    EXPECT_NE(take(get_resource_string_icu(english.get(), entry.key)),
              take(get_resource_string_icu(french.get(), entry.key)))
        << entry.key;
}

TEST_F(MessagesTest, DefaultLocaleChoosesTheLanguage) {
  struct Case {
    const char* locale;
    const char* expected;
  } cases[] = {
      {"en_US", "Cannot copy to /srv/a from /srv/b: No space left on device"},
      {"fr_FR", "Impossible de copier vers /srv/a depuis /srv/b : No space left on device"},
      {"fr", "Impossible de copier vers /srv/a depuis /srv/b : No space left on device"},
      {"de_DE", "Cannot copy to /srv/a from /srv/b: No space left on device"},
  };
  for (const Case& c : cases) {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(c.locale, &status);
    ScopedMessageBundle scope(sampleServerRoot().c_str());
    ASSERT_NE(rBundle, nullptr) << c.locale;
    EXPECT_EQ(errorMessage("ERR_FILE_COPY", {"/srv/a", "/srv/b", "No space left on device"}).get(),
              std::string(c.expected))
        << c.locale;
  }
  EXPECT_EQ(rBundle, nullptr);
}

TEST_F(MessagesTest, KeysWithoutArgumentsAreLookedUpAsTheyAre) {
  ScopedMessageBundle scope(sampleServerRoot().c_str());
  EXPECT_STREQ(errorMessage("ERR_DOC_ROOT").get(),
               "The document root must be an absolute path (it must begin with /).");
  // Arguments given to a text without placeholders change nothing.
  EXPECT_STREQ(take(get_and_format_message(2, rBundle, "en_US", "ERR_DOC_ROOT", "x", "y")).c_str(),
               "The document root must be an absolute path (it must begin with /).");
}

TEST_F(MessagesTest, FallbackTexts) {
  UErrorCode status = U_ZERO_ERROR;
  BundlePtr bundle(ures_open(bundlePath().c_str(), "en_US", &status));
  ASSERT_TRUE(U_SUCCESS(status));
  UResourceBundle* b = bundle.get();
  const std::string noKey = std::string(kNoInfoPrefix) + "ERR_NO_SUCH_KEY";
  struct Case {
    const char* what;
    std::string actual;
    std::string expected;
  } cases[] = {
      {"null bundle", take(get_resource_string_icu(nullptr, "ERR_DOC_ROOT")), kNullBundle},
      {"null bundle, formatted", take(get_and_format_message(1, nullptr, "en_US", "ERR_IRREGULAR_FILE", "/a")),
       kNullBundle},
      {"missing key", take(get_resource_string_icu(b, "ERR_NO_SUCH_KEY")), noKey},
      {"missing key, formatted", take(get_and_format_message(2, b, "en_US", "ERR_NO_SUCH_KEY", "a", "b")), noKey},
      {"six arguments", take(get_and_format_message(6, b, "en_US", "ERR_FILE_COPY", "1", "2", "3", "4", "5", "6")),
       kTooMany},
      {"six arguments, no bundle", take(get_and_format_message(6, nullptr, "en_US", "ERR_FILE_COPY")), kTooMany},
      {"no arguments", take(get_and_format_message(0, b, "en_US", "ERR_FILE_COPY")), "<null>"},
      {"errorMessage, no bundle", errorMessage("ERR_MKDIR_FAILURE", {"/a", "b"}).get(), kNullBundle},
      {"errorMessage, six", errorMessage("ERR_MKDIR_FAILURE", {"1", "2", "3", "4", "5", "6"}).get(), kTooMany},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;

  EXPECT_EQ(get_const_ucs2_resource_string_icu(nullptr, "ERR_DOC_ROOT"), nullptr);
  EXPECT_EQ(get_const_ucs2_resource_string_icu(b, "ERR_NO_SUCH_KEY"), nullptr);
}

TEST_F(MessagesTest, OverlongKeyIsCutInTheFallbackText) {
  std::string key(1000, 'K');
  UErrorCode status = U_ZERO_ERROR;
  BundlePtr bundle(ures_open(bundlePath().c_str(), "en_US", &status));
  std::string text = take(get_resource_string_icu(bundle.get(), key.c_str()));
  EXPECT_EQ(text.size(), 255u);
  EXPECT_EQ(text, (std::string(kNoInfoPrefix) + key).substr(0, 255));
}

TEST_F(MessagesTest, MissingBundleDirectory) {
  ScratchDir scratch;
  EXPECT_EQ(openMessageBundle(scratch.path().c_str(), "httpconf", "en_US"), nullptr);
  ScopedMessageBundle scope(scratch.path().c_str());
  EXPECT_EQ(rBundle, nullptr);
  EXPECT_STREQ(errorMessage("ERR_DOC_ROOT").get(), kNullBundle);
}

TEST_F(MessagesTest, EmptyButValidBundleHasNoKeys) {
  ScratchDir scratch;
  std::string dir = scratch / "lib/messages/empty";
  makeDirs(dir);
  writeFile(scratch / "root.txt", "root {\n}\n");
  ProcessResult genrb =
      runProcess({"/usr/bin/genrb", "-q", "-e", "UTF-8", "-d", dir, scratch / "root.txt"}, {"PATH=/usr/bin:/bin"});
  ASSERT_EQ(genrb.status, 0) << genrb.err;

  BundlePtr bundle(openMessageBundle(scratch.path().c_str(), "empty", "en_US"));
  ASSERT_NE(bundle, nullptr);
  const std::string expected = std::string(kNoInfoPrefix) + "ERR_DOC_ROOT";
  EXPECT_EQ(take(get_resource_string_icu(bundle.get(), "ERR_DOC_ROOT")), expected);
  EXPECT_EQ(take(get_and_format_message(1, bundle.get(), "en_US", "ERR_DOC_ROOT", "x")), expected);
}

// Arguments are widened through the host's default code page, which ICU
// fixes to UTF-8 on Linux. errorMessage shows a byte that is not UTF-8, and
// every control character, as an escape: a value another user wrote never
// reaches the terminal raw, nor is it lost to U+FFFD.
TEST_F(MessagesTest, NonAsciiArgumentGoesThroughTheDefaultCodePage) {
  ScopedMessageBundle scope(sampleServerRoot().c_str());
  ASSERT_STREQ(ucnv_getDefaultName(), "UTF-8");
  EXPECT_STREQ(errorMessage("ERR_UNKNOWN_USER", {"h\xC3\xA9l\xC3\xA8ne"}).get(),
               "The user \"h\xC3\xA9l\xC3\xA8ne\" does not exist on this system.");
  EXPECT_STREQ(errorMessage("ERR_UNKNOWN_USER", {"h\xE9l\xE8ne"}).get(),
               "The user \"h\\xe9l\\xe8ne\" does not exist on this system.");
  EXPECT_STREQ(errorMessage("ERR_IRREGULAR_FILE", {"/srv/a\x1b]0;x\x07\n.html"}).get(),
               "/srv/a\\x1b]0;x\\x07\\n.html is not a regular file.");
  EXPECT_EQ(take(get_and_format_message(1, rBundle, "en", "ERR_UNKNOWN_USER", "h\xE9l\xE8ne")),
            "The user \"h\xEF\xBF\xBDl\xEF\xBF\xBDne\" does not exist on this system.");
}

TEST_F(MessagesTest, OverlongResultIsCutAt4095Units) {
  ScopedMessageBundle scope(sampleServerRoot().c_str());
  auto format = [](const std::string& argument) {
    return take(get_and_format_message(1, rBundle, "en", "ERR_IRREGULAR_FILE", argument.c_str()));
  };
  // "{0} is not a regular file." with a 5000-byte argument.
  std::string path(5000, 'p');
  EXPECT_EQ(format(path), path.substr(0, 4095));

  // U+1F600 takes two UTF-16 units: the cut may not split the pair.
  std::string smiles;
  for (int i = 0; i < 3000; ++i) smiles += "\xF0\x9F\x98\x80";
  EXPECT_EQ(format(smiles), smiles.substr(0, 2047 * 4));

  // Just below the limit nothing is cut.
  std::string fits(4095 - std::string(" is not a regular file.").size(), 'f');
  EXPECT_EQ(format(fits), fits + " is not a regular file.");
}

// A reported message keeps its whole sentence: long values are shortened
// in their middle instead, keeping the end where a path names its file.
TEST_F(MessagesTest, LongArgumentsAreShortenedSoTheReasonSurvives) {
  ScopedMessageBundle scope(sampleServerRoot().c_str());
  std::string path = "/srv/" + std::string(5000, 'd') + "/web1";
  std::string text = errorMessage("ERR_MKDIR_FAILURE", {path.c_str(), "File name too long"}).get();
  EXPECT_LT(text.size(), 4000u);
  EXPECT_EQ(text.rfind("Cannot create the directory /srv/ddd", 0), 0u) << text.substr(0, 60);
  EXPECT_NE(text.find("ddd...ddd"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 26), "d/web1: File name too long");

  std::string accents;
  for (int i = 0; i < 2000; ++i) accents += "\xC3\xA9";  // never cut inside a character
  text = errorMessage("ERR_IRREGULAR_FILE", {accents.c_str()}).get();
  EXPECT_NE(text.find("\xC3\xA9...\xC3\xA9\xC3\xA9"), std::string::npos) << text.substr(1790, 20);
}

TEST_F(MessagesTest, Ucs2ToUtf8) {
  const UChar text[] = {'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
  EXPECT_EQ(take(ucs2strToUTF8(text)), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  const UChar empty[] = {0};
  EXPECT_EQ(take(ucs2strToUTF8(empty)), "");
  const UChar loneSurrogate[] = {'a', 0xD83D, 'b', 0};
  EXPECT_EQ(ucs2strToUTF8(loneSurrogate), nullptr);
  EXPECT_EQ(ucs2strToUTF8(nullptr), nullptr);
}

}  // namespace
