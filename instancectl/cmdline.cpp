// SPDX-License-Identifier: GPL-3.0-or-later
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "frontend/frontend.h"
#include "fsutil/directories.h"
#include "instance/record.h"
#include "instancectl/instancectl.h"
#include "instancectl/unit.h"
#include "messages/messages.h"

namespace {

const char USAGE[] =
    "Usage: instancectl [--server-root DIR] list [--json | --no-header] [ID...]\n"
    "       instancectl [--server-root DIR] status ID [--json]\n"
    "       instancectl [--server-root DIR] start ID | --all [--unit-dir DIR]\n"
    "       instancectl [--server-root DIR] stop ID | --all [--timeout SECONDS] [--kill] [--unit-dir DIR]\n"
    "       instancectl [--server-root DIR] restart ID [--timeout SECONDS] [--kill] [--unit-dir DIR]\n"
    "       instancectl [--server-root DIR] remove ID [--stop [--timeout SECONDS] [--kill]] [--unit-dir DIR]\n"
    "       instancectl [--server-root DIR] unit ID [--unit-dir DIR] [--force] [--enable | --remove]\n"
    "       instancectl --help | --version\n";

const char HELP[] =
    "\n"
    "Lists, operates, removes and hands to systemd the instances of a server root.\n"
    "\n"
    "Commands:\n"
    "  list [ID...]      one line per instance (or per instance named): identifier,\n"
    "                    server name, ports, user, state (running, stopped, incomplete,\n"
    "                    removing, broken, unknown) and document root\n"
    "  status ID         the state of the instance ID and its server process; exit\n"
    "                    status 0 running, 3 stopped, 4 unknown (or no such instance)\n"
    "  start ID          starts the instance ID with its bin/startserv (with systemctl\n"
    "                    when it has a unit and systemd manages the machine)\n"
    "  stop ID           stops it with its bin/stopserv (or systemctl)\n"
    "  restart ID        restarts it with its bin/restartserv (or systemctl), with the\n"
    "                    arguments of its last start\n"
    "  remove ID         removes the instance ID (or a broken.* directory) and the\n"
    "                    service unit made for it; keeps its document root\n"
    "  unit ID           writes a systemd service unit for the instance ID\n"
    "\n"
    "Options:\n"
    "  --server-root DIR the server root (default: $ZORA_SERVER_HOME)\n"
    "  --json            list, status: JSON instead of text\n"
    "  --no-header       list: the table without its line of headings\n"
    "  --all             start, stop: every instance of the server root\n"
    "  --timeout SECONDS stop, restart, remove --stop: how long the server is given to\n"
    "                    end after SIGTERM (default 30)\n"
    "  --kill            stop, restart, remove --stop: then send it SIGKILL\n"
    "  --stop            remove: stop a running instance with its bin/stopserv first\n"
    "  --unit-dir DIR    unit, remove, start, stop, restart: the unit directory\n"
    "                    (default: /etc/systemd/system)\n"
    "  --force           unit: replace a unit file that has other content\n"
    "  --enable          unit: also enable the unit when systemd manages the machine\n"
    "  --remove          unit: disable and remove the unit instead\n"
    "  --systemd-root DIR, --systemctl PROGRAM\n"
    "                    for tests: below which run/systemd/system and proc/PID/cgroup\n"
    "                    are looked for (default /) and the systemctl program (default\n"
    "                    /usr/bin/systemctl)\n"
    "  -h, --help        this text\n"
    "  --version         the version\n"
    "\n"
    "Exit status: 0 done, 1 wrong command line, 2 refused or failed, 3 no such\n"
    "instance, 4 the instance is running; status: 0 running, 3 stopped, 4 unknown.\n";

enum Option {
  SERVER_ROOT = 256, JSON, NO_HEADER, STOP, UNIT_DIR, FORCE, VERSION, ALL, TIMEOUT, KILL, ENABLE, REMOVE_UNIT,
  SYSTEMD_ROOT, SYSTEMCTL
};

const option OPTIONS[] = {{"server-root", required_argument, nullptr, SERVER_ROOT},
                          {"json", no_argument, nullptr, JSON},
                          {"no-header", no_argument, nullptr, NO_HEADER},
                          {"stop", no_argument, nullptr, STOP},
                          {"unit-dir", required_argument, nullptr, UNIT_DIR},
                          {"force", no_argument, nullptr, FORCE},
                          {"all", no_argument, nullptr, ALL},
                          {"timeout", required_argument, nullptr, TIMEOUT},
                          {"kill", no_argument, nullptr, KILL},
                          {"enable", no_argument, nullptr, ENABLE},
                          {"remove", no_argument, nullptr, REMOVE_UNIT},
                          {"systemd-root", required_argument, nullptr, SYSTEMD_ROOT},
                          {"systemctl", required_argument, nullptr, SYSTEMCTL},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, VERSION},
                          {nullptr, 0, nullptr, 0}};

