// SPDX-License-Identifier: GPL-3.0-or-later
#include "backup/catalogue.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unicode/uloc.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/testsupport.h"

namespace {

const char EMPTY_CATALOGUE[] = "backups.conf:Version 4.0\n\n\n--EOF--\n";

struct CatalogueCloser {
  void operator()(BackupCatalogue* catalogue) const { discardBackupCatalogue(catalogue); }
};
using Catalogue = std::unique_ptr<BackupCatalogue, CatalogueCloser>;

Catalogue readText(const std::string& text, const char* root = "/srv/app") {
  FILE* stream = text.empty() ? fopen("/dev/null", "r")  // fmemopen may refuse size 0
                              : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  Catalogue catalogue(readBackupCatalogue(root, "/srv/app/web1/config/backup/backups.conf", stream));
  fclose(stream);
  return catalogue;
}

std::string writeText(BackupCatalogue* catalogue) {
  char* data = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&data, &size);
  int result = writeBackupCatalogue(catalogue, stream);
  fclose(stream);
  std::string text(data, size);
  free(data);
  EXPECT_EQ(result, 0);
  return text;
}

std::string text(const Message& message) { return message ? message.get() : "<no message>"; }

class CatalogueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en", &status);
  }

  std::string backupDir() const { return scratch / "config/backup"; }
  std::string cataloguePath() const { return scratch / "config/backup/backups.conf"; }

  void SetUp() override {
    makeDirs(backupDir());
    writeFile(cataloguePath(), "");
  }

  // A configuration file with a fixed modification time.
  std::string configFile(const std::string& relative, const std::string& content, time_t mtime = 1044000000) {
    std::string path = scratch / relative;
    std::string directory = path.substr(0, path.rfind('/'));
    makeDirs(directory);
    writeFile(path, content);
    struct utimbuf times = {mtime, mtime};
    utime(path.c_str(), &times);
    return path;
  }

  Catalogue open() { return Catalogue(openBackupCatalogue(scratch.path().c_str(), cataloguePath().c_str())); }

  ScratchDir scratch;
  ScopedMessageBundle bundle{SAMPLE_SERVER_ROOT};
};

// Each input, read and written back, gives exactly `written`; reading that
// again and writing it once more changes nothing.
struct FormatCase {
  const char* what;
  std::string input;
  std::string written;
};

