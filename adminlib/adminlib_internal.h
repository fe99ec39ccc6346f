// State shared by the parts of the administration library.
#pragma once

#include <string>

namespace adminlib {

// Writes the header line "Content-type: text/html\n" unless some header was
// written already.
void writeHeaderLineOnce();

// Forgets the posted form.
void forgetForm();

// "<BREVIK_ROOT>/<relative>", or "" when BREVIK_ROOT is unset or empty.
std::string underAdminRoot(const char* relative);

}  // namespace adminlib
