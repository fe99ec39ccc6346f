// SPDX-License-Identifier: GPL-3.0-or-later
// Page templates of the administration server and its own settings.
//
// A template is a text file "<BREVIK_ROOT>/admin-server/html/<name>" read
// line by line. Two kinds of lines mean something to this library or its
// callers:
//   - A directive line holds nothing but an HTML comment naming the
//     directive, "<!-- NAME -->"; blanks (spaces, tabs) may surround the
//     comment and separate the name from the comment marks, and the line end
//     may be "\n" or "\r\n". The caller replaces such a line with its own
//     output (directive_is).
//   - A line beginning with the marker "<!-- FULLDOCS -->" (in its first
//     column) is documentation shown only in full-documentation mode: in
//     express mode parse_line drops it, in full mode it is shown with the
//     marker removed, so that the rest of it may itself be a directive.
// A line longer than HTML_LINE_SIZE - 1 bytes comes in several pieces.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "adminlib/adminlib.h"
#include "adminlib/adminlib_internal.h"

struct HtmlTemplate {
  FILE* file;
};

namespace {

const char kFullDocsMarker[] = "<!-- FULLDOCS -->";

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

const char* skipBlanks(const char* p) {
  while (isBlank(*p)) ++p;
  return p;
}

// Advances past `word` when `p` starts with it; null otherwise.
const char* skipWord(const char* p, const char* word) {
  size_t length = std::strlen(word);
  return std::strncmp(p, word, length) == 0 ? p + length : nullptr;
}

// A template name is a plain file name: it cannot leave the template directory.
bool isPlainFileName(const char* name) {
  return name && *name && !std::strchr(name, '/') && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

// The value of a line "<name><blanks><value>", trailing blanks and line end
// removed; null when the line is another setting or has no value.
char* settingValue(const std::string& line, const char* name) {
  size_t length = std::strlen(name);
  if (line.compare(0, length, name) != 0 || line.size() == length || !isBlank(line[length])) return nullptr;
  size_t begin = line.find_first_not_of(" \t", length);
  size_t end = line.find_last_not_of(" \t\r\n");
  if (begin == std::string::npos || end == std::string::npos || end < begin) return nullptr;
  return INTsystem_strdup(line.substr(begin, end - begin + 1).c_str());
}

}  // namespace

void HtmlTemplateCloser::operator()(HtmlTemplate* t) const {
  if (t && t->file) std::fclose(t->file);
  delete t;
}

namespace {

// Opens the template `name`; null with the reason in `problem` when it
// cannot be.
FILE* openTemplate(const char* name, std::string* problem) {
  if (!isPlainFileName(name)) {
    *problem = "The page template name is not a plain file name.";
    return nullptr;
  }
  std::string path = adminlib::underAdminRoot("admin-server/html/");
  if (path.empty()) {
    *problem = "BREVIK_ROOT is not set: the page templates cannot be found.";
    return nullptr;
  }
  path += name;
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file) *problem = "Cannot open the page template " + path + ": " + std::strerror(errno);
  return file;
}

}  // namespace

HtmlTemplatePtr open_html_file(const char* name) {
  std::string problem;
  FILE* file = openTemplate(name, &problem);
  if (!file) report_error(0, "Page Template", problem.c_str());
  adminlib::writeHeaderLineOnce();
  return adminlib::adoptHtmlStream(file);
}

HtmlTemplatePtr try_open_html_file(const char* name) {
  std::string problem;
  FILE* file = openTemplate(name, &problem);
  return file ? adminlib::adoptHtmlStream(file) : HtmlTemplatePtr();
}

std::string html_template_problem(const char* name) {
  std::string problem;
  if (FILE* file = openTemplate(name, &problem)) std::fclose(file);
  return problem;
}

HtmlTemplatePtr adminlib::adoptHtmlStream(FILE* file) { return HtmlTemplatePtr(new HtmlTemplate{file}); }

int next_html_line(HtmlTemplate* file, char* line) {
  if (!file || !file->file) return 0;
  return std::fgets(line, static_cast<int>(HTML_LINE_SIZE), file->file) ? 1 : 0;
}

int parse_line(char* line, char** config) {
  size_t markerLength = sizeof kFullDocsMarker - 1;
  if (std::strncmp(line, kFullDocsMarker, markerLength) != 0) return 1;
  bool express = config && config[0] && config[0][0] == '0';
  if (express) return 0;
  std::memmove(line, line + markerLength, std::strlen(line + markerLength) + 1);
  return 1;
}

int directive_is(const char* line, const char* name) {
  if (!line || !name || !*name) return 0;
  const char* p = skipWord(skipBlanks(line), "<!--");
  if (p) p = skipWord(skipBlanks(p), name);
  if (p) p = skipWord(skipBlanks(p), "-->");
  if (!p) return 0;
  p = skipBlanks(p);
  while (isLineEnd(*p)) ++p;
  return *p == '\0' ? 1 : 0;
}

// Lines are matched from their first column, so a commented-out
// "#ServerName ..." is not a setting; the first matching line wins.
char* get_mag_var(const char* name) {
  if (!name || !*name) return nullptr;
  std::string path = adminlib::underAdminRoot("admin-server/config/init.conf");
  if (path.empty()) return nullptr;
  FilePtr file(std::fopen(path.c_str(), "r"));
  if (!file) return nullptr;
  char* buffer = nullptr;
  size_t capacity = 0;
  char* value = nullptr;
  while (!value && getline(&buffer, &capacity, file.get()) >= 0) value = settingValue(buffer, name);
  std::free(buffer);
  return value;
}
