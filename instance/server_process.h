// SPDX-License-Identifier: GPL-3.0-or-later
// Acting on an instance's running server (instance/server.h: the holder of
// its lock) through a pidfd: once the pidfd is open and the lock's holder
// is seen again to be the same process, a signal sent through it reaches
// that process or none, even if its number has gone to another since.
#pragma once

#include <sys/types.h>

#include <string>

#include "fsutil/descriptor.h"
#include "instance/server.h"

struct PinnedServer {
  ServerStatus status;  // what the lock says
  Descriptor pidfd;     // Running: a pidfd of status.pid, the lock's holder when it was opened
};

// The server of the instance whose logs directory is held as `logs` and
// whose owner is `owner`, pinned when it runs: probeServerInLogs, then a
// pidfd of the holder, then the lock asked again. A holder that changes
// meanwhile is looked at anew, a few times; one that keeps changing makes
// the status Unknown (EAGAIN).
PinnedServer pinServer(int logs, uid_t owner);

// Sends `signal` to the pinned process: 0, or an errno (ESRCH: it has ended).
int signalPinned(const PinnedServer& server, int signal);

// Waits at most `seconds` (0: not at all) for the pinned process to end;
// true once it has.
bool waitForEnd(const PinnedServer& server, int seconds);

// What runs as `pid`, for a message: its name (/proc/PID/comm), or
// "unknown" when it cannot be read.
std::string processNameOf(pid_t pid);
