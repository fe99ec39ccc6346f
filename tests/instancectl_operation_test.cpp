// SPDX-License-Identifier: GPL-3.0-or-later
// instancectl start, stop, restart and status as administrators run them:
// as root with the instances handed to daemon, and as daemon over its own
// copy of the sample installation. The servers are the sample's stand-in
// (lighttpd) or, where a server must misbehave, a program of the test's in
// its place.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "tests/blackbox.h"

namespace {

// The program a misbehaving server runs: its process takes the server's
// lock and keeps it across its exec, which makes it the instance's server;
// its command line names a path in the instance, as the scripts of older
// instances require of a server.
const char IGNORING_SERVER[] = R"X(#!/usr/bin/perl
# A server that ignores SIGTERM: it writes its pid file and returns once its
# background process holds the lock, as the stand-in does.
use strict;
use warnings;
use Fcntl qw(:flock F_SETFD);
my %option = @ARGV;
my $instance = $option{-d} =~ s{/config/?\z}{}r;
pipe(my $locked, my $report) or die "pipe: $!";
my $pid = fork // die "fork: $!";
if (!$pid) {
    close($locked);
    $SIG{TERM} = 'IGNORE';
    open(STDIN, '<', '/dev/null'); open(STDOUT, '>', '/dev/null'); open(STDERR, '>', '/dev/null');
    open(my $lock, '>>', "$instance/logs/server.lock") or exit 3;
    flock($lock, LOCK_EX | LOCK_NB) or exit 3;
    fcntl($lock, F_SETFD, 0);
    print {$report} "locked\n";
    close($report);
    exec {'/usr/bin/perl'} 'perl', '-e', 'sleep 600', "$instance/ignoring";
    exit 127;
}
close($report);
<$locked> or exit 3;
open(my $out, '>', "$instance/logs/pid.new") or die "$instance/logs/pid.new: $!";
print {$out} "$pid\n";
close($out);
rename("$instance/logs/pid.new", "$instance/logs/pid") or die "rename: $!";
print "The server of $instance ignores SIGTERM (process $pid).\n";
exit 0;
)X";

// A server that fails: fifteen lines of its own in the error log, with an
// escape sequence, then status 1.
const char FAILING_SERVER[] = R"X(#!/usr/bin/perl
my %option = @ARGV;
my $instance = $option{-d} =~ s{/config/?\z}{}r;
open(my $log, '>>', "$instance/logs/errors") or die "$instance/logs/errors: $!";
print {$log} "failure line $_\e]0;title\a\n" for 1 .. 15;
close($log);
print STDERR "cannot listen\n";
exit 1;
)X";

// systemctl in the tests: records its words, one run a line; answers
// `show -p PROPERTY` from the file of that name beside it (loaded, success,
// and a start that ran just now when there is none, one long ago with the
// file "refuse"); fails with the file "refuse" and, after running, with the
// status the file "status" holds, or runs the unit as systemd would: the
// instance's scripts, the server it starts given the unit's control group
// below the systemd root, and stopped only when it runs under it.
const char STAND_IN_SYSTEMCTL[] = R"X(#!/bin/sh
here=$(dirname "$0")
instance=@INSTANCE@ proc=@SYSTEMD@/proc
echo "$*" >>"$here/systemctl.log"
under_unit() { [ -e "$proc/$(cat "$instance/logs/pid" 2>/dev/null)/cgroup" ]; }
start_unit() {
  "$instance/bin/startserv" >/dev/null || exit 1
  pid=$(cat "$instance/logs/pid") && mkdir -p "$proc/$pid" && echo "0::/system.slice/$1" >"$proc/$pid/cgroup"
}
case $1 in
  is-enabled) [ -e "$here/enabled" ]; exit ;;
  show) [ "$3" = InactiveExitTimestampMonotonic ] && { [ -e "$here/refuse" ] && echo 1 || echo 99999999999999999; exit 0; }
    cat "$here/$3" 2>/dev/null || { [ "$3" = LoadState ] && echo loaded || echo success; }; exit 0 ;;
esac
[ -e "$here/refuse" ] || [ ! -e "$here/status" ] || exit "$(cat "$here/status")"
[ -e "$here/refuse" ] && exit 1
case $1 in
  stop) ! under_unit || "$instance/bin/stopserv" >/dev/null ;;
  start) under_unit || start_unit "$2" ;;
  restart) { ! under_unit || "$instance/bin/stopserv" >/dev/null; } && start_unit "$2" ;;
