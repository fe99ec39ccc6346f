// SPDX-License-Identifier: GPL-3.0-or-later
// Removing a directory tree that a less trusted user may change while it
// goes: every entry is reached relative to a descriptor of its directory
// and opened without following a link, so the walk never leaves the tree
// through a link, never enters another file system and never removes
// anything but the entries it found below the directory it was given.
//
// Run as root, each directory of another user is made root's own (mode
// 0700) before it is listed: its owner can then neither add entries to it
// nor rename or replace the ones it holds, so what is listed is what is
// removed. Directories that stay (see RemovalPlan) get their owner and mode
// back.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "instance/on_disk.h"

// What a removal keeps.
struct RemovalPlan {
  // Directories kept whole wherever they are met, by identity: a renamed
  // one is still recognised.
  std::vector<FileIdentity> keptDirectories;
  // A path relative to the removed directory kept whole, with the entries
  // that lead to it; "" for none.
  std::string keptPath;
  // When set, the directory is removed only when it is this one
  // (sameFile); else nothing is touched (ESTALE).
  bool topKnown = false;
  FileIdentity top;
};

struct RemovalResult {
  bool removedAll = false;                     // the directory itself is gone
  std::vector<std::string> kept;               // kept by the plan, relative paths
  std::vector<std::string> otherFileSystems;   // mount points and other file systems, not entered
  std::string failedPath;                      // the first entry that could not be removed ("" for the directory)
  int error = 0;                               // and why (0 when nothing failed)
};

// Removes the directory `name` of the directory held open as `parent`, and
// everything below it, but what `plan` keeps and what lies on another file
// system than `name` itself (or is a mount point). A `name` that is a link
// or not a directory is not removed (ENOTDIR).
RemovalResult removeTreeAt(int parent, const std::string& name, const RemovalPlan& plan);

// The mount points strictly below the absolute, normalised `directory`
// named by `mountinfo`, the text of /proc/self/mountinfo.
std::vector<std::string> mountPointsBelow(const std::string& mountinfo, const std::string& directory);

// Raises the limit of open descriptors to its hard limit: the walk holds
// one per level of the tree.
void allowDeepWalks();
