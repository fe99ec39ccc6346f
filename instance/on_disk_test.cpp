// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/on_disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

TEST(EntryNames, EachNameSaysWhatItIs) {
  const struct {
    const char* name;
    NameKind kind;
    const char* id;
  } cases[] = {
      {"web1", NameKind::Instance, "web1"},
      {"broken.web1", NameKind::Broken, "broken.web1"},
      {"broken.web1.12", NameKind::Broken, "broken.web1.12"},
      {".removing.web1", NameKind::Removing, "web1"},
      {".removing.broken.web1.3", NameKind::Removing, "broken.web1.3"},
      {".removing.", NameKind::Other, ""},
      {".removing..x", NameKind::Other, ""},
      {".removing.https-web1", NameKind::Other, ""},
      {".instances.lock", NameKind::Lock, ""},
      {".hidden", NameKind::Other, ""},
      {"https-web1", NameKind::Older, "web1"},
      {".", NameKind::Other, ""},
      {"..", NameKind::Other, ""},
      {"", NameKind::Other, ""},
      {"a/b", NameKind::Other, ""},
  };
  for (const auto& c : cases) {
    ParsedName parsed = parseEntryName(c.name);
    EXPECT_EQ(parsed.kind, c.kind) << c.name;
    EXPECT_EQ(parsed.id, c.id) << c.name;
  }
  EXPECT_EQ(brokenName("web1", 0), "broken.web1");
  EXPECT_EQ(brokenName("web1", 3), "broken.web1.3");
  EXPECT_EQ(removingName("broken.web1"), ".removing.broken.web1");
  EXPECT_EQ(olderInUsePath("/srv/s", "web1"), "/srv/s/https-web1");
  for (const char* reserved : {".x", "broken.x", "https-x"}) EXPECT_TRUE(isReservedName(reserved)) << reserved;
  for (const char* plain : {"x.broken", "brokenx", "http-x"}) EXPECT_FALSE(isReservedName(plain)) << plain;
}

FileIdentity identity(dev_t device, ino_t inode, long long birth = -1) {
  FileIdentity made;
  made.device = device;
  made.inode = inode;
  made.birthKnown = birth >= 0;
  made.birthSeconds = birth >= 0 ? birth : 0;
  made.birthNanoseconds = birth >= 0 ? 5 : 0;
  return made;
}

TEST(CreationMark, ReadsBackWhatItWrites) {
  const std::vector<MadeDirectory> made = {{"/srv/new", false, true, identity(2049, 77, 1700000000)},
                                           {"/srv/new/my docs", true, false, {}},
                                           {"/srv/other", true, true, identity(12, 3)}};
  std::vector<MadeDirectory> read;
  ASSERT_TRUE(parseCreationMark(formatCreationMark(made), &read));
  ASSERT_EQ(read.size(), made.size());
  for (size_t i = 0; i < made.size(); ++i) {
    EXPECT_EQ(read[i].path, made[i].path);
    EXPECT_EQ(read[i].docRoot, made[i].docRoot);
    EXPECT_EQ(read[i].known, made[i].known);
    if (made[i].known) {
      EXPECT_TRUE(sameFile(read[i].identity, made[i].identity));
    }
  }
  EXPECT_EQ(read[0].identity.birthNanoseconds, 5u);
  EXPECT_TRUE(parseCreationMark("", &read));
  EXPECT_TRUE(read.empty()) << "a mark written right after the claim lists nothing";
}

// A mark that says anything but what the format allows is not acted on.
TEST(CreationMark, RefusesDamage) {
  for (const char* damaged : {"docroot 1 2 - relative\n", "docroot 1 2\n", "docroot x 2 - /a\n", "docroot 1 2 3 /a\n",
                              "directory - - /a\n", "unknown - - - /a\n", "docroot 1 2 -/a\n",
                              "docroot 1 2 1.5 /a\n"}) {
    std::vector<MadeDirectory> read;
    EXPECT_FALSE(parseCreationMark(damaged, &read)) << damaged;
  }
}

