// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/unit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

// systemd's own escaping is the reference: a unit name it would not make
// from the same path is not the instance's name.
TEST(UnitName, EscapesAPathAsSystemdEscapeDoes) {
  for (const std::string path : {"/srv/server/web1", "/tmp/install-test.Ab1/server-root/web-1",
                                 "/a b/c\\d/e%f/é", "/.hidden/x.y/:_", "/", "/srv/-lead/trail-"}) {
    ProcessResult reference = runProcess({"/usr/bin/systemd-escape", "--path", path}, {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    EXPECT_EQ(escapePathForUnit(path) + "\n", reference.out) << path;
  }
}

TEST(UnitName, NormalisesOrRefusesPaths) {
  struct {
    const char* path;
    const char* normal;
  } cases[] = {{"/srv//server/./web1/", "/srv/server/web1"}, {"/", "/"},     {"//", "/"},
               {"/srv/../etc", ""},                          {"srv/web1", ""}, {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(normalizePath(c.path), c.normal) << c.path;
}

TEST(UnitName, TwoServerRootsWithTheSameIdentifierGetTwoUnits) {
  EXPECT_NE(unitFileName("/srv/a/web1"), unitFileName("/srv/b/web1"));
  EXPECT_NE(unitFileName("/srv/a-b/web1"), unitFileName("/srv/a/b/web1"));
  EXPECT_EQ(unitFileName("/srv/a/web1"), "server-instance-srv-a-web1.service");
}

TEST(UnitName, ANameSystemdWouldRefuseIsNotMade) {
  EXPECT_EQ(unitFileName("/" + std::string(300, 'x')), "");
  std::string longest = "/" + std::string(255 - std::string("server-instance-.service").size(), 'x');
  EXPECT_EQ(unitFileName(longest).size(), 255u);
}

// Whatever the path holds, systemd runs the start script: the path as the
// executable where systemd takes it, else /bin/sh given it as an argument;
// systemd's own check finds nothing to refuse in the unit.
TEST(UnitText, EveryPathHasAStartThatSystemdRuns) {
  ScratchDir scratch;
  const std::string sh = "/bin/sh -c 'exec \"$$1\"' sh ";
  const struct {
    std::string directory;
    std::string execStart;  // "@" for the scratch directory
  } cases[] = {
      {"plain", "@/plain/bin/startserv"},
      {"my server", "\"@/my server/bin/startserv\""},
      {"50%", "@/50%%/bin/startserv"},
      {"\xc3\xa9t\xc3\xa9", "@/\xc3\xa9t\xc3\xa9/bin/startserv"},
      {"a$HOME", sh + "\"@/a$$HOME/bin/startserv\""},
      {"b\\s", sh + "\"@/b\\\\s/bin/startserv\""},
      {"q'x", sh + "\"@/q'x/bin/startserv\""},
      {"d\"x", sh + "\"@/d\\\"x/bin/startserv\""},
      {"all $%\\'\" ;", sh + "\"@/all $$%%\\\\'\\\" ;/bin/startserv\""},
  };
  makeDirs(scratch / "units");
  for (const auto& c : cases) {
    const std::string instanceDir = scratch / c.directory;
    SCOPED_TRACE(instanceDir);
    makeDirs(instanceDir + "/bin");
    writeFile(instanceDir + "/bin/startserv", "#!/bin/sh\n", 0755);
    const std::string text = unitText({"web1", instanceDir, "daemon", "daemon"});
    EXPECT_NE(text.find("\nExecStart=" + replaceAll(c.execStart, "@", scratch.path()) + "\n"), std::string::npos)
        << text;
    EXPECT_TRUE(isUnitOf(text, instanceDir));
    const std::string unit = scratch / ("units/" + unitFileName(instanceDir));
    writeFile(unit, text);
    ProcessResult verify = runProcess({"/usr/bin/systemd-analyze", "verify", "--man=no", unit}, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(verify.status, 0);
    EXPECT_EQ(verify.out + verify.err, "");
  }
}

class UnitFiles : public ::testing::Test {
 protected:
  void SetUp() override { directory.reset(open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }
  UnitWrite install(const std::string& content, bool force) {
    return installUnitAt(directory.get(), name, content, force, &error);
  }
  ScratchDir scratch;
  Descriptor directory;
  const std::string name = unitFileName("/srv/server/web1");
  const std::string text = unitText({"web1", "/srv/server/web1", "daemon", "daemon"});
  int error = 0;
};

TEST_F(UnitFiles, WritesOnceAndRefusesOtherContentWithoutForce) {
  writeFile(scratch / ("." + name + ".new"), "left by a run killed while it wrote\n");
  umask(077);
  ASSERT_EQ(install(text, false), UnitWrite::Written);
  umask(022);
  EXPECT_EQ(readFile(scratch / name), text);
  EXPECT_EQ(fileMode(scratch / name), 0644);
  EXPECT_EQ(install(text, false), UnitWrite::Unchanged);
  writeFile(scratch / name, "edited\n");
  EXPECT_EQ(install(text, false), UnitWrite::ExistsWithOtherContent);
  EXPECT_EQ(readFile(scratch / name), "edited\n");
  EXPECT_EQ(install(text, true), UnitWrite::Written);
  EXPECT_EQ(readFile(scratch / name), text);
  EXPECT_EQ(listTree(scratch.path()), std::vector<std::string>{name}) << "no temporary file is left, nor one a killed run left";
}

TEST_F(UnitFiles, ALinkInTheUnitsPlaceIsReplacedNeverWrittenThrough) {
  writeFile(scratch / "target", "not a unit\n");
  ASSERT_EQ(symlink((scratch / "target").c_str(), (scratch / name).c_str()), 0);
  EXPECT_EQ(install(text, false), UnitWrite::ExistsWithOtherContent);
  EXPECT_EQ(install(text, true), UnitWrite::Written);
  EXPECT_EQ(readFile(scratch / "target"), "not a unit\n");
  struct stat status;
  ASSERT_EQ(lstat((scratch / name).c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
}

TEST_F(UnitFiles, RemovesOnlyAUnitMadeForTheSameInstanceAndItsWantsLink) {
  writeFile(scratch / name, unitText({"web1", "/srv/other/web1", "daemon", "daemon"}));
  EXPECT_EQ(removeUnitAt(directory.get(), name, "/srv/server/web1", &error), UnitRemoval::NotOurs);
  EXPECT_TRUE(fileExists(scratch / name));
  writeFile(scratch / name, text);
  makeDirs(scratch / "multi-user.target.wants");
  ASSERT_EQ(symlink((scratch / name).c_str(), (scratch / ("multi-user.target.wants/" + name)).c_str()), 0);
  ASSERT_EQ(symlink("/elsewhere/other.service", (scratch / "multi-user.target.wants/other.service").c_str()), 0);
  EXPECT_EQ(removeUnitAt(directory.get(), name, "/srv/server/web1", &error), UnitRemoval::Removed);
  EXPECT_EQ(listTree(scratch.path()),
            (std::vector<std::string>{"multi-user.target.wants/", "multi-user.target.wants/other.service"}));
  EXPECT_EQ(removeUnitAt(directory.get(), name, "/srv/server/web1", &error), UnitRemoval::Absent);
}

}  // namespace
