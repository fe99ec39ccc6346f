// SPDX-License-Identifier: GPL-3.0-or-later
// A check-only run (-n) is worth having only if its answer is the real
// run's: "no problem" exactly when a creation with the same answers in the
// same world succeeds, and no trace of itself left behind. Each world is
// built twice, alike: the creation plan's check runner goes through one
// copy, its creating runner through the other, each in a child process of
// the world's user. The verdicts must agree with each other and with the one
// the world was built for, and no creation may change the installation.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "frontend/frontend.h"
#include "tests/blackbox.h"

namespace {

// Who runs a world: root, daemon, or (in the table) each of them.
enum class Identity { Root, Daemon, Both };
enum class Verdict { Created, Refused };

// A socket listening on every address, on a port the system chose; once it
// is closed, nothing listens on that port.
struct Listener {
  Listener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "cannot listen";
    port = std::to_string(ntohs(address.sin_port));
  }
  ~Listener() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string port;
};

void runOrFail(const std::vector<std::string>& argv) {
  ProcessResult r = runProcess(argv, {"PATH=/usr/bin:/bin"});
  if (r.status != 0) ADD_FAILURE() << argv[0] << " failed: " << r.err;
}

// A scratch directory on another file system than /tmp (a tmpfs).
struct ElsewhereDir {
  ElsewhereDir() {
    char name[] = "/dev/shm/install-test.XXXXXX";
    if (!mkdtemp(name)) ADD_FAILURE() << "mkdtemp in /dev/shm";
    path = name;
    chmod(name, 0755);
  }
  ~ElsewhereDir() {
    if (path.rfind("/dev/shm/install-test.", 0) == 0) runOrFail({"/bin/rm", "-rf", "--one-file-system", path});
  }
  std::string path;
};

struct World;
// Options replacing the default answers; a value may name "{scratch}",
// "{elsewhere}", "{root}" and the ports ("{http}", "{jms}", "{spare}",
// "{spare2}", "{listening}"), which each copy fills in with its own.
using Options = std::vector<std::pair<std::string, std::string>>;

// What a run of the plan reported, each problem as -n prints it.
struct Outcome {
  bool ok = false;
  bool killed = false;  // it had not ended in time
  std::vector<std::string> lines;
};

// One copy of the installation, built as a world asks.
class Copy {
 public:
  Copy(const World& world, const std::map<std::string, std::string>& ports);

  std::string path(const std::string& relative) const { return installation.scratch / relative; }
  std::string templates(const std::string& name) const { return root + "/lib/install/templates/" + name; }
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
  void giveTo(const std::string& user, const std::string& file) {
    runOrFail({"/bin/chown", "-R", "-h", user + ":", file});
  }
  void handToRunner(const std::string& relative) {
    if (who == Identity::Daemon) giveTo("daemon", path(relative));
  }
  void appendTo(const std::string& file, const std::string& text) { writeFile(file, readFile(file) + text); }
  void removeFile(const std::string& file) { ASSERT_EQ(std::remove(file.c_str()), 0) << file; }
  // A creation made while building the world, as the world's user.
  void create(const std::string& id, const Options& options);
  // The plan for the world's answers in a child process of its user, killed
  // after the world's time.
  Outcome run(Runner runner, const World& world) const;

  std::string expand(std::string text) const {
    text = replaceAll(replaceAll(text, "{scratch}", scratch()), "{elsewhere}", elsewhere.path);
    text = replaceAll(text, "{root}", root);
    for (const auto& [name, port] : ports) text = replaceAll(text, "{" + name + "}", port);
    return text;
  }

  Installation installation;
  ElsewhereDir elsewhere;
  Identity who;
  std::map<std::string, std::string> ports;
  std::string root = installation.root;
};

struct World {
  std::string name;
  Identity who;                      // Both: a world of each, named "_as_root" and "_as_daemon"
  std::function<void(Copy&)> build;  // null: the copy as it comes
  Options options;
  Verdict expected;
  std::vector<std::string> environment = {};
  std::string id = "web1";
  int seconds = 60;       // a run still going then is killed, and counts as a refusal
  mode_t umask = 022;     // the runs' file-creation mask
  size_t rootLength = 0;  // the installation moved to a path of this length
};

