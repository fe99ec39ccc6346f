// SPDX-License-Identifier: GPL-3.0-or-later
#include "confgen/writer_support.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "fsutil/files.h"

bool openOutputFile(OutputFile& output, const char* path) {
  output.error = 0;
  output.file.reset(std::fopen(path, "w"));
  return output.file != nullptr;
}

namespace {

void noteWriteFailure(OutputFile& output) {
  if (output.error == 0) output.error = errno ? errno : EIO;
}

}  // namespace

void writeOutput(OutputFile& output, const char* format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  int written = std::vfprintf(output.file.get(), format, args);
  va_end(args);
  if (written < 0) noteWriteFailure(output);
}

void writeOutputText(OutputFile& output, const char* text) {
  errno = 0;
  if (std::fputs(text, output.file.get()) == EOF) noteWriteFailure(output);
}

int closeOutputFile(OutputFile& output) {
  FILE* file = output.file.release();
  if (!file) return output.error ? output.error : EBADF;
  // A failure that the buffered writes could not report yet shows in ferror.
  if (std::ferror(file) && output.error == 0) output.error = EIO;
  errno = 0;
  if (std::fclose(file) != 0) noteWriteFailure(output);
  return output.error;
}

Message fileWriteFailure(const char* path, int errorNumber) {
  return errorMessage("ERR_FILE_WRITE", {path, std::strerror(errorNumber)});
}

std::string formatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  return text;
}

std::string instanceDirectory(const char* instancesRoot, const char* serverId) {
  return formatString("%s/%s", instancesRoot, serverId);
}

Message backUpAndRecord(BackupCatalogue* catalogue, const std::string& source, const std::string& backupCopy,
                        const std::string& description, const char* failureName) {
  if (Message failure = copyFile(source.c_str(), backupCopy.c_str(), 0644)) return failure;
  if (recordBackupFile(catalogue, nullptr, backupCopy.c_str(), description.c_str(), nullptr) != 0)
    return errorMessage("ERR_CREATE_BACKUP", {failureName});
  return Message();
}
