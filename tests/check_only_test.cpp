// A check-only run (-n) is worth having only if its answer is the real
// run's: "no problem" exactly when a creation with the same answers in the
// same world succeeds, and no trace of itself left behind. Each world below
// is built twice, identically, in two fresh copies of the installation: the
// check runs in one, the creation in the other, and the two verdicts must
// agree with each other and with the one the world was built for (a world
// that stops provoking its failure would otherwise pass unnoticed, both runs
// succeeding).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/blackbox.h"

namespace {

enum class Identity { Root, Daemon };
enum class Verdict { Created, Refused };

const char NO_PROBLEM[] = "No problem found: the instance ";

// ---------------------------------------------------------------------------
// Ports

// A socket listening on every address, on a port the system chose.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd_, 1) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = std::to_string(ntohs(address.sin_port));
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  const std::string& port() const { return port_; }

 private:
  int fd_ = -1;
  std::string port_;
};

// A port of this test alone (uniquePort): the fixed ports of other tests or
// of a server left running on this machine would turn a clean world into a
// refused one.
std::string unusedPort() { return uniquePort(); }

// ---------------------------------------------------------------------------
// Snapshots

using Entry = TreeEntry;
using Snapshot = TreeSnapshot;

Snapshot snapshot(const std::string& root) { return snapshotTree(root); }

// An entry on one line: its metadata and the start of its content.
std::string shown(const Entry& entry) {
  std::string content;
  for (unsigned char c : entry.content.substr(0, 60)) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02x", c);
    content += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : std::string(escape);
  }
  if (entry.content.size() > 60) content += "...";
  return entry.metadata + (content.empty() ? "" : " [" + content + "]");
}

// The entries that differ, one line each (the first 30); "" when none does.
std::string differences(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> lines;
  for (const auto& [name, entry] : before) {
    auto found = after.find(name);
    if (found == after.end())
      lines.push_back("removed " + name + " (was " + shown(entry) + ")");
    else if (!(found->second == entry))
      lines.push_back("changed " + name + ": " + shown(entry) + " -> " + shown(found->second));
  }
  for (const auto& [name, entry] : after)
    if (!before.count(name)) lines.push_back("added   " + name + " (" + shown(entry) + ")");
  std::string out;
  for (size_t i = 0; i < lines.size() && i < 30; ++i) out += "      " + lines[i] + "\n";
  if (lines.size() > 30) out += "      ... and " + std::to_string(lines.size() - 30) + " more\n";
  return out;
}

// The shape of a tree (names, kinds, modes, owners, link counts), which two
// identically built copies share; contents may hold each copy's own path.
std::map<std::string, std::string> shape(const Snapshot& tree) {
  std::map<std::string, std::string> result;
  for (const auto& [name, entry] : tree) result[name] = entry.metadata;
  return result;
}

// ---------------------------------------------------------------------------
// Worlds

void runOrFail(const std::vector<std::string>& argv) {
  ProcessResult r = runProcess(argv, {"PATH=/usr/bin:/bin"});
  if (r.status != 0) ADD_FAILURE() << argv[0] << " failed: " << r.err;
}

struct World;
// Options replacing allOptions' values, or added; an option's value may
// name "{scratch}", "{root}" and the ports ("{http}", "{jms}", "{spare}",
// "{spare2}", "{listening}"), which each copy fills in with its own.
using Options = std::vector<std::pair<std::string, std::string>>;

// One copy of the installation, built as a world asks.
class Copy {
 public:
  Copy(const World& world, const std::map<std::string, std::string>& ports);

  std::string path(const std::string& relative) const { return installation.scratch / relative; }
  std::string templates(const std::string& name) const { return root() + "/lib/install/templates/" + name; }
  const std::string& root() const { return installation.root; }
  const std::string& scratch() const { return installation.scratch.path(); }

  // What the builders make belongs to the user the world runs as, unless
  // they hand it to root on purpose.
  void makeDir(const std::string& relative, mode_t mode = 0755) {
    makeDirs(path(relative), mode);
    for (size_t slash = relative.find('/');; slash = relative.find('/', slash + 1)) {
      handToRunner(relative.substr(0, slash));
      if (slash == std::string::npos) break;
    }
  }
  void putFile(const std::string& relative, const std::string& content, mode_t mode = 0644) {
    writeFile(path(relative), content, mode);
    handToRunner(relative);
  }
  void giveTo(const std::string& user, const std::string& relative) {
    runOrFail({"/bin/chown", "-R", "-h", user + ":", path(relative)});
  }
  void handToRunner(const std::string& relative) {
    if (who == Identity::Daemon) runOrFail({"/bin/chown", "-h", "daemon:", path(relative)});
  }
  void appendTo(const std::string& file, const std::string& text) { writeFile(file, readFile(file) + text); }
  void removeFile(const std::string& file) { ASSERT_EQ(std::remove(file.c_str()), 0) << file; }

