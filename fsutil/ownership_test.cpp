// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/ownership.h"

#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unicode/uloc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "tests/testsupport.h"

namespace {

std::string text(const Message& message) { return message ? message.get() : "<no message>"; }

gid_t fileGroup(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 ? status.st_gid : static_cast<gid_t>(-1);
}

class OwnershipTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en", &status);
  }
  void SetUp() override {
    umask(022);  // the child running as daemon must reach into the scratch tree
    const passwd* entry = getpwnam("daemon");
    ASSERT_NE(entry, nullptr);
    daemonUid = entry->pw_uid;
    daemonGid = entry->pw_gid;
  }

  // Runs `check` in a child process that has become `daemon` (real and
  // effective ids); the check's result is the child's exit status, 0 = pass.
  int asDaemon(const std::function<int()>& check) {
    pid_t child = fork();
    if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(daemonGid, daemonGid, daemonGid) != 0 ||
          setresuid(daemonUid, daemonUid, daemonUid) != 0)
        _exit(99);
      _exit(check());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Runs `check` in a child that is still root but may no longer change
  // owners (CAP_CHOWN dropped): every owner change to another user fails.
  int asRootWithoutChown(const std::function<int()>& check) {
    pid_t child = fork();
    if (child == 0) {
      __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2] = {};
      if (syscall(SYS_capget, &header, data) != 0) _exit(98);
      data[0].effective &= ~(1u << CAP_CHOWN);
      if (syscall(SYS_capset, &header, data) != 0) _exit(99);
      _exit(check());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // In a child: 0 when `actual` is `expected`, else 1 with both on stderr.
  static int sameText(const Message& actual, const std::string& expected) {
    if (text(actual) == expected) return 0;
    std::fprintf(stderr, "got      \"%s\"\nexpected \"%s\"\n", text(actual).c_str(), expected.c_str());
    return 1;
  }

  ScratchDir scratch;
  ScopedMessageBundle bundle{SAMPLE_SERVER_ROOT};
  uid_t daemonUid = 0;
  gid_t daemonGid = 0;
};

TEST_F(OwnershipTest, ChownTreeChangesLinksButNeverTheirTargets) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string tree = scratch / "tree";
  const std::string outside = scratch / "outside";
  makeDirs(tree + "/a/b");
  makeDirs(outside + "/dir");
  writeFile(tree + "/a/file", "x");
  writeFile(tree + "/a/b/deep", "x");
  writeFile(outside + "/file", "x");
  writeFile(outside + "/dir/inner", "x");
  const std::string name128(128, 'n');
  const std::string name129(129, 'm');
  writeFile(tree + "/" + name128, "x");
  makeDirs(tree + "/" + name129);
  writeFile(tree + "/" + name129 + "/inner", "x");
  ASSERT_EQ(symlink((outside + "/file").c_str(), (tree + "/to-file").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/dir").c_str(), (tree + "/a/to-dir").c_str()), 0);
  ASSERT_EQ(symlink((scratch / "gone").c_str(), (tree + "/dangling").c_str()), 0);

  EXPECT_EQ(chownTree(tree.c_str(), daemonUid, daemonGid), 0);

  for (const std::string& changed : {std::string(), std::string("/a"), std::string("/a/b"), std::string("/a/file"),
                                     std::string("/a/b/deep"), "/" + name128, std::string("/to-file"),
                                     std::string("/a/to-dir"), std::string("/dangling")}) {
    SCOPED_TRACE(tree + changed);
    EXPECT_EQ(fileOwner(tree + changed), daemonUid);
    EXPECT_EQ(fileGroup(tree + changed), daemonGid);
  }
  for (const std::string& kept : {outside, outside + "/file", outside + "/dir", outside + "/dir/inner",
                                  tree + "/" + name129, tree + "/" + name129 + "/inner"}) {
    SCOPED_TRACE(kept);
    EXPECT_EQ(fileOwner(kept), 0u);
    EXPECT_EQ(fileGroup(kept), 0u);
  }
}

TEST_F(OwnershipTest, ChownTreeOnALinkOrABadPath) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string target = scratch / "target";
  const std::string link = scratch / "link";
  makeDirs(target);
  writeFile(target + "/file", "x");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  EXPECT_EQ(chownTree(link.c_str(), daemonUid, daemonGid), 0);
  EXPECT_EQ(fileOwner(link), daemonUid);
  EXPECT_EQ(fileOwner(target), 0u);
  EXPECT_EQ(fileOwner(target + "/file"), 0u);

  // Relative (from inside the scratch directory), missing and null paths change nothing.
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  EXPECT_EQ(chownTree("target", daemonUid, daemonGid), -1);
  EXPECT_EQ(chdir(previous), 0);
  EXPECT_EQ(fileOwner(target), 0u);
  EXPECT_EQ(chownTree((scratch / "missing").c_str(), daemonUid, daemonGid), -1);
  EXPECT_EQ(chownTree(nullptr, daemonUid, daemonGid), -1);
}

