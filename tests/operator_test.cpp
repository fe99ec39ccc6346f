// SPDX-License-Identifier: GPL-3.0-or-later
// What administrators need beyond the usual answers: ports that are already
// taken, the password kept off the command line, and a run that only checks.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/blackbox.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A socket listening on a port the system chose, on every address.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd_, 1) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = std::to_string(ntohs(address.sin_port));
  }
  ~Listener() { close(fd_); }
  const std::string& port() const { return port_; }

 private:
  int fd_ = -1;
  std::string port_;
};

class Operator : public ::testing::Test {
 protected:
  Installation installation;
  std::string docRoot = installation.scratch / "docs";
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  std::string user = currentUserName();
  // web1's ports (those of allOptions), and two more for the other instances.
  const std::string http = optionsHttpPort(), jms = optionsJmsPort();
  const std::string otherHttp = uniquePort(), otherJms = uniquePort();

  // All options for `id` with the given ports (and the rest as allOptions).
  std::vector<std::string> options(const std::string& id, const std::string& port, const std::string& jmsPort) {
    std::vector<std::string> args = allOptions(id, user, docRoot);
    args[3] = port;
    args[11] = jmsPort;
    return args;
  }
  std::vector<std::string> withoutPassword(std::vector<std::string> args) {
    args.erase(args.begin() + 14, args.begin() + 16);  // -W secret
    return args;
  }
  std::string instance(const std::string& id) { return installation.root + "/" + id; }
};

TEST_F(Operator, PortsTakenByAnotherInstanceEachOtherOrAProcessAreRefused) {
  ProcessResult first = runInstall(options("web1", http, jms), env);
  ASSERT_EQ(first.status, 0) << first.err;
  Listener listener;
  const struct {
    std::string port, jmsPort, message;
  } cases[] = {
      {http, otherJms, "The port " + http + " is already used by the instance web1.\n"},
      {otherHttp, jms, "The port " + jms + " is already used by the instance web1.\n"},
      {otherHttp, otherHttp, "The HTTP port and the JMS port are both " + otherHttp + "; they must differ.\n"},
      {listener.port(), otherJms, "The port " + listener.port() + " is already used by a running process.\n"},
  };
  auto before = listTree(installation.root);
  for (const auto& c : cases) {
    ProcessResult r = runInstall(options("web2", c.port, c.jmsPort), env);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, c.message);
  }
  EXPECT_EQ(listTree(installation.root), before);
  EXPECT_FALSE(fileExists(docRoot + "-web2"));

  auto french = env;
  french[1] = "LANG=fr_FR.UTF-8";
  ProcessResult r = runInstall(options("web2", http, otherJms), french);
  EXPECT_EQ(r.err, "Le port " + http + " est déjà utilisé par l’instance web1.\n");
}

TEST_F(Operator, PortChecksCanBeTurnedOffForDeliberateReuse) {
  ASSERT_EQ(runInstall(options("web1", http, jms), env).status, 0);
  auto reuse = env;
  reuse.push_back("INSTALL_CHECK_PORTS=no");
  ProcessResult r = runInstall(options("web2", http, jms), reuse);
  EXPECT_EQ(r.status, 0) << r.err;

  const std::string settings = installation.root + "/lib/install/install.defaults";
  writeFile(settings, readFile(settings) + "checkPorts = no\n");
  r = runInstall(options("web3", http, jms), env);
  EXPECT_EQ(r.status, 0) << r.err;
  // An instance with both services on one port could never start.
  r = runInstall(options("web5", otherHttp, otherHttp), reuse);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "The HTTP port and the JMS port are both " + otherHttp + "; they must differ.\n");
  reuse.back() = "INSTALL_CHECK_PORTS=maybe";
  r = runInstall(options("web4", http, jms), reuse);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Installation settings: INSTALL_CHECK_PORTS: checkPorts must be \"yes\" or \"no\"\n");
}

// An installation setting left unset leaves its marker in server.xml: the
// creation and -n say which, and where.
TEST_F(Operator, SettingsLeftUnsetAreNamedWithTheFileThatKeepsTheirMarkers) {
  const std::string settings = installation.root + "/lib/install/install.defaults";
  writeFile(settings, replaceAll(replaceAll(readFile(settings), "\nqbusBin", "\n#qbusBin"), "\norbListenerPort",
                                 "\n#orbListenerPort"));
  const std::string note = "No value was given for qbusBin (%%%QBUS_BIN%%%), orbListenerPort "
                           "(%%%ORB_LISTENER1_PORT%%%): " + instance("web1") +
                           "/config/server.xml keeps the marker of each where its value belongs; replace the "
                           "markers there before the server uses them.\n";
  const std::string port = uniquePort(), jmsPort = uniquePort();
  auto args = options("web1", port, jmsPort);
  args.insert(args.begin(), "-n");
  ProcessResult check = runInstall(args, env);
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.err, note + "No problem found: the instance " + instance("web1") + " can be created.\n");
  args.erase(args.begin());
  ProcessResult r = runInstall(args, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Created new Server www.example.test (web1), \nlistening to port " + port + " \n and serving documents "
                   "from " + docRoot + " directory.\n" + note);
  EXPECT_TRUE(contains(readFile(instance("web1") + "/config/server.xml"), "bin=\"%%%QBUS_BIN%%%\""));

  // A refused check makes no server.xml, so it says nothing of its markers.
  args = withoutPassword(options("web2", uniquePort(), uniquePort()));
  args.insert(args.begin(), {"-n", "-w", "-"});
  ProcessResult refused = runInstall(args, env, "");
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err, "Standard input (-w -) holds no password on its first line.\n");
}

