// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/operating.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fsutil/descriptor.h"
#include "fsutil/reading.h"
#include "instancectl/control.h"
#include "instancectl/listing.h"
#include "instancectl/systemd.h"
#include "messages/escape.h"

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* ERROR_LOG = "errors";
constexpr size_t LOG_TAIL_BYTES = 16 * 1024;
constexpr size_t LOG_TAIL_LINES = 10;

void say(const Message& message) { std::printf("%s\n", message.get()); }
void complain(const Message& message) { std::fprintf(stderr, "%s\n", message.get()); }

int refuse(int status, const Message& message) {
  complain(message);
  return status;
}

bool fail(const Message& message) {
  complain(message);
  return false;
}

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

// The instance as it is now, its server's lock looked at again; one that is
// gone meanwhile has no server.
InstanceInfo now(const Workplace& place, const InstanceInfo& info) {
  InstanceInfo found;
  if (!lookUpInstance(place.root.get(), info.entry.id, &found)) found.entry = info.entry;
  return found;
}

// "4242 (lighttpd)": a process number and the name of what runs as it.
std::string processText(pid_t pid) { return std::to_string(pid) + " (" + processName(pid) + ")"; }

// --- With the instance's scripts ---------------------------------------------

ScriptRun scriptRun(const CommandLine& line, const std::string& verb) {
  ScriptRun run;
  run.script = verb + "serv";
  run.starts = verb != "stop";
  if (verb != "start") run.arguments = stopArguments(line);
  const int stopping = stopWaitSeconds(line.timeout, line.kill);
  run.waitSeconds = verb == "start" ? START_WAIT_SECONDS : verb == "stop" ? stopping : stopping + START_WAIT_SECONDS;
  return run;
}

// Runs the instance's script for `verb` ("start", "stop", "restart"), its
// path in `*script`; false, said, when it could not run or did not end.
bool runScript(const CommandLine& line, const Workplace& place, const InstanceInfo& info, const std::string& verb,
               ScriptOutcome* outcome, std::string* script) {
  const ScriptRun run = scriptRun(line, verb);
  *script = instanceDirOf(place, info) + "/bin/" + run.script;
  *outcome = runControlScript(place.root.get(), place.instancesRoot, info.entry.name, info.entry.owner, run);
  if (outcome->problem == ScriptProblem::None) return true;
  if (outcome->problem == ScriptProblem::Unsafe)
    complain(escapedMessage("ERR_CTL_UNSAFE_OPERATION", {*script}));
  else if (outcome->problem == ScriptProblem::TimedOut)
    complain(escapedMessage("ERR_CTL_SCRIPT_TIMEOUT", {*script, std::to_string(run.waitSeconds)}));
  else
    complain(escapedMessage("ERR_FILE_OPEN_READ", {*script, std::strerror(outcome->error)}));
  return false;
}

// A script that refused said why in its own line; this one says that
// nothing was done. False.
bool refused(const std::string& script, const InstanceInfo& info) {
  complain(escapedMessage("ERR_CTL_SCRIPT_REFUSED", {script, info.entry.id}));
  return false;
}

// The server `pid` still runs after a stop whose script ended with
// `status`: after the signals it sent (SCRIPT_FAILED), named with what
// would end it; after anything else, with the script's status.
void sayStillRunning(const CommandLine& line, const InstanceInfo& info, int status, pid_t pid) {
  const std::string process = processText(pid);
  if (status != SCRIPT_FAILED)
    complain(escapedMessage("ERR_CTL_STOP_FAILED", {info.entry.id, std::to_string(status), process}));
  else if (line.kill)
    complain(escapedMessage("ERR_CTL_STILL_RUNNING_KILLED", {info.entry.id, process}));
  else
    complain(escapedMessage("ERR_CTL_STILL_RUNNING", {info.entry.id, std::to_string(line.timeout), process}));
}

bool startWithScript(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  if (info.pid) {
    say(escapedMessage("ERR_CTL_ALREADY_RUNNING", {info.entry.id, std::to_string(info.pid)}));
    return true;
  }
  ScriptOutcome outcome;
  std::string script;
  if (!runScript(line, place, info, "start", &outcome, &script)) return false;
  if (outcome.status == SCRIPT_REFUSED) return refused(script, info);
  if (const pid_t pid = now(place, info).pid) {
    const char* key = outcome.status == SCRIPT_NOTHING_TO_DO ? "ERR_CTL_ALREADY_RUNNING" : "ERR_CTL_STARTED";
    say(escapedMessage(key, {info.entry.id, std::to_string(pid)}));
    return true;
  }
  complain(escapedMessage("ERR_CTL_NOT_STARTED", {info.entry.id, script, std::to_string(outcome.status)}));
  showErrorLog(place, info);
  return false;
}

bool stopWithScript(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  if (info.server.state == ServerState::Stopped) {
    say(escapedMessage("ERR_CTL_NOT_RUNNING", {info.entry.id}));
    return true;
  }
  ScriptOutcome outcome;
  std::string script;
  if (!runScript(line, place, info, "stop", &outcome, &script)) return false;
  if (outcome.status == SCRIPT_REFUSED) return refused(script, info);
  if (const pid_t pid = now(place, info).pid) {
    sayStillRunning(line, info, outcome.status, pid);
    return false;
  }
  say(escapedMessage(outcome.status == SCRIPT_NOTHING_TO_DO ? "ERR_CTL_NOT_RUNNING" : "ERR_CTL_STOPPED", {info.entry.id}));
  return true;
}

