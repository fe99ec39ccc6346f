// SPDX-License-Identifier: GPL-3.0-or-later
// instancectl run as administrators run it, against instances the install
// tool made in a scratch copy of the sample installation: as root with the
// instances handed to daemon, and as daemon itself over its own copy.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/blackbox.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

uid_t uidOf(const std::string& user) {
  const passwd* entry = getpwnam(user.c_str());
  return entry ? entry->pw_uid : 0;
}

// Kind, mode, owner, names and content of every entry below `root`, links
// not followed.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> state;
  for (std::string relative : listTree(root)) {
    if (!relative.empty() && relative.back() == '/') relative.pop_back();
    const std::string path = root + "/" + relative;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) continue;
    std::string record = std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) + " " +
                         std::to_string(status.st_nlink) + " ";
    if (S_ISREG(status.st_mode)) record += readFile(path);
    state[relative] = record;
  }
  return state;
}

// `prefix` with a time limit in front, so that a run that hangs is killed (status 137).
std::vector<std::string> timeLimit(const std::vector<std::string>& prefix) {
  std::vector<std::string> limited = {"/usr/bin/timeout", "-s", "KILL", "120"};
  limited.insert(limited.end(), prefix.begin(), prefix.end());
  return limited;
}

ProcessResult runInstancectl(const std::vector<std::string>& arguments, const std::string& root,
                             const std::vector<std::string>& prefix = {}) {
  std::vector<std::string> argv = prefix;
  argv.push_back(INSTANCECTL_BINARY);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProcess(argv, {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + root});
}

TEST(InstancectlCommandLine, HelpVersionAndUsageErrors) {
  ProcessResult help = runInstancectl({"--help"}, "/nonexistent");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* option : {"--server-root", "--json", "--stop", "--unit-dir", "--force", "--help", "--version"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  ProcessResult version = runInstancectl({"--version"}, "/nonexistent");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("instancectl ") + TOOL_VERSION + "\n");

  const std::vector<std::vector<std::string>> wrong = {
      {}, {"--bogus", "list"}, {"remove", "web1", "extra"}, {"remove"}, {"purge"}, {"list", "--stop"},
      {"list", "--json", "--no-header"}, {"remove", "web1", "--no-header"},
      {"remove", "web1", "--json"}, {"unit", "web1", "--stop"}, {"list", "--unit-dir", "/tmp"}, {"list", "--server-root"}};
  for (const auto& arguments : wrong) {
    ProcessResult r = runInstancectl(arguments, "/nonexistent");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: instancectl"), std::string::npos) << r.err;
  }
}

// A server root that is no installation is named before anything else, in
// the line the creation names it with, never with an internal error; 2, not
// the 3 of "no such instance", which a removal could take for done.
TEST(InstancectlCommandLine, AServerRootThatIsNoInstallationIsNamedInOneLineAsInstallNamesIt) {
  ScratchDir scratch;
  makeDirs(scratch / "empty");
  writeFile(scratch / "file", "x");
  makeDirs(scratch / "messages-only/lib/messages/httpconf");
  writeFile(scratch / "messages-only/lib/messages/httpconf/root.res", "");
  const struct {
    std::string root;
    std::string problem;  // after "The server root <root> given by <source>"
  } cases[] = {
      {scratch / "missing", " is not a directory: No such file or directory."},
      {scratch / "file", " is not a directory: Not a directory."},
      {scratch / "empty", " is not an installation: it has no " + scratch / "empty/lib/messages/httpconf/root.res."},
      {scratch / "messages-only", " is not an installation: it has no " + scratch / "messages-only/lib/install/templates."},
  };
  const std::vector<std::vector<std::string>> commands = {
      {"list"}, {"list", "--json"}, {"list", "web1"}, {"remove", "web1"}, {"remove", "web1", "--stop"}, {"unit", "web1"}};
  for (const auto& c : cases) {
    for (const auto& command : commands) {
      SCOPED_TRACE(c.root + " " + command[0]);
      ProcessResult r = runInstancectl(command, c.root);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "The server root " + c.root + " given by ZORA_SERVER_HOME" + c.problem + "\n");
      std::vector<std::string> given = {"--server-root", c.root};
      given.insert(given.end(), command.begin(), command.end());
      r = runInstancectl(given, "/nonexistent");
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err, "The server root " + c.root + " given by --server-root" + c.problem + "\n");
    }
    ProcessResult install = runInstall(allOptions("web1", "daemon", scratch / "docs"), commandLineEnvironment(c.root));
    EXPECT_EQ(install.err, "Server Root: The server root " + c.root + " given by ZORA_SERVER_HOME" + c.problem + "\n");
  }
  ProcessResult relative = runInstancectl({"--server-root", "server-root", "list"}, "/nonexistent");
  EXPECT_EQ(relative.status, 2);
  EXPECT_EQ(relative.err, "The server root \"server-root\" given by --server-root is not an absolute path; it must "
                          "name the installation directory, beginning with /.\n");

  // A message bundle the user may not read.
  if (!runningAsRoot()) return;
  Installation installation;
  for (const char* bundle : {"root.res", "fr.res"})
    ASSERT_EQ(chmod((installation.root + "/lib/messages/httpconf/" + bundle).c_str(), 0600), 0);
  const std::string unreadable = "The server root " + installation.root +
                                 " given by ZORA_SERVER_HOME is not an installation: its message bundle " +
                                 installation.root + "/lib/messages/httpconf cannot be opened.\n";
  ProcessResult r = runInstancectl({"list"}, installation.root, asUser("daemon"));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, unreadable);
  ProcessResult install = runInstall(allOptions("web1", "daemon", installation.scratch / "docs"),
                                     commandLineEnvironment(installation.root), "", asUser("daemon"));
  EXPECT_EQ(install.err, "Server Root: " + unreadable);
}

