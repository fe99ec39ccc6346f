// SPDX-License-Identifier: GPL-3.0-or-later
// instancectl: lists, operates, removes and hands to systemd the instances
// of a server root. The program's command line and its commands.
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
// What `status` answers, as LSB init scripts do.
constexpr int LSB_RUNNING = 0;
constexpr int LSB_STOPPED = 3;
constexpr int LSB_UNKNOWN = 4;

// Where systemd is looked for, and the program that asks it.
constexpr const char* DEFAULT_SYSTEMD_ROOT = "/";
constexpr const char* DEFAULT_SYSTEMCTL = "/usr/bin/systemctl";
constexpr int DEFAULT_STOP_TIMEOUT = 30;

struct CommandLine {
  std::string command;     // "list", "status", "start", "stop", "restart", "remove" or "unit"
  std::string id;          // every command but list; "" with --all
  std::vector<std::string> ids;  // list: the instances to show; empty: all
  std::string serverRoot;  // --server-root, else ZORA_SERVER_HOME
  bool serverRootGiven = false;
  std::string unitDirectory;  // --unit-dir, else the default
  bool json = false;          // list --json
  bool noHeader = false;      // list --no-header
  bool stop = false;          // remove --stop
  bool force = false;         // unit --force
  bool enable = false;        // unit --enable
  bool removeUnit = false;    // unit --remove
  bool all = false;           // start, stop --all
  int timeout = DEFAULT_STOP_TIMEOUT;  // stop, restart, remove --stop: --timeout
  bool timeoutGiven = false;
  bool kill = false;                   // and --kill
  // systemd manages the machine when <systemdRoot>/run/systemd/system is a
  // directory, and a process runs under a unit when
  // <systemdRoot>/proc/PID/cgroup says so; its services are asked through
  // `systemctl`. Options for tests.
  std::string systemdRoot = DEFAULT_SYSTEMD_ROOT;
  std::string systemctl = DEFAULT_SYSTEMCTL;
};

// Where the commands work: the instances root, held open for the run.
struct Workplace {
  std::string serverRoot;
  std::string instancesRoot;  // the real path of `root`: no link, no "." or "//", no trailing "/"
  Descriptor root;
};

// The program; returns the exit status.
int instancectlMain(int argc, char** argv);

// -1 when `line.id` names an instance (an identifier, or what a failed
// creation set aside), now described in `info`; else the exit status
// (ERR_CTL_UNKNOWN_INSTANCE or the identifier's refusal on standard error).
int findInstance(const CommandLine& line, const Workplace& place, struct InstanceInfo* info);

// Run as root, nothing below an instances root that others can change is
// touched, and a command that changes an instance takes its turn with
// creations: the lock of the instances root, held in `lock`. -1, or the
// exit status (the refusal on standard error).
int takeTurn(const Workplace& place, Descriptor* lock);

// The commands, with the message bundle of the server root open. Each
// prints what it did on standard output and what stopped it on standard
// error, and returns the exit status.
int listCommand(const CommandLine& line, const Workplace& place);
int removeCommand(const CommandLine& line, const Workplace& place);
int unitCommand(const CommandLine& line, const Workplace& place);
// start, stop and restart (instancectl/operating.cpp).
int operateCommand(const CommandLine& line, const Workplace& place);
// status: 0 running, 3 stopped, 4 anything else, as LSB init scripts answer.
int statusCommand(const CommandLine& line, const Workplace& place);
