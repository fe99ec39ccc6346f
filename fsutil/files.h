// SPDX-License-Identifier: GPL-3.0-or-later
// Copying, directory creation and existence tests on plain paths.
// Paths of PATH_LIMIT bytes or more are refused: the message operations
// report "ERR_FILE_OPEN_READ"/"ERR_FILE_OPEN_WRITE"/"ERR_MKDIR_FAILURE" with
// the error text of ENAMETOOLONG, the status operations return -1 with errno
// ENAMETOOLONG.
#pragma once

#include <sys/types.h>

#include <string>

#include "fsutil/descriptor.h"
#include "messages/messages.h"

constexpr size_t PATH_LIMIT = 4096;  // a path holds at most 4095 bytes

// Copies the regular file `source` to `destination` (created with `mode`,
// or truncated keeping its own mode) in chunks of 4096 bytes. Sets the
// process umask to 022 for the rest of the run. Empty on success, else one of
// ERR_FILE_OPEN_READ, ERR_IRREGULAR_FILE, ERR_FILE_OPEN_WRITE, ERR_FILE_READ,
// ERR_FILE_COPY, ERR_FILE_WRITE (a failed close of the destination). A
// source that ends before the size it had when opened (it shrank meanwhile)
// gives ERR_FILE_READ with the error text of EIO. A destination that is the
// source itself (one file under two paths) is left as it is:
// ERR_SAME_FILE (destination, source).
Message copyFile(const char* source, const char* destination, mode_t mode);

// Gives `destination` the content of the regular file `source` unless
// `destination` exists by then; an existing file is kept as it is. The copy
// is made in an unnamed file of the destination's directory and linked in
// under its name only when whole, so `destination` never exists half
// written and a run stopped at any moment leaves no temporary file behind.
// Where the file system has no unnamed files, the copy is made under a
// temporary name beside the destination (copyFileIfAbsentByTemporaryName).
// Messages as copyFile; ERR_FILE_WRITE (destination) for a failed link.
Message copyFileIfAbsent(const char* source, const char* destination, mode_t mode);
Message copyFileIfAbsentByTemporaryName(const char* source, const char* destination, mode_t mode);
// As copyFileIfAbsent for the entry `name` of the directory held open as
// `directory`; `shownDestination` is its path in messages.
Message copyFileIfAbsentIn(const char* source, int directory, const char* name, const char* shownDestination,
                           mode_t mode);

// As copyFile to the relative path `name` below the directory held open as
// `base` (`shownBase` in messages). Every directory in `name` must exist;
// neither they nor the file are reached through a symbolic link, and an
// existing file is written only when it is a regular file with no other
// name: a link that another user placed there would otherwise lead the
// copy elsewhere. Messages as copyFile (ERR_SAME_FILE among them), plus
// ERR_UNSAFE_LINK (the link's path) and ERR_IRREGULAR_FILE (an existing
// destination that is not a regular file).
Message copyFileBelow(const char* source, int base, const std::string& shownBase, const std::string& name,
                      mode_t mode);

// What copyFileBelow and copyFileIfAbsentIn would fail with now, found
// without writing anything: the source as checkCopySource finds it, a link
// or a missing directory on the way, an existing destination that is the
// source itself or not a plain file of one name, or one this run may not
// write (or a directory it may not create the file in). An existing destination of
// copyFileIfAbsentIn is kept, whatever it is.
Message checkCopyBelow(const char* source, int base, const std::string& shownBase, const std::string& name);
Message checkCopyIfAbsentIn(const char* source, int directory, const char* name, const char* shownDestination);

// How `path` opened for reading, without waiting on a FIFO (O_NONBLOCK,
// which changes nothing for the reads of a regular file): as a regular
// file, held in `file` with its status in `status` when given; as
// something else, also held; or not at all (errno tells why).
enum class RegularFile { Opened, Irregular, Unopened };
RegularFile openRegularFile(const char* path, Descriptor* file, struct stat* status = nullptr);

// Empty when copyFile could open `source` as a regular file now; else its
// ERR_FILE_OPEN_READ or ERR_IRREGULAR_FILE message. Sets the umask as
// copyFile does.
Message checkCopySource(const char* source);

// The directory part of `path` ("." without a slash, "/" for a top-level
// entry) and its last component.
std::string parentOf(const std::string& path);
std::string lastComponentOf(const std::string& path);

// As copyFile without messages: 0 on success and when `source` is not a
// regular file (nothing is created then), -1 on failure.
int copyFileQuiet(const char* source, const char* destination, mode_t mode);

// Creates the directory `path` with exactly `mode`; an existing path of any
// kind is kept and given `mode`. 0, or -1 with errno of the failed mkdir or
// mode change.
int makeDirectory(const char* path, mode_t mode);

// Creates every missing directory along `path` with `mode`; existing
// prefixes are left as they are. Empty, or ERR_MKDIR_FAILURE (prefix, error).
Message makeDirectoryPath(const char* path, mode_t mode);

// Makes the entry `name` of the directory held as `directory` hold exactly
// `text` with exactly `mode`: written whole under the name `temporary`
// beside it (a stale one removed first, never followed), synced, renamed
// over `name`, and the directory synced. A run stopped at any moment leaves
// the old content or the new one under `name`, never a part. 0, or an
// error number (the temporary name is removed again on failure).
int replaceFileAt(int directory, const char* temporary, const char* name, const std::string& text, mode_t mode);

// True when stat(path) succeeds (symbolic links are followed).
bool pathExists(const char* path);

// Empty when `path` fits the system's limit on paths (PATH_LIMIT - 1
// bytes), else ERR_PATH_TOO_LONG (path, its length, the limit): a path the
// run forms must also be one the server can open later.
Message checkPathLength(const std::string& path);

// Formats into a PATH_LIMIT buffer; false (errno ENAMETOOLONG) when the
// result would not fit.
bool formatPath(char (&buffer)[PATH_LIMIT], const char* format, ...)
    __attribute__((format(printf, 2, 3)));
