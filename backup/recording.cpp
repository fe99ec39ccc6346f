// SPDX-License-Identifier: GPL-3.0-or-later
// Recording a file in the catalogue: its entry, first numbered copy and tag.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "backup/catalogue.h"
#include "backup/catalogue_internal.h"

namespace {

constexpr size_t COPY_CHUNK = 8192;

int errnoOr(int fallback) { return errno != 0 ? errno : fallback; }

// The last component of `path` (all of it without a '/').
const char* baseNameOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void replaceColons(std::string* name) {
  for (char& c : *name) {
    if (c == ':') c = '_';
  }
}

enum class NameSearch { FOUND, ALREADY_RECORDED };

// Finds the first free name of the series base, base.1, base.2, ... (colons
// made '_'). ALREADY_RECORDED when an entry met on the way records `path`.
NameSearch chooseBackupName(const BackupCatalogue* catalogue, const char* base, const char* path, std::string* name) {
  for (long suffix = 0;; ++suffix) {
    *name = base;
    if (suffix > 0) name->append(".").append(std::to_string(suffix));
    replaceColons(name);
    int index = findBackupEntry(catalogue, name->c_str());
    if (index < 0) return NameSearch::FOUND;
    if (std::strcmp(catalogue->entries[index].path, path) == 0) return NameSearch::ALREADY_RECORDED;
  }
}

void appendRecordedEntry(BackupCatalogue* catalogue, const std::string& name, const char* path,
                         const std::string& fullPath, const struct stat& status, const char* description) {
  BackupEntry entry{};
  entry.name = duplicateText(name.c_str(), name.size());
  entry.path = duplicateText(path);
  entry.fullPath = duplicateText(fullPath.c_str(), fullPath.size());
  entry.version = 1;
  entry.modifiedTime = clampToInt32(static_cast<long long>(status.st_mtime));
  entry.description = description ? duplicateLineText(description, std::strlen(description)) : nullptr;
  appendBackupEntry(catalogue, entry);
  ++catalogue->changeCount;
}

// 0 when all of `in` reached `out`'s buffer, else the errno of the failure.
int copyStream(FILE* in, FILE* out) {
  char buffer[COPY_CHUNK];
  for (;;) {
    const size_t count = std::fread(buffer, 1, sizeof buffer, in);
    if (count == 0) break;
    errno = 0;
    if (std::fwrite(buffer, 1, count, out) != count) return errnoOr(EIO);
  }
  // A read error is not the end of the file: the copy would be short.
  if (std::ferror(in)) return errnoOr(EIO);
  return 0;
}

}  // namespace

int recordBackupFile(BackupCatalogue* catalogue, const char* name, const char* path, const char* description,
                     const char* tagText) {
  std::string fullPath = path[0] == '/' ? std::string(path) : std::string(catalogue->root) + "/" + path;
  if (fullPath.size() >= BACKUP_TEXT_LIMIT) return ENAMETOOLONG;
  struct stat status;
  if (stat(fullPath.c_str(), &status) != 0) return errno;

  std::string backupName;
  if (chooseBackupName(catalogue, name ? name : baseNameOf(path), path, &backupName) == NameSearch::ALREADY_RECORDED)
    return 0;
  std::string copyPath = std::string(catalogue->backupDir) + "/" + backupName + ".1";
  if (backupName.size() >= BACKUP_TEXT_LIMIT || copyPath.size() >= BACKUP_TEXT_LIMIT) return ENAMETOOLONG;

  appendRecordedEntry(catalogue, backupName, path, fullPath, status, description);
  // The copy's own result is deliberately not examined: whether the copy
  // exists is what decides, and the stat below finds that out.
  copyBackupFile(fullPath.c_str(), copyPath.c_str());
  struct stat copied;
  if (stat(copyPath.c_str(), &copied) != 0) return errno;
  addBackupTag(catalogue, clampToInt32(static_cast<long long>(copied.st_mtime)), tagText);
  return 0;
}

int copyBackupFile(const char* from, const char* to) {
  FilePtr in(std::fopen(from, "r"));
  if (!in) return errno;
  FilePtr out(std::fopen(to, "w"));
  if (!out) return errno;
  int error = copyStream(in.get(), out.get());
  errno = 0;
  if (std::fclose(out.release()) != 0 && error == 0) error = errnoOr(EIO);
  // recordBackupFile takes an existing copy for a good one: a cut copy must go.
  if (error != 0) unlink(to);
  return error;
}
