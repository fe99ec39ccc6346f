// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/answers.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "instance/on_disk.h"

namespace {

struct Answer {
  const char* name;
  const char* InstanceRecord::*member;
};

constexpr Answer RECORDED[] = {
    {"serverId", &InstanceRecord::serverId},     {"serverName", &InstanceRecord::serverName},
    {"port", &InstanceRecord::port},             {"jmsPort", &InstanceRecord::jmsPort},
    {"serverUser", &InstanceRecord::serverUser}, {"docRoot", &InstanceRecord::docRoot},
    {"javaHome", &InstanceRecord::javaHome},     {"jmsAdminUser", &InstanceRecord::jmsAdminUser},
};

struct CloseFile {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, CloseFile>;

}  // namespace

Message writeAnswers(const InstanceRecord* record, const std::string& instanceDir) {
  const std::string path = instanceDir + "/" + RECORD_PATH;
  FilePtr file(std::fopen(path.c_str(), "we"));
  if (!file) return errorMessage("ERR_FILE_WRITE", {path.c_str(), std::strerror(errno)});
  std::fputs("# The answers this instance was created with.\n", file.get());
  for (const Answer& answer : RECORDED)
    if (const char* value = record->*answer.member) std::fprintf(file.get(), "%s%s%s\n", answer.name, RECORD_SEPARATOR, value);
  int error = std::ferror(file.get()) ? EIO : 0;
  if (std::fclose(file.release()) != 0 && error == 0) error = errno;
  if (error != 0) return errorMessage("ERR_FILE_WRITE", {path.c_str(), std::strerror(error)});
  return Message();
}
