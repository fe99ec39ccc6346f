// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unicode/uloc.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/testsupport.h"

namespace {

std::string text(const Message& message) { return message ? message.get() : "<no message>"; }

std::string patternBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4096) % 256);
  return bytes;
}

// Messages come from the sample installation's bundle, in English.
class FilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en", &status);
  }
  void SetUp() override { umask(077); }

  ScratchDir scratch;
  ScopedMessageBundle bundle{SAMPLE_SERVER_ROOT};
};

// A path of exactly `length` bytes below `base` naming a file that exists,
// built from directories of 200-byte names.
std::string existingPathOfLength(const std::string& base, size_t length) {
  std::string path = base;
  while (length - path.size() > 256) {
    path += "/" + std::string(200, 'd');
    mkdir(path.c_str(), 0755);
  }
  path += "/" + std::string(length - path.size() - 1, 'f');
  writeFile(path, "x");
  return path;
}

TEST_F(FilesTest, CopiesContentsWholeAcrossChunkBoundaries) {
  for (size_t size : {0u, 1u, 4095u, 4096u, 4097u, 8192u, 10000u}) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::string source = scratch / ("in" + std::to_string(size));
    std::string destination = scratch / ("out" + std::to_string(size));
    writeFile(source, patternBytes(size), 0640);
    EXPECT_EQ(text(copyFile(source.c_str(), destination.c_str(), 0666)), "<no message>");
    EXPECT_EQ(readFile(destination), patternBytes(size));
    EXPECT_TRUE(fileExists(destination));
    // A new file gets the requested mode under the mask 022 the copy sets.
    EXPECT_EQ(fileMode(destination), 0644);
  }
  mode_t mask = umask(0);
  EXPECT_EQ(mask, 022u);
}

TEST_F(FilesTest, ExistingDestinationIsTruncatedAndKeepsItsMode) {
  std::string source = scratch / "in";
  std::string destination = scratch / "out";
  writeFile(source, "short");
  writeFile(destination, std::string(10000, 'z'), 0600);
  EXPECT_EQ(text(copyFile(source.c_str(), destination.c_str(), 0644)), "<no message>");
  EXPECT_EQ(readFile(destination), "short");
  EXPECT_EQ(fileMode(destination), 0600);

  writeFile(source, "");
  EXPECT_EQ(copyFileQuiet(source.c_str(), destination.c_str(), 0644), 0);
  EXPECT_EQ(readFile(destination), "");
  EXPECT_TRUE(fileExists(destination));
}

TEST_F(FilesTest, IrregularSourcesAreRefusedWithoutTouchingTheDestination) {
  std::string directory = scratch / "dir";
  std::string fifo = scratch / "fifo";
  makeDirs(directory);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& source : {directory, fifo}) {
    SCOPED_TRACE(source);
    std::string destination = scratch / "out";
    // A FIFO without a writer must not block the copy.
    EXPECT_EQ(text(copyFile(source.c_str(), destination.c_str(), 0644)), source + " is not a regular file.");
    EXPECT_FALSE(fileExists(destination));
    EXPECT_EQ(copyFileQuiet(source.c_str(), destination.c_str(), 0644), 0);
    EXPECT_FALSE(fileExists(destination));
  }
}

TEST_F(FilesTest, FailuresNameTheRightFileAndError) {
  std::string source = scratch / "in";
  writeFile(source, patternBytes(5000));
  std::string missing = scratch / "missing";
  std::string noDirectory = scratch / "no/such/out";
  std::string full = scratch / "full";
  ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);

  struct Case {
    std::string source, destination, expected;
  } cases[] = {
      {missing, scratch / "out", "Cannot open " + missing + " for reading: No such file or directory"},
      {source, noDirectory, "Cannot open " + noDirectory + " for writing: No such file or directory"},
      // Destination first; the write error must not pass for success.
      {source, full, "Cannot copy to " + full + " from " + source + ": No space left on device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(text(copyFile(c.source.c_str(), c.destination.c_str(), 0644)), c.expected);
    EXPECT_EQ(copyFileQuiet(c.source.c_str(), c.destination.c_str(), 0644), -1);
  }
  EXPECT_FALSE(fileExists(scratch / "out"));
}

