// SPDX-License-Identifier: GPL-3.0-or-later
// Handing paths and trees to the server user, and narrowing the modes of the
// configuration trees. Walks work through directory descriptors and never
// follow a symbolic link at any depth: a link is changed itself (lchown) and
// not descended into; chmod walks leave links alone. chownToUser and
// chownLogsDirectory change a link itself, never its target; chownAclFiles
// refuses a link.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "messages/messages.h"

// Entries with longer names are neither changed nor entered by the walks.
constexpr size_t OWNER_WALK_NAME_LIMIT = 128;

// Changes owner and group of the absolute `path` and, depth first with
// children before their parent, of everything below it, stopping at the
// first change (or directory listing) that fails. Only entries of the
// effective user are changed: a directory of another user is neither
// changed nor entered. A file (or link) with a second name is not changed
// either: the walk stops there with EMLINK (ERR_UNSAFE_LINK in the
// messages below). 0 when every change was made; -1 with errno otherwise,
// and for a null or relative path.
int chownTree(const char* path, uid_t uid, gid_t gid);

// As root: chownTree to `userName`'s ids. Empty, or ERR_GET_USER_NAME (user)
// or ERR_CHANGE_OWNER (the first path that failed, error). Does nothing for
// another effective uid.
Message chownTreeToUser(const char* userName, const char* path);

// As chownTreeToUser for the directory held open as `directory` (opened for
// reading), shown as `shownPath` in messages.
Message chownTreeToUserAt(const char* userName, int directory, const char* shownPath);

// As chownTreeToUserAt for the entries of `directory` and their trees, but
// not the directory itself nor its entries named in `kept`.
Message chownEntriesToUserAt(const char* userName, int directory, const char* shownPath,
                            const std::vector<std::string>& kept);

// Gives `path` (not recursively) to `userName` unless the real uid already
// is that user's. Empty, ERR_GET_USER_NAME (user) or ERR_CHANGE_OWNER (path, error).
Message chownToUser(const char* path, const char* userName);

// As root: gives "<instanceDir>/logs" to `userName`. Otherwise does nothing.
Message chownLogsDirectory(const char* instanceDir, const char* userName);

// As root: gives "<base>/config/generated.<id>.acl" and
// "<base>/config/httpacl/genwork.<id>.acl", where they exist, to `userName`.
// Either one that is a link, or a file with a second name, is refused with
// ERR_UNSAFE_LINK (its path), and so is an untrusted link on the way to it.
Message chownAclFiles(const char* baseDir, const char* serverId, const char* userName);

// What chownAclFiles would refuse, found without changing anything.
Message checkAclFiles(const char* baseDir, const char* serverId);

extern "C" {
// File-tree-walk callback: directories to 0700, other items to 0600. Returns
// 0 to go on, -1 (stop) when the mode change fails or the item cannot be
// used; a symbolic link is never followed. Works without /proc.
__attribute__((visibility("default"))) int chmodConfigItem(const char* path, const struct stat* status,
                                                           int type);
}

// Narrows the physical tree at `path` as chmodConfigItem does, the root
// included, directories before their contents, through directory
// descriptors; symbolic links are skipped, and a root that is a link is not
// walked. 0 when the whole walk succeeded, non-zero otherwise.
int chmodConfigTree(const char* path);
