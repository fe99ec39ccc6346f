// SPDX-License-Identifier: GPL-3.0-or-later
// Files a run reads that another user can change: other instances'
// configurations and records of their answers, and the password file.
// Replaced by a FIFO, a device, a file of gigabytes or a link to a file of
// root's, they must neither hang the run, nor grow it, nor leak what root
// alone may read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/blackbox.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A hung run is killed, and shows as status 137.
const std::vector<std::string> TIME_LIMIT = {"/usr/bin/timeout", "-s", "KILL", "60"};

class HostileFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!runningAsRoot()) GTEST_SKIP() << "needs root, who must not be made to read for another user";
  }

  std::vector<std::string> options(const std::string& id, const std::string& port, const std::string& jmsPort) {
    std::vector<std::string> args = allOptions(id, "daemon", installation.scratch / ("docs-" + id));
    args[3] = port;
    args[11] = jmsPort;
    return args;
  }

  Installation installation;
  std::vector<std::string> env = commandLineEnvironment(installation.root);
};

void makeSparseFile(const std::string& path, off_t size, mode_t mode) {
  writeFile(path, "", mode);
  ASSERT_EQ(truncate(path.c_str(), size), 0);
}

// The other instance's config/server.xml, and then its record too, made
// something root must not read for the server user: the configuration
// falls back to the record, and an instance of which neither can be read
// is skipped with a note; nothing hangs or shows what the files hold.
TEST_F(HostileFiles, OtherInstancesFilesThatCouldHangGrowOrLeakAreSkipped) {
  ASSERT_EQ(runInstall(options("other", optionsHttpPort(), optionsJmsPort()), env).status, 0);
  // The ports of the runs below, each run's instance removed before the next.
  const std::string http = uniquePort(), jms = uniquePort();
  const std::string config = installation.root + "/other/config";
  const std::string record = config + "/answers.conf", configuration = config + "/server.xml";
  // Root's files, as the two would read if they were read: they name the port of the runs below.
  const std::string secretRecord = installation.scratch / "secret-record";
  writeFile(secretRecord, "serverId = ROOT-ONLY-TEXT\nserverName = ROOT-ONLY-TEXT\nport = " + http + "\n", 0600);
  const std::string secretConfiguration = installation.scratch / "secret-configuration";
  writeFile(secretConfiguration, "<instance>\n  <http port=\"" + http + "\" server-name=\"ROOT-ONLY-TEXT\"/>\n</instance>\n",
            0600);
  const std::string goodRecord = readFile(record), goodConfiguration = readFile(configuration);
  const struct {
    const char* what;
    void (*plant)(const std::string& file, const std::string& secret);
  } plants[] = {
      {"a FIFO", [](const std::string& f, const std::string&) { ASSERT_EQ(mkfifo(f.c_str(), 0644), 0); }},
      {"a link to /dev/zero", [](const std::string& f, const std::string&) { ASSERT_EQ(symlink("/dev/zero", f.c_str()), 0); }},
      {"a sparse file of 4 GiB", [](const std::string& f, const std::string&) { makeSparseFile(f, 4LL << 30, 0644); }},
      {"a link to root's file", [](const std::string& f, const std::string& s) { ASSERT_EQ(symlink(s.c_str(), f.c_str()), 0); }},
      {"a hard link to root's file", [](const std::string& f, const std::string& s) { ASSERT_EQ(link(s.c_str(), f.c_str()), 0); }},
  };
  auto restore = [&](const std::string& file, const std::string& content) {
    std::remove(file.c_str());
    writeFile(file, content, 0600);
    ASSERT_EQ(chown(file.c_str(), fileOwner(config), 0), 0);
  };
  auto check = [&](const std::string& port) {
    std::vector<std::string> args = options("checked", port, jms);
    args.insert(args.begin(), "-n");
    return runInstall(args, env, "", TIME_LIMIT);
  };
  int created = 0;
  for (const auto& plant : plants) {
    SCOPED_TRACE(plant.what);
    std::remove(configuration.c_str());
    plant.plant(configuration, secretConfiguration);
    // The record serves: its port is taken, the one of root's file is not.
    std::vector<std::string> list = TIME_LIMIT;
    list.insert(list.end(), {INSTANCECTL_BINARY, "list", "--json"});
    ProcessResult listed = runProcess(list, {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + installation.root});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_FALSE(contains(listed.out, "ROOT-ONLY-TEXT"));
    EXPECT_TRUE(contains(listed.out, "\"port\": " + optionsHttpPort() + ",")) << listed.out;
    EXPECT_TRUE(contains(listed.out, "\"config_differs\": null")) << listed.out;
    ProcessResult r = check(optionsHttpPort());
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "The port " + optionsHttpPort() + " is already used by the instance other.")) << r.err;
    r = check(http);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "ROOT-ONLY-TEXT"));

    // Neither can be read: the instance's ports are not checked, and said so.
    std::remove(record.c_str());
    plant.plant(record, secretRecord);
    r = check(http);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("The ports of the instance other are not checked: ", 0), 0u) << r.err;
    EXPECT_FALSE(contains(r.err, "ROOT-ONLY-TEXT"));

    const std::string id = "web" + std::to_string(++created);
    r = runInstall(options(id, http, jms), env, "", TIME_LIMIT);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "ROOT-ONLY-TEXT"));
    removeTree(installation.root + "/" + id);  // its port is the next run's

    const std::string form = "form" + std::to_string(created);
    std::string body = formBody({{"servname", "www.example.test"}, {"servport", http},
                                 {"servid", form}, {"servuser", "daemon"}, {"dns", "off"},
                                 {"docroot", installation.scratch / ("docs-" + form)}});
    r = runInstall({}, cgiEnvironment(installation.root, "POST", body), body, TIME_LIMIT);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fileExists(installation.root + "/" + form + "/config/server.xml"));
    removeTree(installation.root + "/" + form);
    restore(record, goodRecord);
    restore(configuration, goodConfiguration);
  }
}

