// SPDX-License-Identifier: GPL-3.0-or-later
// kill-at: runs a command under ptrace, with every process it starts, and
// either writes down the calls of CALLS that each process makes, or kills
// one of the processes with SIGKILL as it enters one of them (before the
// call runs).
//
//   kill-at --log FILE -- COMMAND [ARGUMENT...]
//   kill-at --kill PROCESS:NAME:N --report FILE -- COMMAND [ARGUMENT...]
//
// strace's fault injection (-e inject=NAME:signal=KILL:when=N) counts the
// calls of every traced process apart, and with -f kills each traced
// process at its own Nth call: it cannot aim at one process of a tree, such
// as the server program that a control script's program starts. Here each
// process is named by where it stands in the tree ("0" the command, "0.2"
// the third process the command started, and so on), its calls are counted
// by name from its start and across exec, as strace counts them, and only
// PROCESS is killed, at its Nth call of NAME. A counting run and a killed
// run name the same processes alike as long as each process starts its
// children in the same order.
//
// Log lines: PROCESS, its effective user id, its command name, NAME, N and
// the call as NAME(ARGUMENTS), separated by tabs, descriptors shown as
// N</path> and strings quoted. The report: "killed PROCESS PID COMMAND CALL"
// or "not reached".
//
// Once the kill is made, or the command's own process has ended, every
// process still traced is let go: interrupted and detached, a signal it
// stopped for delivered, so that the rest of the run goes on as it would
// untraced (a server it started keeps running). The command is seized, not
// traced with PTRACE_TRACEME: the processes it starts are then traced from
// their start without the SIGSTOP that a process let go before it took it
// would stop at for good. Exit status: the command's, 128 + the signal that
// ended it; 125 when it could not be traced.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

constexpr int CANNOT_TRACE = 125;
constexpr size_t STRING_LIMIT = 1024;

// A traced call, its arguments as they are shown: d a descriptor (or
// AT_FDCWD), p a path, o open flags, i a number.
struct Call {
  const char* name;
  long number;
  const char* arguments;
};

// The calls after which something on disk, in the processes or in the
// network can be different.
const Call CALLS[] = {
#ifdef SYS_open
    {"open", SYS_open, "po"},
#endif
#ifdef SYS_creat
    {"creat", SYS_creat, "pi"},
#endif
#ifdef SYS_mkdir
    {"mkdir", SYS_mkdir, "pi"},
#endif
#ifdef SYS_rename
    {"rename", SYS_rename, "pp"},
#endif
#ifdef SYS_renameat
    {"renameat", SYS_renameat, "dpdp"},
#endif
#ifdef SYS_link
    {"link", SYS_link, "pp"},
#endif
#ifdef SYS_symlink
    {"symlink", SYS_symlink, "pp"},
#endif
#ifdef SYS_unlink
    {"unlink", SYS_unlink, "p"},
#endif
#ifdef SYS_rmdir
    {"rmdir", SYS_rmdir, "p"},
#endif
#ifdef SYS_chmod
    {"chmod", SYS_chmod, "pi"},
#endif
#ifdef SYS_chown
    {"chown", SYS_chown, "pii"},
#endif
#ifdef SYS_lchown
    {"lchown", SYS_lchown, "pii"},
#endif
#ifdef SYS_fork
    {"fork", SYS_fork, ""},
#endif
#ifdef SYS_vfork
    {"vfork", SYS_vfork, ""},
#endif
    {"openat", SYS_openat, "dpo"},
    {"openat2", SYS_openat2, "dp"},
    {"write", SYS_write, "d"},
    {"pwrite64", SYS_pwrite64, "d"},
    {"writev", SYS_writev, "d"},
    {"mkdirat", SYS_mkdirat, "dpi"},
    {"renameat2", SYS_renameat2, "dpdpi"},
    {"linkat", SYS_linkat, "dpdpi"},
    {"symlinkat", SYS_symlinkat, "pdp"},
    {"unlinkat", SYS_unlinkat, "dpi"},
    {"fchmod", SYS_fchmod, "di"},
    {"fchmodat", SYS_fchmodat, "dpi"},
    {"fchown", SYS_fchown, "dii"},
    {"fchownat", SYS_fchownat, "dpiii"},
    {"fsync", SYS_fsync, "d"},
    {"fdatasync", SYS_fdatasync, "d"},
    {"syncfs", SYS_syncfs, "d"},
    {"ftruncate", SYS_ftruncate, "di"},
    {"flock", SYS_flock, "di"},
    {"clone", SYS_clone, ""},
    {"clone3", SYS_clone3, ""},
    {"wait4", SYS_wait4, "i"},
    {"exit_group", SYS_exit_group, "i"},
    {"execve", SYS_execve, "p"},
    {"execveat", SYS_execveat, "dp"},
    {"kill", SYS_kill, "ii"},
    {"tgkill", SYS_tgkill, "iii"},
    {"pidfd_send_signal", SYS_pidfd_send_signal, "di"},
    {"bind", SYS_bind, "d"},
    {"listen", SYS_listen, "di"},
    {"setsid", SYS_setsid, ""},
};

