// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fsutil/directories.h"

namespace {

bool ownPlainFile(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() && status.st_nlink == 1;
}

double secondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Polls rather than blocking under an alarm, which could fire before the
// blocking call starts and leave it waiting for ever. The turns of other
// runs last a fraction of a second, so short naps keep the wait short.
bool takeWithin(int fd, int waitSeconds) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  long napMicroseconds = 1000;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (secondsSince(start) >= waitSeconds) {
      errno = ETIMEDOUT;
      return false;
    }
    usleep(static_cast<useconds_t>(napMicroseconds));
    if (napMicroseconds < 20000) napMicroseconds *= 2;
  }
}

// Opens the lock file `name` of the directory held as `directory` (made
// when missing, or, for a check, only looked at), and proves it a plain
// file of this user with one name. `lock` stays invalid when a check finds
// no file but a directory the file could be made in.
Message openLockFile(int directory, const char* name, const std::string& path, bool create, Descriptor* lock) {
  // Read-only is enough for flock; 0600 keeps other users from opening the
  // file and holding the lock against this user's runs.
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT : 0);
  lock->reset(openat(directory, name, flags, 0600));
  if (!lock->valid()) {
    int error = errno;
    // A link or a directory in the lock's place: what a check finds opening
    // it without O_CREAT, said in the same words.
    if (error == ELOOP || error == EISDIR) return errorMessage("ERR_UNSAFE_LOCK", {path.c_str()});
    if (error == ENOENT && !create) {  // a creation would make it here
      if (faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) == 0) return Message();
      error = errno;
    }
    return errorMessage("ERR_FILE_OPEN_WRITE", {path.c_str(), std::strerror(error)});
  }
  if (!ownPlainFile(lock->get())) return errorMessage("ERR_UNSAFE_LOCK", {path.c_str()});
  return Message();
}

std::string lockPath(const char* directory, const char* name) {
  return std::string(directory ? directory : "") + "/" + name;
}

Message openLock(const char* directoryPath, const char* name, bool create, Descriptor* lock) {
  const std::string path = lockPath(directoryPath, name);
  Descriptor directory;
  std::string unsafe;
  if (openDirectoryPath(directoryPath, &directory, &unsafe) != 0) {
    if (!unsafe.empty()) return errorMessage("ERR_UNSAFE_LINK", {unsafe.c_str()});
    return errorMessage("ERR_FILE_OPEN_WRITE", {path.c_str(), std::strerror(errno)});
  }
  return openLockFile(directory.get(), name, path, create, lock);
}

}  // namespace

Message lockFileIn(const char* directory, const char* name, Descriptor* held, int waitSeconds) {
  Descriptor lock;
  if (Message failure = openLock(directory, name, true, &lock)) return failure;
  if (!takeWithin(lock.get(), waitSeconds)) {
    const std::string path = lockPath(directory, name);
    if (errno == ETIMEDOUT) return errorMessage("ERR_LOCK_TIMEOUT", {path.c_str(), std::to_string(waitSeconds).c_str()});
    return errorMessage("ERR_FILE_OPEN_WRITE", {path.c_str(), std::strerror(errno)});
  }
  *held = std::move(lock);
  return Message();
}

Message checkLockFileIn(const char* directory, const char* name) {
  Descriptor lock;
  return openLock(directory, name, false, &lock);
}
