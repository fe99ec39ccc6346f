// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"

namespace {

std::string escaped(const char* text) {
  std::string out;
  appendHtmlEscaped(out, text ? text : "");
  return out;
}

// Bytes of UTF-8 sequences are passed on: they are special to neither.
bool isPlainUrlCharacter(unsigned char c) {
  return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("/:.-_~?=%+,;@!*$()#[]", c) != nullptr;
}

// `text` made safe inside a single-quoted JavaScript string that itself
// stands in an HTML attribute: the browser decodes the attribute's entities
// before it runs the script, so HTML escaping alone would hand it back a
// quote. ASCII characters other than plain URL ones become \xNN escapes, which
// need no HTML escaping; ordinary URLs and paths are left as they are.
std::string scriptStringEscaped(const char* text) {
  std::string out;
  for (const char* p = text ? text : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (isPlainUrlCharacter(c)) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    }
  }
  return out;
}

const char* requireServerRoot() {
  const char* root = std::getenv("BREVIK_ROOT");
  if (!root) report_error(3, "Server Root", "BREVIK_ROOT is not set: the installation directory is unknown.");
  return root;
}

void writeDocumentationSwitch(bool express) {
  const char* suffix = express ? "" : "?0";
  const char* icon = express ? "b-clsd.gif" : "b-open.gif";
  const char* label = express ? "Express mode" : "Full docs";
  std::printf("<center><table border=2 width=95%%>\n");
  std::printf("<tr><td rowspan=2><a href=index%s><img src=\"../icons/%s\" border=2 alt=\"\" width=55 height=26></td>\n",
              suffix, icon);
  std::printf("<td width=100%% align=center rowspan=2><b>%s</b></td>\n", label);
  std::printf("<td rowspan=2><a href=index%s><img src=\"../icons/%s\" border=2 alt=\"\" width=55 height=26></td>\n",
              suffix, icon);
  std::printf("</tr></table></center>\n");
}

// The directory of the running script: SCRIPT_NAME up to its last slash.
std::string scriptDirectory() {
  const char* script = std::getenv("SCRIPT_NAME");
  std::string path = INTsystem_strdup(script ? script : "");
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void writeButtonRow() {
  const char* serverUrl = std::getenv("SERVER_URL");
  std::printf("<table border=2 width=100%%><tr>\n");
  std::printf("<td width=33%% align=center><input type=submit value=\"   OK   \"></td>\n");
  std::printf("<td width=34%% align=center><input type=reset value=\" Reset \"></td>\n");
  std::printf(
      "<td width=33%% align=center><input type=button value=\"  Help  \" onclick=\"var hwin=window.open('', "
      "'installhelpwin', 'resizable=1,width=400,height=500,scrollbars=1'); hwin.location='%s%s/tutor?index'\"></td>\n",
      escaped(scriptStringEscaped(serverUrl).c_str()).c_str(),
      escaped(scriptStringEscaped(scriptDirectory().c_str()).c_str()).c_str());
  std::printf("</tr></table>\n");
  std::printf("</form>\n");
}

void writeDnsChoice(const InstanceRecord& record, const char* value) {
  output_input("radio", "dns", value, std::strcmp(record.dnsMode, value) == 0 ? "checked" : "");
}

// Writes the replacement of a directive line; false when the line is none.
bool writeDirective(const char* line, const InstanceRecord& record, bool express) {
  if (directive_is(line, "SERVER_NAME")) output_input("text", "servname", record.serverName, "size=40");
  else if (directive_is(line, "SERVER_PORT")) output_input("text", "servport", record.port, "size=40");
  else if (directive_is(line, "SERVER_ID")) output_input("text", "servid", record.serverId, "size=40");
  else if (directive_is(line, "SERVER_USER")) output_input("text", "servuser", record.serverUser, "size=40");
  else if (directive_is(line, "MTA_HOST")) output_input("text", "mtahost", record.mtaHost, "size=40");
  else if (directive_is(line, "DNS_ON")) {
    std::printf("<hr width=80%%>");
    writeDnsChoice(record, "on");
  } else if (directive_is(line, "DNS_NOLOG")) writeDnsChoice(record, "nolog");
  else if (directive_is(line, "DNS_OFF")) writeDnsChoice(record, "off");
  else if (directive_is(line, "DOCUMENT_ROOT")) output_input("text", "docroot", record.docRoot, "size=40");
  else if (directive_is(line, "JMS_PORT")) output_input("text", "jmsport", record.jmsPort, "size=40");
  else if (directive_is(line, "JMS_ADMIN")) output_input("text", "jmsadmin", record.jmsAdminUser, "size=40");
  // A password is never written into a page, not even back into its own field.
  else if (directive_is(line, "JMS_PASSWORD"))
    output_input("password", "jmspassword", nullptr, "size=40 autocomplete=new-password");
  else if (directive_is(line, "JAVA_HOME")) output_input("text", "javahome", record.javaHome, "size=40");
  else if (directive_is(line, "INST_DOCSWITCH")) writeDocumentationSwitch(express);
  else if (directive_is(line, "INSTALLSUBMIT")) writeButtonRow();
  else return false;
  return true;
}

}  // namespace

int showInstallForm(char** config) {
  const char* serverRoot = requireServerRoot();
  HtmlTemplatePtr page = open_html_file("install.html");
  const bool express = std::getenv("QUERY_STRING") != nullptr;
  InstanceRecord record{};
  setInstanceDefaults(serverRoot, get_mag_var("ServerName"), &record);
  std::fputs("\n", stdout);
  char line[HTML_LINE_SIZE];
  while (next_html_line(page.get(), line)) {
    if (!parse_line(line, config)) continue;
    if (!writeDirective(line, record, express)) std::fputs(line, stdout);
  }
  std::fflush(stdout);
  return 0;
}
