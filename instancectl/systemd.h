// SPDX-License-Identifier: GPL-3.0-or-later
// systemd as instancectl meets it: whether it manages the machine, the
// unit `instancectl unit` wrote for an instance, whether a server runs
// under that unit, and systemctl, run for what it does and asked for what
// it knows (only in its machine format, `show -p PROPERTY --value`).
//
// A server runs under its unit when its process is in the unit's control
// group: systemd started it, supervises it and stops it. A server started
// with the instance's scripts runs outside it, whatever unit the instance
// has; `systemctl stop` would not reach it.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "instancectl/instancectl.h"
#include "messages/messages.h"

// True when systemd manages the machine: <line.systemdRoot>/run/systemd/system
// is a directory.
bool systemdManages(const CommandLine& line);

// The file name of the unit `instancectl unit` wrote for the instance
// directory `instanceDir` in line.unitDirectory, when one is there and
// carries that instance's mark; else "".
std::string instanceUnit(const CommandLine& line, const std::string& instanceDir);

// The unit through which root operates the instance directory
// `instanceDir`: its instanceUnit when run by root and systemdManages,
// else "" (its own control scripts operate it).
std::string operatingUnit(const CommandLine& line, const std::string& instanceDir);

// True when the text of /proc/<pid>/cgroup puts the process in the control
// group of `unit` or one below it: the path of its cgroup2 line ("0::")
// or of its "name=systemd" line has `unit` as a component.
bool cgroupNamesUnit(const std::string& cgroups, const std::string& unit);

// True when the process `pid` runs under `unit`, by the cgroup file of
// <line.systemdRoot>/proc/<pid>.
bool runsUnderUnit(const CommandLine& line, pid_t pid, const std::string& unit);

// Runs line.systemctl with `arguments`, as the running user, in a new
// session without a terminal, its output and errors relayed to `outputTo`
// and `errorsTo` with control characters escaped. Its exit status, or -1
// when it could not be run (ERR_FILE_OPEN_READ in `*problem`) or did not
// end in time (ERR_CTL_SCRIPT_TIMEOUT).
int runSystemctl(const CommandLine& line, const std::vector<std::string>& arguments, Message* problem,
                 int outputTo = STDERR_FILENO, int errorsTo = STDERR_FILENO);

// The value systemd gives the property `property` of `unit` (systemctl
// show -p PROPERTY --value UNIT) without its line end; "" when systemctl
// fails.
std::string unitProperty(const CommandLine& line, const std::string& unit, const char* property);

// Runs systemctl with `arguments` for the instance `id`; true when it ended
// with status 0. Else its own words are followed by a line naming the
// command and its status (or why it did not run), unless `quiet`: then
// nothing of it is shown.
bool systemctlDid(const CommandLine& line, const std::string& id, const std::vector<std::string>& arguments,
                  bool quiet = false);

// Leaves systemd with no unit of the instance `id` of `place` whose
// directory is `instanceDir`: the unit `instancectl unit` made for it, in
// the unit directory held open as `directory`, is removed with its link in
// multi-user.target.wants; when systemd manages the machine it is first
// stopped (a server running under it is said to be stopped, and the unit
// stays while the server still runs) and disabled, then systemd reloads
// its units and forgets a failure of it (reset-failed). A unit of that name
// made for anything else stays, refused when `sayAbsent`; without a unit
// file, `sayAbsent` says so, and has systemd forget a failure of a unit of
// that name all the same. Prints what it did; the exit status.
int dropUnit(const CommandLine& line, const Workplace& place, const std::string& id, const std::string& instanceDir,
             int directory, bool sayAbsent);
