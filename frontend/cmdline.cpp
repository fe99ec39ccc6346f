#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"
#include "frontend/preflight.h"
#include "fsutil/directories.h"
#include "fsutil/lock.h"
#include "instance/settings.h"
#include "provision/create.h"

namespace {

constexpr int STATUS_MISSING = -1;
constexpr int STATUS_BAD_OPTION = 1;
constexpr int STATUS_IN_USE = -2;
constexpr int STATUS_REFUSED = REPORT_ERROR_STATUS;
constexpr const char* IN_USE_TEXT =
    "The given server identifier is already in use.  Please pick another server identifier.";
constexpr const char* SHORT_OPTIONS = "s:p:i:u:d:P:A:W:J:w:nh";

// What the command line asks for beyond the record's fields.
struct RunOptions {
  const char* passwordFile = nullptr;  // -w
  bool checkOnly = false;              // -n
};

// The nine required options in the order of the usage line.
const char** optionField(InstanceRecord* record, int option) {
  switch (option) {
    case 's': return &record->serverName;
    case 'p': return &record->port;
    case 'i': return &record->serverId;
    case 'u': return &record->serverUser;
    case 'd': return &record->docRoot;
    case 'P': return &record->jmsPort;
    case 'A': return &record->jmsAdminUser;
    case 'W': return &record->jmsAdminPassword;
    case 'J': return &record->javaHome;
    default: return nullptr;
  }
}

// The answers as the command line asks for them: by their options, the
// password by the one it came from.
std::array<FieldLabel, 8> optionLabels(const RunOptions& run) {
  return {{{&InstanceRecord::serverName, "-s"},
           {&InstanceRecord::port, "-p"},
           {&InstanceRecord::serverUser, "-u"},
           {&InstanceRecord::docRoot, "-d"},
           {&InstanceRecord::jmsPort, "-P"},
           {&InstanceRecord::jmsAdminUser, "-A"},
           {&InstanceRecord::jmsAdminPassword, run.passwordFile ? "-w" : "-W"},
           {&InstanceRecord::javaHome, "-J"}}};
}

void printHelp() {
  std::fputs(
      "Usage: install -s servername -p port -i serverid -u user -d docroot -P jmsport -A jmsadminusername "
      "-W jmsadminpasswd -J javahome\n"
      "       install [-n] -s ... -A jmsadminusername -w passwordfile -J javahome\n"
      "       install -h | --help | --version\n"
      "\n"
      "Creates a server instance in $ZORA_SERVER_HOME/<serverid> from the installation in $ZORA_SERVER_HOME.\n"
      "\n"
      "  -s servername        host name of the new server\n"
      "  -p port              its HTTP port, 1 to 65535\n"
      "  -i serverid          its identifier, which names the instance directory\n"
      "  -u user              the user the server runs as (run by another user than root: that user)\n"
      "  -d docroot           the document root, an absolute path; made and filled when missing\n"
      "  -P jmsport           the JMS service port\n"
      "  -A jmsadminusername  the JMS administrator\n"
      "  -W jmsadminpasswd    the JMS administrator's password (seen by every user in the process list)\n"
      "  -w passwordfile      that password from the first line of a file of mode 0600, or - for standard input\n"
      "  -J javahome          the Java home directory\n"
      "  -n                   check only: report every problem a creation would meet, create nothing\n"
      "  -h, --help           show this help\n"
      "      --version        show the version\n"
      "\n"
      "Exit status: 0 created (with -n: no problem found), 1 unknown option or stray word, 3 refused or failed,\n"
      "254 identifier in use, 255 ZORA_SERVER_HOME not set or an option missing.\n"
      "See instance-install(8).\n",
      stdout);
}

enum class Request { Run, Help, Version };

// --help, -h and --version are answered before anything else is looked at,
// ZORA_SERVER_HOME included. The arguments of the options that take one are
// passed over, so that "-s -h" names a server.
Request earlyRequest(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (std::strcmp(word, "--") == 0) break;
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) return Request::Help;
    if (std::strcmp(word, "--version") == 0) return Request::Version;
    bool takesArgument = word[0] == '-' && word[1] != '\0' && word[2] == '\0' && word[1] != ':' &&
                         std::strchr(SHORT_OPTIONS, word[1]) && std::strchr(SHORT_OPTIONS, word[1])[1] == ':';
    if (takesArgument) ++i;
  }
  return Request::Run;
}

// A password file stands in for -W.
bool allOptionsGiven(InstanceRecord* record, const RunOptions& run) {
  for (char option : std::string("spiudPAWJ")) {
    if (option == 'W' && run.passwordFile) continue;
    if (!*optionField(record, option)) return false;
  }
  return true;
}

