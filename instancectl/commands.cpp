// SPDX-License-Identifier: GPL-3.0-or-later
// The three commands of instancectl.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

#include "fsutil/directories.h"
#include "fsutil/reading.h"
#include "instance/on_disk.h"
#include "instance/validate.h"
#include "instancectl/control.h"
#include "instancectl/instancectl.h"
#include "instancectl/inventory.h"
#include "instancectl/listing.h"
#include "instancectl/operating.h"
#include "instancectl/removing.h"
#include "instancectl/unit.h"

namespace {

void say(const Message& message) { std::printf("%s\n", message.get()); }

int refuse(int status, const Message& message) {
  std::fprintf(stderr, "%s\n", message.get());
  return status;
}

}  // namespace

int findInstance(const CommandLine& line, const Workplace& place, InstanceInfo* info) {
  if (parseEntryName(line.id).kind != NameKind::Broken)
    if (Message refused = checkServerId(line.id.c_str())) return refuse(STATUS_UNKNOWN_INSTANCE, refused);
  if (lookUpInstance(place.root.get(), place.instancesRoot, line.id, info)) return -1;
  return refuse(STATUS_UNKNOWN_INSTANCE,
                escapedMessage("ERR_CTL_UNKNOWN_INSTANCE", {line.id.c_str(), place.instancesRoot.c_str()}));
}

int takeTurn(const Workplace& place, Descriptor* lock) {
  if (Message unsafe = checkRootOnlyDirectory(place.instancesRoot.c_str()))
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNSAFE_ROOT", {place.instancesRoot.c_str(), unsafe.get()}));
  if (Message failure = lockInstancesRoot(place.instancesRoot.c_str(), lock)) return refuse(STATUS_FAILED, failure);
  return -1;
}

namespace {

// -1 when the instance does not run (any more), else the exit status.
int stopIfRunning(const CommandLine& line, const Workplace& place, InstanceInfo* info) {
  if (!info->pid) return -1;
  const std::string pid = std::to_string(info->pid);
  if (!line.stop) return refuse(STATUS_RUNNING, escapedMessage("ERR_CTL_RUNNING", {line.id.c_str(), pid.c_str()}));
  int status = 0;
  // Under systemd the unit's stop keeps systemd's view of the service true.
  const std::string unit = operatingUnit(line, normalizePath(place.instancesRoot + "/" + info->entry.id));
  if (!unit.empty()) {
    operateThroughUnit(line, place, *info, "stop", unit);
  } else {
    Message refusal;
    const std::vector<std::string> arguments = stopArguments(line);
    const int wait = line.timeoutGiven || line.kill ? stopWaitSeconds(line.timeout, line.kill) : STOP_WAIT_SECONDS;
    status = runStopScript(place.root.get(), place.instancesRoot, line.id, info->entry.owner, &refusal, wait, arguments);
    if (refusal) return refuse(STATUS_RUNNING, refusal);
  }
  if (!lookUpInstance(place.root.get(), place.instancesRoot, line.id, info)) return -1;  // the walk reports what became of it
  if (!info->pid) return -1;
  if (!unit.empty()) return refuse(STATUS_RUNNING, escapedMessage("ERR_CTL_NOT_STOPPED_UNIT", {line.id, unit}));
  return refuse(STATUS_RUNNING,
                escapedMessage("ERR_CTL_NOT_STOPPED", {line.id.c_str(), std::to_string(status).c_str()}));
}

// Empty when nobody but root can change the start script or a directory on
// the way to it.
Message startScriptProblem(const std::string& instanceDir) {
  const std::string script = instanceDir + "/bin/startserv";
  Message refused = escapedMessage("ERR_CTL_UNIT_UNSAFE_START", {script.c_str()});
  if (checkRootOnlyDirectory((instanceDir + "/bin").c_str())) return refused;
  Descriptor directory;
  std::string name;
  if (openParentOfFile(script.c_str(), &directory, &name) != 0)
    return escapedMessage("ERR_FILE_OPEN_READ", {script.c_str(), std::strerror(errno)});
  struct stat status;
  if (fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !onlyRootChangesFile(status) ||
      (status.st_mode & S_IXUSR) == 0)
    return refused;
  return Message();
}

UnitSettings unitSettingsFor(const InstanceInfo& info, const std::string& instanceDir) {
  const uid_t owner = info.entry.owner;
  UnitSettings settings{info.entry.id, instanceDir, std::to_string(owner), std::to_string(owner)};
  if (const passwd* user = getpwuid(owner)) {
    settings.user = user->pw_name;
    const group* primary = getgrgid(user->pw_gid);
    settings.group = primary ? primary->gr_name : std::to_string(user->pw_gid);
  }
  return settings;
}

// -1 when the unit directory is open in `directory`, else the exit status.
int openUnitDirectory(const CommandLine& line, Descriptor* directory) {
  const char* path = line.unitDirectory.c_str();
  if (Message unsafe = checkRootOnlyDirectory(path))
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNSAFE_UNIT_DIR", {path, unsafe.get()}));
  std::string unsafe;
  if (openDirectoryPath(path, directory, &unsafe) == 0) return -1;
  if (!unsafe.empty()) return refuse(STATUS_FAILED, escapedMessage("ERR_UNSAFE_LINK", {unsafe.c_str()}));
  return refuse(STATUS_FAILED, escapedMessage("ERR_FILE_OPEN_WRITE", {path, std::strerror(errno)}));
}

void printEnableCommands(const std::string& name) {
  say(errorMessage("ERR_CTL_UNIT_ENABLE"));
  std::printf("  systemctl daemon-reload\n  systemctl enable --now '%s'\n", name.c_str());
}

// The instances that `ids` names, in the listing's order, each looked up
// alone (a long listing is not read for a few); each identifier that names
// none is refused on standard error. STATUS_UNKNOWN_INSTANCE when one was,
// else STATUS_DONE.
int lookUpNamed(const std::vector<std::string>& ids, const Workplace& place, std::vector<InstanceInfo>* instances) {
  int status = STATUS_DONE;
  for (const std::string& id : std::set<std::string>(ids.begin(), ids.end())) {
    InstanceInfo info;
    if (lookUpInstance(place.root.get(), place.instancesRoot, id, &info))
      instances->push_back(std::move(info));
    else
      status = refuse(STATUS_UNKNOWN_INSTANCE, escapedMessage("ERR_CTL_UNKNOWN_INSTANCE", {id, place.instancesRoot}));
  }
  return status;
}

}  // namespace