  // A real creation made while building the world, as the world's user.
  void create(const std::string& id, const Options& overrides) {
    std::vector<std::string> args = options(id, overrides);
    ProcessResult r = runInstall(args, environment({}), "", prefix());
    ASSERT_EQ(r.status, 0) << "building the world: " << r.err;
  }

  std::vector<std::string> options(const std::string& id, const Options& overrides) const;
  std::vector<std::string> environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> env = commandLineEnvironment(root());
    for (const std::string& e : extra) env.push_back(expand(e));
    return env;
  }
  std::vector<std::string> prefix() const {
    return who == Identity::Daemon ? asUser("daemon") : std::vector<std::string>{};
  }
  std::string expand(std::string text) const {
    text = replaceAll(text, "{scratch}", scratch());
    text = replaceAll(text, "{root}", root());
    for (const auto& [name, port] : ports) text = replaceAll(text, "{" + name + "}", port);
    return text;
  }

  Installation installation;
  Identity who;
  std::map<std::string, std::string> ports;
};

struct World {
  std::string name;
  Identity who;
  std::function<void(Copy&)> build;  // null: the copy as it comes
  Options options;
  std::vector<std::string> environment;
  Verdict expected;
  std::string id = "web1";
  int seconds = 60;  // a run still going then is killed, and counts as a refusal
};

// Names the world in gtest's output, not the bytes of its record.
void PrintTo(const World& world, std::ostream* out) { *out << world.name; }

Copy::Copy(const World& world, const std::map<std::string, std::string>& givenPorts)
    : who(world.who), ports(givenPorts) {
  if (who == Identity::Daemon) installation.handTo("daemon");
  if (world.build) world.build(*this);
}

std::vector<std::string> Copy::options(const std::string& id, const Options& overrides) const {
  std::vector<std::string> args = allOptions(id, "daemon", path("docs"));
  args[3] = ports.at("http");   // -p
  args[11] = ports.at("jms");   // -P
  for (const auto& [option, value] : overrides) {
    bool replaced = false;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
      if (args[i] != option) continue;
      args[i + 1] = expand(value);
      replaced = true;
    }
    if (!replaced) args.insert(args.end(), {option, expand(value)});
  }
  return args;
}

// A listed document below a subdirectory of the document root.
void listDocumentInSubdirectory(Copy& c) {
  c.makeDir("server-root/lib/install/templates/sub");
  c.putFile("server-root/lib/install/templates/sub/a.html", "<p>a</p>\n");
  c.appendTo(c.templates("docs.lst"), "sub/a.html\n");
}

// A file of root's that no link may lead a run to.
void rootsSecret(Copy& c) { writeFile(c.path("secret"), "root's own\n", 0600); }

// `file` of the installation replaced by a directory, or by a FIFO that no
// one ever writes to: opened without care, either can pass for a file, and
// the FIFO blocks its reader for ever.
void replaceWithDirectory(Copy& c, const std::string& file) {
  c.removeFile(file);
  ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
}
void replaceWithFifo(Copy& c, const std::string& file) {
  c.removeFile(file);
  ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
}

// Another instance, made first in each copy, on the port the world's run asks for.
void otherInstanceOnTheHttpPort(Copy& c) { c.create("other", {{"-P", "{spare}"}, {"-d", "{scratch}/other-docs"}}); }

const Identity ROOT = Identity::Root;
const Identity DAEMON = Identity::Daemon;
const Verdict CREATED = Verdict::Created;
const Verdict REFUSED = Verdict::Refused;

const std::string ID_114(114, 'x');
const std::string ID_115(115, 'x');
// For worlds where a run may block for ever: long enough for any run that
// does not.
constexpr int HANGS = 3;

