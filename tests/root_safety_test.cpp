// SPDX-License-Identifier: GPL-3.0-or-later
// A run as root against a server user who attacks it: links planted in the
// document root or under the server root, directories swapped for links
// while the run goes on. A sentinel tree of root's outside the instance must
// come out of every run exactly as it went in.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "tests/blackbox.h"

namespace {

const char UNSAFE_LINK[] = "Refusing to write through ";

TreeSnapshot snapshot(const std::string& root) { return snapshotTree(root); }

uid_t uidOf(const std::string& user) {
  passwd* pw = getpwnam(user.c_str());
  return pw ? pw->pw_uid : 0;
}

class RootSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!runningAsRoot()) GTEST_SKIP() << "needs root to be attacked as root";
    makeDirs(sentinel + "/dir");
    writeFile(sentinel + "/secret", "root's own\n", 0600);
    writeFile(sentinel + "/dir/inner", "root's own too\n", 0644);
    before = snapshot(sentinel);
  }

  // A directory of daemon's, as a server user's home would be.
  std::string daemonsDirectory(const std::string& name) {
    std::string path = installation.scratch / name;
    makeDirs(path);
    EXPECT_EQ(chown(path.c_str(), uidOf("daemon"), static_cast<gid_t>(-1)), 0);
    return path;
  }

  ProcessResult create(const std::string& docRoot, const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> env = commandLineEnvironment(installation.root);
    if (!prefix.empty()) env.push_back("ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer cannot run under a tracer
    return runInstall(allOptions("web1", "daemon", docRoot), env, "", prefix);
  }

  void expectSentinelUnchanged() { EXPECT_EQ(snapshot(sentinel), before); }

  Installation installation;
  std::string sentinel = installation.scratch / "sentinel";
  TreeSnapshot before;
};

// Links that the owner of an existing document root planted where the first
// documents go: to a file, to a directory, and a second name of a file.
TEST_F(RootSafety, LinksPlantedInAnExistingDocumentRootAreRefused) {
  const std::string templates = installation.root + "/lib/install/templates";
  makeDirs(templates + "/sub");
  writeFile(templates + "/sub/page.html", "<p>page</p>\n");
  writeFile(templates + "/docs.lst", readFile(templates + "/docs.lst") + "sub/page.html\n");
  struct Plant {
    const char* name;
    std::string target;
    bool hard;
  };
  for (const Plant& plant : {Plant{"style.css", sentinel + "/secret", false}, Plant{"sub", sentinel + "/dir", false},
                             Plant{"logo.gif", sentinel + "/dir/inner", true}}) {
    SCOPED_TRACE(plant.name);
    removeTree(installation.scratch / "www");
    const std::string docRoot = daemonsDirectory("www");
    std::string planted = docRoot + "/" + plant.name;
    ASSERT_EQ(plant.hard ? link(plant.target.c_str(), planted.c_str()) : symlink(plant.target.c_str(), planted.c_str()),
              0);
    before = snapshot(sentinel);  // a second name counts as the sentinel's own
    ProcessResult r = create(docRoot);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.err.rfind(UNSAFE_LINK + planted + ": it is a link", 0), 0u) << r.err;
    expectSentinelUnchanged();
    EXPECT_FALSE(fileExists(installation.root + "/web1"));
    removeTree(installation.root + "/broken.web1");
  }
}

TEST_F(RootSafety, AnAccessControlFileThatIsALinkUnderTheServerRootIsRefused) {
  makeDirs(installation.root + "/config");
  const std::string planted = installation.root + "/config/generated.web1.acl";
  ASSERT_EQ(symlink((sentinel + "/secret").c_str(), planted.c_str()), 0);
  ProcessResult r = create(installation.scratch / "docs");
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(r.err.rfind(UNSAFE_LINK + planted + ": it is a link", 0), 0u) << r.err;
  expectSentinelUnchanged();
}

