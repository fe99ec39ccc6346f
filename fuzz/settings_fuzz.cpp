// SPDX-License-Identifier: GPL-3.0-or-later
// The installation settings reader on any bytes. A refusal names the file
// and a line of the input; an accepted file gives values without blanks at
// either end, no NUL and no reference left, and writing those values as
// "name = value" lines and reading them again gives the same values.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "instance/settings_internal.h"

namespace {

const char kFile[] = "/srv/root/lib/install/install.defaults";
const char kServerRoot[] = "/srv/root";

long lineCount(const std::string& text) {
  long lines = 0;
  for (char c : text) lines += c == '\n';
  return lines + (!text.empty() && text.back() != '\n');
}

std::string read(const std::string& text, InstallSettingValues* values) {
  FuzzFile in = readStream(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return readInstallSettings(in.get(), kFile, kServerRoot, values);
}

void checkRefusal(const std::string& input, const std::string& error) {
  const std::string prefix = std::string(kFile) + ":";
  FUZZ_CHECK(error.compare(0, prefix.size(), prefix) == 0, error);
  const long line = std::strtol(error.c_str() + prefix.size(), nullptr, 10);
  FUZZ_CHECK(line >= 1 && line <= lineCount(input), input + "\nrefused: " + error);
  FUZZ_CHECK(error.find('\n') == std::string::npos, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  InstallSettingValues values;
  const std::string error = read(input, &values);
  if (!error.empty()) {
    checkRefusal(input, error);
    return 0;
  }
  std::string rewritten;
  for (size_t i = 0; i < INSTALL_SETTING_COUNT; ++i) {
    if (!values.value[i]) continue;
    const std::string& value = *values.value[i];
    FUZZ_CHECK(values.line[i] >= 1 && values.line[i] <= lineCount(input), input);
    FUZZ_CHECK(value.find('\0') == std::string::npos && value.find('\n') == std::string::npos, input);
    FUZZ_CHECK(value.find("${SERVER_ROOT}") == std::string::npos, input);
    FUZZ_CHECK(value.empty() || (!std::strchr(" \t\r", value.front()) && !std::strchr(" \t\r", value.back())),
               input);
    rewritten += std::string(installSettingName(i)) + " = " + value + "\n";
  }
  InstallSettingValues again;
  FUZZ_CHECK(read(rewritten, &again).empty(), input + "\nrewritten: " + rewritten);
  for (size_t i = 0; i < INSTALL_SETTING_COUNT; ++i)
    FUZZ_CHECK(again.value[i] == values.value[i], input + "\nrewritten: " + rewritten);
  return 0;
}
