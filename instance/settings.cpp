// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/settings.h"
#include "instance/settings_internal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>

namespace {

struct SettingField {
  const char* name;
  const char* InstanceRecord::*member;
};

constexpr SettingField SETTING_FIELDS[] = {
    {"perlHome", &InstanceRecord::perlHome},
    {"installConfigRoot", &InstanceRecord::installConfigRoot},
    {"defaultLocale", &InstanceRecord::defaultLocale},
    {"webServicesLib", &InstanceRecord::webServicesLib},
    {"qbusBin", &InstanceRecord::qbusBin},
    {"qbusLib", &InstanceRecord::qbusLib},
    {"orbListenerPort", &InstanceRecord::orbListenerPort},
    {"docLanguage", &InstanceRecord::docLanguage},
    {"directoryBase", &InstanceRecord::directoryBase},
    {"directoryUrl", &InstanceRecord::directoryUrl},
    {"directoryBindDn", &InstanceRecord::directoryBindDn},
    {"directoryBindPassword", &InstanceRecord::directoryBindPassword},
};
constexpr size_t FIELD_COUNT = sizeof SETTING_FIELDS / sizeof SETTING_FIELDS[0];
static_assert(FIELD_COUNT == INSTALL_SETTING_COUNT, "every setting has a value slot");
constexpr size_t PERL_HOME = 0;

using SettingValues = InstallSettingValues;

// The tool's own settings, "yes" or "no".
struct ToolSwitch {
  const char* name;
  bool ToolSettings::*member;
  const char* byDefault;
};
constexpr ToolSwitch TOOL_SWITCHES[] = {
    {"checkPorts", &ToolSettings::checkPorts, "yes"},
    {"allowRootUser", &ToolSettings::allowRootUser, "no"},
};
static_assert(sizeof TOOL_SWITCHES / sizeof TOOL_SWITCHES[0] == TOOL_SETTING_COUNT, "every tool setting has a slot");
constexpr const char* SERVER_ROOT_REFERENCE = "${SERVER_ROOT}";
constexpr const char* BLANKS = " \t\r";

// The record borrows its texts: they must outlive every reader, so they are
// kept until the process ends and never freed (on purpose).
const char* keepForRun(const std::string& text) {
  static auto* store = new std::deque<std::string>;
  store->push_back(text);
  return store->back().c_str();
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(BLANKS);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(BLANKS);
  return text.substr(first, last - first + 1);
}

std::string withServerRoot(std::string value, const char* serverRoot) {
  const std::string root = serverRoot ? serverRoot : "";
  const size_t referenceLength = std::strlen(SERVER_ROOT_REFERENCE);
  for (size_t at = value.find(SERVER_ROOT_REFERENCE); at != std::string::npos;
       at = value.find(SERVER_ROOT_REFERENCE, at + root.size())) {
    value.replace(at, referenceLength, root);
  }
  return value;
}

// "directoryBindDn" -> "INSTALL_DIRECTORY_BIND_DN"
std::string environmentName(const char* field) {
  std::string name = "INSTALL_";
  for (const char* c = field; *c; ++c) {
    if (std::isupper(static_cast<unsigned char>(*c))) name += '_';
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  }
  return name;
}

std::optional<size_t> fieldIndex(const std::string& name) {
  for (size_t i = 0; i < FIELD_COUNT; ++i)
    if (name == SETTING_FIELDS[i].name) return i;
  return std::nullopt;
}

std::optional<size_t> toolIndex(const std::string& name) {
  for (size_t i = 0; i < TOOL_SETTING_COUNT; ++i)
    if (name == TOOL_SWITCHES[i].name) return i;
  return std::nullopt;
}

bool isExecutableFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The script generator runs as root: a relative PATH entry (or an empty
// one, meaning the current directory) must not choose the interpreter.
std::optional<std::string> perlDirectoryOnPath() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string entries = path;
  size_t start = 0;
  while (start <= entries.size()) {
    size_t end = entries.find(':', start);
    if (end == std::string::npos) end = entries.size();
    std::string directory = entries.substr(start, end - start);
    if (!directory.empty() && directory[0] == '/' && isExecutableFile(directory + "/perl")) return directory;
    start = end + 1;
  }
  return std::nullopt;
}

std::string lineError(const std::string& file, long line, const std::string& what) {
  return file + ":" + std::to_string(line) + ": " + what;
}

bool isYesOrNo(const std::string& value) { return value == "yes" || value == "no"; }

std::string yesOrNoRefusal(size_t index) {
  return std::string(TOOL_SWITCHES[index].name) + " must be \"yes\" or \"no\"";
}

std::string takeToolSetting(const std::string& file, long number, size_t index, const std::string& value,
                            SettingValues& values) {
  if (values.toolLine[index] != 0)
    return lineError(file, number,
                     std::string("setting \"") + TOOL_SWITCHES[index].name + "\" given twice (first on line " +
                         std::to_string(values.toolLine[index]) + ")");
  if (!isYesOrNo(value)) return lineError(file, number, yesOrNoRefusal(index));
  values.tool[index] = value;
  values.toolLine[index] = number;
  return "";
}

// Takes one line of the file into `values`; an error text when it is malformed.
std::string takeLine(const std::string& file, long number, const std::string& line, const char* serverRoot,
                     SettingValues& values) {
  if (line.find('\0') != std::string::npos) return lineError(file, number, "the line holds a NUL byte");
  std::string content = trimmed(line);
  if (content.empty() || content[0] == '#') return "";
  size_t equals = content.find('=');
  if (equals == std::string::npos) return lineError(file, number, "expected a line \"name = value\"");
  std::string name = trimmed(content.substr(0, equals));
  if (std::optional<size_t> tool = toolIndex(name))
    return takeToolSetting(file, number, *tool, trimmed(content.substr(equals + 1)), values);
  std::optional<size_t> index = fieldIndex(name);
  if (!index) return lineError(file, number, "unknown setting \"" + name + "\"");
  if (values.line[*index] != 0)
    return lineError(file, number,
                     "setting \"" + name + "\" given twice (first on line " + std::to_string(values.line[*index]) + ")");
  values.value[*index] = withServerRoot(trimmed(content.substr(equals + 1)), serverRoot);
  values.line[*index] = number;
  return "";
}

struct CloseFile {
  void operator()(FILE* file) const { std::fclose(file); }
};
// getline's buffer, which it may move on every call; freed once at the end.
struct LineBuffer {
  char* data = nullptr;
  size_t capacity = 0;
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { std::free(data); }
};

std::string readSettingsFile(const char* serverRoot, SettingValues& values) {
  const std::string file = std::string(serverRoot) + "/" + SETTINGS_FILE;
  std::unique_ptr<FILE, CloseFile> in(std::fopen(file.c_str(), "re"));
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR) return "";
    return file + ": cannot read the settings: " + std::strerror(errno);
  }
  return readInstallSettings(in.get(), file, serverRoot, &values);
}

