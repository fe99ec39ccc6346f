#include "provision/answers.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fsutil/descriptor.h"

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

constexpr const char* SEPARATOR = " = ";

struct CloseFile {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, CloseFile>;

}  // namespace

Message writeAnswers(const InstanceRecord* record, const std::string& instanceDir) {
  const std::string path = instanceDir + "/" + ANSWERS_FILE;
  FilePtr file(std::fopen(path.c_str(), "we"));
  if (!file) return errorMessage("ERR_FILE_WRITE", {path.c_str(), std::strerror(errno)});
  std::fputs("# The answers this instance was created with.\n", file.get());
  for (const Answer& answer : RECORDED)
    if (const char* value = record->*answer.member) std::fprintf(file.get(), "%s%s%s\n", answer.name, SEPARATOR, value);
  int error = std::ferror(file.get()) ? EIO : 0;
  if (std::fclose(file.release()) != 0 && error == 0) error = errno;
  if (error != 0) return errorMessage("ERR_FILE_WRITE", {path.c_str(), std::strerror(error)});
  return Message();
}

void parseAnswers(const std::string& text, std::map<std::string, std::string>* answers) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t separator = line.find(SEPARATOR);
    if (line.empty() || line[0] == '#' || separator == std::string::npos) continue;
    (*answers)[line.substr(0, separator)] = line.substr(separator + std::strlen(SEPARATOR));
  }
}

ReadOutcome readAnswersAt(int instancesRoot, const std::string& name, std::map<std::string, std::string>* answers) {
  const int passage = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  Descriptor instance(openat(instancesRoot, name.c_str(), passage));
  Descriptor config(instance.valid() ? openat(instance.get(), "config", passage) : -1);
  if (!config.valid()) {
    if (errno == ELOOP) return {ReadRefusal::Link, errno};
    return {errno == ENOTDIR ? ReadRefusal::Irregular : ReadRefusal::System, errno};
  }
  std::string text;
  ReadOutcome outcome = readSmallFileAt(config.get(), "answers.conf", SMALL_FILE_LIMIT, &text);
  if (outcome) parseAnswers(text, answers);
  return outcome;
}

ReadOutcome readAnswers(const std::string& instanceDir, std::map<std::string, std::string>* answers) {
  std::string text;
  ReadOutcome outcome = readSmallFile((instanceDir + "/" + ANSWERS_FILE).c_str(), SMALL_FILE_LIMIT, &text);
  if (outcome) parseAnswers(text, answers);
  return outcome;
}