// Runs every case as root with instances handed to daemon (true) and as
// daemon over its own installation (false).
class Instancectl : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !runningAsRoot()) GTEST_SKIP() << "needs root";
    if (!GetParam() && runningAsRoot()) {
      installation.handTo("daemon");
      prefix = asUser("daemon");
    }
    if (!GetParam() && !runningAsRoot()) user = currentUserName();
  }

  std::string instance(const std::string& id) const { return installation.root + "/" + id; }

  void create(const std::string& id, const std::string& docRoot) {
    std::vector<std::string> env = commandLineEnvironment(installation.root);
    env.push_back("INSTALL_CHECK_PORTS=no");
    ProcessResult r = runInstall(allOptions(id, user, docRoot), env, "", prefix);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  ProcessResult ctl(const std::vector<std::string>& arguments) {
    return runInstancectl(arguments, installation.root, prefix);
  }

  // A process of the owner standing for the instance's server: it holds
  // the server's lock, its command line names a path in the instance (as
  // the scripts of older instances require), its parent reaps it when it is
  // stopped, and it writes the pid file as a server would.
  StartedProcess startServer(const std::string& id) {
    const std::string program = R"(
      use Fcntl qw(:flock F_SETFD);
      my ($logs, $name) = @ARGV;
      pipe(my $locked, my $report) or die "pipe: $!";
      my $pid = fork;
      defined $pid or die "fork: $!";
      if (!$pid) {
        open(my $lock, ">>", "$logs/server.lock") or die "lock: $!";
        flock($lock, LOCK_EX | LOCK_NB) or die "lock: $!";
        fcntl($lock, F_SETFD, 0);
        print {$report} "locked\n";
        close($report);
        exec {"/usr/bin/perl"} "perl", "-e", "sleep 120", $name;
        exit 127;
      }
      close($report);
      <$locked> or die "no lock";
      open(my $out, ">", "$logs/pid.new") or die "$logs/pid: $!";
      print {$out} "$pid\n";
      close($out);
      rename("$logs/pid.new", "$logs/pid") or die "$logs/pid: $!";
      waitpid($pid, 0);)";
    std::vector<std::string> command = runningAsRoot() ? asUser(user) : std::vector<std::string>();
    for (const std::string& word : {std::string("/usr/bin/perl"), std::string("-e"), program, instance(id) + "/logs",
                                    instance(id) + "/fake-server"})
      command.push_back(word);
    StartedProcess server = startProcess(command, {"PATH=/usr/bin:/bin"});
    eventually([&] { return serverPid(id) != 0; });
    return server;
  }

  // The state `list --json` gives the instance `id`, after checking that
  // the table gives it too.
  std::string listedState(const std::string& id) {
    ProcessResult json = ctl({"list", "--json"}), table = ctl({"list"});
    EXPECT_EQ(json.status, 0) << json.err;
    std::string state = "(not listed)";
    for (const auto& entry : nlohmann::json::parse(json.out))
      if (entry["id"] == id) state = entry["state"];
    const std::vector<std::string> lines = linesOf(table.out);
    const size_t column = lines.empty() ? 0 : lines[0].find("STATE");
    std::string shown = "(not listed)";
    for (size_t i = 1; i < lines.size(); ++i)
      if (lines[i].rfind(id + " ", 0) == 0) shown = lines[i].substr(column, lines[i].find(' ', column) - column);
    EXPECT_EQ(shown, state) << table.out;
    return state;
  }

  // `command` run as the case's identity, killed with SIGKILL before its
  // `when`th call of `syscall`.
  ProcessResult killedAt(const std::vector<std::string>& command, const std::string& syscall, int when) {
    std::vector<std::string> argv = prefix;
    const std::vector<std::string> strace = {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", "trace=" + syscall,
                                             "-e", "inject=" + syscall + ":signal=KILL:when=" + std::to_string(when)};
    argv.insert(argv.end(), strace.begin(), strace.end());
    argv.insert(argv.end(), command.begin(), command.end());
    std::vector<std::string> env = commandLineEnvironment(installation.root);
    env.push_back("INSTALL_CHECK_PORTS=no");
    env.push_back("ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer cannot work under ptrace
    return runProcess(argv, env);
  }

  // A creation killed once its document root is made, filled and handed
  // over, before it publishes the instance.
  void killCreation(const std::string& id, const std::string& docRoot) {
    ProcessResult killed = killedAt(installCommand(allOptions(id, user, docRoot)), "syncfs", 1);
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
  }

  std::string unfinished(const std::string& id, const std::string& entry) const {
    return "The server identifier " + id + " is held by a creation or a removal that did not finish (" +
           installation.root + "/" + entry + "); run \"instancectl remove " + id + "\" to clear it, then try again.\n";
  }

  // web1, left by a run killed at `entry`, keeps its identifier and its
  // port: a new creation of it, and one of web2 on its port, are refused.
  void expectHeldByUnfinishedRun(const std::string& entry, const std::string& docs) {
    ProcessResult again = runInstall(allOptions("web1", user, docs), commandLineEnvironment(installation.root), "", prefix);
    EXPECT_EQ(again.status, 254);
    EXPECT_EQ(again.err, unfinished("web1", entry));
    ProcessResult other = createOnTakenPort("web2");
    EXPECT_EQ(other.status, 3);
    EXPECT_NE(other.err.find("The port " + optionsHttpPort() + " is already used by the instance web1."), std::string::npos)
        << other.err;
  }

  // A creation of `id` on the port that the others use, with the ports checked.
  ProcessResult createOnTakenPort(const std::string& id) {
    return runInstall(allOptions(id, user, installation.scratch / ("docs-" + id)),
                      commandLineEnvironment(installation.root), "", prefix);
  }

  pid_t serverPid(const std::string& id) {
    ProcessResult r = ctl({"list", "--json"});
    for (const auto& entry : nlohmann::json::parse(r.out))
      if (entry["id"] == id && entry["state"] == "running") return entry["pid"].get<pid_t>();
    return 0;
  }

  Installation installation;
  std::string user = "daemon";
  std::vector<std::string> prefix;
};

