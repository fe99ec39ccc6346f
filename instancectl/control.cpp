// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/control.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "instancectl/asowner.h"
#include "fsutil/descriptor.h"
#include "fsutil/directories.h"

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// True when nobody but root can change the script or what holds it below
// the instances root (which the caller has checked).
bool scriptIsRootOnly(int instancesRoot, const std::string& name, const std::string& script) {
  Descriptor instance(openat(instancesRoot, name.c_str(), PASSAGE));
  Descriptor bin(instance.valid() ? openat(instance.get(), "bin", PASSAGE) : -1);
  struct stat instanceStatus, binStatus, scriptStatus;
  return bin.valid() && fstat(instance.get(), &instanceStatus) == 0 && fstat(bin.get(), &binStatus) == 0 &&
         fstatat(bin.get(), script.c_str(), &scriptStatus, AT_SYMLINK_NOFOLLOW) == 0 && onlyRootChanges(instanceStatus) &&
         onlyRootChanges(binStatus) && onlyRootChangesFile(scriptStatus);
}

// The script is in a session of its own: Ctrl-C at the terminal reaches
// this program alone, which passes it on. Once the script has ended, this
// program ends by the same signal, before anything is removed, as it did
// when it shared the terminal's process group with the script.
void endLikeTheSignalPassedOn(const OwnerOutcome& outcome) {
  if (outcome.forwarded == 0) return;
  signal(outcome.forwarded, SIG_DFL);
  raise(outcome.forwarded);
}

}  // namespace

bool onlyRootChangesFile(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
         status.st_nlink == 1;
}

int stopWaitSeconds(int timeout, bool kill) { return timeout + (kill ? KILL_WAIT_SECONDS : 0) + 60; }

ScriptOutcome runControlScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name,
                               uid_t owner, const ScriptRun& run) {
  ScriptOutcome result;
  if (geteuid() == 0 && (owner == 0 || run.starts) && !scriptIsRootOnly(instancesRoot, name, run.script)) {
    result.problem = ScriptProblem::Unsafe;
    return result;
  }
  OwnerCommand command;
  // Run by another user than root, the script runs as that user and refuses
  // an instance of someone else's itself. An owner the system no longer
  // knows runs as its bare number.
  ownerIdentity(geteuid() == 0 ? owner : geteuid(), &command.owner);
  command.argv = {instancesRootPath + "/" + name + "/bin/" + run.script};
  command.argv.insert(command.argv.end(), run.arguments.begin(), run.arguments.end());
  // What the scripts' own root half lets the owner keep.
  command.bindLowPorts = run.starts;
  command.keepLibraryPath = run.starts;
  command.outputTo = run.outputTo;
  command.errorsTo = run.errorsTo;
  command.waitSeconds = run.waitSeconds;
  OwnerOutcome outcome = runAsOwner(command);
  endLikeTheSignalPassedOn(outcome);
  result.status = outcome.status;
  if (outcome.timedOut)
    result.problem = ScriptProblem::TimedOut;
  else if (outcome.status < 0)
    result.problem = ScriptProblem::NotStarted, result.error = outcome.error;
  return result;
}

int runStopScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name, uid_t owner,
                  Message* refusal, int waitSeconds, const std::vector<std::string>& stopArguments) {
  const std::string script = instancesRootPath + "/" + name + "/bin/stopserv";
  ScriptRun run;
  run.script = "stopserv";
  run.arguments = stopArguments;
  run.waitSeconds = waitSeconds;
  ScriptOutcome outcome = runControlScript(instancesRoot, instancesRootPath, name, owner, run);
  if (outcome.problem == ScriptProblem::Unsafe)
    *refusal = escapedMessage("ERR_CTL_UNSAFE_SCRIPT", {script});
  else if (outcome.problem == ScriptProblem::TimedOut)
    *refusal = escapedMessage("ERR_CTL_STOP_TIMEOUT", {script, std::to_string(waitSeconds)});
  else if (outcome.problem == ScriptProblem::NotStarted)
    *refusal = escapedMessage("ERR_FILE_OPEN_READ", {script, std::strerror(outcome.error)});
  return outcome.status;
}
