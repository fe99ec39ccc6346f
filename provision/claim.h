// SPDX-License-Identifier: GPL-3.0-or-later
// Which run owns an identifier, and what happens to the remains of a failed
// one.
//
// A creation claims "<instancesRoot>/<serverId>" with an exclusive mkdir,
// so that two runs with the same identifier can never both go on and no run
// reuses an existing instance, and marks it incomplete at once
// (instance/on_disk.h). A failed creation then frees the identifier again:
// a directory that holds nothing but the mark is removed, anything else is
// moved to "<instancesRoot>/broken.<serverId>[.n]".
#pragma once

#include <string>

#include "instance/on_disk.h"
#include "instance/record.h"
#include "messages/messages.h"

// "<instancesRoot>/<serverId>".
std::string instanceDirectoryOf(const InstanceRecord* record);

// How the record's identifier is used now (identifierUse), with the path
// of what takes it in `where` when given; `holdingLock` when this run holds
// the instances root's lock.
IdentifierUse serverIdUse(const InstanceRecord* record, std::string* where = nullptr, bool holdingLock = false);

// The refusal of an identifier that is not free: ERR_SERVER_ID_UNFINISHED
// (identifier, the path that holds it) for an unfinished creation or
// removal, else `inUse` (the face's own text for an identifier in use).
Message identifierRefusal(const InstanceRecord* record, Message inUse, bool holdingLock = false);

// What would keep the claim's mkdir from making the instance directory in
// an instances root that it may use: ERR_MKDIR_FAILURE (the instance
// directory, error text) when this run cannot write there.
Message claimProblem(const InstanceRecord* record);

// Makes the instance directory with mode 0755, exclusively, unless the
// identifier is taken in another way (serverIdUse). Claimed; or InUse when
// the identifier is not free (by now); or Failed with ERR_MKDIR_FAILURE
// (the directory, error text) in `failure`. The identifier must have passed
// checkServerId; the instances root's lock must be held.
enum class ClaimResult { Claimed, InUse, Failed };
ClaimResult claimInstanceDirectory(const InstanceRecord* record, Message* failure);

// After a failed creation of a claimed instance: moves
// "<serverRoot>/https-<serverId>" to "<serverRoot>/broken.https-<serverId>"
// when it exists, then removes the instance directory when it holds
// nothing but its creation mark, else renames it to
// "<instancesRoot>/broken.<serverId>[.n]". Returns ERR_INSTANCE_SET_ASIDE
// (the new path) or ERR_INSTANCE_LEFT_IN_PLACE (the directory, when it could
// not be moved); empty when nothing was kept.
Message setAsideInstance(const InstanceRecord* record);
