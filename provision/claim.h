// Which run owns an identifier, and what happens to the remains of a failed
// one.
//
// A creation claims "<instancesRoot>/<serverId>" with an exclusive mkdir,
// so that two runs with the same identifier can never both go on and no run
// reuses an existing instance. A failed creation then frees the identifier
// again: an empty directory is removed, anything else is moved to
// "<instancesRoot>/broken.<serverId>[.n]".
#pragma once

#include <string>

#include "instance/record.h"
#include "messages/messages.h"

// "<instancesRoot>/<serverId>".
std::string instanceDirectoryOf(const InstanceRecord* record);

// True when "<serverRoot>/https-<serverId>" exists or any entry, a dangling
// link included, takes the name "<instancesRoot>/<serverId>".
bool serverIdInUse(const InstanceRecord* record);

// What would keep the claim's mkdir from making the instance directory in
// an instances root that it may use: ERR_MKDIR_FAILURE (the instance
// directory, error text) when this run cannot write there.
Message claimProblem(const InstanceRecord* record);

// Makes the instance directory with mode 0755, exclusively. Claimed, or
// InUse when an entry of its name exists by now, or Failed with
// ERR_MKDIR_FAILURE (the directory, error text) in `failure`. The
// identifier must have passed checkServerId.
enum class ClaimResult { Claimed, InUse, Failed };
ClaimResult claimInstanceDirectory(const InstanceRecord* record, Message* failure);

// After a failed creation of a claimed instance: moves
// "<serverRoot>/https-<serverId>" to "<serverRoot>/broken.https-<serverId>"
// when it exists, then removes the instance directory when it is empty,
// else renames it to "<instancesRoot>/broken.<serverId>[.n]". Returns
// ERR_INSTANCE_SET_ASIDE (the new path) or ERR_INSTANCE_LEFT_IN_PLACE (the
// directory, when it could not be moved); empty when nothing was kept.
Message setAsideInstance(const InstanceRecord* record);
