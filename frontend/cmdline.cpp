// SPDX-License-Identifier: GPL-3.0-or-later
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"

namespace {

constexpr int STATUS_MISSING = -1;
constexpr int STATUS_BAD_OPTION = 1;
constexpr int STATUS_IN_USE = -2;
constexpr int STATUS_REFUSED = REPORT_ERROR_STATUS;
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

// The required options still unset, in the order of the usage line, as
// one line ("install: the options -i and -J are missing."); "" when every
// one was given. A password file stands in for -W.
std::string missingOptions(InstanceRecord* record, const RunOptions& run) {
  std::vector<std::string> missing;
  for (char option : std::string("spiudPAWJ")) {
    if (option == 'W' && run.passwordFile) continue;
    if (!*optionField(record, option)) missing.push_back(option == 'W' ? "-W (or -w)" : std::string("-") + option);
  }
  if (missing.empty()) return "";
  std::string named = missing.front();
  for (size_t i = 1; i < missing.size(); ++i) named += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
  return "install: the option" + std::string(missing.size() > 1 ? "s " : " ") + named +
         (missing.size() > 1 ? " are" : " is") + " missing.\n";
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
  const std::string missing = missingOptions(record, *run);
  if (!missing.empty()) {
    printUsage();
    std::fputs(missing.c_str(), stderr);
    return STATUS_MISSING;
  }
  return 0;
}

int checkOnly(const InstanceRecord& record, const FacePolicy& policy) {
  PlanResult result = runCreationPlan(record, policy, Runner::Check);
  for (const Message& note : result.notes) std::fprintf(stderr, "%s\n", note.get());
  if (result.unsetSettings) std::fprintf(stderr, "%s\n", result.unsetSettings.get());
  for (const Problem& problem : result.problems) std::fprintf(stderr, "%s\n", problemLine(problem, policy).c_str());
  if (!result.problems.empty()) return STATUS_REFUSED;
  std::fprintf(stderr, "%s\n", result.conclusion.get());
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
  record.createRequested = 1;
  const FacePolicy policy = commandLinePolicy(run.passwordFile);
  if (run.checkOnly) return checkOnly(record, policy);
  return reportCreationOutcome(nullptr, &record, policy, 1);
}

FacePolicy commandLinePolicy(const char* passwordFile) {
  FacePolicy policy;
  policy.rootSource = "ZORA_SERVER_HOME";
  // The titles say which port an option is, in the language of the run.
  policy.answer(Answer::ServerName) = {fixedText("-s"), {}, nullptr};
  policy.answer(Answer::Port) = {fixedText("-p"), bundleText("ERR_LABEL_HTTP_PORT"), nullptr};
  policy.answer(Answer::ServerId) = {fixedText("-i"), {}, nullptr};
  policy.answer(Answer::ServerUser) = {fixedText("-u"), {}, nullptr};
  policy.answer(Answer::DocRoot) = {fixedText("-d"), {}, nullptr};
  policy.answer(Answer::JmsPort) = {fixedText("-P"), bundleText("ERR_LABEL_JMS_PORT"), nullptr};
  policy.answer(Answer::JmsAdminUser) = {fixedText("-A"), {}, nullptr};
  policy.answer(Answer::JmsAdminPassword) = {fixedText(passwordFile ? "-w" : "-W"), {}, nullptr};
  policy.answer(Answer::JavaHome) = {fixedText("-J"), {}, nullptr};
  for (TopicPolicy& topic : policy.topics) topic = {nullptr, 0, STATUS_REFUSED};
  policy.topic(Topic::ServerRoot).title = "Server Root";
  policy.topic(Topic::Settings).title = "Installation settings";
  policy.topic(Topic::InUse).status = STATUS_IN_USE;
  policy.passwordFile = passwordFile;
  return policy;
}
