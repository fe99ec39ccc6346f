// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/inventory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil/descriptor.h"

namespace {

// The state the tools go by, the server of an instance that can have one,
// and the settings it runs with.
void settleState(int root, InstanceInfo* info) {
  const InstanceEntry& entry = info->entry;
  info->live = readLiveSettings(root, entry);
  // Wherever its files are now, a server may still hold their lock: a
  // removal that moved them goes no further while one does.
  Descriptor tree = openEntryTree(root, entry.tree);
  if (tree.valid()) info->server = probeServer(tree.get(), entry.owner);
  else info->server = ServerStatus{ServerState::Stopped, 0, 0};
  info->pid = info->server.running() ? info->server.pid : 0;
  switch (entry.state) {
    case EntryState::Published:
    case EntryState::Legacy:
      info->state = info->server.state == ServerState::Running   ? InstanceState::Running
                    : info->server.state == ServerState::Unknown ? InstanceState::Unknown
                                                                 : InstanceState::Stopped;
      break;
    case EntryState::Incomplete: info->state = InstanceState::Incomplete; break;
    case EntryState::Removing: info->state = InstanceState::Removing; break;
    case EntryState::Broken: info->state = InstanceState::Broken; break;
  }
}

}  // namespace

bool lookUpInstance(int instancesRoot, const std::string& id, InstanceInfo* info) {
  InstanceInfo found;
  if (!findEntry(instancesRoot, id, &found.entry)) return false;
  settleState(instancesRoot, &found);
  *info = std::move(found);
  return true;
}

int listInstances(int instancesRoot, std::vector<InstanceInfo>* out) {
  std::vector<InstanceEntry> entries;
  if (listEntries(instancesRoot, &entries) != 0) return -1;
  out->clear();
  for (InstanceEntry& entry : entries) {
    InstanceInfo info;
    info.entry = std::move(entry);
    settleState(instancesRoot, &info);
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
