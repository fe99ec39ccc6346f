// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/directories.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

namespace {

constexpr int LINK_LIMIT = 40;  // as the kernel's own resolution
// Directories are made with this mode, which proves them made here, and
// given their own mode once proven.
constexpr mode_t PROOF_MODE = 0700;
constexpr int RACE_RETRY_LIMIT = 10;

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Passing through needs only search permission, not read permission.
constexpr int PASSAGE_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool writableByOthers(const struct stat& directory) { return (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

struct Component {
  std::string name;
  bool given;  // part of the path as given, not of a link's target
};

enum class WalkFailure { None, System, UntrustedLink, NotRootOnly, Observer };

struct WalkOptions {
  mode_t createMode = 0;  // 0: nothing is made
  bool dryRun = false;    // missing directories are only imagined: what making them would meet is checked
  bool rootOnly = false;  // every directory must be changeable by root alone
  const MakingObserver* observer = nullptr;  // told of every directory made
};

// One resolution of a path: where it stands, and what it has seen.
struct Walk {
  WalkOptions options;
  std::deque<Component> pending;
  Descriptor current;
  struct stat currentStatus {};
  std::string shown;        // the prefix of the given path reached so far
  int linksFollowed = 0;
  int raceRetries = 0;  // names made and removed again by others while the walk looked
  int imagined = 0;     // dry run: the depth of directories it would have made below `current`
  bool made = false;
  bool notDirectory = false;
  Descriptor parentOfLast;  // when notDirectory: the directory holding the last entry
  std::string lastName;     // and that entry's name
  WalkFailure failure = WalkFailure::None;
  int error = 0;
  Message observerFailure;  // when failure is Observer
};

bool fail(Walk& walk, WalkFailure failure, int error) {
  walk.failure = failure;
  walk.error = error;
  return false;
}

void queueComponents(Walk& walk, const std::string& path, bool given) {
  std::deque<Component> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") components.push_back({name, given});
    start = end + 1;
  }
  walk.pending.insert(walk.pending.begin(), components.begin(), components.end());
}

// Makes `fd` the directory the walk stands in.
bool enter(Walk& walk, int fd) {
  if (fd < 0) return fail(walk, WalkFailure::System, errno);
  walk.current.reset(fd);
  if (fstat(fd, &walk.currentStatus) != 0) return fail(walk, WalkFailure::System, errno);
  if (walk.options.rootOnly && !onlyRootChanges(walk.currentStatus)) return fail(walk, WalkFailure::NotRootOnly, 0);
  return true;
}

bool enterRoot(Walk& walk) { return enter(walk, open("/", PASSAGE_FLAGS)); }

bool followLink(Walk& walk, const std::string& name, const struct stat& link) {
  if (!linkIsTrusted(walk.currentStatus, link)) return fail(walk, WalkFailure::UntrustedLink, ELOOP);
  if (++walk.linksFollowed > LINK_LIMIT) return fail(walk, WalkFailure::System, ELOOP);
  char target[PATH_MAX];
  ssize_t length = readlinkat(walk.current.get(), name.c_str(), target, sizeof target - 1);
  if (length < 0) return fail(walk, WalkFailure::System, errno);
  std::string text(target, static_cast<size_t>(length));
  queueComponents(walk, text, false);
  return text.empty() || text[0] != '/' || enterRoot(walk);
}

// Opens the directory `name` of the current one. The last directory of the
// walk, and one made here, are opened for reading, so that they can be
// listed and changed through their descriptor; where that is not allowed
// for an existing last directory, a passage descriptor serves.
bool enterDirectory(Walk& walk, const std::string& name, bool madeHere = false) {
  bool readable = walk.pending.empty() || madeHere;
  int fd = openat(walk.current.get(), name.c_str(), readable ? DIRECTORY_FLAGS : PASSAGE_FLAGS);
  if (fd < 0 && readable && !madeHere && errno == EACCES) fd = openat(walk.current.get(), name.c_str(), PASSAGE_FLAGS);
  // A directory replaced by a link since it was examined.
  if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) return fail(walk, WalkFailure::UntrustedLink, ELOOP);
  return enter(walk, fd);
}

// The bits a directory made in a directory of mode `parentMode` takes from
// it: the set-group-ID bit, common on shared web trees.
mode_t inheritedBits(mode_t parentMode) { return parentMode & S_ISGID; }

// The directory held as `fd` (its status in `status`) is the one this run
// has just made in a directory of mode `parentMode`: still empty, this
// user's, with the mode it was made with (and what it inherits), and born
// no earlier than the mkdir began (`before`). Another user who can write to
// the parent could otherwise rename a directory of root's into the name
// between the mkdir and the open, and have it filled and handed over.
bool isDirectoryJustMade(int fd, const struct stat& status, mode_t parentMode, const timespec& before) {
  mode_t mask = umask(0);
  umask(mask);
  mode_t expected = (PROOF_MODE & ~mask) | inheritedBits(parentMode);
  if (status.st_uid != geteuid() || (status.st_mode & 07777) != expected || status.st_nlink != 2) return false;
  struct statx birth;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &birth) == 0 && (birth.stx_mask & STATX_BTIME) != 0 &&
      birth.stx_btime.tv_sec < before.tv_sec)
    return false;
  return holdsNoEntry(fd);
}

