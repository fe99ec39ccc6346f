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
bool scriptIsRootOnly(int instancesRoot, const std::string& name) {
  Descriptor instance(openat(instancesRoot, name.c_str(), PASSAGE));
  Descriptor bin(instance.valid() ? openat(instance.get(), "bin", PASSAGE) : -1);
  struct stat instanceStatus, binStatus, scriptStatus;
  return bin.valid() && fstat(instance.get(), &instanceStatus) == 0 && fstat(bin.get(), &binStatus) == 0 &&
         fstatat(bin.get(), "stopserv", &scriptStatus, AT_SYMLINK_NOFOLLOW) == 0 && onlyRootChanges(instanceStatus) &&
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

int runStopScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name, uid_t owner,
                  Message* refusal, int waitSeconds) {
  const std::string script = instancesRootPath + "/" + name + "/bin/stopserv";
  if (geteuid() == 0 && owner == 0 && !scriptIsRootOnly(instancesRoot, name)) {
    *refusal = escapedMessage("ERR_CTL_UNSAFE_SCRIPT", {script});
    return -1;
  }
  OwnerCommand command;
  // Run by another user than root, the script runs as that user and refuses
  // an instance of someone else's itself. An owner the system no longer
  // knows runs as its bare number.
  ownerIdentity(geteuid() == 0 ? owner : geteuid(), &command.owner);
  command.argv = {script};
  command.outputTo = STDERR_FILENO;
  command.waitSeconds = waitSeconds;
  OwnerOutcome outcome = runAsOwner(command);
  endLikeTheSignalPassedOn(outcome);
  if (outcome.timedOut)
    *refusal = escapedMessage("ERR_CTL_STOP_TIMEOUT", {script, std::to_string(waitSeconds)});
  else if (outcome.status < 0)
    *refusal = escapedMessage("ERR_FILE_OPEN_READ", {script, std::strerror(outcome.error)});
  return outcome.status;
}
