// SPDX-License-Identifier: GPL-3.0-or-later
// asowner: the program of an instance's control scripts.
//
//   asowner --script NAME --instance DIR [--SETTING VALUE]... -- [WORD...]
//
// does what the script NAME does (instancectl/script_run.h), with its exit
// status.
//
//   asowner [--bind-low-ports] [--library-path] UID -- PROGRAM [ARGUMENT...]
//
// is how the scripts of instances made before run themselves again as the
// owner: run by root, a script has made sure that it, its directory and
// the instance directory are root's alone and found the instance's owner;
// it then runs itself again through this program, as the owner, in a new
// session without a terminal (see instancectl/asowner.h). Exit status: the
// program's, 128 + the signal that killed it (or the same signal, when it
// was one forwarded from the terminal: SIGINT, SIGTERM, SIGHUP); 126 or
// 127 when it cannot be run, 1 for a refusal or a wrong command line.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "instancectl/asowner.h"
#include "instancectl/script_run.h"
#include "messages/escape.h"

namespace {

const char USAGE[] = "usage: asowner [--bind-low-ports] [--library-path] UID -- PROGRAM [ARGUMENT...]\n";

int refuse(const std::string& text) {
  std::fprintf(stderr, "asowner: %s\n", escapeForTerminal(text).c_str());
  return 1;
}

bool parseUid(const char* text, uid_t* uid) {
  if (*text < '0' || *text > '9' || std::strlen(text) > 10) return false;
  char* end;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value >= static_cast<uid_t>(-1)) return false;
  *uid = static_cast<uid_t>(value);
  return true;
}

// Reads the command line into `command`; -1 to go on, else the exit status.
int readCommandLine(int argc, char** argv, OwnerCommand* command) {
  int at = 1;
  for (; at < argc && argv[at][0] == '-' && std::strcmp(argv[at], "--") != 0; ++at) {
    if (std::strcmp(argv[at], "--bind-low-ports") == 0) {
      command->bindLowPorts = true;
    } else if (std::strcmp(argv[at], "--library-path") == 0) {
      command->keepLibraryPath = true;
    } else {
      std::fputs(USAGE, stderr);
      return 1;
    }
  }
  uid_t uid;
  if (argc - at < 3 || std::strcmp(argv[at + 1], "--") != 0 || !parseUid(argv[at], &uid)) {
    std::fputs(USAGE, stderr);
    return 1;
  }
  if (argv[at + 2][0] != '/') return refuse(std::string("the program ") + argv[at + 2] + " is not an absolute path.");
  if (!ownerIdentity(uid, &command->owner))
    return refuse("the user " + std::to_string(uid) + " is not a user of this system.");
  command->argv.assign(argv + at + 2, argv + argc);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--script") == 0)
    return runControlProgram(std::vector<std::string>(argv + 1, argv + argc), argv[0]);
  OwnerCommand command;
  if (int status = readCommandLine(argc, argv, &command); status >= 0) return status;
  if (geteuid() != 0) return refuse("only root runs a program as another user.");
  OwnerOutcome outcome = runAsOwner(command);
  if (outcome.status >= 0) return exitLike(outcome);
  refuse("cannot run " + command.argv[0] + " as user " + std::to_string(command.owner.uid) + ": " +
         std::strerror(outcome.error));
  return outcome.error == ENOENT ? 127 : 126;
}
