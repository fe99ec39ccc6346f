// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/ownership.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/files.h"

namespace {

struct UserIds {
  bool found;
  uid_t uid;
  gid_t gid;
};

// getpwnam's record is static and overwritten by the next lookup: copy the ids out.
UserIds lookUpUser(const char* userName) {
  if (userName == nullptr) return {false, 0, 0};
  const passwd* entry = getpwnam(userName);
  if (entry == nullptr) return {false, 0, 0};
  return {true, entry->pw_uid, entry->pw_gid};
}

const char* shown(const char* text) { return text ? text : ""; }

bool isDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

bool skippedEntry(const dirent* entry) {
  const char* name = entry->d_name;
  if (entry->d_ino == 0 || isDotEntry(name)) return true;
  return std::strlen(name) > OWNER_WALK_NAME_LIMIT;
}

// Where the first owner change of a walk failed, and why.
struct WalkFailure {
  std::string path;
  int error = 0;
  Message refusal;  // a file with another name elsewhere, not changed
};

bool noteWalkFailure(WalkFailure* failure, const std::string& path, int error) {
  failure->path = path;
  failure->error = error;
  return false;
}

// Only what this run made is handed over. A directory of another user's is
// that user's domain: entering it would change owners of whatever that user
// linked there. A second name of a file may be another user's hard link to a
// file kept elsewhere, whatever fs.protected_hardlinks says.
enum class Handling { Change, Leave, Refuse };
Handling handlingOf(const struct stat& status) {
  if (status.st_uid != geteuid()) return Handling::Leave;
  if (!S_ISDIR(status.st_mode) && status.st_nlink > 1) return Handling::Refuse;
  return Handling::Change;
}

// The directory opened is still the one examined (not swapped in between).
bool sameEntry(int fd, const struct stat& examined) {
  struct stat opened;
  return fstat(fd, &opened) == 0 && opened.st_dev == examined.st_dev && opened.st_ino == examined.st_ino;
}

using KeptNames = std::vector<std::string>;

bool chownEntries(DIR* directory, const std::string& path, const KeptNames& kept, uid_t uid, gid_t gid,
                  WalkFailure* failure);

// Everything is addressed relative to the already opened parent, so a
// directory further up that is replaced by a link while the walk runs
// cannot lead it elsewhere. The walk stops at the first change that fails:
// a tree left partly with the old owner must not pass for a handed-over one.
bool chownEntry(int parent, const char* name, const std::string& path, uid_t uid, gid_t gid, WalkFailure* failure) {
  struct stat status;
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return noteWalkFailure(failure, path, errno);
  switch (handlingOf(status)) {
    case Handling::Leave: return true;
    case Handling::Refuse:
      failure->refusal = linkRefusal(parent, status, path.c_str());
      return noteWalkFailure(failure, path, EMLINK);
    case Handling::Change: break;
  }
  if (S_ISDIR(status.st_mode)) {
    DirectoryListing listing = openListing(parent, name);
    if (!listing) return noteWalkFailure(failure, path, errno);
    if (!sameEntry(dirfd(listing.get()), status)) return noteWalkFailure(failure, path, ENOENT);
    if (!chownEntries(listing.get(), path, {}, uid, gid, failure)) return false;
  }
  if (fchownat(parent, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) return noteWalkFailure(failure, path, errno);
  return true;
}

// The entries of `directory` but those named in `kept`, each with its tree.
bool chownEntries(DIR* directory, const std::string& path, const KeptNames& kept, uid_t uid, gid_t gid,
                  WalkFailure* failure) {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(directory);
    if (entry == nullptr) return errno == 0 || noteWalkFailure(failure, path, errno);
    if (skippedEntry(entry) || std::find(kept.begin(), kept.end(), entry->d_name) != kept.end()) continue;
    if (chownEntry(dirfd(directory), entry->d_name, path + "/" + entry->d_name, uid, gid, failure)) continue;
    // Renamed or removed by another run since it was listed: no longer part of the tree.
    if (failure->error != ENOENT) return false;
    *failure = WalkFailure();
  }
}

bool chownHeldEntries(int directory, const std::string& path, const KeptNames& kept, uid_t uid, gid_t gid,
                      WalkFailure* failure) {
  DirectoryListing listing = openListing(directory, ".");
  if (!listing) return noteWalkFailure(failure, path, errno);
  return chownEntries(listing.get(), path, kept, uid, gid, failure);
}

bool chownWholeTree(const char* path, uid_t uid, gid_t gid, WalkFailure* failure) {
  if (path == nullptr || path[0] != '/') return noteWalkFailure(failure, path ? path : "", EINVAL);
  return chownEntry(AT_FDCWD, path, path, uid, gid, failure);
}

// The tree of a directory held open: its entries first, then the directory
// itself through its descriptor.
bool chownHeldTree(int directory, const std::string& path, uid_t uid, gid_t gid, WalkFailure* failure) {
  struct stat status;
  if (fstat(directory, &status) != 0) return noteWalkFailure(failure, path, errno);
  if (handlingOf(status) == Handling::Leave) return true;
  if (!chownHeldEntries(directory, path, {}, uid, gid, failure)) return false;
  if (fchown(directory, uid, gid) != 0) return noteWalkFailure(failure, path, errno);
  return true;
}

bool isModeChangedByOpening(mode_t type) { return S_ISREG(type) || S_ISFIFO(type); }

// Changes the mode of the entry `name` of `directory` (of the given type,
// never a link) through a descriptor of the entry itself: a change by name
// would follow a link put there since the entry was examined, and the C
// library's no-follow variant needs /proc. Devices and sockets, which
// cannot be opened safely, are changed by name without following a link.
int chmodEntry(int directory, const char* name, mode_t type, mode_t mode) {
  if (!S_ISDIR(type) && !isModeChangedByOpening(type)) return fchmodat(directory, name, mode, AT_SYMLINK_NOFOLLOW);
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (S_ISDIR(type) ? O_DIRECTORY : 0);
  Descriptor entry(openat(directory, name, flags));
  // An ordinary user's own file that the user may not read.
  if (!entry.valid() && errno == EACCES && !S_ISDIR(type))
    entry.reset(openat(directory, name, (flags & ~O_ACCMODE) | O_WRONLY));
  if (!entry.valid()) return -1;
  struct stat status;
  if (fstat(entry.get(), &status) != 0 || (status.st_mode & S_IFMT) != (type & S_IFMT)) return -1;
  return fchmod(entry.get(), mode);
}

int chmodHeldTree(int directory);

// Directories become 0700 before their contents, everything else but links
// 0600; links are left alone and never followed.
int chmodTreeEntry(int directory, const char* name) {
  struct stat status;
  if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (S_ISLNK(status.st_mode)) return 0;
  if (!S_ISDIR(status.st_mode)) return chmodEntry(directory, name, status.st_mode, 0600);
  Descriptor child(openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return child.valid() ? chmodHeldTree(child.get()) : -1;
}

int chmodHeldTree(int directory) {
  if (fchmod(directory, 0700) != 0) return -1;
  DirectoryListing listing = openListing(directory, ".");
  if (!listing) return -1;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing.get());
    if (entry == nullptr) return errno == 0 ? 0 : -1;
    if (isDotEntry(entry->d_name)) continue;
    if (chmodTreeEntry(dirfd(listing.get()), entry->d_name) != 0) return -1;
  }
}

}  // namespace

