// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/script_rotation.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fsutil/directories.h"
#include "instance/on_disk.h"
#include "instance/server_process.h"
#include "instancectl/script_text.h"

namespace {

// The most digits a rotation's number has.
constexpr size_t NUMBER_DIGITS = 8;

bool allDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A rotation's number: digits, no leading 0, at most NUMBER_DIGITS.
bool rotationNumber(const std::string& text, long* number) {
  if (!allDigits(text) || text[0] == '0' || text.size() > NUMBER_DIGITS) return false;
  *number = std::stol(text);
  return true;
}

// YYYYMMDD-HHMMSS
bool isStamp(const std::string& text) {
  return text.size() == 15 && text[8] == '-' && allDigits(text.substr(0, 8)) && allDigits(text.substr(9));
}

struct Rotation {
  std::string stamp;
  long number;
  std::string name;
};

// The names in the directory held as `directory`, with plain files alone
// when `plainOnly`.
std::vector<std::string> namesIn(int directory, bool plainOnly) {
  std::vector<std::string> names;
  DirectoryListing listing = openListing(directory, ".");
  while (const dirent* entry = listing ? readdir(listing.get()) : nullptr) {
    struct stat status;
    if (plainOnly && (fstatat(directory, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)))
      continue;
    names.push_back(entry->d_name);
  }
  return names;
}

// Moves LOGS/LOG aside under a name nothing has: true when it is done, or
// when there is no log to move.
bool rotate(const ControlRun& run, int logs, const std::string& log, const std::string& stamp) {
  struct stat status;
  if (fstatat(logs, log.c_str(), &status, 0) != 0 || !S_ISREG(status.st_mode)) return true;
  const std::string path = run.inLogs(log);
  for (int number = nextRotationNumber(namesIn(logs, false), log, stamp); number < NAMES_PER_SECOND; ++number) {
    const std::string rotated = log + "." + stamp + (number == 0 ? "" : "." + std::to_string(number));
    if (linkat(logs, log.c_str(), logs, rotated.c_str(), 0) == 0) {
      if (unlinkat(logs, log.c_str(), 0) != 0) {
        complain(run.name(), Say::CannotRemove, {path, std::strerror(errno)});
        return false;
      }
      report(Say::Rotated, {path, rotated});
      return true;
    }
    const int error = errno;
    if (fstatat(logs, rotated.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      complain(run.name(), Say::CannotLinkLog, {path, run.inLogs(rotated), std::strerror(error)});
      return false;
    }
  }
  complain(run.name(), Say::NamesTaken,
           {path, log + "." + stamp + "." + std::to_string(NAMES_PER_SECOND - 1)});
  return false;
}

// Tells a running server to reopen its logs: false, said, when it could
// not be told, or whether it runs cannot be told.
bool tellServer(const ControlRun& run, int logs) {
  const PinnedServer server = pinServer(logs, run.owner);
  const std::string lock = run.inLogs(SERVER_LOCK_NAME);
  const std::string pid = std::to_string(server.status.pid);
  switch (server.status.state) {
    case ServerState::Stopped:
      return true;
    case ServerState::Foreign:
      complain(run.name(), Say::NotToldForeign, {lock, pid, processNameOf(server.status.pid)});
      return false;
    case ServerState::Unknown:
      complain(run.name(), Say::NotToldUnknown, {run.settings.instanceDir, lock, std::strerror(server.status.error)});
      return false;
    case ServerState::Running:
      break;
  }
  const int error = signalPinned(server, SIGUSR1);
  if (error == 0 || error == ESRCH) return true;
  complain(run.name(), Say::CannotSignal, {"SIGUSR1", pid, processNameOf(server.status.pid), std::strerror(error)});
  return false;
}

// Removes all but the newest `keep` rotations of `log`, naming each.
bool prune(const ControlRun& run, int logs, const std::string& log, int keep) {
  const std::vector<std::string> rotations = rotationsNewestFirst(namesIn(logs, true), log);
  bool done = true;
  for (size_t at = static_cast<size_t>(keep); at < rotations.size(); ++at) {
    const std::string path = run.inLogs(rotations[at]);
    if (unlinkat(logs, rotations[at].c_str(), 0) != 0 && errno != ENOENT) {
      complain(run.name(), Say::CannotRemove, {path, std::strerror(errno)});
      done = false;
    } else {
      report(Say::RemovedRotation, {path, std::to_string(keep)});
    }
  }
  return done;
}

}  // namespace

std::string rotationStamp(std::time_t when) {
  tzset();
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

int nextRotationNumber(const std::vector<std::string>& names, const std::string& log, const std::string& stamp) {
  const std::string plain = log + "." + stamp;
  long highest = -1, number = 0;
  for (const std::string& name : names) {
    if (name == plain)
      highest = std::max(highest, 0L);
    else if (name.compare(0, plain.size() + 1, plain + ".") == 0 && rotationNumber(name.substr(plain.size() + 1), &number))
      highest = std::max(highest, number);
  }
  return static_cast<int>(std::min<long>(highest + 1, NAMES_PER_SECOND));
}

std::vector<std::string> rotationsNewestFirst(const std::vector<std::string>& names, const std::string& log) {
  std::vector<Rotation> rotations;
  const std::string prefix = log + ".";
  for (const std::string& name : names) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const size_t dot = rest.find('.');
    Rotation rotation{rest.substr(0, dot), 0, name};
    if (!isStamp(rotation.stamp)) continue;
    if (dot != std::string::npos && !rotationNumber(rest.substr(dot + 1), &rotation.number)) continue;
    rotations.push_back(rotation);
  }
  std::sort(rotations.begin(), rotations.end(), [](const Rotation& a, const Rotation& b) {
    return a.stamp != b.stamp ? a.stamp > b.stamp : a.number > b.number;
  });
  std::vector<std::string> newestFirst;
  for (const Rotation& rotation : rotations) newestFirst.push_back(rotation.name);
  return newestFirst;
}

int rotateLogs(ControlRun& run) {
  Descriptor logs;
  if (int error = openLogs(run, &logs); error != 0) {
    if (error == ENOENT) return 0;  // no logs, nothing to rotate
    complain(run.name(), Say::CannotOpenLogs, {run.settings.instanceDir + "/" + PID_DIRECTORY, std::strerror(error)});
    return 1;
  }
  const std::string stamp = rotationStamp(std::time(nullptr));
  bool done = true;
  for (const char* log : ROTATED_LOGS) done = rotate(run, logs.get(), log, stamp) && done;
  done = tellServer(run, logs.get()) && done;
  if (run.options.keep > 0)
    for (const char* log : ROTATED_LOGS) done = prune(run, logs.get(), log, run.options.keep) && done;
  return done ? 0 : 1;
}
