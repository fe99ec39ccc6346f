// SPDX-License-Identifier: GPL-3.0-or-later
// What the control scripts' program says: every fixed text, their usages
// included, in one table, in English, with numbered places ({1}, {2}, ...)
// for the values. A value is escaped for the terminal before it goes in
// (messages/escape.h): paths and process names may hold anything another
// user wrote.
#pragma once

#include <string>
#include <vector>

enum class Say {
  // The scripts' command lines; the usages take the instance directory.
  StartUsage,
  StopUsage,
  RestartUsage,
  RotateUsage,
  NeedsValue,
  NeedsAddress,
  UnknownOption,
  NotACount,
  CountTooSmall,
  NoServerArguments,
  StrayForServer,
  StrayWord,
  LineEndInArgument,
  ArgumentsTooLong,
  NoSuchScript,
  SettingsMissing,
  // Who runs the script.
  NotADirectory,
  InstanceMissing,
  NotRootAlone,
  OwnerUnknown,
  RootServerUnsafe,
  NotTheOwner,
  CannotBecomeOwner,
  // Whether the server runs.
  ControlLockFailed,
  HeldByForeign,
  CannotTell,
  NothingDone,
  NothingSent,
  // startserv
  AlreadyRunning,
  ProgramMissing,
  CannotRunProgram,
  ProgramSignalled,
  NoServerAfterStart,
  RecordNotKept,
  RecordStuck,
  // stopserv
  NotRunning,
  StillRunningAfterTerm,
  SendingKill,
  StillRunningAfterKill,
  HasStopped,
  CannotSignal,
  // restartserv
  RunsWithoutRecord,
  RecordRefused,
  RecordNotPlain,
  RecordTooLarge,
  RecordNotARecord,
  CannotReadRecord,
  NotStopped,
  CannotRunScript,
  // rotatelogs
  CannotOpenLogs,
  Rotated,
  CannotLinkLog,
  NamesTaken,
  CannotRemove,
  RemovedRotation,
  NotToldForeign,
  NotToldUnknown,
};

// The text `what` with its places filled by `values`, each escaped.
std::string sayText(Say what, const std::vector<std::string>& values = {});

// Prints "<script>: <text>" and a line end on standard error.
void complain(const char* script, Say what, const std::vector<std::string>& values = {});

// Prints the text and a line end on standard output.
void report(Say what, const std::vector<std::string>& values = {});