TEST_F(OwnershipTest, ChownTreeToUserAsRoot) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string tree = scratch / "docs";
  makeDirs(tree + "/sub");
  writeFile(tree + "/sub/index.html", "x");
  EXPECT_EQ(text(chownTreeToUser("no-such-user-here", tree.c_str())),
            "Cannot look up the user \"no-such-user-here\" in the password database.");
  EXPECT_EQ(fileOwner(tree + "/sub/index.html"), 0u);
  EXPECT_EQ(text(chownTreeToUser("daemon", tree.c_str())), "<no message>");
  EXPECT_EQ(fileOwner(tree), daemonUid);
  EXPECT_EQ(fileOwner(tree + "/sub/index.html"), daemonUid);
  EXPECT_EQ(fileGroup(tree + "/sub/index.html"), daemonGid);
}

// A tree left partly with its old owner must not pass for a handed-over one:
// the first change that fails ends the walk and is reported with its path.
TEST_F(OwnershipTest, ChownTreeToUserReportsTheFirstFailedChange) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string tree = scratch / "docs";
  makeDirs(tree + "/sub");
  writeFile(tree + "/sub/index.html", "x");
  int result = asRootWithoutChown([&] {
    int failures = sameText(chownTreeToUser("daemon", tree.c_str()),
                            "Cannot change the owner of " + tree + "/sub/index.html: Operation not permitted");
    failures += chownTree(tree.c_str(), daemonUid, daemonGid) == -1 && errno == EPERM ? 0 : 1;
    return failures;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fileOwner(tree), 0u);
  EXPECT_EQ(fileOwner(tree + "/sub"), 0u);
}

