// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/script_text.h"

#include <cstdio>
#include <utility>

#include "messages/escape.h"

namespace {

const std::pair<Say, const char*> TEXTS[] = {
    // The scripts' command lines.
    {Say::StartUsage,
     "usage: startserv [-a ADDRESS] [-- SERVER-ARGUMENT...]\n"
     "       startserv --help\n"
     "Starts the server of {1} as the instance's owner.\n"
     "  -a, --address ADDRESS  listen on ADDRESS (an IPv4 address, or * for every\n"
     "                         address) for this start, instead of on the address\n"
     "                         of the HTTP listener in config/server.xml\n"
     "  -- SERVER-ARGUMENT...  passed on to the server program\n"
     "  -h, --help             print this help and start nothing\n"
     "The arguments are kept for restartserv.  Exit status: 0 started, 1 not\n"
     "started, 2 it was running already, 3 refused (nothing done), 64 a wrong\n"
     "command line.\n"},
    {Say::StopUsage,
     "usage: stopserv [--timeout SECONDS] [--kill]\n"
     "       stopserv --help\n"
     "Stops the server of {1}: SIGTERM, then a wait for it to end.\n"
     "  --timeout SECONDS  wait at most SECONDS (default 30)\n"
     "  --kill             send SIGKILL to a server still running then\n"
     "  -h, --help         print this help and stop nothing\n"
     "Exit status: 0 stopped, 1 could not stop it, 2 it was not running,\n"
     "3 refused (no signal sent), 64 a wrong command line.\n"},
    {Say::RestartUsage,
     "usage: restartserv [--timeout SECONDS] [--kill] [-a ADDRESS] [-- SERVER-ARGUMENT...]\n"
     "       restartserv --help\n"
     "Stops the server of {1}, if it runs, and starts it again with\n"
     "the arguments of its last start (kept by startserv).\n"
     "  --timeout SECONDS      stopserv waits at most SECONDS (default 30)\n"
     "  --kill                 stopserv sends SIGKILL to a server still running then\n"
     "  -a, --address ADDRESS  start with -a ADDRESS instead of the last arguments\n"
     "  -- SERVER-ARGUMENT...  start with these instead of the last arguments\n"
     "                         (-- alone: with none)\n"
     "  -h, --help             print this help and restart nothing\n"
     "Exit status: 0 restarted, 1 not stopped or not started, 2 a server was\n"
     "running again before the start, 3 refused (nothing done), 64 a wrong\n"
     "command line.\n"},
    {Say::RotateUsage,
     "usage: rotatelogs [--keep N]\n"
     "       rotatelogs --help\n"
     "Moves the access and error logs of {1} aside, each under a name\n"
     "of its own (LOG.YYYYMMDD-HHMMSS[.N]), and has the server open new ones.\n"
     "  --keep N    keep only the newest N rotations of each log (N at least 1)\n"
     "  -h, --help  print this help and rotate nothing\n"
     "Exit status: 0 rotated, 1 a log could not be moved aside or an old one\n"
     "removed, or the server could not be told, 3 refused, 64 a wrong command\n"
     "line.\n"},
    {Say::NeedsValue, "{1} needs a value."},
    {Say::NeedsAddress, "{1} needs an address."},
    {Say::UnknownOption, "unknown option {1}."},
    {Say::NotACount, "{1} takes a whole number, not \"{2}\"."},
    {Say::CountTooSmall, "{1} takes a number of at least {2}, not {3}."},
    {Say::NoServerArguments, "-- is not an option of {1}, which passes nothing on to the server program."},
    {Say::StrayForServer, "unexpected argument {1}: what is meant for the server program follows --."},
    {Say::StrayWord, "unexpected argument {1}."},
    {Say::LineEndInArgument,
     "an argument for the server holds a line end, which the record of the start's arguments cannot keep."},
    {Say::ArgumentsTooLong,
     "the arguments for the server are longer than the record of the start's arguments keeps ({1} bytes)."},
    {Say::NoSuchScript, "there is no control script {1}."},
    {Say::SettingsMissing, "--script, --instance and -- before the script's words are needed."},
    // Who runs the script.
    {Say::NotADirectory, "{1} is not a directory."},
    {Say::InstanceMissing, "the instance directory {1} is missing."},
    {Say::NotRootAlone, "{1} can be changed by users other than root; run this script as {2}, not as root."},
    {Say::OwnerUnknown, "the owner of {1} ({2}) is not a user of this system."},
    {Say::RootServerUnsafe, "{1} can be changed by users other than root, which a server run as root cannot allow."},
    {Say::NotTheOwner, "the instance {1} is {2}'s: run this script as {2} or as root."},
    {Say::CannotBecomeOwner, "cannot run this script as {1}: {2}."},
    {Say::ControlLockFailed, "cannot take the control lock {1}: {2}; {3}."},
    {Say::HeldByForeign, "{1} is held by process {2} ({3}), which is no server of the instance (not wholly its owner's); {4}."},
    {Say::CannotTell, "cannot tell whether the server of {1} runs ({2}: {3}); {4}."},
    {Say::NothingDone, "nothing was done"},
    {Say::NothingSent, "nothing was sent"},
    {Say::AlreadyRunning, "the server of {1} is already running (process {2})."},
    {Say::ProgramMissing, "the server program {1} is missing or not executable."},
    {Say::CannotRunProgram, "cannot run the server program {1}: {2}."},
    {Say::ProgramSignalled, "the server program {1} was ended by signal {2}."},
    {Say::NoServerAfterStart, "the server program {1} returned 0, but no server of the instance holds {2}."},
    {Say::RecordNotKept, "the arguments of this start cannot be kept in {1} ({2}); give them to restartserv."},
    {Say::RecordStuck,
     "{1}, which holds the arguments of another start, cannot be removed ({2}); not starting the server, which "
     "restartserv would then start another way."},
    {Say::NotRunning, "the {1} is not running."},
    {Say::StillRunningAfterTerm,
     "the {1} is still running {2} seconds after SIGTERM: process {3} ({4}); stopserv --kill sends it SIGKILL."},
    {Say::SendingKill, "the {1} did not stop within {2} seconds of SIGTERM; sending SIGKILL to process {3} ({4})."},
    {Say::StillRunningAfterKill, "the {1} is still running 30 seconds after SIGKILL: process {2} ({3})."},
    {Say::HasStopped, "The {1} has stopped."},
    {Say::CannotSignal, "cannot send {1} to process {2} ({3}): {4}."},
    {Say::RunsWithoutRecord,
     "the server of {1} runs (process {2}), but {3}, which says how it was started, is missing; not restarting it. "
     "Give the arguments: restartserv -a ADDRESS, or restartserv -- for none."},
    {Say::RecordRefused,
     "{1}; not restarting the server. Give the arguments: restartserv -a ADDRESS, or restartserv -- for none."},
    {Say::RecordNotPlain, "{1} is not a plain file"},
    {Say::RecordTooLarge, "{1} is larger than {2} bytes"},
    {Say::RecordNotARecord, "{1} is not a record of a start's arguments"},
    {Say::CannotReadRecord, "{1} cannot be read: {2}"},
    {Say::NotStopped, "the server could not be stopped; not starting it again."},
    {Say::CannotRunScript, "cannot run {1}: {2}."},
    {Say::CannotOpenLogs, "cannot open {1}: {2}."},
    {Say::Rotated, "{1} -> {2}"},
    {Say::CannotLinkLog, "cannot link {1} to {2}: {3}; {1} stays where it is."},
    {Say::NamesTaken, "the names of this second for {1} are taken up to {2}; {1} stays where it is."},
    {Say::CannotRemove, "cannot remove {1}: {2}."},
    {Say::RemovedRotation, "{1} removed (keeping the newest {2})"},
    {Say::NotToldForeign,
     "no server was told to reopen its logs: {1} is held by process {2} ({3}), which is no server of the instance."},
    {Say::NotToldUnknown, "no server was told to reopen its logs: cannot tell whether the server of {1} runs ({2}: {3})."},
};

const char* textOf(Say what) {
  for (const auto& entry : TEXTS)
    if (entry.first == what) return entry.second;
  return "";
}

}  // namespace

std::string sayText(Say what, const std::vector<std::string>& values) {
  std::string text = textOf(what), filled;
  for (size_t at = 0; at < text.size(); ++at) {
    const char digit = at + 2 < text.size() && text[at] == '{' && text[at + 2] == '}' ? text[at + 1] : '\0';
    const size_t index = digit >= '1' && digit <= '9' ? static_cast<size_t>(digit - '1') : values.size();
    if (index < values.size()) {
      filled += escapeForTerminal(values[index]);
      at += 2;
    } else {
      filled += text[at];
    }
  }
  return filled;
}

void complain(const char* script, Say what, const std::vector<std::string>& values) {
  std::fprintf(stderr, "%s: %s\n", script, sayText(what, values).c_str());
}

void report(Say what, const std::vector<std::string>& values) {
  std::printf("%s\n", sayText(what, values).c_str());
  std::fflush(stdout);
}
