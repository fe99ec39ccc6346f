// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/script_command.h"

#include <cstring>

namespace {

// The options a script takes.
enum Takes : unsigned { ADDRESS = 1, SERVER_ARGS = 2, TIMEOUT = 4, KILL = 8, KEEP = 16 };

struct ScriptKind {
  Script script;
  const char* name;
  unsigned takes;
  const char* usage;  // {DIR}: the instance directory
};

const ScriptKind KINDS[] = {
    {Script::Start, "startserv", ADDRESS | SERVER_ARGS,
     "usage: startserv [-a ADDRESS] [-- SERVER-ARGUMENT...]\n"
     "       startserv --help\n"
     "Starts the server of {DIR} as the instance's owner.\n"
     "  -a, --address ADDRESS  listen on ADDRESS (an IPv4 address, or * for every\n"
     "                         address) for this start, instead of on the address\n"
     "                         of the HTTP listener in config/server.xml\n"
     "  -- SERVER-ARGUMENT...  passed on to the server program\n"
     "  -h, --help             print this help and start nothing\n"
     "The arguments are kept for restartserv.  Exit status: 0 started, 1 not\n"
     "started, 2 it was running already, 3 refused (nothing done), 64 a wrong\n"
     "command line.\n"},
    {Script::Stop, "stopserv", TIMEOUT | KILL,
     "usage: stopserv [--timeout SECONDS] [--kill]\n"
     "       stopserv --help\n"
     "Stops the server of {DIR}: SIGTERM, then a wait for it to end.\n"
     "  --timeout SECONDS  wait at most SECONDS (default 30)\n"
     "  --kill             send SIGKILL to a server still running then\n"
     "  -h, --help         print this help and stop nothing\n"
     "Exit status: 0 stopped, 1 could not stop it, 2 it was not running,\n"
     "3 refused (no signal sent), 64 a wrong command line.\n"},
    {Script::Restart, "restartserv", TIMEOUT | KILL | ADDRESS | SERVER_ARGS,
     "usage: restartserv [--timeout SECONDS] [--kill] [-a ADDRESS] [-- SERVER-ARGUMENT...]\n"
     "       restartserv --help\n"
     "Stops the server of {DIR}, if it runs, and starts it again with\n"
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
    {Script::Rotate, "rotatelogs", KEEP,
     "usage: rotatelogs [--keep N]\n"
     "       rotatelogs --help\n"
     "Moves the access and error logs of {DIR} aside, each under a name\n"
     "of its own (LOG.YYYYMMDD-HHMMSS[.N]), and has the server open new ones.\n"
     "  --keep N    keep only the newest N rotations of each log (N at least 1)\n"
     "  -h, --help  print this help and rotate nothing\n"
     "Exit status: 0 rotated, 1 a log could not be moved aside or an old one\n"
     "removed, or the server could not be told, 3 refused, 64 a wrong command\n"
     "line.\n"},
};

const ScriptKind& kindOf(Script script) {
  for (const ScriptKind& kind : KINDS)
    if (kind.script == script) return kind;
  return KINDS[0];
}

// The settings a script passes, by option name.
std::string* settingNamed(ScriptSettings* settings, const std::string& name) {
  if (name == "--instance") return &settings->instanceDir;
  if (name == "--server-root") return &settings->serverRoot;
  if (name == "--product") return &settings->product;
  if (name == "--server-bin") return &settings->serverBin;
  if (name == "--java-home") return &settings->javaHome;
  if (name == "--install-config-root") return &settings->installConfigRoot;
  if (name == "--library-path") return &settings->libraryPath;
  if (name == "--instance-name") return &settings->instanceName;
  return nullptr;
}

CommandLine wrong(const std::string& problem) {
  CommandLine line;
  line.reading = Reading::Wrong;
  line.problem = problem;
  return line;
}

// A whole number of at most six digits, at least `smallest`; a leading 0
// only in 0 itself. Empty when it is one, else what is wrong.
std::string countProblem(const std::string& option, const std::string& value, int smallest, int* count) {
  const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || value.size() > 6 || (value.size() > 1 && value[0] == '0'))
    return option + " takes a whole number, not \"" + value + "\".";
  *count = std::stoi(value);
  if (*count < smallest) return option + " takes a number of at least " + std::to_string(smallest) + ", not " + value + ".";
  return "";
}

// Empty when a start with `options` fits in the record of a start's
// arguments: no line end in a word, and no more than the record keeps.
std::string recordProblem(const ScriptOptions& options) {
  std::vector<std::string> checked = {options.address};
  checked.insert(checked.end(), options.serverWords.begin(), options.serverWords.end());
  for (const std::string& word : checked)
    if (word.find('\n') != std::string::npos)
      return "an argument for the server holds a line end, which the record of the start's arguments cannot keep.";
  if (startRecordText(startWords(options)).size() > START_RECORD_LIMIT)
    return "the arguments for the server are longer than the record of the start's arguments keeps (" +
           std::to_string(START_RECORD_LIMIT) + " bytes).";
  return "";
}

// One option and its value; `used` words of the command line.
struct Option {
  std::string name, value;
  size_t used = 1;
  bool missingValue = false;
};

Option optionAt(const std::vector<std::string>& words, size_t at) {
  Option option;
  const std::string& word = words[at];
  for (const char* valued : {"--address=", "--timeout=", "--keep="}) {
    if (word.compare(0, std::strlen(valued), valued) == 0) {
      option.name = word.substr(0, std::strlen(valued) - 1);
      option.value = word.substr(std::strlen(valued));
      return option;
    }
  }
  option.name = word;
  if (word == "-a" || word == "--address" || word == "--timeout" || word == "--keep") {
    option.missingValue = at + 1 >= words.size();
    if (!option.missingValue) option.value = words[at + 1];
    option.used = 2;
  }
  return option;
}

}  // namespace

