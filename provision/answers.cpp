#include "provision/answers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Answer {
  const char* name;
  const char* InstanceRecord::*member;
};

constexpr Answer RECORDED[] = {
    {"serverId", &InstanceRecord::serverId},     {"serverName", &InstanceRecord::serverName},
    {"port", &InstanceRecord::port},             {"jmsPort", &InstanceRecord::jmsPort},
    {"serverUser", &InstanceRecord::serverUser}, {"docRoot", &InstanceRecord::docRoot},
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

bool readAnswers(const std::string& path, std::map<std::string, std::string>* answers) {
  FilePtr file(std::fopen(path.c_str(), "re"));
  if (!file) return false;
  char* line = nullptr;
  size_t capacity = 0;
  for (ssize_t length; (length = getline(&line, &capacity, file.get())) > 0;) {
    std::string text(line, static_cast<size_t>(length));
    if (text.back() == '\n') text.pop_back();
    size_t separator = text.find(SEPARATOR);
    if (text.empty() || text[0] == '#' || separator == std::string::npos) continue;
    (*answers)[text.substr(0, separator)] = text.substr(separator + std::strlen(SEPARATOR));
  }
  std::free(line);
  return !std::ferror(file.get());
}