TEST_F(CatalogueTest, ReadAndWriteBackFormatCases) {
  using namespace std::string_literals;  // inputs holding NUL bytes
  const std::string longDescription(20000, 'd');
  const FormatCase cases[] = {
      {"empty file", "", EMPTY_CATALOGUE},
      {"older header", "backups.conf:Version 3.0\n\n", EMPTY_CATALOGUE},
      {"canonical",
       "backups.conf:Version 4.0\nDiskQuota=500\nMaxTags=3\n\n"
       "init.conf:/srv/app/web1/config/backup/init.conf:1:1044000000:/srv/app/web1/config/init.conf\n"
       "obj.conf:rel/obj.conf:4:1044000001:\n\n"
       "1044000000:init.conf/1::\n1044000001:init.conf/1:obj.conf/4::a tag text\n--EOF--\n",
       "backups.conf:Version 4.0\nDiskQuota=500\nMaxTags=3\n\n"
       "init.conf:/srv/app/web1/config/backup/init.conf:1:1044000000:/srv/app/web1/config/init.conf\n"
       "obj.conf:rel/obj.conf:4:1044000001:\n\n"
       "1044000000:init.conf/1::\n1044000001:init.conf/1:obj.conf/4::a tag text\n--EOF--\n"},
      {"settings variants", "h\ndiskquota =  500\nMAXTAGS=3\n MaxTags=9\nnoequals\nOther=4\n\n",
       "backups.conf:Version 4.0\nDiskQuota=500\nMaxTags=3\n\n\n--EOF--\n"},
      {"tab before equals, later value wins", "h\nDiskQuota\t=7\nDiskQuota=8\n\n",
       "backups.conf:Version 4.0\nDiskQuota=8\n\n\n--EOF--\n"},
      {"zero quota is absent", "h\nDiskQuota=0\nMaxTags=2\n\n", "backups.conf:Version 4.0\nMaxTags=2\n\n\n--EOF--\n"},
      {"description with colons", "h\n\na:/p:1:2:x:y::z\n", "backups.conf:Version 4.0\n\na:/p:1:2:x:y::z\n\n--EOF--\n"},
      {"three colons only", "h\n\na:/p:1:2\n", "backups.conf:Version 4.0\n\na:/p:1:2:\n\n--EOF--\n"},
      {"description cut by the end of the file", "h\n\na:/p:1:2:desc",
       "backups.conf:Version 4.0\n\na:/p:1:2:desc\n\n--EOF--\n"},
      {"20,000-character line", "h\n\na:/p:1:2:" + longDescription + "\n",
       "backups.conf:Version 4.0\n\na:/p:1:2:" + longDescription + "\n\n--EOF--\n"},
      {"old tail after the terminator", "h\n\na:/p:1:2:\n\n5:a/1::\n--EOF--\n6:a/1::\nb:/q:1:2:\n",
       "backups.conf:Version 4.0\n\na:/p:1:2:\n\n5:a/1::\n--EOF--\n"},
      {"entry name starting with '-'", "h\n\n-x:/p:1:2:\n\n5:-x/1::\n--EOF--\n",
       "backups.conf:Version 4.0\n\n-x:/p:1:2:\n\n5:-x/1::\n--EOF--\n"},
      {"unknown member, member without '/'", "h\n\na:/p:1:2:\n\n5:zz/1:a/2:noslash:a/3::t\n",
       "backups.conf:Version 4.0\n\na:/p:1:2:\n\n5:a/2:a/3::t\n--EOF--\n"},
      {"entry line with two colons, tag lines without colon or text marker", "h\n\nbad:/p:1\na:/p:1:2:\n\nnocolon\n7:a/1\n",
       "backups.conf:Version 4.0\n\na:/p:1:2:\n\n7::\n--EOF--\n"},
      {"tag without members, blank-led numbers", "h\n\na:/p: 3:-4:\n\n 9::\n",
       "backups.conf:Version 4.0\n\na:/p:3:-4:\n\n9::\n--EOF--\n"},
      {"name holding '/' resolves by the last '/'", "h\n\nx/y:/p:1:2:\n\n5:x/y/3::\n",
       "backups.conf:Version 4.0\n\nx/y:/p:1:2:\n\n5:x/y/3::\n--EOF--\n"},
      {"NUL in a description or tag text ends it there, line end kept", "h\n\na:/p:1:2:de\0sc\nb:/q:1:2:\n\n5::te\0xt\n"s,
       "backups.conf:Version 4.0\n\na:/p:1:2:de\nb:/q:1:2:\n\n5::te\n--EOF--\n"},
      {"tag time before the epoch reads as 0, later tags kept", "h\n\na:/p:1:2:\n\n -5:a/1::\n6:a/1::\n",
       "backups.conf:Version 4.0\n\na:/p:1:2:\n\n0:a/1::\n6:a/1::\n--EOF--\n"},
      {"extra empty lines between tags", "h\n\na:/p:1:2:\n\n5:a/1::\n\n6:a/1::\n",
       "backups.conf:Version 4.0\n\na:/p:1:2:\n\n5:a/1::\n6:a/1::\n--EOF--\n"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.what);
    Catalogue first = readText(c.input);
    ASSERT_TRUE(first);
    EXPECT_EQ(writeText(first.get()), c.written);
    Catalogue second = readText(c.written);
    ASSERT_TRUE(second);
    EXPECT_EQ(writeText(second.get()), c.written);
  }
}