int listCommand(const CommandLine& line, const Workplace& place) {
  std::vector<InstanceInfo> instances;
  if (line.ids.empty() && listInstances(place.root.get(), place.instancesRoot, &instances) != 0)
    return refuse(STATUS_FAILED, escapedMessage("ERR_FILE_OPEN_READ", {place.instancesRoot.c_str(), std::strerror(errno)}));
  const int status = lookUpNamed(line.ids, place, &instances);
  std::fputs((line.json ? formatJson(instances) : formatTable(instances, !line.noHeader)).c_str(), stdout);
  return status;
}

// A mount below the instance is refused before anything is removed; the
// walk would only leave it alone. Without /proc the walk's check remains.
int removeCommand(const CommandLine& line, const Workplace& place) {
  Descriptor lock;
  if (int status = takeTurn(place, &lock); status >= 0) return status;
  InstanceInfo info;
  if (int status = findInstance(line, place, &info); status >= 0) return status;
  if (int status = stopIfRunning(line, place, &info); status >= 0) return status;
  if (Message mounted = mountInside(place, info)) return refuse(STATUS_FAILED, mounted);
  return removeInstance(line, place, info);
}

namespace {

// systemctl with `arguments`; true when it ended with status 0. Else its
// own words are followed by a line naming the command and its status (or
// why it did not run), unless `quiet`.
bool systemctlDid(const CommandLine& line, const std::vector<std::string>& arguments, bool quiet = false) {
  Message problem;
  const int status = runSystemctl(line, arguments, &problem);
  if (status == 0 || quiet) return status == 0;
  std::string command = "systemctl";
  for (const std::string& argument : arguments) command += " " + argument;
  if (!problem) problem = escapedMessage("ERR_CTL_SYSTEMCTL_FAILED", {line.id, command, std::to_string(status)});
  std::fprintf(stderr, "%s\n", problem.get());
  return false;
}

// unit --enable once the unit is as it should be: enabled with systemctl
// when systemd manages the machine, else the commands that would do it.
int enableUnit(const CommandLine& line, const std::string& name, bool written) {
  if (!line.enable || !systemdManages(line)) {
    if (line.enable) say(errorMessage("ERR_CTL_NO_SYSTEMD"));
    printEnableCommands(name);
    return STATUS_DONE;
  }
  if (written && !systemctlDid(line, {"daemon-reload"})) return STATUS_FAILED;
  if (systemctlDid(line, {"is-enabled", "--quiet", name}, true)) {
    say(escapedMessage("ERR_CTL_UNIT_ENABLED_ALREADY", {name}));
    return STATUS_DONE;
  }
  if (!systemctlDid(line, {"enable", name})) return STATUS_FAILED;
  say(escapedMessage("ERR_CTL_UNIT_ENABLED", {name}));
  return STATUS_DONE;
}

// unit --remove: the unit made for the instance, disabled first when
// systemd manages the machine; a unit of that name made for anything else
// stays.
int removeUnitCommand(const CommandLine& line, const std::string& instanceDir, const std::string& name) {
  Descriptor directory;
  if (int status = openUnitDirectory(line, &directory); status >= 0) return status;
  const std::string path = line.unitDirectory + "/" + name;
  const bool systemd = systemdManages(line) && !instanceUnit(line, instanceDir).empty();
  if (systemd && !systemctlDid(line, {"disable", name})) return STATUS_FAILED;
  int error = 0;
  switch (removeUnitAt(directory.get(), name, instanceDir, &error)) {
    case UnitRemoval::Removed: break;
    case UnitRemoval::Absent:
      say(escapedMessage("ERR_CTL_UNIT_ABSENT", {line.id, line.unitDirectory}));
      return STATUS_DONE;
    case UnitRemoval::NotOurs: return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_NOT_OURS", {path, instanceDir}));
    case UnitRemoval::Failed:
      return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_NOT_REMOVED", {path, std::strerror(error)}));
  }
  if (!systemd) {
    say(escapedMessage("ERR_CTL_UNIT_REMOVED", {path}));
    return STATUS_DONE;
  }
  say(escapedMessage("ERR_CTL_UNIT_GONE", {path}));
  return systemctlDid(line, {"daemon-reload"}) ? STATUS_DONE : STATUS_FAILED;
}

}  // namespace

