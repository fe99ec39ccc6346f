// SPDX-License-Identifier: GPL-3.0-or-later
// Running a program as an instance's owner on root's behalf, without lending
// it anything of root's: the one way every path that root runs (the control
// scripts through the program asowner, instancectl directly) becomes the
// owner.
//
// The owner's side starts in a new session without a controlling terminal
// (so /dev/tty cannot be opened and TIOCSTI has no terminal to reach),
// with standard input from /dev/null, no other descriptor of the caller, a
// minimal environment, the owner's user, group and supplementary groups,
// and no capability but, when asked, the one to bind ports below 1024. Its
// standard output and error come back through pipes: the caller's side
// copies them to its own descriptors with every control character escaped
// (escapeForTerminal, line ends and tabs kept), forwards SIGINT, SIGTERM
// and SIGHUP to the owner's process group, and returns when the program it
// started ends. A server that puts itself in the background may keep the
// pipes: what it wrote until then is passed on, nothing after is waited
// for.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

// Who the owner's side runs as.
struct OwnerIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
};

// The identity of the user `uid` as the user and group databases give it:
// its primary group and every group that lists it. False when the system
// has no such user; `identity` then holds `uid` as user and as group and no
// supplementary group.
bool ownerIdentity(uid_t uid, OwnerIdentity* identity);

struct OwnerCommand {
  OwnerIdentity owner;
  // argv[0]: the program's absolute path (no PATH search), unless programFd names it.
  std::vector<std::string> argv;
  // When not -1: the program to run, held open (O_PATH will do) by the
  // caller, executed as it is (execveat) without resolving a path again;
  // argv[0] is then only its name.
  int programFd = -1;
  bool bindLowPorts = false;      // CAP_NET_BIND_SERVICE inheritable and ambient, no other capability
  bool keepLibraryPath = false;   // LD_LIBRARY_PATH of the caller passed on
  // The caller's descriptors the program's standard output and error are
  // copied to. When both name one file (a terminal, say), one pipe carries
  // both streams, so that their lines keep their order.
  int outputTo = STDOUT_FILENO;
  int errorsTo = STDERR_FILENO;
  // 0: as long as the program runs; else its process group is killed with
  // SIGKILL after this many seconds.
  int waitSeconds = 0;
};

struct OwnerOutcome {
  int status = -1;        // exit status, 128 + signal when killed; -1 when not started or timed out
  int signal = 0;         // the signal that ended the program, else 0
  int error = 0;          // errno when the program could not be started (status -1)
  bool timedOut = false;  // killed after waitSeconds (status -1)
  int forwarded = 0;      // the last of SIGINT, SIGTERM, SIGHUP passed on to the program, else 0
};

// Runs `command` as described at the top of this file and waits for it.
// Run by root, the owner's side takes `command.owner`'s identity (root's
// own when its uid is 0); run by another user, it keeps the caller's, and a
// different owner fails with EPERM before anything starts. Not reentrant:
// it installs signal handlers of its own while it runs and puts the
// caller's back before it returns.
OwnerOutcome runAsOwner(const OwnerCommand& command);

// The exit status that reports `outcome` (a run that started): the
// program's; when a signal that is passed on (SIGINT, SIGTERM, SIGHUP)
// ended it, this process ends by the same signal instead.
int exitLike(const OwnerOutcome& outcome);

// The environment the owner's side gets: a fixed PATH, and LANG, LC_ALL, TZ
// (and LD_LIBRARY_PATH when `keepLibraryPath`) of the caller when set. The
// owner can read the environment of its processes: nothing else of the
// caller's goes over.
std::vector<std::string> ownerEnvironment(bool keepLibraryPath);

// How many bytes at the start of `text` can be shown now: all of them but a
// UTF-8 sequence that is cut short at the end, which waits for the rest of
// its bytes (so that a character split between two reads is not shown as
// stray bytes).
size_t completeUtf8Prefix(std::string_view text);
