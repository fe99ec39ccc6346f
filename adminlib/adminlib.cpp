// SPDX-License-Identifier: GPL-3.0-or-later
// Response header state, error pages, port validation, the administration
// configuration and small text helpers of the administration library.
#include "adminlib/adminlib.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adminlib/adminlib_internal.h"

namespace {

// How much of the CGI response header is on standard output.
enum class HeaderState { None, LineWritten, Complete };
HeaderState headerState = HeaderState::None;

const char kHeaderLine[] = "Content-type: text/html\n";

std::string escaped(const char* text) {
  std::string out;
  appendHtmlEscaped(out, text);
  return out;
}

// A complete page; in front of it as much of the header as is still missing.
// A header line written by open_html_file still needs the blank line that
// ends the header block; when the page had written it already, the extra
// line end only adds a blank line to the HTML.
void writeErrorPage(const char* title, const char* message) {
  if (headerState == HeaderState::None) std::fputs(kHeaderLine, stdout);
  if (headerState != HeaderState::Complete) std::fputs("\n", stdout);
  headerState = HeaderState::Complete;
  std::string heading = escaped(title ? title : "Error");
  std::string page = "<html>\n<head><title>" + heading + "</title></head>\n<body>\n<h2>" + heading +
                     "</h2>\n<p>" + escaped(message) + "</p>\n</body>\n</html>\n";
  std::fputs(page.c_str(), stdout);
}

void writeErrorLine(const char* title, const char* message) {
  if (title) std::fprintf(stderr, "%s: ", title);
  std::fprintf(stderr, "%s\n", message ? message : "");
}

}  // namespace

namespace adminlib {

void writeHeaderLineOnce() {
  if (headerState != HeaderState::None) return;
  std::fputs(kHeaderLine, stdout);
  headerState = HeaderState::LineWritten;
}

// Leading blanks are skipped as the front ends skip them for the server
// root, so that the pages and the instance come from one installation.
std::string underAdminRoot(const char* relative) {
  const char* root = std::getenv("BREVIK_ROOT");
  while (root && *root == ' ') ++root;
  if (!root || !*root) return std::string();
  return std::string(root) + "/" + relative;
}

}  // namespace adminlib

void note_cgi_header_sent() { headerState = HeaderState::Complete; }

bool cgi_header_sent() { return headerState != HeaderState::None; }

void reset_adminlib_state() {
  headerState = HeaderState::None;
  adminlib::forgetForm();
}

// The array is made once and kept for the run: the front end writes the
// mode character into it and hands it to every parse_line call.
char** get_mult_adm_config(int /*which*/) {
  static char mode[] = "1";
  static char* config[3] = {nullptr, nullptr, nullptr};
  if (!config[0]) {
    char* name = get_mag_var("ServerName");
    config[0] = mode;
    config[1] = name ? name : INTsystem_strdup("");
  }
  return config;
}

void report_error(int /*type*/, const char* title, const char* message) {
  std::fflush(stdout);
  if (isCgiRequest()) {
    writeErrorPage(title, message);
    std::fflush(stdout);
  } else {
    writeErrorLine(title, message);
  }
  std::exit(REPORT_ERROR_STATUS);
}

// Only the canonical decimal form 1-65535: no sign, blanks or leading zeros,
// so that the text written into the configuration is the number itself.
bool parsePort(const char* text, unsigned* number) {
  if (!text || text[0] < '1' || text[0] > '9') return false;  // empty, sign, blank or leading zero
  unsigned value = 0;
  for (size_t i = 0; text[i]; ++i) {
    if (i == 5 || text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (value > 65535) return false;
  if (number) *number = value;
  return true;
}

int ValidatePort(const char* port) {
  std::string problem = port_problem(port);
  if (problem.empty()) return 1;
  report_error(3, "Port Number", problem.c_str());
}

std::string port_problem(const char* port) {
  if (parsePort(port)) return std::string();
  return "The port \"" + std::string(port ? port : "") + "\" is not valid: give a whole number from 1 to 65535, digits only.";
}

void output_input(const char* type, const char* name, const char* value, const char* other) {
  std::string element = "<input type=\"" + escaped(type) + "\" name=\"" + escaped(name) + "\"";
  if (value) element += " value=\"" + escaped(value) + "\"";
  if (other && *other) element += std::string(" ") + other;
  element += ">\n";
  std::fputs(element.c_str(), stdout);
}

char* INTsystem_strdup(const char* text) {
  if (!text) return nullptr;
  // The copies live for the whole run; keeping them here, released at exit,
  // lets leak checkers tell them from real leaks.
  static std::vector<std::unique_ptr<char, void (*)(void*)>> runLongCopies;
  char* copy = strdup(text);
  if (!copy) std::abort();  // no page can be shown without memory either
  runLongCopies.emplace_back(copy, std::free);
  return copy;
}

bool isCgiRequest() {
  const char* method = std::getenv("REQUEST_METHOD");
  return method && *method;
}

void appendHtmlEscaped(std::string& out, const char* text) {
  if (!text) return;
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += *p;
    }
  }
}