int unitCommand(const CommandLine& line, const Workplace& place) {
  if (geteuid() != 0) return refuse(STATUS_FAILED, errorMessage("ERR_CTL_UNIT_NOT_ROOT"));
  Descriptor lock;
  if (int status = takeTurn(place, &lock); status >= 0) return status;
  InstanceInfo info;
  if (int status = findInstance(line, place, &info); status >= 0) return status;
  const std::string instanceDir = normalizePath(place.instancesRoot + "/" + line.id);
  const std::string name = unitFileName(instanceDir);
  if (name.empty() || hasControlCharacter(instanceDir.c_str()))
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_NAME", {instanceDir.c_str()}));
  if (line.removeUnit) return removeUnitCommand(line, instanceDir, name);
  if (info.state == InstanceState::Broken)
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_BROKEN", {instanceDir.c_str()}));
  if (info.state == InstanceState::Incomplete || info.state == InstanceState::Removing)
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_UNFINISHED", {instanceDir.c_str()}));
  if (Message unsafe = startScriptProblem(instanceDir)) return refuse(STATUS_FAILED, unsafe);
  Descriptor directory;
  if (int status = openUnitDirectory(line, &directory); status >= 0) return status;
  const std::string path = line.unitDirectory + "/" + name;
  int error = 0;
  bool written = false;
  switch (installUnitAt(directory.get(), name, unitText(unitSettingsFor(info, instanceDir)), line.force, &error)) {
    case UnitWrite::Written: say(escapedMessage("ERR_CTL_UNIT_WRITTEN", {path.c_str()})); written = true; break;
    case UnitWrite::Unchanged: say(escapedMessage("ERR_CTL_UNIT_UNCHANGED", {path.c_str()})); break;
    case UnitWrite::ExistsWithOtherContent:
      return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_EXISTS", {path.c_str()}));
    case UnitWrite::Failed:
      return refuse(STATUS_FAILED, escapedMessage("ERR_FILE_WRITE", {path.c_str(), std::strerror(error)}));
  }
  return enableUnit(line, name, written);
}
