#include "provision/scripts.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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

bool isExecutableFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

bool isReadableFile(const std::string& path) {
  Descriptor file;
  return openRegularFile(path.c_str(), &file) == RegularFile::Opened;
}

}  // namespace

Message checkScriptGenerator(const InstanceRecord* record, const char* instanceDir) {
  // The interpreter and the generator fail the first script already.
  std::vector<std::string> first = scriptGeneratorArguments(record, instanceDir, ControlScript::Start);
  if (!isExecutableFile(first[0]) || !isReadableFile(first[1]))
    return scriptFailure(ControlScript::Start, instanceDir, first);
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
