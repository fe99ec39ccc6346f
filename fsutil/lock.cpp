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

}  // namespace

Message lockInstancesRoot(const char* instancesRoot, Descriptor* held, int waitSeconds) {
  const std::string path = std::string(instancesRoot ? instancesRoot : "") + "/" + INSTANCES_LOCK_FILE;
  Descriptor directory;
  std::string unsafe;
  if (openDirectoryPath(instancesRoot, &directory, &unsafe) != 0) {
    if (!unsafe.empty()) return errorMessage("ERR_UNSAFE_LINK", {unsafe.c_str()});
    return errorMessage("ERR_FILE_OPEN_WRITE", {path.c_str(), std::strerror(errno)});
  }
  // Read-only is enough for flock; 0600 keeps other users from opening the
  // file and holding the lock against this user's runs.
  Descriptor lock(openat(directory.get(), INSTANCES_LOCK_FILE,
                         O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
  if (!lock.valid() && errno == ELOOP) return errorMessage("ERR_UNSAFE_LOCK", {path.c_str()});
  if (!lock.valid()) return errorMessage("ERR_FILE_OPEN_WRITE", {path.c_str(), std::strerror(errno)});
  if (!ownPlainFile(lock.get())) return errorMessage("ERR_UNSAFE_LOCK", {path.c_str()});
  if (!takeWithin(lock.get(), waitSeconds)) {
    if (errno == ETIMEDOUT) return errorMessage("ERR_LOCK_TIMEOUT", {path.c_str(), std::to_string(waitSeconds).c_str()});
    return errorMessage("ERR_FILE_OPEN_WRITE", {path.c_str(), std::strerror(errno)});
  }
  *held = std::move(lock);
  return Message();
}
