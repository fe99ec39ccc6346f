// One lock per instances root, so that runs at the same moment that create
// or remove instances there take their turns: a port checked free stays
// free until the run that checked it has claimed its identifier and
// recorded its ports.
#pragma once

#include "fsutil/descriptor.h"
#include "messages/messages.h"

constexpr const char* INSTANCES_LOCK_FILE = ".instances.lock";
constexpr int LOCK_WAIT_SECONDS = 60;

// Takes the exclusive lock "<instancesRoot>/.instances.lock" (a kernel lock
// on the file: a holder that dies releases it), waiting at most
// `waitSeconds` for another holder. The file is made (mode 0600) when
// missing and must be a regular file of the effective user with one name;
// it is opened without following a link and without blocking. The lock
// lasts as long as `held`. Empty, or ERR_LOCK_TIMEOUT (the file, the
// seconds), ERR_UNSAFE_LOCK (the file) or ERR_FILE_OPEN_WRITE (the file,
// error text).
Message lockInstancesRoot(const char* instancesRoot, Descriptor* held, int waitSeconds = LOCK_WAIT_SECONDS);

// What lockInstancesRoot would refuse, found without making, opening for
// long or locking anything (a lock held by another run is no problem).
Message checkInstancesRootLock(const char* instancesRoot);
