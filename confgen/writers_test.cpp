// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <unicode/uloc.h>

#include "backup/catalogue.h"
#include "confgen/confgen.h"
#include "messages/messages.h"
#include "tests/testsupport.h"

namespace {

std::string testdata(const std::string& name) { return std::string(CONFGEN_TESTDATA) + "/" + name; }

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string messageText(const Message& message) { return message ? message.get() : "(success)"; }

// A scratch server root that is also the instances root, with the instance
// web1's config tree, the test templates and an open, empty catalogue.
class WritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en_US", &status);
    bundle_ = std::make_unique<ScopedMessageBundle>(SAMPLE_SERVER_ROOT);
    makeDirs(config + "/backup");
    makeDirs(root + "/lib/install/templates");
    writeFile(templates + "/server.xml.template", readFile(testdata("server.xml.template")));
    writeFile(templates + "/mirel-acc.xml.template", readFile(testdata("mirel-acc.xml.template")));
    writeFile(catalogueFile, "");
    catalogue = openBackupCatalogue(root.c_str(), catalogueFile.c_str());
    ASSERT_NE(catalogue, nullptr);

    record.serverRoot = root.c_str();
    record.instancesRoot = root.c_str();
    record.serverId = "web1";
    record.serverName = "www.example.com";
    record.port = "8080";
    record.serverUser = "daemon";
    record.dnsMode = "off";
    record.securityMode = "off";
    record.docRoot = "/srv/R&D";
    record.jmsPort = "7676";
    record.jmsAdminUser = "admin";
    record.jmsAdminPassword = "pa\"ss<'>";
    record.javaHome = "/usr/java";
    record.qbusBin = "/opt/qbus/bin";
    record.qbusLib = nullptr;
    record.defaultLocale = "";
    record.webServicesLib = "/opt/ws/lib";
    record.orbListenerPort = "3700";
    record.installConfigRoot = "/etc/install";
  }

  void TearDown() override {
    if (catalogue) closeBackupCatalogue(catalogue);
  }

  // The hand-written expected file with the scratch root filled in.
  std::string expected(const std::string& name) const {
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08x", pathHash(root.c_str()));
    return replaceAll(replaceAll(readFile(testdata(name)), "@ROOT@", root), "@HASH@", hash);
  }

  // The lines init.conf holds between its Security and RqThrottle lines.
  std::string languageLines() const {
    std::string text = readFile(config + "/init.conf");
    size_t start = text.find("Security off\n");
    size_t end = text.find("RqThrottle 128\n");
    if (start == std::string::npos || end == std::string::npos || end < start) return "(malformed)";
    start += std::string("Security off\n").size();
    return text.substr(start, end - start);
  }

  ScratchDir scratch;
  const std::string root = scratch / "server-root";
  const std::string instance = root + "/web1";
  const std::string config = instance + "/config";
  const std::string templates = root + "/lib/install/templates";
  const std::string catalogueFile = config + "/backup/backups.conf";
  InstanceRecord record{};
  BackupCatalogue* catalogue = nullptr;

 private:
  std::unique_ptr<ScopedMessageBundle> bundle_;
};

TEST_F(WritersTest, InitConfAndAclFilesHaveTheirExactContent) {
  makeDirs(root + "/admin-server/config");
  writeFile(root + "/admin-server/config/init.conf", readFile(testdata("admin-init.conf")));

  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)");

  EXPECT_EQ(readFile(config + "/init.conf"), expected("init.conf.expected"));
  EXPECT_EQ(readFile(config + "/backup/init.conf"), expected("init.conf.expected"));
  EXPECT_EQ(readFile(config + "/generated.web1.acl"), expected("generated.acl.expected"));
  EXPECT_EQ(readFile(config + "/genwork.web1.acl"), expected("generated.acl.expected"));
  EXPECT_EQ(fileMode(config + "/backup/init.conf"), 0644);
}

