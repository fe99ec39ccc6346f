// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"

namespace {

constexpr int DIRECTORY_OPEN = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// A directory that still holds entries after it was emptied is listed
// again this many times at most: another user adding entries faster than
// they go cannot keep the walk busy for ever.
constexpr int LISTING_PASSES = 3;

struct Entry {
  std::string name;
  unsigned char type;
};

struct Frame {
  Descriptor fd;
  std::string name;      // in its parent
  std::string relative;  // below the removed directory; "" for the directory itself
  std::vector<Entry> entries;
  size_t next = 0;
  int passes = 0;
  bool staying = false;  // something below stays, so this directory stays too
  bool frozen = false;
  uid_t uid = 0;         // owner and mode before freezing
  mode_t mode = 0;
};

struct Walk {
  const RemovalPlan& plan;
  int parent;
  dev_t device = 0;
  std::vector<Frame> stack;
  RemovalResult result;
};

enum class Opened { Entered, NotDirectory, Gone, Stays };

void noteFailure(Walk& walk, const std::string& relative, int error) {
  if (walk.result.error != 0) return;
  walk.result.error = error;
  walk.result.failedPath = relative;
}

std::string joined(const std::string& relative, const std::string& name) {
  return relative.empty() ? name : relative + "/" + name;
}

bool leadsToKeptPath(const RemovalPlan& plan, const std::string& relative) {
  const std::string& kept = plan.keptPath;
  return kept.size() > relative.size() && kept.compare(0, relative.size(), relative) == 0 &&
         kept[relative.size()] == '/';
}

bool isKeptPath(const RemovalPlan& plan, const std::string& relative) {
  return !plan.keptPath.empty() && relative == plan.keptPath;
}

bool keptByIdentity(const RemovalPlan& plan, dev_t device, ino_t inode) {
  for (const FileIdentity& kept : plan.keptDirectories)
    if (kept.device == device && kept.inode == inode) return true;
  return false;
}

bool statusOf(int fd, struct statx* status) {
  return statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO, status) == 0;
}

dev_t deviceOf(const struct statx& status) { return makedev(status.stx_dev_major, status.stx_dev_minor); }

