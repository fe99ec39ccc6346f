// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"
#include "messages/escape.h"

namespace {

// A value as a terminal may show it.
std::string shown(const char* text) { return escapeForTerminal(text ? text : ""); }

std::string escaped(const char* text) {
  std::string out;
  appendHtmlEscaped(out, text);
  return out;
}

void writeServerDescription(const InstanceRecord* record) {
  std::printf(
      "Created new server <b>%s (%s)</b>, listening to <b>port %s</b>, and serving documents from the "
      "<b>%s</b> directory.<p>",
      escaped(record->serverName).c_str(), escaped(record->serverId).c_str(), escaped(record->port).c_str(),
      escaped(record->docRoot).c_str());
}

void writeConfigureLink(const InstanceRecord* record) {
  std::printf("<a href=\"/https-%s/bin/index\">Configure your new server...</a>\n",
              escaped(record->serverId).c_str());
}

// The settings the instance was given no value for, as a paragraph.
void writeUnsetSettings(const Message& unset) {
  if (unset) std::printf("<p class=unset>%s</p>\n", escaped(unset.get()).c_str());
}

// The instance exists by now: a page template that went missing meanwhile
// must not turn its creation into a reported failure.
void writePlainSuccessPage(const InstanceRecord* record, const Message& unset) {
  std::fputs("<html>\n<head><title>Server created</title></head>\n<body>\n<h2>Server created</h2>\n<p>", stdout);
  writeServerDescription(record);
  std::fputs("\n", stdout);
  writeUnsetSettings(unset);
  writeConfigureLink(record);
  std::fputs("</body>\n</html>\n", stdout);
}

// The note on unset settings goes where the template's UNSET_SETTINGS
// directive stands; a template without one (made before there was one)
// gets it right after the server's description, so that it is never lost.
void writeSuccessPage(char** config, const InstanceRecord* record, const Message& unset) {
  std::fputs("Content-type: text/html\n\n", stdout);
  note_cgi_header_sent();
  HtmlTemplatePtr page = try_open_html_file("success.html");
  if (!page) return writePlainSuccessPage(record, unset);
  std::vector<std::string> lines;
  bool placed = false;
  char line[HTML_LINE_SIZE];
  while (next_html_line(page.get(), line)) {
    if (!parse_line(line, config)) continue;
    lines.push_back(line);
    placed = placed || directive_is(line, "UNSET_SETTINGS");
  }
  for (const std::string& kept : lines) {
    if (directive_is(kept.c_str(), "SERVER_DESCRIPTION")) {
      writeServerDescription(record);
      if (!placed) writeUnsetSettings(unset);
    } else if (directive_is(kept.c_str(), "CONFIG_NEW_SERVER")) {
      writeConfigureLink(record);
    } else if (directive_is(kept.c_str(), "UNSET_SETTINGS")) {
      writeUnsetSettings(unset);
    } else {
      std::fputs(kept.c_str(), stdout);
    }
  }
}

}  // namespace

int reportProblem(const Problem& problem, const FacePolicy& policy) {
  ProblemNaming naming = nameProblem(problem, policy);
  if (naming.status == REPORT_ERROR_STATUS) report_error(naming.type, naming.title, problem.text.get());
  std::fprintf(stderr, "%s\n", problemLine(problem, policy).c_str());
  return naming.status;
}

int reportCreationOutcome(char** config, const InstanceRecord* record, const FacePolicy& policy, int commandLine) {
  PlanResult result = runCreationPlan(*record, policy, Runner::Create);
  if (!result.problems.empty()) return reportProblem(result.problems.front(), policy);
  if (commandLine) {
    std::fprintf(stderr,
                 "Created new Server %s (%s), \nlistening to port %s \n and serving documents from %s directory.\n",
                 shown(record->serverName).c_str(), shown(record->serverId).c_str(), shown(record->port).c_str(),
                 shown(record->docRoot).c_str());
    if (result.unsetSettings) std::fprintf(stderr, "%s\n", result.unsetSettings.get());
    return 0;
  }
  writeSuccessPage(config, record, result.unsetSettings);
  std::fflush(stdout);
  return 0;
}
