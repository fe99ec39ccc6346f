// SPDX-License-Identifier: GPL-3.0-or-later
// Operating an instance: its state, and starting, stopping and restarting
// its server. The instance's own control scripts do the work, run as the
// instance's owner through instancectl/control.h; when systemd manages the
// machine and the instance has the unit `instancectl unit` wrote, systemctl
// does it instead, so that systemd's view of the service and the server
// agree.
#pragma once

#include <string>
#include <vector>

#include "instancectl/instancectl.h"
#include "instancectl/inventory.h"

// True when systemd manages the machine: <line.systemdRoot>/run/systemd/system
// is a directory.
bool systemdManages(const CommandLine& line);

// The file name of the unit `instancectl unit` wrote for the instance
// directory `instanceDir` in line.unitDirectory, when one is there and
// carries that instance's mark; else "".
std::string instanceUnit(const CommandLine& line, const std::string& instanceDir);

// The unit through which systemctl operates the instance directory
// `instanceDir`: its instanceUnit when systemdManages, else "" (its own
// control scripts operate it).
std::string operatingUnit(const CommandLine& line, const std::string& instanceDir);

// Runs `systemctl VERB unit` for the instance `info` and says on standard
// output what it did, or on standard error why not (with the end of the
// error log when a start or restart failed). True when systemctl succeeded.
bool operateThroughUnit(const CommandLine& line, const Workplace& place, const InstanceInfo& info,
                        const std::string& verb, const std::string& unit);

// Runs line.systemctl with `arguments`, as the running user, in a new
// session without a terminal, its output relayed to standard error with
// control characters escaped. Its exit status, or -1 when it could not be
// run (ERR_FILE_OPEN_READ in `*problem`) or did not end in time
// (ERR_CTL_SCRIPT_TIMEOUT).
int runSystemctl(const CommandLine& line, const std::vector<std::string>& arguments, Message* problem);

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
