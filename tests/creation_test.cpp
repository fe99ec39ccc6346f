// SPDX-License-Identifier: GPL-3.0-or-later
// A whole creation through the command line: the tree, its modes and
// owners, the failures of the creation and what they leave behind.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/blackbox.h"

namespace {

uid_t uidOf(const std::string& user) {
  passwd* pw = getpwnam(user.c_str());
  return pw ? pw->pw_uid : static_cast<uid_t>(-1);
}

class Creation : public ::testing::Test {
 protected:
  Installation installation;
  std::string docRoot = installation.scratch / "docs";
  std::vector<std::string> env = commandLineEnvironment(installation.root);

  std::string instance(const std::string& id = "web1") { return installation.root + "/" + id; }

  ProcessResult create(const std::string& id, const std::string& user, const std::vector<std::string>& prefix = {},
                       const std::vector<std::string>& extra = {}) {
    auto args = allOptions(id, user, docRoot);
    args.insert(args.end(), extra.begin(), extra.end());
    return runInstall(args, env, "", prefix);
  }

  void breakScriptGenerator() {
    writeFile(installation.root + "/lib/install/templates/makeScript", "exit 3;\n");
  }
};

const std::vector<std::string> DIRECTORIES = {
    "applications/", "applications/j2ee-apps/", "applications/j2ee-modules/", "applications/lifecycle-modules/",
    "bin/",          "config/",                 "config/backup/",             "lib/",
    "logs/"};

void expectInstanceModes(const std::string& dir) {
  for (const char* open : {"", "/logs", "/lib", "/bin"}) EXPECT_EQ(fileMode(dir + open), 0755) << open;
  for (const std::string& entry : listTree(dir)) {
    bool inConfig = entry.rfind("config/", 0) == 0 || entry.rfind("applications/", 0) == 0;
    if (!inConfig) continue;
    EXPECT_EQ(fileMode(dir + "/" + entry), entry.back() == '/' ? 0700 : 0600) << entry;
  }
  EXPECT_EQ(fileMode(dir + "/config"), 0700);
  EXPECT_EQ(fileMode(dir + "/applications"), 0700);
  for (const char* script : {"startserv", "stopserv", "restartserv", "rotatelogs"})
    EXPECT_EQ(fileMode(dir + "/bin/" + script) & 0111, 0111) << script;
}

void expectOwnedBy(const std::string& dir, uid_t uid) {
  EXPECT_EQ(fileOwner(dir), uid);
  for (const std::string& entry : listTree(dir)) EXPECT_EQ(fileOwner(dir + "/" + entry), uid) << entry;
}

// As root, what root runs to operate the instance stays root's: the
// instance directory, bin and the scripts; the rest is the server's.
void expectHandedOverByRoot(const std::string& dir, uid_t uid) {
  EXPECT_EQ(fileOwner(dir), 0u);
  for (const std::string& entry : listTree(dir))
    EXPECT_EQ(fileOwner(dir + "/" + entry), entry.rfind("bin/", 0) == 0 ? 0u : uid) << entry;
}

TEST_F(Creation, MakesTheTreeTheScriptsAndTheCopiedTemplates) {
  ProcessResult r = create("web1", currentUserName());
  ASSERT_EQ(r.status, 0) << r.err;
  auto tree = listTree(instance());
  for (const std::string& dir : DIRECTORIES) EXPECT_NE(std::find(tree.begin(), tree.end(), dir), tree.end()) << dir;
  for (const char* file : {"bin/startserv", "bin/stopserv", "bin/restartserv", "bin/rotatelogs", "config/certmap.conf",
                           "config/mime.types", "config/backup/mime.types", "config/default-web.xml",
                           "config/login.conf", "config/server.policy", "config/keyfile", "config/backup/keyfile",
                           "config/backup/backups.conf"})
    EXPECT_TRUE(fileExists(instance() + "/" + file)) << file;
  const std::string templates = installation.root + "/lib/install/templates/";
  for (const char* name : {"certmap.conf", "mime.types", "default-web.xml", "login.conf", "server.policy", "keyfile"})
    EXPECT_EQ(readFile(instance() + "/config/" + name), readFile(templates + name)) << name;
  expectInstanceModes(instance());
}

TEST_F(Creation, AsRootHandsAllButTheControlScriptsToTheServerUser) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  ProcessResult r = create("web1", "daemon");
  ASSERT_EQ(r.status, 0) << r.err;
  expectHandedOverByRoot(instance(), uidOf("daemon"));
  expectInstanceModes(instance());
}

