// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/decision.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

// An instance directory laid out as a creation leaves it, with document
// roots in and beside it, all of the running user's (who stands for the
// server user; as root, root's instance directory makes no difference to
// the rule, which looks at the first directory below it).
class Decision : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"bin/sub", "config/site", "logs", "site/docs", "docs"}) makeDirs(instance + "/" + dir);
    makeDirs(scratch / "outside/docs");
    ASSERT_EQ(symlink((instance + "/bin").c_str(), (scratch / "to-bin").c_str()), 0);
    ASSERT_EQ(symlink((instance + "/site/docs").c_str(), (scratch / "to-docs").c_str()), 0);
    root.reset(open((scratch / "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  RemovalDecision decide(const std::string& docRoot, uid_t owner = geteuid()) {
    return decideRemoval(root.get(), "web1", owner, docRoot);
  }

  ScratchDir scratch;
  std::string instance = scratch / "root/web1";
  Descriptor root;
};

TEST_F(Decision, ADocumentRootIsKeptOnlyWhereKeepingItCannotKeepTheInstance) {
  const struct {
    std::string docRoot;
    DocumentRootPlace place;
  } cases[] = {
      {"", DocumentRootPlace::NotRecorded},
      {instance + "/site/docs", DocumentRootPlace::Inside},
      {instance + "//site/./docs/", DocumentRootPlace::Inside},
      {scratch / "to-docs", DocumentRootPlace::Inside},
      {instance + "/docs", DocumentRootPlace::Inside},
      {instance + "/config/site", DocumentRootPlace::Inside},
      {scratch / "outside/docs", DocumentRootPlace::Outside},
      {scratch.path(), DocumentRootPlace::Outside},
      {scratch / "outside/gone", DocumentRootPlace::Missing},
      {instance, DocumentRootPlace::Refused},
      {instance + "/", DocumentRootPlace::Refused},
      {instance + "/.", DocumentRootPlace::Refused},
      {instance + "/bin", DocumentRootPlace::Refused},
      {instance + "/bin/sub", DocumentRootPlace::Refused},
      {scratch / "to-bin", DocumentRootPlace::Refused},
      {instance + "/config", DocumentRootPlace::Refused},
      {"root/web1/site/docs", DocumentRootPlace::Refused},
      {instance + std::string("\0/site/docs", 11), DocumentRootPlace::Refused},
  };
  for (const auto& c : cases) {
    RemovalDecision decision = decide(c.docRoot);
    EXPECT_STREQ(placeName(decision.place), placeName(c.place)) << c.docRoot;
    EXPECT_EQ(decision.docRoot, c.docRoot);
    const bool kept = c.place == DocumentRootPlace::Inside || c.place == DocumentRootPlace::Outside;
    EXPECT_EQ(decision.plan.keptDirectories.size(), kept ? 1u : 0u) << c.docRoot;
    EXPECT_EQ(decision.plan.keptPath, "");
  }
}

// A directory below the instance directory that is not the owner's was
// put there by root: nothing in it is kept on the word of the record.
TEST_F(Decision, NothingBelowADirectoryOfAnotherUserIsKept) {
  EXPECT_STREQ(placeName(decide(instance + "/site/docs", geteuid() + 1).place), placeName(DocumentRootPlace::Refused));
  EXPECT_STREQ(placeName(decide(scratch / "outside/docs", geteuid() + 1).place), placeName(DocumentRootPlace::Outside));
}

TEST_F(Decision, TheKeptIdentityIsTheDirectoryFound) {
  RemovalDecision decision = decide(scratch / "to-docs");
  struct stat docs;
  ASSERT_EQ(stat((instance + "/site/docs").c_str(), &docs), 0);
  ASSERT_EQ(decision.plan.keptDirectories.size(), 1u);
  EXPECT_EQ(decision.plan.keptDirectories[0].device, docs.st_dev);
  EXPECT_EQ(decision.plan.keptDirectories[0].inode, docs.st_ino);
}

}  // namespace
