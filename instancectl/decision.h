// SPDX-License-Identifier: GPL-3.0-or-later
// What the removal of an instance keeps, decided before the walk from what
// only root controls. The record (config/answers.conf) belongs to the
// server user: the document root it names is taken only as a hint, and
// kept only where keeping it cannot keep the instance.
#pragma once

#include <sys/types.h>

#include <string>

#include "instancectl/removal.h"

enum class DocumentRootPlace {
  NotRecorded,  // the record names none
  Missing,      // it names a directory that cannot be opened (gone, or behind a link nobody trusted made)
  Outside,      // a directory outside the instance: never reached by the walk, kept
  Inside,       // a directory inside the instance that may be kept, with what leads to it
  Refused,      // anything else: not kept, reported, and removed with the instance when inside it
};

// The word that names `place` in a removal's note, and back (NotRecorded
// for a word that names none).
const char* placeName(DocumentRootPlace place);
DocumentRootPlace placeNamed(const std::string& word);

struct RemovalDecision {
  RemovalPlan plan;   // what removeTreeAt keeps
  std::string docRoot;  // as the record names it ("" for none)
  DocumentRootPlace place = DocumentRootPlace::NotRecorded;
};

// The plan of the removal of the instance directory `name` of the
// instances root held open as `instancesRoot`, owned by `owner` (the
// owner of its config, as the control scripts decide it), whose record
// names `recordedDocRoot` as document root. That directory is located by
// what it is, not by how the record spells it: opened (following only
// links root could have placed), then found by climbing its ".." entries.
// It is kept (by identity, and so are the directories leading to it) when
// it lies strictly inside the instance directory, but is neither the
// instance's config directory nor in its bin directory, and the first
// directory on its way below the instance directory belongs to `owner`
// (an instance directory is root's: a directory directly in it was made by
// root's creation, which hands over only what it made for the server, and
// the server user cannot add one). A path that is not absolute or holds a
// NUL byte, the instance directory itself and everything else inside it
// are refused; a directory outside the instance is kept as the walk never
// reaches it.
RemovalDecision decideRemoval(int instancesRoot, const std::string& name, uid_t owner,
                              const std::string& recordedDocRoot);
