// Stopping an instance through its own bin/stopserv. Run by root, the
// script runs as the instance's owner (setpriv), who may signal its own
// server, so that root never runs what the owner can change nor reads the
// owner's pid file; an instance that root itself owns has its script run as
// root only when nobody but root can change it or the directories holding it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "messages/messages.h"

constexpr int STOP_WAIT_SECONDS = 90;  // stopserv itself waits 30 s for the server
constexpr const char* SETPRIV = "/usr/bin/setpriv";

// Runs "<instancesRootPath>/<name>/bin/stopserv" of the instance `name` of
// the instances root held open as `instancesRoot`, owned by `owner`, with
// its output sent to standard error, and waits for it at most
// `waitSeconds`. Its exit status (stopserv: 0 stopped, 1 could not stop, 2
// not running), or -1 with `*refusal` set: ERR_CTL_UNSAFE_SCRIPT (the
// script), ERR_CTL_STOP_TIMEOUT (the script, the seconds) or
// ERR_FILE_OPEN_READ (the script, error text).
int runStopScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name, uid_t owner,
                  Message* refusal, int waitSeconds = STOP_WAIT_SECONDS);

// True for a regular file with one name that only root can change.
bool onlyRootChangesFile(const struct stat& status);

// The command that runs `program` as the user `owner` (real and effective
// ids, the user's primary group and groups).
std::vector<std::string> asOwnerCommand(uid_t owner, const std::string& program);
