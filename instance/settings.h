// SPDX-License-Identifier: GPL-3.0-or-later
// Installation settings: the record fields that no front end asks for
// (perlHome, installConfigRoot, defaultLocale, webServicesLib, qbusBin,
// qbusLib, orbListenerPort, docLanguage and the directory-service fields).
//
// Source, in rising precedence:
//   1. perlHome defaults to the directory of the first executable regular
//      file `perl` in an absolute directory of PATH (empty and relative PATH
//      entries are skipped; none found or PATH empty: no default);
//   2. the file "<serverRoot>/lib/install/install.defaults": lines
//      "name = value" with a field name above as name; blank lines and lines
//      whose first non-blank character is '#' are ignored; blanks (space,
//      tab, carriage return) around name and value are trimmed; the value is
//      everything after the first '=' and may be empty. Each name at most once;
//   3. environment variables INSTALL_<NAME>, NAME being the field name in upper
//      case with '_' between words (INSTALL_PERL_HOME, INSTALL_DOC_LANGUAGE,
//      INSTALL_DIRECTORY_BIND_DN, INSTALL_INSTALL_CONFIG_ROOT, ...). A set
//      variable wins, even when empty.
// In values from the file and the environment every "${SERVER_ROOT}" is
// replaced by the server root; no other reference is expanded.
//
// Two more settings belong to the tool rather than to the instance, each
// "yes" or "no", from the file or the environment like the others:
//   checkPorts (default "yes"; INSTALL_CHECK_PORTS): "no" turns off every
//     check of the ports for runs that reuse them on purpose;
//   allowRootUser (default "no"; INSTALL_ALLOW_ROOT_USER): "yes" lets root
//     be the server user, which runs the server with every privilege.
#pragma once

#include <string>

#include "instance/record.h"

constexpr const char* SETTINGS_FILE = "lib/install/install.defaults";

// Fills the settings fields of `record` (call after setInstanceDefaults: it
// clears some of them); a field no source gives a value is left as it is.
// The texts stay alive for the whole run. Returns an empty string on
// success; otherwise a one-line English description naming the file and
// line, e.g. "<file>:<line>: unknown setting \"perlhome\"", and the record
// is not changed. A missing file is not an error.
// With `tool`, the tool's own settings are filled too; a value other than
// "yes" or "no" is refused like a malformed line (from the environment:
// "INSTALL_CHECK_PORTS: ...").
struct ToolSettings {
  bool checkPorts = true;
  bool allowRootUser = false;
};
std::string applyInstallSettings(const char* serverRoot, InstanceRecord* record, ToolSettings* tool = nullptr);
