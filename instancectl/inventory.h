// SPDX-License-Identifier: GPL-3.0-or-later
// The instances below an instances root as the tools see them: what each
// entry is (instance/on_disk.h decides it), what it recorded when it was
// made, who owns it, and whether its server runs. Everything is read
// relative to the instances root's descriptor without following a link,
// blocking or reading more than a small file's worth, so a server user's
// odd files show as an odd instance, never as a hang.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "instance/live_config.h"
#include "instance/on_disk.h"
#include "instance/server.h"

// What `list` shows and the commands go by. Whether a complete instance
// runs is told by the lock of its server alone (instance/server.h), the
// same for every user who can reach its logs directory, whatever its record.
enum class InstanceState {
  Running,     // a complete instance whose server holds its lock
  Stopped,     // a complete instance of which no server holds the lock (a process that is no server may)
  Unknown,     // a complete instance whose server's state cannot be told (ServerStatus::error says why)
  Incomplete,  // a creation that did not finish: remove takes it back
  Removing,    // a removal that did not finish: remove goes on with it
  Broken,      // what a failed creation set aside
};

struct InstanceInfo {
  InstanceEntry entry;  // what the directory tells
  InstanceState state = InstanceState::Unknown;
  ServerStatus server;  // the lock of the server of its files, wherever they are now (Stopped when it has none)
  pid_t pid = 0;        // the server holding the lock (server.pid when it is Running), else 0
  LiveSettings live;    // the server name and ports it runs with (instance/live_config.h)
};

// The instance `id` (an identifier, or a broken.* name) of the instances
// root held open as `instancesRoot` in `info`: its unfinished removal when
// there is one (findEntry). False when there is none: no entry of that
// name, or one that is no instance.
bool lookUpInstance(int instancesRoot, const std::string& id, InstanceInfo* info);

// Every instance of the instances root held open as `instancesRoot` into
// `out`, one per identifier, sorted by identifier (listEntries). 0, or -1
// with errno when the directory cannot be listed.
int listInstances(int instancesRoot, std::vector<InstanceInfo>* out);

// "running", "stopped", "unknown", "incomplete", "removing" or "broken".
const char* stateName(InstanceState state);