esac
)X";

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ADDRESS:PORT of every TCP socket the process `pid` listens on, from the
// sockets it really holds.
std::set<std::string> listening(pid_t pid) {
  std::set<std::string> held, found;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* directory = opendir(fds.c_str())) {
    while (const dirent* entry = readdir(directory)) {
      char target[256];
      ssize_t length = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
      std::string link(target, length > 0 ? static_cast<size_t>(length) : 0);
      if (link.rfind("socket:[", 0) == 0) held.insert(link.substr(8, link.size() - 9));
    }
    closedir(directory);
  }
  std::istringstream table(readFile("/proc/net/tcp"));
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (state != "0A" || !held.count(inode)) continue;
    in_addr address{static_cast<in_addr_t>(std::stoul(local.substr(0, 8), nullptr, 16))};
    found.insert(std::string(inet_ntoa(address)) + ":" + std::to_string(std::stoul(local.substr(9), nullptr, 16)));
  }
  return found;
}

// Holds a TCP port on every address, as another program would.
struct PortHolder {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  explicit PortHolder(const std::string& port) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0)
      throw std::runtime_error("cannot hold port " + port);
  }
  ~PortHolder() { close(fd); }
};

// Runs every case as root with instances handed to daemon (true) and as
// daemon over its own installation (false).
class Operating : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!runningAsRoot()) GTEST_SKIP() << "needs root: the server user is daemon";
    if (!GetParam()) {
      installation.handTo("daemon");
      prefix = asUser("daemon");
    }
  }

  std::string instance(const std::string& id) const { return installation.root + "/" + id; }

  // An instance `id` on its own HTTP port (`port`, else a fresh one).
  void create(const std::string& id, std::string port = "") {
    std::vector<std::string> options = allOptions(id, "daemon", installation.scratch / ("docs-" + id));
    options[3] = port.empty() ? uniquePort() : port;
    options[11] = uniquePort();
    std::vector<std::string> env = commandLineEnvironment(installation.root);
    env.push_back("INSTALL_CHECK_PORTS=no");
    ProcessResult r = runInstall(options, env, "", prefix);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  std::string portOf(const std::string& id) {
    const std::string text = readFile(instance(id) + "/config/answers.conf");
    const size_t at = text.find("\nport = ") + 8;
    return text.substr(at, text.find('\n', at) - at);
  }

  // instancectl run by the case's identity (or `as`) on the server root
  // (or `root`, another name of it).
  ProcessResult ctl(const std::vector<std::string>& arguments, const std::string& root = "",
                    const std::vector<std::string>* as = nullptr) {
    std::vector<std::string> argv = as ? *as : prefix;
    argv.push_back(INSTANCECTL_BINARY);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv, {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + (root.empty() ? installation.root : root)});
  }

  // A control script of the instance, run as the case's identity.
  ProcessResult script(const std::string& id, const std::string& name, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = prefix;
    argv.push_back(instance(id) + "/bin/" + name);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv, {"PATH=/usr/bin:/bin", "LANG=C"});
  }

  // The server program of the installation replaced by `text`.
  void serverProgram(const std::string& text) {
    const std::string program = installation.root + "/bin/https/bin/appservd-wdog";
    writeFile(program, text, 0755);
  }

  nlohmann::json status(const std::string& id, int* exit = nullptr) {
    ProcessResult r = ctl({"status", id, "--json"});
    if (exit) *exit = r.status;
    return r.out.empty() ? nlohmann::json() : nlohmann::json::parse(r.out);
  }

  pid_t serverPid(const std::string& id) {
    nlohmann::json object = status(id);
    return object.is_object() && object["pid"].is_number() ? object["pid"].get<pid_t>() : 0;
  }

  Installation installation;
  std::vector<std::string> prefix;
};

INSTANTIATE_TEST_SUITE_P(Identities, Operating, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& identity) { return identity.param ? "AsRoot" : "AsUser"; });

