// SPDX-License-Identifier: GPL-3.0-or-later
// The control scripts' program: what bin/startserv, stopserv, restartserv
// and rotatelogs of an instance do, run by the installation's asowner as
//
//   asowner --script NAME --instance DIR [--SETTING VALUE]... -- [WORD...]
//
// (instancectl/script_command.h). The script itself only hands over: run
// by root, it execs asowner once it has made sure that nobody but root can
// change the program or anything on the way to it; run by anybody else,
// it execs it as written.
//
// The program reads the script's command line first (--help answers before
// anything is opened). The instance's owner is the owner of its config
// directory (of the instance directory when there is none). Run by root,
// it makes sure that the instance directory, bin and the script are root's
// alone, then runs itself again as the owner (instancectl/asowner.h: a new
// session without a terminal, output relayed escaped, signals passed on),
// executing the very file it runs from, with the capability to bind ports
// below 1024 for startserv and restartserv only; for an instance of root's
// own, config and logs must be root's alone too, and it goes on as root.
// Run by the owner it does the work; run by anybody else it refuses.
//
// Whether the server runs is decided by instance/server.h alone: the
// holder of logs/server.lock. startserv, stopserv and restartserv take
// logs/control.lock while they work, so that they never interleave.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "fsutil/descriptor.h"
#include "instancectl/script_command.h"

// Refusals, for every script: nothing was done.
constexpr int REFUSED_STATUS = 3;

// One run of a control script, as the instance's owner.
struct ControlRun {
  ScriptSettings settings;
  ScriptOptions options;
  Descriptor instance;  // the instance directory (O_PATH)
  uid_t owner = 0;
  std::string ownerName;  // its user name, or its number when the system has none
  std::string ownedPath;  // config, or the instance directory: what told the owner

  const char* name() const { return scriptName(settings.script); }
  // The path of `name` in the instance's logs directory, for messages.
  std::string inLogs(const std::string& name) const { return settings.instanceDir + "/logs/" + name; }
};

// Runs the script described by `arguments` (those after the program's
// name, from "--script" on); `self` is the name the program was run by.
// Its exit status.
int runControlProgram(const std::vector<std::string>& arguments, const std::string& self);

// Opens the instance's logs directory (without following a link) into
// `logs`: 0, or an errno.
int openLogs(const ControlRun& run, Descriptor* logs);