TEST_F(WritersTest, LanguageLinesAreCopiedPieceByPiece) {
  const std::string piece1 = "DefaultLanguage " + std::string(238, 'x');  // 254 bytes: one whole read
  const std::string piece2 = std::string(32, 'y') + " AdminLanguage\n";
  const std::string splitKeyword = std::string(250, 'z') + "ClientLanguage fr\n";
  const struct {
    const char* what;
    const char* content;  // null: no administration server init.conf
    std::string lines;
  } cases[] = {
      {"missing file", nullptr, ""},
      {"two lines in order", "DefaultLanguage en\nPort 1\nClientLanguage fr\n",
       "DefaultLanguage en\nClientLanguage fr\n"},
      {"two keywords", "AdminLanguage de DefaultLanguage de\n",
       "AdminLanguage de DefaultLanguage de\nAdminLanguage de DefaultLanguage de\n"},
      {"three keywords", "ClientLanguage AdminLanguage DefaultLanguage\n",
       "ClientLanguage AdminLanguage DefaultLanguage\nClientLanguage AdminLanguage DefaultLanguage\n"
       "ClientLanguage AdminLanguage DefaultLanguage\n"},
      {"commented line", "# ClientLanguage is unset\n", "# ClientLanguage is unset\n"},
      {"case matters", "clientlanguage fr\nDEFAULTLANGUAGE en\n", ""},
      {"last line without line end", "Port 1\nClientLanguage fr", "ClientLanguage fr\n"},
  };
  makeDirs(root + "/admin-server/config");
  const std::string admin = root + "/admin-server/config/init.conf";
  for (const auto& c : cases) {
    unlink(admin.c_str());
    if (c.content) writeFile(admin, c.content);
    EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)") << c.what;
    EXPECT_EQ(languageLines(), c.lines) << c.what;
  }

  // A 300-byte line arrives as a 254-byte piece and the rest; each piece
  // is judged by the keywords it holds itself.
  writeFile(admin, piece1 + piece2);
  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)");
  EXPECT_EQ(languageLines(), piece1 + piece2);
  writeFile(admin, piece1 + std::string(32, 'y') + "\n");
  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)");
  EXPECT_EQ(languageLines(), piece1 + "\n");  // the line end closes the cut-off piece
  writeFile(admin, splitKeyword);
  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)");
  EXPECT_EQ(languageLines(), "");
}

TEST_F(WritersTest, DnsModeDecidesTheDnsAndAddLogLines) {
  const struct {
    const char* mode;
    const char* dnsLine;
    const char* addLog;
  } cases[] = {
      {"nolog", "DNS on", "AddLog fn=flex-log name=\"access\" iponly=1"},
      {"on", "DNS on", "AddLog fn=flex-log name=\"access\""},
      {"off", "DNS off", "AddLog fn=flex-log name=\"access\""},
      {"nolog ", "DNS nolog ", "AddLog fn=flex-log name=\"access\""},
      {"whatever it is", "DNS whatever it is", "AddLog fn=flex-log name=\"access\""},
  };
  for (const auto& c : cases) {
    record.dnsMode = c.mode;
    ASSERT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)");
    ASSERT_EQ(messageText(writeObjConf(&record, catalogue)), "(success)");
    EXPECT_EQ(splitLines(readFile(config + "/init.conf")).at(5), c.dnsLine) << c.mode;
    EXPECT_EQ(splitLines(readFile(config + "/obj.conf")).at(16), c.addLog) << c.mode;
  }
}

TEST_F(WritersTest, ObjConfAndItsTwinHaveTheirExactContent) {
  EXPECT_EQ(messageText(writeObjConf(&record, catalogue)), "(success)");
  const std::string content = expected("obj.conf.expected");
  EXPECT_EQ(splitLines(content).size(), 33u);
  EXPECT_EQ(readFile(config + "/obj.conf"), content);
  EXPECT_EQ(readFile(config + "/web1-obj.conf"), content);
  EXPECT_EQ(readFile(config + "/backup/obj.conf"), content);
  EXPECT_EQ(readFile(config + "/backup/web1-obj.conf"), content);
}

TEST_F(WritersTest, ExistingAclFilesAreKept) {
  writeFile(config + "/generated.web1.acl", "version 3.0;\nacl \"own\";\n");
  EXPECT_EQ(messageText(writeAclFiles(&record, instance.c_str(), catalogue)), "(success)");
  EXPECT_EQ(readFile(config + "/generated.web1.acl"), "version 3.0;\nacl \"own\";\n");
  EXPECT_EQ(readFile(config + "/genwork.web1.acl"), "version 3.0;\nacl \"own\";\n");

  writeFile(config + "/generated.web1.acl", "changed\n");
  EXPECT_EQ(messageText(writeAclFiles(&record, instance.c_str(), catalogue)), "(success)");
  EXPECT_EQ(readFile(config + "/genwork.web1.acl"), "version 3.0;\nacl \"own\";\n");
}