TEST_F(CatalogueTest, ReadsTheModel) {
  Catalogue catalogue = readText(
      "h\nMaxTags=3\n\nd:rel/one:2:100:first\nd:/abs/two:1:101\n-x:/p:1:2:\n\n"
      "7:d/2:d/9:-x/1::text\n--EOF--\n");
  ASSERT_TRUE(catalogue);
  EXPECT_EQ(catalogue->changeCount, 1);
  EXPECT_EQ(catalogue->maxTags, 3);
  EXPECT_EQ(catalogue->diskQuota, 0);
  EXPECT_STREQ(catalogue->backupDir, "/srv/app/web1/config/backup");
  ASSERT_EQ(catalogue->entryCount, 3);
  EXPECT_STREQ(catalogue->entries[0].fullPath, "/srv/app/rel/one");
  EXPECT_STREQ(catalogue->entries[1].fullPath, "/abs/two");
  EXPECT_EQ(catalogue->entries[0].version, 2);
  EXPECT_EQ(catalogue->entries[0].modifiedTime, 100);
  EXPECT_STREQ(catalogue->entries[0].description, "first\n");
  EXPECT_EQ(catalogue->entries[1].description, nullptr);
  // Duplicate names: the first entry wins, in lookups and in tags.
  EXPECT_EQ(findBackupEntry(catalogue.get(), "d"), 0);
  EXPECT_EQ(findBackupEntry(catalogue.get(), "-x"), 2);
  EXPECT_EQ(findBackupEntry(catalogue.get(), "D"), -1);
  ASSERT_EQ(catalogue->tagCount, 1);
  const BackupTag& tag = catalogue->tags[0];
  EXPECT_EQ(tag.time, 7);
  ASSERT_EQ(tag.memberCount, 3);
  EXPECT_EQ(tag.members[0].entryIndex, 0);
  EXPECT_EQ(tag.members[0].version, 2);
  EXPECT_EQ(tag.members[1].entryIndex, 0);
  EXPECT_EQ(tag.members[1].version, 9);
  EXPECT_EQ(tag.members[2].entryIndex, 2);
  EXPECT_STREQ(tag.text, "text\n");
}

TEST_F(CatalogueTest, BackupDirectoryRule) {
  const struct {
    const char* path;
    const char* directory;
  } cases[] = {{"/a/b/backups.conf", "/a/b"}, {"backups.conf", "."}, {"/backups.conf", "."}, {"a/", "."}, {"a/b/", "a"}};
  for (const auto& c : cases) {
    FILE* stream = fopen("/dev/null", "r");
    Catalogue catalogue(readBackupCatalogue("/r", c.path, stream));
    fclose(stream);
    ASSERT_TRUE(catalogue);
    EXPECT_STREQ(catalogue->backupDir, c.directory) << c.path;
  }
}

TEST_F(CatalogueTest, OpenRefusesMissingAndUnwritableFiles) {
  EXPECT_EQ(openBackupCatalogue("/r", (scratch / "missing.conf").c_str()), nullptr);
  EXPECT_EQ(openBackupCatalogue("/r", backupDir().c_str()), nullptr);  // a directory cannot be opened "r+"
}

TEST_F(CatalogueTest, UnchangedCatalogueLeavesItsFileUntouched) {
  const std::string odd = "backups.conf:Version 3.0\n\na:/p:1:2\n\n5:a/1::\n--EOF--\nold tail\n";
  writeFile(cataloguePath(), odd);
  Catalogue catalogue = open();
  ASSERT_TRUE(catalogue);
  EXPECT_EQ(text(closeBackupCatalogue(catalogue.release())), "<no message>");
  EXPECT_EQ(readFile(cataloguePath()), odd);

  writeFile(cataloguePath(), "");
  EXPECT_EQ(text(closeBackupCatalogue(open().release())), "<no message>");
  EXPECT_EQ(readFile(cataloguePath()), "");
}

TEST_F(CatalogueTest, RecordingThreeFilesWritesTheWholeCatalogue) {
  std::string a = configFile("web1/config/backup/init.conf", "init\n", 1044000000);
  std::string b = configFile("web1/config/backup/obj.conf", "obj\n", 1044000001);
  std::string c = configFile("web1/config/backup/server.xml", "xml\n", 1044000002);
  Catalogue catalogue = open();
  ASSERT_TRUE(catalogue);
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), "/i/init.conf\n", nullptr), 0);
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, b.c_str(), "/i/obj.conf\n", nullptr), 0);
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, c.c_str(), nullptr, "tagged\n"), 0);
  EXPECT_EQ(catalogue->changeCount, 4);
  ASSERT_EQ(catalogue->entryCount, 3);
  ASSERT_EQ(catalogue->tagCount, 3);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(catalogue->entries[k].version, 1);
    EXPECT_EQ(catalogue->tags[k].memberCount, k + 1);
  }
  EXPECT_EQ(readFile(backupDir() + "/obj.conf.1"), "obj\n");

  // Tag times are the fresh copies' modification times.
  std::vector<long> copyTimes;
  for (const char* name : {"init.conf.1", "obj.conf.1", "server.xml.1"}) {
    struct stat status;
    ASSERT_EQ(stat((backupDir() + "/" + name).c_str(), &status), 0);
    copyTimes.push_back(static_cast<long>(status.st_mtime));
  }
  EXPECT_EQ(text(closeBackupCatalogue(catalogue.release())), "<no message>");
  const std::string expected =
      "backups.conf:Version 4.0\n\n"
      "init.conf:" + a + ":1:1044000000:/i/init.conf\n"
      "obj.conf:" + b + ":1:1044000001:/i/obj.conf\n"
      "server.xml:" + c + ":1:1044000002:\n\n" +
      std::to_string(copyTimes[0]) + ":init.conf/1::\n" +
      std::to_string(copyTimes[1]) + ":init.conf/1:obj.conf/1::\n" +
      std::to_string(copyTimes[2]) + ":init.conf/1:obj.conf/1:server.xml/1::tagged\n--EOF--\n";
  EXPECT_EQ(readFile(cataloguePath()), expected);
}

