// SPDX-License-Identifier: GPL-3.0-or-later
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"

namespace {

constexpr int FIELD_ERROR = 3;
constexpr int IN_USE_ERROR = 8;
constexpr int CREATION_ERROR = 0;
constexpr const char* REDIRECT_NAME = "Orvane Web Server Team";

bool blank(const char* text) {
  for (; *text; ++text) {
    if (!std::isspace(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

const char* field(const char* name) { return get_cgi_var(name, nullptr, nullptr); }

// An optional field: a browser submits an empty text field all the same,
// so a blank value (for a password, an empty one) is no answer.
const char* optionalField(const char* name, bool keepBlanks = false) {
  const char* value = field(name);
  if (!value || !*value || (!keepBlanks && blank(value))) return nullptr;
  return value;
}

// The submitted fields, as given: a field that was not submitted stays
// unset, and the plan refuses it in its turn with the form's own text.
void readFields(InstanceRecord* record) {
  record->port = field("servport");
  record->serverId = field("servid");
  record->serverUser = field("servuser");
  const char* mtaHost = field("mtahost");
  record->mtaHost = mtaHost && !blank(mtaHost) ? mtaHost : nullptr;
  record->dnsMode = field("dns");
  record->docRoot = field("docroot");
  record->jmsPort = optionalField("jmsport");
  record->jmsAdminUser = optionalField("jmsadmin");
  record->jmsAdminPassword = optionalField("jmspassword", true);
  record->javaHome = optionalField("javahome");
}

}  // namespace

FacePolicy formPolicy() {
  FacePolicy policy;
  policy.rootSource = "BREVIK_ROOT";
  // The labels name the fields inside the bundle's messages, so they are
  // the bundle's, in the messages' language; the titles are the form's own.
  policy.answer(Answer::ServerName) = {bundleText("ERR_LABEL_SERVER_NAME"), fixedText("Server Name"), nullptr};
  policy.answer(Answer::Port) = {bundleText("ERR_LABEL_SERVER_PORT"), fixedText("Server Port"),
                                 "Please give a port number to run on."};
  policy.answer(Answer::ServerId) = {bundleText("ERR_LABEL_SERVER_ID"), fixedText("Server Identifier"),
                                     "Please give your server a short identifier."};
  policy.answer(Answer::ServerUser) = {bundleText("ERR_LABEL_SERVER_USER"), fixedText("User to run as"),
                                       "Please specify the user you wish to run your server as."};
  policy.answer(Answer::DnsMode) = {bundleText("ERR_LABEL_DNS"), fixedText("DNS level"),
                                    "Please choose how often you want hostname resolutions to take place."};
  policy.answer(Answer::DocRoot) = {bundleText("ERR_LABEL_DOC_ROOT"), fixedText("Document Root"),
                                    "Please specify a directory to contain your documents."};
  // Optional: left out, server.xml keeps their markers and the success
  // page says so.
  policy.answer(Answer::JmsPort) = {bundleText("ERR_LABEL_JMS_PORT"), {}, nullptr};
  policy.answer(Answer::JmsAdminUser) = {bundleText("ERR_LABEL_JMS_ADMIN"), {}, nullptr};
  policy.answer(Answer::JmsAdminPassword) = {bundleText("ERR_LABEL_JMS_PASSWORD"), {}, nullptr};
  policy.answer(Answer::JavaHome) = {bundleText("ERR_LABEL_JAVA_HOME"), {}, nullptr};
  for (TopicPolicy& topic : policy.topics) topic = {nullptr, FIELD_ERROR, REPORT_ERROR_STATUS};
  policy.topic(Topic::ServerRoot).title = "Server Root";
  policy.topic(Topic::Port).title = "Port Number";
  policy.topic(Topic::ServerId).title = "Server Identifier";
  policy.topic(Topic::InUse) = {"Server Identifier", IN_USE_ERROR, REPORT_ERROR_STATUS};
  policy.topic(Topic::Page) = {"Page Template", CREATION_ERROR, REPORT_ERROR_STATUS};
  policy.topic(Topic::Settings).title = "Installation settings";
  policy.topic(Topic::Answer).title = "Form field";
  policy.topic(Topic::Ports).title = "Server Port";
  policy.topic(Topic::Creation).type = CREATION_ERROR;
  policy.digitRefusal = "Server Identifier cannot start with a digit.";
  policy.inUseText = "The given server identifier is already in use.  Please pick another.";
  policy.resultPage = "success.html";
  return policy;
}

int submitInstallForm(char** config) {
  post_begin(stdin);
  const char* serverRoot = std::getenv("BREVIK_ROOT");
  const char* serverName = field("servname");
  if (!serverName) report_error(FIELD_ERROR, "Server Name", "Please give a hostname for your server.");
  if (std::strcmp(serverName, REDIRECT_NAME) == 0) {
    const char* serverUrl = std::getenv("SERVER_URL");
    std::printf("Location: %s/https-admserv/bin/index?jaws\n\n", serverUrl ? serverUrl : "");
    return 0;
  }
  if (!serverRoot) report_error(FIELD_ERROR, "Server Root", "BREVIK_ROOT is not set: the installation directory is unknown.");

  InstanceRecord record{};
  setInstanceDefaults(serverRoot, serverName, &record);
  readFields(&record);
  record.createRequested = 1;
  return reportCreationOutcome(config, &record, formPolicy(), 0);
}
