// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/listing.h"

#include <pwd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>

#include <nlohmann/json.hpp>

#include "messages/escape.h"

namespace {

const char NOT_KNOWN[] = "-";

// The JSON keys of the settings taken from the configuration.
const std::pair<const char*, const char*> LIVE_KEYS[] = {
    {"serverName", "server_name"}, {"port", "port"}, {"jmsPort", "jms_port"}};

const char DIFFERS_MARK[] = "*";
const char DIFFERS_LEGEND[] =
    "* differs from the record config/answers.conf: config/server.xml was changed after the creation; "
    "see instancectl(8).\n";

bool isLiveSetting(const char* name) {
  return std::any_of(std::begin(LIVE_SETTINGS), std::end(LIVE_SETTINGS),
                     [&](const char* setting) { return std::strcmp(setting, name) == 0; });
}

// A value the instance runs with (instance/live_config.h) or, for the
// others, as the record holds it; null when not known.
const std::string* answer(const InstanceInfo& info, const char* name) {
  const std::map<std::string, std::string>& values = isLiveSetting(name) ? info.live.values : info.entry.answers;
  auto found = values.find(name);
  return found == values.end() ? nullptr : &found->second;
}

bool differs(const InstanceInfo& info, const char* name) {
  const std::vector<std::string>& differing = info.live.differing;
  return std::find(differing.begin(), differing.end(), name) != differing.end();
}

bool anyDiffers(const std::vector<InstanceInfo>& instances) {
  return std::any_of(instances.begin(), instances.end(),
                     [](const InstanceInfo& info) { return !info.live.differing.empty(); });
}

// The keys of the settings whose configuration and record disagree; null
// when the two could not be compared (either file could not be read).
nlohmann::ordered_json differingKeys(const InstanceInfo& info) {
  if (info.live.source != SettingsSource::Configuration || !info.entry.record) return nlohmann::ordered_json();
  nlohmann::ordered_json keys = nlohmann::ordered_json::array();
  for (const auto& [setting, key] : LIVE_KEYS)
    if (differs(info, setting)) keys.push_back(key);
  return keys;
}

std::string ownerName(uid_t uid) {
  static std::map<uid_t, std::string> names;  // many instances share few owners
  auto known = names.find(uid);
  if (known != names.end()) return known->second;
  const passwd* entry = getpwuid(uid);
  return names[uid] = entry ? entry->pw_name : std::to_string(uid);
}

// A cell: whatever the server user wrote, shown without a control character.
std::string visible(const std::string& text) { return escapeForTerminal(text); }

// Characters, not bytes, so that names in UTF-8 keep the columns aligned;
// the text is escaped already, so it holds no control character.
size_t displayWidth(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) width += (c & 0xC0) != 0x80;
  return width;
}

std::string stateText(const InstanceInfo& info) {
  std::string text = stateName(info.state);
  if (info.pid) text += " (" + std::to_string(info.pid) + ")";
  return text;
}

std::vector<std::string> rowOf(const InstanceInfo& info) {
  auto cell = [&](const char* name) {
    const std::string* value = answer(info, name);
    std::string text = value && !value->empty() ? visible(*value) : std::string(NOT_KNOWN);
    return differs(info, name) ? text + DIFFERS_MARK : text;
  };
  return {visible(info.entry.id), cell("serverName"), cell("port"),        cell("jmsPort"),
          visible(instanceUser(info)), stateText(info), cell("docRoot")};
}

nlohmann::ordered_json textOrNull(const std::string* text) { return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(); }

nlohmann::ordered_json portOrNull(const std::string* text) {
  const unsigned port = text ? settingPort(*text) : 0;
  return port ? nlohmann::ordered_json(port) : nlohmann::ordered_json();
}

// The object of one instance in the listing.
nlohmann::ordered_json jsonOf(const InstanceInfo& info) {
  return {{"id", info.entry.id},
          {"server_name", textOrNull(answer(info, "serverName"))},
          {"port", portOrNull(answer(info, "port"))},
          {"jms_port", portOrNull(answer(info, "jmsPort"))},
          {"user", instanceUser(info)},
          {"docroot", textOrNull(answer(info, "docRoot"))},
          {"state", stateName(info.state)},
          {"pid", info.pid ? nlohmann::ordered_json(info.pid) : nlohmann::ordered_json()},
          {"java_home", textOrNull(answer(info, "javaHome"))},
          {"jms_admin", textOrNull(answer(info, "jmsAdminUser"))},
          {"config_differs", differingKeys(info)}};
}

// A record's bytes need not be UTF-8: they are replaced rather than
// failing the whole listing. Everything but printable ASCII is written as a
// \u escape, so that the text is safe on a terminal and means the same to a
// JSON reader.
std::string dumped(const nlohmann::ordered_json& value) {
  return value.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string instanceUser(const InstanceInfo& info) { return ownerName(info.entry.owner); }

std::string formatTable(const std::vector<InstanceInfo>& instances, bool withHeader) {
  const std::vector<std::string> headings = {"ID", "SERVER NAME", "PORT", "JMS PORT", "USER", "STATE", "DOCUMENT ROOT"};
  std::vector<std::vector<std::string>> rows;
  if (withHeader) rows.push_back(headings);
  for (const InstanceInfo& info : instances) rows.push_back(rowOf(info));
  std::vector<size_t> widths(headings.size(), 0);
  for (const auto& row : rows)
    for (size_t column = 0; column < row.size(); ++column)
      widths[column] = std::max(widths[column], displayWidth(row[column]));
  std::string table;
  for (const auto& row : rows) {
    for (size_t column = 0; column < row.size(); ++column) {
      table += row[column];
      if (column + 1 == row.size()) break;
      table += std::string(widths[column] - displayWidth(row[column]) + 2, ' ');
    }
    table += '\n';
  }
  if (withHeader && anyDiffers(instances)) table += DIFFERS_LEGEND;
  return table;
}

std::string formatJson(const std::vector<InstanceInfo>& instances) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const InstanceInfo& info : instances) array.push_back(jsonOf(info));
  return dumped(array);
}

std::string formatJsonObject(const InstanceInfo& info) { return dumped(jsonOf(info)); }