const char* scriptName(Script script) { return kindOf(script).name; }

bool readScriptSettings(const std::vector<std::string>& arguments, ScriptSettings* settings, std::string* problem) {
  *settings = ScriptSettings();
  bool named = false;
  size_t at = 0;
  for (; at < arguments.size() && arguments[at] != "--"; at += 2) {
    const std::string& option = arguments[at];
    if (at + 1 >= arguments.size()) {
      *problem = option + " needs a value.";
      return false;
    }
    const std::string& value = arguments[at + 1];
    if (option == "--script") {
      named = false;
      for (const ScriptKind& kind : KINDS)
        if (value == kind.name) settings->script = kind.script, named = true;
      if (!named) {
        *problem = "there is no control script " + value + ".";
        return false;
      }
    } else if (std::string* setting = settingNamed(settings, option)) {
      *setting = value;
    } else {
      *problem = "unknown option " + option + ".";
      return false;
    }
  }
  if (!named || settings->instanceDir.empty() || at >= arguments.size()) {
    *problem = "--script, --instance and -- before the script's words are needed.";
    return false;
  }
  settings->words.assign(arguments.begin() + static_cast<long>(at) + 1, arguments.end());
  return true;
}

CommandLine readScriptWords(Script script, const std::vector<std::string>& words) {
  const ScriptKind& kind = kindOf(script);
  const std::string name = kind.name;
  CommandLine line;
  ScriptOptions& options = line.options;
  for (size_t at = 0; at < words.size();) {
    const Option option = optionAt(words, at);
    if (option.missingValue) return wrong(option.name + " needs a value.");
    const std::string& o = option.name;
    if (o == "-h" || o == "--help") {
      line.reading = Reading::Help;
      return line;
    } else if (o == "-a" || o == "--address") {
      if (!(kind.takes & ADDRESS)) return wrong("unknown option " + o + ".");
      if (option.value.empty()) return wrong(o + " needs an address.");
      options.address = option.value;
      options.startGiven = true;
    } else if (o == "--timeout") {
      if (!(kind.takes & TIMEOUT)) return wrong("unknown option " + o + ".");
      std::string problem = countProblem(o, option.value, 0, &options.timeout);
      if (!problem.empty()) return wrong(problem);
    } else if (o == "--kill") {
      if (!(kind.takes & KILL)) return wrong("unknown option " + o + ".");
      options.kill = true;
    } else if (o == "--keep") {
      if (!(kind.takes & KEEP)) return wrong("unknown option " + o + ".");
      std::string problem = countProblem(o, option.value, 1, &options.keep);
      if (!problem.empty()) return wrong(problem);
    } else if (o == "--") {
      if (!(kind.takes & SERVER_ARGS))
        return wrong("-- is not an option of " + name + ", which passes nothing on to the server program.");
      options.serverWords.assign(words.begin() + static_cast<long>(at) + 1, words.end());
      options.startGiven = true;
      break;
    } else if (!o.empty() && o[0] == '-') {
      return wrong("unknown option " + o + ".");
    } else if (kind.takes & SERVER_ARGS) {
      return wrong("unexpected argument " + o + ": what is meant for the server program follows --.");
    } else {
      return wrong("unexpected argument " + o + ".");
    }
    at += option.used;
  }
  if (kind.takes & SERVER_ARGS) {
    std::string problem = recordProblem(options);
    if (!problem.empty()) return wrong(problem);
  }
  return line;
}

std::string scriptUsage(Script script, const std::string& instanceDir) {
  std::string usage = kindOf(script).usage;
  const size_t at = usage.find("{DIR}");
  return usage.replace(at, 5, instanceDir);
}

std::vector<std::string> startWords(const ScriptOptions& options) {
  std::vector<std::string> words;
  if (!options.address.empty()) words = {"-a", options.address};
  if (!options.serverWords.empty()) {
    words.push_back("--");
    words.insert(words.end(), options.serverWords.begin(), options.serverWords.end());
  }
  return words;
}

std::string startRecordText(const std::vector<std::string>& words) {
  std::string text = std::string(START_RECORD_HEADER) + "\n";
  for (const std::string& word : words) text += word + "\n";
  return text + START_RECORD_FOOTER + "\n";
}

bool parseStartRecord(const std::string& text, std::vector<std::string>* words) {
  const std::string header = std::string(START_RECORD_HEADER) + "\n", footer = std::string(START_RECORD_FOOTER) + "\n";
  words->clear();
  if (text.size() < header.size() + footer.size() || text.compare(0, header.size(), header) != 0 ||
      text.compare(text.size() - footer.size(), footer.size(), footer) != 0)
    return false;
  const std::string body = text.substr(header.size(), text.size() - header.size() - footer.size());
  // What the words may be, in turn: -a ADDRESS, then -- and any words.
  enum { First, Address, Options, Server } state = First;
  for (size_t at = 0; at < body.size();) {
    const size_t end = body.find('\n', at);
    if (end == std::string::npos) return false;
    const std::string word = body.substr(at, end - at);
    if (state == First && word == "-a")
      state = Address;
    else if (state == Address && !word.empty())
      state = Options;
    else if ((state == First || state == Options) && word == "--")
      state = Server;
    else if (state != Server)
      return false;
    words->push_back(word);
    at = end + 1;
  }
  return state != Address;
}