// One file under two paths: a copy that truncated its destination first
// would empty its own source.
TEST_F(FilesTest, ACopyOntoItsOwnSourceIsRefusedAndKeepsIt) {
  const std::string source = scratch / "style.css";
  writeFile(source, "body {}\n");
  makeDirs(scratch / "docs");
  ASSERT_EQ(link(source.c_str(), (scratch / "docs/hard.css").c_str()), 0);
  ASSERT_EQ(symlink(source.c_str(), (scratch / "docs/soft.css").c_str()), 0);
  Descriptor docs(open((scratch / "docs").c_str(), O_RDONLY | O_DIRECTORY));
  const std::string refusal = " they are the same file, which the copy would empty.";
  for (const std::string& destination : {source, scratch / "docs/hard.css", scratch / "docs/soft.css"}) {
    SCOPED_TRACE(destination);
    EXPECT_EQ(text(copyFile(source.c_str(), destination.c_str(), 0644)),
              "Refusing to copy " + source + " to " + destination + ":" + refusal);
    EXPECT_EQ(copyFileQuiet(source.c_str(), destination.c_str(), 0644), -1);
    EXPECT_EQ(readFile(source), "body {}\n");
  }
  const std::string below = scratch / "docs" + "/hard.css";
  EXPECT_EQ(text(checkCopyBelow(source.c_str(), docs.get(), scratch / "docs", "hard.css")),
            "Refusing to copy " + source + " to " + below + ":" + refusal);
  EXPECT_EQ(text(copyFileBelow(source.c_str(), docs.get(), scratch / "docs", "hard.css", 0644)),
            "Refusing to copy " + source + " to " + below + ":" + refusal);
  EXPECT_EQ(readFile(source), "body {}\n");
}

using CopyIfAbsent = Message (*)(const char*, const char*, mode_t);

struct CopyIfAbsentWay {
  const char* name;
  CopyIfAbsent copy;
};
const CopyIfAbsentWay COPY_IF_ABSENT_WAYS[] = {{"unnamed file", copyFileIfAbsent},
                                               {"temporary name", copyFileIfAbsentByTemporaryName}};

TEST_F(FilesTest, CopyIfAbsentPlacesAWholeFileOrKeepsTheOneThere) {
  for (const CopyIfAbsentWay& way : COPY_IF_ABSENT_WAYS) {
    SCOPED_TRACE(way.name);
    ScratchDir work;
    std::string source = work / "in", directory = work / "docs", destination = directory + "/index.html";
    writeFile(source, patternBytes(10000), 0600);
    makeDirs(directory);
    EXPECT_EQ(text(way.copy(source.c_str(), destination.c_str(), 0666)), "<no message>");
    EXPECT_EQ(readFile(destination), patternBytes(10000));
    EXPECT_EQ(fileMode(destination), 0644);
    EXPECT_EQ(listTree(directory), std::vector<std::string>{"index.html"});

    writeFile(destination, "someone else's", 0600);
    EXPECT_EQ(text(way.copy(source.c_str(), destination.c_str(), 0644)), "<no message>");
    EXPECT_EQ(readFile(destination), "someone else's");
    EXPECT_EQ(fileMode(destination), 0600);
    EXPECT_EQ(listTree(directory), std::vector<std::string>{"index.html"});

    std::string missing = work / "missing", nowhere = work / "no/such/index.html";
    EXPECT_EQ(text(way.copy(missing.c_str(), (directory + "/new").c_str(), 0644)),
              "Cannot open " + missing + " for reading: No such file or directory");
    EXPECT_EQ(text(way.copy(directory.c_str(), (directory + "/new").c_str(), 0644)),
              directory + " is not a regular file.");
    EXPECT_EQ(text(way.copy(source.c_str(), nowhere.c_str(), 0644)),
              "Cannot open " + nowhere + " for writing: No such file or directory");
    EXPECT_EQ(listTree(directory), std::vector<std::string>{"index.html"});
  }
}

// The point of the unnamed file: a copy killed half way leaves no trace.
TEST_F(FilesTest, CopyIfAbsentKilledHalfWayLeavesNothing) {
  constexpr off_t SOURCE_SIZE = off_t(256) << 20;
  std::string source = scratch / "big", directory = scratch / "docs", destination = directory + "/index.html";
  writeFile(source, "");
  ASSERT_EQ(truncate(source.c_str(), SOURCE_SIZE), 0);
  makeDirs(directory);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(copyFileIfAbsent(source.c_str(), destination.c_str(), 0644) ? 1 : 0);

  // Killed once its unnamed file in the directory shows among its descriptors.
  const std::string descriptors = "/proc/" + std::to_string(child) + "/fd";
  bool seen = false;
  for (int attempt = 0; !seen && attempt < 100000; ++attempt) {
    for (const std::string& fd : listTree(descriptors)) {
      char target[PATH_LIMIT] = {};
      if (readlink((descriptors + "/" + fd).c_str(), target, sizeof target - 1) > 0 &&
          std::string(target).rfind(directory + "/#", 0) == 0)
        seen = true;
    }
  }
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(seen) << "the copy was never caught half way";
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(listTree(directory), std::vector<std::string>{});
}

