// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/server.h"

#include <gtest/gtest.h>

namespace {

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

}  // namespace
