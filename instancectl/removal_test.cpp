// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/removal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

class Removal : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(outside + "/dir");
    writeFile(outside + "/file", "outside\n");
    writeFile(outside + "/dir/inner", "outside too\n");
    makeDirs(tree);
    root.reset(open((scratch / "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  RemovalResult remove(const RemovalPlan& plan = {}) { return removeTreeAt(root.get(), "tree", plan); }
  FileIdentity identity(const std::string& path) {
    struct stat status;
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return {status.st_dev, status.st_ino};
  }

  ScratchDir scratch;
  std::string outside = scratch / "outside";
  std::string tree = scratch / "root/tree";
  Descriptor root;
};

TEST_F(Removal, RemovesLinksFifosAndSecondNamesThemselvesNeverWhatTheyLeadTo) {
  makeDirs(tree + "/a/b/c");
  writeFile(tree + "/a/b/c/file", "x");
  ASSERT_EQ(symlink((outside + "/dir").c_str(), (tree + "/a/to-dir").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/file").c_str(), (tree + "/a/b/to-file").c_str()), 0);
  ASSERT_EQ(link((outside + "/file").c_str(), (tree + "/second-name").c_str()), 0);
  ASSERT_EQ(mkfifo((tree + "/a/fifo").c_str(), 0644), 0);
  const std::vector<std::string> outsideBefore = listTree(outside);

  RemovalResult result = remove();
  EXPECT_TRUE(result.removedAll);
  EXPECT_EQ(result.error, 0) << result.failedPath;
  EXPECT_FALSE(fileExists(tree));
  EXPECT_EQ(listTree(outside), outsideBefore);
  EXPECT_EQ(readFile(outside + "/file"), "outside\n");
}

TEST_F(Removal, ALinkGivenAsTheTreeIsNotFollowed) {
  removeTree(tree);
  ASSERT_EQ(symlink(outside.c_str(), tree.c_str()), 0);
  RemovalResult result = remove();
  EXPECT_FALSE(result.removedAll);
  EXPECT_EQ(result.error, ENOTDIR);
  EXPECT_EQ(listTree(outside), (std::vector<std::string>{"dir/", "dir/inner", "file"}));
}

TEST_F(Removal, KeepsTheKeptPathAndWhatLeadsToItWithTheirModes) {
  makeDirs(tree + "/site/docs/img");
  writeFile(tree + "/site/docs/index.html", "home");
  writeFile(tree + "/site/other", "x");
  makeDirs(tree + "/config");
  writeFile(tree + "/config/server.xml", "x");
  ASSERT_EQ(chmod((tree + "/site").c_str(), 0751), 0);
  RemovalPlan plan;
  plan.keptPath = "site/docs";
  RemovalResult result = remove(plan);
  EXPECT_FALSE(result.removedAll);
  EXPECT_EQ(result.error, 0) << result.failedPath;
  EXPECT_EQ(result.kept, std::vector<std::string>{"site/docs"});
  EXPECT_EQ(listTree(tree), (std::vector<std::string>{"site/", "site/docs/", "site/docs/img/", "site/docs/index.html"}));
  EXPECT_EQ(fileMode(tree + "/site"), 0751);
}

// The document root is recognised by what it is, not by its name: renamed
// by its owner before the removal reached it, it is still kept.
TEST_F(Removal, KeepsAKeptDirectoryUnderAnyName) {
  makeDirs(tree + "/logs/renamed-docs");
  writeFile(tree + "/logs/renamed-docs/index.html", "home");
  RemovalPlan plan;
  plan.keptDirectories.push_back(identity(tree + "/logs/renamed-docs"));
  plan.keptPath = "docs";
  RemovalResult result = remove(plan);
  EXPECT_EQ(result.kept, std::vector<std::string>{"logs/renamed-docs"});
  EXPECT_EQ(listTree(tree), (std::vector<std::string>{"logs/", "logs/renamed-docs/", "logs/renamed-docs/index.html"}));
}

TEST_F(Removal, ALinkWhereTheKeptPathLeadsIsKeptToo) {
  makeDirs(tree + "/config");
  ASSERT_EQ(symlink((outside + "/dir").c_str(), (tree + "/www").c_str()), 0);
  RemovalPlan plan;
  plan.keptPath = "www/docs";
  RemovalResult result = remove(plan);
  EXPECT_EQ(result.kept, std::vector<std::string>{"www"});
  EXPECT_EQ(listTree(tree), std::vector<std::string>{"www"});
}

// A tree named by its identity goes only while it is that directory: one
// made again under its name, even with the number of the old one, is
// another and stays whole.
TEST_F(Removal, ATreeNamedByItsIdentityGoesOnlyWhileItIsThatOne) {
  auto identityNow = [&](FileIdentity* found) {
    Descriptor opened(open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return identityOf(opened.get(), found);
  };
  writeFile(tree + "/index.html", "made");
  RemovalPlan plan;
  plan.topKnown = true;
  ASSERT_TRUE(identityNow(&plan.top));
  removeTree(tree);
  makeDirs(tree);
  writeFile(tree + "/index.html", "mine");
  RemovalResult refused = remove(plan);
  EXPECT_FALSE(refused.removedAll);
  EXPECT_EQ(refused.error, ESTALE);
  EXPECT_EQ(readFile(tree + "/index.html"), "mine");
  ASSERT_TRUE(identityNow(&plan.top));
  EXPECT_TRUE(remove(plan).removedAll);
  EXPECT_FALSE(fileExists(tree));
}

// Deeper than any descriptor table's default limit of 1024.
TEST_F(Removal, RemovesATreeDeeperThanTheDefaultDescriptorLimit) {
  allowDeepWalks();
  Descriptor at(open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int depth = 0; depth < 3000; ++depth) {
    ASSERT_EQ(mkdirat(at.get(), "d", 0755), 0);
    at.reset(openat(at.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(at.valid());
  }
  ASSERT_EQ(close(openat(at.get(), "leaf", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)), 0);
  RemovalResult result = remove();
  EXPECT_TRUE(result.removedAll);
  EXPECT_EQ(result.error, 0) << result.failedPath.size();
}

TEST_F(Removal, AnUnreadableDirectoryIsReportedAndTheRestRemoved) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every directory";
  makeDirs(tree + "/closed/inside");
  makeDirs(tree + "/open");
  ASSERT_EQ(chmod((tree + "/closed").c_str(), 0), 0);
  RemovalResult result = remove();
  chmod((tree + "/closed").c_str(), 0755);
  EXPECT_FALSE(result.removedAll);
  EXPECT_EQ(result.failedPath, "closed");
  EXPECT_EQ(result.error, EACCES);
  EXPECT_EQ(listTree(tree), (std::vector<std::string>{"closed/", "closed/inside/"}));
}

TEST(MountPoints, FindsTheMountsBelowADirectoryWithEscapedNames) {
  const std::string mountinfo =
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "30 22 0:5 / /srv/server/web1/logs rw - tmpfs tmpfs rw\n"
      "31 22 0:6 / /srv/server/web10 rw - tmpfs tmpfs rw\n"
      "32 22 0:7 / /srv/server/web1/my\\040apps rw - tmpfs tmpfs rw\n"
      "33 22 0:8 / /srv/server/web1 rw - tmpfs tmpfs rw\n";
  EXPECT_EQ(mountPointsBelow(mountinfo, "/srv/server/web1"),
            (std::vector<std::string>{"/srv/server/web1/logs", "/srv/server/web1/my apps"}));
  EXPECT_TRUE(mountPointsBelow(mountinfo, "/srv/server/web2").empty());
}

}  // namespace