std::string takeEnvironment(const char* serverRoot, SettingValues& values) {
  for (size_t i = 0; i < FIELD_COUNT; ++i) {
    if (const char* value = std::getenv(environmentName(SETTING_FIELDS[i].name).c_str()))
      values.value[i] = withServerRoot(value, serverRoot);
  }
  for (size_t i = 0; i < TOOL_SETTING_COUNT; ++i) {
    const std::string variable = environmentName(TOOL_SWITCHES[i].name);
    const char* value = std::getenv(variable.c_str());
    if (!value) continue;
    if (!isYesOrNo(value)) return variable + ": " + yesOrNoRefusal(i);
    values.tool[i] = value;
  }
  return "";
}

}  // namespace

const char* installSettingName(size_t index) { return index < FIELD_COUNT ? SETTING_FIELDS[index].name : nullptr; }

const char* InstanceRecord::*installSettingField(size_t index) { return SETTING_FIELDS[index].member; }

std::string readInstallSettings(FILE* in, const std::string& file, const char* serverRoot,
                                InstallSettingValues* values) {
  LineBuffer buffer;
  long number = 0;
  for (ssize_t length; (length = getline(&buffer.data, &buffer.capacity, in)) >= 0;) {
    std::string line(buffer.data, static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::string error = takeLine(file, ++number, line, serverRoot, *values);
    if (!error.empty()) return error;
  }
  if (std::ferror(in)) return file + ": cannot read the settings: " + std::strerror(errno);
  return "";
}

std::string applyInstallSettings(const char* serverRoot, InstanceRecord* record, ToolSettings* tool) {
  SettingValues values;
  values.value[PERL_HOME] = perlDirectoryOnPath();
  if (serverRoot != nullptr) {
    std::string error = readSettingsFile(serverRoot, values);
    if (!error.empty()) return error;
  }
  std::string error = takeEnvironment(serverRoot, values);
  if (!error.empty()) return error;
  for (size_t i = 0; i < FIELD_COUNT; ++i)
    if (values.value[i]) record->*SETTING_FIELDS[i].member = keepForRun(*values.value[i]);
  for (size_t i = 0; tool && i < TOOL_SETTING_COUNT; ++i)
    tool->*TOOL_SWITCHES[i].member = values.tool[i].value_or(TOOL_SWITCHES[i].byDefault) == "yes";
  return "";
}