// Returns 0 when the options were read, else the exit status.
int readOptions(int argc, char** argv, InstanceRecord* record, RunOptions* run) {
  static const option longOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, SHORT_OPTIONS, longOptions, nullptr)) != -1) {
    if (option == '?') {
      printUsage();
      return STATUS_BAD_OPTION;
    }
    if (option == 'w') run->passwordFile = INTsystem_strdup(optarg);
    if (option == 'n') run->checkOnly = true;
    if (const char** field = optionField(record, option)) *field = INTsystem_strdup(optarg);
  }
  // A value with a blank that was not quoted arrives as a word of its own.
  if (optind < argc) {
    std::fprintf(stderr, "install: unexpected word \"%s\": a value that holds blanks must be quoted.\n", argv[optind]);
    printUsage();
    return STATUS_BAD_OPTION;
  }
  record->mtaHost = "localhost";
  record->dnsMode = "off";
  if (!allOptionsGiven(record, *run)) {
    printUsage();
    return STATUS_MISSING;
  }
  return 0;
}

// A port option that is not a port, named as the user typed it.
struct PortOption {
  const char* const InstanceRecord::*field;
  const char* title;
  const char* option;
};
constexpr PortOption PORT_OPTIONS[] = {{&InstanceRecord::port, "HTTP port", "-p"},
                                       {&InstanceRecord::jmsPort, "JMS port", "-P"}};

std::string portOptionProblem(const InstanceRecord* record, const PortOption& port) {
  const char* value = record->*port.field;
  if (port_problem(value).empty()) return std::string();
  std::string shown;
  for (const char* c = value; c && *c; ++c) shown += visibleCharacter(*c);
  return std::string("The value \"") + shown + "\" of " + port.option +
         " is not a port: give a whole number from 1 to 65535, digits only.";
}

void refuseBadPorts(const InstanceRecord* record) {
  for (const PortOption& port : PORT_OPTIONS) {
    std::string problem = portOptionProblem(record, port);
    if (!problem.empty()) report_error(STATUS_REFUSED, port.title, problem.c_str());
  }
}

// The password of -w, taken into the record; never an argument or an
// environment value of this process or of any it starts.
Message takePassword(InstanceRecord* record, const RunOptions& run) {
  if (!run.passwordFile) return Message();
  if (record->jmsAdminPassword) return errorMessage("ERR_PASSWORD_TWICE");
  std::string password;
  if (Message failure = readPasswordFile(run.passwordFile, &password)) return failure;
  record->jmsAdminPassword = INTsystem_strdup(password.c_str());
  return Message();
}

// 0 when this run now owns the identifier, else the exit status. The ports
// are checked once the identifier is known to be free, before it is claimed.
int claimServerId(const InstanceRecord* record, const ToolSettings& tool) {
  Message failure;
  if (!serverIdInUse(record)) {
    lockAndRefusePortConflicts(record, tool.checkPorts, nullptr);
    switch (claimInstanceDirectory(record, &failure)) {
      case ClaimResult::Claimed: return 0;
      case ClaimResult::Failed: report_error(0, nullptr, failure.get());
      case ClaimResult::InUse: break;
    }
  }
  std::fprintf(stderr, "%s\n", IN_USE_TEXT);
  return STATUS_IN_USE;
}

int createFromOptions(InstanceRecord* record, const RunOptions& run) {
  refuseBadPorts(record);
  requireAbsoluteServerRoot(record, "ZORA_SERVER_HOME");
  requireInstallation(record, "ZORA_SERVER_HOME");
  {
    ScopedMessageBundle bundle(record->serverRoot);
    if (Message failure = takePassword(record, run)) report_error(STATUS_REFUSED, nullptr, failure.get());
  }
  ToolSettings tool;
  std::string problem = applyInstallSettings(record->serverRoot, record, &tool);
  if (!problem.empty()) report_error(STATUS_REFUSED, "Installation settings", problem.c_str());
  refuseUnusableServerId(record, nullptr);
  const auto labels = optionLabels(run);
  refuseControlCharacters(record, labels.data(), labels.size(), "ZORA_SERVER_HOME", nullptr);
  if (int status = claimServerId(record, tool)) return status;
  record->createRequested = 1;
  return reportCreationOutcome(nullptr, record, 1);
}