bool visit(Walk& walk, const std::string& name, bool given);

// Makes the missing directory `name`, proves that the directory then opened
// is the one made, and gives it exactly the walk's mode. One that another
// run (or user) made at the same moment is taken as an existing directory,
// by the rules for those.
bool observed(Walk& walk, Message message) {
  if (!message) return true;
  walk.observerFailure = std::move(message);
  return fail(walk, WalkFailure::Observer, 0);
}

bool makeDirectory(Walk& walk, const std::string& name) {
  const MakingObserver* observer = walk.options.observer;
  const bool last = walk.pending.empty();
  if (observer && observer->before && !observed(walk, observer->before(walk.shown, last))) return false;
  timespec before;
  clock_gettime(CLOCK_REALTIME_COARSE, &before);
  if (mkdirat(walk.current.get(), name.c_str(), PROOF_MODE) != 0) {
    if (errno != EEXIST || ++walk.raceRetries > RACE_RETRY_LIMIT) return fail(walk, WalkFailure::System, errno);
    return visit(walk, name, true);
  }
  if (last) walk.made = true;
  const mode_t parentMode = walk.currentStatus.st_mode;
  if (!enterDirectory(walk, name, true)) return false;
  if (!isDirectoryJustMade(walk.current.get(), walk.currentStatus, parentMode, before))
    return fail(walk, WalkFailure::UntrustedLink, EPERM);
  if (observer && observer->made && !observed(walk, observer->made(walk.shown, last, walk.current.get())))
    return false;
  // The set-group-ID bit stays, as mkdir -p keeps it: files made below the
  // directory keep going to the tree's group.
  if (fchmod(walk.current.get(), walk.options.createMode | inheritedBits(parentMode)) != 0)
    return fail(walk, WalkFailure::System, errno);
  return true;
}