// Another run may rename or remove entries of a shared tree while the walk
// goes through it: an entry gone since it was listed is no longer part of
// the tree and no failure.
TEST_F(OwnershipTest, ChownTreeSkipsEntriesThatVanishDuringTheWalk) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  constexpr int FILES = 200, ROUNDS = 20;
  const std::string tree = scratch / "docs";
  makeDirs(tree);
  for (int round = 0; round < ROUNDS; ++round) {
    for (int i = 0; i < FILES; ++i) writeFile(tree + "/f" + std::to_string(i), "x");
    std::thread remover([&] {
      for (int i = 0; i < FILES; ++i) unlink((tree + "/f" + std::to_string(i)).c_str());
    });
    int result = chownTree(tree.c_str(), daemonUid, daemonGid);
    int error = errno;
    remover.join();
    ASSERT_EQ(result, 0) << "round " << round << ": " << std::strerror(error);
  }
  EXPECT_EQ(fileOwner(tree), daemonUid);
  // The top of the walk itself must exist.
  EXPECT_EQ(chownTree((scratch / "gone").c_str(), daemonUid, daemonGid), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(OwnershipTest, SinglePathOwnerChangesAsRoot) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string instance = scratch / "inst";
  const std::string outside = scratch / "outside.acl";
  makeDirs(instance + "/logs");
  makeDirs(instance + "/config/httpacl");
  writeFile(instance + "/config/generated.web1.acl", "acl");
  writeFile(outside, "x");
  ASSERT_EQ(symlink(outside.c_str(), (instance + "/config/httpacl/genwork.web1.acl").c_str()), 0);

  EXPECT_EQ(text(chownToUser(instance.c_str(), "daemon")), "<no message>");
  EXPECT_EQ(fileOwner(instance), daemonUid);
  EXPECT_EQ(fileGroup(instance), daemonGid);
  EXPECT_EQ(fileOwner(instance + "/logs"), 0u);  // not recursive

  EXPECT_EQ(text(chownLogsDirectory(instance.c_str(), "daemon")), "<no message>");
  EXPECT_EQ(fileOwner(instance + "/logs"), daemonUid);

  // A link in an ACL file's place is refused, its target left alone; so is
  // a second name of a file kept elsewhere. Only a link that is not root's
  // may be another user's doing.
  const std::string work = instance + "/config/httpacl/genwork.web1.acl";
  EXPECT_EQ(text(chownAclFiles(instance.c_str(), "web1", "daemon")),
            "Refusing to write through " + work + ": it is a link.");
  ASSERT_EQ(lchown(work.c_str(), daemonUid, daemonGid), 0);
  EXPECT_EQ(text(chownAclFiles(instance.c_str(), "web1", "daemon")),
            "Refusing to write through " + work + ": it is a link, which another user may have placed there.");
  EXPECT_EQ(fileOwner(instance + "/config/generated.web1.acl"), daemonUid);
  EXPECT_EQ(fileOwner(outside), 0u);
  ASSERT_EQ(unlink(work.c_str()), 0);
  ASSERT_EQ(link(outside.c_str(), work.c_str()), 0);
  EXPECT_NE(text(chownAclFiles(instance.c_str(), "web1", "daemon")), "<no message>");
  EXPECT_EQ(fileOwner(outside), 0u);
  ASSERT_EQ(unlink(work.c_str()), 0);
  writeFile(work, "acl");
  EXPECT_EQ(text(chownAclFiles(instance.c_str(), "web1", "daemon")), "<no message>");
  EXPECT_EQ(fileOwner(work), daemonUid);

  // The real uid already is root's: nothing to change.
  EXPECT_EQ(text(chownToUser(instance.c_str(), "root")), "<no message>");
  EXPECT_EQ(fileOwner(instance), daemonUid);

  // Neither ACL file there: nothing to do, no message.
  const std::string bare = scratch / "bare";
  makeDirs(bare + "/config");
  EXPECT_EQ(text(chownAclFiles(bare.c_str(), "web1", "daemon")), "<no message>");
  EXPECT_EQ(fileOwner(bare + "/config"), 0u);
}

TEST_F(OwnershipTest, SinglePathFailuresAsRoot) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string missing = scratch / "missing";
  const std::string unknown = "Cannot look up the user \"no-such-user-here\" in the password database.";
  EXPECT_EQ(text(chownToUser(missing.c_str(), "no-such-user-here")), unknown);
  EXPECT_EQ(text(chownLogsDirectory(missing.c_str(), "no-such-user-here")), unknown);
  EXPECT_EQ(text(chownAclFiles(missing.c_str(), "web1", "no-such-user-here")), unknown);
  EXPECT_EQ(text(chownToUser(missing.c_str(), "daemon")),
            "Cannot change the owner of " + missing + ": No such file or directory");
  EXPECT_EQ(text(chownLogsDirectory(missing.c_str(), "daemon")),
            "Cannot change the owner of " + missing + "/logs: No such file or directory");
}