// Names the world in gtest's output, not the bytes of its record.
void PrintTo(const World& world, std::ostream* out) { *out << world.name; }

// `path` made longer by directories of at most 200 bytes until it is
// `length` bytes long.
std::string deepPath(std::string path, size_t length) {
  while (path.size() + 1 < length) path += "/" + std::string(std::min<size_t>(length - path.size() - 1, 200), 'd');
  return path;
}

Copy::Copy(const World& world, const std::map<std::string, std::string>& givenPorts)
    : who(world.who), ports(givenPorts) {
  if (world.rootLength) {  // the installation moved down a chain of directories
    const std::string parent = deepPath(scratch(), world.rootLength - std::string("/server-root").size());
    makeDirs(parent);
    root = parent + "/server-root";
    EXPECT_EQ(rename(installation.root.c_str(), root.c_str()), 0);
  }
  if (who == Identity::Daemon) {
    installation.handTo("daemon");
    giveTo("daemon", elsewhere.path);
  }
  if (world.build) world.build(*this);
}

// The record the command line fills for these options: every option
// given, the world's in place of the defaults. `texts` keeps the values.
InstanceRecord commandLineRecord(const Copy& copy, const std::string& id, const Options& options,
                                 std::vector<std::string>& texts) {
  using R = InstanceRecord;
  static const std::map<std::string, const char* R::*> FIELDS = {
      {"-s", &R::serverName}, {"-p", &R::port},         {"-i", &R::serverId},         {"-u", &R::serverUser},
      {"-d", &R::docRoot},    {"-P", &R::jmsPort},      {"-A", &R::jmsAdminUser},     {"-W", &R::jmsAdminPassword},
      {"-J", &R::javaHome}};
  std::map<std::string, std::string> given = {
      {"-s", "www.example.test"}, {"-p", "{http}"}, {"-i", id},       {"-u", "daemon"}, {"-d", "{scratch}/docs"},
      {"-P", "{jms}"},            {"-A", "admin"},  {"-W", "secret"}, {"-J", "/usr/lib/jvm/java"}};
  for (const auto& [option, value] : options) given[option] = value;
  texts.reserve(given.size() + 1);  // the record points into them
  texts.push_back(copy.root);
  InstanceRecord record{};
  setInstanceDefaults(texts.back().c_str(), "default", &record);
  for (const auto& [option, value] : given) {
    texts.push_back(copy.expand(value));
    record.*FIELDS.at(option) = texts.back().c_str();
  }
  record.dnsMode = "off";
  record.createRequested = 1;
  return record;
}

