// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/directories.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <string>

#include "tests/testsupport.h"

namespace {

std::string text(const Message& message) { return message ? message.get() : "<no message>"; }

class DirectoriesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en", &status);
  }
  ScratchDir scratch;
  ScopedMessageBundle bundle{SAMPLE_SERVER_ROOT};
};

// An administrator's own link on the way is followed, and a document root
// below it is made there; the same link in a directory the server user
// could change is refused, and so is a link that user owns.
TEST_F(DirectoriesTest, LinksAreFollowedOnlyWhereNobodyButRootCouldHavePlacedThem) {
  if (!runningAsRoot()) GTEST_SKIP() << "the rules differ for an ordinary user";
  const passwd* daemon = getpwnam("daemon");
  ASSERT_NE(daemon, nullptr);
  makeDirs(scratch / "srv/www");
  makeDirs(scratch / "home");
  ASSERT_EQ(chown((scratch / "home").c_str(), daemon->pw_uid, daemon->pw_gid), 0);
  ASSERT_EQ(symlink((scratch / "srv/www").c_str(), (scratch / "www").c_str()), 0);
  ASSERT_EQ(symlink((scratch / "srv/www").c_str(), (scratch / "home/www").c_str()), 0);

  OpenedDirectory made;
  EXPECT_EQ(text(openOrMakeDirectoryPath((scratch / "www/site/docs").c_str(), 0755, &made)), "<no message>");
  EXPECT_TRUE(made.fd.valid());
  EXPECT_TRUE(made.made);
  EXPECT_EQ(fileMode(scratch / "srv/www/site/docs"), 0755);

  OpenedDirectory refused;
  EXPECT_EQ(text(openOrMakeDirectoryPath((scratch / "home/www/site").c_str(), 0755, &refused)),
            "Refusing to write through " + (scratch / "home/www") +
                ": it is a link, which another user may have placed there.");
  EXPECT_FALSE(refused.fd.valid());

  ASSERT_EQ(lchown((scratch / "www").c_str(), daemon->pw_uid, daemon->pw_gid), 0);
  Descriptor existing;
  std::string unsafe;
  EXPECT_EQ(openDirectoryPath((scratch / "www").c_str(), &existing, &unsafe), -1);
  EXPECT_EQ(unsafe, scratch / "www");
}

TEST_F(DirectoriesTest, AnInstancesRootMustBeChangeableByRootAlone) {
  if (!runningAsRoot()) GTEST_SKIP() << "the check is made for root runs only";
  makeDirs(scratch / "shared/below");
  ASSERT_EQ(chmod((scratch / "shared").c_str(), 0775), 0);
  EXPECT_EQ(text(checkRootOnlyDirectory((scratch / "shared/below").c_str())),
            "The directory " + (scratch / "shared") +
                " can be changed by users other than root; a run as root does not create an instance below it.");
  ASSERT_EQ(chmod((scratch / "shared").c_str(), 01777), 0);  // sticky: root's entries stay root's
  EXPECT_EQ(text(checkRootOnlyDirectory((scratch / "shared/below").c_str())), "<no message>");
}

// A directory made in a set-group-ID directory inherits the bit: it is the
// one this run made all the same, and keeps the bit as mkdir -p keeps it.
TEST_F(DirectoriesTest, DirectoriesMadeBelowASetGroupIdDirectoryKeepTheBit) {
  makeDirs(scratch / "web");
  ASSERT_EQ(chmod((scratch / "web").c_str(), 02775), 0);
  OpenedDirectory made;
  EXPECT_EQ(text(openOrMakeDirectoryPath((scratch / "web/site/docs").c_str(), 0755, &made)), "<no message>");
  EXPECT_TRUE(made.made);
  EXPECT_EQ(fileMode(scratch / "web/site"), 02755);
  EXPECT_EQ(fileMode(scratch / "web/site/docs"), 02755);
}

// The survey foretells the making walk: what it would make, where it would
// end, and what would stop it, ".." after a directory it makes included.
TEST_F(DirectoriesTest, TheSurveyResolvesAPathAsTheMakingWalkDoes) {
  makeDirs(scratch / "site");
  writeFile(scratch / "plain", "");
  ASSERT_EQ(symlink((scratch / "nowhere").c_str(), (scratch / "dangling").c_str()), 0);
  const std::string notMade = "Cannot create the directory " + scratch.path();
  const struct {
    std::string path;
    bool exists, toBeMade;
    std::string message;
  } cases[] = {
      {"site", true, false, "<no message>"},
      {"missing/../site", true, false, "<no message>"},
      {"a/b/../../c/d", false, true, "<no message>"},
      {"a2/../a3", false, true, "<no message>"},
      {"dangling", false, false, notMade + "/dangling: File exists"},
      {"plain/x", false, false, notMade + "/plain/x: Not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string path = scratch / c.path;
    PathSurvey survey;
    EXPECT_EQ(text(surveyDirectoryPath(path.c_str(), &survey)), c.message);
    EXPECT_EQ(survey.exists, c.exists);
    EXPECT_EQ(survey.toBeMade, c.toBeMade);
    OpenedDirectory opened;
    EXPECT_EQ(text(openOrMakeDirectoryPath(path.c_str(), 0755, &opened)), c.message);
    EXPECT_EQ(opened.made, c.toBeMade);
  }
}

}  // namespace