TEST(RemovalNote, ReadsBackWhatItWrites) {
  RemovalNote note;
  note.removed = RemovedKind::Incomplete;
  note.ownerKnown = true;
  note.owner = 1;
  note.docRoot = "/srv/a = b";
  note.docRootPlace = "outside";
  note.kept = {identity(1, 2), identity(3, 4, 99)};
  note.takeBack = {{"/srv/docs", true, true, identity(5, 6, 7)}, {"/srv", false, false, {}}};
  RemovalNote read;
  ASSERT_TRUE(parseRemovalNote(formatRemovalNote(note), &read));
  EXPECT_EQ(read.removed, RemovedKind::Incomplete);
  EXPECT_TRUE(read.ownerKnown);
  EXPECT_EQ(read.owner, 1u);
  EXPECT_EQ(read.docRoot, note.docRoot);
  EXPECT_EQ(read.docRootPlace, "outside");
  ASSERT_EQ(read.kept.size(), 2u);
  EXPECT_TRUE(sameFile(read.kept[1], note.kept[1]));
  ASSERT_EQ(read.takeBack.size(), 2u);
  EXPECT_EQ(read.takeBack[1].path, "/srv");
  EXPECT_FALSE(read.takeBack[1].known);
  for (const char* damaged : {"docRoot = /a\n", "removed = all\n", "removed = instance\nkeep = 1\n",
                              "removed = instance\nkept = 1 2 -\n", "removed = instance\nowner = -1\n"}) {
    RemovalNote bad;
    EXPECT_FALSE(parseRemovalNote(damaged, &bad)) << damaged;
  }
}

TEST(Identity, BirthTellsAReusedNumberFromTheFileThatHadIt) {
  EXPECT_TRUE(sameFile(identity(1, 2, 10), identity(1, 2, 10)));
  EXPECT_FALSE(sameFile(identity(1, 2, 10), identity(1, 2, 11)));
  EXPECT_TRUE(sameFile(identity(1, 2), identity(1, 2, 11))) << "unknown on one side: device and inode decide";
  EXPECT_FALSE(sameFile(identity(1, 2), identity(1, 3)));
  EXPECT_FALSE(sameFile(identity(1, 2), identity(2, 2)));
}

// An instances root with one entry of every kind, as the tools leave them.
class Entries : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(rootPath);
    root.reset(open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    instance("published", "serverId = published\nport = 8080\n");
    instance("fifo", "");
    ASSERT_EQ(mkfifo((rootPath + "/fifo/config/answers.conf").c_str(), 0644), 0);
    instance("legacy", "");
    makeDirs(rootPath + "/legacy/bin");
    writeFile(rootPath + "/legacy/bin/startserv", "#!/bin/sh\n", 0755);
    makeDirs(rootPath + "/empty");
    instance("marked", "serverId = marked\nport = 8081\n");
    writeFile(rootPath + "/marked/.incomplete", formatCreationMark({{"/srv/x", true, false, {}}}));
    makeDirs(rootPath + "/lib/install");  // a directory of the installation
    instance("broken.gone", "serverId = gone\n");
    makeDirs(rootPath + "/.removing.moved/tree/config");
    writeFile(rootPath + "/.removing.moved/tree/config/answers.conf", "serverId = moved\nport = 8082\n");
    RemovalNote note;
    note.ownerKnown = true;
    note.owner = 4242;
    writeFile(rootPath + "/.removing.moved/note", formatRemovalNote(note), 0600);
    instance("staying", "serverId = staying\n");
    makeDirs(rootPath + "/.removing.staying");
    ASSERT_EQ(symlink((rootPath + "/published").c_str(), (rootPath + "/link").c_str()), 0);
    writeFile(rootPath + "/file", "");
    writeFile(rootPath + "/.instances.lock", "");
  }
  void instance(const std::string& name, const std::string& record) {
    makeDirs(rootPath + "/" + name + "/config");
    if (!record.empty()) writeFile(rootPath + "/" + name + "/config/answers.conf", record);
  }

  ScratchDir scratch;
  std::string rootPath = scratch / "root";
  Descriptor root;
};