const Call* callNamed(const std::string& name) {
  for (const Call& call : CALLS)
    if (name == call.name) return &call;
  return nullptr;
}

const Call* callNumbered(long number) {
  for (const Call& call : CALLS)
    if (call.number == number) return &call;
  return nullptr;
}

struct Process {
  std::string id;          // "0", "0.2", ...; empty until its parent's fork is reported
  int children = 0;        // how many it has started
  bool held = false;       // stopped, waiting for its name before it runs on
  std::map<long, long> calls;  // entries so far, by call number
};

// What to kill, or nothing (counting).
struct Target {
  std::string id;
  const Call* call = nullptr;
  long n = 0;
};

struct Tracer {
  Target target;
  std::ofstream log;  // open when counting
  std::string reportPath;
  bool killed = false;
  bool lettingGo = false;  // no longer followed: each tracee is let go as it stops
  std::map<pid_t, Process> processes;
};

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string linkText(const std::string& path) {
  char target[4096];
  const ssize_t length = readlink(path.c_str(), target, sizeof target);
  return length < 0 ? "?" : std::string(target, static_cast<size_t>(length));
}

// Quoted, with what is not printable as \xNN.
std::string quoted(const std::string& text) {
  std::string shown = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      shown += escape;
    }
  }
  return shown + "\"";
}

// The NUL-terminated string at `address` in the tracee.
std::string tracedString(pid_t pid, unsigned long address) {
  std::string text;
  while (text.size() < STRING_LIMIT) {
    errno = 0;
    const long word = ptrace(PTRACE_PEEKDATA, pid, address + text.size(), nullptr);
    if (errno != 0) break;
    const char* bytes = reinterpret_cast<const char*>(&word);
    for (size_t i = 0; i < sizeof word; ++i) {
      if (bytes[i] == '\0') return text;
      text += bytes[i];
    }
  }
  return text;
}

std::string descriptorText(pid_t pid, long fd) {
  const std::string process = "/proc/" + std::to_string(pid);
  if (static_cast<int>(fd) == AT_FDCWD) return "AT_FDCWD<" + linkText(process + "/cwd") + ">";
  return std::to_string(fd) + "<" + linkText(process + "/fd/" + std::to_string(fd)) + ">";
}