INSTANTIATE_TEST_SUITE_P(Identities, Instancectl, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& identity) { return identity.param ? "AsRoot" : "AsUser"; });

TEST_P(Instancectl, ListShowsEveryStateAsTextAndJson) {
  const std::string docs = installation.scratch / "docs";
  for (const char* id : {"web1", "web2", "web3", "web4", "web5"}) create(id, docs);
  StartedProcess server = startServer("web2");
  const pid_t pid = serverPid("web2");
  ASSERT_NE(pid, 0);
  ASSERT_EQ(rename(instance("web3").c_str(), instance("broken.web3").c_str()), 0);
  ASSERT_EQ(unlink((instance("web4") + "/config/answers.conf").c_str()), 0);  // made before records were kept
  const std::string odd = instance("web5") + "/config/answers.conf";
  ASSERT_EQ(unlink(odd.c_str()), 0);
  ASSERT_EQ(mkfifo(odd.c_str(), 0644), 0);  // would hang a reader that blocks
  killCreation("web6", docs);
  create("web7", docs);
  ASSERT_EQ(killedAt({INSTANCECTL_BINARY, "remove", "web7"}, "unlinkat", 20).status, 128 + SIGKILL);

  ProcessResult text = ctl({"list"});
  ASSERT_EQ(text.status, 0) << text.err;
  std::vector<std::string> lines = linesOf(text.out);
  ASSERT_EQ(lines.size(), 8u) << text.out;
  const std::string& header = lines[0];
  const size_t state = header.find("STATE"), documentRoot = header.find("DOCUMENT ROOT"), port = header.find("PORT");
  ASSERT_EQ(header.rfind("ID", 0), 0u) << header;
  struct Row {
    const char* id;
    std::string state;
    std::string port;
    std::string docRoot;
  } rows[] = {{"broken.web3", "broken", optionsHttpPort(), docs},
              {"web1", "stopped", optionsHttpPort(), docs},
              {"web2", "running (" + std::to_string(pid) + ")", optionsHttpPort(), docs},
              // No record to read: the configuration still gives the ports,
              // and the server's lock its state.
              {"web4", "stopped", optionsHttpPort(), "-"},
              {"web5", "stopped", optionsHttpPort(), "-"},
              {"web6", "incomplete", optionsHttpPort(), docs},
              {"web7", "removing", optionsHttpPort(), docs}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(lines[i + 1]);
    EXPECT_EQ(lines[i + 1].rfind(std::string(rows[i].id) + " ", 0), 0u);
    EXPECT_EQ(lines[i + 1].substr(state, rows[i].state.size() + 1), rows[i].state + " ");
    EXPECT_EQ(lines[i + 1].substr(port, rows[i].port.size() + 1), rows[i].port + " ");
    EXPECT_EQ(lines[i + 1].substr(documentRoot), rows[i].docRoot);
    EXPECT_NE(lines[i + 1].find(" " + user + " "), std::string::npos);
  }

  ProcessResult json = ctl({"list", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(json.out);
  ASSERT_EQ(parsed.size(), 7u);
  for (const auto& entry : parsed) {
    std::vector<std::string> keys;
    for (const auto& item : entry.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "server_name", "port", "jms_port", "user", "docroot", "state", "pid",
                                              "java_home", "jms_admin", "config_differs"}));
    EXPECT_EQ(entry["user"], user);
  }
  EXPECT_EQ(parsed[2], nlohmann::ordered_json::parse(R"({"id": "web2", "server_name": "www.example.test", "port": )" +
                                                     optionsHttpPort() + R"(, "jms_port": )" + optionsJmsPort() +
                                                     R"(, "user": ")" + user + R"(", "docroot": ")" + docs +
                                                     R"(", "state": "running", "pid": )" + std::to_string(pid) +
                                                     R"(, "java_home": "/usr/lib/jvm/java", "jms_admin": "admin", "config_differs": []})"));
  EXPECT_EQ(parsed[0]["state"], "broken");
  EXPECT_EQ(parsed[0]["server_name"], "www.example.test");
  EXPECT_EQ(parsed[1]["pid"], nullptr);
  EXPECT_EQ(parsed[3]["port"], std::stoi(optionsHttpPort()));
  EXPECT_EQ(parsed[3]["docroot"], nullptr);
  EXPECT_EQ(parsed[3]["config_differs"], nullptr);
  EXPECT_EQ(parsed[4]["state"], "stopped");
  EXPECT_EQ(parsed[4]["docroot"], nullptr);
  EXPECT_EQ(parsed[5]["state"], "incomplete");
  EXPECT_EQ(parsed[6]["state"], "removing");
  EXPECT_EQ(parsed[6]["port"], std::stoi(optionsHttpPort()));
}

