// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/inventory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

TEST(PidFile, OnlyOneDecimalNumberIsAProcess) {
  struct {
    const char* text;
    pid_t pid;
  } cases[] = {{"123\n", 123}, {" 42 \n", 42}, {"7", 7},        {"", 0},   {"0\n", 0},
               {"-5\n", 0},    {"12 13\n", 0}, {"12abc\n", 0}, {"9999999999\n", 0}, {"\n", 0}};
  for (const auto& c : cases) EXPECT_EQ(parsePidText(c.text), c.pid) << '"' << c.text << '"';
}

TEST(ProcessStatus, ALiveProcessOfTheOwnerOnly) {
  const std::string sleeping = "Name:\tlighttpd\nState:\tS (sleeping)\nUid:\t1\t1\t1\t1\n";
  EXPECT_TRUE(statusShowsLiveProcessOf(sleeping, 1));
  EXPECT_FALSE(statusShowsLiveProcessOf(sleeping, 0));
  EXPECT_FALSE(statusShowsLiveProcessOf("State:\tZ (zombie)\nUid:\t1\t1\t1\t1\n", 1));
  EXPECT_FALSE(statusShowsLiveProcessOf("State:\tR (running)\nUid:\t10\t1\t1\t1\n", 1));
  EXPECT_FALSE(statusShowsLiveProcessOf("State:\tR (running)\n", 0));
}

TEST(ProcessCommandLine, AnArgumentInsideTheInstanceMakesItTheServer) {
  using namespace std::string_literals;
  EXPECT_TRUE(commandLineNamesPathIn("perl\0/srv/s/web1/bin/x\0"s, "/srv/s/web1"));
  EXPECT_TRUE(commandLineNamesPathIn("lighttpd\0-f\0/srv//s/web1/logs/l.conf\0"s, "/srv//s/web1"));
  EXPECT_TRUE(commandLineNamesPathIn("lighttpd\0-f\0/srv/s/web1/logs/l.conf\0"s, "/srv//s/web1"));
  EXPECT_FALSE(commandLineNamesPathIn("sleep\0/srv/s/web10/x\0"s, "/srv/s/web1"));
  EXPECT_FALSE(commandLineNamesPathIn("sleep\0/srv/s/web1\0"s, "/srv/s/web1"));
  EXPECT_FALSE(commandLineNamesPathIn(""s, "/srv/s/web1"));
}

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
    EXPECT_EQ(listInstances(root.get(), rootPath, &found), 0);
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
  EXPECT_EQ(names(), (std::vector<std::string>{"broken.web2.1:broken", "old:unknown", "web1:stopped"}));
}

// A record its owner turned into a FIFO, a link or a huge file is shown as
// unknown; reading it must neither block nor follow.
TEST_F(Inventory, AnOddRecordIsUnknownAndNeverBlocks) {
  instance("fifo", "");
  ASSERT_EQ(mkfifo((rootPath + "/fifo/config/answers.conf").c_str(), 0644), 0);
  instance("linked", "");
  writeFile(scratch / "elsewhere.conf", "serverId = linked\n");
  ASSERT_EQ(symlink((scratch / "elsewhere.conf").c_str(), (rootPath + "/linked/config/answers.conf").c_str()), 0);
  instance("huge", std::string(70 * 1024, 'x'));
  instance("good", "serverId = good\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"fifo:unknown", "good:stopped", "huge:unknown", "linked:unknown"}));
}

// A child of this test named after a path in the instance stands for its server.
TEST_F(Inventory, RunningOnlyWhileThePidFileNamesALiveServerOfTheOwner) {
  instance("web1", "serverId = web1\n");
  const std::string instanceDir = rootPath + "/web1";
  StartedProcess server = startProcess({"/bin/sh", "-c", "sleep 30; :", instanceDir + "/bin/server"}, {});
  writeFile(instanceDir + "/logs/pid", std::to_string(server.pid()) + "\n");
  InstanceInfo info;
  bool described = true;
  // Until it shows as running, or reading it fails.
  auto runningIs = [&](bool running) {
    described = lookUpInstance(root.get(), rootPath, "web1", &info);
    return !described || (info.pid != 0) == running;
  };
  // The shell needs a moment to exist under its own command line.
  eventually([&] { return runningIs(true); });
  ASSERT_TRUE(described);
  EXPECT_EQ(info.pid, server.pid());
  EXPECT_EQ(info.state, InstanceState::Running);

  StartedProcess other = startProcess({"/bin/sh", "-c", "sleep 30; :", rootPath + "/web10/x"}, {});
  writeFile(instanceDir + "/logs/pid", std::to_string(other.pid()) + "\n");
  ASSERT_TRUE(lookUpInstance(root.get(), rootPath, "web1", &info));
  EXPECT_EQ(info.state, InstanceState::Stopped) << "not the instance's server";

  writeFile(instanceDir + "/logs/pid", std::to_string(server.pid()) + "\n");
  kill(server.pid(), SIGKILL);
  eventually([&] { return runningIs(false); });
  ASSERT_TRUE(described);
  EXPECT_EQ(info.state, InstanceState::Stopped) << "a zombie is no server";
}

}  // namespace
