#include "fsutil/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t COPY_CHUNK = 4096;
constexpr mode_t COPY_UMASK = 022;

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

  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
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

// Opens `source` for a copy: it must be a regular file; its size goes to
// `size`. Sets the umask under which every copy is created.
CopyOutcome openCopySource(const char* source, FileDescriptor& from, off_t& size) {
  umask(COPY_UMASK);
  from.reset(openSource(source));
  if (!from.valid()) return failedAt(CopyStep::OpenSource, errno);
  struct stat status;
  if (fstat(from.get(), &status) != 0) return failedAt(CopyStep::OpenSource, errno);
  if (!S_ISREG(status.st_mode)) return failedAt(CopyStep::Irregular, 0);
  size = status.st_size;
  return {CopyStep::Done, 0};
}

CopyOutcome copyRegularFile(const char* source, const char* destination, mode_t mode) {
  FileDescriptor from(-1);
  off_t size = 0;
  CopyOutcome opened = openCopySource(source, from, size);
  if (opened.step != CopyStep::Done) return opened;
  FileDescriptor to(openDestination(destination, mode));
  if (!to.valid()) return failedAt(CopyStep::OpenDestination, errno);
  CopyOutcome outcome = copyContents(from.get(), to.get(), size);
  if (outcome.step != CopyStep::Done) return outcome;
  if (to.closeChecked() != 0) return failedAt(CopyStep::CloseDestination, errno);
  return outcome;
}

Message copyMessage(const CopyOutcome& outcome, const char* source, const char* destination) {
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

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// An unnamed file in `directory`, to be linked in under its name once
// whole. -1 with errno EOPNOTSUPP where that cannot work: a kernel or file
// system without O_TMPFILE, or no /proc to link the file in through.
int openUnnamedFile(const std::string& directory, mode_t mode) {
  if (!pathExists("/proc/self/fd")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0 && (errno == EISDIR || errno == EINVAL)) errno = EOPNOTSUPP;
  return fd;
}

// Names the unnamed file `fd`; fails with EEXIST when `destination` exists.
int linkUnnamedFile(int fd, const char* destination) {
  char handle[64];
  std::snprintf(handle, sizeof handle, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, handle, AT_FDCWD, destination, AT_SYMLINK_FOLLOW);
}

// Ends the placing of a whole copy: `linked` is the result of giving it its
// name (errno still that call's). A destination that existed is kept; a
// close that fails after the naming takes the name away again, since the
// file may not hold what was written.
Message finishNamedCopy(FileDescriptor& copy, const char* destination, int linked) {
  if (linked != 0) {
    if (errno == EEXIST) return Message();
    return errorMessage("ERR_FILE_WRITE", {destination, std::strerror(errno)});
  }
  if (copy.closeChecked() == 0) return Message();
  int error = errno;
  unlink(destination);
  return errorMessage("ERR_FILE_WRITE", {destination, std::strerror(error)});
}

// A mkdir that failed with EEXIST after the check found nothing: another
// run made the directory in between, which is as good as making it.
bool madeMeanwhile(const char* path) {
  if (errno != EEXIST) return false;
  struct stat status;
  if (stat(path, &status) == 0 && S_ISDIR(status.st_mode)) return true;
  errno = EEXIST;
  return false;
}

Message openSourceToPlace(const char* source, const char* destination, FileDescriptor& from, off_t& size) {
  if (!usablePath(destination)) return errorMessage("ERR_FILE_OPEN_WRITE", {shown(destination), std::strerror(errno)});
  return copyMessage(openCopySource(source, from, size), source, destination);
}

Message placeUnderTemporaryName(FileDescriptor& from, off_t size, const char* source, const char* destination,
                                mode_t mode) {
  std::string temporary = directoryOf(destination) + "/.copy.XXXXXX";
  FileDescriptor copy(mkostemp(&temporary[0], O_CLOEXEC));
  if (!copy.valid()) return errorMessage("ERR_FILE_OPEN_WRITE", {destination, std::strerror(errno)});
  Message failure = copyMessage(copyContents(from.get(), copy.get(), size), source, destination);
  if (!failure && fchmod(copy.get(), mode & ~COPY_UMASK) != 0)
    failure = errorMessage("ERR_FILE_WRITE", {destination, std::strerror(errno)});
  if (!failure) failure = finishNamedCopy(copy, destination, link(temporary.c_str(), destination));
  unlink(temporary.c_str());
  return failure;
}

}  // namespace

Message copyFile(const char* source, const char* destination, mode_t mode) {
  return copyMessage(copyRegularFile(source, destination, mode), source, destination);
}

Message copyFileIfAbsent(const char* source, const char* destination, mode_t mode) {
  FileDescriptor from(-1);
  off_t size = 0;
  if (Message failure = openSourceToPlace(source, destination, from, size)) return failure;
  FileDescriptor copy(openUnnamedFile(directoryOf(destination), mode));
  if (!copy.valid()) {
    if (errno == EOPNOTSUPP) return placeUnderTemporaryName(from, size, source, destination, mode);
    return errorMessage("ERR_FILE_OPEN_WRITE", {destination, std::strerror(errno)});
  }
  if (Message failure = copyMessage(copyContents(from.get(), copy.get(), size), source, destination)) return failure;
  return finishNamedCopy(copy, destination, linkUnnamedFile(copy.get(), destination));
}

Message copyFileIfAbsentByTemporaryName(const char* source, const char* destination, mode_t mode) {
  FileDescriptor from(-1);
  off_t size = 0;
  if (Message failure = openSourceToPlace(source, destination, from, size)) return failure;
  return placeUnderTemporaryName(from, size, source, destination, mode);
}

int copyFileQuiet(const char* source, const char* destination, mode_t mode) {
  CopyStep step = copyRegularFile(source, destination, mode).step;
  return step == CopyStep::Done || step == CopyStep::Irregular ? 0 : -1;
}

int makeDirectory(const char* path, mode_t mode) {
  if (!usablePath(path)) return -1;
  if (!pathExists(path) && mkdir(path, mode) != 0 && !madeMeanwhile(path)) return -1;
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