TEST_F(OwnershipTest, OrdinaryUserChangesNothingAndRootOnlyStepsStaySilent) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const std::string instance = scratch / "inst";
  makeDirs(instance + "/config/httpacl");
  writeFile(instance + "/config/generated.web1.acl", "acl");
  // Owned by daemon with root's group: a change daemon could make itself
  // (to its own group) shows that an operation did try.
  ASSERT_EQ(chown((instance + "/config/generated.web1.acl").c_str(), daemonUid, 0), 0);
  ASSERT_EQ(chown((instance + "/config").c_str(), daemonUid, 0), 0);
  const std::string rootFile = scratch / "root-file";
  writeFile(rootFile, "x");
  const std::string acl = instance + "/config/generated.web1.acl";

  int result = asDaemon([&] {
    int failures = 0;
    failures += sameText(chownToUser(rootFile.c_str(), "root"),
                         "Cannot change the owner of " + rootFile + ": Operation not permitted");
    failures += sameText(chownToUser(rootFile.c_str(), "daemon"), "<no message>");
    failures += sameText(chownLogsDirectory(instance.c_str(), "daemon"), "<no message>");
    failures += sameText(chownAclFiles(instance.c_str(), "web1", "daemon"), "<no message>");
    failures += sameText(chownAclFiles(instance.c_str(), "web1", "no-such-user-here"), "<no message>");
    failures += sameText(chownTreeToUser("daemon", (instance + "/config").c_str()), "<no message>");
    return failures;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fileOwner(rootFile), 0u);
  EXPECT_EQ(fileGroup(acl), 0u);
  EXPECT_EQ(fileGroup(instance + "/config"), 0u);
}

TEST_F(OwnershipTest, ChmodConfigTreeNarrowsTheTreeAndLeavesLinksAlone) {
  const std::string tree = scratch / "config";
  const std::string outside = scratch / "outside";
  makeDirs(tree + "/sub/deeper");
  makeDirs(outside);
  writeFile(tree + "/init.conf", "x", 0644);
  writeFile(tree + "/sub/keyfile", "x", 0755);
  writeFile(tree + "/sub/deeper/server.xml", "x", 0400);
  writeFile(outside + "/passwd", "x", 0644);
  chmod(tree.c_str(), 0755);
  chmod(outside.c_str(), 0755);
  ASSERT_EQ(symlink((outside + "/passwd").c_str(), (tree + "/to-file").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/sub/to-dir").c_str()), 0);
  ASSERT_EQ(symlink((scratch / "gone").c_str(), (tree + "/dangling").c_str()), 0);

  EXPECT_EQ(chmodConfigTree(tree.c_str()), 0);
  for (const std::string& directory : {tree, tree + "/sub", tree + "/sub/deeper"})
    EXPECT_EQ(fileMode(directory), 0700) << directory;
  for (const std::string& file : {tree + "/init.conf", tree + "/sub/keyfile", tree + "/sub/deeper/server.xml"})
    EXPECT_EQ(fileMode(file), 0600) << file;
  EXPECT_EQ(fileMode(outside + "/passwd"), 0644);
  EXPECT_EQ(fileMode(outside), 0755);
  EXPECT_FALSE(fileExists(scratch / "gone"));

  EXPECT_NE(chmodConfigTree((scratch / "missing").c_str()), 0);
}

TEST_F(OwnershipTest, ChmodConfigItemFollowsItsTable) {
  const std::string directory = scratch / "dir";
  const std::string file = scratch / "file";
  const std::string link = scratch / "link";
  makeDirs(directory);
  writeFile(file, "x", 0644);
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  struct stat status = {};

  EXPECT_EQ(chmodConfigItem(directory.c_str(), &status, FTW_D), 0);
  EXPECT_EQ(fileMode(directory), 0700);
  // A link handed over as a plain file is refused, its target untouched.
  EXPECT_EQ(chmodConfigItem(link.c_str(), &status, FTW_F), -1);
  EXPECT_EQ(fileMode(file), 0644);
  for (int unusable : {FTW_NS, FTW_DNR, FTW_SL, FTW_SLN, FTW_DP}) {
    EXPECT_EQ(chmodConfigItem(file.c_str(), &status, unusable), -1) << unusable;
    EXPECT_EQ(fileMode(file), 0644);
  }
  EXPECT_EQ(chmodConfigItem((scratch / "missing").c_str(), &status, FTW_F), -1);
  EXPECT_EQ(chmodConfigItem(file.c_str(), &status, FTW_F), 0);
  EXPECT_EQ(fileMode(file), 0600);
}

}  // namespace