int usageError(const char* problem) {
  if (problem) std::fprintf(stderr, "instancectl: %s\n", problem);
  std::fputs(USAGE, stderr);
  return STATUS_USAGE;
}

// A number of seconds: decimal digits, at most a day's worth.
bool readSeconds(const char* text, int* seconds) {
  if (*text == '\0' || std::strlen(text) > 6 || std::strspn(text, "0123456789") != std::strlen(text)) return false;
  long value = std::strtol(text, nullptr, 10);
  if (value > 86400) return false;
  *seconds = static_cast<int>(value);
  return true;
}

// Reads the options into `line`; -1 to go on, else the exit status.
int readOptions(int argc, char** argv, CommandLine* line, bool* unitDirGiven) {
  int option;
  opterr = 0;
  while ((option = getopt_long(argc, argv, "h", OPTIONS, nullptr)) != -1) {
    switch (option) {
      case SERVER_ROOT:
        line->serverRoot = optarg;
        line->serverRootGiven = true;
        break;
      case JSON: line->json = true; break;
      case NO_HEADER: line->noHeader = true; break;
      case STOP: line->stop = true; break;
      case FORCE: line->force = true; break;
      case ALL: line->all = true; break;
      case KILL: line->kill = true; break;
      case ENABLE: line->enable = true; break;
      case REMOVE_UNIT: line->removeUnit = true; break;
      case SYSTEMD_ROOT: line->systemdRoot = optarg; break;
      case SYSTEMCTL: line->systemctl = optarg; break;
      case TIMEOUT:
        if (!readSeconds(optarg, &line->timeout))
          return usageError((std::string("--timeout takes a whole number of seconds, not ") + optarg).c_str());
        line->timeoutGiven = true;
        break;
      case UNIT_DIR:
        line->unitDirectory = optarg;
        *unitDirGiven = true;
        break;
      case 'h': std::fputs(USAGE, stdout); std::fputs(HELP, stdout); return STATUS_DONE;
      case VERSION: std::printf("instancectl %s\n", TOOL_VERSION); return STATUS_DONE;
      default:
        std::string word = optopt > 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt)
                                                      : std::string(argv[optind - 1]);
        return usageError(("unknown option or option without its value: " + word).c_str());
    }
  }
  return -1;
}

bool isOneOf(const std::string& command, std::initializer_list<const char*> commands) {
  for (const char* one : commands)
    if (command == one) return true;
  return false;
}

// Which options go with which command; -1 when they all fit, else the exit status.
int checkOptions(const CommandLine& line, bool unitDirGiven) {
  const std::string& command = line.command;
  if (line.json && !isOneOf(command, {"list", "status"})) return usageError("--json goes with list and status only");
  if (line.noHeader && (command != "list" || line.json))
    return usageError("--no-header goes with list only, and not with --json");
  if (line.stop && command != "remove") return usageError("--stop goes with remove only");
  if ((line.force || line.enable || line.removeUnit) && command != "unit")
    return usageError("--force, --enable and --remove go with unit only");
  if (line.enable && line.removeUnit) return usageError("--enable and --remove exclude each other");
  if (line.force && line.removeUnit) return usageError("--force goes with writing a unit, not with --remove");
  if (line.all && !isOneOf(command, {"start", "stop"})) return usageError("--all goes with start and stop only");
  const bool stopping = isOneOf(command, {"stop", "restart"}) || (command == "remove" && line.stop);
  if ((line.timeoutGiven || line.kill) && !stopping)
    return usageError("--timeout and --kill go with stop, restart and remove --stop only");
  if (unitDirGiven && isOneOf(command, {"list", "status"})) return usageError(("--unit-dir does not go with " + command).c_str());
  return -1;
}