// Root as the server user runs the server with every privilege: refused by
// the creation, -n and the form alike, unless the installation's settings
// or the environment allow it.
TEST_F(Operator, ARootServerUserIsRefusedUnlessAllowed) {
  if (!runningAsRoot()) GTEST_SKIP() << "only root can create an instance for root";
  user = "root";
  const std::string settings = installation.root + "/lib/install/install.defaults";
  const std::string plain = readFile(settings);
  const std::string refusal = "The server user root has the user id of root (0): the server would run with every "
                              "privilege of the system. Give another user, or allow root with allowRootUser = yes in " +
                              settings + " (or INSTALL_ALLOW_ROOT_USER=yes).\n";
  const std::vector<std::string> base = {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + installation.root};
  const struct {
    const char* setting;      // a line added to install.defaults
    const char* environment;  // a variable added to the environment
    int status;
    std::string err;
  } cases[] = {
      {"", "", 3, refusal},
      {"allowRootUser = no\n", "", 3, refusal},
      {"allowRootUser = yes\n", "INSTALL_ALLOW_ROOT_USER=no", 3, refusal},
      {"", "INSTALL_ALLOW_ROOT_USER=maybe", 3,
       "Installation settings: INSTALL_ALLOW_ROOT_USER: allowRootUser must be \"yes\" or \"no\"\n"},
      {"allowRootUser = sometimes\n", "", 3,
       "Installation settings: " + settings + ":" + std::to_string(std::count(plain.begin(), plain.end(), '\n') + 1) +
           ": allowRootUser must be \"yes\" or \"no\"\n"},
      {"", "INSTALL_ALLOW_ROOT_USER=yes", 0, ""},
      {"allowRootUser = yes\n", "", 0, ""},
  };
  int made = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + c.environment);
    writeFile(settings, plain + c.setting);
    std::vector<std::string> environment = base;
    if (*c.environment) environment.push_back(c.environment);
    const std::string id = "web" + std::to_string(made + 1);
    auto args = options(id, uniquePort(), uniquePort());
    args.insert(args.begin(), "-n");
    ProcessResult check = runInstall(args, environment);
    EXPECT_EQ(check.status, c.status);
    EXPECT_TRUE(contains(check.err, c.err)) << check.err;
    args.erase(args.begin());
    ProcessResult r = runInstall(args, environment);
    EXPECT_EQ(r.status, c.status);
    if (c.status != 0) {
      EXPECT_EQ(r.err, c.err);
      EXPECT_FALSE(fileExists(instance(id)));
      continue;
    }
    EXPECT_TRUE(contains(r.err, "Created new Server")) << r.err;
    EXPECT_EQ(fileOwner(instance(id) + "/config"), 0u);
    ++made;
  }
  EXPECT_EQ(made, 2);

  // The form, refused in its own terms.
  writeFile(settings, plain);
  const std::string body = formBody({{"servname", "www.example.test"}, {"servport", uniquePort()}, {"servid", "form1"},
                                     {"servuser", "root"}, {"dns", "off"}, {"docroot", docRoot}});
  std::vector<std::string> cgi = cgiEnvironment(installation.root, "POST", body);
  cgi.erase(std::remove(cgi.begin(), cgi.end(), "INSTALL_ALLOW_ROOT_USER=yes"), cgi.end());
  ProcessResult page = runInstall({}, cgi, body);
  EXPECT_EQ(page.status, 3);
  EXPECT_TRUE(contains(page.out, "<h2>User to run as</h2>\n<p>" + refusal.substr(0, refusal.size() - 1) + "</p>"))
      << page.out;
  EXPECT_FALSE(fileExists(instance("form1")));
}

// An ordinary user may not bind a port below 1024; that alone is no conflict.
TEST_F(Operator, APrivilegedPortIsNoConflictForAnOrdinaryUser) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to become daemon";
  installation.handTo("daemon");
  user = "daemon";
  ProcessResult r = runInstall(options("web1", "80", jms), env, "", asUser("daemon"));
  if (contains(r.err, "running process")) GTEST_SKIP() << "something listens on port 80 here";
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Operator, ThePasswordFileOrStandardInputStandsInForTheOption) {
  const std::string file = installation.scratch / "jms-password";
  writeFile(file, "s3cret-from-file\nsecond line\n", 0600);
  auto args = withoutPassword(options("web1", http, jms));
  args.insert(args.end(), {"-w", file});
  ProcessResult r = runInstall(args, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(readFile(instance("web1") + "/config/server.xml"), "\"s3cret-from-file\""));

  args = withoutPassword(options("web2", otherHttp, otherJms));
  args.insert(args.end(), {"-w", "-"});
  r = runInstall(args, env, "s3cret-from-input\r\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(readFile(instance("web2") + "/config/server.xml"), "\"s3cret-from-input\""));
}

