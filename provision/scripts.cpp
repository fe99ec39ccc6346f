// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/scripts.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fsutil/files.h"

extern char** environ;

namespace {

// Passed to the generator literally: the generated scripts expand these
// references when they run, not the tool.
constexpr const char* LIBRARY_PATH_VALUE = "${SERVER_ROOT}/lib:${LD_LIBRARY_PATH}";
constexpr const char* JRE_LIBRARY_PATH_VALUE =
    "${JAVA_HOME}/jre/lib/i386/server:${JAVA_HOME}/jre/lib/i386:${JAVA_HOME}/jre/lib/i386/native_threads";

std::string text(const char* value) { return value ? value : ""; }

std::string setting(const char* name, const char* value) { return std::string(name) + "=" + text(value); }

std::string templatePath(const InstanceRecord* record, const char* name) {
  return text(record->serverRoot) + "/lib/install/templates/" + name;
}

std::string outputPath(const char* instanceDir, const char* name) { return text(instanceDir) + "/bin/" + name; }

std::vector<std::string> generatorInvocation(const InstanceRecord* record) {
  return {text(record->perlHome) + "/perl", templatePath(record, "makeScript")};
}

std::vector<std::string> scriptSettings(const InstanceRecord* record, const char* instanceDir,
                                        ControlScript script) {
  switch (script) {
    case ControlScript::Start:
      return {setting("ROOT", record->serverRoot),
              setting("BIN", "appservd-wdog"),
              setting("SUBDIR", instanceDir),
              setting("NAME", "https"),
              setting("LD_LIBRARY_PATH", LIBRARY_PATH_VALUE),
              setting("JAVA_HOME", record->javaHome),
              setting("JRE_RUNTIME_LIBPATH", JRE_LIBRARY_PATH_VALUE),
              setting("INSTALL_CONFIG_ROOT", record->installConfigRoot)};
    case ControlScript::Stop:
      return {setting("ROOT", record->serverRoot), setting("SUBDIR", instanceDir),
              setting("INSTANCE", record->serverId), setting("NAME", "https")};
    case ControlScript::Restart:
      return {setting("SUBDIR", instanceDir)};
    case ControlScript::Rotate:
      return {setting("ROOT", record->serverRoot), setting("SUBDIR", instanceDir),
              setting("LD_LIBRARY_PATH", LIBRARY_PATH_VALUE),
              setting("INSTALL_CONFIG_ROOT", record->installConfigRoot)};
  }
  return {};
}

struct ScriptFiles {
  const char* templateName;
  const char* outputName;
};

ScriptFiles scriptFiles(ControlScript script) {
  switch (script) {
    case ControlScript::Start:
      return {"start", "startserv"};
    case ControlScript::Stop:
      return {"stop", "stopserv"};
    case ControlScript::Restart:
      return {"restart", "restartserv"};
    case ControlScript::Rotate:
      return {"rotate", "rotatelogs"};
  }
  return {"", ""};
}

bool isShellSafe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string("_-+=/.,:@%").find(c) != std::string::npos;
}