TEST_F(WritersTest, AnAclFileThatCannotBeWrittenWholeIsRemoved) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 100;  // the ACL text is longer
  void (*savedHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Message failure = writeAclFiles(&record, instance.c_str(), catalogue);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, savedHandler);

  EXPECT_EQ(messageText(failure), "Cannot write " + config + "/generated.web1.acl: File too large");
  EXPECT_FALSE(fileExists(config + "/generated.web1.acl"));
  EXPECT_FALSE(fileExists(config + "/genwork.web1.acl"));
  EXPECT_EQ(findBackupEntry(catalogue, "web1.acl"), -1);
}

// Neither a working copy that cannot be made nor an administration
// configuration that cannot be read may leave an init.conf that passes for
// a complete one.
TEST_F(WritersTest, AclAndLanguageFailuresFailInitConf) {
  const std::string generated = config + "/generated.web1.acl";
  const std::string workCopy = config + "/genwork.web1.acl";
  makeDirs(generated);  // cannot be copied
  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), generated + " is not a regular file.");
  EXPECT_FALSE(fileExists(workCopy));

  rmdir(generated.c_str());
  makeDirs(workCopy);  // cannot be recorded
  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)),
            "Cannot record the backup copy of web1.acl in the backup catalogue.");
  EXPECT_FALSE(fileExists(config + "/backup/init.conf"));

  rmdir(workCopy.c_str());
  const std::string admin = root + "/admin-server/config/init.conf";
  makeDirs(admin);  // opens, but every read fails
  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), "Cannot read " + admin + ": Is a directory");
  EXPECT_FALSE(fileExists(config + "/backup/init.conf"));

  rmdir(admin.c_str());
  EXPECT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)");  // no administration server
  EXPECT_EQ(languageLines(), "");
}

TEST_F(WritersTest, TemplateFilesGetEscapedValuesAndKeepUnsetTokens) {
  EXPECT_EQ(messageText(writeServerXml(&record, catalogue)), "(success)");
  EXPECT_EQ(messageText(writeAccXml(&record, catalogue)), "(success)");
  EXPECT_EQ(readFile(config + "/server.xml"), expected("server.xml.expected"));
  EXPECT_EQ(readFile(config + "/mirel-acc.xml"), expected("mirel-acc.xml.expected"));
  EXPECT_EQ(readFile(config + "/backup/server.xml"), expected("server.xml.expected"));
  EXPECT_EQ(readFile(config + "/backup/mirel-acc.xml"), expected("mirel-acc.xml.expected"));
}

TEST_F(WritersTest, InstanceRootIsTheInstancesRootNotTheInstance) {
  const std::string instances = scratch / "instances";
  makeDirs(instances + "/web1/config/backup");
  record.instancesRoot = instances.c_str();
  writeFile(templates + "/server.xml.template", "<i r=\"%%%INSTANCE_ROOT%%%\" s=\"%%%SERVER_ROOT%%%\"/>\n");
  EXPECT_EQ(messageText(writeServerXml(&record, catalogue)), "(success)");
  EXPECT_EQ(readFile(instances + "/web1/config/server.xml"), "<i r=\"" + instances + "\" s=\"" + root + "\"/>\n");
}

TEST_F(WritersTest, MissingAccTemplateNamesTheTarget) {
  unlink((templates + "/mirel-acc.xml.template").c_str());
  EXPECT_EQ(messageText(writeServerXml(&record, catalogue)), "(success)");
  EXPECT_EQ(messageText(writeAccXml(&record, catalogue)),
            "Cannot create " + config + "/mirel-acc.xml: Cannot open the template file " + templates +
                "/mirel-acc.xml.template.");
  EXPECT_GE(findBackupEntry(catalogue, "server.xml"), 0);
  EXPECT_EQ(findBackupEntry(catalogue, "mirel-acc.xml"), -1);
  EXPECT_FALSE(fileExists(config + "/backup/mirel-acc.xml"));
}

TEST_F(WritersTest, AFullDiskIsReportedForEveryGeneratedFile) {
  const struct {
    const char* file;
    Message (*writer)(const InstanceRecord*, BackupCatalogue*);
  } cases[] = {
      {"init.conf", writeInitConf},
      {"obj.conf", writeObjConf},
      {"server.xml", writeServerXml},
      {"mirel-acc.xml", writeAccXml},
  };
  for (const auto& c : cases) {
    const std::string path = config + "/" + c.file;
    unlink(path.c_str());
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    std::string failure = "Cannot write " + path + ": No space left on device";
    if (std::string(c.file).find(".xml") != std::string::npos)  // the replacer's text inside ERR_CREATE_MESG
      failure = "Cannot create " + path + ": " + failure;
    EXPECT_EQ(messageText(c.writer(&record, catalogue)), failure);
    EXPECT_FALSE(fileExists(config + "/backup/" + c.file)) << c.file;
  }
  EXPECT_EQ(catalogue->entryCount, 1);  // only the ACL working copy
}

