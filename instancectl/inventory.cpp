#include "instancectl/inventory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/reading.h"
#include "instancectl/unit.h"
#include "provision/answers.h"

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A pid file holds one number; anything longer is not one.
constexpr size_t PID_FILE_LIMIT = 64;
// The most of a command line the kernel lets a program be given.
constexpr size_t COMMAND_LINE_LIMIT = 2 * 1024 * 1024;

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool entryIs(int directory, const char* name, mode_t type) {
  struct stat status;
  return fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && (status.st_mode & S_IFMT) == type;
}

// An instance made before records were kept still has its configuration
// directory and its start script.
bool looksLikeInstance(int instance) {
  Descriptor bin(openat(instance, "bin", PASSAGE));
  return entryIs(instance, "config", S_IFDIR) && bin.valid() && entryIs(bin.get(), "startserv", S_IFREG);
}

bool noRecord(const ReadOutcome& outcome) {
  return outcome.refusal == ReadRefusal::System && outcome.error == ENOENT;
}

uid_t ownerOf(int instance) {
  struct stat status;
  if (fstatat(instance, "config", &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode))
    return status.st_uid;
  if (fstat(instance, &status) == 0) return status.st_uid;
  return static_cast<uid_t>(-1);
}

InstanceState stateOf(const InstanceInfo& info) {
  if (info.broken) return InstanceState::Broken;
  if (!info.recordRead) return InstanceState::Unknown;
  return info.pid ? InstanceState::Running : InstanceState::Stopped;
}

bool isDirectoryEntry(int root, const dirent* entry) {
  if (entry->d_type == DT_DIR) return true;
  return entry->d_type == DT_UNKNOWN && entryIs(root, entry->d_name, S_IFDIR);
}

}  // namespace

pid_t parsePidText(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos || text[start] < '0' || text[start] > '9') return 0;
  size_t end = text.find_first_not_of("0123456789", start);
  if (end != std::string::npos && text.find_first_not_of(" \t\n", end) != std::string::npos) return 0;
  std::string digits = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (digits.size() > 9) return 0;
  long pid = std::strtol(digits.c_str(), nullptr, 10);
  return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

bool statusShowsLiveProcessOf(const std::string& status, uid_t owner) {
  std::istringstream lines(status);
  bool live = false, owned = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string field, value;
    words >> field >> value;
    // A zombie has exited and only waits for its parent; X is a dying task.
    if (field == "State:") live = value != "Z" && value != "X";
    if (field == "Uid:") owned = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos &&
                                 std::strtoul(value.c_str(), nullptr, 10) == owner;
  }
  return live && owned;
}

bool commandLineNamesPathIn(const std::string& cmdline, const std::string& instanceDir) {
  std::vector<std::string> prefixes = {instanceDir + "/"};
  std::string normal = normalizePath(instanceDir);
  if (!normal.empty() && normal != instanceDir) prefixes.push_back(normal + "/");
  size_t start = 0;
  while (start < cmdline.size()) {
    size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    for (const std::string& prefix : prefixes)
      if (cmdline.compare(start, prefix.size(), prefix) == 0 && end - start >= prefix.size()) return true;
    start = end + 1;
  }
  return false;
}

pid_t runningServerPid(int instance, const std::string& instanceDir, uid_t owner) {
  Descriptor logs(openat(instance, "logs", PASSAGE));
  if (!logs.valid()) return 0;
  std::string text;
  if (!readSmallFileAt(logs.get(), "pid", PID_FILE_LIMIT, &text)) return 0;
  pid_t pid = parsePidText(text);
  if (pid == 0) return 0;
  Descriptor process(open(("/proc/" + std::to_string(pid)).c_str(), PASSAGE));
  std::string status, cmdline;
  if (!process.valid() || !readSmallFileAt(process.get(), "status", SMALL_FILE_LIMIT, &status) ||
      !statusShowsLiveProcessOf(status, owner))
    return 0;
  if (!readSmallFileAt(process.get(), "cmdline", COMMAND_LINE_LIMIT, &cmdline)) return 0;
  return commandLineNamesPathIn(cmdline, instanceDir) ? pid : 0;
}

bool describeInstance(int instancesRoot, const std::string& instancesRootPath, const std::string& name,
                      InstanceInfo* info) {
  if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) return false;
  Descriptor instance(openat(instancesRoot, name.c_str(), PASSAGE));
  if (!instance.valid()) return false;
  InstanceInfo found;
  found.name = name;
  found.broken = startsWith(name, BROKEN_PREFIX);
  ReadOutcome outcome = readAnswersAt(instancesRoot, name, &found.answers);
  found.recordRead = static_cast<bool>(outcome);
  if (!found.recordRead) found.answers.clear();
  if (!found.broken && noRecord(outcome) && !looksLikeInstance(instance.get())) return false;
  found.owner = ownerOf(instance.get());
  found.pid = runningServerPid(instance.get(), instancesRootPath + "/" + name, found.owner);
  found.state = stateOf(found);
  *info = std::move(found);
  return true;
}

int listInstances(int instancesRoot, const std::string& instancesRootPath, std::vector<InstanceInfo>* out) {
  std::vector<InstanceInfo> instances;
  DirectoryListing listing = openListing(instancesRoot, ".");
  if (!listing) return -1;
  while (const dirent* entry = readdir(listing.get())) {
    InstanceInfo info;
    if (isDirectoryEntry(instancesRoot, entry) &&
        describeInstance(instancesRoot, instancesRootPath, entry->d_name, &info))
      instances.push_back(std::move(info));
  }
  std::sort(instances.begin(), instances.end(),
            [](const InstanceInfo& a, const InstanceInfo& b) { return a.name < b.name; });
  *out = std::move(instances);
  return 0;
}

const char* stateName(InstanceState state) {
  switch (state) {
    case InstanceState::Running: return "running";
    case InstanceState::Stopped: return "stopped";
    case InstanceState::Broken: return "broken";
    case InstanceState::Unknown: break;
  }
  return "unknown";
}
