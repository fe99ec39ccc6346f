// SPDX-License-Identifier: GPL-3.0-or-later
// State shared by the parts of the administration library.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "adminlib/adminlib.h"

namespace adminlib {

// Decoded form fields in the order of the body, each name once.
using FormFields = std::vector<std::pair<std::string, std::string>>;

// Decodes an application/x-www-form-urlencoded body into `fields` (cleared
// first; a repeated name keeps its first value). Empty on success, else the
// text post_begin refuses the request with (`fields` then unspecified).
std::string parseFormBody(const std::string& body, FormFields* fields);

// A template read from `file` (owned from here on), without the header
// line open_html_file writes; for reading templates held elsewhere.
HtmlTemplatePtr adoptHtmlStream(FILE* file);

// Writes the header line "Content-type: text/html\n" unless some header was
// written already.
void writeHeaderLineOnce();

// Forgets the posted form.
void forgetForm();

// "<BREVIK_ROOT>/<relative>", or "" when BREVIK_ROOT is unset or empty.
std::string underAdminRoot(const char* relative);

}  // namespace adminlib