TEST_F(HostileFiles, PasswordFilesThatCouldHangGrowOrLeakAreRefused) {
  // The server user's directory, where it can swap its file for anything.
  const std::string home = installation.scratch / "home";
  makeDirs(home);
  ASSERT_EQ(runProcess({"/bin/chown", "daemon:", home}, {"PATH=/usr/bin:/bin"}).status, 0);
  const std::string secret = installation.scratch / "root-only";
  writeFile(secret, "root-only-secret\n", 0600);
  const std::string fifo = home + "/fifo", huge = home + "/huge", link = home + "/link", daemons = home + "/own";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  makeSparseFile(huge, 1LL << 30, 0600);
  ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), 1, 1), 0);
  writeFile(daemons, "daemons-password\n", 0600);
  ASSERT_EQ(runProcess({"/bin/chown", "daemon:", daemons}, {"PATH=/usr/bin:/bin"}).status, 0);
  const struct {
    std::string file, message;
  } cases[] = {
      {fifo, fifo + " is not a regular file.\n"},
      {huge, huge + " is larger than 65536 bytes.\n"},
      {link, "Refusing to read " + link + ": it is a symbolic link, or lies below one that this run must not follow.\n"},
      {daemons, "The password file " + daemons +
                    " belongs to another user; it must belong to root or to the user running the tool.\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = options("web1", optionsHttpPort(), optionsJmsPort());
    args.erase(args.begin() + 14, args.begin() + 16);  // -W secret
    args.insert(args.end(), {"-w", c.file});
    ProcessResult r = runInstall(args, env, "", TIME_LIMIT);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, c.message);
  }
  std::vector<std::string> args = options("web1", optionsHttpPort(), optionsJmsPort());
  args.erase(args.begin() + 14, args.begin() + 16);
  args.insert(args.end(), {"-w", "-"});
  ProcessResult r = runInstall(args, env, std::string(70000, 'x'), TIME_LIMIT);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "The first line of standard input (-w -) is longer than 65536 bytes.\n");
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
}

}  // namespace
