// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/docroot.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "tests/testsupport.h"

namespace {

using Entries = std::vector<std::string>;

const Entries SAMPLE_DOCUMENTS = {"index.html", "logo.gif", "style.css"};

uid_t daemonUid() {
  passwd* user = getpwnam("daemon");
  return user ? user->pw_uid : 0;
}

gid_t daemonGid() {
  passwd* user = getpwnam("daemon");
  return user ? user->pw_gid : 0;
}

// A scratch copy of the sample installation, the message bundle open in
// English, and a record whose document root tests point where they need.
class DocRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLocale_ = uloc_getDefault();
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en_US", &status);
    root_ = copySampleInstallation(scratch_);
    bundle_ = std::make_unique<ScopedMessageBundle>(root_.c_str());
    std::memset(&record_, 0, sizeof record_);
    setInstanceDefaults(root_.c_str(), "www.example.com", &record_);
    record_.serverId = "server1";
    record_.serverUser = "daemon";
    useDocRoot(scratch_ / "docs");
  }
  void TearDown() override {
    bundle_.reset();
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(savedLocale_.c_str(), &status);
  }

  void useDocRoot(const std::string& path) {
    docRoot_ = path;
    record_.docRoot = docRoot_.c_str();
  }
  std::string templates() const { return root_ + "/lib/install/templates"; }
  // Replaces the plain docs.lst and adds the template files it names.
  void writeList(const std::string& list, const Entries& documents = {}) {
    writeFile(templates() + "/docs.lst", list);
    for (const std::string& name : documents) writeFile(templates() + "/" + name, "doc " + name);
  }
  Message populate() { return populateDocRoot(&record_); }

  ScratchDir scratch_;
  std::string savedLocale_, root_, docRoot_;
  std::unique_ptr<ScopedMessageBundle> bundle_;
  InstanceRecord record_;
};

TEST_F(DocRoot, ANewRootIsMadeWithItsParentsFilledAndHandedToTheServerUser) {
  useDocRoot(scratch_ / "a/b/docs");
  Message failure = populate();
  ASSERT_FALSE(failure) << failure.get();
  EXPECT_EQ(SAMPLE_DOCUMENTS, listTree(docRoot_));
  EXPECT_EQ(0755, fileMode(docRoot_));
  for (const std::string& name : SAMPLE_DOCUMENTS) {
    EXPECT_EQ(readFile(templates() + "/" + name), readFile(docRoot_ + "/" + name)) << name;
    EXPECT_EQ(0644, fileMode(docRoot_ + "/" + name)) << name;
  }
  if (runningAsRoot()) {
    EXPECT_EQ(daemonUid(), fileOwner(docRoot_));
    EXPECT_EQ(daemonUid(), fileOwner(docRoot_ + "/index.html"));
    EXPECT_EQ(0u, fileOwner(scratch_ / "a/b"));  // only the document root is the server's
  }
}

TEST_F(DocRoot, AnExistingEmptyRootIsFilledAndKeepsItsOwners) {
  makeDirs(docRoot_);
  ASSERT_FALSE(populate());
  EXPECT_EQ(SAMPLE_DOCUMENTS, listTree(docRoot_));
  EXPECT_EQ(geteuid(), fileOwner(docRoot_));
  EXPECT_EQ(geteuid(), fileOwner(docRoot_ + "/index.html"));
}

TEST_F(DocRoot, ARootWithAHomePageIsLeftAlone) {
  for (const char* page : {"index.html", "home.html"}) {
    ScratchDir other;
    useDocRoot(other / "docs");
    makeDirs(docRoot_);
    writeFile(docRoot_ + "/" + page, "mine");
    ASSERT_FALSE(populate()) << page;
    EXPECT_EQ(Entries{page}, listTree(docRoot_)) << page;
    EXPECT_EQ("mine", readFile(docRoot_ + "/" + page));
  }
}

TEST_F(DocRoot, TheLanguageChoosesTheTemplateDirectoryWithFallbacks) {
  // fr_FR exists beside fr, and en exists but must never be used.
  for (const char* language : {"fr_FR", "en"}) {
    makeDirs(templates() + "/" + language);
    writeFile(templates() + "/" + language + "/docs.lst", "index.html\n");
    writeFile(templates() + "/" + language + "/index.html", language);
  }
  const std::string plain = readFile(templates() + "/index.html");
  const std::string french = readFile(templates() + "/fr/index.html");
  struct Case {
    const char* language;
    std::string expected;
  } cases[] = {
      {nullptr, plain},     {"en", plain},          {"fr", french},    {"fr_FR", "fr_FR"},
      {"fr_FR_x", french},  {"fr_CA", french},       {"de", plain},     {"de_DE_x", plain},
  };
  for (const Case& c : cases) {
    ScratchDir other;
    useDocRoot(other / "docs");
    record_.docLanguage = c.language;
    Message failure = populate();
    ASSERT_FALSE(failure) << failure.get();
    EXPECT_EQ(c.expected, readFile(docRoot_ + "/index.html")) << (c.language ? c.language : "(none)");
  }
  EXPECT_NE(plain, french);
}