TEST_F(Creation, TheLongestIdentifierStillHasEveryFileHandedOver) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string id(114, 'w');
  ProcessResult r = create(id, "daemon");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fileExists(instance(id) + "/config/generated." + id + ".acl"));
  expectHandedOverByRoot(instance(id), uidOf("daemon"));
}

TEST_F(Creation, AsOrdinaryUserForThatSameUser) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  installation.handTo("daemon");
  ProcessResult r = create("web1", "daemon", asUser("daemon"));
  ASSERT_EQ(r.status, 0) << r.err;
  expectOwnedBy(instance(), uidOf("daemon"));
  expectInstanceModes(instance());
}

TEST_F(Creation, AsOrdinaryUserForAnotherUserFailsAndLeavesNothing) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  installation.handTo("daemon");
  auto before = installationTree(installation.root);
  ProcessResult r = create("web1", "root", asUser("daemon"));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Only root can create an instance for another user: the server user root is not the user running the "
            "tool.\n");
  EXPECT_EQ(installationTree(installation.root), before);
}

TEST_F(Creation, ValidationFailuresLeaveNothingBehind) {
  struct Case {
    std::string id, user, docRoot, expected;
  } cases[] = {
      {"bad$id", "daemon", docRoot,
       "The server identifier contains the character \"$\", which is not allowed in a server identifier.\n"},
      {"a b", "daemon", docRoot,
       "The server identifier contains the character \" \", which is not allowed in a server identifier.\n"},
      {"web1", "no-such-user-here", docRoot, "The user \"no-such-user-here\" does not exist on this system.\n"},
      {"web1", "daemon", "relative/docs", "The document root must be an absolute path (it must begin with /).\n"},
  };
  auto before = installationTree(installation.root);
  for (const Case& c : cases) {
    ProcessResult r = runInstall(allOptions(c.id, c.user, c.docRoot), env);
    EXPECT_EQ(r.status, 3) << c.id << " " << c.user;
    EXPECT_EQ(r.err, c.expected);
    EXPECT_EQ(installationTree(installation.root), before) << c.id << " " << c.user;
  }
  EXPECT_FALSE(fileExists(docRoot));
}

TEST_F(Creation, ControlCharactersAreRefusedBeforeAnythingIsMade) {
  auto before = installationTree(installation.root);
  ProcessResult r = create("web\n1", currentUserName());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "The server identifier contains the character \"\\n\", which is not allowed in a server identifier.\n");
  auto args = allOptions("web1", currentUserName(), docRoot);
  args[1] = "www.example.test\nUser root";  // -s
  r = runInstall(args, env);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "The value of \"-s\" contains the control character \\n, which is not allowed.\n");
  EXPECT_EQ(installationTree(installation.root), before);
}

TEST_F(Creation, FailedGeneratorSetsTheInstanceAsideAndFreesTheIdentifier) {
  breakScriptGenerator();
  ProcessResult r = create("web1", currentUserName());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Cannot create the start script in " + instance() + "/bin.\nThe partly created instance was moved to " +
                       installation.root + "/broken.web1.\n");
  EXPECT_FALSE(fileExists(instance()));
  EXPECT_EQ(fileMode(installation.root + "/broken.web1/config"), 0700);

  // A second failure finds the first remains and takes the next name.
  r = create("web1", currentUserName());
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(fileExists(installation.root + "/broken.web1.1/config"));

  copyTree(sampleServerRoot() + "/lib/install/templates/makeScript", installation.root + "/lib/install/templates/makeScript.new");
  std::rename((installation.root + "/lib/install/templates/makeScript.new").c_str(),
              (installation.root + "/lib/install/templates/makeScript").c_str());
  r = create("web1", currentUserName());
  EXPECT_EQ(r.status, 0) << r.err;
}

// Every row of the creation is checked before anything is made: what a
// check-only run would refuse leaves nothing behind, not even the lock.
TEST_F(Creation, MissingTemplateIsRefusedBeforeAnythingIsMade) {
  const std::string templates = installation.root + "/lib/install/templates/";
  std::remove((templates + "server.xml.template").c_str());
  auto before = listTree(installation.scratch.path());
  ProcessResult r = create("web1", currentUserName());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Cannot create " + instance() + "/config/server.xml: Cannot open the template file " + templates +
                       "server.xml.template.\n");
  EXPECT_EQ(listTree(installation.scratch.path()), before);
}