bool restartWithScript(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  ScriptOutcome outcome;
  std::string script;
  if (!runScript(line, place, info, "restart", &outcome, &script)) return false;
  if (outcome.status == SCRIPT_REFUSED) return refused(script, info);
  const pid_t pid = now(place, info).pid;
  if (pid && pid != info.pid) {
    say(escapedMessage("ERR_CTL_RESTARTED", {info.entry.id, std::to_string(pid)}));
    return true;
  }
  if (pid) {
    sayStillRunning(line, info, outcome.status, pid);  // the old server would not stop
    return false;
  }
  complain(escapedMessage("ERR_CTL_NOT_RESTARTED", {info.entry.id, script, std::to_string(outcome.status)}));
  showErrorLog(place, info);
  return false;
}

// --- Through the instance's unit ---------------------------------------------

// The monotonic clock in microseconds, as systemd gives its timestamps.
unsigned long long monotonicMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned long long>(now.tv_sec) * 1000000 + static_cast<unsigned long long>(now.tv_nsec) / 1000;
}

// True when systemd refused a start that failed, begun at `since`, for its
// start limit: Result says so; or, as systemd 252 keeps there the failure
// before, the unit has failed and did not leave its inactive state since.
bool startLimitHit(const CommandLine& line, const std::string& unit, unsigned long long since) {
  const std::string result = unitProperty(line, unit, "Result");
  if (result == "start-limit-hit") return true;
  if (result.empty() || result == "success") return false;
  const std::string left = unitProperty(line, unit, "InactiveExitTimestampMonotonic");
  return !left.empty() && left.find_first_not_of("0123456789") == std::string::npos &&
         std::strtoull(left.c_str(), nullptr, 10) < since;
}

// systemctl start or restart of the unit; what runs afterwards decides.
bool startThroughUnit(const CommandLine& line, const Workplace& place, const InstanceInfo& info,
                      const std::string& verb, const std::string& unit) {
  Message problem;
  const unsigned long long since = monotonicMicroseconds();
  const int status = runSystemctl(line, {verb, unit}, &problem);
  if (problem) return fail(problem);
  const std::string command = "systemctl " + verb + " " + unit;
  if (now(place, info).pid && status == 0) {
    say(escapedMessage(verb == "start" ? "ERR_CTL_STARTED_UNIT" : "ERR_CTL_RESTARTED_UNIT", {info.entry.id, unit}));
    return true;
  }
  // Started too often in a row: systemd did not even try, and the log
  // holds nothing of it.
  if (status != 0 && startLimitHit(line, unit, since))
    return fail(escapedMessage("ERR_CTL_START_LIMIT", {info.entry.id, unit}));
  if (status == 0)
    complain(escapedMessage("ERR_CTL_NOT_STARTED_UNIT", {info.entry.id, command}));
  else
    complain(escapedMessage("ERR_CTL_SYSTEMCTL_FAILED", {info.entry.id, command, std::to_string(status)}));
  showErrorLog(place, info);
  return false;
}

bool stopThroughUnit(const CommandLine& line, const Workplace& place, const InstanceInfo& info, const std::string& unit) {
  Message problem;
  const int status = runSystemctl(line, {"stop", unit}, &problem);
  if (problem) return fail(problem);
  if (const pid_t pid = now(place, info).pid)
    return fail(escapedMessage("ERR_CTL_STILL_RUNNING_UNIT", {info.entry.id, unit, processText(pid)}));
  if (status != 0)
    return fail(escapedMessage("ERR_CTL_SYSTEMCTL_FAILED",
                                        {info.entry.id, "systemctl stop " + unit, std::to_string(status)}));
  say(escapedMessage("ERR_CTL_STOPPED_UNIT", {info.entry.id, unit}));
  return true;
}

// Root's operation of an instance that has its unit, systemd managing the
// machine. A server started with the scripts runs outside the unit, where
// systemctl stop would not reach it: it is stopped with its own script, and
// a restart starts it under the unit.
bool operateWithUnit(const CommandLine& line, const Workplace& place, const InstanceInfo& info, const std::string& unit) {
  const bool outside = info.pid && !runsUnderUnit(line, info.pid, unit);
  if (outside) say(escapedMessage("ERR_CTL_OUTSIDE_UNIT", {info.entry.id, processText(info.pid), unit}));
  if (line.command == "start") {
    if (!info.pid) return startThroughUnit(line, place, info, "start", unit);
    say(escapedMessage("ERR_CTL_ALREADY_RUNNING", {info.entry.id, std::to_string(info.pid)}));
    if (outside) say(escapedMessage("ERR_CTL_RESTART_UNDER_UNIT", {info.entry.id}));
    return true;
  }
  if (line.command == "stop") return outside ? stopWithScript(line, place, info) : stopThroughUnit(line, place, info, unit);
  if (!outside) return startThroughUnit(line, place, info, "restart", unit);
  return stopWithScript(line, place, info) && startThroughUnit(line, place, now(place, info), "start", unit);
}

