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
    "       instancectl [--server-root DIR] remove ID [--stop] [--unit-dir DIR]\n"
    "       instancectl [--server-root DIR] unit ID [--unit-dir DIR] [--force]\n"
    "       instancectl --help | --version\n";

const char HELP[] =
    "\n"
    "Lists, removes and hands to systemd the instances of a server root.\n"
    "\n"
    "Commands:\n"
    "  list [ID...]      one line per instance (or per instance named): identifier,\n"
    "                    server name, ports, user, state (running, stopped, broken,\n"
    "                    unknown) and document root\n"
    "  remove ID         removes the instance ID (or a broken.* directory) and the\n"
    "                    service unit made for it; keeps its document root\n"
    "  unit ID           writes a systemd service unit for the instance ID\n"
    "\n"
    "Options:\n"
    "  --server-root DIR the server root (default: $ZORA_SERVER_HOME)\n"
    "  --json            list: one JSON array instead of the table\n"
    "  --no-header       list: the table without its line of headings\n"
    "  --stop            remove: stop a running instance with its bin/stopserv first\n"
    "  --unit-dir DIR    unit, remove: the unit directory (default: /etc/systemd/system)\n"
    "  --force           unit: replace a unit file that has other content\n"
    "  -h, --help        this text\n"
    "  --version         the version\n"
    "\n"
    "Exit status: 0 done, 1 wrong command line, 2 refused or failed, 3 no such\n"
    "instance, 4 the instance is running.\n";

enum Option { SERVER_ROOT = 256, JSON, NO_HEADER, STOP, UNIT_DIR, FORCE, VERSION };

const option OPTIONS[] = {{"server-root", required_argument, nullptr, SERVER_ROOT},
                          {"json", no_argument, nullptr, JSON},
                          {"no-header", no_argument, nullptr, NO_HEADER},
                          {"stop", no_argument, nullptr, STOP},
                          {"unit-dir", required_argument, nullptr, UNIT_DIR},
                          {"force", no_argument, nullptr, FORCE},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, VERSION},
                          {nullptr, 0, nullptr, 0}};

int usageError(const char* problem) {
  if (problem) std::fprintf(stderr, "instancectl: %s\n", problem);
  std::fputs(USAGE, stderr);
  return STATUS_USAGE;
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

// The words after the options, and which options go with which command.
int readWords(int argc, char** argv, CommandLine* line, bool unitDirGiven) {
  if (optind >= argc) return usageError("no command given");
  line->command = argv[optind++];
  bool takesId = line->command == "remove" || line->command == "unit";
  if (!takesId && line->command != "list") return usageError(("unknown command: " + line->command).c_str());
  if (takesId) {
    if (optind >= argc) return usageError(("no identifier given to " + line->command).c_str());
    line->id = argv[optind++];
  }
  while (!takesId && optind < argc) line->ids.push_back(argv[optind++]);
  if (optind < argc) return usageError((std::string("unexpected word: ") + argv[optind]).c_str());
  if (line->json && line->command != "list") return usageError("--json goes with list only");
  if (line->noHeader && (line->command != "list" || line->json))
    return usageError("--no-header goes with list only, and not with --json");
  if (line->stop && line->command != "remove") return usageError("--stop goes with remove only");
  if (line->force && line->command != "unit") return usageError("--force goes with unit only");
  if (unitDirGiven && line->command == "list") return usageError("--unit-dir goes with unit and remove only");
  return -1;
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

// Opens the instances root for the command; -1 to go on, else the exit status.
int openInstancesRoot(Workplace* place) {
  std::string unsafe;
  if (openDirectoryPath(place->instancesRoot.c_str(), &place->root, &unsafe) == 0) return -1;
  Message failure = unsafe.empty()
                        ? errorMessage("ERR_FILE_OPEN_READ", {place->instancesRoot.c_str(), std::strerror(errno)})
                        : errorMessage("ERR_READ_THROUGH_LINK", {unsafe.c_str()});
  std::fprintf(stderr, "%s\n", failure.get());
  return STATUS_FAILED;
}

int dispatch(const CommandLine& line, const Workplace& place) {
  if (line.command == "list") return listCommand(line, place);
  if (line.command == "remove") return removeCommand(line, place);
  return unitCommand(line, place);
}

}  // namespace

int instancectlMain(int argc, char** argv) {
  CommandLine line;
  line.unitDirectory = DEFAULT_UNIT_DIRECTORY;
  bool unitDirGiven = false;
  if (int status = readOptions(argc, argv, &line, &unitDirGiven); status >= 0) return status;
  if (int status = readWords(argc, argv, &line, unitDirGiven); status >= 0) return status;
  if (!line.serverRootGiven) {
    const char* home = std::getenv("ZORA_SERVER_HOME");
    if (!home) return usageError("no server root: set ZORA_SERVER_HOME or give --server-root");
    line.serverRoot = home;
  }
  Workplace place;
  std::optional<ScopedMessageBundle> bundle;
  if (int status = findRoots(line, &place, &bundle); status >= 0) return status;
  if (int status = openInstancesRoot(&place); status >= 0) return status;
  return dispatch(line, place);
}