std::string openFlagsText(unsigned long flags) {
  static const struct {
    unsigned long bit;
    const char* name;
  } NAMES[] = {{O_CREAT, "O_CREAT"},       {O_EXCL, "O_EXCL"},         {O_TRUNC, "O_TRUNC"},
               {O_APPEND, "O_APPEND"},     {O_NONBLOCK, "O_NONBLOCK"}, {O_TMPFILE, "O_TMPFILE"},
               {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"}, {O_CLOEXEC, "O_CLOEXEC"},
               {O_PATH, "O_PATH"}};
  const unsigned long access = flags & O_ACCMODE;
  std::string text = access == O_WRONLY ? "O_WRONLY" : access == O_RDWR ? "O_RDWR" : "O_RDONLY";
  unsigned long rest = flags & ~static_cast<unsigned long>(O_ACCMODE);
  for (const auto& name : NAMES) {
    if ((rest & name.bit) != name.bit) continue;
    text += std::string("|") + name.name;
    rest &= ~name.bit;
  }
  if (rest != 0) text += "|" + std::to_string(rest);
  return text;
}

std::string callText(pid_t pid, const Call& call, const uint64_t* args) {
  std::string text = std::string(call.name) + "(";
  for (size_t i = 0; call.arguments[i] != '\0'; ++i) {
    if (i > 0) text += ", ";
    const uint64_t value = args[i];
    switch (call.arguments[i]) {
      case 'd': text += descriptorText(pid, static_cast<long>(value)); break;
      case 'p': text += quoted(tracedString(pid, static_cast<unsigned long>(value))); break;
      case 'o': text += openFlagsText(static_cast<unsigned long>(value)); break;
      default: text += std::to_string(static_cast<long long>(value)); break;
    }
  }
  return text + ")";
}

std::string commandName(pid_t pid) {
  std::string name = fileText("/proc/" + std::to_string(pid) + "/comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

// The effective user id, from the Uid line of /proc/PID/status.
std::string effectiveUid(pid_t pid) {
  std::istringstream status(fileText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 4, "Uid:") != 0) continue;
    std::istringstream ids(line.substr(4));
    std::string real, effective;
    ids >> real >> effective;
    return effective;
  }
  return "?";
}

void writeReport(const Tracer& tracer, const std::string& text) {
  std::ofstream(tracer.reportPath) << text << "\n";
}

// A syscall-entry stop of `process`: counted, written down or the kill.
// False when the process is to be let go: it starts a thread that no
// tracer may follow, as LeakSanitizer does to attach to its own threads,
// which it cannot do while they are traced.
bool enteredCall(Tracer& tracer, pid_t pid, Process& process) {
  __ptrace_syscall_info info{};
  if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0 || info.op != PTRACE_SYSCALL_INFO_ENTRY)
    return true;
  const long number = static_cast<long>(info.entry.nr);
  if (number == SYS_clone && (info.entry.args[0] & CLONE_UNTRACED) != 0) return false;
  const long n = ++process.calls[number];
  const Call* call = callNumbered(number);
  if (!call) return true;
  if (tracer.log.is_open()) {
    tracer.log << process.id << '\t' << effectiveUid(pid) << '\t' << commandName(pid) << '\t' << call->name << '\t'
               << n << '\t' << callText(pid, *call, info.entry.args) << '\n';
    return true;
  }
  if (tracer.killed || process.id != tracer.target.id || call != tracer.target.call || n != tracer.target.n)
    return true;
  const std::string text = "killed " + process.id + " " + std::to_string(pid) + " " + commandName(pid) + " " +
                           callText(pid, *call, info.entry.args);
  kill(pid, SIGKILL);
  tracer.killed = true;
  writeReport(tracer, text);
  return true;
}

// Lets a stopped tracee run on to its next call.
void resume(pid_t pid, int signal) {
  ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
}

// From here on every tracee is let go as it stops, each asked to stop.
void startLettingGo(Tracer& tracer) {
  if (tracer.lettingGo) return;
  tracer.lettingGo = true;
  for (const auto& entry : tracer.processes) ptrace(PTRACE_INTERRUPT, entry.first, nullptr, nullptr);
}

// A fork, vfork or clone that `parent` reported: the new process is named
// after it, and runs on if it was waiting for that.
void nameChild(Tracer& tracer, pid_t parentPid, Process& parent) {
  unsigned long child = 0;
  if (ptrace(PTRACE_GETEVENTMSG, parentPid, nullptr, &child) != 0) return;
  Process& process = tracer.processes[static_cast<pid_t>(child)];
  process.id = parent.id + "." + std::to_string(parent.children++);
  if (!process.held) return;
  process.held = false;
  if (tracer.lettingGo) {
    ptrace(PTRACE_DETACH, static_cast<pid_t>(child), nullptr, nullptr);
    tracer.processes.erase(static_cast<pid_t>(child));
  } else {
    resume(static_cast<pid_t>(child), 0);
  }
}

