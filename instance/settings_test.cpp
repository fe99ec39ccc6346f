// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/settings.h"
#include "instance/settings_internal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "instance/record.h"
#include "tests/testsupport.h"

namespace {

const char* const VARIABLES[] = {
    "PATH",
    "INSTALL_PERL_HOME",
    "INSTALL_INSTALL_CONFIG_ROOT",
    "INSTALL_DEFAULT_LOCALE",
    "INSTALL_WEB_SERVICES_LIB",
    "INSTALL_QBUS_BIN",
    "INSTALL_QBUS_LIB",
    "INSTALL_ORB_LISTENER_PORT",
    "INSTALL_DOC_LANGUAGE",
    "INSTALL_DIRECTORY_BASE",
    "INSTALL_DIRECTORY_URL",
    "INSTALL_DIRECTORY_BIND_DN",
    "INSTALL_DIRECTORY_BIND_PASSWORD",
};

// Each test starts with PATH and every INSTALL_ variable unset and gets the
// process environment back afterwards.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : VARIABLES) {
      if (const char* value = std::getenv(name)) saved[name] = value;
      unsetenv(name);
    }
    makeDirs(root + "/lib/install");
  }
  void TearDown() override {
    for (const char* name : VARIABLES) {
      auto found = saved.find(name);
      if (found == saved.end()) {
        unsetenv(name);
      } else {
        setenv(name, found->second.c_str(), 1);
      }
    }
  }

  void writeSettings(const std::string& content) { writeFile(settingsFile, content); }

  // A directory holding an executable "perl".
  std::string perlDirectory(const std::string& name) {
    std::string directory = scratch / name;
    makeDirs(directory);
    writeFile(directory + "/perl", "#!/bin/sh\n", 0755);
    return directory;
  }

  ScratchDir scratch;
  std::string root = scratch / "server-root";
  std::string settingsFile = root + "/lib/install/install.defaults";
  InstanceRecord record = {};
  std::map<std::string, std::string> saved;
};

std::string shown(const char* text) { return text ? "\"" + std::string(text) + "\"" : "unset"; }

TEST_F(SettingsTest, MissingFileLeavesOnlyPerlFromPath) {
  std::string bin = perlDirectory("bin");
  std::string notExecutable = scratch / "plain";
  makeDirs(notExecutable);
  writeFile(notExecutable + "/perl", "", 0644);
  std::string directoryNamedPerl = scratch / "odd";
  makeDirs(directoryNamedPerl + "/perl");
  // Relative entries, and the empty one meaning the current directory, are
  // never used even where they would find a perl.
  perlDirectory("relative");
  writeFile(scratch / "perl", "#!/bin/sh\n", 0755);
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  setenv("PATH", (":relative:" + notExecutable + ":" + directoryNamedPerl + "::" + bin + ":" + perlDirectory("later"))
                     .c_str(),
         1);
  std::string error = applyInstallSettings(root.c_str(), &record);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(error, "");
  EXPECT_EQ(shown(record.perlHome), shown(bin.c_str()));
  const char* others[] = {record.installConfigRoot, record.defaultLocale,  record.webServicesLib,
                          record.qbusBin,           record.qbusLib,        record.orbListenerPort,
                          record.docLanguage,       record.directoryBase,  record.directoryUrl,
                          record.directoryBindDn,   record.directoryBindPassword};
  for (const char* field : others) EXPECT_EQ(field, nullptr);
}

TEST_F(SettingsTest, NoPerlWithoutAUsablePath) {
  for (std::optional<std::string> path : {std::optional<std::string>(), std::optional<std::string>(""),
                                          std::optional<std::string>(scratch / "none")}) {
    SCOPED_TRACE(path ? "PATH=" + *path : "PATH unset");
    if (path) setenv("PATH", path->c_str(), 1);
    InstanceRecord fresh = {};
    EXPECT_EQ(applyInstallSettings(root.c_str(), &fresh), "");
    EXPECT_EQ(fresh.perlHome, nullptr);
  }
}