// The administrator moves the HTTP port and renames the server in
// server.xml: list shows what the server reads and marks what the record
// no longer says; a new creation is refused the new port and may take the
// old one. A configuration that cannot be read safely (or is out of its
// format) leaves the record serving, without a hang and without being shown.
TEST_P(Instancectl, ListAndNewCreationsGoByTheConfigurationTheServerReads) {
  create("web1", installation.scratch / "docs");
  const std::string old = optionsHttpPort(), moved = uniquePort(), jms = uniquePort();
  const std::string configuration = instance("web1") + "/config/server.xml";
  const std::string created = readFile(configuration);
  const std::string edited = replaceAll(replaceAll(created, "port=\"" + old + "\"", "port=\"" + moved + "\""),
                                        "server-name=\"www.example.test\"", "server-name=\"new.example.test\"");
  ASSERT_NE(edited, created);
  writeFile(configuration, edited, 0600);
  const uid_t owner = fileOwner(configuration);

  ProcessResult text = ctl({"list"});
  ASSERT_EQ(text.status, 0) << text.err;
  std::vector<std::string> lines = linesOf(text.out);
  ASSERT_EQ(lines.size(), 3u) << text.out;
  EXPECT_EQ(lines[1].substr(lines[0].find("SERVER NAME"), 18), "new.example.test* ") << text.out;
  EXPECT_EQ(lines[1].substr(lines[0].find("PORT"), moved.size() + 2), moved + "* ") << text.out;
  EXPECT_EQ(lines[1].substr(lines[0].find("JMS PORT"), optionsJmsPort().size() + 1), optionsJmsPort() + " ");
  EXPECT_EQ(lines[2].rfind("* differs from the record config/answers.conf: ", 0), 0u) << text.out;
  ProcessResult bare = ctl({"list", "--no-header"});
  EXPECT_EQ(linesOf(bare.out).size(), 1u) << bare.out;
  ProcessResult json = ctl({"list", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  nlohmann::json listed = nlohmann::json::parse(json.out).at(0);
  EXPECT_EQ(listed["server_name"], "new.example.test");
  EXPECT_EQ(listed["port"], std::stoi(moved));
  EXPECT_EQ(listed["jms_port"], std::stoi(optionsJmsPort()));
  EXPECT_EQ(listed["config_differs"], nlohmann::json::parse(R"(["server_name", "port"])"));

  // A creation of web2 on `port`, its ports checked; -n with `checkOnly`.
  auto creation = [&](const std::string& port, bool checkOnly) {
    std::vector<std::string> args = allOptions("web2", user, installation.scratch / "docs2");
    args[3] = port;
    args[11] = jms;
    if (checkOnly) args.insert(args.begin(), "-n");
    return runInstall(args, commandLineEnvironment(installation.root), "", timeLimit(prefix));
  };
  const std::string takenBy = "The port " + moved + " is already used by the instance web1.";
  for (bool checkOnly : {true, false}) {
    ProcessResult refused = creation(moved, checkOnly);
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find(takenBy), std::string::npos) << refused.err;
  }
  EXPECT_FALSE(fileExists(instance("web2")));
  EXPECT_EQ(creation(old, true).status, 0) << "the old port is free";

  // What root must not read for the server user, and what is no configuration.
  const std::string secret = installation.scratch / "secret.xml";
  writeFile(secret, "<instance>\n  <http port=\"" + moved + "\" server-name=\"SECRET-NAME\"/>\n</instance>\n", 0600);
  const struct {
    const char* what;
    std::function<void(const std::string& file)> plant;
    bool asRootOnly;
  } plants[] = {
      {"a FIFO", [](const std::string& f) { ASSERT_EQ(mkfifo(f.c_str(), 0644), 0); }, false},
      {"a link", [&](const std::string& f) { ASSERT_EQ(symlink(secret.c_str(), f.c_str()), 0); }, false},
      {"a hard link to root's file", [&](const std::string& f) { ASSERT_EQ(link(secret.c_str(), f.c_str()), 0); }, true},
      {"a sparse file of 4 GiB", [](const std::string& f) {
         writeFile(f, "", 0600);
         ASSERT_EQ(truncate(f.c_str(), 4LL << 30), 0);
       }, false},
      {"an element on two lines", [&](const std::string& f) {
         writeFile(f, replaceAll(edited, "<http address", "<http\n address"), 0600);
       }, false},
  };
  for (const auto& plant : plants) {
    if (plant.asRootOnly && !GetParam()) continue;
    SCOPED_TRACE(plant.what);
    ASSERT_EQ(unlink(configuration.c_str()), 0);
    plant.plant(configuration);
    // The server user's own, as what it plants would be (root's file stays root's).
    if (!plant.asRootOnly) {
      ASSERT_EQ(lchown(configuration.c_str(), owner, static_cast<gid_t>(-1)), 0);
    }
    ProcessResult r = runInstancectl({"list", "--json"}, installation.root, timeLimit(prefix));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("SECRET"), std::string::npos);
    nlohmann::json entry = nlohmann::json::parse(r.out).at(0);
    EXPECT_EQ(entry["port"], std::stoi(old)) << "the record serves";
    EXPECT_EQ(entry["server_name"], "www.example.test");
    EXPECT_TRUE(entry["config_differs"].is_null());
    r = creation(old, true);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("The port " + old + " is already used by the instance web1."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("SECRET"), std::string::npos);
    EXPECT_EQ(creation(moved, true).status, 0);
  }
  ASSERT_EQ(unlink(configuration.c_str()), 0);
  writeFile(configuration, edited, 0600);
  ASSERT_EQ(chown(configuration.c_str(), owner, static_cast<gid_t>(-1)), 0);

  ProcessResult made = creation(old, false);
  EXPECT_EQ(made.status, 0) << made.err;
  nlohmann::json both = nlohmann::json::parse(ctl({"list", "--json"}).out);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[1]["port"], std::stoi(old));
  EXPECT_EQ(both[1]["config_differs"], nlohmann::json::array());
}