TEST_F(CatalogueTest, SamePathTwiceChangesNothing) {
  std::string a = configFile("conf/init.conf", "one\n");
  Catalogue catalogue = open();
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr), 0);
  writeFile(backupDir() + "/init.conf.1", "copy kept\n");
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), "other\n", nullptr), 0);
  EXPECT_EQ(catalogue->entryCount, 1);
  EXPECT_EQ(catalogue->tagCount, 1);
  EXPECT_EQ(catalogue->changeCount, 2);
  EXPECT_EQ(readFile(backupDir() + "/init.conf.1"), "copy kept\n");
}

TEST_F(CatalogueTest, NamesFollowTheSuffixSeries) {
  std::string first = configFile("one/init.conf", "1\n");
  std::string second = configFile("two/init.conf", "2\n");
  std::string third = configFile("three/init.conf", "3\n");
  std::string colon = configFile("c/file", "c\n");
  Catalogue catalogue = open();
  for (const std::string& path : {first, second, third})
    ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, path.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(recordBackupFile(catalogue.get(), "a:b", colon.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(catalogue->entryCount, 4);
  EXPECT_STREQ(catalogue->entries[0].name, "init.conf");
  EXPECT_STREQ(catalogue->entries[1].name, "init.conf.1");
  EXPECT_STREQ(catalogue->entries[2].name, "init.conf.2");
  EXPECT_STREQ(catalogue->entries[3].name, "a_b");
  EXPECT_EQ(readFile(backupDir() + "/init.conf.1"), "1\n");
  EXPECT_EQ(readFile(backupDir() + "/init.conf.1.1"), "2\n");
  EXPECT_EQ(readFile(backupDir() + "/init.conf.2.1"), "3\n");
  EXPECT_EQ(readFile(backupDir() + "/a_b.1"), "c\n");
  // A path met on the way through the series counts as already recorded.
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, second.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(catalogue->entryCount, 4);
}

TEST_F(CatalogueTest, RelativePathIsResolvedAgainstTheRootAndStoredAsGiven) {
  configFile("conf/rel.conf", "relative\n", 1044000123);
  Catalogue catalogue = open();
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, "conf/rel.conf", nullptr, nullptr), 0);
  EXPECT_STREQ(catalogue->entries[0].path, "conf/rel.conf");
  EXPECT_EQ(catalogue->entries[0].fullPath, scratch / "conf/rel.conf");
  EXPECT_EQ(catalogue->entries[0].modifiedTime, 1044000123);
  EXPECT_EQ(readFile(backupDir() + "/rel.conf.1"), "relative\n");
}

TEST_F(CatalogueTest, MissingFileLeavesNoTrace) {
  std::string a = configFile("conf/a.conf", "a\n");
  Catalogue catalogue = open();
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, (scratch / "conf/missing").c_str(), nullptr, nullptr), ENOENT);
  EXPECT_EQ(catalogue->changeCount, 1);
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(text(closeBackupCatalogue(catalogue.release())), "<no message>");
  std::string written = readFile(cataloguePath());
  EXPECT_EQ(written.find("missing"), std::string::npos);
  EXPECT_NE(written.find("a.conf:" + a + ":1:"), std::string::npos);
}

