// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "fsutil/descriptor.h"
#include "fsutil/reading.h"
#include "instance/on_disk.h"

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// /proc/locks of a machine with very many locks stays below this.
constexpr size_t PROC_LOCKS_LIMIT = 16 * 1024 * 1024;

// A whole decimal or hexadecimal number of `text`, in `value`.
bool wholeNumber(const std::string& text, int base, unsigned long long* value) {
  if (text.empty() || text.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text.c_str(), &end, base);
  return errno == 0 && *end == '\0' && text.find_first_of("+- ") == std::string::npos;
}

// "MAJOR:MINOR:INODE", the first two hexadecimal, as /proc/locks writes them.
bool sameFileField(const std::string& field, dev_t device, ino_t inode) {
  const size_t first = field.find(':');
  const size_t second = first == std::string::npos ? first : field.find(':', first + 1);
  if (second == std::string::npos) return false;
  unsigned long long major = 0, minor = 0, number = 0;
  return wholeNumber(field.substr(0, first), 16, &major) &&
         wholeNumber(field.substr(first + 1, second - first - 1), 16, &minor) &&
         wholeNumber(field.substr(second + 1), 10, &number) && major == major(device) && minor == minor(device) &&
         number == inode;
}

// The pid field of a lock line: a number, or -1 (an open-file-description lock).
bool pidField(const std::string& field, pid_t* pid) {
  if (field == "-1") {
    *pid = -1;
    return true;
  }
  unsigned long long value = 0;
  if (!wholeNumber(field, 10, &value) || value > 0x7fffffff) return false;
  *pid = static_cast<pid_t>(value);
  return true;
}

ServerStatus unknown(int error, pid_t pid = 0) {
  ServerStatus status;
  status.error = error;
  status.pid = pid;
  return status;
}

}  // namespace

LockHolder lockHolderIn(const std::string& procLocks, dev_t device, ino_t inode) {
  LockHolder found;
  bool foundWrite = false;
  std::istringstream lines(procLocks);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string number, kind, advice, mode, pid, file;
    words >> number >> kind;
    if (kind == "->") continue;  // a lock that waits holds nothing
    words >> advice >> mode >> pid >> file;
    pid_t holder = 0;
    if (!sameFileField(file, device, inode) || !pidField(pid, &holder)) continue;
    const bool write = mode == "WRITE";
    if (found.held && (foundWrite || !write)) continue;
    found = {true, holder};
    foundWrite = write;
  }
  return found;
}

bool statusShowsProcessOf(const std::string& status, uid_t owner) {
  std::istringstream lines(status);
  bool live = false, owned = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string field;
    words >> field;
    if (field == "State:") {
      std::string state;
      words >> state;
      // A zombie has ended and only waits for its parent; X is a dying task.
      live = !state.empty() && state != "Z" && state != "X";
    } else if (field == "Uid:") {
      int count = 0;
      owned = true;
      for (std::string id; words >> id; ++count) {
        unsigned long long value = 0;
        owned = owned && wholeNumber(id, 10, &value) && value == owner;
      }
      owned = owned && count == 4;
    }
  }
  return live && owned;
}

ServerStatus probeServerInLogs(int logs, uid_t owner) {
  struct stat lockFile;
  if (fstatat(logs, SERVER_LOCK_NAME, &lockFile, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return ServerStatus{ServerState::Stopped, 0, 0};
    return unknown(errno);
  }
  Descriptor proc(open("/proc", PASSAGE));
  std::string locks;
  if (!proc.valid()) return unknown(errno);
  if (ReadOutcome read = readSmallFileAt(proc.get(), "locks", PROC_LOCKS_LIMIT, &locks); !read)
    return unknown(read.refusal == ReadRefusal::System ? read.error : EIO);
  const LockHolder holder = lockHolderIn(locks, lockFile.st_dev, lockFile.st_ino);
  if (!holder.held) return ServerStatus{ServerState::Stopped, 0, 0};
  // An open-file-description lock or a holder out of sight: held, by whom is not known.
  if (holder.pid <= 0) return unknown(ESRCH);
  Descriptor process(open(("/proc/" + std::to_string(holder.pid)).c_str(), PASSAGE));
  std::string status;
  if (!process.valid()) return unknown(errno, holder.pid);
  if (ReadOutcome read = readSmallFileAt(process.get(), "status", SMALL_FILE_LIMIT, &status); !read)
    return unknown(read.refusal == ReadRefusal::System ? read.error : EIO, holder.pid);
  const ServerState state = statusShowsProcessOf(status, owner) ? ServerState::Running : ServerState::Foreign;
  return ServerStatus{state, holder.pid, 0};
}

ServerStatus probeServer(int instance, uid_t owner) {
  Descriptor logs(openat(instance, PID_DIRECTORY, PASSAGE));
  if (!logs.valid()) {
    if (errno == ENOENT) return ServerStatus{ServerState::Stopped, 0, 0};
    return unknown(errno == ELOOP || errno == ENOTDIR ? ENOTDIR : errno);
  }
  return probeServerInLogs(logs.get(), owner);
}
