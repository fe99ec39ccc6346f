#include "instancectl/control.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> list;
  for (std::string& word : words) list.push_back(&word[0]);
  list.push_back(nullptr);
  return list;
}

pid_t startCommand(std::vector<std::string> argv) {
  std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C"};
  std::vector<char*> arguments = pointers(argv);
  std::vector<char*> variables = pointers(environment);
  pid_t child = fork();
  if (child > 0) setpgid(child, child);  // as the child does: whichever runs first
  if (child != 0) return child;
  setpgid(0, 0);  // its own group, so that a late script goes with all it started
  dup2(STDERR_FILENO, STDOUT_FILENO);
  execve(arguments[0], arguments.data(), variables.data());
  _exit(127);
}

// The child's exit status (128 + signal), or -1 when it outlived the wait
// and was killed with its process group.
int waitWithin(pid_t child, int waitSeconds) {
  timespec nap{0, 20 * 1000 * 1000};
  for (long waited = 0; waited < waitSeconds * 50L; ++waited) {
    int status;
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -1;
    nanosleep(&nap, nullptr);
  }
  kill(-child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

}  // namespace

bool onlyRootChangesFile(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
         status.st_nlink == 1;
}

std::vector<std::string> asOwnerCommand(uid_t owner, const std::string& program) {
  std::vector<std::string> command = {SETPRIV, "--reuid=" + std::to_string(owner)};
  if (const passwd* user = getpwuid(owner)) {
    command.push_back("--regid=" + std::to_string(user->pw_gid));
    command.push_back("--init-groups");
  } else {
    command.push_back("--regid=" + std::to_string(owner));
    command.push_back("--clear-groups");
  }
  command.push_back("--");
  command.push_back(program);
  return command;
}

int runStopScript(int instancesRoot, const std::string& instancesRootPath, const std::string& name, uid_t owner,
                  Message* refusal, int waitSeconds) {
  const std::string script = instancesRootPath + "/" + name + "/bin/stopserv";
  std::vector<std::string> command = {script};
  if (geteuid() == 0 && owner != 0) command = asOwnerCommand(owner, script);
  if (geteuid() == 0 && owner == 0 && !scriptIsRootOnly(instancesRoot, name)) {
    *refusal = errorMessage("ERR_CTL_UNSAFE_SCRIPT", {script.c_str()});
    return -1;
  }
  pid_t child = startCommand(command);
  if (child < 0) {
    *refusal = errorMessage("ERR_FILE_OPEN_READ", {script.c_str(), std::strerror(errno)});
    return -1;
  }
  int status = waitWithin(child, waitSeconds);
  if (status < 0) *refusal = errorMessage("ERR_CTL_STOP_TIMEOUT", {script.c_str(), std::to_string(waitSeconds).c_str()});
  return status;
}