// The words after the options; -1 to go on, else the exit status.
int readWords(int argc, char** argv, CommandLine* line, bool unitDirGiven) {
  if (optind >= argc) return usageError("no command given");
  line->command = argv[optind++];
  const bool takesIds = line->command == "list";
  if (!takesIds && !isOneOf(line->command, {"status", "start", "stop", "restart", "remove", "unit"}))
    return usageError(("unknown command: " + line->command).c_str());
  if (!takesIds && !line->all) {
    if (optind >= argc) return usageError(("no identifier given to " + line->command).c_str());
    line->id = argv[optind++];
  }
  while (takesIds && optind < argc) line->ids.push_back(argv[optind++]);
  if (optind < argc)
    return usageError((std::string(line->all ? "--all names no identifier: " : "unexpected word: ") + argv[optind]).c_str());
  return checkOptions(*line, unitDirGiven);
}

// The server and instances roots as a creation takes them from the same
// setting, and the message bundle of the installation in `bundle`. A root
// that is no installation is named in the one line a creation names it
// with, before anything else: without its bundle there are no other texts.
// Status 2, not 3: 3 says there is no such instance, which a removal may
// take for "already removed". -1 to go on, else the exit status.
int findRoots(const CommandLine& line, Workplace* place, std::optional<ScopedMessageBundle>* bundle) {
  InstanceRecord record{};
  setInstanceDefaults(line.serverRoot.c_str(), "default", &record);
  const char* source = line.serverRootGiven ? "--server-root" : "ZORA_SERVER_HOME";
  std::string problem = serverRootProblem(&record, source);
  if (problem.empty()) problem = openInstallation(&record, source, bundle);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return STATUS_FAILED;
  }
  place->serverRoot = record.serverRoot;
  place->instancesRoot = record.instancesRoot;
  return -1;
}

// Opens the instances root for the command, and names it by its real
// path from then on; -1 to go on, else the exit status.
int openInstancesRoot(Workplace* place) {
  std::string unsafe;
  if (openDirectoryPath(place->instancesRoot.c_str(), &place->root, &unsafe) == 0) {
    // One instance, one path: a server root reached through a link, or
    // spelt with a trailing "/" or "//", names the same instance
    // directories, scripts and units as its real path.
    std::string real = realPathOfDirectory(place->root.get());
    if (real.empty()) real = normalizePath(place->instancesRoot);
    if (!real.empty()) place->instancesRoot = real;
    return -1;
  }
  Message failure = unsafe.empty()
                        ? errorMessage("ERR_FILE_OPEN_READ", {place->instancesRoot.c_str(), std::strerror(errno)})
                        : errorMessage("ERR_READ_THROUGH_LINK", {unsafe.c_str()});
  std::fprintf(stderr, "%s\n", failure.get());
  return STATUS_FAILED;
}

int dispatch(const CommandLine& line, const Workplace& place) {
  if (line.command == "list") return listCommand(line, place);
  if (line.command == "status") return statusCommand(line, place);
  if (line.command == "remove") return removeCommand(line, place);
  if (line.command == "unit") return unitCommand(line, place);
  return operateCommand(line, place);
}

// What the program answers for `line`'s command: status answers as LSB
// init scripts do, where 1 and 2 mean a dead server, so every problem of
// its own (a wrong command line, a server root that is no installation)
// is "unknown" there.
int answered(const CommandLine& line, int status) {
  if (line.command != "status" || status == LSB_RUNNING || status == LSB_STOPPED) return status;
  return LSB_UNKNOWN;
}

}  // namespace

int instancectlMain(int argc, char** argv) {
  CommandLine line;
  line.unitDirectory = DEFAULT_UNIT_DIRECTORY;
  bool unitDirGiven = false;
  if (int status = readOptions(argc, argv, &line, &unitDirGiven); status >= 0) return status;
  if (int status = readWords(argc, argv, &line, unitDirGiven); status >= 0) return answered(line, status);
  if (!line.serverRootGiven) {
    const char* home = std::getenv("ZORA_SERVER_HOME");
    if (!home) return answered(line, usageError("no server root: set ZORA_SERVER_HOME or give --server-root"));
    line.serverRoot = home;
  }
  Workplace place;
  std::optional<ScopedMessageBundle> bundle;
  if (int status = findRoots(line, &place, &bundle); status >= 0) return answered(line, status);
  if (int status = openInstancesRoot(&place); status >= 0) return answered(line, status);
  return answered(line, dispatch(line, place));
}