// The owner's scripts started the server outside the unit the instance
// has: systemd does not supervise it, and the line says what would.
void sayUnsupervised(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  if (!systemdManages(line)) return;
  const std::string unit = instanceUnit(line, instanceDirOf(place, info));
  const pid_t pid = now(place, info).pid;
  if (!unit.empty() && pid && !runsUnderUnit(line, pid, unit))
    say(escapedMessage("ERR_CTL_NOT_SUPERVISED", {info.entry.id, unit}));
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
  const std::string instanceDir = instanceDirOf(place, info);
  if (info.entry.state == EntryState::Broken) return fail(escapedMessage("ERR_CTL_UNIT_BROKEN", {instanceDir}));
  if (!operable(info)) return fail(escapedMessage("ERR_CTL_UNIT_UNFINISHED", {instanceDir}));
  if (!mayOperate(info)) return false;
  if (std::string unit = operatingUnit(line, instanceDir); !unit.empty()) return operateWithUnit(line, place, info, unit);
  if (line.command == "stop") return stopWithScript(line, place, info);
  const bool done = line.command == "start" ? startWithScript(line, place, info) : restartWithScript(line, place, info);
  if (done && geteuid() != 0) sayUnsupervised(line, place, info);
  return done;
}

// Every complete instance of the server root, in identifier order, one
// line each; the ones that failed are named at the end.
int operateAll(const CommandLine& line, const Workplace& place) {
  std::vector<InstanceInfo> instances;
  if (listInstances(place.root.get(), &instances) != 0)
    return refuse(STATUS_FAILED, escapedMessage("ERR_FILE_OPEN_READ", {place.instancesRoot, std::strerror(errno)}));
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
  return refuse(STATUS_FAILED,
                escapedMessage("ERR_CTL_SOME_FAILED", {std::to_string(count), std::to_string(operated), failed}));
}

}  // namespace

int stopBeforeRemoval(const CommandLine& line, const Workplace& place, InstanceInfo* info) {
  const std::string& id = info->entry.id;
  if (info->server.state == ServerState::Unknown) {
    const std::string lock = instanceDirOf(place, *info) + "/" + PID_DIRECTORY + "/" + SERVER_LOCK_NAME;
    return refuse(STATUS_FAILED, escapedMessage("ERR_CTL_STATE_UNKNOWN", {id, lock, std::strerror(info->server.error)}));
  }
  if (!info->pid) {
    // A unit that waits to start its server again after a crash would start
    // it in the middle of the removal: its stop cancels that.
    if (geteuid() == 0 && info->entry.tree == info->entry.id)
      if (const std::string unit = operatingUnit(line, instanceDirOf(place, *info)); !unit.empty()) {
        Message ignored;
        runSystemctl(line, {"stop", unit}, &ignored);
      }
    return -1;
  }
  const std::string pid = std::to_string(info->pid);
  // Moved into its removal, it has no script left to stop it with.
  if (info->entry.tree != info->entry.id)
    return refuse(STATUS_RUNNING, escapedMessage("ERR_CTL_RUNNING_IN_REMOVAL", {id, processText(info->pid)}));
  if (!line.stop) return refuse(STATUS_RUNNING, escapedMessage("ERR_CTL_RUNNING", {id, pid}));
  const std::string unit = operatingUnit(line, instanceDirOf(place, *info));
  const bool underUnit = !unit.empty() && runsUnderUnit(line, info->pid, unit);
  if (!unit.empty() && !underUnit) say(escapedMessage("ERR_CTL_OUTSIDE_UNIT", {id, processText(info->pid), unit}));
  Message refusal;
  int status = 0;
  if (underUnit) {
    // The unit's stop keeps systemd's view of the service true.
    status = runSystemctl(line, {"stop", unit}, &refusal);
  } else {
    const int wait = line.timeoutGiven || line.kill ? stopWaitSeconds(line.timeout, line.kill) : STOP_WAIT_SECONDS;
    status = runStopScript(place.root.get(), place.instancesRoot, id, info->entry.owner, &refusal, wait,
                           stopArguments(line));
    if (!refusal && status == SCRIPT_REFUSED)
      refusal = escapedMessage("ERR_CTL_SCRIPT_REFUSED", {instanceDirOf(place, *info) + "/bin/stopserv", id});
  }
  if (refusal) return refuse(STATUS_RUNNING, refusal);
  // Gone meanwhile: the walk reports what became of it.
  if (!lookUpInstance(place.root.get(), id, info) || !info->pid) {
    if (underUnit) say(escapedMessage("ERR_CTL_STOPPED_UNIT", {id, unit}));
    return -1;
  }
  if (underUnit) return refuse(STATUS_RUNNING, escapedMessage("ERR_CTL_NOT_STOPPED_UNIT", {id, unit}));
  return refuse(STATUS_RUNNING, escapedMessage("ERR_CTL_NOT_STOPPED", {id, std::to_string(status)}));
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
