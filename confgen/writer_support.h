// SPDX-License-Identifier: GPL-3.0-or-later
// What the configuration writers share: a generated file whose every write
// and final close is checked, so that a full disk cannot pass for a complete
// file; path formatting; the backup-and-record step.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "backup/catalogue.h"
#include "messages/messages.h"

struct FileCloser {
  void operator()(FILE* file) const {
    if (file) std::fclose(file);
  }
};
// Closes a stream that an early return left open; its outcome is lost then.
using FileHandle = std::unique_ptr<FILE, FileCloser>;

struct OutputFile {
  FileHandle file;
  int error = 0;  // errno of the first failed write, 0 while all went well
};

// Creates or truncates `path` for writing. False, with errno set, on failure.
bool openOutputFile(OutputFile& output, const char* path);

// Formatted write; a failure is remembered in output.error, later writes are
// still attempted so the caller can check once at the end.
void writeOutput(OutputFile& output, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes `text` unchanged (it may hold '%').
void writeOutputText(OutputFile& output, const char* text);

// Closes the file: 0 when every write and the close succeeded, else the errno
// of the first failure. The stream is gone afterwards in every case.
int closeOutputFile(OutputFile& output);

// ERR_FILE_WRITE (path, the system's text for `errorNumber`).
Message fileWriteFailure(const char* path, int errorNumber);

// printf-style formatting into a string of any length. Paths are not cut at
// 4096 bytes here: an overlong one fails at its open with ENAMETOOLONG.
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "<instancesRoot>/<serverId>".
std::string instanceDirectory(const char* instancesRoot, const char* serverId);

// Copies `source` to `backupCopy` (mode 0644) and records the copy with
// `description`; the copy's own message, ERR_CREATE_BACKUP (failureName)
// when the recording fails, or empty.
Message backUpAndRecord(BackupCatalogue* catalogue, const std::string& source, const std::string& backupCopy,
                        const std::string& description, const char* failureName);