int chownTree(const char* path, uid_t uid, gid_t gid) {
  WalkFailure failure;
  if (chownWholeTree(path, uid, gid, &failure)) return 0;
  errno = failure.error;
  return -1;
}

namespace {

// As root: `walk` (uid, gid, failure) hands a tree to the user's ids.
template <typename Walk>
Message handTreeToUser(const char* userName, Walk walk) {
  if (geteuid() != 0) return Message();
  UserIds user = lookUpUser(userName);
  if (!user.found) return errorMessage("ERR_GET_USER_NAME", {shown(userName)});
  WalkFailure failure;
  if (walk(user.uid, user.gid, &failure)) return Message();
  if (failure.refusal) return std::move(failure.refusal);
  return errorMessage("ERR_CHANGE_OWNER", {failure.path.c_str(), std::strerror(failure.error)});
}

}  // namespace

Message chownTreeToUser(const char* userName, const char* path) {
  return handTreeToUser(userName, [&](uid_t uid, gid_t gid, WalkFailure* failure) {
    return chownWholeTree(path, uid, gid, failure);
  });
}

Message chownTreeToUserAt(const char* userName, int directory, const char* shownPath) {
  return handTreeToUser(userName, [&](uid_t uid, gid_t gid, WalkFailure* failure) {
    return chownHeldTree(directory, shown(shownPath), uid, gid, failure);
  });
}

Message chownEntriesToUserAt(const char* userName, int directory, const char* shownPath,
                            const std::vector<std::string>& kept) {
  return handTreeToUser(userName, [&](uid_t uid, gid_t gid, WalkFailure* failure) {
    return chownHeldEntries(directory, shown(shownPath), kept, uid, gid, failure);
  });
}

