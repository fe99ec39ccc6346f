// SPDX-License-Identifier: GPL-3.0-or-later
// instancectl against records and paths that the server user wrote to
// mislead root: control characters, escape sequences, NUL and C1 bytes in
// every field and name it lists or removes, another user named in the
// record, and document roots that would have the removal keep the
// instance. Run as root over instances handed to daemon, and as daemon over
// its own installation.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/blackbox.h"

namespace {

// True when `text` could reach a terminal without one control character:
// no C0 but the line end, no DEL, no C1 (raw or in UTF-8), nothing but
// well-formed UTF-8.
bool printable(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7f) return false;
    if (c < 0x80) continue;
    size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
    if (length == 0 || i + length > text.size() || (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0))
      return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    i += length - 1;
  }
  return true;
}

size_t lineCount(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// What the server user puts in its record and its names.
const std::string HOSTILE = std::string("x\x1b]0;owned\x07\x1b[2J\0nul\xc2\x9b" "31m\x9b" "31m\x7f\rend", 33);

class HostileRecords : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !runningAsRoot()) GTEST_SKIP() << "needs root";
    if (!GetParam() && runningAsRoot()) {
      installation.handTo("daemon");
      prefix = asUser("daemon");
    }
    if (!GetParam() && !runningAsRoot()) user = currentUserName();
    makeDirs(attacker);
    if (GetParam()) {
      ASSERT_EQ(runProcess({"/bin/chown", user + ":", attacker}, {"PATH=/usr/bin:/bin"}).status, 0);
    }
  }

  std::string instance(const std::string& id) const { return installation.root + "/" + id; }

  void create(const std::string& id) {
    std::vector<std::string> env = commandLineEnvironment(installation.root);
    env.push_back("INSTALL_CHECK_PORTS=no");
    ProcessResult r = runInstall(allOptions(id, user, installation.scratch / ("docs-" + id)), env, "", prefix);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // The server user rewrites its record; the file keeps its owner and its one name.
  void setRecord(const std::string& id, const std::map<std::string, std::string>& values) {
    std::string text = "# The answers this instance was created with.\n";
    std::map<std::string, std::string> answers = {
        {"serverId", id}, {"serverName", "www.example.test"}, {"port", optionsHttpPort()}, {"jmsPort", optionsJmsPort()},
        {"serverUser", user}, {"docRoot", installation.scratch / ("docs-" + id)}};
    for (const auto& [name, value] : values) answers[name] = value;
    for (const auto& [name, value] : answers) text += name + " = " + value + "\n";
    writeFile(instance(id) + "/config/answers.conf", text, 0600);
  }

  // The server user names its server so in its configuration as well.
  void setConfiguredName(const std::string& id, const std::string& name) {
    const std::string file = instance(id) + "/config/server.xml";
    writeFile(file, replaceAll(readFile(file), "server-name=\"www.example.test\"", "server-name=\"" + name + "\""), 0600);
  }

  ProcessResult ctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = prefix;
    argv.push_back(INSTANCECTL_BINARY);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv, {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "ZORA_SERVER_HOME=" + installation.root});
  }

  Installation installation;
  std::string user = "daemon";
  std::vector<std::string> prefix;
  std::string attacker = installation.scratch / "attacker";
};

INSTANTIATE_TEST_SUITE_P(Identities, HostileRecords, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& identity) { return identity.param ? "AsRoot" : "AsUser"; });