// A creation killed before it published the instance: every tool calls it
// incomplete, it keeps its identifier and ports, and remove takes it back
// with the directories it made outside; the next creation hands the
// document root over as a clean run does.
TEST_P(Instancectl, AnInterruptedCreationIsIncompleteUntilRemovedWithWhatItMade) {
  const std::string site = installation.scratch / "site", docs = site + "/docs";
  killCreation("web1", docs);
  EXPECT_EQ(listedState("web1"), "incomplete");
  expectHeldByUnfinishedRun("web1", docs);
  if (GetParam()) {
    ProcessResult unit = ctl({"unit", "web1", "--unit-dir", installation.scratch.path()});
    EXPECT_EQ(unit.status, 2);
    EXPECT_EQ(unit.err, instance("web1") + " is a creation or a removal that did not finish; it has no server to start.\n");
  }

  ProcessResult removed = ctl({"remove", "web1"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "Removed " + docs + ", which the unfinished creation had made.\nRemoved " + site +
                             ", which the unfinished creation had made.\nRemoved the instance web1 (" + instance("web1") +
                             ").\n");
  EXPECT_FALSE(fileExists(site));
  EXPECT_EQ(ctl({"list", "--json"}).out, "[]\n");
  create("web1", docs);
  EXPECT_EQ(fileOwner(docs), uidOf(user));
  EXPECT_EQ(fileOwner(docs + "/index.html"), uidOf(user));
  EXPECT_EQ(fileMode(site), 0755);
}

// What the killed creation made is taken back only while nothing else
// depends on it: another instance serves it, or it is no longer the
// directory the creation made.
TEST_P(Instancectl, AnInterruptedCreationTakesBackOnlyWhatIsStillItsOwn) {
  const std::string site = installation.scratch / "site", docs = site + "/docs";
  enum Change { ServedByAnother, MadeAgainByHand };
  const struct {
    Change change;
    std::string left;
  } cases[] = {
      {ServedByAnother, "Left " + docs + " in place, which the unfinished creation had made: the instance web2 "
                        "names it, or a directory in it, as its document root.\n"},
      {MadeAgainByHand, "Left " + docs + " in place: it is no longer the directory the unfinished creation had "
                        "made, or something else was put in it.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    killCreation("web1", docs);
    if (c.change == ServedByAnother) create("web2", docs);
    if (c.change == MadeAgainByHand) {
      std::vector<std::string> remake = prefix;
      for (const std::string& word : {std::string("/bin/sh"), std::string("-c"),
                                      std::string("rm -rf \"$0\" && mkdir \"$0\" && echo mine > \"$0/index.html\""), docs})
        remake.push_back(word);
      ASSERT_EQ(runProcess(remake, {"PATH=/usr/bin:/bin"}).status, 0);
    }
    const auto before = snapshot(docs);
    ProcessResult removed = ctl({"remove", "web1"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.err, c.left + "Left " + site + " in place: it is no longer the directory the unfinished "
                                                     "creation had made, or something else was put in it.\n");
    EXPECT_EQ(snapshot(docs), before);
    EXPECT_FALSE(fileExists(instance("web1")));
    ctl({"remove", "web2"});
    removeTree(site);
  }
}

// A removal killed in its walk: listed as removing, it keeps the identifier
// and the ports, and the next remove finishes it from its note.
TEST_P(Instancectl, AnInterruptedRemovalIsFinishedByTheNextOne) {
  const std::string docs = installation.scratch / "docs";
  create("web1", docs);
  const auto site = snapshot(docs);
  ProcessResult killed = killedAt({INSTANCECTL_BINARY, "remove", "web1"}, "unlinkat", 20);
  ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
  EXPECT_FALSE(fileExists(instance("web1")));
  EXPECT_EQ(listedState("web1"), "removing");
  expectHeldByUnfinishedRun(".removing.web1", docs);

  ProcessResult finished = ctl({"remove", "web1"});
  EXPECT_EQ(finished.status, 0) << finished.err;
  EXPECT_EQ(finished.out, "Going on with the unfinished removal of web1.\nRemoved the instance web1 (" +
                              instance("web1") + ").\nKept the document root " + docs + ": it holds the site.\n");
  EXPECT_EQ(snapshot(docs), site);
  EXPECT_EQ(ctl({"list", "--json"}).out, "[]\n");
  EXPECT_EQ(installationTree(installation.root), installationTree(sampleServerRoot()));
}

// What a failed creation set aside is removed by its name.
TEST_P(Instancectl, WhatAFailedCreationSetAsideIsRemovedByItsName) {
  create("web3", installation.scratch / "docs");
  ASSERT_EQ(rename(instance("web3").c_str(), instance("broken.web3").c_str()), 0);
  ProcessResult removed = ctl({"remove", "broken.web3"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out.rfind("Removed the instance broken.web3 (" + instance("broken.web3") + ").\n", 0), 0u)
      << removed.out;
  EXPECT_FALSE(fileExists(instance("broken.web3")));
}

// A few instances by name, and a table for scripts without its headings;
// an identifier that names none is named itself.
TEST_P(Instancectl, ListShowsTheInstancesAskedForAndCanLeaveOutItsHeadings) {
  const std::string docs = installation.scratch / "docs";
  for (const char* id : {"web1", "web2", "web3"}) create(id, docs);
  ASSERT_EQ(rename(instance("web3").c_str(), instance("broken.web3").c_str()), 0);
  const std::string unknown = "There is no instance web9 in " + installation.root +
                              "; instancectl list shows the instances there.\n";
  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> ids;  // the rows, in order
    bool header;
    int status;
    std::string err;
  } cases[] = {
      {{"list"}, {"broken.web3", "web1", "web2"}, true, 0, ""},
      {{"list", "web2"}, {"web2"}, true, 0, ""},
      {{"list", "web2", "broken.web3", "web2"}, {"broken.web3", "web2"}, true, 0, ""},
      {{"list", "--no-header"}, {"broken.web3", "web1", "web2"}, false, 0, ""},
      {{"list", "--no-header", "web1"}, {"web1"}, false, 0, ""},
      {{"list", "web9", "web1"}, {"web1"}, true, 3, unknown},
      {{"list", "--no-header", "web9"}, {}, false, 3, unknown},
      {{"list", "web3"}, {}, true, 3, "There is no instance web3 in " + installation.root +
                                           "; instancectl list shows the instances there.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    ProcessResult r = ctl(c.arguments);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    std::vector<std::string> lines = linesOf(r.out);
    if (c.header) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.front().rfind("ID ", 0), 0u) << lines.front();
      lines.erase(lines.begin());
    }
    std::vector<std::string> ids;
    for (const std::string& line : lines) ids.push_back(line.substr(0, line.find(' ')));
    EXPECT_EQ(ids, c.ids);
    for (const std::string& line : lines) EXPECT_NE(line.find(" " + docs), std::string::npos) << line;
  }
  ProcessResult json = ctl({"list", "--json", "web1", "web9"});
  EXPECT_EQ(json.status, 3);
  EXPECT_EQ(json.err, unknown);
  nlohmann::json parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0]["id"], "web1");
}

