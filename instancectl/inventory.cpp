// SPDX-License-Identifier: GPL-3.0-or-later
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

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A pid file holds one number; anything longer is not one.
constexpr size_t PID_FILE_LIMIT = 64;
// The most of a command line the kernel lets a program be given.
constexpr size_t COMMAND_LINE_LIMIT = 2 * 1024 * 1024;

// The state the tools go by, the server of an instance that can have one,
// and the settings it runs with.
void settleState(int root, const std::string& rootPath, InstanceInfo* info) {
  const InstanceEntry& entry = info->entry;
  info->live = readLiveSettings(root, entry);
  // A tree moved into its removal no longer runs under its name.
  if (entry.state == EntryState::Published || entry.state == EntryState::Legacy ||
      entry.state == EntryState::Incomplete || (entry.state == EntryState::Removing && entry.tree == entry.id)) {
    Descriptor instance(openat(root, entry.tree.c_str(), PASSAGE));
    if (instance.valid()) info->pid = runningServerPid(instance.get(), rootPath + "/" + entry.tree, entry.owner);
  }
  switch (entry.state) {
    case EntryState::Published:
      info->state = !entry.record ? InstanceState::Unknown : info->pid ? InstanceState::Running : InstanceState::Stopped;
      break;
    case EntryState::Legacy: info->state = InstanceState::Unknown; break;
    case EntryState::Incomplete: info->state = InstanceState::Incomplete; break;
    case EntryState::Removing: info->state = InstanceState::Removing; break;
    case EntryState::Broken: info->state = InstanceState::Broken; break;
  }
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
  Descriptor logs(openat(instance, PID_DIRECTORY, PASSAGE));
  if (!logs.valid()) return 0;
  std::string text;
  if (!readSmallFileAt(logs.get(), PID_NAME, PID_FILE_LIMIT, &text)) return 0;
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

bool lookUpInstance(int instancesRoot, const std::string& instancesRootPath, const std::string& id,
                    InstanceInfo* info) {
  InstanceInfo found;
  if (!findEntry(instancesRoot, id, &found.entry)) return false;
  settleState(instancesRoot, instancesRootPath, &found);
  *info = std::move(found);
  return true;
}

int listInstances(int instancesRoot, const std::string& instancesRootPath, std::vector<InstanceInfo>* out) {
  std::vector<InstanceEntry> entries;
  if (listEntries(instancesRoot, &entries) != 0) return -1;
  out->clear();
  for (InstanceEntry& entry : entries) {
    InstanceInfo info;
    info.entry = std::move(entry);
    settleState(instancesRoot, instancesRootPath, &info);
    out->push_back(std::move(info));
  }
  return 0;
}

const char* stateName(InstanceState state) {
  switch (state) {
    case InstanceState::Running: return "running";
    case InstanceState::Stopped: return "stopped";
    case InstanceState::Incomplete: return "incomplete";
    case InstanceState::Removing: return "removing";
    case InstanceState::Broken: return "broken";
    case InstanceState::Unknown: break;
  }
  return "unknown";
}
