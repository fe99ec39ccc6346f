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
#include "instance/settings.h"

namespace {

constexpr int STATUS_MISSING = -1;
constexpr int STATUS_BAD_OPTION = 1;
constexpr int STATUS_IN_USE = -2;
constexpr int STATUS_REFUSED = REPORT_ERROR_STATUS;
constexpr const char* IN_USE_TEXT =
    "The given server identifier is already in use.  Please pick another server identifier.";

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
  int option;
  while ((option = getopt(argc, argv, "s:p:i:u:d:P:A:W:J:w:n")) != -1) {
    if (option == '?') {
      printUsage();
      return STATUS_BAD_OPTION;
    }
    if (option == 'w') run->passwordFile = INTsystem_strdup(optarg);
    if (option == 'n') run->checkOnly = true;
    if (const char** field = optionField(record, option)) *field = INTsystem_strdup(optarg);
  }
  record->mtaHost = "localhost";
  record->dnsMode = "off";
  if (!allOptionsGiven(record, *run)) {
    printUsage();
    return STATUS_MISSING;
  }
  return 0;
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
    refusePortConflicts(record, tool.checkPorts, nullptr);
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
  ValidatePort(record->port);
  ValidatePort(record->jmsPort);
  requireAbsoluteServerRoot(record, "ZORA_SERVER_HOME");
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

// Every check a creation makes before it writes anything; each problem is
// one line, with the text a creation would report for it.
class CheckList {
 public:
  void add(const std::string& text) {
    if (!text.empty()) lines_.push_back(text);
  }
  void add(const Message& message) {
    if (message) lines_.push_back(message.get());
  }
  void add(const std::vector<Message>& messages) {
    for (const Message& message : messages) add(message);
  }
  // What the run will pass over without failing: shown, not counted.
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

void checkAnswers(InstanceRecord* record, const RunOptions& run, CheckList& checks) {
  ToolSettings tool;
  std::string settingsProblem = applyInstallSettings(record->serverRoot, record, &tool);
  if (!settingsProblem.empty()) checks.add("Installation settings: " + settingsProblem);
  Message badId = checkServerId(record->serverId);
  if (badId) checks.add(badId);
  else if (serverIdInUse(record)) checks.add(IN_USE_TEXT);
  const auto labels = optionLabels(run);
  checks.add(checkControlCharacters(record, labels.data(), labels.size(), "ZORA_SERVER_HOME"));
  checks.add(checkRootOnlyDirectory(record->instancesRoot));
  bool portsValid = port_problem(record->port).empty() && port_problem(record->jmsPort).empty();
  if (portsValid) checks.add(portsEqualProblem(record));
  if (tool.checkPorts && portsValid) {
    std::vector<Message> skipped;
    checks.add(portConflicts(record, &skipped));
    checks.note(skipped);
  }
  checks.add(installationProblems(record));
}

int checkOnly(InstanceRecord* record, const RunOptions& run) {
  CheckList checks;
  for (const char* port : {record->port, record->jmsPort}) {
    std::string problem = port_problem(port);
    if (!problem.empty()) checks.add("Port Number: " + problem);
  }
  std::string rootProblem = serverRootProblem(record, "ZORA_SERVER_HOME");
  if (!rootProblem.empty()) checks.add("Server Root: " + rootProblem);
  ScopedMessageBundle bundle(rootProblem.empty() ? record->serverRoot : nullptr);
  checks.add(takePassword(record, run));
  if (rootProblem.empty()) checkAnswers(record, run, checks);
  checks.print();
  if (!checks.empty()) return STATUS_REFUSED;
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