// The command, stopped by itself before it runs, seized: its children are
// traced from their start, and no SIGSTOP is ever sent to them, which a
// process let go before it saw it would stop at.
pid_t startTraced(char** argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    raise(SIGSTOP);
    execvp(argv[0], argv);
    std::fprintf(stderr, "kill-at: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) return -1;
  const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                       PTRACE_O_TRACEEXEC;
  if (ptrace(PTRACE_SEIZE, pid, nullptr, reinterpret_cast<void*>(options)) != 0) {
    kill(pid, SIGKILL);
    return -1;
  }
  // It reports its stop as a ptrace stop, and runs once that is resumed.
  kill(pid, SIGCONT);
  return pid;
}

// One stop of the tracee `pid`.
void stopped(Tracer& tracer, pid_t pid, int status) {
  Process& process = tracer.processes[pid];
  const int signal = WSTOPSIG(status), event = status >> 16;
  const bool forked = event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK || event == PTRACE_EVENT_CLONE;
  if (forked) nameChild(tracer, pid, process);
  if (tracer.lettingGo && !(event == PTRACE_EVENT_STOP && process.id.empty())) {
    // A signal it stopped to receive is delivered.
    const bool delivery = event == 0 && signal != (SIGTRAP | 0x80);
    ptrace(PTRACE_DETACH, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(delivery ? signal : 0)));
    tracer.processes.erase(pid);
    return;
  }
  if (signal == (SIGTRAP | 0x80)) {
    const bool follow = enteredCall(tracer, pid, process);
    if (tracer.killed) return startLettingGo(tracer);
    if (follow) return resume(pid, 0);
    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    tracer.processes.erase(pid);
  } else if (event == PTRACE_EVENT_STOP && process.id.empty()) {
    // A new tracee, which runs once its parent has named it.
    process.held = true;
  } else {
    resume(pid, event == 0 ? signal : 0);
  }
}

// Follows the command until its own process ends, then lets every process
// still traced go: the command's exit status.
int trace(Tracer& tracer, char** argv) {
  const pid_t root = startTraced(argv);
  if (root < 0) return CANNOT_TRACE;
  tracer.processes[root].id = "0";
  int rootStatus = -1;
  while (!(tracer.lettingGo && tracer.processes.empty())) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, __WALL);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) break;
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      tracer.processes.erase(pid);
      if (pid != root) continue;
      rootStatus = status;
      startLettingGo(tracer);
    } else if (WIFSTOPPED(status)) {
      stopped(tracer, pid, status);
    }
  }
  if (rootStatus < 0 && waitpid(root, &rootStatus, 0) != root) return CANNOT_TRACE;
  return WIFEXITED(rootStatus) ? WEXITSTATUS(rootStatus) : 128 + WTERMSIG(rootStatus);
}

int usage() {
  std::fputs("usage: kill-at --log FILE -- COMMAND [ARGUMENT...]\n"
             "       kill-at --kill PROCESS:NAME:N --report FILE -- COMMAND [ARGUMENT...]\n",
             stderr);
  return CANNOT_TRACE;
}

// PROCESS:NAME:N into `target`.
bool readTarget(const std::string& text, Target* target) {
  const size_t first = text.find(':'), second = text.rfind(':');
  if (first == std::string::npos || second == first) return false;
  target->id = text.substr(0, first);
  target->call = callNamed(text.substr(first + 1, second - first - 1));
  target->n = std::strtol(text.c_str() + second + 1, nullptr, 10);
  return !target->id.empty() && target->call && target->n > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Tracer tracer;
  int at = 1;
  for (; at + 1 < argc && std::strcmp(argv[at], "--") != 0; at += 2) {
    const std::string option = argv[at], value = argv[at + 1];
    if (option == "--log") {
      tracer.log.open(value);
      if (!tracer.log) return usage();
    } else if (option == "--kill") {
      if (!readTarget(value, &tracer.target)) return usage();
    } else if (option == "--report") {
      tracer.reportPath = value;
    } else {
      return usage();
    }
  }
  const bool killing = tracer.target.call != nullptr;
  if (at + 1 >= argc || std::strcmp(argv[at], "--") != 0 || killing == tracer.log.is_open() ||
      killing == tracer.reportPath.empty())
    return usage();
  const int status = trace(tracer, argv + at + 1);
  if (killing && !tracer.killed) writeReport(tracer, "not reached");
  return status;
}
