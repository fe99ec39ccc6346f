// SPDX-License-Identifier: GPL-3.0-or-later
// The in-memory catalogue: creation, growth, lookup and release.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "backup/catalogue.h"
#include "backup/catalogue_internal.h"

namespace {

void* allocateOrDie(void* block, size_t size) {
  void* grown = std::realloc(block, size == 0 ? 1 : size);
  if (!grown) throw std::bad_alloc();
  return grown;
}

// The directory of the numbered copies: the text before the last '/' that is
// neither the first nor the last character of `path`, or "." without one.
char* backupDirectoryOf(const char* path) {
  size_t length = std::strlen(path);
  for (size_t i = length > 1 ? length - 1 : 0; i-- > 1;) {
    if (path[i] == '/') return duplicateText(path, i);
  }
  return duplicateText(".");
}

void releaseEntry(BackupEntry* entry) {
  std::free(entry->name);
  std::free(entry->path);
  std::free(entry->fullPath);
  std::free(entry->description);
}

void releaseTag(BackupTag* tag) {
  std::free(tag->members);
  std::free(tag->text);
}

}  // namespace

char* duplicateText(const char* text, size_t length) {
  char* copy = static_cast<char*>(allocateOrDie(nullptr, length + 1));
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* duplicateText(const char* text) { return duplicateText(text, std::strlen(text)); }

char* duplicateLineText(const char* text, size_t length) {
  // The text is used as a C string: a NUL would hide its line end from the
  // writer, so the text ends there and gets a line end of its own.
  length = strnlen(text, length);
  const bool complete = length > 0 && text[length - 1] == '\n';
  char* copy = static_cast<char*>(allocateOrDie(nullptr, length + (complete ? 1 : 2)));
  std::memcpy(copy, text, length);
  if (!complete) copy[length++] = '\n';
  copy[length] = '\0';
  return copy;
}

char* resolveBackupPath(const char* root, const char* path) {
  if (path[0] == '/') return duplicateText(path);
  const size_t rootLength = std::strlen(root);
  const size_t pathLength = std::strlen(path);
  char* full = static_cast<char*>(allocateOrDie(nullptr, rootLength + pathLength + 2));
  std::memcpy(full, root, rootLength);
  full[rootLength] = '/';
  std::memcpy(full + rootLength + 1, path, pathLength + 1);
  return full;
}

BackupCatalogue* newBackupCatalogue(const char* root, const char* path) {
  CataloguePtr catalogue(new BackupCatalogue{});
  catalogue->changeCount = 1;
  catalogue->nameIndex = new BackupNameIndex;
  catalogue->root = duplicateText(root);
  catalogue->backupDir = backupDirectoryOf(path);
  catalogue->filePath = duplicateText(path);
  return catalogue.release();
}

void indexBackupEntry(BackupCatalogue* catalogue, int32_t index) {
  // emplace keeps an existing key: the first entry of a name stays the one found.
  catalogue->nameIndex->first.emplace(std::string_view(catalogue->entries[index].name), index);
}

void appendBackupEntry(BackupCatalogue* catalogue, const BackupEntry& entry) {
  const size_t count = static_cast<size_t>(catalogue->entryCount) + 1;
  catalogue->entries = static_cast<BackupEntry*>(allocateOrDie(catalogue->entries, count * sizeof(BackupEntry)));
  catalogue->entries[count - 1] = entry;
  catalogue->entryCount = static_cast<int32_t>(count);
  indexBackupEntry(catalogue, static_cast<int32_t>(count - 1));
}

void appendBackupTag(BackupCatalogue* catalogue, const BackupTag& tag) {
  const size_t count = static_cast<size_t>(catalogue->tagCount) + 1;
  catalogue->tags = static_cast<BackupTag*>(allocateOrDie(catalogue->tags, count * sizeof(BackupTag)));
  catalogue->tags[count - 1] = tag;
  catalogue->tagCount = static_cast<int32_t>(count);
}

void addBackupTag(BackupCatalogue* catalogue, int32_t time, const char* text) {
  BackupTag tag{};
  tag.time = time;
  tag.memberCount = catalogue->entryCount;
  tag.members = static_cast<TagMember*>(allocateOrDie(nullptr, sizeof(TagMember) * static_cast<size_t>(tag.memberCount)));
  for (int32_t i = 0; i < tag.memberCount; ++i) tag.members[i] = TagMember{i, catalogue->entries[i].version};
  tag.text = text ? duplicateLineText(text, std::strlen(text)) : duplicateText("\n");
  appendBackupTag(catalogue, tag);
}

int findBackupEntry(const BackupCatalogue* catalogue, const char* name) {
  if (catalogue->nameIndex) {
    auto found = catalogue->nameIndex->first.find(std::string_view(name));
    return found == catalogue->nameIndex->first.end() ? -1 : found->second;
  }
  for (int32_t i = 0; i < catalogue->entryCount; ++i) {
    if (std::strcmp(catalogue->entries[i].name, name) == 0) return i;
  }
  return -1;
}

void discardBackupCatalogue(BackupCatalogue* catalogue) {
  if (!catalogue) return;
  if (catalogue->file) std::fclose(catalogue->file);  // never written: nothing to check
  for (int32_t i = 0; i < catalogue->entryCount; ++i) releaseEntry(&catalogue->entries[i]);
  for (int32_t i = 0; i < catalogue->tagCount; ++i) releaseTag(&catalogue->tags[i]);
  std::free(catalogue->entries);
  std::free(catalogue->tags);
  std::free(catalogue->root);
  std::free(catalogue->backupDir);
  std::free(catalogue->filePath);
  delete catalogue->nameIndex;
  delete catalogue;
}

int32_t clampToInt32(long long value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int32_t parseDecimal(const char* begin, const char* end) {
  const char* p = begin;
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  long long value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (value <= static_cast<long long>(INT32_MAX) + 1) value = value * 10 + (*p - '0');
  }
  return clampToInt32(negative ? -value : value);
}
