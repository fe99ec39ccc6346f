// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/systemd.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/reading.h"
#include "instancectl/asowner.h"
#include "instancectl/inventory.h"
#include "instancectl/unit.h"

namespace {

// systemctl waits for the job: a stop may take the unit's stop timeout.
constexpr int SYSTEMCTL_WAIT_SECONDS = 300;
// What `systemctl show -p X --value` prints is one short line.
constexpr size_t PROPERTY_LIMIT = 4096;

void say(const Message& message) { std::printf("%s\n", message.get()); }
void complain(const Message& message) { std::fprintf(stderr, "%s\n", message.get()); }

// `path` below line.systemdRoot.
std::string belowSystemdRoot(const CommandLine& line, const std::string& path) {
  std::string root = line.systemdRoot;
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + path;
}

// What the unit directory holds under `name` for `instanceDir`.
UnitRemoval unitFileOf(int directory, const std::string& name, const std::string& instanceDir) {
  std::string text;
  const ReadOutcome outcome = readSmallFileAt(directory, name.c_str(), SMALL_FILE_LIMIT, &text);
  if (outcome.refusal == ReadRefusal::System && outcome.error == ENOENT) return UnitRemoval::Absent;
  return outcome && isUnitOf(text, instanceDir) ? UnitRemoval::Removed : UnitRemoval::NotOurs;
}

// Stops the unit `name` of the instance `id`; a server that ran under it
// must be gone after. False when it is not (said).
bool stopUnitOf(const CommandLine& line, const Workplace& place, const std::string& id, const std::string& name) {
  InstanceInfo before;
  const bool underUnit = lookUpInstance(place.root.get(), id, &before) && before.pid != 0 &&
                         runsUnderUnit(line, before.pid, name);
  if (!systemctlDid(line, id, {"stop", name})) return false;
  InstanceInfo after;
  if (!underUnit) return true;
  if (lookUpInstance(place.root.get(), id, &after) && after.pid != 0) {
    complain(escapedMessage("ERR_CTL_NOT_STOPPED_UNIT", {id, name}));
    return false;
  }
  say(escapedMessage("ERR_CTL_STOPPED_UNIT", {id, name}));
  return true;
}

}  // namespace

