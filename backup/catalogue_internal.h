// SPDX-License-Identifier: GPL-3.0-or-later
// Pieces shared by the catalogue's reader, writer and recording code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "backup/catalogue.h"

// Name -> index of the FIRST entry with that name, so lookups keep the
// first-match-wins rule of a scan from the start while costing O(1). The
// views point into the entries' own name strings, which never move.
struct BackupNameIndex {
  std::unordered_map<std::string_view, int32_t> first;
};

struct FileCloser {
  void operator()(FILE* file) const {
    if (file) std::fclose(file);
  }
};
// A stream closed on every way out; use release() and a checked fclose where
// the close must be known to have succeeded.
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct CatalogueReleaser {
  void operator()(BackupCatalogue* catalogue) const { discardBackupCatalogue(catalogue); }
};
using CataloguePtr = std::unique_ptr<BackupCatalogue, CatalogueReleaser>;

// Line buffers and paths of entries are limited to this many bytes,
// terminator included.
constexpr size_t BACKUP_TEXT_LIMIT = 8192;

// malloc'd copy of `length` bytes plus a terminator. Running out of memory
// ends the process (std::bad_alloc): this is a one-shot tool and a catalogue
// half built in memory must never be written back.
char* duplicateText(const char* text, size_t length);
char* duplicateText(const char* text);
// Copy of a text that must end its line, cut at its first NUL: a '\n' is
// added when the text does not end with one, so a line written from it can
// never swallow the next.
char* duplicateLineText(const char* text, size_t length);

// `path` when it begins with '/', else root + "/" + path.
char* resolveBackupPath(const char* root, const char* path);

// A new, empty catalogue (changeCount 1, no file) for `path` below `root`.
BackupCatalogue* newBackupCatalogue(const char* root, const char* path);

// Appends `entry`, taking ownership of its strings, and indexes its name.
void appendBackupEntry(BackupCatalogue* catalogue, const BackupEntry& entry);
// Appends `tag`, taking ownership of its members and text.
void appendBackupTag(BackupCatalogue* catalogue, const BackupTag& tag);
// Registers entries[index].name unless an earlier entry has that name.
void indexBackupEntry(BackupCatalogue* catalogue, int32_t index);

// Saturates a 64-bit value (a time_t, a parsed number) into the catalogue's
// 32-bit fields instead of wrapping it.
int32_t clampToInt32(long long value);

// Decimal integer of [begin, end): leading blanks, optional sign, digits up
// to the first non-digit; no digits give 0; out-of-range values saturate.
int32_t parseDecimal(const char* begin, const char* end);

// A tag's time as the file can hold it: a tag line starting with '-' would be
// the terminator, so times before the epoch become 0.
inline int32_t tagTimeForFile(int32_t time) { return time < 0 ? 0 : time; }