Message chownToUser(const char* path, const char* userName) {
  UserIds user = lookUpUser(userName);
  if (!user.found) return errorMessage("ERR_GET_USER_NAME", {shown(userName)});
  if (getuid() == user.uid) return Message();
  if (path == nullptr || lchown(path, user.uid, user.gid) != 0)
    return errorMessage("ERR_CHANGE_OWNER", {shown(path), std::strerror(path ? errno : EINVAL)});
  return Message();
}

Message chownLogsDirectory(const char* instanceDir, const char* userName) {
  if (geteuid() != 0) return Message();
  UserIds user = lookUpUser(userName);
  if (!user.found) return errorMessage("ERR_GET_USER_NAME", {shown(userName)});
  char logs[PATH_LIMIT];
  if (!formatPath(logs, "%s/logs", shown(instanceDir)) || lchown(logs, user.uid, user.gid) != 0)
    return errorMessage("ERR_CHANGE_OWNER", {logs, std::strerror(errno)});
  return Message();
}

namespace {

// Finds the ACL file `name` of the directory `relative` below `base` and
// holds it (O_PATH) in `file`; a missing one, or one whose name is too long
// to form (it cannot exist), leaves `file` invalid. A link in its place, or
// a file with a second name, is refused instead of being handed over.
Message locateAclFile(const char* base, const char* relative, const std::string& name, Descriptor* file,
                      std::string* shownPath) {
  char directoryPath[PATH_LIMIT];
  char path[PATH_LIMIT];
  if (!formatPath(directoryPath, "%s/%s", base, relative) ||
      !formatPath(path, "%s/%s", directoryPath, name.c_str()))
    return Message();
  *shownPath = path;
  Descriptor directory;
  std::string unsafe;
  if (openDirectoryPath(directoryPath, &directory, &unsafe) != 0)
    return unsafe.empty() ? Message() : errorMessage("ERR_UNSAFE_LINK", {unsafe.c_str()});
  Descriptor found(openat(directory.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status;
  if (!found.valid() || fstat(found.get(), &status) != 0) return Message();
  if (S_ISLNK(status.st_mode) || (!S_ISDIR(status.st_mode) && status.st_nlink > 1))
    return linkRefusal(directory.get(), status, path);
  *file = std::move(found);
  return Message();
}

// Each ACL file of the identifier that exists below `base`, in turn.
template <typename Visit>
Message forEachAclFile(const char* base, const char* serverId, Visit visit) {
  static const struct {
    const char* relative;
    const char* prefix;
  } aclFiles[] = {{"config", "generated."}, {"config/httpacl", "genwork."}};
  for (const auto& acl : aclFiles) {
    Descriptor file;
    std::string path;
    if (Message failure = locateAclFile(base, acl.relative, acl.prefix + std::string(serverId) + ".acl", &file, &path))
      return failure;
    if (!file.valid()) continue;
    if (Message failure = visit(file.get(), path)) return failure;
  }
  return Message();
}

}  // namespace

Message chownAclFiles(const char* baseDir, const char* serverId, const char* userName) {
  if (geteuid() != 0) return Message();
  UserIds user = lookUpUser(userName);
  if (!user.found) return errorMessage("ERR_GET_USER_NAME", {shown(userName)});
  return forEachAclFile(shown(baseDir), shown(serverId), [&](int file, const std::string& path) {
    if (fchownat(file, "", user.uid, user.gid, AT_EMPTY_PATH) != 0)
      return errorMessage("ERR_CHANGE_OWNER", {path.c_str(), std::strerror(errno)});
    return Message();
  });
}

Message checkAclFiles(const char* baseDir, const char* serverId) {
  if (geteuid() != 0) return Message();
  return forEachAclFile(shown(baseDir), shown(serverId), [](int, const std::string&) { return Message(); });
}

extern "C" int chmodConfigItem(const char* path, const struct stat* status, int type) {
  (void)status;
  if (path == nullptr || (type != FTW_D && type != FTW_F)) return -1;
  std::string name = lastComponentOf(path);
  Descriptor directory(open(parentOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return -1;
  // Should the item have been replaced by a link since the walk examined
  // it, the change is refused instead of reaching the link's target.
  struct stat actual;
  if (fstatat(directory.get(), name.c_str(), &actual, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (S_ISLNK(actual.st_mode) || S_ISDIR(actual.st_mode) != (type == FTW_D)) return -1;
  return chmodEntry(directory.get(), name.c_str(), actual.st_mode, type == FTW_D ? 0700 : 0600) == 0 ? 0 : -1;
}

int chmodConfigTree(const char* path) {
  if (path == nullptr) return -1;
  Descriptor tree(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!tree.valid()) return -1;
  return chmodHeldTree(tree.get());
}