// The child's side of a run: the world's environment, mask and user, then
// the plan, its lines written to `out`.
[[noreturn]] void runInChild(const Copy& copy, Runner runner, const World& world, int out) {
  clearenv();
  setenv("PATH", "/usr/bin:/bin", 1);
  setenv("LANG", "C", 1);
  for (const std::string& entry : world.environment) putenv(strdup(copy.expand(entry).c_str()));
  umask(world.umask);
  const passwd* daemon = getpwnam("daemon");
  if (copy.who == Identity::Daemon &&
      (!daemon || setgroups(0, nullptr) != 0 || setresgid(daemon->pw_gid, daemon->pw_gid, daemon->pw_gid) != 0 ||
       setresuid(daemon->pw_uid, daemon->pw_uid, daemon->pw_uid) != 0))
    _exit(99);
  std::vector<std::string> texts;
  const FacePolicy policy = commandLinePolicy(nullptr);
  PlanResult result = runCreationPlan(commandLineRecord(copy, world.id, world.options, texts), policy, runner);
  std::string lines;
  for (const Problem& problem : result.problems) lines += problemLine(problem, policy) + '\n';
  if (write(out, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) _exit(98);
  _exit(result.problems.empty() ? 0 : 3);
}

void Copy::create(const std::string& id, const Options& options) {
  Outcome made = run(Runner::Create, {"", who, nullptr, options, Verdict::Created, {}, id});
  ASSERT_TRUE(made.ok) << "building the world: " << (made.lines.empty() ? "" : made.lines[0]);
}

Outcome Copy::run(Runner runner, const World& world) const {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return {};
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) runInChild(*this, runner, world, ends[1]);
  close(ends[1]);
  Outcome outcome;
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(world.seconds);
  for (char buffer[4096];;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait = {ends[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) == 0) {
      outcome.killed = kill(child, SIGKILL) == 0;
      break;
    }
    ssize_t n = read(ends[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  outcome.ok = !outcome.killed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    outcome.lines.push_back(text.substr(start, end - start));
  return outcome;
}

// Builders of worlds.

// A listed document below a subdirectory of the document root.
void listDocumentInSubdirectory(Copy& c) {
  c.makeDir("server-root/lib/install/templates/sub");
  c.putFile("server-root/lib/install/templates/sub/a.html", "<p>a</p>\n");
  c.appendTo(c.templates("docs.lst"), "sub/a.html\n");
}

// `file` replaced by a directory (S_IFDIR), or by a FIFO that no one ever
// writes to: opened without care, either can pass for a file, and the FIFO
// blocks its reader for ever.
void replaceWith(Copy& c, const std::string& file, mode_t type) {
  c.removeFile(file);
  ASSERT_EQ(type == S_IFDIR ? mkdir(file.c_str(), 0755) : mkfifo(file.c_str(), 0644), 0);
}

// `target` (a path in the copy) at `place`, a link made by the world's user.
void linkAt(Copy& c, const std::string& target, const std::string& place) {
  ASSERT_EQ(symlink(target.c_str(), place.c_str()), 0);
  if (c.who == Identity::Daemon) c.giveTo("daemon", place);
}

// A link at `place` to a file of root's that no link may lead a run to.
void linkToRootsSecret(Copy& c, const std::string& place) {
  writeFile(c.path("secret"), "root's own\n", 0600);
  linkAt(c, c.path("secret"), place);
}

// A template directory (or its French one) that holds no home page: a
// document root there would be filled from itself.
void templatesWithoutHomePage(Copy& c, const std::string& directory) {
  c.removeFile(c.templates(directory + "index.html"));
  const std::string list = c.templates(directory + "docs.lst");
  writeFile(list, replaceAll(readFile(list), "index.html\n", ""));
}

// The generator's interpreter {scratch}/perl/perl (see OWN_PERL).
void interpreter(Copy& c, const std::string& content) {
  c.makeDir("perl");
  c.putFile("perl/perl", content, 0755);
}

const Identity ROOT = Identity::Root, DAEMON = Identity::Daemon, BOTH = Identity::Both;
const Verdict CREATED = Verdict::Created, REFUSED = Verdict::Refused;
// For worlds where a run may block for ever: long enough for any run that
// does not.
constexpr int HANGS = 3;
const std::vector<std::string> OWN_PERL = {"INSTALL_PERL_HOME={scratch}/perl"};

const World WORLDS[] = {
    // Clean worlds: the check must not refuse what a creation does.
    {"clean", BOTH, nullptr, {}, CREATED},
    // Existing document roots of root's, the run as daemon: one with a home
    // page is kept as it is, one without must be filled.
    {"daemon_root_owned_docroot_with_home_page", DAEMON,
     [](Copy& c) { makeDirs(c.path("site")); writeFile(c.path("site/index.html"), "<p>kept</p>\n"); },
     {{"-d", "{scratch}/site"}}, CREATED},
    {"daemon_root_owned_docroot_without_home_page", DAEMON, [](Copy& c) { makeDirs(c.path("site")); },
     {{"-d", "{scratch}/site"}}, REFUSED},
    {"daemon_docroot_holding_a_listed_file_of_roots", DAEMON,
     [](Copy& c) { c.makeDir("docs"); writeFile(c.path("docs/style.css"), "root's style\n"); }, {}, REFUSED},
    // A listed document in a subdirectory, which only an existing root has.
    {"listed_subdirectory_new_docroot", BOTH, listDocumentInSubdirectory, {}, REFUSED},
    {"listed_subdirectory_existing_docroot", BOTH,
     [](Copy& c) { listDocumentInSubdirectory(c); c.makeDir("docs/sub"); }, {}, CREATED},
    // What stands at a listed name of an existing document root: a second
    // name of another file, or of the template itself, a link, a directory.
    {"hard_link_at_listed_name", BOTH,
     [](Copy& c) {
       c.makeDir("docs");
       c.putFile("elsewhere", "not a document\n");
       ASSERT_EQ(link(c.path("elsewhere").c_str(), c.path("docs/style.css").c_str()), 0);
     },
     {}, REFUSED},
    {"listed_name_is_its_own_template", ROOT,
     [](Copy& c) {
       c.makeDir("docs");
       ASSERT_EQ(link(c.templates("style.css").c_str(), c.path("docs/style.css").c_str()), 0);
     },
     {}, REFUSED},
    {"daemons_symlink_at_listed_name_as_root", ROOT,
     [](Copy& c) {
       makeDirs(c.path("docs"));
       linkToRootsSecret(c, c.path("docs/style.css"));
       c.giveTo("daemon", c.path("docs"));
     },
     {}, REFUSED},
    {"directory_at_listed_name", ROOT, [](Copy& c) { c.makeDir("docs/style.css"); }, {}, REFUSED},
    // The document root in the template directory, filled from itself.
    {"docroot_is_the_template_directory", ROOT, [](Copy& c) { templatesWithoutHomePage(c, ""); },
     {{"-d", "{root}/lib/install/templates"}}, REFUSED},
    {"docroot_is_a_localised_template_directory", ROOT, [](Copy& c) { templatesWithoutHomePage(c, "fr/"); },
     {{"-d", "{root}/lib/install/templates/fr"}}, REFUSED},
    // Directories made where they inherit the set-group-ID bit, files made
    // under a umask that would leave them unusable.
    {"new_docroot_below_set_group_id_directory", BOTH,
     [](Copy& c) { c.makeDir("web"); chmod(c.path("web").c_str(), 02775); }, {{"-d", "{scratch}/web/a/b"}}, CREATED},
    {"umask_0277", BOTH, nullptr, {}, CREATED, {}, "web1", 60, 0277},
    // A document root that can be written but not read, here and on another
    // file system, which the final sync must reach all the same.
    {"daemon_unreadable_docroot", DAEMON, [](Copy& c) { c.makeDir("site", 0300); }, {{"-d", "{scratch}/site"}},
     CREATED},
    {"daemon_unreadable_docroot_on_another_file_system", DAEMON,
     [](Copy& c) { makeDirs(c.elsewhere.path + "/site", 0300); c.giveTo("daemon", c.elsewhere.path + "/site"); },
     {{"-d", "{elsewhere}/site"}}, CREATED},
    // ".." in the document root after directories the run makes, and a
    // link that leads nowhere where one would be made.
    {"docroot_through_missing_directory_and_dotdot_as_root", ROOT, [](Copy& c) { c.makeDir("site"); },
     {{"-d", "{scratch}/missing/../site"}}, CREATED},
    {"daemon_docroot_through_missing_directory_and_dotdot_into_roots", DAEMON,
     [](Copy& c) { makeDirs(c.path("site")); }, {{"-d", "{scratch}/missing/../site"}}, REFUSED},
    {"daemon_docroot_through_two_missing_directories", DAEMON, nullptr, {{"-d", "{scratch}/a/b/../../c/d"}}, CREATED},
    {"daemon_docroot_is_dangling_link", DAEMON, [](Copy& c) { linkAt(c, c.path("nowhere"), c.path("site")); },
     {{"-d", "{scratch}/site"}}, REFUSED},
    {"daemon_docroot_through_own_link", DAEMON,
     [](Copy& c) { c.makeDir("real"); linkAt(c, c.path("real"), c.path("site")); }, {{"-d", "{scratch}/site"}},
     CREATED},
    // Paths the system cannot hold: of the instance's files, of documents.
    {"instance_paths_longer_than_the_system_allows", ROOT, nullptr, {}, REFUSED, {}, std::string(60, 'i'), 60, 022,
     4000},
    {"docroot_path_longer_than_the_system_allows", ROOT, nullptr, {{"-d", "{scratch}" + deepPath("", 4066)}},
     REFUSED},
    // Identifiers at and beyond the longest that every name made from them
    // allows, and of the forms of the tool's own names.
    {"identifier_of_114_bytes", BOTH, nullptr, {}, CREATED, {}, std::string(114, 'x')},
    {"identifier_of_115_bytes", BOTH, nullptr, {}, REFUSED, {}, std::string(115, 'x')},
    {"identifier_named_as_the_lock", ROOT, nullptr, {}, REFUSED, {}, ".instances.lock"},
    {"identifier_named_as_remains", DAEMON, nullptr, {}, REFUSED, {}, "broken.web1"},
    {"identifier_named_in_the_older_form", ROOT, nullptr, {}, REFUSED, {}, "https-web1"},
    // The identifier taken: by a link to nothing, by the older name.
    {"instance_name_is_dangling_link", BOTH, [](Copy& c) { linkAt(c, c.path("nowhere"), c.root + "/web1"); }, {},
     REFUSED},
    {"older_instance_name_taken", ROOT, [](Copy& c) { c.makeDir("server-root/https-web1"); }, {}, REFUSED},
    // Where the instance goes: a server root the runner cannot write in,
    // and the lock file that every creation takes there.
    {"daemon_server_root_of_roots", DAEMON, [](Copy& c) { c.giveTo("root", c.root); }, {}, REFUSED},
    {"lock_file_is_a_link_as_root", ROOT,
     [](Copy& c) { linkToRootsSecret(c, c.root + "/.instances.lock"); }, {}, REFUSED},
    {"daemon_lock_file_of_roots", DAEMON, [](Copy& c) { writeFile(c.root + "/.instances.lock", "", 0600); }, {},
     REFUSED},
    {"lock_file_is_a_directory", BOTH, [](Copy& c) { c.makeDir("server-root/.instances.lock"); }, {}, REFUSED},
    // What the installation lacks, or holds in place of a file.
    {"template_keyfile_missing", BOTH, [](Copy& c) { c.removeFile(c.templates("keyfile")); }, {}, REFUSED},
    {"template_server_xml_missing", ROOT, [](Copy& c) { c.removeFile(c.templates("server.xml.template")); }, {},
     REFUSED},
    {"template_server_xml_is_fifo", ROOT,
     [](Copy& c) { replaceWith(c, c.templates("server.xml.template"), S_IFIFO); }, {}, REFUSED, {}, "web1", HANGS},
    {"template_mirel_acc_xml_is_directory", ROOT,
     [](Copy& c) { replaceWith(c, c.templates("mirel-acc.xml.template"), S_IFDIR); }, {}, REFUSED},
    {"template_stop_missing", BOTH, [](Copy& c) { c.removeFile(c.templates("stop")); }, {}, REFUSED},
    {"daemon_template_start_of_roots_alone", DAEMON,
     [](Copy& c) { c.giveTo("root", c.templates("start")); chmod(c.templates("start").c_str(), 0600); }, {}, REFUSED},
    {"generator_missing", ROOT, [](Copy& c) { c.removeFile(c.templates("makeScript")); }, {}, REFUSED},
    {"docs_list_missing", BOTH, [](Copy& c) { c.removeFile(c.templates("docs.lst")); }, {}, REFUSED},
    {"docs_list_is_fifo", ROOT, [](Copy& c) { replaceWith(c, c.templates("docs.lst"), S_IFIFO); }, {}, REFUSED, {},
     "web1", HANGS},
    {"listed_document_missing", ROOT, [](Copy& c) { c.removeFile(c.templates("logo.gif")); }, {}, REFUSED},
    {"listed_document_leaves_docroot", ROOT,
     [](Copy& c) { c.appendTo(c.templates("docs.lst"), "../install.defaults\n"); }, {}, REFUSED},
    // The generator's interpreter: missing, or executable but not startable.
    {"generator_interpreter_missing", ROOT, nullptr, {}, REFUSED, {"INSTALL_PERL_HOME=/nonexistent"}},
    {"interpreter_naming_a_missing_interpreter", ROOT, [](Copy& c) { interpreter(c, "#!/nonexistent/perl\n"); }, {},
     REFUSED, OWN_PERL},
    {"interpreter_of_no_kind_the_system_runs", DAEMON, [](Copy& c) { interpreter(c, "plain text\n"); }, {}, REFUSED,
     OWN_PERL},
    {"interpreter_naming_an_interpreter_that_is_no_program", ROOT,
     [](Copy& c) { interpreter(c, "#!" + c.path("perl/inner") + "\n"); c.putFile("perl/inner", "text\n", 0755); },
     {}, REFUSED, OWN_PERL},
    {"interpreter_that_is_a_script_for_perl", DAEMON,
     [](Copy& c) { interpreter(c, "#! /bin/sh\nexec /usr/bin/perl \"$@\"\n"); }, {}, CREATED, OWN_PERL},
    // Ports.
    {"http_port_of_another_instance", BOTH,
     [](Copy& c) { c.create("other", {{"-P", "{spare}"}, {"-d", "{scratch}/other-docs"}}); }, {}, REFUSED},
    {"another_instances_record_unreadable", ROOT,
     [](Copy& c) {
       c.create("other", {{"-p", "{spare}"}, {"-P", "{spare2}"}, {"-d", "{scratch}/other-docs"}});
       replaceWith(c, c.root + "/other/config/answers.conf", S_IFIFO);
     },
     {}, CREATED},
    {"http_port_a_process_listens_on", ROOT, nullptr, {{"-p", "{listening}"}}, REFUSED},
    {"http_and_jms_port_equal_unchecked", ROOT, nullptr, {{"-P", "{http}"}}, REFUSED, {"INSTALL_CHECK_PORTS=no"}},
    {"http_port_not_a_number", ROOT, nullptr, {{"-p", "80x"}}, REFUSED},
    // Users and document roots.
    {"unknown_user", ROOT, nullptr, {{"-u", "no-such-user-here"}}, REFUSED},
    {"daemon_for_root", DAEMON, nullptr, {{"-u", "root"}}, REFUSED},
    {"relative_docroot", ROOT, nullptr, {{"-d", "relative/docs"}}, REFUSED},
    {"docroot_below_regular_file", BOTH, [](Copy& c) { c.putFile("plain", "a file\n"); },
     {{"-d", "{scratch}/plain/docs"}}, REFUSED},
    {"docroot_is_regular_file", BOTH, [](Copy& c) { c.putFile("plain", "a file\n"); }, {{"-d", "{scratch}/plain"}},
     REFUSED},
    // Made by the creation before the document root is filled.
    {"docroot_inside_instance", ROOT, nullptr, {{"-d", "{root}/web1/docs"}}, CREATED},
    {"daemon_docroot_is_instance", DAEMON, nullptr, {{"-d", "{root}/web1"}}, CREATED},
    // What root must not trust below the server root.
    {"instances_root_of_mode_0777", ROOT, [](Copy& c) { chmod(c.root.c_str(), 0777); }, {}, REFUSED},
    {"link_at_server_roots_access_control_file", ROOT,
     [](Copy& c) { makeDirs(c.root + "/config"); linkToRootsSecret(c, c.root + "/config/generated.web1.acl"); },
     {}, REFUSED},
    {"link_at_server_roots_work_access_control_file", ROOT,
     [](Copy& c) {
       makeDirs(c.root + "/config/httpacl");
       linkToRootsSecret(c, c.root + "/config/httpacl/genwork.web1.acl");
     },
     {}, REFUSED},
    {"malformed_settings_line", ROOT,
     [](Copy& c) { c.appendTo(c.root + "/lib/install/install.defaults", "this line sets nothing\n"); }, {}, REFUSED},
    // The administration server's configuration (the language lines).
    {"daemon_admin_init_conf_unreadable", DAEMON,
     [](Copy& c) {
       const std::string conf = c.root + "/admin-server/config/init.conf";
       c.giveTo("root", conf);
       chmod(conf.c_str(), 0600);
     },
     {}, REFUSED},
    {"admin_init_conf_is_directory", ROOT,
     [](Copy& c) { replaceWith(c, c.root + "/admin-server/config/init.conf", S_IFDIR); }, {}, REFUSED},
    {"admin_init_conf_is_fifo", ROOT,
     [](Copy& c) { replaceWith(c, c.root + "/admin-server/config/init.conf", S_IFIFO); }, {}, REFUSED, {}, "web1",
     HANGS},
};

std::vector<World> worlds() {
  std::vector<World> all;
  for (const World& world : WORLDS) {
    for (Identity who : {ROOT, DAEMON}) {
      if (world.who != BOTH && world.who != who) continue;
      all.push_back(world);
      all.back().who = who;
      if (world.who == BOTH) all.back().name += who == ROOT ? "_as_root" : "_as_daemon";
    }
  }
  return all;
}

// The entries of `before` missing or changed in `after`, and the entries
// added, one line each.
std::string differences(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::string lines;
  for (const auto& [name, entry] : before)
    if (!after.count(name) || after.at(name) != entry) lines += "      changed or removed " + name + "\n";
  for (const auto& [name, entry] : after)
    if (!before.count(name)) lines += "      added " + name + "\n";
  return lines;
}

// The installation's own files: what no creation may change.
TreeSnapshot installationFiles(const Copy& copy) {
  TreeSnapshot files;
  for (const char* part : {"/lib", "/admin-server", "/bin"})
    for (auto& [name, entry] : snapshotTree(copy.root + part)) files[part + name] = entry;
  return files;
}

// An outcome for a failure message.
std::string describe(const Outcome& outcome) {
  std::string text = outcome.killed ? " was killed" : outcome.ok ? " found no problem" : " refused";
  for (const std::string& line : outcome.lines) text += "\n    " + line;
  return text + "\n";
}

using CheckOnlyDifferential = ::testing::TestWithParam<World>;

TEST_P(CheckOnlyDifferential, AgreesWithARealRun) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to build worlds of root's and to become daemon";
  const World& world = GetParam();
  Listener listener;  // kept listening through both runs
  std::map<std::string, std::string> ports = {{"listening", listener.port}};
  for (const char* name : {"http", "jms", "spare", "spare2"}) ports[name] = uniquePort();

  Copy checked(world, ports);
  Copy created(world, ports);
  if (HasFailure()) return;
  const TreeSnapshot before = snapshotTree(checked.scratch());
  const TreeSnapshot installation = installationFiles(created);
  const Outcome check = checked.run(Runner::Check, world);
  const Outcome real = created.run(Runner::Create, world);

  std::string faults;
  const std::string changed = differences(before, snapshotTree(checked.scratch()));
  if (!changed.empty()) faults += "  - the check changed the scratch tree:\n" + changed;
  const std::string lost = differences(installation, installationFiles(created));
  if (!lost.empty()) faults += "  - the creation changed the installation:\n" + lost;
  const bool builtFor = world.expected == Verdict::Created;
  if (check.ok != real.ok) faults += "  - the verdicts disagree\n";
  if (real.ok != builtFor) faults += "  - the creation's verdict is not the one the world was built for\n";
  if (check.ok != builtFor) faults += "  - the check's verdict is not the one the world was built for\n";
  if (!check.ok && check.lines.empty()) faults += "  - the check refused without naming a problem\n";
  // The problem the creation stopped at is among those the check reported,
  // in the same words (each copy naming its own paths).
  if (!real.ok && !real.lines.empty()) {
    const std::string stoppedAt = replaceAll(replaceAll(real.lines.front(), created.scratch(), checked.scratch()),
                                             created.elsewhere.path, checked.elsewhere.path);
    if (std::find(check.lines.begin(), check.lines.end(), stoppedAt) == check.lines.end())
      faults += "  - the check does not report the problem the creation stopped at\n";
  }
  EXPECT_TRUE(faults.empty()) << "world " << world.name << " (run as "
                              << (world.who == Identity::Root ? "root" : "daemon") << ", expected "
                              << (builtFor ? "created" : "refused") << ")\n  the check" << describe(check)
                              << "  the creation" << describe(real) << faults;
}

INSTANTIATE_TEST_SUITE_P(CheckOnly, CheckOnlyDifferential, ::testing::ValuesIn(worlds()),
                         [](const ::testing::TestParamInfo<World>& world) { return world.param.name; });

}  // namespace
