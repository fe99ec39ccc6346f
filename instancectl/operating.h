// SPDX-License-Identifier: GPL-3.0-or-later
// Operating an instance: its state, and starting, stopping and restarting
// its server. The instance's own control scripts do the work, run as the
// instance's owner through instancectl/control.h; when root operates an
// instance that has the unit `instancectl unit` wrote and systemd manages
// the machine, systemctl does it instead (instancectl/systemd.h), so that
// systemd's view of the service and the server agree; a server that runs
// outside its unit is stopped with its own script.
//
// What runs afterwards decides what is said, by the server's lock
// (instance/server.h); what the script ended with says why: a script that
// refused did nothing, and only one that ended with SCRIPT_FAILED after a
// stop sent the server a signal.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "instancectl/instancectl.h"
#include "instancectl/inventory.h"

// Exit statuses of the instance's control scripts: 0 done, 1 failed (a
// stop: the server still runs after the signals it sent), 2 nothing to do
// (started or stopped already), 3 refused (nothing was done).
constexpr int SCRIPT_FAILED = 1;
constexpr int SCRIPT_NOTHING_TO_DO = 2;
constexpr int SCRIPT_REFUSED = 3;

// remove --stop: stops the running server of the instance `info` (through
// its unit when it runs under it, else with its own bin/stopserv) and looks
// the instance up again into `info`. -1 when no server of it runs (any
// more), else the exit status, the refusal said: a running instance
// without --stop, a server whose state cannot be told, a script that
// refused, one still running.
int stopBeforeRemoval(const CommandLine& line, const Workplace& place, InstanceInfo* info);

// At most `count` last lines of the instance's error log logs/errors, each
// escaped for a terminal; read from its end, at most 16 KiB, without
// following a link, blocking, or reading a file with a second name or that
// is not a regular file. A file that cannot be read so leaves `*problem`
// set (readRefusalMessage) and returns nothing.
std::vector<std::string> errorLogTail(int instancesRoot, const std::string& instancesRootPath,
                                      const InstanceEntry& entry, size_t count, Message* problem);

// The name of the process `pid` (its /proc comm), escaped; "unknown" when
// it cannot be read.
std::string processName(pid_t pid);

// stopserv's options for `line`'s --timeout and --kill: only those given,
// as the stopserv of an older instance takes no options.
std::vector<std::string> stopArguments(const CommandLine& line);
