// SPDX-License-Identifier: GPL-3.0-or-later
// Directories opened one path component at a time and then held by
// descriptor.
//
// A root run works in trees that other users may be able to write to. A
// path that is checked and then used by name can be changed in between; a
// directory held open cannot. A symbolic link on the way to a directory is
// followed only when no user but root could have placed it (see
// linkIsTrusted); anything met below a held directory is addressed relative
// to it and never through a link.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "fsutil/descriptor.h"
#include "messages/messages.h"

// True when a run may follow the symbolic link `link` found in the directory
// `directory`. A run by root follows a link only when root owns it and
// nobody but root can replace it: the directory belongs to root and is not
// writable by group or others, or is sticky (others may add entries there
// but not rename or remove root's), and the link has no second name. A run
// by an ordinary user works with that user's rights alone and follows every
// link.
bool linkIsTrusted(const struct stat& directory, const struct stat& link);

// True when nobody but root can add, rename or remove entries of the
// directory: root owns it and it is not writable by group or others unless
// it is sticky.
bool onlyRootChanges(const struct stat& directory);

// The refusal to write through `entry`, a link (or a file with a second
// name) found in the directory held as `directory`, shown as `shown`:
// ERR_UNSAFE_LINK when a user other than this one and root could have
// placed it there (it is theirs, or the directory lets them), else
// ERR_LINK_REFUSED.
Message linkRefusal(int directory, const struct stat& entry, const char* shown);

struct CloseDirectory {
  void operator()(DIR* directory) const { closedir(directory); }
};
using DirectoryListing = std::unique_ptr<DIR, CloseDirectory>;

// True when the directory held open for reading as `directory` holds
// nothing but "." and ".."; false also when it cannot be listed.
bool holdsNoEntry(int directory);

// A listing of the directory `name` of `parent` ("." for `parent` itself),
// opened without following a link: an entry swapped for a link after it
// was examined is not followed. Null, with errno, when it cannot be opened.
DirectoryListing openListing(int parent, const char* name);

struct OpenedDirectory {
  Descriptor fd;              // the directory; not valid when notDirectory
  bool made = false;          // the last component was missing and has been made
  bool notDirectory = false;  // the path names an existing entry that is not a directory
};

// Told of every directory openOrMakeDirectoryPath makes, so that a caller
// can record what it made before a kill could hide it: `before` right
// before the mkdir, `made` once the directory is proven to be the one made
// (held open as `directory`, not yet given its mode), each with the prefix
// of the path it makes and whether it is the last component. A message
// from either stops the walk with it.
struct MakingObserver {
  std::function<Message(const std::string& prefix, bool last)> before;
  std::function<Message(const std::string& prefix, bool last, int directory)> made;
};

// Opens the directory at the absolute `path`, making every missing directory
// along it with exactly `mode` (and the set-group-ID bit of a parent that
// has it); an existing entry is left as it is. When the
// last component exists but is not a directory, `notDirectory` is set and
// no descriptor is held. Empty on success, else ERR_MKDIR_FAILURE (the
// prefix of `path` that could not be made, error text), ERR_UNSAFE_LINK
// (the prefix that is a link the run must not follow, or a directory made
// here that another user replaced before it could be opened), or the
// message of `observer` (may be null).
Message openOrMakeDirectoryPath(const char* path, mode_t mode, OpenedDirectory* out,
                                const MakingObserver* observer = nullptr);

// Opens the existing directory at the absolute `path`. 0, or -1 with errno
// (ELOOP for a link the run must not follow, its prefix in `*unsafePrefix`
// when given).
int openDirectoryPath(const char* path, Descriptor* out, std::string* unsafePrefix = nullptr);

// The path the kernel gives the directory held as `fd`, every link on the
// way and every "." and "//" resolved (/proc/self/fd); "" when /proc
// cannot say or the directory has been removed.
std::string realPathOfDirectory(int fd);

// Opens the directory holding the existing non-directory at the absolute
// `path` (following, on the way and at its end, only links the run may
// follow) and gives the entry's name in it. 0, or -1 with errno (EISDIR
// for a directory, ELOOP for a link the run must not follow, its prefix in
// `*unsafePrefix` when given).
int openParentOfFile(const char* path, Descriptor* directory, std::string* name,
                     std::string* unsafePrefix = nullptr);

// What openOrMakeDirectoryPath would find at `path`, found by the same walk
// with the making left out: the directory exists, the path names something
// else, or the directory would be made (the walk imagines each missing
// directory, so that a ".." after one comes back where the real walk would).
// `directory` holds the directory when it exists, the one holding the last
// entry when that is not a directory, else the deepest existing directory
// on the way. Messages as openOrMakeDirectoryPath for what would stop it,
// ERR_MKDIR_FAILURE among them for a directory this user could not make.
struct PathSurvey {
  bool exists = false;
  bool notDirectory = false;
  bool toBeMade = false;
  Descriptor directory;
};
Message surveyDirectoryPath(const char* path, PathSurvey* out);

// True when the directory held as `directory` is the one of status
// `ancestor` or lies below it, found by climbing its ".." entries up to the
// root of its file system.
bool liesWithin(int directory, const struct stat& ancestor);

// For a run as root: empty when nobody but root can change the directory at
// `path` or any directory on the way to it, so that entries made in it
// stay root's to use by name. Else ERR_UNSAFE_DIRECTORY (the first such
// directory, as a prefix of `path`) or ERR_UNSAFE_LINK. A path that cannot
// be opened is left to the steps that use it. Does nothing for another
// effective user.
Message checkRootOnlyDirectory(const char* path);
