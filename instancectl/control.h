// SPDX-License-Identifier: GPL-3.0-or-later
// Stopping an instance through its own bin/stopserv. Run by root, the
// script runs as the instance's owner, through the same rule as the
// scripts' own root half (instancectl/asowner.h): in a new session without a
// terminal, its output relayed with control characters escaped, so that
// root never runs what the owner can change, never reads the owner's pid
// file and never lends the owner its terminal. An instance that root
// itself owns has its script run as root only when nobody but root can
// change it or the directories holding it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "messages/messages.h"

constexpr int STOP_WAIT_SECONDS = 90;  // stopserv itself waits 30 s for the server
// How long stopserv waits for a server to end after SIGKILL.
constexpr int KILL_WAIT_SECONDS = 30;
// How long a script that starts the server is given beyond its stop.
constexpr int START_WAIT_SECONDS = 120;

// One run of an instance's control script.
struct ScriptRun {
  std::string script;                   // "startserv", "stopserv" or "restartserv", in the instance's bin
  std::vector<std::string> arguments;   // after the script's path
  bool starts = false;                  // it starts the server: it keeps the capability to bind low ports
  int outputTo = STDERR_FILENO;         // where its standard output and error are relayed, escaped
  int errorsTo = STDERR_FILENO;
  int waitSeconds = STOP_WAIT_SECONDS;  // then its process group is killed
};

enum class ScriptProblem {
  None,
  Unsafe,      // run by root: others can change the script or what holds it
  TimedOut,    // killed after waitSeconds
  NotStarted,  // could not be run; `error` says why
};

struct ScriptOutcome {
  int status = -1;  // its exit status (128 + signal when killed); -1 with a problem
  ScriptProblem problem = ScriptProblem::None;
  int error = 0;
};

// Runs the control script `run.script` of the instance `name` of the
// instances root held open as `instancesRoot` (at `instancesRootPath`),
// owned by `owner`, as instancectl/asowner.h runs a program: run by root,
// as the owner (root's run of a script of root's own instance only when
// nobody but root can change it and what holds it, and a script that
// starts the server, which gets the capability to bind low ports, only
// then too, whoever the owner); run by another user, as that user. SIGINT,
// SIGTERM or SIGHUP received meanwhile reaches the script, and once it has
// ended this process ends by that signal.
ScriptOutcome runControlScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name,
                               uid_t owner, const ScriptRun& run);

// The seconds stopserv may take with `--timeout timeout` (and `--kill`),
// with a margin for the script itself.
int stopWaitSeconds(int timeout, bool kill);

// Runs "<instancesRootPath>/<name>/bin/stopserv" of the instance `name` of
// the instances root held open as `instancesRoot`, owned by `owner`, with
// both its outputs relayed to standard error, and waits for it at most
// `waitSeconds`. Its exit status (stopserv: 0 stopped, 1 could not stop, 2
// not running; 128 + signal when killed), or -1 with `*refusal` set:
// ERR_CTL_UNSAFE_SCRIPT (the script), ERR_CTL_STOP_TIMEOUT (the script,
// the seconds) or ERR_FILE_OPEN_READ (the script, error text). SIGINT,
// SIGTERM or SIGHUP received meanwhile reaches the script, and once it has
// ended this process ends by that signal: Ctrl-C still stops a removal.
// `stopArguments` are passed to the script (its --timeout and --kill).
int runStopScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name, uid_t owner,
                  Message* refusal, int waitSeconds = STOP_WAIT_SECONDS,
                  const std::vector<std::string>& stopArguments = {});

// True for a regular file with one name that only root can change.
bool onlyRootChangesFile(const struct stat& status);
