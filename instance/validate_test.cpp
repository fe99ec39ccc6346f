// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/validate.h"

#include <dlfcn.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unicode/uloc.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fsutil/files.h"
#include "instance/record.h"
#include "tests/testsupport.h"

// What every fchown of this process was given, as /proc names it, recorded
// on the way to the C library's own: the probe's file must have no name.
std::vector<std::string> ownerChanges;

extern "C" int fchown(int fd, uid_t owner, gid_t group) {
  using Fchown = int (*)(int, uid_t, gid_t);
  static Fchown next = reinterpret_cast<Fchown>(dlsym(RTLD_NEXT, "fchown"));
  char target[4096] = "";
  ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (length > 0) ownerChanges.push_back(std::string(target, static_cast<size_t>(length)));
  return next(fd, owner, group);
}

namespace {

std::string text(const Message& message) { return message ? message.get() : "<no message>"; }

std::string illegalIdText(const std::string& shown) {
  return "The server identifier contains the character \"" + shown + "\", which is not allowed in a server identifier.";
}
std::string illegalIdText(char c) { return illegalIdText(std::string(1, c)); }
std::string controlCharacterText(const std::string& field, const std::string& shown) {
  return "The value of \"" + field + "\" contains the control character " + shown + ", which is not allowed.";
}

class ValidateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en", &status);
  }
  void SetUp() override {
    setInstanceDefaults("/opt/server", "host.example", &record);
    record.serverId = "web-1.test_A";
    record.serverUser = "daemon";
    record.docRoot = "/nonexistent/docs";
    record.jmsPort = "7676";
    record.jmsAdminUser = "admin";
    record.jmsAdminPassword = "secret";
    record.javaHome = "/usr/lib/jvm/java";
    record.perlHome = "/usr/bin";
    record.directoryBindDn = "cn=Directory Manager";
  }

  ScopedMessageBundle bundle{SAMPLE_SERVER_ROOT};
  InstanceRecord record = {};
};

TEST_F(ValidateTest, IllegalCharactersAreExactlyTheTwentyThree) {
  EXPECT_STREQ(illegalServerIdChars, "/ &;`'\"|*!?~<>^()[]{}$\\");
  EXPECT_EQ(std::strlen(illegalServerIdChars), 23u);
}

TEST_F(ValidateTest, ControlCharacters) {
  struct Case {
    const char* text;
    bool control;
  } cases[] = {
      {nullptr, false}, {"", false},      {"plain text", false}, {"a\tb", true},   {"\x01", true},
      {"x\x1f", true},  {"x\x7f", true},  {"\x20~", false},       {"\xc3\xa9\x80\xff", false},
      {"line\n", true}, {"cr\r", true},
  };
  for (const Case& c : cases) EXPECT_EQ(hasControlCharacter(c.text), c.control) << (c.text ? c.text : "null");
}

TEST_F(ValidateTest, IdentifierCharacters) {
  for (const char* accepted : {"web-1.test_A", "\xc3\xa9t\xc3\xa9", "%+=,@#", "x..", "a..b"})
    EXPECT_EQ(text(checkServerId(accepted)), "<no message>") << accepted;

  // A colon could not be written into the backup catalogue's paths.
  std::string refused = std::string(illegalServerIdChars) + ":";
  for (char c : refused) {
    std::string id = std::string("ab") + c + "cd";
    EXPECT_EQ(text(checkServerId(id.c_str())), illegalIdText(c)) << int(c);
  }
  // Control characters are shown, never written raw.
  const struct {
    const char* id;
    const char* shown;
  } controls[] = {{"a\tb", "\\t"}, {"a\nb", "\\n"}, {"a\rb", "\\r"}, {"a\x01", "\\x01"}, {"\x7f", "\\x7f"}};
  for (const auto& control : controls) EXPECT_EQ(text(checkServerId(control.id)), illegalIdText(control.shown));
  EXPECT_EQ(text(checkServerId("web$1/x")), illegalIdText('$'));
  EXPECT_EQ(text(checkServerId("../x")), illegalIdText('/'));

  for (const char* empty : {"", static_cast<const char*>(nullptr)})
    EXPECT_EQ(text(checkServerId(empty)), "The server identifier is empty: give the server a short identifier.");
  for (const char* dots : {".", ".."})
    EXPECT_EQ(text(checkServerId(dots)),
              std::string("The server identifier cannot be \"") + dots + "\": it must name a directory of its own.");

  // The forms of the tool's own names beside the instances: the lock and
  // other hidden names, the remains of failed runs, the older in-use name.
  for (const char* reserved : {".instances.lock", ".x", "broken.web1", "broken.", "https-web1"})
    EXPECT_EQ(text(checkServerId(reserved)),
              std::string("The server identifier \"") + reserved +
                  "\" has the form of a name the tool gives its own entries in the instances root (one starting "
                  "with \".\", \"broken.\" or \"https-\"); pick another.");
  for (const char* kept : {"web.broken", "brokenweb", "https", "http-web1", "a.https-"})
    EXPECT_EQ(text(checkServerId(kept)), "<no message>") << kept;
}

