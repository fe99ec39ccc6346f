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

// What `list` shows and the commands go by.
enum class InstanceState {
  Running,     // a complete instance whose server runs
  Stopped,     // a complete instance whose server does not run
  Unknown,     // a complete instance whose record cannot be read, or one made before records were kept
  Incomplete,  // a creation that did not finish: remove takes it back
  Removing,    // a removal that did not finish: remove goes on with it
  Broken,      // what a failed creation set aside
};

struct InstanceInfo {
  InstanceEntry entry;  // what the directory tells
  InstanceState state = InstanceState::Unknown;
  pid_t pid = 0;        // the live server process, or 0
  LiveSettings live;    // the server name and ports it runs with (instance/live_config.h)
};

// The instance `id` (an identifier, or a broken.* name) of the instances
// root held open as `instancesRoot`, whose path is `instancesRootPath`, in
// `info`: its unfinished removal when there is one (findEntry). False when
// there is none: no entry of that name, or one that is no instance.
bool lookUpInstance(int instancesRoot, const std::string& instancesRootPath, const std::string& id, InstanceInfo* info);

// Every instance of the instances root held open as `instancesRoot` into
// `out`, one per identifier, sorted by identifier (listEntries). 0, or -1
// with errno when the directory cannot be listed.
int listInstances(int instancesRoot, const std::string& instancesRootPath, std::vector<InstanceInfo>* out);

// The process named by the pid file "logs/pid" of the instance directory
// `instanceDir`, held open as `instance`, when it is the instance's server:
// alive (not a zombie), its real user `owner`, and an argument of its
// command line a path in the instance (as the control scripts tell a
// server from a process that got the number of a dead one); else 0.
pid_t runningServerPid(int instance, const std::string& instanceDir, uid_t owner);

// The decimal process number of a pid file's text (one line, blanks around
// it allowed), or 0 when the text is anything else.
pid_t parsePidText(const std::string& text);

// True when the text of /proc/<pid>/status describes a process that is not
// a zombie and whose real user is `owner`.
bool statusShowsLiveProcessOf(const std::string& status, uid_t owner);

// True when an argument of the command line `cmdline` (arguments ended by
// NUL bytes, as /proc/<pid>/cmdline holds them) begins with
// "<instanceDir>/", as given or normalised.
bool commandLineNamesPathIn(const std::string& cmdline, const std::string& instanceDir);

// "running", "stopped", "unknown", "incomplete", "removing" or "broken".
const char* stateName(InstanceState state);
