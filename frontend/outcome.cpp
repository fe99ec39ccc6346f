#include <cstdio>
#include <cstring>
#include <string>

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

// The instance exists by now: a page template that went missing meanwhile
// must not turn its creation into a reported failure.
void writePlainSuccessPage(const InstanceRecord* record) {
  std::fputs("<html>\n<head><title>Server created</title></head>\n<body>\n<h2>Server created</h2>\n<p>", stdout);
  writeServerDescription(record);
  std::fputs("\n", stdout);
  writeConfigureLink(record);
  std::fputs("</body>\n</html>\n", stdout);
}

void writeSuccessPage(char** config, const InstanceRecord* record) {
  std::fputs("Content-type: text/html\n\n", stdout);
  note_cgi_header_sent();
  HtmlTemplatePtr page = try_open_html_file("success.html");
  if (!page) return writePlainSuccessPage(record);
  char line[HTML_LINE_SIZE];
  while (next_html_line(page.get(), line)) {
    if (!parse_line(line, config)) continue;
    if (directive_is(line, "SERVER_DESCRIPTION"))
      writeServerDescription(record);
    else if (directive_is(line, "CONFIG_NEW_SERVER"))
      writeConfigureLink(record);
    else
      std::fputs(line, stdout);
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
    return 0;
  }
  writeSuccessPage(config, record);
  std::fflush(stdout);
  return 0;
}