TEST_F(CatalogueTest, ExistingNumberedCopyIsOverwritten) {
  writeFile(backupDir() + "/init.conf.1", "an older, longer copy of the file\n");
  std::string a = configFile("conf/init.conf", "new\n");
  Catalogue catalogue = open();
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(readFile(backupDir() + "/init.conf.1"), "new\n");
}

TEST_F(CatalogueTest, CopyThatCannotBeMadeKeepsTheEntryWithoutTag) {
  std::string a = configFile("conf/a.conf", "a\n");
  Catalogue catalogue = open();
  std::free(catalogue->backupDir);
  catalogue->backupDir = strdup((scratch / "gone").c_str());
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr), ENOENT);
  EXPECT_EQ(catalogue->entryCount, 1);
  EXPECT_EQ(catalogue->tagCount, 0);
  EXPECT_EQ(catalogue->changeCount, 2);
}

TEST_F(CatalogueTest, CopyBackupFileReportsFailures) {
  std::string source = configFile("conf/source", std::string(20000, 's'));
  EXPECT_EQ(copyBackupFile(source.c_str(), (scratch / "copy").c_str()), 0);
  EXPECT_EQ(readFile(scratch / "copy"), std::string(20000, 's'));
  EXPECT_EQ(copyBackupFile((scratch / "missing").c_str(), (scratch / "copy2").c_str()), ENOENT);
  EXPECT_FALSE(fileExists(scratch / "copy2"));
  EXPECT_EQ(copyBackupFile(source.c_str(), (scratch / "no/dir/copy").c_str()), ENOENT);
  // A copy cut short by a failed read or write is removed.
  EXPECT_EQ(copyBackupFile(scratch.path().c_str(), (scratch / "copy3").c_str()), EISDIR);
  EXPECT_FALSE(fileExists(scratch / "copy3"));
  symlink("/dev/full", (scratch / "full").c_str());
  EXPECT_EQ(copyBackupFile(source.c_str(), (scratch / "full").c_str()), ENOSPC);
  EXPECT_FALSE(fileExists(scratch / "full"));
}

// The recording goes by whether the numbered copy exists: one that could not
// be written whole must not be there to be taken for a good one.
TEST_F(CatalogueTest, ACopyThatCannotBeWrittenWholeIsNotRecorded) {
  std::string a = configFile("conf/a.conf", "a\n");
  ASSERT_EQ(symlink("/dev/full", (backupDir() + "/a.conf.1").c_str()), 0);
  Catalogue catalogue = open();
  EXPECT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr), ENOENT);
  EXPECT_FALSE(fileExists(backupDir() + "/a.conf.1"));
  EXPECT_EQ(catalogue->tagCount, 0);
}

TEST_F(CatalogueTest, WriteReportsTheErrorOfAFailedWrite) {
  Catalogue catalogue = readText("h\n\na:/p:1:2:\n\n5:a/1::\n");
  FILE* full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(writeBackupCatalogue(catalogue.get(), full), ENOSPC);
  fclose(full);
}

TEST_F(CatalogueTest, CloseReplacesTheFileAtomicallyKeepingModeAndOwner) {
  const std::string old = "backups.conf:Version 4.0\n\n" + std::string(500, 'o') + ":/p:1:2:\n\n--EOF--\n";
  writeFile(cataloguePath(), old, 0640);
  struct passwd* daemonUser = getpwnam("daemon");
  ASSERT_NE(daemonUser, nullptr);
  if (runningAsRoot()) {
    ASSERT_EQ(chown(cataloguePath().c_str(), daemonUser->pw_uid, daemonUser->pw_gid), 0);
  }
  std::string a = configFile("conf/a.conf", "a\n");
  Catalogue catalogue = open();
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr), 0);
  const std::string expected = writeText(catalogue.get());
  ASSERT_EQ(text(closeBackupCatalogue(catalogue.release())), "<no message>");
  EXPECT_EQ(readFile(cataloguePath()), expected);  // the longer old text left no tail
  EXPECT_EQ(fileMode(cataloguePath()), 0640);
  if (runningAsRoot()) {
    EXPECT_EQ(fileOwner(cataloguePath()), daemonUser->pw_uid);
  }
  EXPECT_EQ(listTree(backupDir()), (std::vector<std::string>{"a.conf.1", "backups.conf"}));
}

