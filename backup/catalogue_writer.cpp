// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a BackupCatalogue back: its text, and the atomic replacement of
// backups.conf on closing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "backup/catalogue.h"
#include "backup/catalogue_internal.h"

namespace {

constexpr size_t WRITE_BUFFER_SIZE = 256 * 1024;
constexpr mode_t DEFAULT_CATALOGUE_MODE = 0644;

int errnoOr(int fallback) { return errno != 0 ? errno : fallback; }

void appendNumber(std::string* line, long long value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  line->append(digits, result.ptr);
}

// Lines are assembled in memory and written whole: one stdio call per line
// keeps a catalogue of millions of tag members cheap to write.
int writeText(const std::string& text, FILE* stream) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size()) return errnoOr(EIO);
  return 0;
}

void formatHead(const BackupCatalogue* catalogue, std::string* text) {
  text->append("backups.conf:Version 4.0\n");
  if (catalogue->diskQuota != 0) {
    text->append("DiskQuota=");
    appendNumber(text, catalogue->diskQuota);
    text->push_back('\n');
  }
  if (catalogue->maxTags != 0) {
    text->append("MaxTags=");
    appendNumber(text, catalogue->maxTags);
    text->push_back('\n');
  }
  text->push_back('\n');
}

void formatEntry(const BackupEntry& entry, std::string* line) {
  line->append(entry.name).push_back(':');
  line->append(entry.path).push_back(':');
  appendNumber(line, entry.version);
  line->push_back(':');
  appendNumber(line, entry.modifiedTime);
  line->push_back(':');
  line->append(entry.description ? entry.description : "\n");
}

void formatTag(const BackupCatalogue* catalogue, const BackupTag& tag, std::string* line) {
  appendNumber(line, tagTimeForFile(tag.time));
  line->push_back(':');
  for (int32_t m = 0; m < tag.memberCount; ++m) {
    line->append(catalogue->entries[tag.members[m].entryIndex].name).push_back('/');
    appendNumber(line, tag.members[m].version);
    line->push_back(':');
  }
  line->push_back(':');
  line->append(tag.text);
}

// "<dir>/.<name>.XXXXXX" beside the catalogue, so the rename stays inside
// one file system.
std::string temporaryPathFor(const char* path) {
  const char* slash = std::strrchr(path, '/');
  std::string directory = slash ? std::string(path, static_cast<size_t>(slash - path + 1)) : std::string();
  return directory + "." + (slash ? slash + 1 : path) + ".XXXXXX";
}

// Gives the new file the mode (and, when we may, the owner) of the file it
// replaces, so replacing it changes nothing but its content.
int takeOverAttributes(const BackupCatalogue* catalogue, int descriptor) {
  struct stat old;
  bool found = catalogue->file ? fstat(fileno(catalogue->file), &old) == 0 : stat(catalogue->filePath, &old) == 0;
  if (!found) return fchmod(descriptor, DEFAULT_CATALOGUE_MODE) == 0 ? 0 : errno;
  if (fchmod(descriptor, old.st_mode & 07777) != 0) return errno;
  if (geteuid() == 0 && (old.st_uid != 0 || old.st_gid != getegid())) {
    if (fchown(descriptor, old.st_uid, old.st_gid) != 0) return errno;
    if (fchmod(descriptor, old.st_mode & 07777) != 0) return errno;  // chown clears set-id bits
  }
  return 0;
}

// Makes the rename itself durable; the new content is already safe, so a
// failure here is not worth failing the close for.
void syncDirectoryOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  std::string directory = slash ? std::string(path, static_cast<size_t>(slash - path)) : ".";
  int descriptor = open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  fsync(descriptor);
  close(descriptor);
}

// Writes the whole catalogue into the open temporary file and closes it;
// 0 or the errno of the first failure.
int writeTemporary(const BackupCatalogue* catalogue, int descriptor) {
  FilePtr out(fdopen(descriptor, "w"));
  if (!out) {
    int error = errno;
    close(descriptor);
    return error;
  }
  std::unique_ptr<char[]> buffer(new char[WRITE_BUFFER_SIZE]);
  std::setvbuf(out.get(), buffer.get(), _IOFBF, WRITE_BUFFER_SIZE);
  int error = takeOverAttributes(catalogue, descriptor);
  if (!error) error = writeBackupCatalogue(const_cast<BackupCatalogue*>(catalogue), out.get());
  if (!error && fsync(descriptor) != 0) error = errno;
  if (std::fclose(out.release()) != 0 && !error) error = errnoOr(EIO);
  return error;
}

// Replaces the catalogue file by a temporary file holding the new text.
Message replaceCatalogueFile(const BackupCatalogue* catalogue) {
  std::string temporary = temporaryPathFor(catalogue->filePath);
  int descriptor = mkstemp(&temporary[0]);
  int error = descriptor < 0 ? errno : writeTemporary(catalogue, descriptor);
  if (!error && rename(temporary.c_str(), catalogue->filePath) != 0) error = errno;
  if (error) {
    if (descriptor >= 0) unlink(temporary.c_str());
    return errorMessage("ERR_FILE_WRITE", {catalogue->filePath, std::strerror(error)});
  }
  syncDirectoryOf(catalogue->filePath);
  return Message();
}

}  // namespace

int writeBackupCatalogue(BackupCatalogue* catalogue, FILE* stream) {
  std::string line;
  formatHead(catalogue, &line);
  if (int error = writeText(line, stream)) return error;
  for (int32_t i = 0; i < catalogue->entryCount; ++i) {
    line.clear();
    formatEntry(catalogue->entries[i], &line);
    if (int error = writeText(line, stream)) return error;
  }
  line.assign("\n");
  for (int32_t i = 0; i < catalogue->tagCount; ++i) {
    formatTag(catalogue, catalogue->tags[i], &line);
    if (int error = writeText(line, stream)) return error;
    line.clear();
  }
  line.append("--EOF--\n");
  if (int error = writeText(line, stream)) return error;
  errno = 0;
  return std::fflush(stream) == 0 ? 0 : errnoOr(EIO);
}

Message closeBackupCatalogue(BackupCatalogue* catalogue) {
  CataloguePtr owned(catalogue);  // released on every way out
  if (!catalogue || catalogue->changeCount <= 1) return Message();
  return replaceCatalogueFile(catalogue);
}
