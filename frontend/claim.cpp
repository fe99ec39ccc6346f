// Which run owns an identifier, and what happens to the remains of a failed one.
//
// The front ends claim "<instancesRoot>/<serverId>" with an exclusive mkdir
// before the creation starts, so that two runs with the same identifier can
// never both go on and no run reuses an existing instance. A failed creation
// then frees the identifier again: an empty directory is removed, anything
// else is moved to "<instancesRoot>/broken.<serverId>[.n]".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unicode/uloc.h>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"
#include "frontend/preflight.h"
#include "fsutil/directories.h"
#include "fsutil/lock.h"
#include "instance/validate.h"

namespace {

std::string instanceDirectory(const InstanceRecord* record) {
  return std::string(record->instancesRoot) + "/" + record->serverId;
}

// Only identifiers that pass the identifier checks name a directory the
// front ends may create, rename or remove.
bool claimableServerId(const char* serverId) { return !checkServerId(serverId); }

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// Any entry takes the name, a link that leads nowhere included: the claim's
// mkdir would fail on it.
bool entryExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

}  // namespace

bool serverIdInUse(const InstanceRecord* record) {
  return exists(std::string(record->serverRoot) + "/https-" + record->serverId) ||
         entryExists(instanceDirectory(record));
}

Message claimProblem(const InstanceRecord* record) {
  if (Message failure = checkRootOnlyDirectory(record->instancesRoot)) return failure;
  if (faccessat(AT_FDCWD, record->instancesRoot, W_OK | X_OK, AT_EACCESS) != 0)
    return errorMessage("ERR_MKDIR_FAILURE", {instanceDirectory(record).c_str(), std::strerror(errno)});
  return Message();
}

ClaimResult claimInstanceDirectory(const InstanceRecord* record, Message* failure) {
  if (!claimableServerId(record->serverId)) return ClaimResult::Claimed;  // the creation refuses it
  ScopedMessageBundle bundle(record->serverRoot);
  if ((*failure = claimProblem(record))) return ClaimResult::Failed;
  const std::string path = instanceDirectory(record);
  if (mkdir(path.c_str(), 0755) == 0) return ClaimResult::Claimed;
  if (errno == EEXIST) return ClaimResult::InUse;
  *failure = errorMessage("ERR_MKDIR_FAILURE", {path.c_str(), std::strerror(errno)});
  return ClaimResult::Failed;
}

void refuseUnusableServerId(const InstanceRecord* record, const char* title) {
  ScopedMessageBundle bundle(record->serverRoot);
  if (Message failure = checkServerId(record->serverId)) report_error(3, title, failure.get());
}

void refuseControlCharacters(const InstanceRecord* record, const FieldLabel* labels, size_t count,
                             const char* rootLabel, const char* title) {
  ScopedMessageBundle bundle(record->serverRoot);
  if (Message failure = checkControlCharacters(record, labels, count, rootLabel))
    report_error(3, title, failure.get());
}

void lockAndRefusePortConflicts(const InstanceRecord* record, bool checkPorts, const char* title) {
  ScopedMessageBundle bundle(record->serverRoot);
  if (Message failure = checkRootOnlyDirectory(record->instancesRoot)) report_error(0, nullptr, failure.get());
  // Held until the run ends, so that nobody takes the ports checked here
  // before this run has claimed its identifier and recorded them.
  static Descriptor held;
  if (Message failure = lockInstancesRoot(record->instancesRoot, &held)) report_error(0, nullptr, failure.get());
  if (Message equal = portsEqualProblem(record)) report_error(3, title, equal.get());
  if (!checkPorts) return;
  std::vector<Message> conflicts = portConflicts(record);
  if (!conflicts.empty()) report_error(3, title, conflicts.front().get());
}

// These texts cannot come from the message bundle: it lives in the server root.
std::string serverRootProblem(const InstanceRecord* record, const char* variable) {
  std::string character = firstControlCharacter(record->serverRoot);
  if (!character.empty())
    return std::string("The value of \"") + variable + "\" contains the control character " + character +
           ", which is not allowed.";
  if (record->serverRoot[0] == '/') return std::string();
  return std::string("The server root \"") + record->serverRoot + "\" given by " + variable +
         " is not an absolute path; it must name the installation directory, beginning with /.";
}

void requireAbsoluteServerRoot(const InstanceRecord* record, const char* variable) {
  std::string problem = serverRootProblem(record, variable);
  if (!problem.empty()) report_error(3, "Server Root", problem.c_str());
}

std::string installationProblem(const InstanceRecord* record, const char* variable) {
  const std::string root = record->serverRoot;
  struct stat status;
  int error = stat(root.c_str(), &status) != 0 ? errno : S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
  if (error != 0)
    return "The server root " + root + " given by " + variable + " is not a directory: " + std::strerror(error) + ".";
  for (const char* part : {"/lib/messages/httpconf/root.res", "/lib/install/templates"}) {
    if (stat((root + part).c_str(), &status) != 0)
      return "The server root " + root + " given by " + variable + " is not an installation: it has no " + root +
             part + ".";
  }
  return std::string();
}

void requireInstallation(const InstanceRecord* record, const char* variable) {
  std::string problem = installationProblem(record, variable);
  if (!problem.empty()) report_error(3, "Server Root", problem.c_str());
}

std::string setAsideInstance(const InstanceRecord* record) {
  if (!claimableServerId(record->serverId)) return "";
  const std::string path = instanceDirectory(record);
  if (rmdir(path.c_str()) == 0 || errno == ENOENT) return "";
  const std::string base = std::string(record->instancesRoot) + "/broken." + record->serverId;
  for (int suffix = 0; suffix < 10000; ++suffix) {
    std::string target = suffix == 0 ? base : base + "." + std::to_string(suffix);
    if (exists(target)) continue;
    // rename() would silently replace an empty directory of that name: link-free
    // renameat2 with RENAME_NOREPLACE keeps an existing one.
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
    if (errno != EEXIST) break;
  }
  return path;  // could not be moved: it stays where it is
}
