// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/script_run.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "instance/on_disk.h"
#include "instancectl/asowner.h"
#include "instancectl/script_control.h"
#include "instancectl/script_rotation.h"
#include "instancectl/script_text.h"
#include "messages/escape.h"

namespace {

const char SETTINGS_USAGE[] =
    "usage: asowner --script NAME --instance DIR [--SETTING VALUE]... -- [WORD...]\n"
    "       asowner [--bind-low-ports] [--library-path] UID -- PROGRAM [ARGUMENT...]\n";

// A refusal: what to say, and the status 3.
struct Refusal {
  Say what;
  std::vector<std::string> values;
};

// Nobody but root can change the entry: root's, no link, not writable by
// group or others.
bool rootAlone(const struct stat& status) {
  return status.st_uid == 0 && !S_ISLNK(status.st_mode) && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string userName(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user ? user->pw_name : std::to_string(uid);
}

// Opens the instance directory and finds its owner: the owner of config,
// or of the instance directory itself when it has none. False with the
// refusal when there is no such directory, or config is no directory.
bool findOwner(ControlRun& run, Refusal* refusal) {
  const std::string& dir = run.settings.instanceDir;
  run.instance.reset(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!run.instance.valid()) {
    *refusal = errno == ENOENT ? Refusal{Say::InstanceMissing, {dir}} : Refusal{Say::NotADirectory, {dir}};
    return false;
  }
  struct stat status;
  if (fstatat(run.instance.get(), RECORD_DIRECTORY, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    run.ownedPath = dir + "/" + RECORD_DIRECTORY;
    if (!S_ISDIR(status.st_mode)) {
      *refusal = {Say::NotADirectory, {run.ownedPath}};
      return false;
    }
  } else {
    run.ownedPath = dir;
    if (lstat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      *refusal = {Say::NotADirectory, {dir}};
      return false;
    }
  }
  run.owner = status.st_uid;
  run.ownerName = userName(run.owner);
  return true;
}

// Run by root: nobody else may change the instance directory, bin or the
// script, whatever the owner; an instance of root's own also needs config
// and logs root's alone, as its server runs as root.
bool rootMayRun(const ControlRun& run, Refusal* refusal) {
  const std::string& dir = run.settings.instanceDir;
  const std::string script = std::string("bin/") + run.name();
  struct stat held, status;
  const bool sameDirectory = fstat(run.instance.get(), &held) == 0 && lstat(dir.c_str(), &status) == 0 &&
                             status.st_dev == held.st_dev && status.st_ino == held.st_ino;
  if (!sameDirectory || !rootAlone(status)) {
    *refusal = {Say::NotRootAlone, {dir, run.ownerName}};
    return false;
  }
  for (const std::string& entry : {std::string("bin"), script}) {
    if (fstatat(run.instance.get(), entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !rootAlone(status)) {
      *refusal = {Say::NotRootAlone, {dir + "/" + entry, run.ownerName}};
      return false;
    }
  }
  if (run.owner != 0) return true;
  for (const char* entry : {RECORD_DIRECTORY, PID_DIRECTORY}) {
    if (fstatat(run.instance.get(), entry, &status, AT_SYMLINK_NOFOLLOW) == 0 && !rootAlone(status)) {
      *refusal = {Say::RootServerUnsafe, {dir + "/" + entry}};
      return false;
    }
  }
  return true;
}

// Run by root for an owner other than root: this very program again, as
// the owner, from the file it runs from (no path is resolved anew).
int runAgainAsOwner(const ControlRun& run, const std::vector<std::string>& arguments, const std::string& self) {
  OwnerCommand command;
  if (!ownerIdentity(run.owner, &command.owner)) {
    complain(run.name(), Say::OwnerUnknown, {run.ownedPath, std::to_string(run.owner)});
    return REFUSED_STATUS;
  }
  Descriptor program(open("/proc/self/exe", O_PATH | O_CLOEXEC));
  // Above the standard descriptors, which the owner's side sets up anew.
  if (program.valid() && program.get() <= STDERR_FILENO) program.reset(fcntl(program.get(), F_DUPFD_CLOEXEC, 3));
  if (!program.valid()) {
    complain(run.name(), Say::CannotBecomeOwner, {run.ownerName, std::strerror(errno)});
    return 126;
  }
  command.programFd = program.get();
  command.argv = {self};
  command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
  command.bindLowPorts = run.settings.script == Script::Start || run.settings.script == Script::Restart;
  OwnerOutcome outcome = runAsOwner(command);
  if (outcome.status >= 0) return exitLike(outcome);
  complain(run.name(), Say::CannotBecomeOwner, {run.ownerName, std::strerror(outcome.error)});
  return outcome.error == ENOENT ? 127 : 126;
}

int doTheWork(ControlRun& run) {
  switch (run.settings.script) {
    case Script::Start:
      return startServer(run);
    case Script::Stop:
      return stopServer(run);
    case Script::Restart:
      return restartServer(run);
    case Script::Rotate:
      return rotateLogs(run);
  }
  return REFUSED_STATUS;
}

}  // namespace

int openLogs(const ControlRun& run, Descriptor* logs) {
  logs->reset(openat(run.instance.get(), PID_DIRECTORY, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return logs->valid() ? 0 : errno;
}

int runControlProgram(const std::vector<std::string>& arguments, const std::string& self) {
  ControlRun run;
  std::string problem;
  if (!readScriptSettings(arguments, &run.settings, &problem)) {
    std::fprintf(stderr, "asowner: %s\n%s", escapeForTerminal(problem).c_str(), SETTINGS_USAGE);
    return USAGE_STATUS;
  }
  const ScriptLine line = readScriptWords(run.settings.script, run.settings.words);
  const std::string usage = escapeForTerminal(scriptUsage(run.settings.script, run.settings.instanceDir), LineBreaks::Keep);
  if (line.reading == Reading::Help) {
    std::fputs(usage.c_str(), stdout);
    return 0;
  }
  if (line.reading == Reading::Wrong) {
    const size_t twoLines = usage.find('\n', usage.find('\n') + 1) + 1;
    std::fprintf(stderr, "%s: %s\n%s", run.name(), escapeForTerminal(line.problem).c_str(),
                 usage.substr(0, twoLines).c_str());
    return USAGE_STATUS;
  }
  run.options = line.options;
  Refusal refusal{};
  bool allowed = findOwner(run, &refusal);
  if (allowed && geteuid() == 0) {
    allowed = rootMayRun(run, &refusal);
    if (allowed && run.owner != 0) return runAgainAsOwner(run, arguments, self);
  } else if (allowed && geteuid() != run.owner) {
    refusal = {Say::NotTheOwner, {run.settings.instanceDir, run.ownerName}};
    allowed = false;
  }
  if (!allowed) {
    complain(run.name(), refusal.what, refusal.values);
    return REFUSED_STATUS;
  }
  return doTheWork(run);
}
