// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/asowner.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "fsutil/descriptor.h"
#include "messages/escape.h"

namespace {

constexpr const char* OWNER_PATH = "PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin";
constexpr const char* PASSED_ON[] = {"LANG", "LC_ALL", "TZ"};
// SIGCHLD ends the wait; the others are passed on to the owner's side.
constexpr int HANDLED[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};
// After the program ended, what its background processes left in a pipe
// is passed on up to this much; they may write on for ever.
constexpr size_t DRAIN_LIMIT = 1024 * 1024;
constexpr size_t CHUNK = 4096;

// The write end of the pipe the signal handlers write to while runAsOwner runs.
int wakeWriteEnd = -1;

void noteSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  if (write(wakeWriteEnd, &byte, 1) < 0) {
    // A full pipe already holds enough to wake the loop.
  }
  errno = saved;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Everything the child needs after fork, made before it: between fork and
// exec the child calls only async-signal-safe functions. Not copyable: the
// pointers point into its own texts.
struct Launch {
  explicit Launch(const OwnerCommand& command)
      : argvText(command.argv),
        environmentText(ownerEnvironment(command.keepLibraryPath)),
        argv(pointersTo(argvText)),
        environment(pointersTo(environmentText)),
        owner(command.owner),
        programFd(command.programFd),
        changeUser(geteuid() == 0 && command.owner.uid != 0),
        bindLowPorts(command.bindLowPorts) {}
  Launch(const Launch&) = delete;
  Launch& operator=(const Launch&) = delete;

  std::vector<std::string> argvText;
  std::vector<std::string> environmentText;
  std::vector<char*> argv;
  std::vector<char*> environment;
  OwnerIdentity owner;
  int programFd;
  bool changeUser;
  bool bindLowPorts;
};

// Only the capability to bind ports below 1024, or none, in every set; the
// ambient set carries it over the exec of a program without file
// capabilities.
bool keepOnlyLowPorts(bool bindLowPorts) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[2] = {};
  if (bindLowPorts) sets[0].effective = sets[0].permitted = sets[0].inheritable = 1u << CAP_NET_BIND_SERVICE;
  if (syscall(SYS_capset, &header, sets) != 0) return false;
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) return false;
  return !bindLowPorts || prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_BIND_SERVICE, 0, 0) == 0;
}

