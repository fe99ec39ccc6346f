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

#include <string>

#include "messages/messages.h"

constexpr int STOP_WAIT_SECONDS = 90;  // stopserv itself waits 30 s for the server

// Runs "<instancesRootPath>/<name>/bin/stopserv" of the instance `name` of
// the instances root held open as `instancesRoot`, owned by `owner`, with
// both its outputs relayed to standard error, and waits for it at most
// `waitSeconds`. Its exit status (stopserv: 0 stopped, 1 could not stop, 2
// not running; 128 + signal when killed), or -1 with `*refusal` set:
// ERR_CTL_UNSAFE_SCRIPT (the script), ERR_CTL_STOP_TIMEOUT (the script,
// the seconds) or ERR_FILE_OPEN_READ (the script, error text). SIGINT,
// SIGTERM or SIGHUP received meanwhile reaches the script, and once it has
// ended this process ends by that signal: Ctrl-C still stops a removal.
int runStopScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name, uid_t owner,
                  Message* refusal, int waitSeconds = STOP_WAIT_SECONDS);

// True for a regular file with one name that only root can change.
bool onlyRootChangesFile(const struct stat& status);
