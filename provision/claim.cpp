#include "provision/claim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

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

std::string olderName(const InstanceRecord* record, const char* prefix) {
  return std::string(record->serverRoot) + "/" + prefix + record->serverId;
}

// The remains of a creation under the older name, as the first versions of
// the tool set them aside.
void setAsideOlderName(const InstanceRecord* record) {
  std::rename(olderName(record, "https-").c_str(), olderName(record, "broken.https-").c_str());
}

// The instance directory under the first free name "broken.<id>[.n]"; the
// new path, or "" when it could not be moved.
std::string moveToFreeBrokenName(const InstanceRecord* record, const std::string& path) {
  const std::string base = std::string(record->instancesRoot) + "/broken." + record->serverId;
  for (int suffix = 0; suffix < 10000; ++suffix) {
    std::string target = suffix == 0 ? base : base + "." + std::to_string(suffix);
    if (exists(target)) continue;
    // rename() would silently replace an empty directory of that name: link-free
    // renameat2 with RENAME_NOREPLACE keeps an existing one.
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
    if (errno != EEXIST) break;
  }
  return "";
}

}  // namespace

std::string instanceDirectoryOf(const InstanceRecord* record) {
  return std::string(record->instancesRoot) + "/" + record->serverId;
}

bool serverIdInUse(const InstanceRecord* record) {
  return exists(olderName(record, "https-")) || entryExists(instanceDirectoryOf(record));
}

Message claimProblem(const InstanceRecord* record) {
  if (faccessat(AT_FDCWD, record->instancesRoot, W_OK | X_OK, AT_EACCESS) != 0)
    return errorMessage("ERR_MKDIR_FAILURE", {instanceDirectoryOf(record).c_str(), std::strerror(errno)});
  return Message();
}

ClaimResult claimInstanceDirectory(const InstanceRecord* record, Message* failure) {
  const std::string path = instanceDirectoryOf(record);
  if (mkdir(path.c_str(), 0755) == 0) return ClaimResult::Claimed;
  if (errno == EEXIST) return ClaimResult::InUse;
  *failure = errorMessage("ERR_MKDIR_FAILURE", {path.c_str(), std::strerror(errno)});
  return ClaimResult::Failed;
}

Message setAsideInstance(const InstanceRecord* record) {
  setAsideOlderName(record);
  const std::string path = instanceDirectoryOf(record);
  if (rmdir(path.c_str()) == 0 || errno == ENOENT) return Message();
  const std::string target = moveToFreeBrokenName(record, path);
  if (target.empty()) return errorMessage("ERR_INSTANCE_LEFT_IN_PLACE", {path.c_str()});
  return errorMessage("ERR_INSTANCE_SET_ASIDE", {target.c_str()});
}
