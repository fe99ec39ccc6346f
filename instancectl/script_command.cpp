// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/script_command.h"

#include <cstring>

#include "instancectl/script_text.h"

namespace {

// The options a script takes.
enum Takes : unsigned { ADDRESS = 1, SERVER_ARGS = 2, TIMEOUT = 4, KILL = 8, KEEP = 16 };

struct ScriptKind {
  Script script;
  const char* name;
  unsigned takes;
  Say usage;
};

const ScriptKind KINDS[] = {
    {Script::Start, "startserv", ADDRESS | SERVER_ARGS, Say::StartUsage},
    {Script::Stop, "stopserv", TIMEOUT | KILL, Say::StopUsage},
    {Script::Restart, "restartserv", TIMEOUT | KILL | ADDRESS | SERVER_ARGS, Say::RestartUsage},
    {Script::Rotate, "rotatelogs", KEEP, Say::RotateUsage},
};

const ScriptKind& kindOf(Script script) {
  for (const ScriptKind& kind : KINDS)
    if (kind.script == script) return kind;
  return KINDS[0];
}

// What taking the option `name` needs of a script; 0 for no option of theirs.
unsigned takesOption(const std::string& name) {
  if (name == "-a" || name == "--address") return ADDRESS;
  if (name == "--timeout") return TIMEOUT;
  if (name == "--kill") return KILL;
  if (name == "--keep") return KEEP;
  return 0;
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

ScriptLine wrongText(const std::string& problem) {
  ScriptLine line;
  line.reading = Reading::Wrong;
  line.problem = problem;
  return line;
}

ScriptLine wrong(Say problem, const std::vector<std::string>& values = {}) {
  return wrongText(sayText(problem, values));
}

// A whole number of at most six digits, at least `smallest`; a leading 0
// only in 0 itself. Empty when it is one, else what is wrong.
std::string countProblem(const std::string& option, const std::string& value, int smallest, int* count) {
  const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || value.size() > 6 || (value.size() > 1 && value[0] == '0'))
    return sayText(Say::NotACount, {option, value});
  *count = std::stoi(value);
  if (*count < smallest) return sayText(Say::CountTooSmall, {option, std::to_string(smallest), value});
  return "";
}

// Go when a start with `options` fits in the record of a start's
// arguments: no line end in a word, and no more than the record keeps.
ScriptLine checkRecordFits(const ScriptOptions& options) {
  std::vector<std::string> checked = {options.address};
  checked.insert(checked.end(), options.serverWords.begin(), options.serverWords.end());
  for (const std::string& word : checked)
    if (word.find('\n') != std::string::npos) return wrong(Say::LineEndInArgument);
  if (startRecordText(startWords(options)).size() > START_RECORD_LIMIT)
    return wrong(Say::ArgumentsTooLong, {std::to_string(START_RECORD_LIMIT)});
  return ScriptLine();
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
      *problem = sayText(Say::NeedsValue, {option});
      return false;
    }
    const std::string& value = arguments[at + 1];
    if (option == "--script") {
      named = false;
      for (const ScriptKind& kind : KINDS)
        if (value == kind.name) settings->script = kind.script, named = true;
      if (!named) {
        *problem = sayText(Say::NoSuchScript, {value});
        return false;
      }
    } else if (std::string* setting = settingNamed(settings, option)) {
      *setting = value;
    } else {
      *problem = sayText(Say::UnknownOption, {option});
      return false;
    }
  }
  if (!named || settings->instanceDir.empty() || at >= arguments.size()) {
    *problem = sayText(Say::SettingsMissing);
    return false;
  }
  settings->words.assign(arguments.begin() + static_cast<long>(at) + 1, arguments.end());
  return true;
}

ScriptLine readScriptWords(Script script, const std::vector<std::string>& words) {
  const ScriptKind& kind = kindOf(script);
  ScriptLine line;
  ScriptOptions& options = line.options;
  for (size_t at = 0; at < words.size();) {
    const Option option = optionAt(words, at);
    const std::string& o = option.name;
    const bool known = o == "-h" || o == "--help" || o == "--" || o.empty() || o[0] != '-';
    if (option.missingValue) return wrong(Say::NeedsValue, {o});
    if (!known && !(kind.takes & takesOption(o))) return wrong(Say::UnknownOption, {o});
    if (o == "-h" || o == "--help") {
      line.reading = Reading::Help;
      return line;
    } else if (o == "-a" || o == "--address") {
      if (option.value.empty()) return wrong(Say::NeedsAddress, {o});
      options.address = option.value;
      options.startGiven = true;
    } else if (o == "--timeout" || o == "--keep") {
      const std::string problem = o == "--timeout" ? countProblem(o, option.value, 0, &options.timeout)
                                                   : countProblem(o, option.value, 1, &options.keep);
      if (!problem.empty()) return wrongText(problem);
    } else if (o == "--kill") {
      options.kill = true;
    } else if (o == "--") {
      if (!(kind.takes & SERVER_ARGS)) return wrong(Say::NoServerArguments, {kind.name});
      options.serverWords.assign(words.begin() + static_cast<long>(at) + 1, words.end());
      options.startGiven = true;
      break;
    } else {
      return wrong(kind.takes & SERVER_ARGS ? Say::StrayForServer : Say::StrayWord, {o});
    }
    at += option.used;
  }
  if (!(kind.takes & SERVER_ARGS)) return line;
  const ScriptLine fits = checkRecordFits(options);
  return fits.reading == Reading::Go ? line : fits;
}

std::string scriptUsage(Script script, const std::string& instanceDir) {
  return sayText(kindOf(script).usage, {instanceDir});
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