std::vector<World> worlds() {
  return {
      // Clean worlds: the check must not refuse what a creation does.
      {"clean_as_root", ROOT, nullptr, {}, {}, CREATED},
      {"clean_as_daemon", DAEMON, nullptr, {}, {}, CREATED},

      // Existing document roots of root's, the run as daemon: one with a
      // home page is kept as it is, one without must be filled.
      {"daemon_root_owned_docroot_with_home_page", DAEMON,
       [](Copy& c) {
         makeDirs(c.path("site"));
         writeFile(c.path("site/index.html"), "<p>kept</p>\n");
       },
       {{"-d", "{scratch}/site"}}, {}, CREATED},
      {"daemon_root_owned_docroot_without_home_page", DAEMON, [](Copy& c) { makeDirs(c.path("site")); },
       {{"-d", "{scratch}/site"}}, {}, REFUSED},
      {"daemon_docroot_holding_a_listed_file_of_roots", DAEMON,
       [](Copy& c) {
         c.makeDir("docs");
         writeFile(c.path("docs/style.css"), "root's style\n");
       },
       {}, {}, REFUSED},

      // A listed document below a subdirectory: a new document root has
      // none, an existing one may.
      {"listed_subdirectory_new_docroot_as_root", ROOT, listDocumentInSubdirectory, {}, {}, REFUSED},
      {"listed_subdirectory_new_docroot_as_daemon", DAEMON, listDocumentInSubdirectory, {}, {}, REFUSED},
      {"listed_subdirectory_existing_docroot_as_root", ROOT,
       [](Copy& c) {
         listDocumentInSubdirectory(c);
         c.makeDir("docs/sub");
       },
       {}, {}, CREATED},
      {"listed_subdirectory_existing_docroot_as_daemon", DAEMON,
       [](Copy& c) {
         listDocumentInSubdirectory(c);
         c.makeDir("docs/sub");
       },
       {}, {}, CREATED},

      // What stands at a listed name of an existing document root.
      {"hard_link_at_listed_name_as_root", ROOT,
       [](Copy& c) {
         c.makeDir("docs");
         c.putFile("elsewhere", "not a document\n");
         ASSERT_EQ(link(c.path("elsewhere").c_str(), c.path("docs/style.css").c_str()), 0);
       },
       {}, {}, REFUSED},
      {"hard_link_at_listed_name_as_daemon", DAEMON,
       [](Copy& c) {
         c.makeDir("docs");
         c.putFile("elsewhere", "not a document\n");
         ASSERT_EQ(link(c.path("elsewhere").c_str(), c.path("docs/style.css").c_str()), 0);
       },
       {}, {}, REFUSED},
      {"daemons_symlink_at_listed_name_as_root", ROOT,
       [](Copy& c) {
         rootsSecret(c);
         makeDirs(c.path("docs"));
         c.giveTo("daemon", "docs");
         ASSERT_EQ(symlink(c.path("secret").c_str(), c.path("docs/style.css").c_str()), 0);
         c.giveTo("daemon", "docs/style.css");
       },
       {}, {}, REFUSED},
      {"directory_at_listed_name", ROOT, [](Copy& c) { c.makeDir("docs/style.css"); }, {}, {}, REFUSED},

      // Identifiers at and beyond the longest that every name made from
      // them allows.
      {"identifier_of_114_bytes_as_root", ROOT, nullptr, {}, {}, CREATED, ID_114},
      {"identifier_of_114_bytes_as_daemon", DAEMON, nullptr, {}, {}, CREATED, ID_114},
      {"identifier_of_115_bytes_as_root", ROOT, nullptr, {}, {}, REFUSED, ID_115},
      {"identifier_of_115_bytes_as_daemon", DAEMON, nullptr, {}, {}, REFUSED, ID_115},

      // The identifier taken: by a link to nothing, by the older name.
      {"instance_name_is_dangling_link_as_root", ROOT,
       [](Copy& c) { ASSERT_EQ(symlink(c.path("nowhere").c_str(), (c.root() + "/web1").c_str()), 0); }, {}, {},
       REFUSED},
      {"instance_name_is_dangling_link_as_daemon", DAEMON,
       [](Copy& c) {
         ASSERT_EQ(symlink(c.path("nowhere").c_str(), (c.root() + "/web1").c_str()), 0);
         c.giveTo("daemon", "server-root/web1");
       },
       {}, {}, REFUSED},
      {"older_instance_name_taken", ROOT, [](Copy& c) { c.makeDir("server-root/https-web1"); }, {}, {}, REFUSED},

      // Where the instance goes: a server root the runner cannot write in,
      // and the lock file that every creation takes there.
      {"daemon_server_root_of_roots", DAEMON, [](Copy& c) { c.giveTo("root", "server-root"); }, {}, {}, REFUSED},
      {"lock_file_is_a_link_as_root", ROOT,
       [](Copy& c) {
         rootsSecret(c);
         ASSERT_EQ(symlink(c.path("secret").c_str(), (c.root() + "/.instances.lock").c_str()), 0);
       },
       {}, {}, REFUSED},
      {"daemon_lock_file_of_roots", DAEMON,
       [](Copy& c) { writeFile(c.root() + "/.instances.lock", "", 0600); }, {}, {}, REFUSED},

      // What the installation lacks, or holds in place of a file.
      {"template_keyfile_missing_as_root", ROOT, [](Copy& c) { c.removeFile(c.templates("keyfile")); }, {}, {},
       REFUSED},
      {"template_keyfile_missing_as_daemon", DAEMON, [](Copy& c) { c.removeFile(c.templates("keyfile")); }, {}, {},
       REFUSED},
      {"template_server_xml_missing", ROOT, [](Copy& c) { c.removeFile(c.templates("server.xml.template")); }, {},
       {}, REFUSED},
      {"template_server_xml_is_fifo", ROOT,
       [](Copy& c) { replaceWithFifo(c, c.templates("server.xml.template")); }, {}, {}, REFUSED, "web1", HANGS},
      {"template_mirel_acc_xml_is_directory", ROOT,
       [](Copy& c) { replaceWithDirectory(c, c.templates("mirel-acc.xml.template")); }, {}, {}, REFUSED},
      {"template_stop_missing_as_root", ROOT, [](Copy& c) { c.removeFile(c.templates("stop")); }, {}, {}, REFUSED},
      {"template_stop_missing_as_daemon", DAEMON, [](Copy& c) { c.removeFile(c.templates("stop")); }, {}, {},
       REFUSED},
      {"daemon_template_start_of_roots_alone", DAEMON,
       [](Copy& c) {
         c.giveTo("root", "server-root/lib/install/templates/start");
         ASSERT_EQ(chmod(c.templates("start").c_str(), 0600), 0);
       },
       {}, {}, REFUSED},
      {"generator_interpreter_missing", ROOT, nullptr, {}, {"INSTALL_PERL_HOME=/nonexistent"}, REFUSED},
      {"generator_missing", ROOT, [](Copy& c) { c.removeFile(c.templates("makeScript")); }, {}, {}, REFUSED},
      {"docs_list_missing_as_root", ROOT, [](Copy& c) { c.removeFile(c.templates("docs.lst")); }, {}, {}, REFUSED},
      {"docs_list_missing_as_daemon", DAEMON, [](Copy& c) { c.removeFile(c.templates("docs.lst")); }, {}, {},
       REFUSED},
      {"docs_list_is_fifo", ROOT, [](Copy& c) { replaceWithFifo(c, c.templates("docs.lst")); }, {}, {}, REFUSED,
       "web1", HANGS},
      {"listed_document_missing", ROOT, [](Copy& c) { c.removeFile(c.templates("logo.gif")); }, {}, {}, REFUSED},
      {"listed_document_leaves_docroot", ROOT,
       [](Copy& c) {
         c.putFile("server-root/lib/install/x", "outside\n");
         c.appendTo(c.templates("docs.lst"), "../x\n");
       },
       {}, {}, REFUSED},

      // Ports.
      {"http_port_of_another_instance_as_root", ROOT, otherInstanceOnTheHttpPort, {}, {}, REFUSED},
      {"http_port_of_another_instance_as_daemon", DAEMON, otherInstanceOnTheHttpPort, {}, {}, REFUSED},
      {"another_instances_record_unreadable", ROOT,
       [](Copy& c) {
         c.create("other", {{"-p", "{spare}"}, {"-P", "{spare2}"}, {"-d", "{scratch}/other-docs"}});
         replaceWithFifo(c, c.root() + "/other/config/answers.conf");
       },
       {}, {}, CREATED},
      {"http_port_a_process_listens_on", ROOT, nullptr, {{"-p", "{listening}"}}, {}, REFUSED},
      {"http_and_jms_port_equal_unchecked", ROOT, nullptr, {{"-P", "{http}"}}, {"INSTALL_CHECK_PORTS=no"},
       REFUSED},
      {"http_port_not_a_number", ROOT, nullptr, {{"-p", "80x"}}, {}, REFUSED},

      // Users and document roots.
      {"unknown_user", ROOT, nullptr, {{"-u", "no-such-user-here"}}, {}, REFUSED},
      {"daemon_for_root", DAEMON, nullptr, {{"-u", "root"}}, {}, REFUSED},
      {"relative_docroot", ROOT, nullptr, {{"-d", "relative/docs"}}, {}, REFUSED},
      {"docroot_below_regular_file_as_root", ROOT, [](Copy& c) { c.putFile("plain", "a file\n"); },
       {{"-d", "{scratch}/plain/docs"}}, {}, REFUSED},
      {"docroot_below_regular_file_as_daemon", DAEMON, [](Copy& c) { c.putFile("plain", "a file\n"); },
       {{"-d", "{scratch}/plain/docs"}}, {}, REFUSED},
      {"docroot_is_regular_file_as_root", ROOT, [](Copy& c) { c.putFile("plain", "a file\n"); },
       {{"-d", "{scratch}/plain"}}, {}, REFUSED},
      {"docroot_is_regular_file_as_daemon", DAEMON, [](Copy& c) { c.putFile("plain", "a file\n"); },
       {{"-d", "{scratch}/plain"}}, {}, REFUSED},
      {"daemon_docroot_is_dangling_link", DAEMON,
       [](Copy& c) {
         ASSERT_EQ(symlink(c.path("nowhere").c_str(), c.path("site").c_str()), 0);
         c.giveTo("daemon", "site");
       },
       {{"-d", "{scratch}/site"}}, {}, REFUSED},
      {"daemon_docroot_through_own_link", DAEMON,
       [](Copy& c) {
         c.makeDir("real");
         ASSERT_EQ(symlink(c.path("real").c_str(), c.path("site").c_str()), 0);
         c.giveTo("daemon", "site");
       },
       {{"-d", "{scratch}/site"}}, {}, CREATED},
      // Made by the creation before the document root is filled.
      {"docroot_inside_instance", ROOT, nullptr, {{"-d", "{root}/web1/docs"}}, {}, CREATED},
      {"daemon_docroot_is_instance", DAEMON, nullptr, {{"-d", "{root}/web1"}}, {}, CREATED},

      // What root must not trust below the server root.
      {"instances_root_of_mode_0777", ROOT, [](Copy& c) { ASSERT_EQ(chmod(c.root().c_str(), 0777), 0); }, {}, {},
       REFUSED},
      {"link_at_server_roots_access_control_file", ROOT,
       [](Copy& c) {
         rootsSecret(c);
         makeDirs(c.root() + "/config");
         ASSERT_EQ(symlink(c.path("secret").c_str(), (c.root() + "/config/generated.web1.acl").c_str()), 0);
       },
       {}, {}, REFUSED},
      {"link_at_server_roots_work_access_control_file", ROOT,
       [](Copy& c) {
         rootsSecret(c);
         makeDirs(c.root() + "/config/httpacl");
         ASSERT_EQ(symlink(c.path("secret").c_str(), (c.root() + "/config/httpacl/genwork.web1.acl").c_str()), 0);
       },
       {}, {}, REFUSED},
      {"malformed_settings_line", ROOT,
       [](Copy& c) { c.appendTo(c.root() + "/lib/install/install.defaults", "this line sets nothing\n"); }, {}, {},
       REFUSED},

      // The administration server's configuration, where the language
      // lines come from.
      {"daemon_admin_init_conf_unreadable", DAEMON,
       [](Copy& c) {
         c.giveTo("root", "server-root/admin-server/config/init.conf");
         ASSERT_EQ(chmod((c.root() + "/admin-server/config/init.conf").c_str(), 0600), 0);
       },
       {}, {}, REFUSED},
      {"admin_init_conf_is_directory", ROOT,
       [](Copy& c) { replaceWithDirectory(c, c.root() + "/admin-server/config/init.conf"); }, {}, {}, REFUSED},
      {"admin_init_conf_is_fifo", ROOT,
       [](Copy& c) { replaceWithFifo(c, c.root() + "/admin-server/config/init.conf"); }, {}, {}, REFUSED, "web1",
       HANGS},
  };
}

