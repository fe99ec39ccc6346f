// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/asowner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

constexpr const char* PYTHON = "/usr/bin/python3";

// What the owner's side sees of itself, as one JSON line on standard output.
const char PROBE[] = R"(
import json, os
stat = open('/proc/self/stat').read()
fields = stat[stat.rindex(')') + 2:].split()
status = dict(line.split(':', 1) for line in open('/proc/self/status').read().splitlines())
fds = {}
for fd in os.listdir('/proc/self/fd'):
    try:
        fds[fd] = os.readlink('/proc/self/fd/' + fd)
    except OSError:
        pass
terminal = None
try:
    os.close(os.open('/dev/tty', os.O_RDWR))
    terminal = 'opened'
except OSError as e:
    terminal = e.strerror
print(json.dumps({
    'uid': os.getresuid(), 'gid': os.getresgid(), 'groups': sorted(os.getgroups()),
    'tty_nr': int(fields[4]), 'session_leader': int(fields[3]) == os.getpid(),
    'fds': fds, 'isatty': [os.isatty(fd) for fd in (0, 1, 2)], 'dev_tty': terminal,
    'environment': dict(os.environ),
    'capabilities': {name: int(status[name].strip(), 16) for name in ('CapInh', 'CapPrm', 'CapEff', 'CapAmb')},
}), flush=True)
)";

bool asRoot() { return geteuid() == 0; }

OwnerIdentity daemonIdentity() {
  OwnerIdentity identity;
  const passwd* user = getpwnam("daemon");
  EXPECT_TRUE(user && ownerIdentity(user->pw_uid, &identity));
  return identity;
}

OwnerIdentity myIdentity() {
  OwnerIdentity identity;
  ownerIdentity(geteuid(), &identity);
  return identity;
}

