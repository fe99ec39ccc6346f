// SPDX-License-Identifier: GPL-3.0-or-later
// The lines of config/dbswitch.conf: which user directory the server's
// access control authenticates against.
#include <cerrno>
#include <cstring>

#include "confgen/confgen.h"
#include "confgen/writer_support.h"

namespace {

bool hasText(const char* text) { return text && *text; }

int writeLine(FILE* file, const std::string& line) {
  errno = 0;
  if (std::fputs(line.c_str(), file) == EOF) return errno ? errno : EIO;
  return 0;
}

}  // namespace

int writeDbSwitch(FILE* file, const char* directoryUrl, const char* directoryBase, const char* directoryBindDn,
                  const char* directoryBindPassword) {
  if (!hasText(directoryUrl) || !directoryBase) return writeLine(file, "directory default null:///none\n");
  std::string base = urlEncode(directoryBase);
  if (int failure = writeLine(file, formatString("directory default %s/%s\n", directoryUrl, base.c_str())))
    return failure;
  if (!hasText(directoryBindDn)) return 0;
  if (int failure = writeLine(file, formatString("default:binddn %s\n", directoryBindDn))) return failure;
  if (!hasText(directoryBindPassword)) return 0;
  std::string password = base64Encode(reinterpret_cast<const unsigned char*>(directoryBindPassword),
                                      std::strlen(directoryBindPassword));
  return writeLine(file, formatString("default:encoded bindpw %s\n", password.c_str()));
}