TEST_F(WritersTest, FailedRecordingsNameTheirFile) {
  // A catalogue whose directory disappears after opening: every numbered
  // copy, and so every recording, fails.
  const std::string elsewhere = scratch / "gone";
  makeDirs(elsewhere);
  writeFile(elsewhere + "/backups.conf", "");
  BackupCatalogue* broken = openBackupCatalogue(root.c_str(), (elsewhere + "/backups.conf").c_str());
  ASSERT_NE(broken, nullptr);
  ASSERT_EQ(rename(elsewhere.c_str(), (scratch / "moved").c_str()), 0);

  const struct {
    const char* name;
    Message (*writer)(const InstanceRecord*, BackupCatalogue*);
  } cases[] = {
      {"web1.acl", writeInitConf},  // the ACL working copy is recorded first
      {"obj.conf", writeObjConf},
      {"server.xml", writeServerXml},
      {"mirel_acc.xml", writeAccXml},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(messageText(c.writer(&record, broken)),
              std::string("Cannot record the backup copy of ") + c.name + " in the backup catalogue.");
  }
  closeBackupCatalogue(broken);
}

TEST_F(WritersTest, CatalogueListsTheFilesInCreationOrder) {
  ASSERT_EQ(messageText(writeInitConf(&record, catalogue)), "(success)");
  ASSERT_EQ(messageText(writeObjConf(&record, catalogue)), "(success)");
  ASSERT_EQ(messageText(writeServerXml(&record, catalogue)), "(success)");
  ASSERT_EQ(messageText(writeAccXml(&record, catalogue)), "(success)");
  EXPECT_EQ(messageText(closeBackupCatalogue(catalogue)), "(success)");
  catalogue = nullptr;

  const std::string backup = config + "/backup/";
  const struct {
    const char* name;
    std::string path;
    std::string description;
  } entries[] = {
      {"web1.acl", config + "/genwork.web1.acl", config + "/generated.web1.acl"},
      {"init.conf", backup + "init.conf", config + "/init.conf"},
      {"obj.conf", backup + "obj.conf", config + "/obj.conf"},
      {"web1-obj.conf", backup + "web1-obj.conf", config + "/web1-obj.conf"},
      {"server.xml", backup + "server.xml", config + "/server.xml"},
      {"mirel-acc.xml", backup + "mirel-acc.xml", config + "/mirel-acc.xml"},
  };
  std::vector<std::string> lines = splitLines(readFile(catalogueFile));
  ASSERT_EQ(lines.size(), 1 + 1 + 6 + 1 + 6 + 1u) << readFile(catalogueFile);
  EXPECT_EQ(lines[0], "backups.conf:Version 4.0");
  EXPECT_EQ(lines[1], "");
  std::string members;
  for (size_t i = 0; i < 6; ++i) {
    const std::string& line = lines[2 + i];
    std::string head = std::string(entries[i].name) + ":" + entries[i].path + ":1:";
    EXPECT_EQ(line.substr(0, head.size()), head) << line;
    EXPECT_EQ(line.substr(line.find(':', head.size())), ":" + entries[i].description) << line;
    EXPECT_EQ(readFile(backup + entries[i].name + ".1"), readFile(entries[i].description)) << entries[i].name;

    members += std::string(entries[i].name) + "/1:";
    const std::string& tag = lines[9 + i];
    EXPECT_EQ(tag.substr(tag.find(':')), ":" + members + ":") << tag;
  }
  EXPECT_EQ(lines[8], "");
  EXPECT_EQ(lines[15], "--EOF--");
}

TEST_F(WritersTest, DbSwitchFileForAKnownRecord) {
  const std::string path = config + "/dbswitch.conf";
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(writeDbSwitch(file, "ldap://ldap.example.com:389", "o=Example, c=US", "cn=Directory Manager", "secret"),
            0);
  ASSERT_EQ(std::fclose(file), 0);
  EXPECT_EQ(readFile(path), expected("dbswitch.conf.expected"));
}

}  // namespace
