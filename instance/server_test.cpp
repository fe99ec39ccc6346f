// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

// Lines of /proc/locks about the file 08:02:1234 and others.
TEST(ServerLock, TheHolderIsTheFirstGrantedLockOnTheFile) {
  const dev_t device = makedev(8, 2);
  const struct {
    const char* locks;
    bool held;
    pid_t pid;
  } cases[] = {
      {"", false, 0},
      {"1: FLOCK  ADVISORY  WRITE 4242 08:02:1234 0 EOF\n", true, 4242},
      {"1: POSIX  ADVISORY  WRITE 77 08:02:1234 0 EOF\n", true, 77},
      {"1: OFDLCK ADVISORY  WRITE -1 08:02:1234 0 EOF\n", true, -1},
      // A lock that only waits holds nothing.
      {"1: FLOCK  ADVISORY  WRITE 10 08:02:999 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 11 08:02:1234 0 EOF\n", false, 0},
      {"1: FLOCK  ADVISORY  READ 12 08:02:1234 0 EOF\n2: FLOCK  ADVISORY  WRITE 13 08:02:1234 0 EOF\n", true, 13},
      // Another device, another inode, or a field out of its format.
      {"1: FLOCK  ADVISORY  WRITE 14 08:03:1234 0 EOF\n", false, 0},
      {"1: FLOCK  ADVISORY  WRITE 15 08:02:12345 0 EOF\n", false, 0},
      {"1: FLOCK  ADVISORY  WRITE +16 08:02:1234 0 EOF\n", false, 0},
      {"1: FLOCK  ADVISORY  WRITE 17 08:02:-1234 0 EOF\n", false, 0},
  };
  for (const auto& c : cases) {
    const LockHolder holder = lockHolderIn(c.locks, device, 1234);
    EXPECT_EQ(holder.held, c.held) << c.locks;
    EXPECT_EQ(holder.pid, c.pid) << c.locks;
  }
}

// Neither a pid file nor a command line: the live process holding the
// lock, as long as every user id of it is the owner's.
TEST(ServerLock, OnlyALiveProcessWhollyTheOwnersIsItsServer) {
  const struct {
    const char* status;
    bool owners;
  } cases[] = {
      {"Name:\tlighttpd\nState:\tS (sleeping)\nUid:\t1\t1\t1\t1\n", true},
      {"State:\tR (running)\nUid:\t1\t1\t1\t1\nGid:\t0\t0\t0\t0\n", true},
      {"State:\tZ (zombie)\nUid:\t1\t1\t1\t1\n", false},
      {"State:\tX (dead)\nUid:\t1\t1\t1\t1\n", false},
      {"State:\tS (sleeping)\nUid:\t10\t1\t1\t1\n", false},
      {"State:\tS (sleeping)\nUid:\t1\t0\t1\t1\n", false},  // set-user-ID root, started by the owner
      {"State:\tS (sleeping)\nUid:\t1\t1\t1\t0\n", false},
      {"State:\tS (sleeping)\nUid:\t1\t1\t1\n", false},
      {"State:\tS (sleeping)\n", false},
      {"Uid:\t1\t1\t1\t1\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(statusShowsProcessOf(c.status, 1), c.owners) << c.status;
}

class ServerProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(scratch / "instance/logs");
    instance.reset(open((scratch / "instance").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  Descriptor lockFile() {
    return Descriptor(open((scratch / "instance/logs/server.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  }
  ScratchDir scratch;
  Descriptor instance;
};

TEST_F(ServerProbe, TellsTheStateFromTheLockAlone) {
  const pid_t self = getpid();
  Descriptor held;
  const struct {
    const char* what;
    std::function<void()> arrange;
    uid_t owner;
    ServerState state;
    pid_t pid;
  } cases[] = {
      {"no lock file", [] {}, geteuid(), ServerState::Stopped, 0},
      {"a pid file naming this process", [&] { writeFile(scratch / "instance/logs/pid", std::to_string(self) + "\n"); },
       geteuid(), ServerState::Stopped, 0},
      {"a lock file nobody holds", [&] { lockFile(); }, geteuid(), ServerState::Stopped, 0},
      {"held by this process", [&] { held = lockFile(); ASSERT_EQ(flock(held.get(), LOCK_EX | LOCK_NB), 0); },
       geteuid(), ServerState::Running, self},
      {"held by a process of another user", [] {}, geteuid() + 1, ServerState::Foreign, self},
      {"released", [&] { held.reset(); }, geteuid(), ServerState::Stopped, 0},
      {"held by an open file description", [&] {
         held = lockFile();
         struct flock lock {};
         lock.l_type = F_WRLCK;
         lock.l_whence = SEEK_SET;
         ASSERT_EQ(fcntl(held.get(), F_OFD_SETLK, &lock), 0);
       }, geteuid(), ServerState::Unknown, 0},
      {"logs is a link", [&] {
         held.reset();
         removeTree(scratch / "instance/logs");
         makeDirs(scratch / "elsewhere");
         ASSERT_EQ(symlink((scratch / "elsewhere").c_str(), (scratch / "instance/logs").c_str()), 0);
       }, geteuid(), ServerState::Unknown, 0},
  };
  for (const auto& c : cases) {
    c.arrange();
    const ServerStatus status = probeServer(instance.get(), c.owner);
    EXPECT_EQ(status.state, c.state) << c.what;
    EXPECT_EQ(status.pid, c.pid) << c.what;
  }
}

}  // namespace