TEST_P(Operating, StatusStartStopAndRestartKeepingTheListenAddress) {
  create("web1");
  const std::string port = portOf("web1"), dir = instance("web1");
  ProcessResult stopped = ctl({"status", "web1"});
  EXPECT_EQ(stopped.status, 3);
  EXPECT_EQ(stopped.out, "web1 (" + dir + ") is stopped.\n");
  int exit = -1;
  EXPECT_EQ(status("web1", &exit)["state"], "stopped");
  EXPECT_EQ(exit, 3);

  // Started by hand on the loopback address: a restart keeps it.
  ProcessResult started = script("web1", "startserv", {"-a", "127.0.0.1"});
  ASSERT_EQ(started.status, 0) << started.err;
  const pid_t first = serverPid("web1");
  ASSERT_NE(first, 0);
  EXPECT_EQ(listening(first), std::set<std::string>{"127.0.0.1:" + port});

  ProcessResult running = ctl({"status", "web1"});
  EXPECT_EQ(running.status, 0);
  EXPECT_EQ(running.out, "web1 (" + dir + ") is running: process " + std::to_string(first) + " (lighttpd).\n");
  nlohmann::json object = status("web1", &exit);
  EXPECT_EQ(exit, 0);
  EXPECT_EQ(object["pid"], first);
  ProcessResult listed = ctl({"list", "--json"});
  EXPECT_EQ(nlohmann::json::parse(listed.out)[0], object) << "the keys and values of list --json";

  ProcessResult again = ctl({"start", "web1"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "The instance web1 is already running (process " + std::to_string(first) + ").\n");

  ProcessResult restarted = ctl({"restart", "web1"});
  ASSERT_EQ(restarted.status, 0) << restarted.err;
  const pid_t second = serverPid("web1");
  EXPECT_NE(second, first);
  EXPECT_EQ(restarted.out, "Restarted the instance web1 (process " + std::to_string(second) + ").\n");
  EXPECT_EQ(listening(second), std::set<std::string>{"127.0.0.1:" + port}) << "a restart never widens it";

  ProcessResult stop = ctl({"stop", "web1"});
  EXPECT_EQ(stop.status, 0) << stop.err;
  EXPECT_EQ(stop.out, "Stopped the instance web1.\n");
  EXPECT_EQ(status("web1", &exit)["state"], "stopped");
  EXPECT_EQ(exit, 3);
  ProcessResult stopAgain = ctl({"stop", "web1"});
  EXPECT_EQ(stopAgain.status, 0);
  EXPECT_EQ(stopAgain.out, "The instance web1 is not running.\n");

  // A plain start listens where server.xml says: every address.
  ProcessResult start = ctl({"start", "web1"});
  ASSERT_EQ(start.status, 0) << start.err;
  const pid_t third = serverPid("web1");
  EXPECT_EQ(start.out, "Started the instance web1 (process " + std::to_string(third) + ").\n");
  EXPECT_EQ(listening(third), std::set<std::string>{"0.0.0.0:" + port});
  EXPECT_EQ(ctl({"stop", "web1"}).status, 0);
}

TEST_P(Operating, StatusAnswersUnknownForWhatHasNoServer) {
  create("web1");
  ASSERT_EQ(rename(instance("web1").c_str(), instance("broken.web1").c_str()), 0);
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  } cases[] = {
      {{"status", "broken.web1"}, "broken.web1 (" + instance("broken.web1") + ") is broken.\n"},
      {{"status", "web9"}, ""},
      {{"status", "no/such"}, ""},
      {{"status", "web1", "--server-root", installation.scratch / "nowhere"}, ""},
      {{"status", "web1", "--kill"}, ""},
  };
  for (const Case& c : cases) {
    ProcessResult r = ctl(c.arguments);
    EXPECT_EQ(r.status, 4) << c.arguments[1] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.arguments[1];
  }
  ProcessResult start = ctl({"start", "broken.web1"});
  EXPECT_EQ(start.status, 2);
  EXPECT_EQ(start.err, instance("broken.web1") + " is what a failed creation left; it has no server to start.\n");
  EXPECT_EQ(ctl({"start", "web9"}).status, 3);
}

