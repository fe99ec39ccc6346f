// SPDX-License-Identifier: GPL-3.0-or-later
// Whether an instance's server runs, and which process it is: the one rule
// that instancectl, the control scripts' program and the Ansible module (as
// instancectl lists it) all decide by.
//
// A server holds a lock on <instance>/logs/server.lock for its whole life:
// the process that serves takes it (with flock or a record lock) before it
// listens, or a process takes it and becomes the server through exec, so
// that it keeps it. The lock ends when that process ends, however it ends,
// and /proc/locks names its holder to every user. So:
//
//   - the server runs when something holds that lock, and nothing else
//     tells it: no pid file, no command line, no path compared;
//   - its process is the lock's holder, and only while every user id of
//     that process (real, effective, saved, file system) is the owner's: a
//     set-user-ID program the owner started is no server of the owner's;
//   - a second start cannot take the lock while the first holds it, so
//     two servers of one instance never run.
//
// The file is the server user's, in its logs directory; it is never opened
// here, only looked at (without following a link), so that anybody who can
// reach the logs directory can tell, and nothing the server user puts there
// can make a reader block or read another file.
#pragma once

#include <sys/types.h>

#include <string>

// In the instance's logs directory (PID_DIRECTORY of instance/on_disk.h).
constexpr const char* SERVER_LOCK_NAME = "server.lock";
// Held by a control script while it starts, stops or restarts the server,
// so that two of them never interleave (the record of a start's arguments
// is written under it, before the server starts).
constexpr const char* CONTROL_LOCK_NAME = "control.lock";

enum class ServerState {
  Stopped,  // nothing holds the lock, or there is no lock file
  Running,  // held by `pid`, a live process whose every user id is the owner's
  Foreign,  // held by `pid`, a process that is not wholly the owner's: no server of the instance
  Unknown,  // cannot tell: the lock file cannot be reached, /proc cannot say, or the holder is hidden (`error`)
};

struct ServerStatus {
  ServerState state = ServerState::Unknown;
  pid_t pid = 0;   // the lock's holder, when /proc names it
  int error = 0;   // Unknown: why (an errno)
  bool running() const { return state == ServerState::Running; }
  // The lock is held: no server can start.
  bool held() const { return state == ServerState::Running || state == ServerState::Foreign; }
};

// The server of the instance whose directory is held as `instance` (any
// descriptor fstatat takes, O_PATH included) and whose owner is `owner`.
ServerStatus probeServer(int instance, uid_t owner);

// As probeServer, given the instance's logs directory.
ServerStatus probeServerInLogs(int logs, uid_t owner);

// --- The parts, for tests ------------------------------------------------

struct LockHolder {
  bool held = false;
  pid_t pid = 0;  // -1 for an open-file-description lock, 0 for a holder this pid namespace cannot see
};
// Who holds a lock on the file (device, inode), from the text of
// /proc/locks: the first granted lock on it, a write lock before a read
// lock. Locks that only wait ("->") hold nothing.
LockHolder lockHolderIn(const std::string& procLocks, dev_t device, ino_t inode);

// True when the text of /proc/<pid>/status describes a process that has not
// ended and whose every user id (real, effective, saved, file system) is
// `owner`.
bool statusShowsProcessOf(const std::string& status, uid_t owner);