// The lines of a check-only run: the problems a creation would meet, each
// once, and what it would pass over without failing.
class CheckList {
 public:
  void add(const std::string& text) {
    for (const std::string& line : lines_)
      if (line == text) return;
    if (!text.empty()) lines_.push_back(text);
  }
  void add(const Message& message) {
    if (message) add(std::string(message.get()));
  }
  void add(const std::vector<Message>& messages) {
    for (const Message& message : messages) add(message);
  }
  void note(const std::vector<Message>& messages) {
    for (const Message& message : messages) notes_.push_back(message.get());
  }
  bool empty() const { return lines_.empty(); }
  void print() const {
    for (const std::string& line : notes_) std::fprintf(stderr, "%s\n", line.c_str());
    for (const std::string& line : lines_) std::fprintf(stderr, "%s\n", line.c_str());
  }

 private:
  std::vector<std::string> lines_;
  std::vector<std::string> notes_;
};

// Everything the creation would check, in its order, with the same
// functions; where one check decides that the next cannot be made (no
// installation, unreadable settings), those are left out rather than
// guessed at.
void checkWithInstallation(InstanceRecord* record, const RunOptions& run, bool portsValid, CheckList& checks) {
  checks.add(takePassword(record, run));
  ToolSettings tool;
  std::string settingsProblem = applyInstallSettings(record->serverRoot, record, &tool);
  if (!settingsProblem.empty()) checks.add("Installation settings: " + settingsProblem);
  Message badId = checkServerId(record->serverId);
  checks.add(badId);
  const bool inUse = !badId && serverIdInUse(record);
  if (inUse) checks.add(IN_USE_TEXT);
  if (!badId && !inUse) {
    checks.add(checkRootOnlyDirectory(record->instancesRoot));
    checks.add(checkInstancesRootLock(record->instancesRoot));
    checks.add(claimProblem(record));
  }
  // A port that is no port has its own line already, control characters and all.
  std::vector<FieldLabel> labels;
  for (const FieldLabel& label : optionLabels(run))
    if (portsValid || (label.member != &InstanceRecord::port && label.member != &InstanceRecord::jmsPort))
      labels.push_back(label);
  checks.add(checkControlCharacters(record, labels.data(), labels.size(), "ZORA_SERVER_HOME"));
  if (!settingsProblem.empty()) return;
  if (portsValid) checks.add(portsEqualProblem(record));
  if (portsValid && tool.checkPorts) {
    std::vector<Message> skipped;
    checks.add(portConflicts(record, &skipped));
    checks.note(skipped);
  }
  if (!badId) checks.add(planCreation(record));
}

int checkOnly(InstanceRecord* record, const RunOptions& run) {
  CheckList checks;
  bool portsValid = true;
  for (const PortOption& port : PORT_OPTIONS) {
    std::string problem = portOptionProblem(record, port);
    if (!problem.empty()) checks.add(std::string(port.title) + ": " + problem);
    portsValid = portsValid && problem.empty();
  }
  std::string rootProblem = serverRootProblem(record, "ZORA_SERVER_HOME");
  if (rootProblem.empty()) rootProblem = installationProblem(record, "ZORA_SERVER_HOME");
  if (!rootProblem.empty()) {
    checks.add("Server Root: " + rootProblem);
  } else {
    ScopedMessageBundle bundle(record->serverRoot);
    checkWithInstallation(record, run, portsValid, checks);
  }
  checks.print();
  if (!checks.empty()) return STATUS_REFUSED;
  ScopedMessageBundle bundle(record->serverRoot);
  std::string instanceDir = std::string(record->instancesRoot) + "/" + record->serverId;
  std::fprintf(stderr, "%s\n", errorMessage("ERR_CHECK_PASSED", {instanceDir.c_str()}).get());
  return 0;
}

}  // namespace

void printUsage() {
  std::fputs(
      "Usage: install -s servername -p port -i serverid -u user -d docroot -P jmsport -A jmsadminusername "
      "-W jmsadminpasswd -J javahome\n",
      stderr);
}

int runCommandLine(int argc, char** argv) {
  switch (earlyRequest(argc, argv)) {
    case Request::Help: printHelp(); return 0;
    case Request::Version: std::printf("install (instance-install) %s\n", TOOL_VERSION); return 0;
    case Request::Run: break;
  }
  const char* serverHome = std::getenv("ZORA_SERVER_HOME");
  if (!serverHome) {
    std::fputs("ZORA_SERVER_HOME not set\n", stderr);
    return STATUS_MISSING;
  }
  InstanceRecord record{};
  setInstanceDefaults(serverHome, "default", &record);
  RunOptions run;
  if (int status = readOptions(argc, argv, &record, &run)) return status;
  if (run.checkOnly) return checkOnly(&record, run);
  return createFromOptions(&record, run);
}