TEST_P(Instancectl, RemoveRefusesARunningInstanceUntilStopIsGiven) {
  const std::string docs = installation.scratch / "docs";
  create("web1", docs);
  StartedProcess server = startServer("web1");
  const pid_t pid = serverPid("web1");
  ASSERT_NE(pid, 0);
  const std::vector<std::string> before = installationTree(installation.root);

  ProcessResult refused = ctl({"remove", "web1"});
  EXPECT_EQ(refused.status, 4);
  EXPECT_EQ(refused.err, "The instance web1 is running (process " + std::to_string(pid) +
                             "); nothing was removed. Stop it first, or give --stop to stop it with its own "
                             "bin/stopserv.\n");
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(installationTree(installation.root), before);
  EXPECT_EQ(kill(pid, 0), 0);

  ProcessResult removed = ctl({"remove", "web1", "--stop"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "Removed the instance web1 (" + instance("web1") + ").\nKept the document root " + docs +
                             ": it holds the site.\n");
  EXPECT_FALSE(fileExists(instance("web1")));
  EXPECT_TRUE(fileExists(docs + "/index.html"));
  EXPECT_EQ(waitProcess(server).status, 0);  // its server was stopped, then reaped
  EXPECT_NE(kill(pid, 0), 0);
}

TEST_P(Instancectl, AnUnknownIdentifierChangesNothing) {
  create("web1", installation.scratch / "docs");
  const std::vector<std::string> before = installationTree(installation.root);
  ProcessResult r = ctl({"remove", "web9"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "There is no instance web9 in " + installation.root +
                       "; instancectl list shows the instances there.\n");
  std::vector<std::string> french = prefix;
  french.push_back(INSTANCECTL_BINARY);
  for (const char* word : {"remove", "web9"}) french.push_back(word);
  ProcessResult frenchRun = runProcess(french, {"PATH=/usr/bin:/bin", "LANG=fr_FR.UTF-8",
                                                "ZORA_SERVER_HOME=" + installation.root});
  EXPECT_EQ(frenchRun.status, 3);
  EXPECT_EQ(frenchRun.err, "Il n’y a pas d’instance web9 dans " + installation.root +
                               " ; instancectl list montre les instances qui s’y trouvent.\n");
  for (const char* id : {"lib", "admin-server", "../server-root", ".instances.lock"}) {
    ProcessResult other = ctl({"remove", id});
    EXPECT_EQ(other.status, 3) << id << ": " << other.err;
  }
  EXPECT_EQ(ctl({"unit", "web9", "--unit-dir", installation.scratch.path()}).status, GetParam() ? 3 : 2);
  EXPECT_EQ(installationTree(installation.root), before);
}

TEST_P(Instancectl, ADocumentRootInsideTheInstanceIsKept) {
  const std::string docs = instance("web1") + "/site/docs";
  create("web1", docs);
  ProcessResult r = ctl({"remove", "web1"});
  EXPECT_EQ(r.status, 2) << "the instance directory stays";
  EXPECT_EQ(r.out, "Kept " + docs + " and the directories leading to it: the document root lies inside the instance "
                   "directory " + instance("web1") + ".\n");
  EXPECT_EQ(r.err, "The instance web1 is not removed: its directory " + instance("web1") +
                       " is still there with what the lines above name.\n");
  EXPECT_EQ(listTree(instance("web1")).front(), "site/");
  EXPECT_TRUE(fileExists(docs + "/index.html"));
  EXPECT_EQ(fileOwner(instance("web1") + "/site"), uidOf(user)) << "kept directories are given back";
  EXPECT_EQ(ctl({"list", "--json"}).out, "[]\n") << "what is left is no instance";
}

TEST_P(Instancectl, TheUnitPassesSystemdVerificationAndGoesWithTheInstance) {
  create("web1", installation.scratch / "docs");
  const std::string units = installation.scratch / "units";
  if (GetParam()) {
    ProcessResult missing = ctl({"unit", "web1", "--unit-dir", units});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "Cannot open " + units + " for writing: No such file or directory\n");
  }
  makeDirs(units);
  ProcessResult r = ctl({"unit", "web1", "--unit-dir", units});
  if (!GetParam()) {
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Only root can write a service unit: a system unit must belong to root.\n");
    EXPECT_TRUE(listTree(units).empty());
    return;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> files = listTree(units);
  ASSERT_EQ(files.size(), 1u);
  const std::string unit = units + "/" + files[0];
  EXPECT_EQ(r.out, "Wrote the service unit " + unit +
                       ".\nTo start the instance now and at every boot, run:\n  systemctl daemon-reload\n"
                       "  systemctl enable --now '" + files[0] + "'\n");
  EXPECT_EQ(fileMode(unit), 0644);
  EXPECT_EQ(fileOwner(unit), 0u);
  const std::string text = readFile(unit);
  const std::vector<std::string> wanted = {
       std::string("User=daemon"), "Group=" + std::string(getgrgid(getpwnam("daemon")->pw_gid)->gr_name),
        "ExecStart=" + instance("web1") + "/bin/startserv", "AmbientCapabilities=CAP_NET_BIND_SERVICE",
        "CapabilityBoundingSet=CAP_NET_BIND_SERVICE", "NoNewPrivileges=yes"};
  for (const std::string& line : wanted)
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
  EXPECT_EQ(text.find("PIDFile"), std::string::npos);

  ProcessResult verify = runProcess({"/usr/bin/systemd-analyze", "verify", "--man=no", unit}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.out + verify.err, "");

  EXPECT_EQ(ctl({"unit", "web1", "--unit-dir", units}).status, 0);
  writeFile(unit, text + "# edited\n");
  ProcessResult refused = ctl({"unit", "web1", "--unit-dir", units});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "The service unit " + unit + " already exists with other content; give --force to replace it.\n");
  EXPECT_EQ(ctl({"unit", "web1", "--unit-dir", units, "--force"}).status, 0);
  EXPECT_EQ(readFile(unit), text);

  ProcessResult removed = ctl({"remove", "web1", "--unit-dir", units});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_NE(removed.out.find("Removed the service unit " + unit + "; run systemctl daemon-reload.\n"), std::string::npos);
  EXPECT_TRUE(listTree(units).empty());
}

TEST(InstancectlAsRoot, AUnitNeverStartsAScriptTheServerUserCanChange) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  Installation installation;
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  env.push_back("INSTALL_CHECK_PORTS=no");
  ASSERT_EQ(runInstall(allOptions("web1", "daemon", installation.scratch / "docs"), env).status, 0);
  // As an instance made before control scripts stayed root's.
  ASSERT_EQ(chown((installation.root + "/web1/bin").c_str(), uidOf("daemon"), static_cast<gid_t>(-1)), 0);
  const std::string units = installation.scratch / "units";
  makeDirs(units);
  ProcessResult r = runInstancectl({"unit", "web1", "--unit-dir", units}, installation.root);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Refusing to write a unit that starts " + installation.root +
                       "/web1/bin/startserv: users other than root can change it or a directory on its way. An "
                       "instance created by root keeps its control scripts owned by root.\n");
  EXPECT_TRUE(listTree(units).empty());
}

