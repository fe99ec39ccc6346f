#include "fsutil/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t COPY_CHUNK = 4096;

// Owns a file descriptor; closes it unchecked when it goes. Where the close
// must be known to have landed, closeChecked() is called explicitly first.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // 0, or -1 with errno. On Linux the descriptor is gone even after a
  // failed close, so it is never closed twice.
  int closeChecked() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

// A path the operations accept: set and shorter than PATH_LIMIT. Otherwise
// errno tells why (EINVAL for a null path, ENAMETOOLONG).
bool usablePath(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (strnlen(path, PATH_LIMIT) >= PATH_LIMIT) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

const char* shown(const char* path) { return path ? path : ""; }

// Which step of a copy failed; errno-style code in CopyOutcome::error.
enum class CopyStep { Done, OpenSource, Irregular, OpenDestination, Read, Write, CloseDestination };

struct CopyOutcome {
  CopyStep step;
  int error;
};

CopyOutcome failedAt(CopyStep step, int error) { return {step, error}; }

// O_NONBLOCK keeps a FIFO given as source from blocking the open; it has no
// effect on the reads of the regular files that are actually copied.
int openSource(const char* source) {
  if (!usablePath(source)) return -1;
  return ::open(source, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

int openDestination(const char* destination, mode_t mode) {
  if (!usablePath(destination)) return -1;
  return ::open(destination, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, mode);
}

ssize_t readRetrying(int fd, char* buffer, size_t count) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Writes all `count` bytes, going on after interruptions and partial
// writes. 0, or the error of the write that failed; a write that moves no
// byte at all counts as an I/O error.
int writeAll(int fd, const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

// Moves exactly `size` bytes. A source that ends early (it shrank while
// being copied) is a read failure with EIO: a cut copy must not pass for a
// complete one.
CopyOutcome copyContents(int from, int to, off_t size) {
  char buffer[COPY_CHUNK];
  off_t remaining = size;
  while (remaining > 0) {
    size_t wanted = static_cast<size_t>(std::min<off_t>(remaining, COPY_CHUNK));
    ssize_t got = readRetrying(from, buffer, wanted);
    if (got < 0) return failedAt(CopyStep::Read, errno);
    if (got == 0) return failedAt(CopyStep::Read, EIO);
    if (int error = writeAll(to, buffer, static_cast<size_t>(got))) return failedAt(CopyStep::Write, error);
    remaining -= got;
  }
  return {CopyStep::Done, 0};
}

CopyOutcome copyRegularFile(const char* source, const char* destination, mode_t mode) {
  umask(022);
  FileDescriptor from(openSource(source));
  if (!from.valid()) return failedAt(CopyStep::OpenSource, errno);
  struct stat status;
  if (fstat(from.get(), &status) != 0) return failedAt(CopyStep::OpenSource, errno);
  if (!S_ISREG(status.st_mode)) return failedAt(CopyStep::Irregular, 0);

  FileDescriptor to(openDestination(destination, mode));
  if (!to.valid()) return failedAt(CopyStep::OpenDestination, errno);
  CopyOutcome outcome = copyContents(from.get(), to.get(), status.st_size);
  if (outcome.step != CopyStep::Done) return outcome;
  if (to.closeChecked() != 0) return failedAt(CopyStep::CloseDestination, errno);
  return outcome;
}

}  // namespace

Message copyFile(const char* source, const char* destination, mode_t mode) {
  CopyOutcome outcome = copyRegularFile(source, destination, mode);
  const char* error = std::strerror(outcome.error);
  switch (outcome.step) {
    case CopyStep::Done:
      return Message();
    case CopyStep::OpenSource:
      return errorMessage("ERR_FILE_OPEN_READ", {shown(source), error});
    case CopyStep::Irregular:
      return errorMessage("ERR_IRREGULAR_FILE", {shown(source)});
    case CopyStep::OpenDestination:
      return errorMessage("ERR_FILE_OPEN_WRITE", {shown(destination), error});
    case CopyStep::Read:
      return errorMessage("ERR_FILE_READ", {shown(source), error});
    case CopyStep::Write:
      return errorMessage("ERR_FILE_COPY", {shown(destination), shown(source), error});
    case CopyStep::CloseDestination:
      return errorMessage("ERR_FILE_WRITE", {shown(destination), error});
  }
  return errorMessage("ERR_FILE_COPY", {shown(destination), shown(source), error});
}

int copyFileQuiet(const char* source, const char* destination, mode_t mode) {
  CopyStep step = copyRegularFile(source, destination, mode).step;
  return step == CopyStep::Done || step == CopyStep::Irregular ? 0 : -1;
}

int makeDirectory(const char* path, mode_t mode) {
  if (!usablePath(path)) return -1;
  if (!pathExists(path) && mkdir(path, mode) != 0) return -1;
  // The umask may have weakened the creation mode; an existing path gets
  // the mode too. A directory left with another mode (0700 under a umask of
  // 077) must not pass for one made as asked.
  return chmod(path, mode) == 0 ? 0 : -1;
}

Message makeDirectoryPath(const char* path, mode_t mode) {
  if (!usablePath(path)) return errorMessage("ERR_MKDIR_FAILURE", {shown(path), std::strerror(errno)});
  char prefix[PATH_LIMIT];
  std::strcpy(prefix, path);
  // Scanning from the second byte keeps a leading "/" from giving an empty prefix.
  size_t scanFrom = 1;
  for (;;) {
    char* separator = prefix[0] ? std::strchr(prefix + scanFrom, '/') : nullptr;
    if (separator) *separator = '\0';
    struct stat status;
    if (stat(prefix, &status) != 0 && makeDirectory(prefix, mode) != 0)
      return errorMessage("ERR_MKDIR_FAILURE", {prefix, std::strerror(errno)});
    if (!separator) return Message();
    *separator = '/';
    scanFrom = static_cast<size_t>(separator - prefix) + 1;
  }
}

bool pathExists(const char* path) {
  if (!usablePath(path)) return false;
  struct stat status;
  return stat(path, &status) == 0;
}

bool formatPath(char (&buffer)[PATH_LIMIT], const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, PATH_LIMIT, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= PATH_LIMIT) {
    buffer[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}
