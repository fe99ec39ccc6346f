// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/operating.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/reading.h"
#include "instancectl/asowner.h"
#include "instancectl/control.h"
#include "instancectl/listing.h"
#include "instancectl/unit.h"
#include "messages/escape.h"

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* ERROR_LOG = "errors";
constexpr size_t LOG_TAIL_BYTES = 16 * 1024;
constexpr size_t LOG_TAIL_LINES = 10;
// systemctl waits for the job: a stop may take the unit's stop timeout.
constexpr int SYSTEMCTL_WAIT_SECONDS = 300;

void say(const Message& message) { std::printf("%s\n", message.get()); }
void complain(const Message& message) { std::fprintf(stderr, "%s\n", message.get()); }

std::string instanceDirOf(const Workplace& place, const InstanceInfo& info) {
  return place.instancesRoot + "/" + info.entry.id;
}

// Only a complete instance has a server to operate.
bool operable(const InstanceInfo& info) {
  return info.entry.state == EntryState::Published || info.entry.state == EntryState::Legacy;
}

// The failing start's log, after the line that says it failed.
void showErrorLog(const Workplace& place, const InstanceInfo& info) {
  Message problem;
  std::vector<std::string> lines = errorLogTail(place.root.get(), place.instancesRoot, info.entry, LOG_TAIL_LINES, &problem);
  const std::string path = instanceDirOf(place, info) + "/" + PID_DIRECTORY + "/" + ERROR_LOG;
  if (problem) return complain(problem);
  if (lines.empty()) return;
  complain(escapedMessage("ERR_CTL_ERROR_LOG", {path}));
  for (const std::string& line : lines) std::fprintf(stderr, "  %s\n", line.c_str());
}

// Says why a script was not run or did not end; false.
bool scriptProblem(const std::string& script, const ScriptRun& run, const ScriptOutcome& outcome) {
  if (outcome.problem == ScriptProblem::Unsafe)
    complain(escapedMessage("ERR_CTL_UNSAFE_OPERATION", {script}));
  else if (outcome.problem == ScriptProblem::TimedOut)
    complain(escapedMessage("ERR_CTL_SCRIPT_TIMEOUT", {script, std::to_string(run.waitSeconds)}));
  else
    complain(escapedMessage("ERR_FILE_OPEN_READ", {script, std::strerror(outcome.error)}));
  return false;
}

// The instance as it is now; its server's process number, 0 when none runs.
pid_t serverNow(const Workplace& place, const InstanceInfo& info) {
  InstanceInfo now;
  return lookUpInstance(place.root.get(), place.instancesRoot, info.entry.id, &now) ? now.pid : 0;
}

ScriptRun scriptRun(const CommandLine& line, const std::string& verb) {
  ScriptRun run;
  run.script = verb + "serv";
  run.starts = verb != "stop";
  if (verb != "start") run.arguments = stopArguments(line);
  const int stopping = stopWaitSeconds(line.timeout, line.kill);
  run.waitSeconds = verb == "start" ? START_WAIT_SECONDS : verb == "stop" ? stopping : stopping + START_WAIT_SECONDS;
  return run;
}

// "4242 (lighttpd)": a process number and the name of what runs as it.
std::string processText(pid_t pid) { return std::to_string(pid) + " (" + processName(pid) + ")"; }

// The server still runs after a stop: says what runs, and what would end it.
void sayStillRunning(const CommandLine& line, const InstanceInfo& info, pid_t pid) {
  const std::string process = processText(pid), seconds = std::to_string(line.timeout);
  if (line.kill)
    complain(escapedMessage("ERR_CTL_STILL_RUNNING_KILLED", {info.entry.id, process}));
  else
    complain(escapedMessage("ERR_CTL_STILL_RUNNING", {info.entry.id, seconds, process}));
}

bool startWithScript(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  if (info.pid) {
    say(escapedMessage("ERR_CTL_ALREADY_RUNNING", {info.entry.id, std::to_string(info.pid)}));
    return true;
  }
  const ScriptRun run = scriptRun(line, "start");
  const std::string script = instanceDirOf(place, info) + "/bin/" + run.script;
  const ScriptOutcome outcome = runControlScript(place.root.get(), place.instancesRoot, info.entry.name, info.entry.owner, run);
  if (outcome.problem != ScriptProblem::None) return scriptProblem(script, run, outcome);
  if (pid_t pid = serverNow(place, info)) {
    say(escapedMessage("ERR_CTL_STARTED", {info.entry.id, std::to_string(pid)}));
    return true;
  }
  complain(escapedMessage("ERR_CTL_NOT_STARTED", {info.entry.id, script, std::to_string(outcome.status)}));
  showErrorLog(place, info);
  return false;
}