TEST_P(HostileRecords, ListShowsEveryInstanceAndEveryByteOfTheirRecordsPrintable) {
  for (const char* id : {"web1", "web2", "web3"}) create(id);
  setRecord("web2", {{"serverName", HOSTILE}, {"docRoot", "/srv/" + HOSTILE}, {"serverUser", "root"},
                     {"javaHome", HOSTILE}});
  setConfiguredName("web2", HOSTILE);
  makeDirs(instance("broken.\x1b[31m\xc2\x9b" "1m"));

  ProcessResult text = ctl({"list"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(printable(text.out)) << text.out;
  ASSERT_EQ(lineCount(text.out), 5u) << "the header and four instances: " << text.out;
  std::istringstream lines(text.out);
  std::string header, row;
  std::getline(lines, header);
  std::getline(lines, row);
  EXPECT_EQ(row.rfind("broken.\\x1b[31m\\u009b1m ", 0), 0u) << row;
  std::getline(lines, row);
  std::getline(lines, row);
  const std::string shown = "x\\x1b]0;owned\\x07\\x1b[2J\\x00nul\\u009b31m\\x9b31m\\x7f\\rend";
  EXPECT_EQ(row.substr(header.find("SERVER NAME"), shown.size()), shown) << row;
  EXPECT_EQ(row.substr(header.find("DOCUMENT ROOT")), "/srv/" + shown) << "aligned: " << row;
  EXPECT_EQ(row.substr(header.find("USER"), user.size() + 1), user + " ") << "the owner, not the record: " << row;

  ProcessResult json = ctl({"list", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(printable(json.out)) << json.out;
  nlohmann::json parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed.size(), 4u);
  std::string whole = HOSTILE;
  whole.replace(24, 1, "\xef\xbf\xbd");
  EXPECT_EQ(parsed[2]["server_name"], whole) << "whole, but for the byte that is no UTF-8";
  EXPECT_EQ(parsed[2]["user"], user);
}

// Whatever the record names as document root, the instance goes, bin and
// config with it, and the message names the document root printable.
TEST_P(HostileRecords, NoDocumentRootInTheRecordKeepsTheInstance) {
  const std::string odd = attacker + "/" + std::string("docs\x1b]0;owned\x07\xc2\x9b", 15);
  makeDirs(odd);
  const struct {
    std::string docRoot;
    int notKept;  // said so before the removal: 1, 0, or -1 for either
  } cases[] = {
      {"@", 1},  // the instance directory itself
      {"@/", 1},
      {"@/.", 1},
      {"@//bin", 1},
      {"@/bin", 1},
      {"@/config", 1},
      {"@/logs/../bin", 1},
      {"@/logs/to-bin", -1},  // the server user's link: root never follows it, the user itself may
      {"relative/docs", 1},
      {std::string("@\0/ignored", 10), 1},
      {odd, 0},  // outside: kept, and said so
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string id = "web" + std::to_string(++n);
    create(id);
    std::string docRoot = c.docRoot;
    if (!docRoot.empty() && docRoot[0] == '@') docRoot = instance(id) + docRoot.substr(1);
    SCOPED_TRACE(id + ": " + docRoot);
    std::vector<std::string> link = runningAsRoot() ? asUser(user) : std::vector<std::string>();
    for (const std::string& word : {std::string("/bin/ln"), std::string("-s"), std::string("../bin"),
                                    instance(id) + "/logs/to-bin"})
      link.push_back(word);
    ASSERT_EQ(runProcess(link, {"PATH=/usr/bin:/bin"}).status, 0);
    setRecord(id, {{"docRoot", docRoot}});
    ProcessResult r = ctl({"remove", id});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fileExists(instance(id))) << "bin, config, everything goes";
    EXPECT_TRUE(printable(r.out + r.err)) << r.out << r.err;
    EXPECT_NE(r.out.find("Removed the instance " + id), std::string::npos) << r.out;
    if (c.notKept >= 0) {
      EXPECT_EQ(r.err.find("is not kept") != std::string::npos, c.notKept == 1) << r.err;
    }
  }
  EXPECT_EQ(ctl({"list", "--json"}).out, "[]\n");
  EXPECT_TRUE(fileExists(odd)) << "a document root outside the instance stays";
}

TEST(HostileRecordsAsRoot, AMountPointIsNamedPrintable) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  Installation installation;
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  env.push_back("INSTALL_CHECK_PORTS=no");
  ASSERT_EQ(runInstall(allOptions("web1", "daemon", installation.scratch / "docs"), env).status, 0);
  const std::string mounted = installation.root + "/web1/applications/\x1b[2J\xc2\x9b";
  makeDirs(mounted);
  if (mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount here";
  ProcessResult r = runProcess({INSTANCECTL_BINARY, "remove", "web1"},
                               {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + installation.root});
  umount2(mounted.c_str(), MNT_DETACH);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/applications/\\x1b[2J\\u009b below it is a mount point"), std::string::npos) << r.err;
  EXPECT_TRUE(printable(r.err)) << r.err;
}

}  // namespace
