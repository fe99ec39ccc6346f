// SPDX-License-Identifier: GPL-3.0-or-later
// The generated ACL file that obj.conf's check-acl directives name, and its
// working copy. An obj.conf that names missing or cut-off ACL files must not
// pass for a finished one: whatever keeps them from being made fails the
// creation.
#include <unistd.h>

#include <cerrno>

#include "confgen/confgen.h"
#include "confgen/writer_support.h"
#include "fsutil/files.h"

namespace {

const char kAclText[] =
    "version 3.0;\n"
    "acl \"default\";\n"
    "authenticate (user, group) {\n"
    "  prompt = \"Mirel Application Server\";\n"
    "};\n"
    "allow (read, list, execute,info) user = \"anyone\";\n"
    "allow (write, delete) user = \"all\";\n"
    "\n"
    "acl \"hx-internal\";\n"
    "allow (read, list, execute,info) user = \"anyone\";\n"
    "deny (write, delete) user = \"anyone\";\n"
    "\n";

// Writes the ACL file unless something is there already. A file that could
// not be written completely is removed: a cut-off ACL could grant more than
// the whole one, and no working copy may be made from it.
Message writeGeneratedAcl(const std::string& path) {
  if (pathExists(path.c_str())) return Message();
  OutputFile out;
  if (!openOutputFile(out, path.c_str())) return fileWriteFailure(path.c_str(), errno);
  writeOutputText(out, kAclText);
  if (int failure = closeOutputFile(out)) {
    unlink(path.c_str());
    return fileWriteFailure(path.c_str(), failure);
  }
  return Message();
}

}  // namespace

Message writeAclFiles(const InstanceRecord* record, const char* instanceDir, BackupCatalogue* catalogue) {
  std::string generated = formatString("%s/config/generated.%s.acl", instanceDir, record->serverId);
  if (Message failure = writeGeneratedAcl(generated)) return failure;
  std::string workCopy = formatString("%s/config/genwork.%s.acl", instanceDir, record->serverId);
  if (!pathExists(workCopy.c_str())) {
    if (Message failure = copyFile(generated.c_str(), workCopy.c_str(), 0644)) return failure;
  }
  std::string name = formatString("%s.acl", record->serverId);
  if (recordBackupFile(catalogue, name.c_str(), workCopy.c_str(), (generated + "\n").c_str(), nullptr) != 0)
    return errorMessage("ERR_CREATE_BACKUP", {name.c_str()});
  return Message();
}