bool stopWithScript(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  if (!info.pid) {
    say(escapedMessage("ERR_CTL_NOT_RUNNING", {info.entry.id}));
    return true;
  }
  const ScriptRun run = scriptRun(line, "stop");
  const std::string script = instanceDirOf(place, info) + "/bin/" + run.script;
  const ScriptOutcome outcome = runControlScript(place.root.get(), place.instancesRoot, info.entry.name, info.entry.owner, run);
  if (outcome.problem != ScriptProblem::None) return scriptProblem(script, run, outcome);
  // What runs now decides, not what the script said: the server may have
  // ended meanwhile, or a refused pid file may hide one still running.
  if (pid_t pid = serverNow(place, info)) {
    sayStillRunning(line, info, pid);
    return false;
  }
  say(escapedMessage("ERR_CTL_STOPPED", {info.entry.id}));
  return true;
}

bool restartWithScript(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  const ScriptRun run = scriptRun(line, "restart");
  const std::string script = instanceDirOf(place, info) + "/bin/" + run.script;
  const ScriptOutcome outcome = runControlScript(place.root.get(), place.instancesRoot, info.entry.name, info.entry.owner, run);
  if (outcome.problem != ScriptProblem::None) return scriptProblem(script, run, outcome);
  const pid_t pid = serverNow(place, info);
  if (pid && pid != info.pid) {
    say(escapedMessage("ERR_CTL_RESTARTED", {info.entry.id, std::to_string(pid)}));
    return true;
  }
  if (pid) {
    sayStillRunning(line, info, pid);  // the old server would not stop
    return false;
  }
  complain(escapedMessage("ERR_CTL_NOT_RESTARTED", {info.entry.id, script, std::to_string(outcome.status)}));
  showErrorLog(place, info);
  return false;
}

// Who may operate the instance: root, or its owner (the scripts refuse
// anybody else, and their error log is none of that user's business).
bool mayOperate(const InstanceInfo& info) {
  if (geteuid() == 0 || geteuid() == info.entry.owner) return true;
  const std::string user = instanceUser(info);
  complain(escapedMessage("ERR_CTL_NOT_OWNER", {info.entry.id, user}));
  return false;
}

// The command `line.command` for one instance; true when it is done.
bool operateOne(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  const std::string instanceDir = normalizePath(instanceDirOf(place, info));
  if (info.entry.state == EntryState::Broken) {
    complain(escapedMessage("ERR_CTL_UNIT_BROKEN", {instanceDir}));
    return false;
  }
  if (!operable(info)) {
    complain(escapedMessage("ERR_CTL_UNIT_UNFINISHED", {instanceDir}));
    return false;
  }
  if (!mayOperate(info)) return false;
  if (std::string unit = operatingUnit(line, instanceDir); !unit.empty())
    return operateThroughUnit(line, place, info, line.command, unit);
  if (line.command == "start") return startWithScript(line, place, info);
  if (line.command == "stop") return stopWithScript(line, place, info);
  return restartWithScript(line, place, info);
}

// Every complete instance of the server root, in identifier order, one
// line each; the ones that failed are named at the end.
int operateAll(const CommandLine& line, const Workplace& place) {
  std::vector<InstanceInfo> instances;
  if (listInstances(place.root.get(), place.instancesRoot, &instances) != 0) {
    complain(escapedMessage("ERR_FILE_OPEN_READ", {place.instancesRoot, std::strerror(errno)}));
    return STATUS_FAILED;
  }
  size_t operated = 0;
  std::string failed;
  for (const InstanceInfo& info : instances) {
    if (!operable(info)) continue;
    ++operated;
    if (operateOne(line, place, info)) continue;
    failed += (failed.empty() ? "" : ", ") + info.entry.id;
  }
  if (failed.empty()) return STATUS_DONE;
  const size_t count = std::count(failed.begin(), failed.end(), ',') + 1;
  complain(escapedMessage("ERR_CTL_SOME_FAILED", {std::to_string(count), std::to_string(operated), failed}));
  return STATUS_FAILED;
}

}  // namespace

