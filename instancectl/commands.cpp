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
#include "instancectl/systemd.h"
#include "instancectl/unit.h"
#include "messages/escape.h"

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
  if (lookUpInstance(place.root.get(), line.id, info)) return -1;
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
    if (lookUpInstance(place.root.get(), id, &info))
      instances->push_back(std::move(info));
    else
      status = refuse(STATUS_UNKNOWN_INSTANCE, escapedMessage("ERR_CTL_UNKNOWN_INSTANCE", {id, place.instancesRoot}));
  }
  return status;
}

}  // namespace

int listCommand(const CommandLine& line, const Workplace& place) {
  std::vector<InstanceInfo> instances;
  if (line.ids.empty() && listInstances(place.root.get(), &instances) != 0)
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
  if (int status = stopBeforeRemoval(line, place, &info); status >= 0) return status;
  if (Message mounted = mountInside(place, info)) return refuse(STATUS_FAILED, mounted);
  return removeInstance(line, place, info);
}

namespace {

// unit --enable once the unit is as it should be: enabled with systemctl
// when systemd manages the machine, else the commands that would do it.
int enableUnit(const CommandLine& line, const std::string& name) {
  if (!line.enable || !systemdManages(line)) {
    if (line.enable) say(errorMessage("ERR_CTL_NO_SYSTEMD"));
    printEnableCommands(name);
    return STATUS_DONE;
  }
  if (!systemctlDid(line, line.id, {"daemon-reload"})) return STATUS_FAILED;
  // systemctl enables a unit whatever systemd made of it: one it refused
  // (a setting it cannot take) would never start.
  const std::string loaded = unitProperty(line, name, "LoadState");
  if (loaded != "loaded")
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_NOT_LOADED", {name, loaded.empty() ? "-" : loaded}));
  if (systemctlDid(line, line.id, {"is-enabled", "--quiet", name}, true)) {
    say(escapedMessage("ERR_CTL_UNIT_ENABLED_ALREADY", {name}));
    return STATUS_DONE;
  }
  if (!systemctlDid(line, line.id, {"enable", name})) return STATUS_FAILED;
  say(escapedMessage("ERR_CTL_UNIT_ENABLED", {name}));
  return STATUS_DONE;
}

// unit --remove: systemd is left with no unit of the instance (dropUnit).
int removeUnitCommand(const CommandLine& line, const Workplace& place, const std::string& instanceDir) {
  Descriptor directory;
  if (int status = openUnitDirectory(line, &directory); status >= 0) return status;
  return dropUnit(line, place, line.id, instanceDir, directory.get(), true);
}

}  // namespace

int unitCommand(const CommandLine& line, const Workplace& place) {
  if (geteuid() != 0) return refuse(STATUS_FAILED, errorMessage("ERR_CTL_UNIT_NOT_ROOT"));
  Descriptor lock;
  if (int status = takeTurn(place, &lock); status >= 0) return status;
  InstanceInfo info;
  if (int status = findInstance(line, place, &info); status >= 0) return status;
  const std::string instanceDir = place.instancesRoot + "/" + line.id;
  const std::string name = unitFileName(instanceDir);
  // systemd takes no control character in a unit file, and nothing that is not UTF-8.
  if (name.empty() || escapeForTerminal(instanceDir) != instanceDir)
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_NAME", {instanceDir}));
  if (line.removeUnit) return removeUnitCommand(line, place, instanceDir);
  if (info.state == InstanceState::Broken)
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_BROKEN", {instanceDir.c_str()}));
  if (info.state == InstanceState::Incomplete || info.state == InstanceState::Removing)
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_UNFINISHED", {instanceDir.c_str()}));
  if (Message unsafe = startScriptProblem(instanceDir)) return refuse(STATUS_FAILED, unsafe);
  Descriptor directory;
  if (int status = openUnitDirectory(line, &directory); status >= 0) return status;
  const std::string path = line.unitDirectory + "/" + name;
  int error = 0;
  switch (installUnitAt(directory.get(), name, unitText(unitSettingsFor(info, instanceDir)), line.force, &error)) {
    case UnitWrite::Written: say(escapedMessage("ERR_CTL_UNIT_WRITTEN", {path.c_str()})); break;
    case UnitWrite::Unchanged: say(escapedMessage("ERR_CTL_UNIT_UNCHANGED", {path.c_str()})); break;
    case UnitWrite::ExistsWithOtherContent:
      return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_EXISTS", {path.c_str()}));
    case UnitWrite::Failed:
      return refuse(STATUS_FAILED, escapedMessage("ERR_FILE_WRITE", {path.c_str(), std::strerror(error)}));
  }
  return enableUnit(line, name);
}
