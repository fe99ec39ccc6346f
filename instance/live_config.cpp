// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/live_config.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

constexpr const char* ROOT_ELEMENT = "instance";

// Where a setting of LIVE_SETTINGS is in the configuration.
struct SettingPlace {
  const char* setting;
  const char* element;
  const char* attribute;
};
constexpr SettingPlace PLACES[] = {
    {"serverName", "http", "server-name"},
    {"port", "http", "port"},
    {"jmsPort", "jms", "port"},
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isNameCharacter(char c) {
  return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}

std::string_view trimmed(std::string_view line) {
  while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
  return line;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Takes a name off the front of `text`; false when there is none.
bool takeName(std::string_view* text, std::string_view* name) {
  if (text->empty() || !isNameStart(text->front())) return false;
  size_t length = 1;
  while (length < text->size() && isNameCharacter((*text)[length])) ++length;
  *name = text->substr(0, length);
  text->remove_prefix(length);
  return true;
}

constexpr struct {
  std::string_view entity;
  char character;
} ENTITIES[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};

// The length of the entity `raw` starts with, 0 when it starts with none
// the format allows; its character in `character`.
size_t entityAt(std::string_view raw, char* character) {
  for (const auto& known : ENTITIES)
    if (startsWith(raw, known.entity)) {
      *character = known.character;
      return known.entity.size();
    }
  return 0;
}

// True when a value as written holds only what the format allows there.
bool isValidValue(std::string_view raw) {
  for (size_t i = 0; i < raw.size();) {
    char character;
    if (raw[i] == '<') return false;
    if (raw[i] != '&') {
      ++i;
      continue;
    }
    const size_t length = entityAt(raw.substr(i), &character);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// A valid value as written, with its entities replaced.
std::string decodedValue(std::string_view raw) {
  std::string value;
  for (size_t i = 0; i < raw.size();) {
    char character = raw[i];
    const size_t length = raw[i] == '&' ? entityAt(raw.substr(i), &character) : 1;
    value += character;
    i += length;
  }
  return value;
}

// An attribute of an element line: its name and its value as written.
struct Attribute {
  std::string_view name;
  std::string_view raw;
};

// The attributes of an element line's inside (after its name) into
// `attributes` (whose room is reused from line to line: a configuration of
// many lines costs no allocation each); false when they are not
// name="value" pairs after blanks, each name once, each value valid.
bool parseAttributes(std::string_view text, std::vector<Attribute>* attributes) {
  attributes->clear();
  for (;;) {
    const size_t before = text.size();
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    if (text.empty()) return true;
    std::string_view name;
    if (text.size() == before || !takeName(&text, &name) || !startsWith(text, "=\"")) return false;
    text.remove_prefix(2);
    const size_t end = text.find('"');
    if (end == std::string_view::npos || !isValidValue(text.substr(0, end))) return false;
    for (const Attribute& known : *attributes)
      if (known.name == name) return false;
    attributes->push_back({name, text.substr(0, end)});
    text.remove_prefix(end + 1);
  }
}

enum class LineKind { Blank, Declaration, Comment, CommentStart, Open, Empty, Close, Other };

struct Line {
  LineKind kind = LineKind::Other;
  std::string_view name;  // Open, Empty, Close
};

// What the line `text` is; the attributes of an element go to `attributes`.
Line classify(std::string_view text, std::vector<Attribute>* attributes) {
  Line line;
  text = trimmed(text);
  if (text.empty()) line.kind = LineKind::Blank;
  else if (startsWith(text, "<?") && endsWith(text, "?>")) line.kind = LineKind::Declaration;
  else if (startsWith(text, "<!--")) {
    const size_t end = text.find("-->", 4);
    line.kind = end == std::string_view::npos ? LineKind::CommentStart
                : end + 3 == text.size()      ? LineKind::Comment
                                              : LineKind::Other;
  } else if (startsWith(text, "</") && endsWith(text, ">")) {
    std::string_view inside = trimmed(text.substr(2, text.size() - 3)), name;
    if (takeName(&inside, &name) && inside.empty()) line = {LineKind::Close, name};
  } else if (startsWith(text, "<") && endsWith(text, ">")) {
    const bool empty = endsWith(text, "/>");
    std::string_view inside = text.substr(1, text.size() - (empty ? 3 : 2)), name;
    if (takeName(&inside, &name) && parseAttributes(inside, attributes))
      line = {empty ? LineKind::Empty : LineKind::Open, name};
  }
  return line;
}

// The settings of an element line, for the places that name its element;
// the first such element of the file gives them.
void takeSettings(const Line& line, const std::vector<Attribute>& attributes,
                  std::map<std::string, std::string>* settings, std::vector<std::string_view>* seen) {
  for (const std::string_view& element : *seen)
    if (element == line.name) return;
  bool wanted = false;
  for (const SettingPlace& place : PLACES) {
    if (line.name != place.element) continue;
    wanted = true;
    for (const Attribute& attribute : attributes)
      if (attribute.name == place.attribute) (*settings)[place.setting] = decodedValue(attribute.raw);
  }
  if (wanted) seen->push_back(line.name);
}

bool samePort(const std::string& a, const std::string& b) {
  const unsigned first = settingPort(a), second = settingPort(b);
  return first && second ? first == second : a == b;
}

bool sameSetting(const char* setting, const std::string* configured, const std::string* recorded) {
  if (!configured || !recorded) return !configured && !recorded;
  return std::strcmp(setting, "serverName") == 0 ? *configured == *recorded : samePort(*configured, *recorded);
}

const std::string* valueIn(const std::map<std::string, std::string>* values, const char* name) {
  if (!values) return nullptr;
  auto found = values->find(name);
  return found == values->end() ? nullptr : &found->second;
}

}  // namespace

unsigned settingPort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  const unsigned long port = std::stoul(text);
  return port <= 65535 ? static_cast<unsigned>(port) : 0;
}

size_t parseConfiguration(const std::string& text, std::map<std::string, std::string>* settings) {
  enum { Before, Inside, After } place = Before;
  bool inComment = false;
  std::map<std::string, std::string> found;
  std::vector<std::string_view> seen;
  std::vector<Attribute> attributes;
  size_t number = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view lineText(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (inComment) {
      const size_t close = lineText.find("-->");
      if (close != std::string_view::npos) {
        if (!trimmed(lineText.substr(close + 3)).empty()) return number;
        inComment = false;
      }
      continue;
    }
    const Line line = classify(lineText, &attributes);
    switch (line.kind) {
      case LineKind::Blank:
      case LineKind::Comment: continue;
      case LineKind::CommentStart: inComment = true; continue;
      case LineKind::Declaration:
        if (place != Before) return number;
        continue;
      case LineKind::Open:
        if (place != Before || line.name != ROOT_ELEMENT) return number;
        place = Inside;
        continue;
      case LineKind::Empty:
        if (place != Inside) return number;
        takeSettings(line, attributes, &found, &seen);
        continue;
      case LineKind::Close:
        if (place != Inside || line.name != ROOT_ELEMENT) return number;
        place = After;
        continue;
      case LineKind::Other: return number;
    }
  }
  if (place != After || inComment) return number + 1;
  *settings = std::move(found);
  return 0;
}

LiveSettings settleLiveSettings(const std::map<std::string, std::string>* configured,
                                const std::map<std::string, std::string>* recorded) {
  LiveSettings live;
  live.source = configured ? SettingsSource::Configuration : recorded ? SettingsSource::Record : SettingsSource::None;
  const std::map<std::string, std::string>* serving = configured ? configured : recorded;
  for (const char* setting : LIVE_SETTINGS) {
    const std::string* value = valueIn(serving, setting);
    // A port of the configuration that is none (a marker of an unset
    // setting) is no port the server has; the record only holds real ones.
    if (value && !(configured && std::strcmp(setting, "serverName") != 0 && settingPort(*value) == 0))
      live.values[setting] = *value;
    if (configured && recorded &&
        !sameSetting(setting, valueIn(&live.values, setting), valueIn(recorded, setting)))
      live.differing.push_back(setting);
  }
  return live;
}

ReadOutcome readConfigurationAt(int instancesRoot, const std::string& tree,
                                std::map<std::string, std::string>* settings, size_t* malformedLine) {
  std::string text;
  ReadOutcome outcome = readConfigFileAt(instancesRoot, tree, CONFIGURATION_NAME, &text);
  if (outcome) *malformedLine = parseConfiguration(text, settings);
  return outcome;
}

LiveSettings readLiveSettings(int instancesRoot, const InstanceEntry& entry) {
  std::map<std::string, std::string> configured;
  size_t malformedLine = 0;
  ReadOutcome outcome = entry.tree.empty() ? ReadOutcome{ReadRefusal::System, ENOENT}
                                           : readConfigurationAt(instancesRoot, entry.tree, &configured, &malformedLine);
  const bool taken = outcome && malformedLine == 0;
  LiveSettings live = settleLiveSettings(taken ? &configured : nullptr, entry.record ? &entry.answers : nullptr);
  live.configuration = outcome;
  live.malformedLine = malformedLine;
  return live;
}