TEST_F(Operator, UnsafeOrUnusablePasswordFilesAreRefusedByName) {
  const std::string shared = installation.scratch / "shared", empty = installation.scratch / "empty",
                    missing = installation.scratch / "missing";
  writeFile(shared, "pw\n", 0640);
  writeFile(empty, "\nsecond\n", 0600);
  const struct {
    std::vector<std::string> extra;
    bool keepW;
    std::string message;
    std::string input = "";
  } cases[] = {
      {{"-w", shared}, false,
       "The password file " + shared +
           " can be read or changed by users other than its owner; give it mode 0600 or 0400.\n"},
      {{"-w", empty}, false, "The password file " + empty + " holds no password on its first line.\n"},
      {{"-w", missing}, false, "Cannot read the password file " + missing + ": No such file or directory\n"},
      {{"-w", empty}, true, "Give the JMS administrator's password either with -W or with -w, not both.\n"},
      // Standard input has no file name to show.
      {{"-w", "-"}, false, "Standard input (-w -) holds no password on its first line.\n", ""},
      {{"-w", "-"}, false, "Standard input (-w -) holds no password on its first line.\n", "\nsecond\n"},
  };
  for (const auto& c : cases) {
    auto args = options("web1", http, jms);
    if (!c.keepW) args = withoutPassword(args);
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProcessResult r = runInstall(args, env, c.input);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, c.message);
  }
  EXPECT_FALSE(fileExists(instance("web1")));
}

// No process of the run, the script generator's included, is ever given
// the password in its arguments or its environment.
TEST_F(Operator, ThePasswordNeverReachesAnyArgumentListOrEnvironment) {
  const std::string secret = "Zq7-never-on-a-command-line";
  const std::string file = installation.scratch / "jms-password";
  writeFile(file, secret + "\n", 0600);
  const std::string trace = installation.scratch / "execve.trace";
  auto args = withoutPassword(options("web1", http, jms));
  args.insert(args.end(), {"-w", file});
  auto traced = env;
  traced.push_back("ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer cannot run under a tracer
  ProcessResult r = runInstall(
      args, traced, "", {"/usr/bin/strace", "-f", "-v", "-s", "100000", "-e", "trace=execve", "-o", trace});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string calls = readFile(trace);
  EXPECT_GE(std::count(calls.begin(), calls.end(), '\n'), 5) << "the tool and its four generator runs";
  EXPECT_TRUE(contains(calls, "makeScript"));
  EXPECT_FALSE(contains(calls, secret));
  EXPECT_TRUE(contains(readFile(instance("web1") + "/config/server.xml"), secret));
}

// A check-only run reports every problem at once and changes nothing.
TEST_F(Operator, ACheckOnlyRunReportsEveryProblemAndChangesNothing) {
  ASSERT_EQ(runInstall(options("web1", http, jms), env).status, 0);
  makeDirs(installation.scratch / "docs-parent");
  auto before = listTree(installation.scratch.path());

  auto args = options("web2", otherHttp, otherJms);
  args.insert(args.begin(), "-n");
  ProcessResult ok = runInstall(args, env);
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.err, "No problem found: the instance " + instance("web2") + " can be created.\n");

  std::remove((installation.root + "/lib/install/templates/keyfile").c_str());
  args = options("web1", otherHttp, otherHttp);
  args[7] = "no-such-user-here";  // -u
  args[9] = "relative/docs";      // -d
  args.insert(args.begin(), "-n");
  ProcessResult bad = runInstall(args, env);
  EXPECT_EQ(bad.status, 3);
  EXPECT_EQ(bad.err,
            "The given server identifier is already in use.  Please pick another server identifier.\n"
            "The HTTP port and the JMS port are both " + otherHttp + "; they must differ.\n"
            "The user \"no-such-user-here\" does not exist on this system.\n"
            "The document root must be an absolute path (it must begin with /).\n"
            "Cannot open " + installation.root + "/lib/install/templates/keyfile for reading: No such file or directory\n");
  auto after = listTree(installation.scratch.path());
  before.erase(std::remove(before.begin(), before.end(), "server-root/lib/install/templates/keyfile"), before.end());
  EXPECT_EQ(after, before);
}

TEST_F(Operator, ACheckOnlyRunByAnOrdinaryUserForAnotherUserSaysSo) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to become daemon";
  installation.handTo("daemon");
  auto args = options("web1", http, jms);
  args[7] = "root";
  args.insert(args.begin(), "-n");
  ProcessResult r = runInstall(args, env, "", asUser("daemon"));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "Only root can create an instance for another user: the server user root is not the user running the "
            "tool.\n");
  EXPECT_FALSE(fileExists(instance("web1")));
}

}  // namespace
