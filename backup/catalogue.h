// SPDX-License-Identifier: GPL-3.0-or-later
// An instance's backup catalogue `backups.conf` and the numbered copies of
// its configuration files beside it.
//
// File format (lines end in '\n'):
//   backups.conf:Version 4.0
//   [DiskQuota=<n>]            settings, each only when not 0
//   [MaxTags=<n>]
//   <empty line>
//   <name>:<path>:<version>:<mtime>:<description, own '\n'>   one per entry
//   <empty line>
//   <time>:<name>/<version>:...::<text, own '\n'>            one per tag
//   --EOF--
#pragma once

#include <cstdint>
#include <cstdio>

#include "messages/messages.h"

struct BackupEntry {
  char* name;
  char* path;
  char* fullPath;
  int32_t version;
  int32_t modifiedTime;
  char* description;  // null for none; else ends in '\n'
};

struct TagMember {
  int32_t entryIndex;
  int32_t version;
};

struct BackupTag {
  int32_t time;
  int32_t memberCount;
  TagMember* members;
  char* text;  // ends in '\n'
};

struct BackupNameIndex;  // name -> first entry index, for linear-time opening

struct BackupCatalogue {
  int32_t changeCount;
  int32_t diskQuota;
  int32_t maxTags;
  char* root;
  char* backupDir;
  char* filePath;  // the catalogue file itself, for the atomic write-back
  FILE* file;
  int32_t entryCount;
  BackupEntry* entries;
  int32_t tagCount;
  BackupTag* tags;
  BackupNameIndex* nameIndex;
};

// Opens `path` (which must exist and be writable) and reads it; `root`
// resolves relative entry paths. Null when the file cannot be examined,
// opened or read. The caller owns the result and releases it with close (or
// discard).
BackupCatalogue* openBackupCatalogue(const char* root, const char* path);
// Reads a catalogue from any stream (no file is kept; `path` names the file a
// later close writes); for tests and tools. Null on a read error.
BackupCatalogue* readBackupCatalogue(const char* root, const char* path, FILE* stream);

// Releases the catalogue and closes its file without writing anything (for a
// creation that stops early: none of its recordings reaches the file).
void discardBackupCatalogue(BackupCatalogue* catalogue);

// Writes the catalogue back when it changed (atomically: a temporary file in
// the same directory, synced, renamed over the catalogue), closes the file and
// releases everything. Empty, or ERR_FILE_WRITE (path, error text) when the
// write-back failed; the catalogue is released in every case.
Message closeBackupCatalogue(BackupCatalogue* catalogue);

// Writes the catalogue's text to `stream`; 0, or errno of a failed write.
int writeBackupCatalogue(BackupCatalogue* catalogue, FILE* stream);

// Index of the first entry named `name`, or -1.
int findBackupEntry(const BackupCatalogue* catalogue, const char* name);

// Records `path` (absolute, or relative to root): a new entry under a unique
// backup name, its first numbered copy "<backupDir>/<name>.1", and a tag of
// all entries. 0 on success or when the path is already recorded; else errno.
int recordBackupFile(BackupCatalogue* catalogue, const char* name, const char* path,
                     const char* description, const char* tagText);

// Appends a tag listing every entry at its current version; `text` (null for
// "\n") ends the tag's line. Does not count as a change.
void addBackupTag(BackupCatalogue* catalogue, int32_t time, const char* text);

// Copies `from` to `to` (created or emptied). 0, or errno of the failed
// open, read, write or close; a copy that fails once `to` is open is removed.
int copyBackupFile(const char* from, const char* to);