// The server user swaps every directory of the instance, and a new document
// root made below a directory of its own, for links to the sentinel, while
// strace holds each of the tool's mkdir calls long enough for it to win.
TEST_F(RootSafety, DirectoriesSwappedForLinksDuringTheRunAreNeverWrittenThrough) {
  const std::string docRoot = daemonsDirectory("home") + "/site";
  const std::string instance = installation.root + "/web1";
  // Swaps a directory once it exists as a real one; the instance's only
  // while its backup catalogue is still empty, that is, before it is handed
  // over at the end and is the server user's to change.
  const std::string racer = R"(
    my ($instance, $docroot, $sentinel) = @ARGV;
    my @targets = map { "$instance/$_" } qw(config config/backup logs lib bin applications applications/j2ee-apps);
    my %done;
    $| = 1;
    print "ready\n";
    while (1) {
      for my $path (@targets, $docroot) {
        next if $done{$path} || -l $path || !-d $path;
        next if $path ne $docroot && -s "$instance/config/backup/backups.conf";
        $done{$path} = 1 if rename($path, "$path.moved") && symlink("$sentinel/dir", $path);
      }
      select(undef, undef, undef, 0.001);
    })";
  std::vector<std::string> racerCommand = asUser("daemon");
  for (const std::string& word : {std::string("/usr/bin/perl"), std::string("-e"), racer, instance, docRoot, sentinel})
    racerCommand.push_back(word);
  StartedProcess attacker = startProcess(racerCommand, {"PATH=/usr/bin:/bin"});
  ASSERT_TRUE(waitForLine(attacker, "ready")) << "the racer did not start";
  ProcessResult r = create(docRoot, {"/usr/bin/strace", "-o", "/dev/null", "-e",
                                     "inject=mkdir,mkdirat:delay_exit=300000"});
  kill(attacker.pid(), SIGKILL);
  waitProcess(attacker);

  expectSentinelUnchanged();
  if (r.status == 0) {
    for (const char* directory : {"config", "config/backup", "logs", "lib", "bin", "applications"}) {
      struct stat status;
      ASSERT_EQ(lstat((instance + "/" + directory).c_str(), &status), 0) << directory;
      EXPECT_TRUE(S_ISDIR(status.st_mode)) << directory;
    }
    EXPECT_TRUE(fileExists(instance + "/config/server.xml"));
  } else {
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.rfind(UNSAFE_LINK + docRoot, 0), 0u) << r.err;
  }
}

// Started as daemon: once the directory `name` appears in `directory`, moves
// it aside and renames `replacement` (a directory of root's beside it) into
// its place; prints "ready" once the watch is set.
StartedProcess startSwapper(const std::string& directory, const std::string& name, const std::string& replacement) {
  const std::string swapper = R"(
    use strict;
    my ($directory, $name, $replacement) = @ARGV;
    # inotify_init1(0), inotify_add_watch(fd, directory, IN_CREATE)
    my $fd = syscall(294, 0);
    die "inotify: $!" if $fd < 0 || syscall(254, $fd, $directory, 0x100) < 0;
    open(my $events, '<&=', $fd) or die "$!";
    print "ready\n";
    STDOUT->flush();
    while (sysread($events, my $buffer, 4096)) {
      while (length $buffer >= 16) {
        my (undef, undef, undef, $length) = unpack('iIII', $buffer);
        my $entry = unpack('Z*', substr($buffer, 16, $length));
        $buffer = substr($buffer, 16 + $length);
        next unless $entry eq $name;
        rename("$directory/$name", "$directory/$name.moved") && rename("$directory/$replacement", "$directory/$name");
        exit 0;
      }
    })";
  std::vector<std::string> command = asUser("daemon");
  for (const std::string& word : {std::string("/usr/bin/perl"), std::string("-e"), swapper, directory, name, replacement})
    command.push_back(word);
  return startProcess(command, {"PATH=/usr/bin:/bin"});
}

