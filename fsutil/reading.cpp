// SPDX-License-Identifier: GPL-3.0-or-later
#include "fsutil/reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"

namespace {

ReadOutcome refused(ReadRefusal refusal, int error = 0) { return {refusal, error}; }

ReadOutcome systemFailure(int error) {
  // Only O_NOFOLLOW meeting a link gives ELOOP here.
  return error == ELOOP ? refused(ReadRefusal::Link) : refused(ReadRefusal::System, error);
}

// Reads at most `limit` + 1 bytes, so that a file that grew past the limit
// after fstat is still refused instead of being cut short silently.
ReadOutcome readAll(int fd, size_t limit, std::string* content) {
  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return refused(ReadRefusal::System, errno);
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > limit) return refused(ReadRefusal::TooLarge);
  }
  *content = std::move(text);
  return {};
}

}  // namespace

ReadOutcome readSmallFileAt(int directory, const char* name, size_t limit, std::string* content,
                            struct stat* status) {
  Descriptor file(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) return systemFailure(errno);
  struct stat seen;
  if (fstat(file.get(), &seen) != 0) return refused(ReadRefusal::System, errno);
  if (!S_ISREG(seen.st_mode)) return refused(ReadRefusal::Irregular);
  if (seen.st_nlink > 1) return refused(ReadRefusal::SecondName);
  if (static_cast<unsigned long long>(seen.st_size) > limit) return refused(ReadRefusal::TooLarge);
  if (status) *status = seen;
  return readAll(file.get(), limit, content);
}

ReadOutcome readSmallFile(const char* path, size_t limit, std::string* content, struct stat* status) {
  Descriptor directory;
  std::string name;
  std::string unsafe;
  if (openParentOfFile(path, &directory, &name, &unsafe) != 0) {
    if (!unsafe.empty()) return refused(ReadRefusal::Link);
    if (errno == EISDIR) return refused(ReadRefusal::Irregular);
    return refused(ReadRefusal::System, errno);
  }
  return readSmallFileAt(directory.get(), name.c_str(), limit, content, status);
}

Message readRefusalMessage(const char* path, const ReadOutcome& outcome, size_t limit) {
  switch (outcome.refusal) {
    case ReadRefusal::None: return Message();
    case ReadRefusal::System: return errorMessage("ERR_FILE_OPEN_READ", {path, std::strerror(outcome.error)});
    case ReadRefusal::Link: return errorMessage("ERR_READ_THROUGH_LINK", {path});
    case ReadRefusal::Irregular: return errorMessage("ERR_IRREGULAR_FILE", {path});
    case ReadRefusal::SecondName: return errorMessage("ERR_READ_SECOND_NAME", {path});
    case ReadRefusal::TooLarge: return errorMessage("ERR_FILE_TOO_LARGE", {path, std::to_string(limit).c_str()});
  }
  return Message();
}
