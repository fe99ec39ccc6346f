// SPDX-License-Identifier: GPL-3.0-or-later
// Reading small files that another user may be able to change: other
// instances' records, a password file. Such a file is never reached through
// a link the run must not follow, never blocks the run (a FIFO, a device),
// and never grows it (/dev/zero, a sparse file of gigabytes).
#pragma once

#include <sys/stat.h>

#include <string>

#include "messages/messages.h"

constexpr size_t SMALL_FILE_LIMIT = 64 * 1024;

// Why a file was not read.
enum class ReadRefusal {
  None,
  System,      // `error` holds the errno
  Link,        // a symbolic link where a file was expected, or an untrusted one on the way
  Irregular,   // not a regular file
  SecondName,  // a regular file with another name: maybe another user's hard link
  TooLarge,    // more than the limit
};

struct ReadOutcome {
  ReadRefusal refusal = ReadRefusal::None;
  int error = 0;
  explicit operator bool() const { return refusal == ReadRefusal::None; }
};

// The whole content of the entry `name` of the directory held open as
// `directory`, opened without following a link and without blocking, in
// `content`; it must be a regular file with one name and at most `limit`
// bytes. The file's status goes to `status` when given.
ReadOutcome readSmallFileAt(int directory, const char* name, size_t limit, std::string* content,
                            struct stat* status = nullptr);

// As readSmallFileAt for the absolute `path`, reached through the links a
// run may follow (see openParentOfFile); the last component itself may be
// such a link.
ReadOutcome readSmallFile(const char* path, size_t limit, std::string* content, struct stat* status = nullptr);

// The message for a refused read of `path`: ERR_FILE_OPEN_READ (path, error
// text), ERR_READ_THROUGH_LINK, ERR_IRREGULAR_FILE, ERR_READ_SECOND_NAME
// (path) or ERR_FILE_TOO_LARGE (path, limit in bytes).
Message readRefusalMessage(const char* path, const ReadOutcome& outcome, size_t limit);