TEST_P(Operating, AServerThatIgnoresSigtermIsStoppedOnlyWithKill) {
  create("web1");
  create("web2");
  serverProgram(IGNORING_SERVER);
  ASSERT_EQ(ctl({"start", "web1"}).status, 0);
  const pid_t pid = serverPid("web1");
  ASSERT_NE(pid, 0);

  ProcessResult refused = ctl({"stop", "web1", "--timeout", "1"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_TRUE(contains(refused.err, "The instance web1 is still running 1 seconds after SIGTERM: process " +
                                        std::to_string(pid) + " (perl); instancectl stop --kill sends it SIGKILL.\n"))
      << refused.err;
  EXPECT_EQ(serverPid("web1"), pid);

  ProcessResult notRestarted = ctl({"restart", "web1", "--timeout", "1"});
  EXPECT_EQ(notRestarted.status, 2);
  EXPECT_EQ(serverPid("web1"), pid) << notRestarted.err;

  ProcessResult restarted = ctl({"restart", "web1", "--timeout", "1", "--kill"});
  EXPECT_EQ(restarted.status, 0) << restarted.err;
  const pid_t second = serverPid("web1");
  EXPECT_NE(second, 0);
  EXPECT_NE(second, pid);

  ProcessResult killed = ctl({"stop", "web1", "--timeout", "1", "--kill"});
  EXPECT_EQ(killed.status, 0) << killed.err;
  EXPECT_EQ(killed.out, "Stopped the instance web1.\n");
  EXPECT_EQ(serverPid("web1"), 0);

  // remove --stop: refused without --kill, done with it.
  ASSERT_EQ(ctl({"start", "web2"}).status, 0);
  ProcessResult kept = ctl({"remove", "web2", "--stop", "--timeout", "1"});
  EXPECT_EQ(kept.status, 4) << kept.err;
  EXPECT_TRUE(fileExists(instance("web2")));
  ProcessResult removed = ctl({"remove", "web2", "--stop", "--timeout", "1", "--kill"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_FALSE(fileExists(instance("web2")));
}

TEST_P(Operating, AFailedStartSaysWhyWithTheEndOfTheErrorLogReadSafely) {
  create("web1");
  serverProgram(FAILING_SERVER);
  const std::string dir = instance("web1"), log = dir + "/logs/errors";
  ProcessResult failed = ctl({"start", "web1"});
  EXPECT_EQ(failed.status, 2);
  EXPECT_EQ(failed.out, "");
  std::string expected = "The instance web1 did not start: " + dir +
                         "/bin/startserv ended with status 1.\nThe last lines of its error log " + log + ":\n";
  for (int line = 6; line <= 15; ++line) expected += "  failure line " + std::to_string(line) + "\\x1b]0;title\\x07\n";
  EXPECT_TRUE(contains(failed.err, "cannot listen\n" + expected)) << failed.err;

  if (!GetParam()) return;
  // Root reads the server user's log: never through a link, a second name or a FIFO.
  const std::string sentinel = installation.scratch / "sentinel";
  writeFile(sentinel, "root's secret\n", 0600);
  struct Case {
    const char* what;
    std::function<void()> plant;
    std::string said;
  } cases[] = {
      {"a link", [&] { symlink(sentinel.c_str(), log.c_str()); }, "Refusing to read " + log + ": it is a symbolic link, or lies below one that this run must not follow.\n"},
      {"a hard link", [&] { link(sentinel.c_str(), log.c_str()); },
       "Refusing to read " + log + ": it has a second name (a hard link), so it may be a file kept elsewhere.\n"},
      {"a FIFO", [&] { mkfifo(log.c_str(), 0644); }, log + " is not a regular file.\n"},
  };
  serverProgram("#!/bin/sh\nexit 1\n");
  for (const Case& c : cases) {
    unlink(log.c_str());
    c.plant();
    ProcessResult r = ctl({"start", "web1"});
    EXPECT_EQ(r.status, 2) << c.what;
    EXPECT_FALSE(contains(r.err, "secret")) << c.what << ": " << r.err;
    EXPECT_FALSE(contains(r.err, "The last lines")) << c.what << ": " << r.err;
    EXPECT_TRUE(contains(r.err, c.said)) << c.what << ": " << r.err;
  }
}

TEST_P(Operating, AllStartsAndStopsEveryInstanceAndNamesTheOnesThatFailed) {
  create("web1");
  create("web2");
  create("web3");
  create("web4");
  ASSERT_EQ(rename(instance("web4").c_str(), instance("broken.web4").c_str()), 0);
  PortHolder holder(portOf("web2"));

  ProcessResult started = ctl({"start", "--all"});
  EXPECT_EQ(started.status, 2);
  const pid_t web1 = serverPid("web1"), web3 = serverPid("web3");
  EXPECT_EQ(started.out, "Started the instance web1 (process " + std::to_string(web1) +
                             ").\nStarted the instance web3 (process " + std::to_string(web3) + ").\n");
  EXPECT_TRUE(contains(started.err, "The instance web2 did not start: " + instance("web2") +
                                        "/bin/startserv ended with status 1.\n"))
      << started.err;
  EXPECT_EQ(linesOf(started.err).back(), "1 of 3 instances failed: web2.");

  ProcessResult again = ctl({"start", "--all"});
  EXPECT_EQ(linesOf(again.out).size(), 2u) << again.out;
  EXPECT_EQ(again.status, 2);

  ProcessResult stopped = ctl({"stop", "--all"});
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  EXPECT_EQ(stopped.out, "Stopped the instance web1.\nThe instance web2 is not running.\nStopped the instance web3.\n");
  EXPECT_EQ(serverPid("web1") + serverPid("web3"), 0);
}

// The server root reached through a link, with a trailing "/" or "//":
// the same instance, the same server, the same unit. Its state and
// process are the same for every user who can reach its logs directory.
TEST_P(Operating, EveryNameOfTheServerRootFindsTheSameServer) {
  create("web1");
  const std::string link = installation.scratch / "app";
  ASSERT_EQ(symlink(installation.root.c_str(), link.c_str()), 0);
  const std::vector<std::string> nobody = asUser("nobody");
  for (const std::string& root : {link, link + "/", link + "//", installation.root + "//"}) {
    SCOPED_TRACE(root);
    ProcessResult started = ctl({"start", "web1"}, root);
    ASSERT_EQ(started.status, 0) << started.err;
    const pid_t pid = serverPid("web1");
    EXPECT_EQ(started.out, "Started the instance web1 (process " + std::to_string(pid) + ").\n");
    const std::string running = "web1 (" + instance("web1") + ") is running: process " + std::to_string(pid) + " (lighttpd).\n";
    ProcessResult status = ctl({"status", "web1"}, root);
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, running);
    if (GetParam()) {
      // Neither root nor the owner, and the record is not this user's to read.
      ProcessResult other = ctl({"status", "web1"}, root, &nobody);
      EXPECT_EQ(other.status, 0) << other.err;
      EXPECT_EQ(other.out, running);
      nlohmann::json listed = nlohmann::json::parse(ctl({"list", "--json"}, root, &nobody).out).at(0);
      EXPECT_EQ(listed["state"], "running");
      EXPECT_EQ(listed["pid"], pid);
    }
    EXPECT_EQ(ctl({"stop", "web1"}, root).out, "Stopped the instance web1.\n");
    EXPECT_EQ(serverPid("web1"), 0);
  }
  if (GetParam()) {
    const std::string units = installation.scratch / "units";
    makeDirs(units);
    ASSERT_EQ(ctl({"unit", "web1", "--unit-dir", units}, link).status, 0);
    ProcessResult again = ctl({"unit", "web1", "--unit-dir", units}, installation.root + "/");
    EXPECT_TRUE(contains(again.out, "already has this content")) << again.out << again.err;
    EXPECT_EQ(listTree(units).size(), 1u);
  }
  ASSERT_EQ(ctl({"start", "web1"}, link).status, 0);
  const pid_t pid = serverPid("web1");
  ProcessResult removed = ctl({"remove", "web1", "--stop", "--unit-dir", installation.scratch / "units"}, link);
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_TRUE(contains(removed.out, "Removed the instance web1 (" + instance("web1") + ").\n")) << removed.out;
  const std::string process = readFile("/proc/" + std::to_string(pid) + "/status");
  EXPECT_TRUE(process.empty() || contains(process, "\nState:\tZ")) << "no server serves on from the removed directory";
}

// A control script that refuses did nothing, and says so: instancectl
// relays its line and says that nothing was done, never that a signal was
// sent; one that ends as if done while the server runs is no success.
TEST_P(Operating, AScriptThatRefusedIsReportedAsARefusal) {
  create("web1");
  const std::string bin = instance("web1") + "/bin/";
  const std::string refusing = "#!/bin/sh\necho \"$0: refusing for the test\" >&2\nexit 3\n";
  const struct {
    const char* script;
    std::string text;
    std::vector<std::string> command;
    int exit;
    std::string said;  // @ for the script's path, after what it wrote
  } cases[] = {
      {"stopserv", refusing, {"stop", "web1"}, 2, "@ refused (status 3): nothing was done to the instance web1.\n"},
      {"restartserv", refusing, {"restart", "web1"}, 2, "@ refused (status 3): nothing was done to the instance web1.\n"},
      {"stopserv", refusing, {"remove", "web1", "--stop"}, 4,
       "@ refused (status 3): nothing was done to the instance web1.\n"},
      {"stopserv", "#!/bin/sh\nexit 0\n", {"stop", "web1"}, 2,
       "The instance web1 is still running after its bin/stopserv ended with status 0: process @PID@ (lighttpd).\n"},
      {"startserv", refusing, {"start", "web1"}, 2, "@ refused (status 3): nothing was done to the instance web1.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script + (" " + c.command[0]));
    const std::string script = bin + c.script, original = readFile(script);
    if (std::string(c.script) != "startserv") {
      ASSERT_EQ(ctl({"start", "web1"}).status, 0);
    }
    const pid_t pid = serverPid("web1");
    writeFile(script, c.text, 0755);
    ProcessResult r = ctl(c.command);
    writeFile(script, original, 0755);
    EXPECT_EQ(r.status, c.exit);
    EXPECT_TRUE(contains(r.err, replaceAll(replaceAll(c.said, "@PID@", std::to_string(pid)), "@", script))) << r.err;
    EXPECT_EQ(contains(r.err, script + ": refusing for the test\n"), c.text == refusing) << r.err;
    EXPECT_FALSE(contains(r.err, "after SIGTERM")) << r.err;
    EXPECT_EQ(serverPid("web1"), pid) << "nothing was done";
    EXPECT_TRUE(fileExists(instance("web1")));
    ctl({"stop", "web1"});
  }
}

TEST(OperatingCommandLine, WrongCommandLinesAreRefusedWithTheUsage) {
  const std::vector<std::vector<std::string>> refused = {
      {"start"}, {"start", "--all", "web1"}, {"restart", "--all"}, {"stop", "web1", "--timeout", "x"},
      {"stop", "web1", "--timeout", "-1"}, {"start", "web1", "--kill"}, {"list", "--timeout", "3"},
      {"remove", "web1", "--kill"}, {"unit", "web1", "--enable", "--remove"}, {"stop", "web1", "--json"},
  };
  for (const auto& arguments : refused) {
    std::vector<std::string> argv = {INSTANCECTL_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessResult r = runProcess(argv, {"PATH=/usr/bin:/bin", "ZORA_SERVER_HOME=/nonexistent"});
    EXPECT_EQ(r.status, 1) << arguments[0] << " " << arguments.back() << ": " << r.err;
    EXPECT_TRUE(contains(r.err, "Usage: instancectl")) << r.err;
  }
}

// With a unit of its own and systemd managing the machine, root operates
// the instance through systemctl, and a server started with the scripts,
// outside the unit, with the scripts; the owner always with the scripts.
// Without systemd, or without the unit, the scripts run. Removing the
// unit leaves systemd with nothing of it.
TEST(OperatingAsRoot, AnInstanceWithAUnitGoesThroughSystemctlWhenSystemdRuns) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  Installation installation;
  std::vector<std::string> options = allOptions("web1", "daemon", installation.scratch / "docs");
  options[3] = uniquePort();
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  env.push_back("INSTALL_CHECK_PORTS=no");
  ASSERT_EQ(runInstall(options, env).status, 0);
  const std::string units = installation.scratch / "units", systemd = installation.scratch / "systemd",
                    tools = installation.scratch / "tools", systemctl = tools + "/systemctl";
  makeDirs(units);
  makeDirs(systemd + "/run/systemd/system");
  makeDirs(tools);
  writeFile(systemctl,
            replaceAll(replaceAll(STAND_IN_SYSTEMCTL, "@INSTANCE@", installation.root + "/web1"), "@SYSTEMD@", systemd),
            0755);
  auto ctl = [&](std::vector<std::string> arguments, const std::vector<std::string>& prefix = {},
                 const std::string& systemdRoot = "") {
    std::vector<std::string> argv = prefix;
    argv.push_back(INSTANCECTL_BINARY);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    for (const std::string& word : {std::string("--unit-dir"), units, std::string("--systemctl"), systemctl,
                                    std::string("--systemd-root"), systemdRoot.empty() ? systemd : systemdRoot})
      argv.push_back(word);
    return runProcess(argv, {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + installation.root});
  };
  auto recorded = [&] {
    std::string log = readFile(tools + "/systemctl.log");
    unlink((tools + "/systemctl.log").c_str());
    return log;
  };
  auto pid = [&] {
    ProcessResult status = runProcess({INSTANCECTL_BINARY, "status", "web1", "--json"},
                                      {"PATH=/usr/bin:/bin", "ZORA_SERVER_HOME=" + installation.root});
    if (status.out.empty()) return std::string("none");
    nlohmann::json object = nlohmann::json::parse(status.out);
    return object["pid"].is_number() ? std::to_string(object["pid"].get<pid_t>()) : std::string("none");
  };

  // No unit yet: the scripts run, whatever systemd does.
  ProcessResult plain = ctl({"start", "web1"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(recorded(), "");
  ASSERT_EQ(ctl({"stop", "web1"}).status, 0);

  ProcessResult unit = ctl({"unit", "web1", "--enable"});
  ASSERT_EQ(unit.status, 0) << unit.err;
  const std::vector<std::string> files = listTree(units);
  ASSERT_EQ(files.size(), 1u);
  const std::string name = files[0], outside = "The server of the instance web1 (process @PID@ (lighttpd)) runs "
                                              "outside its unit " + name + ": systemd does not supervise it.\n";
  EXPECT_EQ(unit.out, "Wrote the service unit " + units + "/" + name + ".\nEnabled the service unit " + name + ".\n");
  EXPECT_EQ(recorded(), "daemon-reload\nshow -p LoadState --value " + name + "\nis-enabled --quiet " + name +
                            "\nenable " + name + "\n");

  const std::vector<std::string> daemon = asUser("daemon");
  const std::string limited = "systemd refused to start " + name + " for the instance web1: it was started too often "
                              "in a row (start-limit-hit). systemctl reset-failed " + name + " lets it start again.\n";
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> prefix;   // the owner's, or root's
    std::string status, result;        // what systemctl ends with ("refuse": without running), the Result then
    int exit;
    std::string out, err, systemctlRuns;  // @PID@: the server before the run
  } cases[] = {
      {{"start", "web1"}, {}, "", "", 0, "Started the instance web1 with systemctl start " + name + ".\n", "",
       "start " + name + "\n"},
      {{"restart", "web1"}, {}, "", "", 0, "Restarted the instance web1 with systemctl restart " + name + ".\n", "",
       "restart " + name + "\n"},
      {{"stop", "web1", "--timeout", "5"}, {}, "", "", 0, "Stopped the instance web1 with systemctl stop " + name + ".\n",
       "", "stop " + name + "\n"},
      {{"start", "web1"}, {}, "1", "start-limit-hit", 2, "", limited, "start " + name + "\nshow -p Result --value " + name + "\n"},
      // As systemd 252 refuses: the failure before stays its Result, and nothing ran.
      {{"start", "web1"}, {}, "refuse", "exit-code", 2, "", limited,
       "start " + name + "\nshow -p Result --value " + name + "\nshow -p InactiveExitTimestampMonotonic --value " +
           name + "\n"},
      {{"start", "web1"}, {}, "1", "exit-code", 2, "",
       "systemctl start " + name + " ended with status 1 for the instance web1.\n",
       "start " + name + "\nshow -p Result --value " + name + "\nshow -p InactiveExitTimestampMonotonic --value " +
           name + "\n"},
      // Started by its owner: outside the unit.
      {{"start", "web1"}, daemon, "", "", 0,
       "Started the instance web1 (process @NEW@).\nsystemd does not supervise the server of the instance web1, which "
       "runs outside its unit " + name + "; run by root, instancectl restart web1 runs it under the unit.\n", "", ""},
      {{"start", "web1"}, {}, "", "", 0,
       outside + "The instance web1 is already running (process @PID@).\ninstancectl restart web1 stops it and "
       "starts it under its unit.\n", "", ""},
      {{"restart", "web1"}, {}, "", "", 0,
       outside + "Stopped the instance web1.\nStarted the instance web1 with systemctl start " + name + ".\n", "",
       "start " + name + "\n"},
      {{"stop", "web1"}, {}, "", "", 0, "Stopped the instance web1 with systemctl stop " + name + ".\n", "",
       "stop " + name + "\n"},
      {{"start", "--all"}, daemon, "", "", 0, "", "", ""},
      {{"stop", "--all"}, {}, "", "", 0, outside + "Stopped the instance web1.\n", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments) + (c.prefix.empty() ? " as root" : " as daemon"));
    if (!c.status.empty()) writeFile(tools + "/" + (c.status == "refuse" ? "refuse" : "status"), c.status);
    if (!c.result.empty()) writeFile(tools + "/Result", c.result);
    const std::string before = pid();
    ProcessResult r = ctl(c.arguments, c.prefix);
    for (const char* file : {"/status", "/refuse", "/Result"}) unlink((tools + file).c_str());
    EXPECT_EQ(r.status, c.exit) << r.err;
    if (!c.out.empty() || r.status != 0) {
      EXPECT_EQ(r.out, replaceAll(replaceAll(c.out, "@PID@", before), "@NEW@", pid()));
    }
    // After what the scripts said.
    EXPECT_TRUE(contains(r.err, c.err)) << r.err;
    EXPECT_EQ(contains(r.err, "The last lines of its error log"), contains(c.err, "ended with status")) << r.err;
    EXPECT_EQ(recorded(), c.systemctlRuns);
  }

  // A unit systemd would not load is never said to be enabled.
  writeFile(tools + "/LoadState", "bad-setting\n");
  ProcessResult bad = ctl({"unit", "web1", "--enable"});
  unlink((tools + "/LoadState").c_str());
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "The service unit " + units + "/" + name + " already has this content; it was left unchanged.\n");
  EXPECT_EQ(bad.err, "systemd did not load the service unit " + name + " (its load state is bad-setting), so it was "
                     "not enabled; systemctl status " + name + " says why.\n");
  EXPECT_EQ(recorded(), "daemon-reload\nshow -p LoadState --value " + name + "\n");

  // systemd not running: the scripts again, even with the unit.
  ProcessResult scripts = ctl({"start", "web1"}, {}, units);
  EXPECT_EQ(scripts.status, 0) << scripts.err;
  EXPECT_EQ(recorded(), "");
  EXPECT_TRUE(contains(scripts.out, "Started the instance web1 (process ")) << scripts.out;
  EXPECT_EQ(ctl({"stop", "web1"}, {}, units).status, 0);

  // Removing the unit stops what runs under it and leaves nothing of it.
  ASSERT_EQ(ctl({"start", "web1"}).status, 0);
  recorded();
  ProcessResult removed = ctl({"unit", "web1", "--remove"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "Stopped the instance web1 with systemctl stop " + name + ".\nRemoved the service unit " +
                             units + "/" + name + ".\n");
  EXPECT_EQ(recorded(), "stop " + name + "\ndisable " + name + "\ndaemon-reload\nreset-failed " + name + "\n");
  EXPECT_TRUE(listTree(units).empty());
  EXPECT_EQ(pid(), "none");
  ProcessResult absent = ctl({"unit", "web1", "--remove"});
  EXPECT_EQ(absent.status, 0);
  EXPECT_EQ(absent.out, "The instance web1 has no service unit in " + units + ".\n");
  EXPECT_EQ(recorded(), "reset-failed " + name + "\n");

  // remove --stop of a server that systemd runs stops it through the unit.
  ASSERT_EQ(ctl({"unit", "web1"}).status, 0);
  ASSERT_EQ(ctl({"start", "web1"}).status, 0);
  recorded();
  ProcessResult gone = ctl({"remove", "web1", "--stop"});
  EXPECT_EQ(gone.status, 0) << gone.err;
  EXPECT_TRUE(contains(gone.out, "Stopped the instance web1 with systemctl stop " + name + ".\nRemoved the instance web1 ("))
      << gone.out;
  EXPECT_TRUE(contains(gone.out, "Removed the service unit " + units + "/" + name + ".\n")) << gone.out;
  EXPECT_EQ(recorded(), "stop " + name + "\nstop " + name + "\ndisable " + name + "\ndaemon-reload\nreset-failed " +
                            name + "\n");
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
  EXPECT_TRUE(listTree(units).empty());
}

}  // namespace
