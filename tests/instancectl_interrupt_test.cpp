// SPDX-License-Identifier: GPL-3.0-or-later
// Ctrl-C while instancectl remove --stop waits for the instance's
// bin/stopserv: the script, in a session of its own, gets the signal from
// instancectl, and instancectl then ends by it before anything is removed,
// as it did when it shared the terminal's process group with the script.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/blackbox.h"

namespace {

bool planted(const std::string& pidFile) { return !readFile(pidFile).empty(); }

// A process whose command line holds `text`, or 0.
pid_t processRunning(const std::string& text) {
  DIR* proc = opendir("/proc");
  pid_t found = 0;
  while (const dirent* entry = proc ? readdir(proc) : nullptr) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (readFile("/proc/" + pid + "/cmdline").find(text) != std::string::npos) {
      found = std::stoi(pid);
      break;
    }
  }
  if (proc) closedir(proc);
  return found;
}

TEST(InstancectlInterrupted, CtrlCDuringTheStopEndsItBeforeAnythingGoes) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  Installation installation;
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  env.push_back("INSTALL_CHECK_PORTS=no");
  ASSERT_EQ(runInstall(allOptions("web1", "daemon", installation.scratch / "docs"), env).status, 0);
  const std::string instance = installation.root + "/web1";
  const std::string pidFile = instance + "/logs/pid";
  // A server that lets SIGTERM pass: stopserv waits for it. It holds the
  // server's lock before it writes its pid file.
  std::vector<std::string> server = asUser("daemon");
  for (const std::string& word :
       {std::string("/usr/bin/perl"), std::string("-e"),
        std::string("use Fcntl ':flock'; $SIG{TERM} = 'IGNORE'; open(my $l, '>>', $ARGV[1]) or die; "
                    "flock($l, LOCK_EX) or die; open(my $o, '>', $ARGV[0]) or die; print {$o} \"$$\\n\"; close $o; sleep 1 while 1"),
        pidFile, instance + "/logs/server.lock", instance + "/stubborn-server"})
    server.push_back(word);
  StartedProcess stubborn = startProcess(server, {"PATH=/usr/bin:/bin"}, "", true);
  for (int tries = 0; tries < 6000 && !planted(pidFile); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(planted(pidFile));

  StartedProcess removal = startProcess({INSTANCECTL_BINARY, "remove", "web1", "--stop"},
                                        {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + installation.root});
  pid_t script = 0;
  for (int tries = 0; tries < 6000 && !(script = processRunning(instance + "/bin/stopserv")); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(script, 0) << "stopserv never ran";
  kill(removal.pid(), SIGINT);
  ProcessResult ended = waitProcess(removal);
  EXPECT_EQ(ended.status, 128 + SIGINT) << ended.err;
  EXPECT_NE(kill(script, 0), 0) << "the script got the signal too";
  EXPECT_TRUE(fileExists(instance + "/bin/stopserv")) << "nothing was removed";
  kill(-stubborn.pid(), SIGKILL);
}

}  // namespace
