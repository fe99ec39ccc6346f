// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/listing.h"

#include <pwd.h>

#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

#include "messages/escape.h"

namespace {

const char NOT_KNOWN[] = "-";

const std::string* answer(const InstanceInfo& info, const char* name) {
  auto found = info.entry.answers.find(name);
  return found == info.entry.answers.end() ? nullptr : &found->second;
}

// A port of the record as a number: 1 to 65535 written in decimal, else none.
long portNumber(const std::string* text) {
  if (!text || text->empty() || text->size() > 5 || text->find_first_not_of("0123456789") != std::string::npos)
    return 0;
  long port = std::strtol(text->c_str(), nullptr, 10);
  return port <= 65535 ? port : 0;
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
    return value && !value->empty() ? visible(*value) : std::string(NOT_KNOWN);
  };
  return {visible(info.entry.id), cell("serverName"), cell("port"),        cell("jmsPort"),
          visible(instanceUser(info)), stateText(info), cell("docRoot")};
}

nlohmann::ordered_json textOrNull(const std::string* text) { return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(); }

nlohmann::ordered_json portOrNull(const std::string* text) {
  long port = portNumber(text);
  return port ? nlohmann::ordered_json(port) : nlohmann::ordered_json();
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
  return table;
}

std::string formatJson(const std::vector<InstanceInfo>& instances) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const InstanceInfo& info : instances) {
    array.push_back({{"id", info.entry.id},
                     {"server_name", textOrNull(answer(info, "serverName"))},
                     {"port", portOrNull(answer(info, "port"))},
                     {"jms_port", portOrNull(answer(info, "jmsPort"))},
                     {"user", instanceUser(info)},
                     {"docroot", textOrNull(answer(info, "docRoot"))},
                     {"state", stateName(info.state)},
                     {"pid", info.pid ? nlohmann::ordered_json(info.pid) : nlohmann::ordered_json()},
                     {"java_home", textOrNull(answer(info, "javaHome"))},
                     {"jms_admin", textOrNull(answer(info, "jmsAdminUser"))}});
  }
  // A record's bytes need not be UTF-8: they are replaced rather than
  // failing the whole listing. Everything but printable ASCII is written
  // as a \u escape, so that the text is safe on a terminal and means the
  // same to a JSON reader.
  return array.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
