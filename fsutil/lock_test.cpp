// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <string>

#include "tests/testsupport.h"

namespace {

std::string text(const Message& message) { return message ? message.get() : "<no message>"; }

// A second holder waits its turn, and gives up with the lock's name once
// the wait is over; the first holder's end frees the lock at once.
TEST(LockTest, ASecondHolderWaitsThenGivesUpNamingTheLock) {
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("en", &status);
  ScratchDir scratch;
  ScopedMessageBundle bundle(SAMPLE_SERVER_ROOT);
  const std::string root = scratch.path();
  Descriptor first;
  ASSERT_EQ(text(lockFileIn(root.c_str(), ".instances.lock", &first)), "<no message>");
  EXPECT_EQ(fileMode(root + "/.instances.lock"), 0600);

  // A separate process: locks of one process's own descriptors do not exclude each other.
  pid_t child = fork();
  if (child == 0) {
    Descriptor second;
    std::string message = text(lockFileIn(root.c_str(), ".instances.lock", &second, 1));
    _exit(message == "Another run has held the lock " + root + "/.instances.lock for more than 1 seconds; nothing "
                     "was created. Try again later." ? 0 : 1);
  }
  int childStatus = 0;
  ASSERT_EQ(waitpid(child, &childStatus, 0), child);
  EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);

  first.reset();
  Descriptor again;
  EXPECT_EQ(text(lockFileIn(root.c_str(), ".instances.lock", &again, 1)), "<no message>");
}

}  // namespace
