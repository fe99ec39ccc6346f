// SPDX-License-Identifier: GPL-3.0-or-later
// The four control scripts, made by the installation's script generator.
#pragma once

#include <string>
#include <vector>

#include "instance/record.h"
#include "messages/messages.h"

// The argument vector of one generator run, as a shell would have split the
// command line: "<perlHome>/perl", "<serverRoot>/lib/install/templates/makeScript",
// the NAME=VALUE settings, the template and the output path. Values are kept
// whole inside their argument; an unset value is empty.
enum class ControlScript { Start, Stop, Restart, Rotate };
std::vector<std::string> scriptGeneratorArguments(const InstanceRecord* record, const char* instanceDir,
                                                  ControlScript script);

// The arguments joined by blanks, each shell-quoted where needed, so that the
// line can be pasted into a shell.
std::string shellQuotedCommandLine(const std::vector<std::string>& arguments);

// Runs the generator for startserv, stopserv, restartserv and rotatelogs in
// that order without a shell; stops at the first failure (cannot start,
// non-zero exit, killed by a signal, no script left at the output path)
// with that script's message.
Message runScriptGenerator(const InstanceRecord* record, const char* instanceDir);

// The message runScriptGenerator would fail with for what can be known
// before running it: an interpreter that the system would not start
// (ERR_INTERPRETER_CANNOT_START: missing, not executable, on a file system
// mounted noexec, of no kind this machine runs; ERR_INTERPRETER_NEEDS: the
// interpreter of its "#!" line or its program loader cannot start), a
// generator or a template that cannot be read (the script's own message).
// Empty when the four runs can start.
Message checkScriptGenerator(const InstanceRecord* record, const char* instanceDir);
