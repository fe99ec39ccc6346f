// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/script_control.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fsutil/files.h"
#include "instance/on_disk.h"
#include "instance/server.h"
#include "instance/server_process.h"
#include "instancectl/script_text.h"

extern char** environ;

namespace {

constexpr const char* START_RECORD_TEMPORARY = "startserv.args.new";
// What the server program is handed in its environment, besides the caller's.
constexpr const char* SERVER_VARIABLES[] = {"SERVER_ROOT", "JAVA_HOME", "INSTALL_CONFIG_ROOT", "LD_LIBRARY_PATH"};
// How long stopserv waits for a server to end after SIGKILL.
constexpr int KILL_SECONDS = 30;

// A program this one runs and waits for.
struct Child {
  std::vector<std::string> argv;  // argv[0]: its path
  std::vector<std::string> environment;
  int directory = -1;           // its working directory, when given
  int inherited = -1;           // a descriptor it keeps, when given
  bool noCapabilities = false;  // the ambient capabilities are not passed on
};

struct ChildOutcome {
  int status = -1;  // its exit status, 128 + signal when killed; -1 when it did not start
  int signal = 0;   // the signal that ended it
  int error = 0;    // why it did not start
};

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Between fork and exec only async-signal-safe calls; what failed goes
// back through `report`, which the exec closes.
[[noreturn]] void execChild(const Child& child, char* const* argv, char* const* environment, int report) {
  int error = 0;
  if (child.directory >= 0 && fchdir(child.directory) != 0) error = errno;
  if (error == 0 && child.inherited >= 0 && fcntl(child.inherited, F_SETFD, 0) != 0) error = errno;
  if (error == 0 && child.noCapabilities && prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) error = errno;
  if (error == 0) {
    execve(argv[0], argv, environment);
    error = errno;
  }
  if (write(report, &error, sizeof error) < 0) {
    // The parent sees status 127 all the same.
  }
  _exit(127);
}

ChildOutcome runChild(const Child& child) {
  ChildOutcome outcome;
  std::vector<std::string> argvText = child.argv, environmentText = child.environment;
  std::vector<char*> argv = pointersTo(argvText), environment = pointersTo(environmentText);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return outcome.error = errno, outcome;
  Descriptor reportRead(ends[0]), reportWrite(ends[1]);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return outcome.error = errno, outcome;
  if (pid == 0) execChild(child, argv.data(), environment.data(), reportWrite.get());
  reportWrite.reset();
  int error = 0;
  ssize_t count;
  while ((count = read(reportRead.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (count == static_cast<ssize_t>(sizeof error) && error != 0) return outcome.error = error, outcome;
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status), outcome.status = 128 + outcome.signal;
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  return outcome;
}

// This process's environment without the variables `names`.
std::vector<std::string> environmentWithout(const std::vector<std::string>& names) {
  std::vector<std::string> kept;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string text = *entry;
    bool dropped = false;
    for (const std::string& name : names) dropped = dropped || text.compare(0, name.size() + 1, name + "=") == 0;
    if (!dropped) kept.push_back(text);
  }
  return kept;
}

// The library path without empty entries, which would make the loader
// search the working directory.
std::string withoutEmptyEntries(const std::string& path) {
  std::string kept;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find(':', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) kept += (kept.empty() ? "" : ":") + path.substr(at, end - at);
    at = end + 1;
  }
  return kept;
}

// --- the control lock and the server's state ---------------------------------

// Opens the logs directory and takes the control lock: 0, an errno or
// LOCK_NOT_REGULAR.
int takeLocks(const ControlRun& run, Descriptor* logs, Descriptor* lock) {
  const int error = openLogs(run, logs);
  return error != 0 ? error : takeControlLock(logs->get(), lock);
}

// Refuses for a lock that no server of the instance holds, or of which
// nothing can be told: status 3.
int refuseForLock(const ControlRun& run, const ServerStatus& status, Say nothing) {
  const std::string lock = run.inLogs(SERVER_LOCK_NAME);
  if (status.state == ServerState::Foreign)
    complain(run.name(), Say::HeldByForeign,
             {lock, std::to_string(status.pid), processNameOf(status.pid), sayText(nothing)});
  else
    complain(run.name(), Say::CannotTell, {run.settings.instanceDir, lock, std::strerror(status.error), sayText(nothing)});
  return REFUSED_STATUS;
}

int lockRefusal(const ControlRun& run, int error, Say nothing) {
  const std::string why = error == LOCK_NOT_REGULAR ? "it is not a regular file" : std::strerror(error);
  complain(run.name(), Say::ControlLockFailed, {run.inLogs(CONTROL_LOCK_NAME), why, sayText(nothing)});
  return REFUSED_STATUS;
}

// --- the record of a start's arguments ---------------------------------------

enum class RecordRead { Found, Missing, NotPlain, TooLarge, Unreadable };

// The record's text, read without following a link or waiting on a FIFO.
RecordRead readRecord(int logs, std::string* text, int* error) {
  Descriptor file(openat(logs, START_RECORD_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  *error = errno;
  if (!file.valid()) return *error == ENOENT ? RecordRead::Missing : *error == ELOOP ? RecordRead::NotPlain : RecordRead::Unreadable;
  struct stat status;
  if (fstat(file.get(), &status) != 0) return *error = errno, RecordRead::Unreadable;
  if (!S_ISREG(status.st_mode)) return RecordRead::NotPlain;
  if (status.st_size > static_cast<off_t>(START_RECORD_LIMIT)) return RecordRead::TooLarge;
  text->assign(START_RECORD_LIMIT + 1, '\0');
  size_t done = 0;
  for (ssize_t count; done < text->size(); done += static_cast<size_t>(count)) {
    count = read(file.get(), &(*text)[done], text->size() - done);
    if (count < 0 && errno == EINTR) count = 0;
    else if (count < 0) return *error = errno, RecordRead::Unreadable;
    else if (count == 0) break;
  }
  text->resize(done);
  return done > START_RECORD_LIMIT ? RecordRead::TooLarge : RecordRead::Found;
}

// The record as it was before a start, to put back when the start fails.
struct RecordBefore {
  bool known = false;    // it was missing, or a record that could be read
  bool existed = false;
  std::string text;
};

// Keeps `words` as the record before the server starts, so that the
// record says how a server that runs was started. A record that cannot
// be written is removed (restartserv then asks for the arguments); false,
// said, when even that fails: the start must not go on.
bool keepStartRecord(const ControlRun& run, int logs, const std::vector<std::string>& words, RecordBefore* before) {
  int error = 0;
  const RecordRead read = readRecord(logs, &before->text, &error);
  before->known = read == RecordRead::Found || read == RecordRead::Missing;
  before->existed = read == RecordRead::Found;
  error = replaceFileAt(logs, START_RECORD_TEMPORARY, START_RECORD_NAME, startRecordText(words), 0644);
  if (error == 0) return true;
  const std::string record = run.inLogs(START_RECORD_NAME);
  if (unlinkat(logs, START_RECORD_NAME, 0) != 0 && errno != ENOENT) {
    complain(run.name(), Say::RecordStuck, {record, std::strerror(errno)});
    return false;
  }
  complain(run.name(), Say::RecordNotKept, {record, std::strerror(error)});
  before->known = false;
  return true;
}

// After a start that did not start a server: the record as it was.
void putRecordBack(int logs, const RecordBefore& before) {
  if (before.existed)
    replaceFileAt(logs, START_RECORD_TEMPORARY, START_RECORD_NAME, before.text, 0644);
  else if (before.known)
    unlinkat(logs, START_RECORD_NAME, 0);
}

// The words of the last start, for restartserv: false, said, when the
// record is refused or missing while a server runs.
bool lastStartWords(const ControlRun& run, int logs, std::vector<std::string>* words) {
  std::string text;
  int error = 0;
  const std::string record = run.inLogs(START_RECORD_NAME);
  const RecordRead read = readRecord(logs, &text, &error);
  if (read == RecordRead::Found && parseStartRecord(text, words)) return true;
  if (read == RecordRead::Missing) {
    const ServerStatus status = probeServerInLogs(logs, run.owner);
    if (!status.running()) return true;
    complain(run.name(), Say::RunsWithoutRecord, {run.settings.instanceDir, std::to_string(status.pid), record});
    return false;
  }
  std::string problem = read == RecordRead::NotPlain   ? sayText(Say::RecordNotPlain, {record})
                        : read == RecordRead::TooLarge ? sayText(Say::RecordTooLarge, {record, std::to_string(START_RECORD_LIMIT)})
                        : read == RecordRead::Found    ? sayText(Say::RecordNotARecord, {record})
                                                       : sayText(Say::CannotReadRecord, {record, std::strerror(error)});
  complain(run.name(), Say::RecordRefused, {problem});
  return false;
}

// --- starting ----------------------------------------------------------------

std::string serverProgram(const ControlRun& run) {
  const ScriptSettings& s = run.settings;
  return s.serverRoot + "/bin/" + s.product + "/bin/" + s.serverBin;
}

// The server program's run: its arguments, the settings in its
// environment, the instance directory its working directory.
Child serverLaunch(const ControlRun& run, const std::string& program) {
  const ScriptSettings& s = run.settings;
  Child child;
  child.argv = {program, "-r", s.serverRoot, "-d", s.instanceDir + "/" + RECORD_DIRECTORY};
  if (!run.options.address.empty()) child.argv.insert(child.argv.end(), {"-a", run.options.address});
  child.argv.insert(child.argv.end(), run.options.serverWords.begin(), run.options.serverWords.end());
  std::vector<std::string> names(std::begin(SERVER_VARIABLES), std::end(SERVER_VARIABLES));
  names.push_back(CONTROL_LOCK_VARIABLE);
  child.environment = environmentWithout(names);
  const std::string values[] = {s.serverRoot, s.javaHome, s.installConfigRoot, withoutEmptyEntries(s.libraryPath)};
  for (size_t i = 0; i < std::size(SERVER_VARIABLES); ++i)
    child.environment.push_back(std::string(SERVER_VARIABLES[i]) + "=" + values[i]);
  child.directory = run.instance.get();
  return child;
}

// startserv's status for the server program's outcome: 0 only when a
// server of the instance now holds the lock; 2 when another start won.
int judgeStart(const ControlRun& run, int logs, const std::string& program, const ChildOutcome& outcome) {
  if (outcome.error != 0) {
    complain(run.name(), Say::CannotRunProgram, {program, std::strerror(outcome.error)});
    return 1;
  }
  if (outcome.signal != 0) {
    complain(run.name(), Say::ProgramSignalled, {program, std::to_string(outcome.signal)});
    return 1;
  }
  if (outcome.status == REFUSED_STATUS) return 2;
  if (outcome.status != 0) return 1;
  if (probeServerInLogs(logs, run.owner).running()) return 0;
  complain(run.name(), Say::NoServerAfterStart, {program, run.inLogs(SERVER_LOCK_NAME)});
  return 1;
}

// --- stopping -----------------------------------------------------------------

// SIGTERM to the pinned server, a wait for it to end, and SIGKILL with
// --kill: 0 once it has ended, 1 (said) while it still runs.
int endServer(const ControlRun& run, const PinnedServer& server, const std::string& label) {
  const std::string pid = std::to_string(server.status.pid);
  if (int error = signalPinned(server, SIGTERM); error != 0 && error != ESRCH) {
    complain(run.name(), Say::CannotSignal, {"SIGTERM", pid, processNameOf(server.status.pid), std::strerror(error)});
    return 1;
  }
  if (waitForEnd(server, run.options.timeout)) return 0;
  const std::string seconds = std::to_string(run.options.timeout), name = processNameOf(server.status.pid);
  if (!run.options.kill) {
    complain(run.name(), Say::StillRunningAfterTerm, {label, seconds, pid, name});
    return 1;
  }
  complain(run.name(), Say::SendingKill, {label, seconds, pid, name});
  signalPinned(server, SIGKILL);
  // SIGKILL ends even a stopped process; one in an uninterruptible wait
  // ends when the wait does.
  if (waitForEnd(server, KILL_SECONDS)) return 0;
  complain(run.name(), Say::StillRunningAfterKill, {label, pid, processNameOf(server.status.pid)});
  return 1;
}

// --- restarting ----------------------------------------------------------------

// One of the instance's own scripts, run with the control lock handed down.
ChildOutcome runScript(const ControlRun& run, const char* script, const std::vector<std::string>& words, int lock) {
  Child child;
  child.argv = {run.settings.instanceDir + "/bin/" + script};
  child.argv.insert(child.argv.end(), words.begin(), words.end());
  child.environment = environmentWithout({CONTROL_LOCK_VARIABLE});
  child.environment.push_back(std::string(CONTROL_LOCK_VARIABLE) + "=" + std::to_string(lock));
  child.inherited = lock;
  // Only the start binds ports.
  child.noCapabilities = std::strcmp(script, "startserv") != 0;
  ChildOutcome outcome = runChild(child);
  if (outcome.error != 0) complain(run.name(), Say::CannotRunScript, {child.argv[0], std::strerror(outcome.error)});
  return outcome;
}

}  // namespace

int takeControlLock(int logs, Descriptor* held) {
  const char* handed = std::getenv(CONTROL_LOCK_VARIABLE);
  long number = -1;
  if (handed && *handed >= '0' && *handed <= '9' && std::strlen(handed) < 10) number = std::strtol(handed, nullptr, 10);
  unsetenv(CONTROL_LOCK_VARIABLE);
  struct stat file, lock;
  const int fd = static_cast<int>(number);
  if (fd > STDERR_FILENO && fstat(fd, &file) == 0 && S_ISREG(file.st_mode) &&
      fstatat(logs, CONTROL_LOCK_NAME, &lock, AT_SYMLINK_NOFOLLOW) == 0 && file.st_dev == lock.st_dev &&
      file.st_ino == lock.st_ino) {
    held->reset(fd);
    // Not passed on to the server.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  } else {
    held->reset(openat(logs, CONTROL_LOCK_NAME, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!held->valid()) return errno;
    if (fstat(held->get(), &file) != 0) return errno;
    if (!S_ISREG(file.st_mode)) return LOCK_NOT_REGULAR;
  }
  while (flock(held->get(), LOCK_EX) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

int startServer(ControlRun& run) {
  Descriptor logs, lock;
  if (int error = takeLocks(run, &logs, &lock); error != 0) return lockRefusal(run, error, Say::NothingDone);
  const ServerStatus status = probeServerInLogs(logs.get(), run.owner);
  if (status.running()) {
    complain(run.name(), Say::AlreadyRunning, {run.settings.instanceDir, std::to_string(status.pid)});
    return 2;
  }
  if (status.state != ServerState::Stopped) return refuseForLock(run, status, Say::NothingDone);
  const std::string program = serverProgram(run);
  if (faccessat(AT_FDCWD, program.c_str(), X_OK, AT_EACCESS) != 0) {
    complain(run.name(), Say::ProgramMissing, {program});
    return 1;
  }
  RecordBefore before;
  if (!keepStartRecord(run, logs.get(), startWords(run.options), &before)) return 1;
  const int started = judgeStart(run, logs.get(), program, runChild(serverLaunch(run, program)));
  // A server program killed once its server had taken the lock leaves that
  // server running, started with the words just kept: they stay, or a
  // restart would bring it back elsewhere. Only a program that found
  // another server running (2) had nothing to do with the one that runs.
  if (started == 2 || (started != 0 && !probeServerInLogs(logs.get(), run.owner).running()))
    putRecordBack(logs.get(), before);
  return started;
}

int stopServer(ControlRun& run) {
  const ScriptSettings& s = run.settings;
  const std::string label = s.product + " server " + s.instanceName + " (" + s.serverRoot + ")";
  Descriptor logs, lock;
  if (int error = takeLocks(run, &logs, &lock); error == ENOENT && !logs.valid()) {
    // No logs directory, no lock: no server can run.
    complain(run.name(), Say::NotRunning, {label});
    return 2;
  } else if (error != 0) {
    return lockRefusal(run, error, Say::NothingSent);
  }
  const PinnedServer server = pinServer(logs.get(), run.owner);
  if (server.status.state == ServerState::Stopped) {
    // What a server that did not end by itself left.
    unlinkat(logs.get(), PID_NAME, 0);
    complain(run.name(), Say::NotRunning, {label});
    return 2;
  }
  if (!server.status.running()) return refuseForLock(run, server.status, Say::NothingSent);
  const int ended = endServer(run, server, label);
  if (ended != 0) return ended;
  unlinkat(logs.get(), PID_NAME, 0);
  report(Say::HasStopped, {label});
  return 0;
}

int restartServer(ControlRun& run) {
  Descriptor logs, lock;
  if (int error = takeLocks(run, &logs, &lock); error != 0) return lockRefusal(run, error, Say::NothingDone);
  // The start's words, known before anything is stopped.
  std::vector<std::string> words = startWords(run.options);
  if (!run.options.startGiven && !lastStartWords(run, logs.get(), &words)) return REFUSED_STATUS;
  std::vector<std::string> stopWords = {"--timeout", std::to_string(run.options.timeout)};
  if (run.options.kill) stopWords.push_back("--kill");
  const ChildOutcome stopped = runScript(run, "stopserv", stopWords, lock.get());
  if (stopped.error != 0 || stopped.status == REFUSED_STATUS) return REFUSED_STATUS;
  if (stopped.status != 0 && stopped.status != 2) {
    complain(run.name(), Say::NotStopped);
    return 1;
  }
  const ChildOutcome started = runScript(run, "startserv", words, lock.get());
  if (started.status == 0 || started.status == 2) return started.status;
  // A start refused after nothing was stopped did nothing at all.
  return started.status == REFUSED_STATUS && stopped.status == 2 ? REFUSED_STATUS : 1;
}
