// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/inventory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

class Inventory : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(rootPath);
    root.reset(open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  void instance(const std::string& name, const std::string& record) {
    makeDirs(rootPath + "/" + name + "/config");
    makeDirs(rootPath + "/" + name + "/logs");
    if (!record.empty()) writeFile(rootPath + "/" + name + "/config/answers.conf", record);
  }
  std::vector<std::string> names() {
    std::vector<InstanceInfo> found;
    EXPECT_EQ(listInstances(root.get(), &found), 0);
    std::vector<std::string> listed;
    for (const InstanceInfo& info : found) listed.push_back(info.entry.id + ":" + stateName(info.state));
    return listed;
  }
  ScratchDir scratch;
  std::string rootPath = scratch / "root";
  Descriptor root;
};

TEST_F(Inventory, TellsInstancesFromTheInstallationsOwnDirectories) {
  instance("web1", "serverId = web1\nport = 8080\n");
  instance("old", "");
  makeDirs(rootPath + "/old/bin");
  writeFile(rootPath + "/old/bin/startserv", "#!/bin/sh\n", 0755);
  makeDirs(rootPath + "/broken.web2.1");
  makeDirs(rootPath + "/lib/install");
  makeDirs(rootPath + "/admin-server/config");
  instance(".hidden", "serverId = x\n");
  ASSERT_EQ(symlink((rootPath + "/web1").c_str(), (rootPath + "/link").c_str()), 0);
  writeFile(rootPath + "/.instances.lock", "");
  EXPECT_EQ(names(), (std::vector<std::string>{"broken.web2.1:broken", "old:stopped", "web1:stopped"}));
}

// A record its owner turned into a FIFO, a link or a huge file is not
// read; reading it must neither block nor follow. Its state is its server's.
TEST_F(Inventory, AnOddRecordIsNotReadAndNeverBlocks) {
  instance("fifo", "");
  ASSERT_EQ(mkfifo((rootPath + "/fifo/config/answers.conf").c_str(), 0644), 0);
  instance("linked", "");
  writeFile(scratch / "elsewhere.conf", "serverId = linked\n");
  ASSERT_EQ(symlink((scratch / "elsewhere.conf").c_str(), (rootPath + "/linked/config/answers.conf").c_str()), 0);
  instance("huge", std::string(70 * 1024, 'x'));
  instance("good", "serverId = good\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"fifo:stopped", "good:stopped", "huge:stopped", "linked:stopped"}));
  for (const char* odd : {"fifo", "huge", "linked"}) {
    InstanceInfo info;
    ASSERT_TRUE(lookUpInstance(root.get(), odd, &info));
    EXPECT_FALSE(info.entry.record) << odd;
    EXPECT_TRUE(info.entry.answers.empty()) << odd;
  }
}

// This process holding the lock stands for the server, whatever the record
// says or whether there is one: no pid file, no command line.
TEST_F(Inventory, RunningWhileItsServerHoldsTheLockWhateverTheRecord) {
  instance("web1", "serverId = web1\n");
  instance("fifo", "");
  ASSERT_EQ(mkfifo((rootPath + "/fifo/config/answers.conf").c_str(), 0644), 0);
  for (const char* id : {"web1", "fifo"}) {
    Descriptor lock(open((rootPath + "/" + id + "/logs/server.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(flock(lock.get(), LOCK_EX | LOCK_NB), 0);
    InstanceInfo info;
    ASSERT_TRUE(lookUpInstance(root.get(), id, &info));
    EXPECT_EQ(info.state, InstanceState::Running) << id;
    EXPECT_EQ(info.pid, getpid()) << id;
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"fifo:stopped", "web1:stopped"}));
}

}  // namespace