TEST_F(DocRoot, ListLinesAreNamesAsTheyStand) {
  struct Case {
    const char* list;
    Entries documents;
    Entries expected;
  } cases[] = {
      {"a.html\nlast.html", {"a.html", "last.html"}, {"a.html", "last.html"}},
      {"# only comments\n\n#index.html\n", {}, {}},
      {"", {}, {}},
      {"two words.html\n\n#x\nlead.html\n", {"two words.html", "lead.html"}, {"lead.html", "two words.html"}},
      {"..dots.html\nx..y.html\n", {"..dots.html", "x..y.html"}, {"..dots.html", "x..y.html"}},
  };
  for (const Case& c : cases) {
    ScratchDir other;
    useDocRoot(other / "docs");
    writeList(c.list, c.documents);
    Message failure = populate();
    ASSERT_FALSE(failure) << c.list << ": " << failure.get();
    EXPECT_EQ(c.expected, listTree(docRoot_)) << c.list;
  }
}

TEST_F(DocRoot, ADocumentInAMissingSubdirectoryCannotBeWritten) {
  makeDirs(templates() + "/sub");
  writeList("first.html\nsub/page.html\nafter.html\n", {"first.html", "sub/page.html", "after.html"});
  Message failure = populate();
  ASSERT_TRUE(failure);
  EXPECT_EQ("Cannot open " + docRoot_ + "/sub/page.html for writing: No such file or directory",
            std::string(failure.get()));
  EXPECT_EQ(Entries{}, listTree(docRoot_)) << "a failure known beforehand copies nothing";

  makeDirs(docRoot_ + "/sub");
  ASSERT_FALSE(populate());
  EXPECT_EQ("doc sub/page.html", readFile(docRoot_ + "/sub/page.html"));
  EXPECT_EQ("doc after.html", readFile(docRoot_ + "/after.html"));
}

// The home page marks a filled root: a run stopped by a failed copy must not
// leave one, or the next run would take the root for filled and skip it.
TEST_F(DocRoot, TheHomePageComesLastAndWholeSoAStoppedRootIsFilledAgain) {
  writeList("index.html\nhome.html\nfirst.css\nmissing.gif\nlast.css\n",
            {"index.html", "home.html", "first.css", "last.css"});
  Message failure = populate();
  ASSERT_TRUE(failure);
  EXPECT_EQ("Cannot open " + templates() + "/missing.gif for reading: No such file or directory",
            std::string(failure.get()));
  EXPECT_EQ(Entries{}, listTree(docRoot_)) << "a failure known beforehand copies nothing";

  writeFile(templates() + "/missing.gif", "doc missing.gif");
  ASSERT_FALSE(populate());
  EXPECT_EQ((Entries{"first.css", "home.html", "index.html", "last.css", "missing.gif"}), listTree(docRoot_));
  for (const char* name : {"index.html", "home.html", "last.css"}) {
    EXPECT_EQ("doc " + std::string(name), readFile(docRoot_ + "/" + name)) << name;
    EXPECT_EQ(0644, fileMode(docRoot_ + "/" + name)) << name;
  }
}

// 1500 characters arrive as a piece of 1022 and one of 478, each a name.
TEST_F(DocRoot, ALongLineIsReadInPiecesOfAtMost1022Characters) {
  const std::string dir(200, 'd');
  const std::string first = dir + "/" + dir + "/" + dir + "/" + dir + "/" + std::string(1022 - 804, 'f');
  const std::string second = dir + "/" + dir + "/" + std::string(478 - 402, 's');
  ASSERT_EQ(1500u, (first + second).size());
  std::string nested = dir;
  for (int i = 0; i < 4; ++i, nested += "/" + dir) {
    makeDirs(templates() + "/" + nested);
    makeDirs(docRoot_ + "/" + nested);
  }
  writeList(first + second + "\n", {first, second});
  Message failure = populate();
  ASSERT_FALSE(failure) << failure.get();
  EXPECT_EQ("doc " + first, readFile(docRoot_ + "/" + first));
  EXPECT_EQ("doc " + second, readFile(docRoot_ + "/" + second));
}

