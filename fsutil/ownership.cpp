#include "fsutil/ownership.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "fsutil/files.h"

namespace {

constexpr size_t ENTRY_NAME_LIMIT = 128;  // longer entry names are left alone
constexpr int WALK_DESCRIPTORS = 4;

struct CloseDirectory {
  void operator()(DIR* directory) const { closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, CloseDirectory>;

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

bool skippedEntry(const dirent* entry) {
  const char* name = entry->d_name;
  if (entry->d_ino == 0) return true;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return true;
  return std::strlen(name) > ENTRY_NAME_LIMIT;
}

// Opens the directory `name` of `parent` for listing, refusing a symbolic
// link: an entry swapped for a link after it was examined is not followed.
DirectoryHandle openListing(int parent, const char* name) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return DirectoryHandle();
  DIR* directory = fdopendir(fd);
  if (directory == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return DirectoryHandle(directory);
}

// Where the first owner change of a walk failed, and why.
struct WalkFailure {
  std::string path;
  int error = 0;
};

bool noteWalkFailure(WalkFailure* failure, const std::string& path, int error) {
  failure->path = path;
  failure->error = error;
  return false;
}

bool chownEntries(DIR* directory, const std::string& path, uid_t uid, gid_t gid, WalkFailure* failure);

// Everything is addressed relative to the already opened parent, so a
// directory further up that is replaced by a link while the walk runs
// cannot lead it elsewhere. The walk stops at the first change that fails:
// a tree left partly with the old owner must not pass for a handed-over one.
bool chownEntry(int parent, const char* name, const std::string& path, uid_t uid, gid_t gid, WalkFailure* failure) {
  struct stat status;
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return noteWalkFailure(failure, path, errno);
  if (S_ISDIR(status.st_mode)) {
    DirectoryHandle listing = openListing(parent, name);
    if (!listing) return noteWalkFailure(failure, path, errno);
    if (!chownEntries(listing.get(), path, uid, gid, failure)) return false;
  }
  if (fchownat(parent, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) return noteWalkFailure(failure, path, errno);
  return true;
}

bool chownEntries(DIR* directory, const std::string& path, uid_t uid, gid_t gid, WalkFailure* failure) {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(directory);
    if (entry == nullptr) return errno == 0 || noteWalkFailure(failure, path, errno);
    if (skippedEntry(entry)) continue;
    if (chownEntry(dirfd(directory), entry->d_name, path + "/" + entry->d_name, uid, gid, failure)) continue;
    // Renamed or removed by another run since it was listed: no longer part of the tree.
    if (failure->error != ENOENT) return false;
    *failure = WalkFailure();
  }
}

bool chownWholeTree(const char* path, uid_t uid, gid_t gid, WalkFailure* failure) {
  if (path == nullptr || path[0] != '/') return noteWalkFailure(failure, path ? path : "", EINVAL);
  return chownEntry(AT_FDCWD, path, path, uid, gid, failure);
}

// nftw hands over links (FTW_SL, dangling ones too under FTW_PHYS); they
// are left alone. Everything else goes to the exported callback.
int chmodWalkItem(const char* path, const struct stat* status, int type, struct FTW*) {
  if (type == FTW_SL || type == FTW_SLN) return 0;
  return chmodConfigItem(path, status, type);
}

}  // namespace

int chownTree(const char* path, uid_t uid, gid_t gid) {
  WalkFailure failure;
  if (chownWholeTree(path, uid, gid, &failure)) return 0;
  errno = failure.error;
  return -1;
}

Message chownTreeToUser(const char* userName, const char* path) {
  if (geteuid() != 0) return Message();
  UserIds user = lookUpUser(userName);
  if (!user.found) return errorMessage("ERR_GET_USER_NAME", {shown(userName)});
  WalkFailure failure;
  if (chownWholeTree(path, user.uid, user.gid, &failure)) return Message();
  return errorMessage("ERR_CHANGE_OWNER", {failure.path.c_str(), std::strerror(failure.error)});
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

// Gives one ACL file to the user when it exists; a missing one is skipped.
Message chownAclFile(const char* path, const UserIds& user) {
  if (!pathExists(path)) return Message();
  if (lchown(path, user.uid, user.gid) != 0) return errorMessage("ERR_CHANGE_OWNER", {path, std::strerror(errno)});
  return Message();
}

}  // namespace

Message chownAclFiles(const char* baseDir, const char* serverId, const char* userName) {
  if (geteuid() != 0) return Message();
  UserIds user = lookUpUser(userName);
  if (!user.found) return errorMessage("ERR_GET_USER_NAME", {shown(userName)});
  char generated[PATH_LIMIT];
  char work[PATH_LIMIT];
  // A name too long to form cannot exist: it is skipped like a missing file.
  if (formatPath(generated, "%s/config/generated.%s.acl", shown(baseDir), shown(serverId)))
    if (Message failure = chownAclFile(generated, user)) return failure;
  if (formatPath(work, "%s/config/httpacl/genwork.%s.acl", shown(baseDir), shown(serverId)))
    if (Message failure = chownAclFile(work, user)) return failure;
  return Message();
}

extern "C" int chmodConfigItem(const char* path, const struct stat* status, int type) {
  (void)status;
  mode_t mode;
  if (type == FTW_D) {
    mode = 0700;
  } else if (type == FTW_F) {
    mode = 0600;
  } else {
    return -1;
  }
  // Should the item have been replaced by a link since the walk examined
  // it, the change is refused instead of reaching the link's target.
  return fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -1;
}

int chmodConfigTree(const char* path) {
  if (path == nullptr) return -1;
  return nftw(path, chmodWalkItem, WALK_DESCRIPTORS, FTW_PHYS);
}