TEST_F(Creation, FailedRunRenamesTheHttpsEntry) {
  // The front end already refuses an existing https-<id>; an entry made by
  // the generator itself (a failing makeScript here) is moved aside.
  writeFile(installation.root + "/lib/install/templates/makeScript",
            "mkdir \"$ENV{ZORA_PROBE}/https-web1\"; exit 1;\n");
  env.push_back("ZORA_PROBE=" + installation.root);
  ProcessResult r = create("web1", currentUserName());
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(fileExists(installation.root + "/https-web1"));
  EXPECT_TRUE(fileExists(installation.root + "/broken.https-web1"));
}

TEST_F(Creation, ValuesReachTheGeneratorWithoutAShell) {
  const std::string marker = installation.scratch / "injected";
  std::string javaHome = "/opt/java home;touch " + marker + " $(touch " + marker + ")`touch " + marker + "`";
  auto args = allOptions("web1", currentUserName(), docRoot);
  args.back() = javaHome;
  ProcessResult r = runInstall(args, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fileExists(marker));
  EXPECT_NE(readFile(instance() + "/bin/startserv").find("java home;touch"), std::string::npos);
}

// A crash right after the success report must not find empty files: the
// file system is synced once before the report.
TEST_F(Creation, SyncsTheFileSystemBeforeReportingSuccess) {
  if (!fileExists("/usr/bin/strace")) GTEST_SKIP() << "needs strace";
  const std::string trace = installation.scratch / "trace";
  env.push_back("ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer cannot run under a tracer
  ProcessResult r = create("web1", currentUserName(), {"/usr/bin/strace", "-y", "-e", "trace=syncfs,write", "-o", trace});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string calls = readFile(trace);
  size_t sync = calls.find("syncfs(");
  size_t report = calls.find("Created new Server");
  ASSERT_NE(sync, std::string::npos) << calls.substr(0, 2000);
  EXPECT_NE(calls.find(instance(), sync), std::string::npos) << "the instance's file system is synced";
  EXPECT_LT(sync, report);
}

// Without /proc (a chroot, a minimal container) every step still works.
TEST_F(Creation, WorksWithoutProc) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root for a mount namespace";
  if (runProcess({"/usr/bin/unshare", "-m", "/bin/true"}, {}).status != 0) GTEST_SKIP() << "no mount namespaces here";
  if (std::getenv("INSTALL_TEST_WRAPPER")) GTEST_SKIP() << "the checker around the tool needs /proc itself";
  std::vector<std::string> noProc = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", "umount -l /proc && exec \"$0\" \"$@\""};
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "LeakSanitizer needs /proc, even to read its options";
#endif
  ProcessResult r = create("web1", "daemon", noProc);
  EXPECT_EQ(r.status, 0) << r.err;
  expectInstanceModes(instance());
  expectHandedOverByRoot(instance(), uidOf("daemon"));
  EXPECT_TRUE(fileExists(docRoot + "/index.html"));
}

// The sentence that says where a failed run was put speaks the message's language.
TEST_F(Creation, TheSetAsideSentenceFollowsTheLanguage) {
  breakScriptGenerator();
  env = {"PATH=/usr/bin:/bin", "LANG=fr_FR.UTF-8", "ZORA_SERVER_HOME=" + installation.root, "INSTALL_ALLOW_ROOT_USER=yes"};
  ProcessResult r = create("web1", currentUserName());
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("\nL’instance partiellement créée a été déplacée vers " + installation.root + "/broken.web1.\n"),
            std::string::npos)
      << r.err;
}

TEST_F(Creation, MessagesFollowTheLanguage) {
  env = {"PATH=/usr/bin:/bin", "LANG=fr_FR.UTF-8", "ZORA_SERVER_HOME=" + installation.root};
  ProcessResult french = runInstall(allOptions("web1", "no-such-user-here", docRoot), env);
  env[1] = "LANG=C";
  ProcessResult english = runInstall(allOptions("web1", "no-such-user-here", docRoot), env);
  EXPECT_EQ(english.err, "The user \"no-such-user-here\" does not exist on this system.\n");
  EXPECT_EQ(french.status, 3);
  EXPECT_NE(french.err, english.err);
  EXPECT_NE(french.err.find("no-such-user-here"), std::string::npos);
}

}  // namespace
