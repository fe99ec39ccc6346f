// SPDX-License-Identifier: GPL-3.0-or-later
// startserv, stopserv and restartserv, done as the instance's owner
// (instancectl/script_run.h). Each holds logs/control.lock while it works;
// restartserv hands the lock it holds to the stopserv and startserv it
// runs, as the descriptor named by CONTROL_LOCK_VARIABLE.
//
// Exit statuses:
//   startserv    0 started (a server holds the lock), 1 not started,
//                2 already running (nothing done), 3 refused
//   stopserv     0 stopped, 1 still running after the signals it sent,
//                2 not running, 3 refused (no signal sent)
//   restartserv  0 restarted, 1 not stopped or not started, 2 a server was
//                running again before the start, 3 refused (nothing done)
#pragma once

#include "fsutil/descriptor.h"
#include "instancectl/script_run.h"

constexpr const char* CONTROL_LOCK_VARIABLE = "INSTANCE_CONTROL_LOCK_FD";
// What takeControlLock returns for a lock file that is no regular file.
constexpr int LOCK_NOT_REGULAR = -1;

int startServer(ControlRun& run);
int stopServer(ControlRun& run);
int restartServer(ControlRun& run);

// Takes the control lock of the logs directory held as `logs` into `held`:
// the descriptor CONTROL_LOCK_VARIABLE names when it is that very file
// (the lock of the restartserv that runs this script), else the file
// opened (made when missing) and locked here, waiting for another holder.
// The variable goes from the environment either way. 0, an errno, or
// LOCK_NOT_REGULAR.
int takeControlLock(int logs, Descriptor* held);