TEST_F(SettingsTest, ReadsEveryFieldWithTrimmingCommentsAndServerRoot) {
  setenv("PATH", perlDirectory("bin").c_str(), 1);
  writeSettings(
      "# installation settings\n"
      "\n"
      "   \t\n"
      "  # indented comment\n"
      "perlHome = /usr/local/bin\n"
      "\tinstallConfigRoot=${SERVER_ROOT}/config \r\n"
      "defaultLocale =  en_US  \n"
      "webServicesLib = ${SERVER_ROOT}/lib:${SERVER_ROOT}/lib/ws\n"
      "qbusBin = ${SERVER_ROOT}/qbus/bin\n"
      "qbusLib = ${OTHER}/qbus/lib\n"
      "orbListenerPort = 3700\n"
      "docLanguage = fr\n"
      "directoryBase = dc=example,dc=com\n"
      "directoryUrl = ldap://ldap.example.com:389/\n"
      "directoryBindDn = cn=Directory Manager\n"
      "directoryBindPassword =\n");
  ASSERT_EQ(applyInstallSettings(root.c_str(), &record), "");
  struct Expected {
    const char* name;
    const char* actual;
    std::string expected;
  } fields[] = {
      {"perlHome", record.perlHome, "/usr/local/bin"},
      {"installConfigRoot", record.installConfigRoot, root + "/config"},
      {"defaultLocale", record.defaultLocale, "en_US"},
      {"webServicesLib", record.webServicesLib, root + "/lib:" + root + "/lib/ws"},
      {"qbusBin", record.qbusBin, root + "/qbus/bin"},
      {"qbusLib", record.qbusLib, "${OTHER}/qbus/lib"},
      {"orbListenerPort", record.orbListenerPort, "3700"},
      {"docLanguage", record.docLanguage, "fr"},
      {"directoryBase", record.directoryBase, "dc=example,dc=com"},
      {"directoryUrl", record.directoryUrl, "ldap://ldap.example.com:389/"},
      {"directoryBindDn", record.directoryBindDn, "cn=Directory Manager"},
      {"directoryBindPassword", record.directoryBindPassword, ""},
  };
  for (const Expected& field : fields) EXPECT_EQ(shown(field.actual), shown(field.expected.c_str())) << field.name;
}

TEST_F(SettingsTest, MalformedFilesNameFileAndLineAndChangeNothing) {
  struct Case {
    std::string content;
    std::string error;
  } cases[] = {
      {"# ok\nperlhome = /usr/bin\n", ":2: unknown setting \"perlhome\""},
      {"qbusBin = a\n\nqbusLib = b\n  qbusBin=c\n", ":4: setting \"qbusBin\" given twice (first on line 1)"},
      {"docLanguage = fr\njust some words\n", ":2: expected a line \"name = value\""},
      {"= value\n", ":1: unknown setting \"\""},
      {std::string("docLanguage = f\0r\n", 18), ":1: the line holds a NUL byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    writeSettings(c.content);
    InstanceRecord untouched = {};
    EXPECT_EQ(applyInstallSettings(root.c_str(), &untouched), settingsFile + c.error);
    EXPECT_EQ(untouched.docLanguage, nullptr);
    EXPECT_EQ(untouched.qbusBin, nullptr);
  }
}

TEST_F(SettingsTest, UnreadableFileIsAnError) {
  makeDirs(settingsFile);
  EXPECT_EQ(applyInstallSettings(root.c_str(), &record), settingsFile + ": cannot read the settings: Is a directory");
}

TEST_F(SettingsTest, EnvironmentWinsEvenWhenEmpty) {
  setenv("PATH", perlDirectory("bin").c_str(), 1);
  writeSettings("qbusBin = /from/file\ndocLanguage = fr\ninstallConfigRoot = /from/file\n");
  setenv("INSTALL_QBUS_BIN", "", 1);
  setenv("INSTALL_INSTALL_CONFIG_ROOT", "${SERVER_ROOT}/cfg", 1);
  setenv("INSTALL_DIRECTORY_BIND_DN", "cn=admin", 1);
  setenv("INSTALL_PERL_HOME", "/opt/perl/bin", 1);
  ASSERT_EQ(applyInstallSettings(root.c_str(), &record), "");
  EXPECT_EQ(shown(record.qbusBin), "\"\"");
  EXPECT_EQ(shown(record.installConfigRoot), shown((root + "/cfg").c_str()));
  EXPECT_EQ(shown(record.directoryBindDn), "\"cn=admin\"");
  EXPECT_EQ(shown(record.perlHome), "\"/opt/perl/bin\"");
  EXPECT_EQ(shown(record.docLanguage), "\"fr\"");
}

TEST_F(SettingsTest, TextsOutliveLaterCalls) {
  writeSettings("defaultLocale = de_DE\n");
  ASSERT_EQ(applyInstallSettings(root.c_str(), &record), "");
  const char* first = record.defaultLocale;
  for (int i = 0; i < 100; ++i) {
    InstanceRecord other = {};
    ASSERT_EQ(applyInstallSettings(root.c_str(), &other), "");
  }
  EXPECT_STREQ(first, "de_DE");
}

}  // namespace

TEST(SettingsReader, ReadsAStreamWithValuesAndLines) {
  std::string text = "# x\n docLanguage = fr_FR \r\n\nqbusLib=${SERVER_ROOT}/lib/${SERVER_ROOT}\nbogus line\n";
  FILE* stream = fmemopen(&text[0], text.size(), "r");
  InstallSettingValues values;
  EXPECT_EQ(readInstallSettings(stream, "f.defaults", "/r", &values), "f.defaults:5: expected a line \"name = value\"");
  std::fclose(stream);
  ASSERT_STREQ(installSettingName(7), "docLanguage");
  ASSERT_STREQ(installSettingName(5), "qbusLib");
  EXPECT_EQ(installSettingName(INSTALL_SETTING_COUNT), nullptr);
  EXPECT_EQ(values.value[7], "fr_FR");
  EXPECT_EQ(values.line[7], 2);
  EXPECT_EQ(values.value[5], "/r/lib//r");
  EXPECT_EQ(values.line[5], 4);
  EXPECT_FALSE(values.value[0]);
}