bool systemdManages(const CommandLine& line) {
  struct stat status;
  const std::string marker = belowSystemdRoot(line, "/run/systemd/system");
  return stat(marker.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string instanceUnit(const CommandLine& line, const std::string& instanceDir) {
  const std::string name = unitFileName(instanceDir);
  Descriptor directory;
  if (name.empty() || openDirectoryPath(line.unitDirectory.c_str(), &directory) != 0) return "";
  return unitFileOf(directory.get(), name, instanceDir) == UnitRemoval::Removed ? name : "";
}

std::string operatingUnit(const CommandLine& line, const std::string& instanceDir) {
  return geteuid() == 0 && systemdManages(line) ? instanceUnit(line, instanceDir) : std::string();
}

bool cgroupNamesUnit(const std::string& cgroups, const std::string& unit) {
  std::istringstream lines(cgroups);
  for (std::string line; std::getline(lines, line);) {
    // "HIERARCHY:CONTROLLERS:PATH"; the path may hold ":" itself.
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string hierarchy = line.substr(0, first), controllers = line.substr(first + 1, second - first - 1);
    if (!(hierarchy == "0" && controllers.empty()) && controllers != "name=systemd") continue;
    std::istringstream components(line.substr(second + 1));
    for (std::string component; std::getline(components, component, '/');)
      if (component == unit) return true;
  }
  return false;
}

bool runsUnderUnit(const CommandLine& line, pid_t pid, const std::string& unit) {
  std::string cgroups;
  const std::string file = belowSystemdRoot(line, "/proc/" + std::to_string(pid) + "/cgroup");
  return readSmallFile(file.c_str(), SMALL_FILE_LIMIT, &cgroups) && cgroupNamesUnit(cgroups, unit);
}

int runSystemctl(const CommandLine& line, const std::vector<std::string>& arguments, Message* problem, int outputTo,
                 int errorsTo) {
  OwnerCommand command;
  ownerIdentity(geteuid(), &command.owner);
  command.argv = {line.systemctl};
  command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
  command.outputTo = outputTo;
  command.errorsTo = errorsTo;
  command.waitSeconds = SYSTEMCTL_WAIT_SECONDS;
  const OwnerOutcome outcome = runAsOwner(command);
  if (outcome.timedOut)
    *problem = escapedMessage("ERR_CTL_SCRIPT_TIMEOUT", {line.systemctl, std::to_string(SYSTEMCTL_WAIT_SECONDS)});
  else if (outcome.status < 0)
    *problem = escapedMessage("ERR_FILE_OPEN_READ", {line.systemctl, std::strerror(outcome.error)});
  return outcome.status;
}

std::string unitProperty(const CommandLine& line, const std::string& unit, const char* property) {
  Descriptor output(memfd_create("systemctl-show", MFD_CLOEXEC));
  Message problem;
  if (!output.valid() || runSystemctl(line, {"show", "-p", property, "--value", unit}, &problem, output.get()) != 0)
    return "";
  std::string value(PROPERTY_LIMIT, '\0');
  const ssize_t got = pread(output.get(), &value[0], value.size(), 0);
  value.resize(got > 0 ? static_cast<size_t>(got) : 0);
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

bool systemctlDid(const CommandLine& line, const std::string& id, const std::vector<std::string>& arguments,
                  bool quiet) {
  Message problem;
  Descriptor dropped(quiet ? memfd_create("systemctl-quiet", MFD_CLOEXEC) : -1);
  const int to = dropped.valid() ? dropped.get() : STDERR_FILENO;
  const int status = runSystemctl(line, arguments, &problem, to, to);
  if (status == 0 || quiet) return status == 0;
  std::string command = "systemctl";
  for (const std::string& argument : arguments) command += " " + argument;
  if (!problem) problem = escapedMessage("ERR_CTL_SYSTEMCTL_FAILED", {id, command, std::to_string(status)});
  complain(problem);
  return false;
}

int dropUnit(const CommandLine& line, const Workplace& place, const std::string& id, const std::string& instanceDir,
             int directory, bool sayAbsent) {
  const std::string name = unitFileName(instanceDir), path = line.unitDirectory + "/" + name;
  const bool systemd = systemdManages(line);
  switch (unitFileOf(directory, name, instanceDir)) {
    case UnitRemoval::Removed: break;
    case UnitRemoval::Absent:
      if (!sayAbsent) return STATUS_DONE;
      // A unit whose file went while it had failed stays loaded as failed.
      if (systemd) systemctlDid(line, id, {"reset-failed", name}, true);
      say(escapedMessage("ERR_CTL_UNIT_ABSENT", {id, line.unitDirectory}));
      return STATUS_DONE;
    case UnitRemoval::NotOurs:
    case UnitRemoval::Failed:
      if (!sayAbsent) return STATUS_DONE;
      complain(escapedMessage("ERR_CTL_UNIT_NOT_OURS", {path, instanceDir}));
      return STATUS_FAILED;
  }
  if (systemd && (!stopUnitOf(line, place, id, name) || !systemctlDid(line, id, {"disable", name})))
    return STATUS_FAILED;
  int error = 0;
  const UnitRemoval removal = removeUnitAt(directory, name, instanceDir, &error);
  if (removal == UnitRemoval::Failed) {
    complain(escapedMessage("ERR_CTL_NOT_REMOVED", {path, std::strerror(error)}));
    return STATUS_FAILED;
  }
  if (!systemd) {
    say(escapedMessage("ERR_CTL_UNIT_REMOVED", {path}));
    return STATUS_DONE;
  }
  say(escapedMessage("ERR_CTL_UNIT_GONE", {path}));
  if (!systemctlDid(line, id, {"daemon-reload"})) return STATUS_FAILED;
  systemctlDid(line, id, {"reset-failed", name}, true);
  return STATUS_DONE;
}