// Each answer is named as the face names it, the roots and the settings
// by their own names; a clean record passes.
TEST_F(ValidateTest, ControlCharacterInAnyFieldNamesTheField) {
  const FieldLabel answers[] = {
      {&InstanceRecord::serverName, "-s"},       {&InstanceRecord::port, "-p"},
      {&InstanceRecord::serverUser, "-u"},       {&InstanceRecord::docRoot, "-d"},
      {&InstanceRecord::dnsMode, "dnsMode"},     {&InstanceRecord::jmsPort, "-P"},
      {&InstanceRecord::jmsAdminUser, "-A"},     {&InstanceRecord::jmsAdminPassword, "-W"},
      {&InstanceRecord::javaHome, "-J"},
  };
  struct Field {
    const char* name;
    const char* InstanceRecord::*member;
  } others[] = {
      {"perlHome", &InstanceRecord::perlHome},
      {"installConfigRoot", &InstanceRecord::installConfigRoot},
      {"defaultLocale", &InstanceRecord::defaultLocale},
      {"webServicesLib", &InstanceRecord::webServicesLib},
      {"qbusBin", &InstanceRecord::qbusBin},
      {"qbusLib", &InstanceRecord::qbusLib},
      {"orbListenerPort", &InstanceRecord::orbListenerPort},
      {"docLanguage", &InstanceRecord::docLanguage},
      {"directoryBase", &InstanceRecord::directoryBase},
      {"directoryUrl", &InstanceRecord::directoryUrl},
      {"directoryBindDn", &InstanceRecord::directoryBindDn},
      {"directoryBindPassword", &InstanceRecord::directoryBindPassword},
      {"serverRoot", &InstanceRecord::serverRoot},
      {"instancesRoot", &InstanceRecord::instancesRoot},
  };
  auto check = [&](const InstanceRecord& tested) {
    return text(checkControlCharacters(&tested, answers, std::size(answers), nullptr));
  };
  EXPECT_EQ(check(record), "<no message>");
  std::vector<Field> fields(std::begin(others), std::end(others));
  for (const FieldLabel& answer : answers) fields.push_back({answer.label, answer.member});
  for (const Field& field : fields) {
    InstanceRecord tainted = record;
    tainted.*field.member = "/value\nInjected directive";
    EXPECT_EQ(check(tainted), controlCharacterText(field.name, "\\n"));
    tainted.*field.member = "tab\there";
    EXPECT_EQ(check(tainted), controlCharacterText(field.name, "\\t"));
  }
  InstanceRecord tainted = record;
  tainted.serverRoot = "/srv\x1b[2J";
  EXPECT_EQ(text(checkControlCharacters(&tainted, answers, std::size(answers), "ZORA_SERVER_HOME")),
            "The value of \"ZORA_SERVER_HOME\" contains the control character \\x1b, which is not allowed.");
}

TEST_F(ValidateTest, DocumentRootMustBeAbsolute) {
  const std::string refused = "The document root must be an absolute path (it must begin with /).";
  for (const char* docRoot : {"docs", "", static_cast<const char*>(nullptr), " /docs"})
    EXPECT_EQ(text(checkDocRootPath(docRoot)), refused) << (docRoot ? docRoot : "null");
  EXPECT_EQ(text(checkDocRootPath("/does/not/exist/yet")), "<no message>");
}

// The probe hands over a file that has no name in the directory it is
// given: a run killed at any moment leaves nothing there or anywhere else.
TEST_F(ValidateTest, ProbeAsRootHandsOverAFileWithoutAName) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  ScratchDir scratch;
  ownerChanges.clear();
  EXPECT_EQ(probeUser("daemon", scratch.path().c_str()), 0);
  EXPECT_EQ(probeUser("root", scratch.path().c_str()), 0);
  EXPECT_EQ(probeUser("no-such-user-here", scratch.path().c_str()), -1);
  EXPECT_EQ(probeUser(nullptr, scratch.path().c_str()), -1);
  EXPECT_EQ(text(checkServerUser("daemon", scratch.path().c_str())), "<no message>");
  EXPECT_EQ(text(checkServerUser("no-such-user-here", scratch.path().c_str())),
            "The user \"no-such-user-here\" does not exist on this system.");
  ASSERT_EQ(ownerChanges.size(), 3u);  // daemon, root, and daemon once more
  for (const std::string& changed : ownerChanges) {
    EXPECT_EQ(changed.rfind(scratch.path() + "/#", 0), 0u) << changed;
    EXPECT_NE(changed.find(" (deleted)"), std::string::npos) << changed;
  }
  EXPECT_TRUE(listTree(scratch.path()).empty());
  EXPECT_EQ(probeUser("daemon", (scratch / "missing").c_str()), 0) << "untested where no file can be made";
}

TEST_F(ValidateTest, OrdinaryUserAcceptsAnyExistingUser) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to switch to daemon";
  const passwd* daemon = getpwnam("daemon");
  ASSERT_NE(daemon, nullptr);
  uid_t uid = daemon->pw_uid;
  gid_t gid = daemon->pw_gid;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(99);
    int failures = (probeUser("root", "/tmp") != 0) + (probeUser("daemon", "/tmp") != 0) +
                   (probeUser("no-such-user-here", "/tmp") != -1);
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