// A directory of root's beside a new document root below a directory of the
// server user's, renamed into the document root's name the moment the run
// makes it. A swap that comes before the run goes on must be refused: held
// by strace, the run lets the swapper win most times. A run that went on
// first made its documents in its own directory, moved aside with them:
// that attempt staged nothing and is made again. Unslowed, the swapper
// rarely wins; whoever wins, root's directory is never written.
TEST_F(RootSafety, ANewDocumentRootSwappedForADirectoryOfRootsIsRefused) {
  constexpr int STAGED_WANTED = 3, SLOWED_TRIES = 20, UNSLOWED_TRIES = 3;
  // One raced run; true when the swapper won and the run was refused.
  auto race = [this](bool slowed) {
    removeTree(installation.scratch / "www");
    removeTree(installation.root + "/web1");
    removeTree(installation.root + "/broken.web1");
    const std::string www = daemonsDirectory("www");
    makeDirs(www + "/private", 0700);
    writeFile(www + "/private/key", "root's key\n", 0600);
    const auto privateBefore = snapshot(www + "/private");

    StartedProcess swapper = startSwapper(www, "newsite", "private");
    if (!waitForLine(swapper, "ready")) {
      ADD_FAILURE() << "the swapper did not start: " << waitProcess(swapper).err;
      return false;
    }
    ProcessResult r = create(www + "/newsite", slowed ? std::vector<std::string>{"/usr/bin/strace", "-o", "/dev/null",
                                                                                 "-e", "inject=mkdirat:delay_exit=200000"}
                                                      : std::vector<std::string>{});
    kill(swapper.pid(), SIGKILL);
    waitProcess(swapper);

    // Moved aside, with root's directory in its place or (the swapper
    // stopped halfway) not.
    const bool moved = fileExists(www + "/newsite.moved"), swapped = moved && !fileExists(www + "/private");
    EXPECT_EQ(snapshot(www + (swapped ? "/newsite" : "/private")), privateBefore);
    expectSentinelUnchanged();
    if (swapped && r.status == 3) {
      EXPECT_EQ(r.err.rfind(UNSAFE_LINK + www + "/newsite", 0), 0u) << r.err;
      return true;
    }
    // Otherwise the run went on in its own directory before any swap, or
    // met a half-done one; only root's directory is judged then.
    if (!moved) {
      EXPECT_EQ(r.status, 0) << r.err;
    } else if (swapped) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(fileExists(www + "/newsite.moved/index.html")) << "the swap came first, unrefused";
    }
    return false;
  };
  int staged = 0, tries = 0;
  while (staged < STAGED_WANTED && tries < SLOWED_TRIES && !HasFailure()) {
    SCOPED_TRACE("slowed, attempt " + std::to_string(++tries));
    staged += race(true);
  }
  EXPECT_GT(staged, 0) << "the swapper never won in " << tries << " slowed tries";
  for (int attempt = 1; attempt <= UNSLOWED_TRIES; ++attempt) {
    SCOPED_TRACE("unslowed, attempt " + std::to_string(attempt));
    race(false);
  }
}

// fs.protected_hardlinks, while set to `value`; skipped where it cannot be.
class HardlinkProtection {
 public:
  explicit HardlinkProtection(const std::string& value) {
    saved_ = readFile(PATH);
    std::FILE* file = std::fopen(PATH, "w");
    set_ = file && std::fputs(value.c_str(), file) >= 0;
    if (file) set_ = std::fclose(file) == 0 && set_;
  }
  ~HardlinkProtection() {
    if (std::FILE* file = std::fopen(PATH, "w")) {
      std::fputs(saved_.c_str(), file);
      std::fclose(file);
    }
  }
  bool set() const { return set_; }

 private:
  static constexpr const char* PATH = "/proc/sys/fs/protected_hardlinks";
  std::string saved_;
  bool set_ = false;
};

