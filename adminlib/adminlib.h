// SPDX-License-Identifier: GPL-3.0-or-later
// The administration server's CGI library, as the front ends use it:
// HTML templates, CGI variables, error pages, port validation.
//
// Templates are read from "<BREVIK_ROOT>/admin-server/html/<name>" (leading
// blanks of BREVIK_ROOT skipped, as the front ends skip them).
// Exit status of a run ended by report_error: REPORT_ERROR_STATUS.
//
// The CGI response header: the library writes "Content-type: text/html\n"
// (the header line alone; the page writes the blank line that ends the header
// block) when a template is opened before any header was written, and
// report_error writes a complete header when none was written. A front end
// that writes its own header tells the library with note_cgi_header_sent().
#pragma once

#include <cstdio>
#include <memory>
#include <string>

constexpr int REPORT_ERROR_STATUS = 3;
constexpr size_t HTML_LINE_SIZE = 1024;
constexpr size_t POST_BODY_LIMIT = 64 * 1024;

// The administration configuration: a null-terminated array of strings.
// Element 0 is the documentation mode: its first character '1' means full
// documentation, '0' express mode (the front end writes '0' when
// QUERY_STRING is set). Element 1 is the administration server's own server
// name (get_mag_var("ServerName"), "" when unknown). The array and its
// strings are writable and live for the whole run; every call returns the
// same array. `which` is not used: there is one configuration.
char** get_mult_adm_config(int which);

// Tells the library that the front end has written a complete response
// header ("Content-type: ...\n\n"), so that neither open_html_file nor
// report_error writes another.
void note_cgi_header_sent();

// True once any part of a response header has been written.
bool cgi_header_sent();

// Forgets the header state and the posted form, as at the start of a run
// (for tests, which run many requests in one process).
void reset_adminlib_state();

struct HtmlTemplate;
struct HtmlTemplateCloser {
  void operator()(HtmlTemplate* t) const;
};
using HtmlTemplatePtr = std::unique_ptr<HtmlTemplate, HtmlTemplateCloser>;

// Opens an administration template by name and, when no header was written
// yet, writes the header line "Content-type: text/html\n". A template that
// cannot be opened ends the run through report_error.
HtmlTemplatePtr open_html_file(const char* name);

// As open_html_file without any output: null when the template cannot be
// opened.
HtmlTemplatePtr try_open_html_file(const char* name);

// "" when the template `name` can be opened now; otherwise the text
// open_html_file would report for it.
std::string html_template_problem(const char* name);

// Reads the next line (at most HTML_LINE_SIZE - 1 bytes, line end kept) into
// `line`; non-zero while a line was read, 0 at the end.
int next_html_line(HtmlTemplate* file, char* line);

// Zero when the line is to be dropped in the mode `config` describes;
// otherwise non-zero, the line possibly rewritten in place: a line beginning
// with "<!-- FULLDOCS -->" is dropped in express mode and shown without the
// marker in full mode.
int parse_line(char* line, char** config);

// Non-zero when `line` is the directive `name`: the line holds only
// "<!-- name -->", blanks around it allowed.
int directive_is(const char* line, const char* name);

// Writes one <input> element; `value` may be null (no value attribute), and
// every text is HTML-escaped.
void output_input(const char* type, const char* name, const char* value, const char* other);

// The administration server's setting `name` (a line "<name> <value>") from
// "<BREVIK_ROOT>/admin-server/config/init.conf", as a run-long copy (see
// INTsystem_strdup); null when BREVIK_ROOT is unset or empty, the file unreadable, or
// the setting absent or without a value.
char* get_mag_var(const char* name);

// Reads an application/x-www-form-urlencoded body of CONTENT_LENGTH bytes from
// `in`. A missing, malformed or oversize body (above POST_BODY_LIMIT), a
// short body, another content type or a field holding an encoded NUL (%00)
// ends the run through report_error. Returns 0.
int post_begin(FILE* in);

// The decoded value of the first field `name` of the body, or null. The
// text stays valid until the next post_begin or reset_adminlib_state.
char* get_cgi_var(const char* name, char* unused1, char* unused2);

// Shows the error and ends the run with REPORT_ERROR_STATUS: an HTML page
// with its own header in a CGI request, one line on standard error otherwise.
[[noreturn]] void report_error(int type, const char* title, const char* message);

// The one reading of a port text, for every face and every comparison of
// ports: true for the decimal form of 1-65535 without sign, blanks or
// leading zeros, its number then in `number` when given.
bool parsePort(const char* text, unsigned* number = nullptr);

// Returns 1 for a port parsePort accepts; anything else ends the run through
// report_error type 3.
int ValidatePort(const char* port);

// "" for a port ValidatePort accepts; otherwise the text it reports (under
// the title "Port Number").
std::string port_problem(const char* port);

// A heap copy valid for the whole run (null for null). The library keeps it
// and releases it at exit: callers never free it.
char* INTsystem_strdup(const char* text);

// True when REQUEST_METHOD is set and not empty.
bool isCgiRequest();

// Appends `text` to `out` with & < > " ' escaped for HTML.
void appendHtmlEscaped(std::string& out, const char* text);
