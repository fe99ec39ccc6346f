// SPDX-License-Identifier: GPL-3.0-or-later
// The reader of the installation settings file, apart from the file system
// and the environment.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "instance/record.h"

constexpr size_t INSTALL_SETTING_COUNT = 12;
// The tool's own yes/no settings: checkPorts, allowRootUser.
constexpr size_t TOOL_SETTING_COUNT = 2;

// The field name of setting `index` (0 to INSTALL_SETTING_COUNT - 1), as
// written in the file: "perlHome", "installConfigRoot", ...
const char* installSettingName(size_t index);

// The record field that setting `index` fills (index below
// INSTALL_SETTING_COUNT).
const char* InstanceRecord::*installSettingField(size_t index);

// Values found so far, by setting index; for values from the file, the line
// (from 1) that gave them, 0 otherwise.
struct InstallSettingValues {
  std::optional<std::string> value[INSTALL_SETTING_COUNT];
  long line[INSTALL_SETTING_COUNT] = {};
  // The settings of the tool rather than of the instance, each "yes" or
  // "no", by their index in the tool's table, and the lines that gave them.
  std::optional<std::string> tool[TOOL_SETTING_COUNT];
  long toolLine[TOOL_SETTING_COUNT] = {};
};

// Reads settings lines from `in` into `values`, "${SERVER_ROOT}" replaced by
// `serverRoot` (null: ""). Empty on success; else the one-line description
// applyInstallSettings returns, naming `file` and the line, with `values`
// then holding the lines before it.
std::string readInstallSettings(FILE* in, const std::string& file, const char* serverRoot,
                                InstallSettingValues* values);
