// SPDX-License-Identifier: GPL-3.0-or-later
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

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"

namespace {

constexpr size_t COPY_CHUNK = 4096;
constexpr mode_t COPY_UMASK = 022;

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
enum class CopyStep { Done, OpenSource, Irregular, OpenDestination, SameFile, Read, Write, CloseDestination };

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

// Opened without truncating it: the destination is emptied only once it is
// known not to be the source itself.
int openDestination(const char* destination, mode_t mode) {
  if (!usablePath(destination)) return -1;
  return ::open(destination, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, mode);
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

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

// Opens `source` for a copy: it must be a regular file; its status goes to
// `status` (the size to copy among it). Sets the umask under which every
// copy is created.
CopyOutcome openCopySource(const char* source, Descriptor& from, struct stat& status) {
  umask(COPY_UMASK);
  switch (openRegularFile(source, &from, &status)) {
    case RegularFile::Opened: return {CopyStep::Done, 0};
    case RegularFile::Irregular: return failedAt(CopyStep::Irregular, 0);
    case RegularFile::Unopened: break;
  }
  return failedAt(CopyStep::OpenSource, errno);
}

// Empties the destination `to` held open, as O_TRUNC would (a device is
// left as it is), unless it is the source (of status `source`): a copy onto
// itself would be emptied before it is read.
CopyOutcome emptyDestination(int to, const struct stat& source) {
  struct stat status;
  if (fstat(to, &status) != 0) return failedAt(CopyStep::OpenDestination, errno);
  if (sameFile(status, source)) return failedAt(CopyStep::SameFile, 0);
  if (S_ISREG(status.st_mode) && ftruncate(to, 0) != 0) return failedAt(CopyStep::OpenDestination, errno);
  return {CopyStep::Done, 0};
}

// Copies `size` bytes into `to` and closes it, checked: a copy is finished
// only when its close has landed.
CopyOutcome copyAndClose(int from, Descriptor& to, off_t size) {
  CopyOutcome outcome = copyContents(from, to.get(), size);
  if (outcome.step != CopyStep::Done) return outcome;
  if (to.closeChecked() != 0) return failedAt(CopyStep::CloseDestination, errno);
  return outcome;
}

CopyOutcome copyRegularFile(const char* source, const char* destination, mode_t mode) {
  Descriptor from;
  struct stat status;
  CopyOutcome opened = openCopySource(source, from, status);
  if (opened.step != CopyStep::Done) return opened;
  Descriptor to(openDestination(destination, mode));
  if (!to.valid()) return failedAt(CopyStep::OpenDestination, errno);
  CopyOutcome emptied = emptyDestination(to.get(), status);
  if (emptied.step != CopyStep::Done) return emptied;
  return copyAndClose(from.get(), to, status.st_size);
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
    case CopyStep::SameFile:
      return errorMessage("ERR_SAME_FILE", {shown(destination), shown(source)});
    case CopyStep::Read:
      return errorMessage("ERR_FILE_READ", {shown(source), error});
    case CopyStep::Write:
      return errorMessage("ERR_FILE_COPY", {shown(destination), shown(source), error});
    case CopyStep::CloseDestination:
      return errorMessage("ERR_FILE_WRITE", {shown(destination), error});
  }
  return errorMessage("ERR_FILE_COPY", {shown(destination), shown(source), error});
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

// Where a copy is placed: an entry of a directory held open.
struct Place {
  int directory;
  const char* name;
  const char* shown;  // the destination's path, for messages
};

Message placeFailure(const char* key, const Place& place, int error) {
  return errorMessage(key, {place.shown, std::strerror(error)});
}

// Root gives an unnamed file its name through the descriptor itself; an
// ordinary user needs /proc for that.
bool canNameUnnamedFiles() { return geteuid() == 0 || pathExists("/proc/self/fd"); }

// An unnamed file in the directory, to be linked in under its name once
// whole. -1 with errno EOPNOTSUPP where that cannot work: a kernel or file
// system without O_TMPFILE, or no way to name the file afterwards.
int openUnnamedFile(int directory, mode_t mode) {
  if (!canNameUnnamedFiles()) {
    errno = EOPNOTSUPP;
    return -1;
  }
  int fd = openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0 && (errno == EISDIR || errno == EINVAL || errno == EOPNOTSUPP)) errno = EOPNOTSUPP;
  return fd;
}

// Names the unnamed file `fd`; fails with EEXIST when the name is taken.
int linkUnnamedFile(int fd, const Place& place) {
  if (linkat(fd, "", place.directory, place.name, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT && errno != EPERM) return -1;
  char handle[64];
  std::snprintf(handle, sizeof handle, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, handle, place.directory, place.name, AT_SYMLINK_FOLLOW);
}

// Ends the placing of a whole copy: `linked` is the result of giving it its
// name (errno still that call's). A destination that existed is kept; a
// close that fails after the naming takes the name away again, since the
// file may not hold what was written.
Message finishNamedCopy(Descriptor& copy, const Place& place, int linked) {
  if (linked != 0) {
    if (errno == EEXIST) return Message();
    return placeFailure("ERR_FILE_WRITE", place, errno);
  }
  if (copy.closeChecked() == 0) return Message();
  int error = errno;
  unlinkat(place.directory, place.name, 0);
  return placeFailure("ERR_FILE_WRITE", place, error);
}

// A fresh file of a name nobody can guess, beside the destination.
int createTemporaryFile(int directory, std::string* name) {
  static const char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char noise[6];
    if (getentropy(noise, sizeof noise) != 0) return -1;
    *name = ".copy.";
    for (unsigned char c : noise) *name += LETTERS[c % (sizeof LETTERS - 1)];
    int fd = openat(directory, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

Message placeUnderTemporaryName(Descriptor& from, off_t size, const char* source, const Place& place, mode_t mode) {
  std::string temporary;
  Descriptor copy(createTemporaryFile(place.directory, &temporary));
  if (!copy.valid()) return placeFailure("ERR_FILE_OPEN_WRITE", place, errno);
  Message failure = copyMessage(copyContents(from.get(), copy.get(), size), source, place.shown);
  if (!failure && fchmod(copy.get(), mode & ~COPY_UMASK) != 0) failure = placeFailure("ERR_FILE_WRITE", place, errno);
  if (!failure)
    failure = finishNamedCopy(copy, place, linkat(place.directory, temporary.c_str(), place.directory, place.name, 0));
  unlinkat(place.directory, temporary.c_str(), 0);
  return failure;
}

Message placeUnnamed(Descriptor& from, off_t size, const char* source, const Place& place, mode_t mode) {
  Descriptor copy(openUnnamedFile(place.directory, mode));
  if (!copy.valid()) {
    if (errno == EOPNOTSUPP) return placeUnderTemporaryName(from, size, source, place, mode);
    return placeFailure("ERR_FILE_OPEN_WRITE", place, errno);
  }
  if (Message failure = copyMessage(copyContents(from.get(), copy.get(), size), source, place.shown)) return failure;
  return finishNamedCopy(copy, place, linkUnnamedFile(copy.get(), place));
}

enum class Placing { Unnamed, TemporaryName };

Message placeIfAbsent(const char* source, const Place& place, mode_t mode, Placing how) {
  Descriptor from;
  struct stat status;
  if (Message failure = copyMessage(openCopySource(source, from, status), source, place.shown)) return failure;
  if (how == Placing::TemporaryName) return placeUnderTemporaryName(from, status.st_size, source, place, mode);
  return placeUnnamed(from, status.st_size, source, place, mode);
}

Message placeIfAbsentByPath(const char* source, const char* destination, mode_t mode, Placing how) {
  if (!usablePath(destination)) return errorMessage("ERR_FILE_OPEN_WRITE", {shown(destination), std::strerror(errno)});
  std::string name = lastComponentOf(destination);
  Descriptor directory(::open(parentOf(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return errorMessage("ERR_FILE_OPEN_WRITE", {destination, std::strerror(errno)});
  return placeIfAbsent(source, {directory.get(), name.c_str(), destination}, mode, how);
}

// The failure of reaching `name` in `directory` with O_NOFOLLOW: a link is
// refused as such, anything else reported with the open's own error.
Message reachFailure(int directory, const std::string& name, const std::string& path, const char* destination,
                     int error) {
  struct stat status;
  if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
    return linkRefusal(directory, status, path.c_str());
  return errorMessage("ERR_FILE_OPEN_WRITE", {destination, std::strerror(error)});
}

// An existing entry a copy may replace: a regular file with no other name,
// which might be another user's file kept elsewhere.
Message replaceableProblem(const Place& place, const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return errorMessage("ERR_IRREGULAR_FILE", {place.shown});
  if (status.st_nlink > 1) return linkRefusal(place.directory, status, place.shown);
  return Message();
}

// Opens the regular file that a copy of `source` (of status `sourceStatus`)
// replaces or creates, and empties it: never a link, never a file that has
// other names as well, never the source itself.
Message openPlainDestination(const char* source, const struct stat& sourceStatus, const Place& place, mode_t mode,
                             Descriptor& to) {
  to.reset(openat(place.directory, place.name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                  mode));
  if (!to.valid()) return reachFailure(place.directory, place.name, place.shown, place.shown, errno);
  struct stat status;
  if (fstat(to.get(), &status) != 0) return placeFailure("ERR_FILE_OPEN_WRITE", place, errno);
  if (sameFile(status, sourceStatus)) return errorMessage("ERR_SAME_FILE", {place.shown, source});
  if (Message problem = replaceableProblem(place, status)) return problem;
  if (ftruncate(to.get(), 0) != 0) return placeFailure("ERR_FILE_OPEN_WRITE", place, errno);
  return Message();
}

// What openPlainDestination would meet, found without opening anything.
Message checkPlainDestination(const char* source, const struct stat& sourceStatus, const Place& place) {
  struct stat status;
  if (fstatat(place.directory, place.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return placeFailure("ERR_FILE_OPEN_WRITE", place, errno);
    if (faccessat(place.directory, ".", W_OK | X_OK, AT_EACCESS) != 0)
      return placeFailure("ERR_FILE_OPEN_WRITE", place, errno);
    return Message();
  }
  if (S_ISLNK(status.st_mode)) return linkRefusal(place.directory, status, place.shown);
  if (sameFile(status, sourceStatus)) return errorMessage("ERR_SAME_FILE", {place.shown, source});
  if (Message problem = replaceableProblem(place, status)) return problem;
  if (faccessat(place.directory, place.name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
    return placeFailure("ERR_FILE_OPEN_WRITE", place, errno);
  return Message();
}

// The directory of `name` below `base`, each directory on the way opened
// without following a link; the last component of `name` in `last`.
Message reachBelow(int base, const std::string& shownBase, const std::string& name, Descriptor& held,
                   int* directory, std::string* last) {
  const std::string destination = shownBase + "/" + name;
  *directory = base;
  std::string reached = shownBase;
  size_t start = 0;
  for (size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    std::string component = name.substr(start, slash - start);
    reached += "/" + component;
    if (component.empty() || component == ".") continue;
    int next = openat(*directory, component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return reachFailure(*directory, component, reached, destination.c_str(), errno);
    held.reset(next);
    *directory = next;
  }
  *last = name.substr(start);
  return Message();
}

Message copyInto(const char* source, const Place& place, mode_t mode) {
  Descriptor from;
  struct stat status;
  CopyOutcome opened = openCopySource(source, from, status);
  if (opened.step != CopyStep::Done) return copyMessage(opened, source, place.shown);
  Descriptor to;
  if (Message failure = openPlainDestination(source, status, place, mode, to)) return failure;
  return copyMessage(copyAndClose(from.get(), to, status.st_size), source, place.shown);
}

}  // namespace

RegularFile openRegularFile(const char* path, Descriptor* file, struct stat* status) {
  file->reset(openSource(path));
  struct stat seen;
  if (!file->valid() || fstat(file->get(), &seen) != 0) return RegularFile::Unopened;
  if (status) *status = seen;
  return S_ISREG(seen.st_mode) ? RegularFile::Opened : RegularFile::Irregular;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Message checkCopySource(const char* source) {
  Descriptor from;
  struct stat status;
  return copyMessage(openCopySource(source, from, status), source, nullptr);
}

Message copyFile(const char* source, const char* destination, mode_t mode) {
  return copyMessage(copyRegularFile(source, destination, mode), source, destination);
}

Message copyFileIfAbsent(const char* source, const char* destination, mode_t mode) {
  return placeIfAbsentByPath(source, destination, mode, Placing::Unnamed);
}

Message copyFileIfAbsentByTemporaryName(const char* source, const char* destination, mode_t mode) {
  return placeIfAbsentByPath(source, destination, mode, Placing::TemporaryName);
}

Message copyFileIfAbsentIn(const char* source, int directory, const char* name, const char* shownDestination,
                           mode_t mode) {
  return placeIfAbsent(source, {directory, name, shownDestination}, mode, Placing::Unnamed);
}

Message copyFileBelow(const char* source, int base, const std::string& shownBase, const std::string& name,
                      mode_t mode) {
  const std::string destination = shownBase + "/" + name;
  Descriptor held;
  int directory = -1;
  std::string last;
  if (Message failure = reachBelow(base, shownBase, name, held, &directory, &last)) return failure;
  return copyInto(source, {directory, last.c_str(), destination.c_str()}, mode);
}

Message checkCopyBelow(const char* source, int base, const std::string& shownBase, const std::string& name) {
  Descriptor from;
  struct stat status;
  if (Message problem = copyMessage(openCopySource(source, from, status), source, nullptr)) return problem;
  const std::string destination = shownBase + "/" + name;
  Descriptor held;
  int directory = -1;
  std::string last;
  if (Message failure = reachBelow(base, shownBase, name, held, &directory, &last)) return failure;
  return checkPlainDestination(source, status, {directory, last.c_str(), destination.c_str()});
}

Message checkCopyIfAbsentIn(const char* source, int directory, const char* name, const char* shownDestination) {
  if (Message problem = checkCopySource(source)) return problem;
  struct stat status;
  if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0) return Message();  // kept as it is
  if (errno != ENOENT || faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) != 0)
    return errorMessage("ERR_FILE_OPEN_WRITE", {shownDestination, std::strerror(errno)});
  return Message();
}

int replaceFileAt(int directory, const char* temporary, const char* name, const std::string& text, mode_t mode) {
  unlinkat(directory, temporary, 0);  // left by a run that died here
  int error = 0;
  {
    Descriptor file(openat(directory, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file.valid()) return errno;
    // The mode exactly, whatever the umask.
    if ((error = writeAll(file.get(), text.data(), text.size())) == 0 &&
        (fchmod(file.get(), mode) != 0 || fsync(file.get()) != 0 || file.closeChecked() != 0))
      error = errno;
  }
  if (error == 0 && renameat(directory, temporary, directory, name) != 0) error = errno;
  if (error != 0) {
    unlinkat(directory, temporary, 0);
    return error;
  }
  // A directory opened with O_PATH cannot be synced; it is then left to the caller.
  if (fsync(directory) != 0 && errno != EBADF && errno != EINVAL) return errno;
  return 0;
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

Message checkPathLength(const std::string& path) {
  if (path.size() < PATH_LIMIT) return Message();
  return errorMessage("ERR_PATH_TOO_LONG", {path.c_str(), std::to_string(path.size()).c_str(),
                                            std::to_string(PATH_LIMIT - 1).c_str()});
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
