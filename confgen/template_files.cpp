// SPDX-License-Identifier: GPL-3.0-or-later
// config/server.xml and config/mirel-acc.xml, expanded from the
// installation's templates. Values are XML-escaped before they are
// registered: a document root such as /srv/R&D must not break the file, nor
// a quote let a value out of its attribute.
#include <optional>
#include <vector>

#include "confgen/confgen.h"
#include "confgen/writer_support.h"
#include "fsutil/files.h"
#include "template/token_replacer.h"

namespace {

struct TokenSource {
  const char* name;
  const char* value;  // null: the token stays as the template writes it
  bool escape;        // false for the fixed texts, which need none
};

// A token of a template: its value is a field of the record, or a fixed
// text when `field` is null.
struct TokenField {
  const char* name;
  const char* InstanceRecord::*field;
  const char* fixed;
};

constexpr TokenField SERVER_XML_TOKENS[] = {
    {"FILE_PREFIX", nullptr, "file:"},
    {"SERVER_ROOT", &InstanceRecord::serverRoot, nullptr},
    {"HTTP_PORT", &InstanceRecord::port, nullptr},
    {"SERVER_NAME", &InstanceRecord::serverName, nullptr},
    {"SERVER_ID", &InstanceRecord::serverId, nullptr},
    // The directory that holds the instance, not the instance itself.
    {"INSTANCE_ROOT", &InstanceRecord::instancesRoot, nullptr},
    {"DEFAULT_DOC_ROOT", &InstanceRecord::docRoot, nullptr},
    {"JMS_SERVICE_PORT", &InstanceRecord::jmsPort, nullptr},
    {"JMS_SERVICE_USER_NAME", &InstanceRecord::jmsAdminUser, nullptr},
    {"JMS_SERVICE_PASSWORD", &InstanceRecord::jmsAdminPassword, nullptr},
    {"JAVA_HOME", &InstanceRecord::javaHome, nullptr},
    {"QBUS_BIN", &InstanceRecord::qbusBin, nullptr},
    {"QBUS_LIB", &InstanceRecord::qbusLib, nullptr},
    {"DEFAULT_LOCALE", &InstanceRecord::defaultLocale, nullptr},
    {"WEBSERVICES_LIB", &InstanceRecord::webServicesLib, nullptr},
    {"ORB_LISTENER1_PORT", &InstanceRecord::orbListenerPort, nullptr},
    {"INSTALL_CONFIG_ROOT", &InstanceRecord::installConfigRoot, nullptr},
    {"JAVA_SEP", nullptr, ":"},
};

constexpr TokenField ACC_XML_TOKENS[] = {
    {"SERVER_ROOT", &InstanceRecord::serverRoot, nullptr},
    {"SERVER_NAME", &InstanceRecord::serverName, nullptr},
    {"ORB_LISTENER1_PORT", &InstanceRecord::orbListenerPort, nullptr},
    {"JAVA_SEP", nullptr, ":"},
    {"FILE_PREFIX", nullptr, "file:"},
};

// The values `record` gives the tokens of a table; the record's values are
// escaped, the fixed texts need no escaping.
template <size_t N>
std::vector<TokenSource> tokenSources(const TokenField (&table)[N], const InstanceRecord* record) {
  std::vector<TokenSource> tokens;
  for (const TokenField& token : table)
    tokens.push_back(token.field ? TokenSource{token.name, record->*token.field, true}
                                 : TokenSource{token.name, token.fixed, false});
  return tokens;
}

struct TemplateFile {
  const char* templateName;  // below <serverRoot>/lib/install/templates
  const char* fileName;      // below <instanceDir>/config and config/backup
  const char* failureName;   // named by ERR_CREATE_BACKUP
};

// The escaped values; the replacer borrows them, so they must outlive it.
std::vector<std::optional<std::string>> escapedValues(const std::vector<TokenSource>& tokens) {
  std::vector<std::optional<std::string>> values;
  values.reserve(tokens.size());
  for (const TokenSource& token : tokens) {
    if (!token.value)
      values.emplace_back();
    else
      values.emplace_back(token.escape ? xmlEscape(token.value) : std::string(token.value));
  }
  return values;
}

// Expands the template into the target. Empty on success, else the text the
// replacer threw; the replacer and its files are gone when this returns.
std::optional<std::string> expandTemplate(const std::string& templatePath, const std::string& target,
                                          const std::vector<TokenSource>& tokens) {
  std::vector<std::optional<std::string>> values = escapedValues(tokens);
  try {
    TokenReplacer replacer(templatePath.c_str(), target.c_str());
    for (size_t i = 0; i < tokens.size(); ++i)
      replacer.addToken(tokens[i].name, values[i] ? values[i]->c_str() : nullptr);
    replacer.replaceTokens();
  } catch (const char* text) {
    return std::string(text ? text : "");
  }
  return std::nullopt;
}

Message writeFromTemplate(const InstanceRecord* record, BackupCatalogue* catalogue, const TemplateFile& file,
                          const std::vector<TokenSource>& tokens) {
  std::string instanceDir = instanceDirectory(record->instancesRoot, record->serverId);
  std::string templatePath = formatString("%s/lib/install/templates/%s", record->serverRoot, file.templateName);
  std::string target = formatString("%s/config/%s", instanceDir.c_str(), file.fileName);
  if (std::optional<std::string> failure = expandTemplate(templatePath, target, tokens))
    return errorMessage("ERR_CREATE_MESG", {target.c_str(), failure->c_str()});
  return backUpAndRecord(catalogue, target, formatString("%s/config/backup/%s", instanceDir.c_str(), file.fileName),
                         target + "\n", file.failureName);
}

constexpr TemplateFile SERVER_XML = {"server.xml.template", "server.xml", "server.xml"};
// The failure message names the file with an underscore, as it always has.
constexpr TemplateFile ACC_XML = {"mirel-acc.xml.template", "mirel-acc.xml", "mirel_acc.xml"};

// The message writeFromTemplate fails with when its template cannot be
// opened as the replacer opens it, for reading; checked before the writer
// runs, a template that is not a regular file (a FIFO would block the
// replacer for ever) is refused the same way.
Message templateProblem(const InstanceRecord* record, const TemplateFile& file) {
  std::string templatePath = formatString("%s/lib/install/templates/%s", record->serverRoot, file.templateName);
  Descriptor opened;
  RegularFile found = openRegularFile(templatePath.c_str(), &opened);
  if (found == RegularFile::Opened) return Message();
  std::string target = formatString("%s/config/%s",
                                    instanceDirectory(record->instancesRoot, record->serverId).c_str(), file.fileName);
  const char* key = found == RegularFile::Irregular ? "ERR_IRREGULAR_FILE" : "ERR_OPEN_TEMPLATE_FILE";
  Message reason = errorMessage(key, {templatePath.c_str()});
  return errorMessage("ERR_CREATE_MESG", {target.c_str(), reason.get()});
}

}  // namespace

Message checkTemplateWriters(const InstanceRecord* record) {
  if (Message problem = templateProblem(record, SERVER_XML)) return problem;
  return templateProblem(record, ACC_XML);
}

Message writeServerXml(const InstanceRecord* record, BackupCatalogue* catalogue) {
  return writeFromTemplate(record, catalogue, SERVER_XML, tokenSources(SERVER_XML_TOKENS, record));
}

Message writeAccXml(const InstanceRecord* record, BackupCatalogue* catalogue) {
  return writeFromTemplate(record, catalogue, ACC_XML, tokenSources(ACC_XML_TOKENS, record));
}

std::vector<TemplateToken> unsetServerXmlTokens(const InstanceRecord* record) {
  std::vector<TemplateToken> unset;
  for (const TokenField& token : SERVER_XML_TOKENS)
    if (token.field && !(record->*token.field)) unset.push_back({token.name, token.field});
  return unset;
}