TEST(InstancectlAsRoot, AMountPointInsideTheInstanceIsRefusedBeforeAnythingGoes) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  Installation installation;
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  env.push_back("INSTALL_CHECK_PORTS=no");
  ASSERT_EQ(runInstall(allOptions("web1", "daemon", installation.scratch / "docs"), env).status, 0);
  const std::string mounted = installation.root + "/web1/applications/j2ee-apps";
  if (mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount here";
  writeFile(mounted + "/on-the-mount", "x");
  const std::vector<std::string> before = installationTree(installation.root);
  ProcessResult r = runInstancectl({"remove", "web1"}, installation.root);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Refusing to remove " + installation.root + "/web1: " + mounted +
                       " below it is a mount point. Nothing was removed.\n");
  EXPECT_EQ(installationTree(installation.root), before);
  umount2(mounted.c_str(), MNT_DETACH);
}

// The server user attacks the removal of its own instance: it renames its
// directories and puts links to a directory of root's in their place, adds
// FIFOs, links to a file of root's and directories, all while the removal
// goes on (slowed by strace). The directory of root's must come out as it
// went in, and the instance must be gone.
TEST(InstancectlAsRoot, ARemovalRacedByTheServerUserNeverLeavesTheInstance) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root";
  Installation installation;
  const std::string sentinel = installation.scratch / "sentinel";
  makeDirs(sentinel + "/dir");
  writeFile(sentinel + "/secret", "root's own\n", 0600);
  writeFile(sentinel + "/dir/inner", "root's own too\n");
  const auto before = snapshot(sentinel);
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  env.push_back("INSTALL_CHECK_PORTS=no");
  ASSERT_EQ(runInstall(allOptions("web1", "daemon", installation.scratch / "docs"), env).status, 0);
  const std::string instance = installation.root + "/web1";

  std::vector<std::string> fill = asUser("daemon");
  for (const std::string& word :
       {std::string("/usr/bin/perl"), std::string("-e"),
        std::string("for my $d (1 .. 40) { my $dir = \"$ARGV[0]/applications/j2ee-apps/app$d\"; mkdir $dir; "
                    "mkdir \"$dir/sub\"; for my $f (1 .. 10) { open(my $o, '>', \"$dir/sub/f$f\"); close $o } }"),
        instance})
    fill.push_back(word);
  ASSERT_EQ(runProcess(fill, {"PATH=/usr/bin:/bin"}).status, 0);

  // Bounded, so that it can never outgrow the removal: at most 3000 acts in 20 s.
  const std::string racer = R"(
    use POSIX qw(mkfifo);
    my ($instance, $sentinel) = @ARGV;
    my ($n, $end) = (0, time + 20);
    $| = 1;
    print "ready\n";
    sub walk { my ($d) = @_; opendir(my $h, $d) or return (); my @e = grep { !/^\.\.?$/ } readdir($h);
               return map { my $p = "$d/$_"; (-d $p && !-l $p) ? ($p, walk($p)) : () } @e }
    while (-d $instance && time < $end && $n < 3000) {
      for my $dir (walk($instance)) {
        last if ++$n >= 3000;
        if (rename($dir, "$dir.moved$n")) { symlink("$sentinel/dir", $dir); $dir = "$dir.moved$n" }
        mkfifo("$dir/fifo$n", 0644);
        symlink("$sentinel/secret", "$dir/secret$n");
        link("$sentinel/secret", "$dir/hard$n");
        mkdir("$dir/new$n") if $n % 50 == 0;
      }
    })";
  std::vector<std::string> racerCommand = asUser("daemon");
  for (const std::string& word : {std::string("/usr/bin/perl"), std::string("-e"), racer, instance, sentinel})
    racerCommand.push_back(word);
  StartedProcess attacker = startProcess(racerCommand, {"PATH=/usr/bin:/bin"});
  ASSERT_TRUE(waitForLine(attacker, "ready")) << "the attacker did not start";

  ProcessResult r = runProcess({"/usr/bin/strace", "-f", "-o", "/dev/null", "-e",
                                "inject=unlinkat,openat:delay_exit=500", INSTANCECTL_BINARY, "remove", "web1"},
                               {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + installation.root,
                                "ASAN_OPTIONS=detect_leaks=0"});
  kill(attacker.pid(), SIGKILL);
  waitProcess(attacker);

  EXPECT_EQ(snapshot(sentinel), before);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fileExists(instance));
}

}  // namespace