std::string shellQuoted(const std::string& argument) {
  bool safe = !argument.empty();
  for (char c : argument) safe = safe && isShellSafe(c);
  if (safe) return argument;
  std::string quoted = "'";
  for (char c : argument) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// The generator's chatter would land in the middle of a CGI page: its
// standard output goes to our standard error. A parent that ignores SIGPIPE
// or SIGCHLD, or blocks signals, must not hand that on to the generator.
bool prepareSpawn(SpawnActions& files, SpawnAttributes& spawn) {
  sigset_t defaults;
  sigset_t emptyMask;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  sigemptyset(&emptyMask);
  return posix_spawn_file_actions_adddup2(&files.actions, STDERR_FILENO, STDOUT_FILENO) == 0 &&
         posix_spawnattr_setsigdefault(&spawn.attributes, &defaults) == 0 &&
         posix_spawnattr_setsigmask(&spawn.attributes, &emptyMask) == 0 &&
         posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

// True when the command started and exited with status 0.
bool runCommand(const std::vector<std::string>& arguments) {
  // With SIGCHLD ignored (a CGI parent may do that) waitpid cannot collect
  // the child's status.
  signal(SIGCHLD, SIG_DFL);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnActions files;
  SpawnAttributes spawn;
  if (!prepareSpawn(files, spawn)) return false;
  pid_t child;
  if (posix_spawn(&child, argv[0], &files.actions, &spawn.attributes, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A generator that says it succeeded without leaving its script (an
// interpreter that took a read error on its program for its end, say) has
// failed all the same.
bool isRegularFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

Message scriptFailure(ControlScript script, const char* instanceDir, const std::vector<std::string>& arguments) {
  switch (script) {
    case ControlScript::Start:
      return errorMessage("ERR_CREATE_STARTSERV", {instanceDir});
    case ControlScript::Stop:
      return errorMessage("ERR_CREATE_STOPSERV", {instanceDir});
    case ControlScript::Restart:
      return errorMessage("ERR_CREATE_RESTARTSERV", {instanceDir});
    case ControlScript::Rotate:
      break;
  }
  std::string scriptPath = outputPath(instanceDir, "rotatelogs");
  std::string commandLine = shellQuotedCommandLine(arguments);
  return errorMessage("ERR_CREATE_MESG", {scriptPath.c_str(), commandLine.c_str()});
}

}  // namespace

std::vector<std::string> scriptGeneratorArguments(const InstanceRecord* record, const char* instanceDir,
                                                  ControlScript script) {
  std::vector<std::string> arguments = generatorInvocation(record);
  for (std::string& item : scriptSettings(record, instanceDir, script)) arguments.push_back(std::move(item));
  ScriptFiles files = scriptFiles(script);
  arguments.push_back(templatePath(record, files.templateName));
  arguments.push_back(outputPath(instanceDir, files.outputName));
  return arguments;
}

std::string shellQuotedCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (!line.empty()) line += ' ';
    line += shellQuoted(argument);
  }
  return line;
}

namespace {

constexpr ControlScript SCRIPTS_IN_ORDER[] = {ControlScript::Start, ControlScript::Stop, ControlScript::Restart,
                                              ControlScript::Rotate};

bool isReadableFile(const std::string& path) {
  Descriptor file;
  return openRegularFile(path.c_str(), &file) == RegularFile::Opened;
}

// How deep the kernel follows "#!" lines, and how much of a program it reads
// to tell what kind it is.
constexpr int INTERPRETER_DEPTH_LIMIT = 4;
constexpr size_t PROGRAM_HEADER_SIZE = 256;

struct ElfKind {
  unsigned char elfClass;
  uint16_t machine;
};
// The ELF programs this machine runs: its own kind and the 32-bit one of
// its family. On another machine nothing is said against an ELF program.
constexpr ElfKind RUNNABLE_ELF[] = {
#if defined(__x86_64__)
    {ELFCLASS64, EM_X86_64}, {ELFCLASS32, EM_386},
#elif defined(__i386__)
    {ELFCLASS32, EM_386},
#elif defined(__aarch64__)
    {ELFCLASS64, EM_AARCH64}, {ELFCLASS32, EM_ARM},
#else
    {ELFCLASSNONE, EM_NONE},
#endif
};

bool runnableElf(const unsigned char* header) {
  if (header[EI_DATA] != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB)) return false;
  uint16_t machine;
  std::memcpy(&machine, header + offsetof(Elf64_Ehdr, e_machine), sizeof machine);
  for (const ElfKind& kind : RUNNABLE_ELF)
    if (kind.elfClass == ELFCLASSNONE || (kind.elfClass == header[EI_CLASS] && kind.machine == machine)) return true;
  return false;
}

// The program loader an ELF program of this machine names (PT_INTERP), ""
// for one that needs none.
template <typename Header, typename ProgramHeader>
std::string elfLoader(int file) {
  Header header;
  if (pread(file, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return "";
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ProgramHeader entry;
    off_t at = static_cast<off_t>(header.e_phoff + static_cast<uint64_t>(i) * header.e_phentsize);
    if (pread(file, &entry, sizeof entry, at) != static_cast<ssize_t>(sizeof entry)) return "";
    if (entry.p_type != PT_INTERP || entry.p_filesz == 0 || entry.p_filesz > PATH_LIMIT) continue;
    std::string loader(entry.p_filesz, '\0');
    if (pread(file, &loader[0], loader.size(), static_cast<off_t>(entry.p_offset)) != static_cast<ssize_t>(loader.size()))
      return "";
    return loader.c_str();  // up to its terminating NUL
  }
  return "";
}

// The interpreter a "#!" line names, as the kernel reads it: the first word
// after "#!" and any blanks; "" when the line names none.
std::string scriptInterpreter(const char* header, size_t length) {
  std::string line(header + 2, length - 2);
  line = line.substr(0, line.find('\n'));
  size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  return line.substr(start, line.find_first_of(" \t", start) - start);
}

// Why execve would refuse to start `path` (its error number), found without
// running anything; 0 when it would start it, as far as can be told. When
// the refusal is about another program the start needs (the interpreter of
// a "#!" line, an ELF program's loader), that program is named in `needs`.
int startRefusal(const std::string& path, std::string* needs, int depth = 0) {
  if (depth > INTERPRETER_DEPTH_LIMIT) return ELOOP;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return errno;
  struct statvfs fileSystem;
  if (!S_ISREG(status.st_mode) || faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0 ||
      (statvfs(path.c_str(), &fileSystem) == 0 && (fileSystem.f_flag & ST_NOEXEC) != 0))
    return EACCES;
  // A program this user may run but not read is the kernel's to judge.
  Descriptor file;
  if (openRegularFile(path.c_str(), &file) != RegularFile::Opened) return 0;
  char header[PROGRAM_HEADER_SIZE];
  ssize_t length = pread(file.get(), header, sizeof header, 0);
  if (length < 0) return 0;
  std::string next;
  if (length >= 2 && header[0] == '#' && header[1] == '!') {
    next = scriptInterpreter(header, static_cast<size_t>(length));
    if (next.empty()) return ENOEXEC;
  } else if (length >= static_cast<ssize_t>(sizeof(Elf32_Ehdr)) && std::memcmp(header, ELFMAG, SELFMAG) == 0) {
    if (!runnableElf(reinterpret_cast<const unsigned char*>(header))) return ENOEXEC;
    next = header[EI_CLASS] == ELFCLASS64 ? elfLoader<Elf64_Ehdr, Elf64_Phdr>(file.get())
                                          : elfLoader<Elf32_Ehdr, Elf32_Phdr>(file.get());
    if (next.empty()) return 0;
  } else {
    return ENOEXEC;
  }
  int error = startRefusal(next, needs, depth + 1);
  if (error != 0 && needs->empty()) *needs = next;
  return error;
}

// The script generator's interpreter must start: one that exists and may be
// run but names a missing interpreter or loader, or is no program this
// machine runs, would fail only when the first script is made.
Message interpreterProblem(const std::string& interpreter) {
  std::string needs;
  int error = startRefusal(interpreter, &needs);
  if (error == 0) return {};
  if (needs.empty()) return errorMessage("ERR_INTERPRETER_CANNOT_START", {interpreter.c_str(), std::strerror(error)});
  return errorMessage("ERR_INTERPRETER_NEEDS", {interpreter.c_str(), needs.c_str(), std::strerror(error)});
}

}  // namespace

Message checkScriptGenerator(const InstanceRecord* record, const char* instanceDir) {
  // The interpreter and the generator fail the first script already.
  std::vector<std::string> first = scriptGeneratorArguments(record, instanceDir, ControlScript::Start);
  if (Message problem = interpreterProblem(first[0])) return problem;
  if (!isReadableFile(first[1])) return scriptFailure(ControlScript::Start, instanceDir, first);
  for (ControlScript script : SCRIPTS_IN_ORDER) {
    std::vector<std::string> arguments = scriptGeneratorArguments(record, instanceDir, script);
    if (!isReadableFile(arguments[arguments.size() - 2])) return scriptFailure(script, instanceDir, arguments);
  }
  return {};
}

Message runScriptGenerator(const InstanceRecord* record, const char* instanceDir) {
  for (ControlScript script : SCRIPTS_IN_ORDER) {
    std::vector<std::string> arguments = scriptGeneratorArguments(record, instanceDir, script);
    if (!runCommand(arguments) || !isRegularFile(arguments.back()))
      return scriptFailure(script, instanceDir, arguments);
  }
  return {};
}
