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
  bool moved = keptAt != std::string(record->instancesRoot) + "/" + record->serverId;
  ScopedMessageBundle bundle(record->serverRoot);
  Message where = errorMessage(moved ? "ERR_INSTANCE_SET_ASIDE" : "ERR_INSTANCE_LEFT_IN_PLACE", {keptAt.c_str()});
  return report + "\n" + where.get();
}

void renameBrokenServer(const InstanceRecord* record) {
  if (std::strpbrk(record->serverId, "/")) return;
  std::string from = std::string(record->serverRoot) + "/https-" + record->serverId;
  std::string to = std::string(record->serverRoot) + "/broken.https-" + record->serverId;
  std::rename(from.c_str(), to.c_str());
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
