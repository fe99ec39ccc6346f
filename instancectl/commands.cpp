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

#include "fsutil/directories.h"
#include "fsutil/reading.h"
#include "instance/on_disk.h"
#include "instance/validate.h"
#include "instancectl/control.h"
#include "instancectl/instancectl.h"
#include "instancectl/inventory.h"
#include "instancectl/listing.h"
#include "instancectl/removing.h"
#include "instancectl/unit.h"

namespace {

void say(const Message& message) { std::printf("%s\n", message.get()); }

int refuse(int status, const Message& message) {
  std::fprintf(stderr, "%s\n", message.get());
  return status;
}

// -1 when `line.id` names an instance (an identifier, or what a failed
// creation set aside), now described in `info`; else the exit status.
int findInstance(const CommandLine& line, const Workplace& place, InstanceInfo* info) {
  if (parseEntryName(line.id).kind != NameKind::Broken)
    if (Message refused = checkServerId(line.id.c_str())) return refuse(STATUS_UNKNOWN_INSTANCE, refused);
  if (lookUpInstance(place.root.get(), place.instancesRoot, line.id, info)) return -1;
  return refuse(STATUS_UNKNOWN_INSTANCE,
                escapedMessage("ERR_CTL_UNKNOWN_INSTANCE", {line.id.c_str(), place.instancesRoot.c_str()}));
}

// As root, nothing below an instances root that others can change is
// touched; and a removal takes its turn with creations. -1, or the exit status.
int takeTurn(const Workplace& place, Descriptor* lock) {
  if (Message unsafe = checkRootOnlyDirectory(place.instancesRoot.c_str()))
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNSAFE_ROOT", {place.instancesRoot.c_str(), unsafe.get()}));
  if (Message failure = lockInstancesRoot(place.instancesRoot.c_str(), lock)) return refuse(STATUS_FAILED, failure);
  return -1;
}

// -1 when the instance does not run (any more), else the exit status.
int stopIfRunning(const CommandLine& line, const Workplace& place, InstanceInfo* info) {
  if (!info->pid) return -1;
  const std::string pid = std::to_string(info->pid);
  if (!line.stop) return refuse(STATUS_RUNNING, escapedMessage("ERR_CTL_RUNNING", {line.id.c_str(), pid.c_str()}));
  Message refusal;
  int status = runStopScript(place.root.get(), place.instancesRoot, line.id, info->entry.owner, &refusal);
  if (refusal) return refuse(STATUS_RUNNING, refusal);
  if (!lookUpInstance(place.root.get(), place.instancesRoot, line.id, info)) return -1;  // the walk reports what became of it
  if (!info->pid) return -1;
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

// The listed instances that `ids` names (all when it is empty), in the
// listing's order; each identifier that names none is refused on standard
// error. STATUS_UNKNOWN_INSTANCE when one was, else STATUS_DONE.
int selectInstances(const std::vector<std::string>& ids, const Workplace& place, std::vector<InstanceInfo>* instances) {
  if (ids.empty()) return STATUS_DONE;
  int status = STATUS_DONE;
  for (const std::string& id : ids) {
    bool listed = std::any_of(instances->begin(), instances->end(), [&](const InstanceInfo& info) { return info.entry.id == id; });
    if (!listed)
      status = refuse(STATUS_UNKNOWN_INSTANCE, escapedMessage("ERR_CTL_UNKNOWN_INSTANCE", {id, place.instancesRoot}));
  }
  instances->erase(std::remove_if(instances->begin(), instances->end(),
                                  [&](const InstanceInfo& info) {
                                    return std::find(ids.begin(), ids.end(), info.entry.id) == ids.end();
                                  }),
                   instances->end());
  return status;
}

}  // namespace

int listCommand(const CommandLine& line, const Workplace& place) {
  std::vector<InstanceInfo> instances;
  if (listInstances(place.root.get(), place.instancesRoot, &instances) != 0)
    return refuse(STATUS_FAILED, escapedMessage("ERR_FILE_OPEN_READ", {place.instancesRoot.c_str(), std::strerror(errno)}));
  const int status = selectInstances(line.ids, place, &instances);
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

int unitCommand(const CommandLine& line, const Workplace& place) {
  if (geteuid() != 0) return refuse(STATUS_FAILED, errorMessage("ERR_CTL_UNIT_NOT_ROOT"));
  Descriptor lock;
  if (int status = takeTurn(place, &lock); status >= 0) return status;
  InstanceInfo info;
  if (int status = findInstance(line, place, &info); status >= 0) return status;
  const std::string instanceDir = normalizePath(place.instancesRoot + "/" + line.id);
  if (info.state == InstanceState::Broken)
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_BROKEN", {instanceDir.c_str()}));
  if (info.state == InstanceState::Incomplete || info.state == InstanceState::Removing)
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_UNFINISHED", {instanceDir.c_str()}));
  const std::string name = unitFileName(instanceDir);
  if (name.empty() || hasControlCharacter(instanceDir.c_str()))
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_UNIT_NAME", {instanceDir.c_str()}));
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
  printEnableCommands(name);
  return STATUS_DONE;
}
