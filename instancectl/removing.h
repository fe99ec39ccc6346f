// SPDX-License-Identifier: GPL-3.0-or-later
// The removal of an instance as steps that a kill may stop anywhere and
// the next `instancectl remove` finishes (instance/on_disk.h names what
// they leave):
//
//   1. decide what stays, from what only root controls (decideRemoval),
//      and what an unfinished creation made outside the instance, from its
//      mark; write both into the note of ".removing.<id>";
//   2. move the instance in there, which keeps its identifier and, through
//      its record, its ports taken;
//   3. take back what an unfinished creation made outside, each directory
//      only while it is the one it made;
//   4. walk the tree, the record last;
//   5. end: the removal's directory goes (or, when a document root inside
//      stays, the tree goes back to its name first).
//
// A removal found unfinished goes on from its note: what it keeps never
// depends on what is left of the record.
#pragma once

#include <string>

#include "instancectl/instancectl.h"
#include "instancectl/inventory.h"

// Removes (or finishes removing) the instance `info`, found under the lock
// of the instances root that the caller holds, whose server does not run.
// Prints what it removed and kept on standard output and what stopped it
// on standard error; returns the exit status (STATUS_FAILED while anything
// of the instance is left).
int removeInstance(const CommandLine& line, const Workplace& place, const InstanceInfo& info);

// For tests, where the directory an unfinished creation made is swapped:
// called with its path just before the take-back removes it by name, once
// it was found to be the one the creation made.
extern void (*takeBackHook)(const std::string& path);

// The mount points below the instance's tree, the first one named in
// ERR_CTL_MOUNT_INSIDE; empty when there is none (or /proc cannot tell).
Message mountInside(const Workplace& place, const InstanceInfo& info);