TEST_F(Entries, EveryEntryHasOneState) {
  const struct {
    const char* name;
    bool entry;
    EntryState state;
    const char* id;
    const char* tree;
    bool recordRead;
  } cases[] = {
      {"published", true, EntryState::Published, "published", "published", true},
      {"fifo", true, EntryState::Published, "fifo", "fifo", false},
      {"legacy", true, EntryState::Legacy, "legacy", "legacy", false},
      {"empty", true, EntryState::Incomplete, "empty", "empty", false},
      {"marked", true, EntryState::Incomplete, "marked", "marked", true},
      {"broken.gone", true, EntryState::Broken, "broken.gone", "broken.gone", true},
      {".removing.moved", true, EntryState::Removing, "moved", ".removing.moved/tree", true},
      {".removing.staying", true, EntryState::Removing, "staying", "staying", true},
      {"lib", false, EntryState::Published, "", "", false},
      {"link", false, EntryState::Published, "", "", false},
      {"file", false, EntryState::Published, "", "", false},
      {".instances.lock", false, EntryState::Published, "", "", false},
      {"missing", false, EntryState::Published, "", "", false},
  };
  for (const auto& c : cases) {
    InstanceEntry entry;
    ASSERT_EQ(describeEntry(root.get(), c.name, &entry), c.entry) << c.name;
    if (!c.entry) continue;
    EXPECT_EQ(entry.state, c.state) << c.name;
    EXPECT_EQ(entry.id, c.id) << c.name;
    EXPECT_EQ(entry.name, c.name) << c.name;
    EXPECT_EQ(entry.tree, c.tree) << c.name;
    EXPECT_EQ(static_cast<bool>(entry.record), c.recordRead) << c.name;
  }
  InstanceEntry marked, moved;
  ASSERT_TRUE(describeEntry(root.get(), "marked", &marked));
  EXPECT_TRUE(marked.mark.readable);
  ASSERT_EQ(marked.mark.made.size(), 1u);
  EXPECT_EQ(marked.mark.made[0].path, "/srv/x");
  ASSERT_TRUE(describeEntry(root.get(), ".removing.moved", &moved));
  EXPECT_EQ(moved.answers["port"], "8082") << "a removal holds the ports until its record goes";
  EXPECT_EQ(moved.owner, 4242u) << "the owner the note kept, not the walk's";
}

TEST_F(Entries, OneEntryPerIdentifierAndTheRemovalFirst) {
  std::vector<InstanceEntry> entries;
  ASSERT_EQ(listEntries(root.get(), &entries), 0);
  std::vector<std::string> listed;
  for (const InstanceEntry& entry : entries) listed.push_back(entry.id + ":" + entry.name);
  EXPECT_EQ(listed, (std::vector<std::string>{"broken.gone:broken.gone", "empty:empty", "fifo:fifo", "legacy:legacy",
                                              "marked:marked", "moved:.removing.moved", "published:published",
                                              "staying:.removing.staying"}));
  InstanceEntry found;
  ASSERT_TRUE(findEntry(root.get(), "staying", &found));
  EXPECT_EQ(found.state, EntryState::Removing);
  EXPECT_FALSE(findEntry(root.get(), "lib", &found));
  EXPECT_FALSE(findEntry(root.get(), ".removing.moved", &found)) << "found by its identifier only";
}

// A mark the instance directory's owner did not write is not read: the
// state stays incomplete, but nothing it lists is acted on.
TEST_F(Entries, AMarkOfAnotherUserIsNotRead) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  const passwd* daemon = getpwnam("daemon");
  ASSERT_NE(daemon, nullptr);
  ASSERT_EQ(chown((rootPath + "/marked/.incomplete").c_str(), daemon->pw_uid, daemon->pw_gid), 0);
  InstanceEntry entry;
  ASSERT_TRUE(describeEntry(root.get(), "marked", &entry));
  EXPECT_EQ(entry.state, EntryState::Incomplete);
  EXPECT_TRUE(entry.mark.present);
  EXPECT_FALSE(entry.mark.readable);
  EXPECT_TRUE(entry.mark.made.empty());
}