// A command for `owner` running `script` with python; its outputs go to
// files of the scratch directory.
struct Probe {
  ScratchDir scratch;
  std::string output = scratch / "output";
  std::string errors = scratch / "errors";
  Descriptor outputFile{open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
  Descriptor errorsFile{open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};

  OwnerCommand command(const OwnerIdentity& owner, const std::string& script) {
    OwnerCommand command;
    command.owner = owner;
    command.argv = {PYTHON, "-c", script};
    command.outputTo = outputFile.get();
    command.errorsTo = errorsFile.get();
    command.waitSeconds = 120;
    return command;
  }
};

// runAsOwner called by a process that leads a session whose controlling
// terminal is a fresh pseudo-terminal, as from an administrator's shell,
// and holds one more descriptor of it; the status the run returned.
int runFromTerminal(const OwnerCommand& command) {
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(master);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, STDIN_FILENO);
    _exit(runAsOwner(command).status & 0xff);
  }
  close(slave);
  int status = -1;
  waitpid(child, &status, 0);
  close(master);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Utf8Prefix, ACharacterCutShortWaitsForItsEnd) {
  const struct {
    std::string text;
    size_t ready;
  } cases[] = {
      {"", 0},          {"abc", 3},        {"caf\xc3", 3},           {"caf\xc3\xa9", 5},
      {"\xe2\x82", 0},  {"\xe2\x82\xac", 3}, {"x\xf0\x9f\x98", 1},   {"x\xf0\x9f\x98\x80", 5},
      {"\xc2", 0},      {"\x80\x80\x80", 3}, {"a\xff", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(completeUtf8Prefix(c.text), c.ready) << c.text;
}

TEST(OwnerEnvironment, OnlyThePathTheLocaleTheZoneAndWhenAskedTheLibraryPath) {
  setenv("LANG", "fr_FR.UTF-8", 1);
  setenv("TZ", "UTC", 1);
  setenv("LD_LIBRARY_PATH", "/opt/lib", 1);
  setenv("SECRET_OF_ROOT", "x", 1);
  unsetenv("LC_ALL");
  const std::vector<std::string> path = {"PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin"};
  EXPECT_EQ(ownerEnvironment(false),
            (std::vector<std::string>{path[0], "LANG=fr_FR.UTF-8", "TZ=UTC"}));
  EXPECT_EQ(ownerEnvironment(true),
            (std::vector<std::string>{path[0], "LANG=fr_FR.UTF-8", "TZ=UTC", "LD_LIBRARY_PATH=/opt/lib"}));
  for (const char* name : {"SECRET_OF_ROOT", "LD_LIBRARY_PATH", "LANG", "TZ"}) unsetenv(name);
}

// From a terminal, root's run of a program as daemon gives it nothing of
// root's: no controlling terminal, no descriptor of root's, daemon's ids and
// groups, the capability asked for and no other.
// Run by another user for itself, the same but for the identity, which
// stays, and capabilities, which it has none to keep.
TEST(RunAsOwner, TheOwnersSideHasNoTerminalAndOnlyItsOwnIdentity) {
  const OwnerIdentity owner = asRoot() ? daemonIdentity() : myIdentity();
  for (bool bindLowPorts : {false, true}) {
    SCOPED_TRACE(bindLowPorts ? "with the capability" : "without capabilities");
    Probe probe;
    OwnerCommand command = probe.command(owner, PROBE);
    command.bindLowPorts = bindLowPorts;
    setenv("ROOTS_OWN", "secret", 1);
    ASSERT_EQ(runFromTerminal(command), 0) << readFile(probe.errors);
    unsetenv("ROOTS_OWN");
    nlohmann::json seen = nlohmann::json::parse(readFile(probe.output));
    EXPECT_EQ(seen["uid"], nlohmann::json({owner.uid, owner.uid, owner.uid}));
    if (asRoot()) {
      EXPECT_EQ(seen["gid"], nlohmann::json({owner.gid, owner.gid, owner.gid}));
      std::vector<gid_t> groups = owner.groups;
      std::sort(groups.begin(), groups.end());
      EXPECT_EQ(seen["groups"], nlohmann::json(groups));
    }
    EXPECT_EQ(seen["tty_nr"], 0) << "no controlling terminal";
    EXPECT_EQ(seen["session_leader"], true);
    EXPECT_NE(seen["dev_tty"], "opened");
    EXPECT_EQ(seen["isatty"], nlohmann::json({false, false, false}));
    EXPECT_EQ(seen["fds"]["0"], "/dev/null");
    for (const auto& [fd, target] : seen["fds"].items()) {
      EXPECT_TRUE(fd == "0" || fd == "1" || fd == "2" || target.get<std::string>().rfind("/proc/", 0) == 0) << fd;
      EXPECT_EQ(target.get<std::string>().rfind("/dev/pts", 0), std::string::npos) << fd << " " << target;
    }
    EXPECT_EQ(seen["environment"].count("ROOTS_OWN"), 0u);
    const unsigned long bind = bindLowPorts && asRoot() ? 1ul << 10 : 0;
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
      EXPECT_EQ(seen["capabilities"][set], bind) << set;
  }
}

TEST(RunAsOwner, WhatTheProgramWritesArrivesEscapedAndInOrder) {
  Probe probe;
  OwnerCommand command = probe.command(asRoot() ? daemonIdentity() : myIdentity(), R"(
import os, sys
out, err = sys.stdout.buffer, sys.stderr.buffer
out.write(b'title \x1b]0;owned\x07 csi \x1b[2J c1 \xc2\x9b raw \x9b del \x7f nul \x00 caf\xc3'); out.flush()
out.write(b'\xa9 tab\tend\n'); out.flush()
err.write(b'to errors \x1b[31m\n'); err.flush()
)");
  OwnerOutcome outcome = runAsOwner(command);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(readFile(probe.output),
            "title \\x1b]0;owned\\x07 csi \\x1b[2J c1 \\u009b raw \\x9b del \\x7f nul \\x00 caf\xc3\xa9 tab\tend\n");
  EXPECT_EQ(readFile(probe.errors), "to errors \\x1b[31m\n");

  // Both streams to one file: one pipe, so their lines keep their order.
  Probe shared;
  OwnerCommand both = shared.command(command.owner, R"(
import sys
for n in range(200):
    stream = sys.stdout if n % 2 == 0 else sys.stderr
    print('line', n, file=stream, flush=True)
)");
  both.errorsTo = both.outputTo;
  EXPECT_EQ(runAsOwner(both).status, 0);
  std::string expected;
  for (int n = 0; n < 200; ++n) expected += "line " + std::to_string(n) + "\n";
  EXPECT_EQ(readFile(shared.output), expected);
}

// A server that puts itself in the background keeps the pipes: what it
// wrote before the program ended is passed on, and the run does not wait
// for it to end.
TEST(RunAsOwner, ABackgroundProcessThatKeepsThePipesHoldsNothingUp) {
  Probe probe;
  const std::string pidFile = probe.scratch / "background.pid";
  chmod(probe.scratch.path().c_str(), 0777);
  OwnerCommand command = probe.command(asRoot() ? daemonIdentity() : myIdentity(), R"(
import os, sys, time
print('before', flush=True)
if os.fork() == 0:
    with open(sys.argv[1] + '.new', 'w') as f:
        f.write(str(os.getpid()))
    os.rename(sys.argv[1] + '.new', sys.argv[1])
    print('from the background', flush=True)
    time.sleep(600)
    os._exit(0)
while not os.path.exists(sys.argv[1]):
    time.sleep(0.01)
print('parent ends', flush=True)
os._exit(3)
)");
  command.argv.push_back(pidFile);
  command.waitSeconds = 300;
  OwnerOutcome outcome = runAsOwner(command);
  const pid_t background = std::atoi(readFile(pidFile).c_str());
  ASSERT_GT(background, 0);
  EXPECT_EQ(kill(background, 0), 0) << "still running";
  kill(background, SIGKILL);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.status, 3);
  EXPECT_EQ(readFile(probe.output), "before\nfrom the background\nparent ends\n");
}

TEST(RunAsOwner, StatusesSignalsTimeoutsAndPrograms) {
  const OwnerIdentity owner = asRoot() ? daemonIdentity() : myIdentity();
  Probe probe;
  EXPECT_EQ(runAsOwner(probe.command(owner, "import sys; sys.exit(5)")).status, 5);
  OwnerOutcome killed = runAsOwner(probe.command(owner, "import os, signal; os.kill(os.getpid(), signal.SIGTERM)"));
  EXPECT_EQ(killed.status, 128 + SIGTERM);
  EXPECT_EQ(killed.signal, SIGTERM);

  OwnerCommand endless = probe.command(owner, "import time\nwhile True: time.sleep(1)");
  endless.waitSeconds = 1;
  OwnerOutcome timedOut = runAsOwner(endless);
  EXPECT_TRUE(timedOut.timedOut);
  EXPECT_EQ(timedOut.status, -1);

  OwnerCommand missing = probe.command(owner, "");
  missing.argv = {probe.scratch / "no-such-program"};
  EXPECT_EQ(runAsOwner(missing).error, ENOENT);
  missing.argv = {"python3"};
  EXPECT_EQ(runAsOwner(missing).error, EINVAL);
  if (!asRoot()) {
    OwnerCommand other = probe.command(owner, "print('never')");
    other.owner.uid = geteuid() + 1;
    EXPECT_EQ(runAsOwner(other).error, EPERM);
    EXPECT_EQ(readFile(probe.output), "");
  }
}

// SIGTERM (or SIGINT, SIGHUP) to root's side reaches the owner's program,
// which ends as it chooses; root's side returns its status.
TEST(RunAsOwner, SignalsToTheCallerReachTheProgram) {
  Probe probe;
  const std::string ready = probe.scratch / "ready";
  chmod(probe.scratch.path().c_str(), 0777);
  OwnerCommand command = probe.command(asRoot() ? daemonIdentity() : myIdentity(), R"(
import os, signal, sys, time
signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(7))
open(sys.argv[1], 'w').close()
while True:
    time.sleep(1)
)");
  command.argv.push_back(ready);
  pid_t caller = fork();
  if (caller == 0) {
    OwnerOutcome outcome = runAsOwner(command);
    _exit(outcome.forwarded == SIGTERM ? outcome.status & 0xff : 99);
  }
  for (int tries = 0; tries < 6000 && !fileExists(ready); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fileExists(ready));
  kill(caller, SIGTERM);
  int status = 0;
  waitpid(caller, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace
