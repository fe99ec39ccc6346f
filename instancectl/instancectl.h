// SPDX-License-Identifier: GPL-3.0-or-later
// instancectl: lists, removes and hands to systemd the instances of a
// server root. The program's command line and its three commands.
#pragma once

#include <string>
#include <vector>

#include "fsutil/descriptor.h"

// Exit statuses.
constexpr int STATUS_DONE = 0;
constexpr int STATUS_USAGE = 1;             // unknown option, stray or missing word
constexpr int STATUS_FAILED = 2;            // refused or failed; the message says why
constexpr int STATUS_UNKNOWN_INSTANCE = 3;  // no such instance (or no identifier at all)
constexpr int STATUS_RUNNING = 4;           // the instance runs and was not stopped

struct CommandLine {
  std::string command;     // "list", "remove" or "unit"
  std::string id;          // remove and unit
  std::vector<std::string> ids;  // list: the instances to show; empty: all
  std::string serverRoot;  // --server-root, else ZORA_SERVER_HOME
  bool serverRootGiven = false;
  std::string unitDirectory;  // --unit-dir, else the default
  bool json = false;          // list --json
  bool noHeader = false;      // list --no-header
  bool stop = false;          // remove --stop
  bool force = false;         // unit --force
};

// Where the commands work: the instances root, held open for the run.
struct Workplace {
  std::string serverRoot;
  std::string instancesRoot;
  Descriptor root;
};

// The program; returns the exit status.
int instancectlMain(int argc, char** argv);

// The commands, with the message bundle of the server root open. Each
// prints what it did on standard output and what stopped it on standard
// error, and returns the exit status.
int listCommand(const CommandLine& line, const Workplace& place);
int removeCommand(const CommandLine& line, const Workplace& place);
int unitCommand(const CommandLine& line, const Workplace& place);