// With hard links to other users' files allowed, the server user gives a
// second name to root's own link, to root's files and to a root-only
// password file; none of them is trusted, written, handed over or read.
TEST_F(RootSafety, SecondNamesMadeByTheServerUserAreNeverTrusted) {
  HardlinkProtection unprotected("0");
  if (!unprotected.set()) GTEST_SKIP() << "fs.protected_hardlinks cannot be set here";
  const std::string pub = installation.scratch / "pub";
  makeDirs(pub);
  ASSERT_EQ(chmod(pub.c_str(), 01777), 0);
  // The administrator's own link, trusted as it stands in a sticky directory of root's.
  ASSERT_EQ(symlink((sentinel + "/dir").c_str(), (pub + "/shared-docs").c_str()), 0);
  const std::string www = daemonsDirectory("www");
  const std::string password = installation.scratch / "root-password";
  writeFile(password, "root-only-secret\n", 0600);
  const std::string script = "link('" + pub + "/shared-docs', '" + pub + "/site') or die \"site: $!\";"
                             "link('" + sentinel + "/secret', '" + www + "/style.css') or die \"css: $!\";"
                             "link('" + password + "', '" + www + "/pw') or die \"pw: $!\";";
  std::vector<std::string> command = asUser("daemon");
  command.insert(command.end(), {"/usr/bin/perl", "-e", script});
  ProcessResult linked = runProcess(command, {"PATH=/usr/bin:/bin"});
  ASSERT_EQ(linked.status, 0) << linked.err;
  before = snapshot(sentinel);

  ProcessResult r = create(pub + "/site");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err.rfind(UNSAFE_LINK + pub + "/site", 0), 0u) << r.err;
  removeTree(installation.root + "/broken.web1");

  r = create(www);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err.rfind(UNSAFE_LINK + www + "/style.css", 0), 0u) << r.err;
  removeTree(installation.root + "/broken.web1");

  std::vector<std::string> args = allOptions("web1", "daemon", installation.scratch / "docs");
  args.erase(args.begin() + 14, args.begin() + 16);  // -W secret
  args.insert(args.end(), {"-w", www + "/pw"});
  r = runInstall(args, commandLineEnvironment(installation.root));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Refusing to read " + www + "/pw: it has a second name (a hard link), so it may be a file kept "
                   "elsewhere.\n");
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
  expectSentinelUnchanged();
}

TEST_F(RootSafety, AnInstancesRootOthersCanWriteToIsRefusedBeforeAnythingIsMade) {
  ASSERT_EQ(chmod(installation.root.c_str(), 0777), 0);
  ProcessResult r = create(installation.scratch / "docs");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "The directory " + installation.root +
                       " can be changed by users other than root; a run as root does not create an instance below "
                       "it.\n");
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
  EXPECT_FALSE(fileExists(installation.scratch / "docs"));
}

// Run by an ordinary user, so that a fault could never reach "/".
TEST_F(RootSafety, AnEmptyOrRelativeServerRootIsRefused) {
  for (const std::string& root : {std::string(""), std::string("  "), std::string("server-root")}) {
    SCOPED_TRACE("root '" + root + "'");
    ProcessResult cli = runInstall(allOptions("web1", "daemon", "/nonexistent/docs"), commandLineEnvironment(root),
                                   "", asUser("daemon"));
    EXPECT_EQ(cli.status, 3);
    EXPECT_NE(cli.err.find("is not an absolute path"), std::string::npos) << cli.err;

    std::string body = formBody({{"servname", "www.example.test"}, {"servport", "8080"}, {"servid", "web1"},
                                 {"servuser", "daemon"}, {"dns", "off"}, {"docroot", "/nonexistent/docs"}});
    ProcessResult cgi = runInstall({}, cgiEnvironment(root, "POST", body), body, asUser("daemon"));
    EXPECT_EQ(cgi.status, 3);
    EXPECT_NE(cgi.out.find("is not an absolute path"), std::string::npos) << cgi.out;
  }
}

}  // namespace