bool becomeOwner(const Launch& launch) {
  const OwnerIdentity& owner = launch.owner;
  if (setgroups(owner.groups.size(), owner.groups.data()) != 0) return false;
  if (setresgid(owner.gid, owner.gid, owner.gid) != 0) return false;
  if (launch.bindLowPorts && prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return false;
  if (setresuid(owner.uid, owner.uid, owner.uid) != 0) return false;
  return keepOnlyLowPorts(launch.bindLowPorts);
}

// The child's standard descriptors: /dev/null and the pipes; every other
// descriptor closes at the exec. The pipes are first moved above the
// standard descriptors: a caller that had one of them closed may have
// been given it for a pipe.
bool takeDescriptors(int output, int errors) {
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int high[] = {fcntl(null, F_DUPFD_CLOEXEC, 3), fcntl(output, F_DUPFD_CLOEXEC, 3),
                      fcntl(errors, F_DUPFD_CLOEXEC, 3)};
  if (null < 0 || high[0] < 0 || high[1] < 0 || high[2] < 0 || dup2(high[0], STDIN_FILENO) < 0 ||
      dup2(high[1], STDOUT_FILENO) < 0 || dup2(high[2], STDERR_FILENO) < 0)
    return false;
  return syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0;
}

// What a caller ignores or handles is no concern of the program.
void defaultSignals() {
  for (int number = 1; number < NSIG; ++number)
    if (number != SIGKILL && number != SIGSTOP) signal(number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void runChild(const Launch& launch, int output, int errors, int report) {
  int error = 0;
  if (setsid() < 0 || !takeDescriptors(output, errors)) error = errno;
  defaultSignals();
  if (error == 0 && launch.changeUser && !becomeOwner(launch)) error = errno;
  if (error == 0) {
    if (launch.programFd >= 0)
      syscall(SYS_execveat, launch.programFd, "", launch.argv.data(), launch.environment.data(), AT_EMPTY_PATH);
    else
      execve(launch.argv[0], launch.argv.data(), launch.environment.data());
    error = errno;
  }
  if (write(report, &error, sizeof error) < 0) {
    // The parent then sees the child end with status 127 all the same.
  }
  _exit(127);
}

bool sameFile(int a, int b) {
  struct stat first, second;
  return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// Signal handling for the time of one run: the forwarded signals and
// SIGCHLD wake the loop through a pipe and interrupt a write that a
// stopped terminal holds up; SIGPIPE is ignored, so that a reader that
// went away shows as EPIPE. The caller's handlers and mask come back when
// it goes.
class SignalScope {
 public:
  SignalScope() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    wakeRead_.reset(ends[0]);
    wakeWrite_.reset(ends[1]);
    wakeWriteEnd = ends[1];
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NOCLDSTOP;  // no SA_RESTART: a blocked write returns EINTR
    for (size_t i = 0; i < std::size(HANDLED); ++i) sigaction(HANDLED[i], &action, &saved_[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &savedPipe_);
    sigset_t handled;
    sigemptyset(&handled);
    for (int number : HANDLED) sigaddset(&handled, number);
    sigprocmask(SIG_UNBLOCK, &handled, &savedMask_);
    active_ = true;
  }
  ~SignalScope() {
    if (!active_) return;
    sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
    sigaction(SIGPIPE, &savedPipe_, nullptr);
    for (size_t i = 0; i < std::size(HANDLED); ++i) sigaction(HANDLED[i], &saved_[i], nullptr);
    wakeWriteEnd = -1;
  }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

  bool active() const { return active_; }
  int wakeFd() const { return wakeRead_.get(); }

 private:
  Descriptor wakeRead_, wakeWrite_;
  struct sigaction saved_[std::size(HANDLED)] {};
  struct sigaction savedPipe_ {};
  sigset_t savedMask_{};
  bool active_ = false;
};

// One of the owner's output streams on its way to the caller's descriptor.
struct Stream {
  Descriptor from;
  int to = -1;
  std::string pending;  // the start of a UTF-8 sequence that waits for its end
  bool targetGone = false;
};

struct Run {
  pid_t child = -1;
  bool ended = false;
  int waitStatus = 0;
  int forwarded = 0;
  int wakeFd = -1;
  std::vector<Stream> streams;
};

void reapIfEnded(Run& run) {
  if (run.ended) return;
  pid_t done;
  do {
    done = waitpid(run.child, &run.waitStatus, WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == run.child) run.ended = true;
}

// Forwards what the handlers noted and collects the child when it ended.
void serviceSignals(Run& run) {
  unsigned char noted[64];
  ssize_t count;
  while ((count = read(run.wakeFd, noted, sizeof noted)) > 0) {
    for (ssize_t i = 0; i < count; ++i) {
      if (noted[i] == SIGCHLD || run.ended) continue;
      kill(-run.child, noted[i]);
      run.forwarded = noted[i];
    }
  }
  reapIfEnded(run);
}

void writeOut(Run& run, Stream& stream, const std::string& text) {
  size_t done = 0;
  while (!stream.targetGone && done < text.size()) {
    ssize_t written = write(stream.to, text.data() + done, text.size() - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      serviceSignals(run);
    } else {
      stream.targetGone = true;  // the reader went away: the rest is dropped, the program runs on
    }
  }
}

void passOn(Run& run, Stream& stream, const char* data, size_t size) {
  stream.pending.append(data, size);
  const size_t ready = completeUtf8Prefix(stream.pending);
  writeOut(run, stream, escapeForTerminal(std::string_view(stream.pending).substr(0, ready), LineBreaks::Keep));
  stream.pending.erase(0, ready);
}

void finishStream(Run& run, Stream& stream) {
  if (!stream.pending.empty()) writeOut(run, stream, escapeForTerminal(stream.pending, LineBreaks::Keep));
  stream.pending.clear();
  stream.from.reset();
}

// Reads once from a stream that poll found ready; at its end the stream closes.
void readStream(Run& run, Stream& stream) {
  char buffer[CHUNK];
  ssize_t count = read(stream.from.get(), buffer, sizeof buffer);
  if (count > 0) return passOn(run, stream, buffer, static_cast<size_t>(count));
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
  finishStream(run, stream);
}

// What is in the pipe once the program ended; its background processes
// are not waited for.
void drain(Run& run, Stream& stream) {
  if (!stream.from.valid()) return;
  fcntl(stream.from.get(), F_SETFL, O_NONBLOCK);
  char buffer[CHUNK];
  for (size_t total = 0; total < DRAIN_LIMIT;) {
    ssize_t count = read(stream.from.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    passOn(run, stream, buffer, static_cast<size_t>(count));
    total += static_cast<size_t>(count);
  }
  finishStream(run, stream);
}

long long nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Relays until the child ends (true) or the deadline passes (false).
bool relayUntilEnd(Run& run, long long deadline) {
  while (!run.ended) {
    std::vector<pollfd> watched = {{run.wakeFd, POLLIN, 0}};
    std::vector<Stream*> owners = {nullptr};
    for (Stream& stream : run.streams) {
      if (!stream.from.valid()) continue;
      watched.push_back({stream.from.get(), POLLIN, 0});
      owners.push_back(&stream);
    }
    int timeout = -1;
    if (deadline > 0) {
      long long left = deadline - nowMilliseconds();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    int ready = poll(watched.data(), watched.size(), timeout);
    if (ready < 0 && errno != EINTR) return false;
    for (size_t i = 1; ready > 0 && i < watched.size(); ++i)
      if (watched[i].revents != 0) readStream(run, *owners[i]);
    serviceSignals(run);
  }
  return true;
}

Stream streamTo(int readEnd, int target) {
  Stream stream;
  stream.from.reset(readEnd);
  stream.to = target;
  return stream;
}

// The pipes, their read ends in run.streams: one for both streams when
// they go to one file.
bool makeStreams(const OwnerCommand& command, Run& run, Descriptor* outputEnd, Descriptor* errorsEnd) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  run.streams.push_back(streamTo(ends[0], command.outputTo));
  outputEnd->reset(ends[1]);
  if (sameFile(command.outputTo, command.errorsTo)) return true;
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  run.streams.push_back(streamTo(ends[0], command.errorsTo));
  errorsEnd->reset(ends[1]);
  return true;
}

// The errno the child reported before its exec, or 0 once the exec closed
// the report pipe.
int childReport(int report) {
  int error = 0;
  ssize_t count;
  do {
    count = read(report, &error, sizeof error);
  } while (count < 0 && errno == EINTR);
  return count == static_cast<ssize_t>(sizeof error) ? error : 0;
}

OwnerOutcome outcomeOf(const Run& run) {
  OwnerOutcome outcome;
  if (WIFEXITED(run.waitStatus)) {
    outcome.status = WEXITSTATUS(run.waitStatus);
  } else if (WIFSIGNALED(run.waitStatus)) {
    outcome.signal = WTERMSIG(run.waitStatus);
    outcome.status = 128 + outcome.signal;
  }
  return outcome;
}

OwnerOutcome notStarted(int error) {
  OwnerOutcome outcome;
  outcome.error = error;
  return outcome;
}

void killGroup(Run& run) {
  kill(-run.child, SIGKILL);
  kill(run.child, SIGKILL);
  while (waitpid(run.child, &run.waitStatus, 0) < 0 && errno == EINTR) {
  }
  run.ended = true;
}

}  // namespace

bool ownerIdentity(uid_t uid, OwnerIdentity* identity) {
  *identity = OwnerIdentity{uid, static_cast<gid_t>(uid), {}};
  const passwd* user = getpwuid(uid);
  if (!user) return false;
  identity->gid = user->pw_gid;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) groups.resize(static_cast<size_t>(count));
  groups.resize(static_cast<size_t>(count));
  identity->groups = groups;
  return true;
}

std::vector<std::string> ownerEnvironment(bool keepLibraryPath) {
  std::vector<std::string> environment = {OWNER_PATH};
  for (const char* name : PASSED_ON)
    if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
  if (keepLibraryPath)
    if (const char* value = std::getenv("LD_LIBRARY_PATH")) environment.push_back(std::string("LD_LIBRARY_PATH=") + value);
  return environment;
}

size_t completeUtf8Prefix(std::string_view text) {
  const size_t size = text.size();
  for (size_t back = 1; back <= 3 && back <= size; ++back) {
    const unsigned char byte = static_cast<unsigned char>(text[size - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    // Bytes that never start a sequence (0xC0, 0xC1, 0xF5 and above) are shown at once.
    size_t length = byte >= 0xF5 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 1;
    return length > back ? size - back : size;
  }
  return size;
}

int exitLike(const OwnerOutcome& outcome) {
  if (outcome.signal == SIGINT || outcome.signal == SIGTERM || outcome.signal == SIGHUP) {
    signal(outcome.signal, SIG_DFL);
    raise(outcome.signal);
  }
  return outcome.status;
}

OwnerOutcome runAsOwner(const OwnerCommand& command) {
  if (command.argv.empty() || command.argv[0].empty() || (command.programFd < 0 && command.argv[0][0] != '/'))
    return notStarted(EINVAL);
  if (geteuid() != 0 && command.owner.uid != geteuid()) return notStarted(EPERM);
  std::fflush(stdout);
  std::fflush(stderr);
  const Launch launch(command);
  SignalScope signals;
  if (!signals.active()) return notStarted(errno);
  Run run;
  run.wakeFd = signals.wakeFd();
  Descriptor outputEnd, errorsEnd, reportRead, reportWrite;
  int report[2];
  if (!makeStreams(command, run, &outputEnd, &errorsEnd) || pipe2(report, O_CLOEXEC) != 0) return notStarted(errno);
  reportRead.reset(report[0]);
  reportWrite.reset(report[1]);
  run.child = fork();
  if (run.child < 0) return notStarted(errno);
  if (run.child == 0)
    runChild(launch, outputEnd.get(), errorsEnd.valid() ? errorsEnd.get() : outputEnd.get(), reportWrite.get());
  outputEnd.reset();
  errorsEnd.reset();
  reportWrite.reset();
  if (int error = childReport(reportRead.get())) {
    while (waitpid(run.child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return notStarted(error);
  }
  const long long deadline = command.waitSeconds > 0 ? nowMilliseconds() + command.waitSeconds * 1000LL : 0;
  const bool ended = relayUntilEnd(run, deadline);
  if (!ended) killGroup(run);
  for (Stream& stream : run.streams) drain(run, stream);
  OwnerOutcome outcome = ended ? outcomeOf(run) : OwnerOutcome();
  outcome.timedOut = !ended;
  outcome.forwarded = run.forwarded;
  return outcome;
}