bool systemdManages(const CommandLine& line) {
  std::string root = line.systemdRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  struct stat status;
  const std::string marker = (root == "/" ? "" : root) + "/run/systemd/system";
  return stat(marker.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string instanceUnit(const CommandLine& line, const std::string& instanceDir) {
  const std::string name = unitFileName(instanceDir);
  Descriptor directory;
  if (name.empty() || openDirectoryPath(line.unitDirectory.c_str(), &directory) != 0) return "";
  std::string text;
  if (!readSmallFileAt(directory.get(), name.c_str(), SMALL_FILE_LIMIT, &text) || !isUnitOf(text, instanceDir)) return "";
  return name;
}

std::string operatingUnit(const CommandLine& line, const std::string& instanceDir) {
  return systemdManages(line) ? instanceUnit(line, instanceDir) : std::string();
}

bool operateThroughUnit(const CommandLine& line, const Workplace& place, const InstanceInfo& info,
                        const std::string& verb, const std::string& unit) {
  Message problem;
  const int status = runSystemctl(line, {verb, unit}, &problem);
  if (status == 0) {
    const char* key = verb == "start" ? "ERR_CTL_STARTED_UNIT" : verb == "stop" ? "ERR_CTL_STOPPED_UNIT" : "ERR_CTL_RESTARTED_UNIT";
    say(escapedMessage(key, {info.entry.id, unit}));
    return true;
  }
  if (problem) {
    complain(problem);
    return false;
  }
  complain(escapedMessage("ERR_CTL_SYSTEMCTL_FAILED", {info.entry.id, "systemctl " + verb + " " + unit,
                                                       std::to_string(status)}));
  if (verb != "stop") showErrorLog(place, info);
  return false;
}

int runSystemctl(const CommandLine& line, const std::vector<std::string>& arguments, Message* problem) {
  OwnerCommand command;
  ownerIdentity(geteuid(), &command.owner);
  command.argv = {line.systemctl};
  command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
  command.outputTo = STDERR_FILENO;
  command.waitSeconds = SYSTEMCTL_WAIT_SECONDS;
  const OwnerOutcome outcome = runAsOwner(command);
  if (outcome.timedOut)
    *problem = escapedMessage("ERR_CTL_SCRIPT_TIMEOUT", {line.systemctl, std::to_string(SYSTEMCTL_WAIT_SECONDS)});
  else if (outcome.status < 0)
    *problem = escapedMessage("ERR_FILE_OPEN_READ", {line.systemctl, std::strerror(outcome.error)});
  return outcome.status;
}

std::vector<std::string> errorLogTail(int instancesRoot, const std::string& instancesRootPath,
                                      const InstanceEntry& entry, size_t count, Message* problem) {
  const std::string path = instancesRootPath + "/" + entry.id + "/" + PID_DIRECTORY + "/" + ERROR_LOG;
  Descriptor tree = openEntryTree(instancesRoot, entry.tree);
  Descriptor logs(tree.valid() ? openat(tree.get(), PID_DIRECTORY, PASSAGE) : -1);
  Descriptor file(logs.valid() ? openat(logs.get(), ERROR_LOG, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                               : -1);
  ReadOutcome outcome;
  struct stat status;
  if (!file.valid() || fstat(file.get(), &status) != 0)
    outcome = {errno == ELOOP ? ReadRefusal::Link : ReadRefusal::System, errno};
  else if (!S_ISREG(status.st_mode))
    outcome.refusal = ReadRefusal::Irregular;
  else if (status.st_nlink != 1)
    outcome.refusal = ReadRefusal::SecondName;  // a hard link to another user's file
  if (!outcome) {
    if (!(outcome.refusal == ReadRefusal::System && outcome.error == ENOENT))
      *problem = readRefusalMessage(path.c_str(), outcome, LOG_TAIL_BYTES);
    return {};
  }
  const off_t start = status.st_size > static_cast<off_t>(LOG_TAIL_BYTES) ? status.st_size - LOG_TAIL_BYTES : 0;
  std::string text(LOG_TAIL_BYTES, '\0');
  const ssize_t got = pread(file.get(), &text[0], text.size(), start);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  // A line cut by where the reading began is left out.
  if (start > 0) text.erase(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1);
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    lines.push_back(escapeForTerminal(std::string_view(text).substr(from, end - from)));
    from = end + 1;
  }
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - count);
  return lines;
}

std::vector<std::string> stopArguments(const CommandLine& line) {
  std::vector<std::string> arguments;
  // Only what was asked for: the scripts of an older instance take no options.
  if (line.timeoutGiven) arguments = {"--timeout", std::to_string(line.timeout)};
  if (line.kill) arguments.push_back("--kill");
  return arguments;
}

std::string processName(pid_t pid) {
  Descriptor process(open(("/proc/" + std::to_string(pid)).c_str(), PASSAGE));
  std::string name;
  if (!process.valid() || !readSmallFileAt(process.get(), "comm", 256, &name)) return "unknown";
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return escapeForTerminal(name);
}

int operateCommand(const CommandLine& line, const Workplace& place) {
  Descriptor lock;
  // Root takes its turn with creations and removals, as a removal does: a
  // start never meets a removal of the same instance. The server user has
  // no part in root's lock.
  if (geteuid() == 0)
    if (int status = takeTurn(place, &lock); status >= 0) return status;
  if (line.all) return operateAll(line, place);
  InstanceInfo info;
  if (int status = findInstance(line, place, &info); status >= 0) return status;
  return operateOne(line, place, info) ? STATUS_DONE : STATUS_FAILED;
}

int statusCommand(const CommandLine& line, const Workplace& place) {
  InstanceInfo info;
  if (findInstance(line, place, &info) >= 0) return LSB_UNKNOWN;
  if (line.json) {
    std::fputs(formatJsonObject(info).c_str(), stdout);
  } else {
    const std::string instanceDir = instanceDirOf(place, info);
    if (info.state == InstanceState::Running)
      say(escapedMessage("ERR_CTL_STATUS_RUNNING", {info.entry.id, instanceDir, processText(info.pid)}));
    else
      say(escapedMessage("ERR_CTL_STATUS", {info.entry.id, instanceDir, stateName(info.state)}));
  }
  if (info.state == InstanceState::Running) return LSB_RUNNING;
  return info.state == InstanceState::Stopped ? LSB_STOPPED : LSB_UNKNOWN;
}