// Runs `body` in a child process and returns what it wrote to `out` with its
// exit status, so that limits and identities do not leak into the test run.
struct ChildResult {
  int status;
  std::string text;
};
ChildResult inChild(const std::function<int(std::string*)>& body) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {-1, "pipe"};
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeEnds[0]);
    std::string out;
    int status = body(&out);
    (void)!write(pipeEnds[1], out.data(), out.size());
    _exit(status);
  }
  close(pipeEnds[1]);
  std::string received;
  char buffer[4096];
  ssize_t count;
  while ((count = read(pipeEnds[0], buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(count));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), received};
}

TEST_F(CatalogueTest, CloseOnAFullDiskFailsAndKeepsTheOldFile) {
  const std::string old = "backups.conf:Version 4.0\n\nkept:/p:1:2:\n\n--EOF--\n";
  writeFile(cataloguePath(), old);
  std::string a = configFile("conf/a.conf", "a\n");
  ChildResult result = inChild([&](std::string* out) {
    Catalogue catalogue = open();
    if (!catalogue || recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr) != 0) return 2;
    // Files may now grow to 16 bytes only: writes fail with EFBIG, as on a full disk.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {16, 16};
    setrlimit(RLIMIT_FSIZE, &limit);
    *out = text(closeBackupCatalogue(catalogue.release()));
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.text, "Cannot write " + cataloguePath() + ": File too large");
  EXPECT_EQ(readFile(cataloguePath()), old);
  EXPECT_EQ(listTree(backupDir()), (std::vector<std::string>{"a.conf.1", "backups.conf"}));
}

TEST_F(CatalogueTest, CloseInAnUnwritableDirectoryFailsAndKeepsTheOldFile) {
  // As root a directory's mode stops nothing: the catalogue is closed by the
  // ordinary user `daemon`, who may write the file but not its directory.
  const std::string old = "backups.conf:Version 4.0\n\nkept:/p:1:2:\n\n--EOF--\n";
  writeFile(cataloguePath(), old, 0666);
  std::string a = configFile("conf/a.conf", "a\n");
  struct passwd* daemonUser = getpwnam("daemon");
  ASSERT_NE(daemonUser, nullptr);
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to become daemon";
  ChildResult result = inChild([&](std::string* out) {
    if (setresgid(daemonUser->pw_gid, daemonUser->pw_gid, daemonUser->pw_gid) != 0 ||
        setresuid(daemonUser->pw_uid, daemonUser->pw_uid, daemonUser->pw_uid) != 0)
      return 3;
    Catalogue catalogue = open();
    if (!catalogue) return 2;
    // The copy cannot be made either: the recording reports the missing copy.
    int recorded = recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr);
    *out = std::to_string(recorded) + "|" + text(closeBackupCatalogue(catalogue.release()));
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.text, std::to_string(ENOENT) + "|Cannot write " + cataloguePath() + ": Permission denied");
  EXPECT_EQ(readFile(cataloguePath()), old);
  EXPECT_EQ(listTree(backupDir()), (std::vector<std::string>{"backups.conf"}));
}

TEST_F(CatalogueTest, DiscardWritesNothing) {
  std::string a = configFile("conf/a.conf", "a\n");
  Catalogue catalogue = open();
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), nullptr, nullptr), 0);
  catalogue.reset();
  EXPECT_EQ(readFile(cataloguePath()), "");
}

TEST_F(CatalogueTest, ReopeningAWrittenCatalogueReadsItBack) {
  std::string a = configFile("conf/a.conf", "a\n");
  std::string b = configFile("conf/b.conf", "b\n");
  Catalogue catalogue = open();
  catalogue->diskQuota = 100;
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, a.c_str(), "desc: with colon\n", nullptr), 0);
  ASSERT_EQ(recordBackupFile(catalogue.get(), nullptr, b.c_str(), nullptr, nullptr), 0);
  const std::string expected = writeText(catalogue.get());
  ASSERT_EQ(text(closeBackupCatalogue(catalogue.release())), "<no message>");
  Catalogue again = open();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->diskQuota, 100);
  EXPECT_EQ(again->entryCount, 2);
  EXPECT_EQ(again->tagCount, 2);
  EXPECT_EQ(writeText(again.get()), expected);
}

}  // namespace