std::string describe(Identity who) { return who == Identity::Root ? "root" : "daemon"; }
std::string describe(Verdict verdict) { return verdict == Verdict::Created ? "created" : "refused"; }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string lastLine(const std::string& text) {
  std::vector<std::string> lines = linesOf(text);
  return lines.empty() ? "" : lines.back();
}

std::string exitText(const ProcessResult& r, int seconds) {
  if (r.status == 128 + SIGKILL) return "was killed after " + std::to_string(seconds) + " s";
  return "exited " + std::to_string(r.status);
}

class CheckOnlyDifferential : public ::testing::TestWithParam<World> {
 protected:
  void SetUp() override {
    if (!runningAsRoot()) GTEST_SKIP() << "needs root to build worlds of root's and to become daemon";
  }
};

TEST_P(CheckOnlyDifferential, AgreesWithARealRun) {
  const World& world = GetParam();
  Listener listener;  // kept listening through both runs
  std::map<std::string, std::string> ports = {{"listening", listener.port()}};
  for (const char* name : {"http", "jms", "spare", "spare2"}) {
    std::string port;
    do port = unusedPort();
    while (std::any_of(ports.begin(), ports.end(), [&](const auto& taken) { return taken.second == port; }));
    ports[name] = port;
  }

  Copy checked(world, ports);
  Copy created(world, ports);
  if (HasFailure()) return;
  const Snapshot before = snapshot(checked.scratch());
  ASSERT_EQ(shape(before), shape(snapshot(created.scratch())))
      << "world " << world.name << ": the two copies were not built alike";

  const std::vector<std::string> timeLimit = {"/usr/bin/timeout", "-s", "KILL", std::to_string(world.seconds)};
  auto limited = [&](const Copy& copy) {
    std::vector<std::string> prefix = timeLimit;
    for (const std::string& word : copy.prefix()) prefix.push_back(word);
    return prefix;
  };
  std::vector<std::string> checkArgs = checked.options(world.id, world.options);
  checkArgs.insert(checkArgs.begin(), "-n");
  const ProcessResult check = runInstall(checkArgs, checked.environment(world.environment), "", limited(checked));
  const Snapshot after = snapshot(checked.scratch());
  const ProcessResult real = runInstall(created.options(world.id, world.options),
                                        created.environment(world.environment), "", limited(created));

  const std::string context = "world " + world.name + " (run as " + describe(world.who) + ", expected " +
                              describe(world.expected) + ")\n  -n " + exitText(check, world.seconds) + ":\n" +
                              check.err + "  real run " + exitText(real, world.seconds) + ":\n" + real.err;

  std::vector<std::string> faults;
  const std::string changed = differences(before, after);
  if (!changed.empty()) faults.push_back("-n changed the scratch tree:\n" + changed.substr(0, changed.size() - 1));

  const bool checkSaysYes = check.status == 0, realSucceeded = real.status == 0;
  const bool builtFor = world.expected == Verdict::Created;
  if (check.status != 0 && check.status != 3) faults.push_back("-n did not end with 0 or 3");
  if (checkSaysYes != realSucceeded) faults.push_back("the verdicts disagree");
  if (realSucceeded != builtFor) faults.push_back("the real run's verdict is not the one the world was built for");
  if (checkSaysYes != builtFor) faults.push_back("-n's verdict is not the one the world was built for");

  const std::string noProblem = NO_PROBLEM + checked.root() + "/" + world.id + " can be created.";
  if (checkSaysYes && lastLine(check.err) != noProblem)
    faults.push_back("-n ended with 0 but its last line is not \"" + noProblem + "\"");
  if (!checkSaysYes && check.err.find(NO_PROBLEM) != std::string::npos)
    faults.push_back("-n found a problem but says it found none");
  if (!checkSaysYes && lastLine(check.err).empty()) faults.push_back("-n refused without naming a problem");
  if (!check.out.empty()) faults.push_back("-n wrote to standard output: " + check.out);

  // The problem the creation stopped at is among those -n reported, in the
  // same words (each copy naming its own paths).
  if (!realSucceeded && !real.err.empty()) {
    const std::string stoppedAt = replaceAll(linesOf(real.err).front(), created.scratch(), checked.scratch());
    const std::vector<std::string> reported = linesOf(check.err);
    if (std::find(reported.begin(), reported.end(), stoppedAt) == reported.end())
      faults.push_back("-n does not report the problem the creation stopped at");
  }

  std::string listed;
  for (const std::string& fault : faults) listed += "  - " + fault + "\n";
  EXPECT_TRUE(faults.empty()) << context << listed;
}

INSTANTIATE_TEST_SUITE_P(CheckOnly, CheckOnlyDifferential, ::testing::ValuesIn(worlds()),
                         [](const ::testing::TestParamInfo<World>& world) { return world.param.name; });

}  // namespace
