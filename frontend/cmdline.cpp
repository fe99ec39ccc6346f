#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"
#include "instance/settings.h"

namespace {

constexpr int STATUS_MISSING = -1;
constexpr int STATUS_BAD_OPTION = 1;
constexpr int STATUS_IN_USE = -2;
constexpr const char* IN_USE_TEXT =
    "The given server identifier is already in use.  Please pick another server identifier.\n";

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

// The answers as the command line asks for them: by their options.
constexpr FieldLabel OPTION_LABELS[] = {
    {&InstanceRecord::serverName, "-s"}, {&InstanceRecord::port, "-p"},      {&InstanceRecord::serverUser, "-u"},
    {&InstanceRecord::docRoot, "-d"},    {&InstanceRecord::jmsPort, "-P"},   {&InstanceRecord::jmsAdminUser, "-A"},
    {&InstanceRecord::jmsAdminPassword, "-W"}, {&InstanceRecord::javaHome, "-J"},
};

bool allOptionsGiven(InstanceRecord* record) {
  for (char option : std::string("spiudPAWJ")) {
    if (!*optionField(record, option)) return false;
  }
  return true;
}

// Returns 0 when the options were read, else the exit status.
int readOptions(int argc, char** argv, InstanceRecord* record) {
  int option;
  while ((option = getopt(argc, argv, "s:p:i:u:d:P:A:W:J:")) != -1) {
    if (option == '?') {
      printUsage();
      return STATUS_BAD_OPTION;
    }
    if (const char** field = optionField(record, option)) *field = INTsystem_strdup(optarg);
  }
  record->mtaHost = "localhost";
  record->dnsMode = "off";
  if (!allOptionsGiven(record)) {
    printUsage();
    return STATUS_MISSING;
  }
  return 0;
}

void applySettingsOrFail(InstanceRecord* record) {
  std::string problem = applyInstallSettings(record->serverRoot, record);
  if (!problem.empty()) report_error(3, "Installation settings", problem.c_str());
}

// 0 when this run now owns the identifier, else the exit status.
int claimServerId(const InstanceRecord* record) {
  Message failure;
  if (!serverIdInUse(record)) {
    switch (claimInstanceDirectory(record, &failure)) {
      case ClaimResult::Claimed: return 0;
      case ClaimResult::Failed: report_error(0, nullptr, failure.get());
      case ClaimResult::InUse: break;
    }
  }
  std::fputs(IN_USE_TEXT, stderr);
  return STATUS_IN_USE;
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
  if (int status = readOptions(argc, argv, &record)) return status;
  ValidatePort(record.port);
  ValidatePort(record.jmsPort);
  requireAbsoluteServerRoot(&record, "ZORA_SERVER_HOME");
  applySettingsOrFail(&record);
  refuseUnusableServerId(&record, nullptr);
  refuseControlCharacters(&record, OPTION_LABELS, std::size(OPTION_LABELS), "ZORA_SERVER_HOME", nullptr);
  if (int status = claimServerId(&record)) return status;
  record.createRequested = 1;
  return reportCreationOutcome(nullptr, &record, 1);
}