// A dry run's stand-in for makeDirectory: the missing directory is only
// imagined, once it is known that this user could make it in the current
// one; nothing exists below it yet. The walk stays in the current
// directory until a ".." brings it back there.
bool imagineDirectory(Walk& walk) {
  if (walk.imagined == 0 && faccessat(walk.current.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
    return fail(walk, WalkFailure::System, errno);
  ++walk.imagined;
  if (walk.pending.empty()) walk.made = true;
  return true;
}

// An existing entry that is not a directory: the end of the walk when it is
// the last component; otherwise the next directory cannot be made below it.
bool stopAtNonDirectory(Walk& walk, const std::string& name) {
  if (walk.pending.empty()) {
    walk.notDirectory = true;
    walk.parentOfLast = std::move(walk.current);
    walk.lastName = name;
    return true;
  }
  const Component& next = walk.pending.front();
  if (next.given) walk.shown += "/" + next.name;
  return fail(walk, WalkFailure::System, ENOTDIR);
}

bool step(Walk& walk, const Component& component) {
  if (component.given) walk.shown += "/" + component.name;
  const std::string& name = component.name;
  if (name == ".." && walk.imagined > 0) {
    --walk.imagined;
    return true;
  }
  if (name == "..") return enter(walk, openat(walk.current.get(), "..", PASSAGE_FLAGS));
  return visit(walk, name, component.given);
}

// `given`: the name is part of the path as given, not of a link's target.
// A directory is made only at a name the path gives: a link that leads
// nowhere stands where the directory would go, as mkdir finds it (EEXIST).
bool visit(Walk& walk, const std::string& name, bool given) {
  if (walk.imagined > 0) return imagineDirectory(walk);
  struct stat status;
  if (fstatat(walk.current.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT || walk.options.createMode == 0) return fail(walk, WalkFailure::System, errno);
    if (!given) return fail(walk, WalkFailure::System, EEXIST);
    return walk.options.dryRun ? imagineDirectory(walk) : makeDirectory(walk, name);
  }
  if (S_ISLNK(status.st_mode)) return followLink(walk, name, status);
  if (S_ISDIR(status.st_mode)) return enterDirectory(walk, name);
  return stopAtNonDirectory(walk, name);
}

bool walkPath(Walk& walk, const char* path) {
  if (path == nullptr || path[0] != '/') return fail(walk, WalkFailure::System, EINVAL);
  queueComponents(walk, path, true);
  if (!enterRoot(walk)) return false;
  // The root itself, opened for reading when it is the whole path.
  if (walk.pending.empty() && !enter(walk, open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) return false;
  while (!walk.pending.empty() && !walk.notDirectory) {
    Component component = walk.pending.front();
    walk.pending.pop_front();
    if (!step(walk, component)) return false;
  }
  return true;
}

const char* shownOr(const std::string& shown, const char* path) {
  if (!shown.empty()) return shown.c_str();
  return path && *path ? path : "/";
}

// What stopped a walk that was to open or make the directory at `path`.
Message walkFailure(const Walk& walk, const char* path) {
  const char* shown = shownOr(walk.shown, path);
  if (walk.failure == WalkFailure::UntrustedLink) return errorMessage("ERR_UNSAFE_LINK", {shown});
  return errorMessage("ERR_MKDIR_FAILURE", {shown, std::strerror(walk.error)});
}

}  // namespace

bool onlyRootChanges(const struct stat& directory) {
  return directory.st_uid == 0 && (!writableByOthers(directory) || (directory.st_mode & S_ISVTX) != 0);
}

bool linkIsTrusted(const struct stat& directory, const struct stat& link) {
  if (geteuid() != 0) return true;
  // A second name of root's link may have been made by anyone in a sticky
  // directory (or anywhere, without fs.protected_hardlinks).
  return link.st_uid == 0 && link.st_nlink == 1 && onlyRootChanges(directory);
}

bool holdsNoEntry(int directory) {
  DirectoryListing listing = openListing(directory, ".");
  if (!listing) return false;
  while (const dirent* entry = readdir(listing.get()))
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return false;
  return true;
}

DirectoryListing openListing(int parent, const char* name) {
  Descriptor fd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return DirectoryListing();
  DirectoryListing listing(fdopendir(fd.get()));
  if (listing) fd.release();
  return listing;
}

Message linkRefusal(int directory, const struct stat& entry, const char* shown) {
  auto ours = [](uid_t owner) { return owner == geteuid() || owner == 0; };
  struct stat place;
  bool othersMay = fstat(directory, &place) != 0 || !ours(place.st_uid) || !ours(entry.st_uid) ||
                   (writableByOthers(place) && (place.st_mode & S_ISVTX) == 0);
  return errorMessage(othersMay ? "ERR_UNSAFE_LINK" : "ERR_LINK_REFUSED", {shown});
}

Message openOrMakeDirectoryPath(const char* path, mode_t mode, OpenedDirectory* out,
                                const MakingObserver* observer) {
  Walk walk;
  walk.options.createMode = mode;
  walk.options.observer = observer;
  bool walked = walkPath(walk, path);
  out->made = walk.made;
  out->notDirectory = walk.notDirectory;
  if (walk.failure == WalkFailure::Observer) return std::move(walk.observerFailure);
  if (!walked) return walkFailure(walk, path);
  out->fd = std::move(walk.current);
  return Message();
}

std::string realPathOfDirectory(int fd) {
  char path[PATH_MAX];
  const std::string handle = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(handle.c_str(), path, sizeof path - 1);
  if (length <= 0 || path[0] != '/') return "";
  std::string real(path, static_cast<size_t>(length));
  // What the kernel says of a removed directory.
  const std::string removed = " (deleted)";
  if (real.size() > removed.size() && real.compare(real.size() - removed.size(), removed.size(), removed) == 0) return "";
  return real;
}

int openDirectoryPath(const char* path, Descriptor* out, std::string* unsafePrefix) {
  Walk walk;
  if (walkPath(walk, path) && !walk.notDirectory) {
    *out = std::move(walk.current);
    return 0;
  }
  if (walk.failure == WalkFailure::UntrustedLink && unsafePrefix) *unsafePrefix = shownOr(walk.shown, path);
  errno = walk.notDirectory ? ENOTDIR : walk.error;
  return -1;
}

int openParentOfFile(const char* path, Descriptor* directory, std::string* name, std::string* unsafePrefix) {
  Walk walk;
  if (walkPath(walk, path) && walk.notDirectory) {
    *directory = std::move(walk.parentOfLast);
    *name = walk.lastName;
    return 0;
  }
  if (walk.failure == WalkFailure::UntrustedLink && unsafePrefix) *unsafePrefix = shownOr(walk.shown, path);
  errno = walk.failure == WalkFailure::None ? EISDIR : walk.error;
  return -1;
}

Message surveyDirectoryPath(const char* path, PathSurvey* out) {
  Walk walk;
  walk.options.createMode = PROOF_MODE;
  walk.options.dryRun = true;
  if (!walkPath(walk, path)) return walkFailure(walk, path);
  out->toBeMade = walk.imagined > 0;
  out->exists = !walk.notDirectory && !out->toBeMade;
  out->notDirectory = walk.notDirectory;
  out->directory = std::move(walk.notDirectory ? walk.parentOfLast : walk.current);
  return Message();
}

bool liesWithin(int directory, const struct stat& ancestor) {
  auto same = [](const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; };
  Descriptor current(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  struct stat status;
  while (current.valid() && fstat(current.get(), &status) == 0) {
    if (same(status, ancestor)) return true;
    Descriptor parent(openat(current.get(), "..", PASSAGE_FLAGS));
    struct stat parentStatus;
    if (!parent.valid() || fstat(parent.get(), &parentStatus) != 0 || same(parentStatus, status)) return false;
    current = std::move(parent);
  }
  return false;
}

Message checkRootOnlyDirectory(const char* path) {
  if (geteuid() != 0) return Message();
  Walk walk;
  walk.options.rootOnly = true;
  if (walkPath(walk, path)) return Message();
  const char* shown = shownOr(walk.shown, path);
  if (walk.failure == WalkFailure::NotRootOnly) return errorMessage("ERR_UNSAFE_DIRECTORY", {shown});
  if (walk.failure == WalkFailure::UntrustedLink) return errorMessage("ERR_UNSAFE_LINK", {shown});
  return Message();
}
