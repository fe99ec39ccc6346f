// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/claim.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fsutil/directories.h"

namespace {

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// The remains of a creation under the older name, as the first versions of
// the tool set them aside.
void setAsideOlderName(const InstanceRecord* record) {
  const std::string older = olderInUsePath(record->serverRoot, record->serverId);
  const std::string aside = std::string(record->serverRoot) + "/" + BROKEN_PREFIX + OLDER_PREFIX + record->serverId;
  std::rename(older.c_str(), aside.c_str());
}

// The instance directory under the first free name "broken.<id>[.n]"; the
// new path, or "" when it could not be moved.
std::string moveToFreeBrokenName(const InstanceRecord* record, const std::string& path) {
  for (unsigned suffix = 0; suffix < 10000; ++suffix) {
    std::string target = std::string(record->instancesRoot) + "/" + brokenName(record->serverId, suffix);
    if (exists(target)) continue;
    // rename() would silently replace an empty directory of that name: link-free
    // renameat2 with RENAME_NOREPLACE keeps an existing one.
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
    if (errno != EEXIST) break;
  }
  return "";
}

bool isMarkName(const char* name) {
  return std::strcmp(name, CREATION_MARK) == 0 || std::strcmp(name, CREATION_MARK_TEMPORARY) == 0;
}

// Removes the instance directory when nothing but its mark is in it: the
// mark goes first, so that a kill in between leaves an empty directory,
// which is still an incomplete creation. True when it is gone.
bool removeWhenOnlyMarked(const std::string& path) {
  DirectoryListing listing = openListing(AT_FDCWD, path.c_str());
  if (!listing) return errno == ENOENT;
  std::vector<std::string> marks;
  while (const dirent* entry = readdir(listing.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!isMarkName(entry->d_name)) return false;
    marks.push_back(entry->d_name);
  }
  for (const std::string& mark : marks) unlinkat(dirfd(listing.get()), mark.c_str(), 0);
  return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

std::string instanceDirectoryOf(const InstanceRecord* record) {
  return std::string(record->instancesRoot) + "/" + record->serverId;
}

IdentifierUse serverIdUse(const InstanceRecord* record, std::string* where, bool holdingLock) {
  return identifierUse(record->serverRoot, record->instancesRoot, record->serverId, where, holdingLock);
}

Message identifierRefusal(const InstanceRecord* record, Message inUse, bool holdingLock) {
  std::string where;
  if (serverIdUse(record, &where, holdingLock) != IdentifierUse::Unfinished) return inUse;
  return escapedMessage("ERR_SERVER_ID_UNFINISHED", {record->serverId, where});
}

Message claimProblem(const InstanceRecord* record) {
  if (faccessat(AT_FDCWD, record->instancesRoot, W_OK | X_OK, AT_EACCESS) != 0)
    return errorMessage("ERR_MKDIR_FAILURE", {instanceDirectoryOf(record).c_str(), std::strerror(errno)});
  return Message();
}

ClaimResult claimInstanceDirectory(const InstanceRecord* record, Message* failure) {
  // An unfinished removal keeps the identifier although its name is free.
  if (serverIdUse(record, nullptr, true) != IdentifierUse::Free) return ClaimResult::InUse;
  const std::string path = instanceDirectoryOf(record);
  if (mkdir(path.c_str(), 0755) == 0) return ClaimResult::Claimed;
  if (errno == EEXIST) return ClaimResult::InUse;
  *failure = errorMessage("ERR_MKDIR_FAILURE", {path.c_str(), std::strerror(errno)});
  return ClaimResult::Failed;
}

Message setAsideInstance(const InstanceRecord* record) {
  setAsideOlderName(record);
  const std::string path = instanceDirectoryOf(record);
  if (removeWhenOnlyMarked(path)) return Message();
  const std::string target = moveToFreeBrokenName(record, path);
  if (target.empty()) return errorMessage("ERR_INSTANCE_LEFT_IN_PLACE", {path.c_str()});
  return errorMessage("ERR_INSTANCE_SET_ASIDE", {target.c_str()});
}
