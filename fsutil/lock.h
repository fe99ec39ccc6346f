// SPDX-License-Identifier: GPL-3.0-or-later
// A lock file in a directory, so that runs at the same moment that work
// there take their turns (instance/on_disk.h names the instances root's).
#pragma once

#include "fsutil/descriptor.h"
#include "messages/messages.h"

constexpr int LOCK_WAIT_SECONDS = 60;

// Takes the exclusive lock "<directory>/<name>" (a kernel lock on the file:
// a holder that dies releases it), waiting at most `waitSeconds` for
// another holder. The file is made (mode 0600) when missing and must be a
// regular file of the effective user with one name; it is opened without
// following a link and without blocking. The lock lasts as long as `held`.
// Empty, or ERR_LOCK_TIMEOUT (the file, the seconds), ERR_UNSAFE_LOCK (the
// file) or ERR_FILE_OPEN_WRITE (the file, error text).
Message lockFileIn(const char* directory, const char* name, Descriptor* held, int waitSeconds = LOCK_WAIT_SECONDS);

// What lockFileIn would refuse, found without making, opening for long or
// locking anything (a lock held by another run is no problem).
Message checkLockFileIn(const char* directory, const char* name);
