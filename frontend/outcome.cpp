#include <cstdio>
#include <cstring>
#include <string>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"
#include "provision/create.h"

namespace {

std::string escaped(const char* text) {
  std::string out;
  appendHtmlEscaped(out, text);
  return out;
}

// The remains of a failed run must not keep the identifier blocked.
std::string failureReport(const InstanceRecord* record, const char* failure) {
  std::string report = failure;
  std::string keptAt = setAsideInstance(record);
  if (keptAt.empty()) return report;
  if (keptAt == std::string(record->instancesRoot) + "/" + record->serverId)
    return report + "\nThe partly created instance could not be moved and is still in " + keptAt + ".";
  return report + "\nThe partly created instance was moved to " + keptAt + ".";
}

void renameBrokenServer(const InstanceRecord* record) {
  if (std::strpbrk(record->serverId, "/")) return;
  std::string from = std::string(record->serverRoot) + "/https-" + record->serverId;
  std::string to = std::string(record->serverRoot) + "/broken.https-" + record->serverId;
  std::rename(from.c_str(), to.c_str());
}

void writeSuccessPage(char** config, const InstanceRecord* record) {
  std::fputs("Content-type: text/html\n\n", stdout);
  note_cgi_header_sent();
  HtmlTemplatePtr page = open_html_file("success.html");
  char line[HTML_LINE_SIZE];
  while (next_html_line(page.get(), line)) {
    if (!parse_line(line, config)) continue;
    if (directive_is(line, "SERVER_DESCRIPTION")) {
      std::printf(
          "Created new server <b>%s (%s)</b>, listening to <b>port %s</b>, and serving documents from the "
          "<b>%s</b> directory.<p>",
          escaped(record->serverName).c_str(), escaped(record->serverId).c_str(), escaped(record->port).c_str(),
          escaped(record->docRoot).c_str());
    } else if (directive_is(line, "CONFIG_NEW_SERVER")) {
      std::printf("<a href=\"/https-%s/bin/index\">Configure your new server...</a>\n",
                  escaped(record->serverId).c_str());
    } else {
      std::fputs(line, stdout);
    }
  }
}

}  // namespace

int reportCreationOutcome(char** config, const InstanceRecord* record, int commandLine) {
  Message failure = createInstance(record, 1);
  if (failure) {
    renameBrokenServer(record);
    report_error(0, nullptr, failureReport(record, failure.get()).c_str());
  }
  if (commandLine) {
    std::fprintf(stderr,
                 "Created new Server %s (%s), \nlistening to port %s \n and serving documents from %s directory.\n",
                 record->serverName, record->serverId, record->port, record->docRoot);
    return 0;
  }
  writeSuccessPage(config, record);
  std::fflush(stdout);
  return 0;
}
