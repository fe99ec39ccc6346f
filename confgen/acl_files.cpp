// The generated ACL file that obj.conf's check-acl directives name, and its
// working copy. Nothing here fails the creation: problems stay silent.
#include <unistd.h>

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
void writeGeneratedAcl(const std::string& path) {
  if (pathExists(path.c_str())) return;
  OutputFile out;
  if (!openOutputFile(out, path.c_str())) return;
  writeOutputText(out, kAclText);
  if (closeOutputFile(out) != 0) unlink(path.c_str());
}

}  // namespace

void writeAclFiles(const InstanceRecord* record, const char* instanceDir, BackupCatalogue* catalogue) {
  std::string generated = formatString("%s/config/generated.%s.acl", instanceDir, record->serverId);
  writeGeneratedAcl(generated);
  std::string workCopy = formatString("%s/config/genwork.%s.acl", instanceDir, record->serverId);
  if (!pathExists(workCopy.c_str())) copyFileQuiet(generated.c_str(), workCopy.c_str(), 0644);
  // Attempted in every case; a missing working copy makes it fail quietly.
  std::string name = formatString("%s.acl", record->serverId);
  recordBackupFile(catalogue, name.c_str(), workCopy.c_str(), (generated + "\n").c_str(), nullptr);
}