TEST_F(DocRoot, EntriesLeavingTheDocumentRootAreRefused) {
  writeFile(scratch_ / "escape.html", "outside");
  for (const char* entry : {"/etc/hostname", "../escape.html", "ok/../../escape.html", "..", "a/.."}) {
    ScratchDir other;
    useDocRoot(other / "docs");
    writeList(std::string("index.html\n") + entry + "\n", {"index.html"});
    Message failure = populate();
    ASSERT_TRUE(failure) << entry;
    EXPECT_EQ("The document list " + templates() + "/docs.lst names \"" + entry +
                  "\", which is not a relative path inside the document root.",
              std::string(failure.get()));
    EXPECT_EQ(Entries{}, listTree(docRoot_)) << entry << ": the home page comes last";
    EXPECT_FALSE(fileExists(other / "escape.html")) << entry;
  }
}

TEST_F(DocRoot, FailuresOfTheRootAndTheListAreReported) {
  writeFile(scratch_ / "plain-file", "");
  useDocRoot(scratch_ / "plain-file/docs");
  Message mkdirFailure = populate();
  ASSERT_TRUE(mkdirFailure);
  EXPECT_EQ("Cannot create the directory " + docRoot_ + ": Not a directory", std::string(mkdirFailure.get()));

  useDocRoot(scratch_ / "docs");
  unlink((templates() + "/docs.lst").c_str());
  Message listFailure = populate();
  ASSERT_TRUE(listFailure);
  EXPECT_EQ("Cannot open " + templates() + "/docs.lst for reading: No such file or directory",
            std::string(listFailure.get()));
  EXPECT_FALSE(fileExists(docRoot_)) << "not made for a list that cannot be read";

  makeDirs(templates() + "/docs.lst");
  Message readFailure = populate();
  ASSERT_TRUE(readFailure);
  EXPECT_EQ("Cannot read " + templates() + "/docs.lst: Is a directory", std::string(readFailure.get()));
}

// Run by an ordinary user, a new document root stays that user's and the
// run succeeds without trying to change owners.
TEST_F(DocRoot, AnOrdinaryUserMakesARootThatStaysItsOwn) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to become daemon";
  const std::string home = scratch_ / "daemon-home";
  makeDirs(home);
  ASSERT_EQ(0, chown(home.c_str(), daemonUid(), daemonGid()));
  useDocRoot(home + "/docs");
  record_.serverUser = "root";
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(daemonGid(), daemonGid(), daemonGid()) != 0 ||
        setresuid(daemonUid(), daemonUid(), daemonUid()) != 0)
      _exit(9);
    Message failure = populate();
    _exit(failure ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(SAMPLE_DOCUMENTS, listTree(docRoot_));
  EXPECT_EQ(daemonUid(), fileOwner(docRoot_));
  EXPECT_EQ(daemonUid(), fileOwner(docRoot_ + "/index.html"));
}

}  // namespace

namespace {

struct ListWalk {
  std::vector<std::string> names;
  std::string message;
};

// Walks `list` as docs.lst; the visitor refuses the name "stop".
ListWalk walkList(const std::string& list) {
  FILE* stream = fmemopen(const_cast<char*>(list.data()), list.size(), "r");
  ListWalk walk;
  Message failure = forEachListedDocument(stream, "/t/docs.lst", [&walk](const std::string& name) {
    walk.names.push_back(name);
    return name == "stop" ? adoptMessage(strdup("stopped")) : Message();
  });
  std::fclose(stream);
  walk.message = failure ? failure.get() : "";
  return walk;
}

}  // namespace

TEST_F(DocRoot, ListWalkOnAStream) {
  const std::string longName(1030, 'n');
  struct Case {
    std::string list;
    std::vector<std::string> names;
    std::string message;
  } cases[] = {
      {"# c\n\na b\r\nsub/x.html\nlast", {"a b\r", "sub/x.html", "last"}, ""},
      {longName + "\n", {std::string(1022, 'n'), std::string(8, 'n')}, ""},
      {"one\nstop\nnever\n", {"one", "stop"}, "stopped"},
      {"one\na/../b\nnever\n", {"one"},
       "The document list /t/docs.lst names \"a/../b\", which is not a relative path inside the document root."},
      {"/etc/passwd\n", {},
       "The document list /t/docs.lst names \"/etc/passwd\", which is not a relative path inside the document root."},
      {"a..b/..c/.\n", {"a..b/..c/."}, ""},
  };
  for (const Case& c : cases) {
    ListWalk walk = walkList(c.list);
    EXPECT_EQ(walk.names, c.names) << c.list.substr(0, 40);
    EXPECT_EQ(walk.message, c.message) << c.list.substr(0, 40);
  }
}