bool isMountRoot(const struct statx& status) {
  return (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (status.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// Owner first, so that the user can no longer change the mode back; then
// no access but root's.
bool freeze(Frame& frame) {
  bool othersChange = frame.uid != 0 || (frame.mode & (S_IWGRP | S_IWOTH)) != 0;
  if (geteuid() != 0 || !othersChange) return true;
  if (fchown(frame.fd.get(), 0, static_cast<gid_t>(-1)) != 0) return false;
  frame.frozen = true;
  return fchmod(frame.fd.get(), 0700) == 0;
}

// The mode last: an owner change may clear set-id bits.
void restore(Frame& frame) {
  if (!frame.frozen) return;
  fchown(frame.fd.get(), frame.uid, static_cast<gid_t>(-1));
  fchmod(frame.fd.get(), frame.mode & 07777);
}

bool listEntries(Frame& frame) {
  DirectoryListing listing = openListing(frame.fd.get(), ".");
  if (!listing) return false;
  frame.entries.clear();
  frame.next = 0;
  errno = 0;
  while (const dirent* entry = readdir(listing.get())) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    frame.entries.push_back({name, entry->d_type});
  }
  return errno == 0;
}

// Opens the directory `name` of `parentFd` and, unless it stays, pushes it
// on the walk's stack ready to be emptied.
Opened enter(Walk& walk, int parentFd, const std::string& name, const std::string& relative) {
  Descriptor fd(openat(parentFd, name.c_str(), DIRECTORY_OPEN));
  if (!fd.valid()) {
    // A link (or anything else) now stands where a directory was listed.
    if (errno == ELOOP || errno == ENOTDIR) return Opened::NotDirectory;
    if (errno == ENOENT) return Opened::Gone;
    noteFailure(walk, relative, errno);
    return Opened::Stays;
  }
  struct statx status;
  if (!statusOf(fd.get(), &status)) {
    noteFailure(walk, relative, errno);
    return Opened::Stays;
  }
  FileIdentity identity;
  if (relative.empty() && walk.plan.topKnown && (!identityOf(fd.get(), &identity) || !sameFile(identity, walk.plan.top))) {
    noteFailure(walk, relative, ESTALE);
    return Opened::Stays;
  }
  if (deviceOf(status) != walk.device || isMountRoot(status)) {
    walk.result.otherFileSystems.push_back(relative);
    return Opened::Stays;
  }
  if (keptByIdentity(walk.plan, deviceOf(status), status.stx_ino) || isKeptPath(walk.plan, relative)) {
    walk.result.kept.push_back(relative);
    return Opened::Stays;
  }
  Frame frame;
  frame.fd = std::move(fd);
  frame.name = name;
  frame.relative = relative;
  frame.uid = status.stx_uid;
  frame.mode = status.stx_mode;
  if (!freeze(frame) || !listEntries(frame)) {
    noteFailure(walk, relative, errno);
    restore(frame);
    return Opened::Stays;
  }
  walk.stack.push_back(std::move(frame));
  return Opened::Entered;
}

bool isDirectoryType(unsigned char type) { return type == DT_DIR || type == DT_UNKNOWN; }

void stay(Walk& walk, size_t index) { walk.stack[index].staying = true; }

// Removes a non-directory entry, or enters it should it be a directory after all.
void removeEntry(Walk& walk, size_t index, const Entry& entry, const std::string& relative) {
  const int fd = walk.stack[index].fd.get();
  if (unlinkat(fd, entry.name.c_str(), 0) == 0 || errno == ENOENT) return;
  if (errno != EISDIR) {
    noteFailure(walk, relative, errno);
    return stay(walk, index);
  }
  Opened opened = enter(walk, fd, entry.name, relative);
  if (opened == Opened::Entered || opened == Opened::Gone) return;
  // Swapped back and forth faster than it can be looked at: left alone.
  if (opened == Opened::NotDirectory) noteFailure(walk, relative, EBUSY);
  stay(walk, index);
}

void visitNextEntry(Walk& walk, size_t index) {
  Frame& frame = walk.stack[index];
  const Entry entry = frame.entries[frame.next++];
  const std::string relative = joined(frame.relative, entry.name);
  const int fd = frame.fd.get();
  if (isKeptPath(walk.plan, relative)) {
    walk.result.kept.push_back(relative);
    return stay(walk, index);
  }
  const bool leads = leadsToKeptPath(walk.plan, relative);
  if (isDirectoryType(entry.type) || leads) {
    switch (enter(walk, fd, entry.name, relative)) {
      case Opened::Entered:
      case Opened::Gone: return;
      case Opened::Stays: return stay(walk, index);
      case Opened::NotDirectory:
        if (!leads) break;
        // What leads to the kept path stays, whatever it is.
        walk.result.kept.push_back(relative);
        return stay(walk, index);
    }
  }
  removeEntry(walk, index, entry, relative);
}

// The last directory of the stack is empty: removes it, or lists it again
// when entries came meanwhile, or gives it back as it was when it stays.
void finishDirectory(Walk& walk) {
  const size_t index = walk.stack.size() - 1;
  Frame& frame = walk.stack[index];
  const int parentFd = index == 0 ? walk.parent : walk.stack[index - 1].fd.get();
  if (!frame.staying) {
    if (unlinkat(parentFd, frame.name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
      if (index == 0) walk.result.removedAll = true;
      walk.stack.pop_back();
      return;
    }
    int error = errno;
    if ((error == ENOTEMPTY || error == EEXIST) && ++frame.passes < LISTING_PASSES && listEntries(frame)) return;
    noteFailure(walk, frame.relative, error);
  }
  restore(frame);
  walk.stack.pop_back();
  if (!walk.stack.empty()) walk.stack.back().staying = true;
}

}  // namespace

RemovalResult removeTreeAt(int parent, const std::string& name, const RemovalPlan& plan) {
  Walk walk{plan, parent, 0, {}, {}};
  struct statx parentStatus;
  if (!statusOf(parent, &parentStatus)) {
    walk.result.error = errno;
    return walk.result;
  }
  walk.device = deviceOf(parentStatus);
  Opened opened = enter(walk, parent, name, "");
  if (opened == Opened::NotDirectory) noteFailure(walk, "", ENOTDIR);
  if (opened == Opened::Gone) noteFailure(walk, "", ENOENT);
  while (!walk.stack.empty()) {
    Frame& top = walk.stack.back();
    if (top.next < top.entries.size())
      visitNextEntry(walk, walk.stack.size() - 1);
    else
      finishDirectory(walk);
  }
  return walk.result;
}

namespace {

bool octalEscapeAt(const std::string& text, size_t at) {
  if (text[at] != '\\' || at + 3 >= text.size()) return false;
  for (size_t i = at + 1; i <= at + 3; ++i)
    if (text[i] < '0' || text[i] > '7') return false;
  return true;
}

// Mount points in mountinfo escape blanks, line ends and backslashes as a
// backslash and three octal digits.
std::string unescapeMountPath(const std::string& text) {
  std::string path;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!octalEscapeAt(text, i)) {
      path += text[i];
      continue;
    }
    path += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
    i += 3;
  }
  return path;
}

}  // namespace

std::vector<std::string> mountPointsBelow(const std::string& mountinfo, const std::string& directory) {
  std::vector<std::string> below;
  const std::string prefix = directory == "/" ? "/" : directory + "/";
  std::istringstream lines(mountinfo);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parentId, device, root, mountPoint;
    if (!(fields >> id >> parentId >> device >> root >> mountPoint)) continue;
    std::string path = unescapeMountPath(mountPoint);
    if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) below.push_back(path);
  }
  return below;
}

void allowDeepWalks() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}