TEST_F(FilesTest, SourceShorterThanItsStatedSizeIsAReadFailure) {
  // sysfs attributes state 4096 bytes and hold fewer: the same as a source
  // that shrinks while it is copied.
  const char* source = "/sys/devices/system/cpu/online";
  struct stat status;
  if (stat(source, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != 4096)
    GTEST_SKIP() << source << " is not a 4096-byte sysfs attribute here";
  std::string destination = scratch / "out";
  EXPECT_EQ(text(copyFile(source, destination.c_str(), 0644)),
            std::string("Cannot read ") + source + ": Input/output error");
  EXPECT_EQ(copyFileQuiet(source, destination.c_str(), 0644), -1);
}

TEST_F(FilesTest, UnreadableSourceIsRefusedForAnOrdinaryUser) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to switch to daemon";
  std::string source = scratch / "secret";
  writeFile(source, "secret", 0600);
  std::string destination = scratch / "out";
  std::string expected = "Cannot open " + source + " for reading: Permission denied";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const passwd* daemon = getpwnam("daemon");
    if (!daemon || setresgid(daemon->pw_gid, daemon->pw_gid, daemon->pw_gid) != 0 ||
        setresuid(daemon->pw_uid, daemon->pw_uid, daemon->pw_uid) != 0)
      _exit(2);
    _exit(text(copyFile(source.c_str(), destination.c_str(), 0644)) == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_FALSE(fileExists(destination));
}

TEST_F(FilesTest, PathsOfPathLimitBytesAreRefused) {
  std::string longest = existingPathOfLength(scratch.path(), PATH_LIMIT - 1);
  ASSERT_EQ(longest.size(), PATH_LIMIT - 1);
  EXPECT_TRUE(pathExists(longest.c_str()));
  EXPECT_EQ(text(copyFile(longest.c_str(), (scratch / "out").c_str(), 0644)), "<no message>");

  // Messages are cut at 4096 characters, which a refused path already
  // fills: compare with the same key and arguments, and check the effects.
  std::string tooLong = longest + "g";
  const char* tooLongText = std::strerror(ENAMETOOLONG);
  std::string out = scratch / "out2";
  errno = 0;
  EXPECT_FALSE(pathExists(tooLong.c_str()));
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(text(copyFile(tooLong.c_str(), out.c_str(), 0644)),
            text(errorMessage("ERR_FILE_OPEN_READ", {tooLong.c_str(), tooLongText})));
  EXPECT_FALSE(fileExists(out));
  EXPECT_EQ(text(copyFile(longest.c_str(), tooLong.c_str(), 0644)),
            text(errorMessage("ERR_FILE_OPEN_WRITE", {tooLong.c_str(), tooLongText})));
  EXPECT_EQ(copyFileQuiet(longest.c_str(), tooLong.c_str(), 0644), -1);
  errno = 0;
  EXPECT_EQ(makeDirectory(tooLong.c_str(), 0755), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(text(makeDirectoryPath(tooLong.c_str(), 0755)),
            text(errorMessage("ERR_MKDIR_FAILURE", {tooLong.c_str(), tooLongText})));
}

TEST_F(FilesTest, MakeDirectoryCreatesOrResetsTheMode) {
  std::string fresh = scratch / "fresh";
  EXPECT_EQ(makeDirectory(fresh.c_str(), 0755), 0);
  EXPECT_EQ(fileMode(fresh), 0755);  // despite the mask 077

  std::string existing = scratch / "existing";
  makeDirs(existing, 0700);
  writeFile(existing + "/keep", "kept");
  EXPECT_EQ(makeDirectory(existing.c_str(), 0751), 0);
  EXPECT_EQ(fileMode(existing), 0751);
  EXPECT_EQ(readFile(existing + "/keep"), "kept");

  std::string file = scratch / "file";
  writeFile(file, "data", 0600);
  EXPECT_EQ(makeDirectory(file.c_str(), 0755), 0);
  EXPECT_EQ(fileMode(file), 0755);
  EXPECT_EQ(readFile(file), "data");

  errno = 0;
  EXPECT_EQ(makeDirectory((scratch / "none/child").c_str(), 0755), -1);
  EXPECT_EQ(errno, ENOENT);
}

// A directory whose mode cannot be set is a failure, not a directory with
// whatever mode the umask left (here: someone else's directory).
TEST_F(FilesTest, MakeDirectoryFailsWhenTheModeCannotBeSet) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  std::string roots = scratch / "roots";
  makeDirs(roots, 0700);
  const passwd* daemon = getpwnam("daemon");
  ASSERT_NE(daemon, nullptr);
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (setresuid(daemon->pw_uid, daemon->pw_uid, daemon->pw_uid) != 0) _exit(9);
    errno = 0;
    _exit(makeDirectory(roots.c_str(), 0755) == -1 && errno == EPERM ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(fileMode(roots), 0700);
}

TEST_F(FilesTest, MakeDirectoryPathCreatesOnlyTheMissingPrefixes) {
  std::string a = scratch / "a";
  makeDirs(a);
  chmod(a.c_str(), 0711);
  EXPECT_EQ(text(makeDirectoryPath((a + "/b/c/").c_str(), 0750)), "<no message>");
  EXPECT_EQ(fileMode(a), 0711);
  EXPECT_EQ(fileMode(a + "/b"), 0750);
  EXPECT_EQ(fileMode(a + "/b/c"), 0750);
  // Everything there already: nothing to do, modes untouched.
  EXPECT_EQ(text(makeDirectoryPath((a + "/b/c").c_str(), 0700)), "<no message>");
  EXPECT_EQ(fileMode(a + "/b/c"), 0750);

  std::string file = scratch / "file";
  writeFile(file, "x", 0640);
  EXPECT_EQ(text(makeDirectoryPath((file + "/x/y").c_str(), 0755)),
            "Cannot create the directory " + file + "/x: Not a directory");
  EXPECT_EQ(fileMode(file), 0640);
}

// Runs that share a document root may create its directories at the same
// moment: the one whose mkdir finds the directory already made goes on.
TEST_F(FilesTest, MakeDirectoryPathToleratesAnotherMakingTheSamePath) {
  constexpr int ROUNDS = 200, RACERS = 8;
  for (int round = 0; round < ROUNDS; ++round) {
    std::string path = scratch / ("r" + std::to_string(round)) + "/a/b/c";
    std::vector<std::string> results(RACERS);
    std::vector<std::thread> racers;
    for (int i = 0; i < RACERS; ++i)
      racers.emplace_back([&, i] { results[i] = text(makeDirectoryPath(path.c_str(), 0755)); });
    for (std::thread& racer : racers) racer.join();
    for (const std::string& result : results) ASSERT_EQ(result, "<no message>") << "round " << round;
    EXPECT_EQ(fileMode(path), 0755);
  }
}

TEST_F(FilesTest, PathExistsFollowsLinks) {
  std::string file = scratch / "file";
  writeFile(file, "");
  std::string link = scratch / "link";
  std::string dangling = scratch / "dangling";
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink((scratch / "gone").c_str(), dangling.c_str()), 0);
  EXPECT_TRUE(pathExists(file.c_str()));
  EXPECT_TRUE(pathExists(link.c_str()));
  EXPECT_TRUE(pathExists(scratch.path().c_str()));
  EXPECT_FALSE(pathExists(dangling.c_str()));
  EXPECT_FALSE(pathExists((scratch / "gone").c_str()));
  EXPECT_FALSE(pathExists(nullptr));
}

TEST(FormatPathTest, RefusesResultsThatDoNotFit) {
  char buffer[PATH_LIMIT];
  EXPECT_TRUE(formatPath(buffer, "%s/%s", "/srv", "logs"));
  EXPECT_STREQ(buffer, "/srv/logs");
  std::string longest(PATH_LIMIT - 2, 'a');
  EXPECT_TRUE(formatPath(buffer, "/%s", longest.c_str()));
  EXPECT_EQ(std::strlen(buffer), PATH_LIMIT - 1);
  errno = 0;
  EXPECT_FALSE(formatPath(buffer, "/%s/", longest.c_str()));
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
