#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"
#include "instance/settings.h"

namespace {

constexpr int FIELD_ERROR = 3;
constexpr int IN_USE_ERROR = 8;
constexpr const char* REDIRECT_NAME = "Orvane Web Server Team";

// The answers as the install form asks for them: by the labels of its fields.
constexpr FieldLabel FORM_LABELS[] = {
    {&InstanceRecord::serverName, "Server name"},  {&InstanceRecord::port, "Server port"},
    {&InstanceRecord::serverUser, "Server user"},  {&InstanceRecord::docRoot, "Document root"},
    {&InstanceRecord::dnsMode, "Host name lookups (DNS)"},
};

const char* requiredField(const char* name, const char* title, const char* missingText) {
  const char* value = get_cgi_var(name, nullptr, nullptr);
  if (!value) report_error(FIELD_ERROR, title, missingText);
  return value;
}

bool blank(const char* text) {
  for (; *text; ++text) {
    if (!std::isspace(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

[[noreturn]] void refuseServerIdInUse() {
  report_error(IN_USE_ERROR, "Server Identifier",
               "The given server identifier is already in use.  Please pick another.");
}

void readServerId(InstanceRecord* record) {
  record->serverId = requiredField("servid", "Server Identifier", "Please give your server a short identifier.");
  if (std::isdigit(static_cast<unsigned char>(record->serverId[0])))
    report_error(FIELD_ERROR, "Server Identifier", "Server Identifier cannot start with a digit.");
  refuseUnusableServerId(record, "Server Identifier");
  if (serverIdInUse(record)) refuseServerIdInUse();
}

void readRemainingFields(InstanceRecord* record) {
  record->serverUser = requiredField("servuser", "User to run as",
                                     "Please specify the user you wish to run your server as.");
  const char* mtaHost = get_cgi_var("mtahost", nullptr, nullptr);
  record->mtaHost = mtaHost && !blank(mtaHost) ? mtaHost : nullptr;
  record->dnsMode = requiredField("dns", "DNS level",
                                  "Please choose how often you want hostname resolutions to take place.");
  record->docRoot = requiredField("docroot", "Document Root", "Please specify a directory to contain your documents.");
}

// Installation settings and the claim come last, so that a refused field
// leaves nothing behind; so does the check that the result page can be
// shown once the instance exists.
void prepareCreation(InstanceRecord* record) {
  std::string pageProblem = html_template_problem("success.html");
  if (!pageProblem.empty()) report_error(0, "Page Template", pageProblem.c_str());
  ToolSettings tool;
  std::string problem = applyInstallSettings(record->serverRoot, record, &tool);
  if (!problem.empty()) report_error(FIELD_ERROR, "Installation settings", problem.c_str());
  refuseControlCharacters(record, FORM_LABELS, std::size(FORM_LABELS), "BREVIK_ROOT", "Form field");
  lockAndRefusePortConflicts(record, tool.checkPorts, "Server Port");
  Message failure;
  switch (claimInstanceDirectory(record, &failure)) {
    case ClaimResult::Claimed: return;
    case ClaimResult::InUse: refuseServerIdInUse();
    case ClaimResult::Failed: report_error(0, nullptr, failure.get());
  }
}

}  // namespace

int submitInstallForm(char** config) {
  post_begin(stdin);
  const char* serverRoot = std::getenv("BREVIK_ROOT");
  const char* serverName = requiredField("servname", "Server Name", "Please give a hostname for your server.");
  if (std::strcmp(serverName, REDIRECT_NAME) == 0) {
    const char* serverUrl = std::getenv("SERVER_URL");
    std::printf("Location: %s/https-admserv/bin/index?jaws\n\n", serverUrl ? serverUrl : "");
    return 0;
  }
  if (!serverRoot) report_error(FIELD_ERROR, "Server Root", "BREVIK_ROOT is not set: the installation directory is unknown.");

  InstanceRecord record{};
  setInstanceDefaults(serverRoot, serverName, &record);
  requireAbsoluteServerRoot(&record, "BREVIK_ROOT");
  requireInstallation(&record, "BREVIK_ROOT");
  record.port = requiredField("servport", "Server Port", "Please give a port number to run on.");
  ValidatePort(record.port);
  readServerId(&record);
  readRemainingFields(&record);
  prepareCreation(&record);
  record.createRequested = 1;
  return reportCreationOutcome(config, &record, 0);
}