TEST_F(Entries, AnIdentifierIsUnfinishedOnlyWhileNoRunWorksOnIt) {
  const std::string server = scratch / "server";
  makeDirs(server + "/https-older");
  const struct {
    const char* id;
    IdentifierUse use;
    std::string where;
  } cases[] = {{"new", IdentifierUse::Free, ""},
               {"published", IdentifierUse::Taken, rootPath + "/published"},
               {"lib", IdentifierUse::Taken, rootPath + "/lib"},
               {"link", IdentifierUse::Taken, rootPath + "/link"},
               {"file", IdentifierUse::Taken, rootPath + "/file"},
               {"older", IdentifierUse::Taken, server + "/https-older"},
               {"empty", IdentifierUse::Unfinished, rootPath + "/empty"},
               {"marked", IdentifierUse::Unfinished, rootPath + "/marked"},
               {"moved", IdentifierUse::Unfinished, rootPath + "/.removing.moved"}};
  for (const auto& c : cases) {
    std::string where;
    EXPECT_EQ(identifierUse(server.c_str(), rootPath.c_str(), c.id, &where), c.use) << c.id;
    EXPECT_EQ(where, c.where) << c.id;
  }
  // Another run holds the lock: it may be the one making "marked" now.
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    close(ready[0]);
    close(done[1]);
    Descriptor lock(open((rootPath + "/.instances.lock").c_str(), O_RDONLY | O_CLOEXEC));
    if (flock(lock.get(), LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
    char wait;
    _exit(read(done[0], &wait, 1) < 0 ? 1 : 0);  // until the parent closes its end
  }
  close(ready[1]);
  close(done[0]);
  char got;
  ASSERT_EQ(read(ready[0], &got, 1), 1) << "the holder could not take the lock";
  EXPECT_EQ(identifierUse(server.c_str(), rootPath.c_str(), "marked"), IdentifierUse::Taken);
  EXPECT_EQ(identifierUse(server.c_str(), rootPath.c_str(), "moved"), IdentifierUse::Taken);
  EXPECT_EQ(identifierUse(server.c_str(), rootPath.c_str(), "marked", nullptr, true), IdentifierUse::Unfinished)
      << "the caller holds the lock itself";
  close(done[1]);
  close(ready[0]);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_EQ(identifierUse(server.c_str(), rootPath.c_str(), "marked"), IdentifierUse::Unfinished);
}

// Published: the mark goes, and with it the incomplete state.
TEST(CreationMarkOnDisk, StartedRewrittenAndRemoved) {
  ScratchDir scratch;
  makeDirs(scratch / "root/web1");
  Descriptor root(open((scratch / "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Descriptor instance(open((scratch / "root/web1").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_FALSE(startCreationMark(instance.get(), scratch / "root/web1"));
  EXPECT_TRUE(startCreationMark(instance.get(), scratch / "root/web1")) << "a second claim cannot mark it";
  EXPECT_EQ(fileMode(scratch / "root/web1/.incomplete"), 0644);
  ASSERT_FALSE(rewriteCreationMark(instance.get(), scratch / "root/web1", {{"/srv/d", true, false, {}}}));
  InstanceEntry entry;
  ASSERT_TRUE(describeEntry(root.get(), "web1", &entry));
  EXPECT_EQ(entry.state, EntryState::Incomplete);
  ASSERT_EQ(entry.mark.made.size(), 1u);
  EXPECT_EQ(listTree(scratch / "root/web1"), std::vector<std::string>{".incomplete"}) << "no temporary file left";
  ASSERT_FALSE(removeCreationMark(instance.get(), scratch / "root/web1"));
  EXPECT_TRUE(describeEntry(root.get(), "web1", &entry)) << "an empty directory is still incomplete";
  EXPECT_EQ(entry.state, EntryState::Incomplete);
}

}  // namespace
