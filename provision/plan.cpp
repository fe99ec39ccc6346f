// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/plan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "adminlib/adminlib.h"
#include "confgen/confgen.h"
#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/ownership.h"
#include "instance/on_disk.h"
#include "instance/settings.h"
#include "instance/settings_internal.h"
#include "instance/validate.h"
#include "messages/escape.h"
#include "provision/answers.h"
#include "provision/claim.h"
#include "provision/create.h"
#include "provision/docroot.h"
#include "provision/preflight.h"
#include "provision/scripts.h"
#include "template/token_replacer.h"

namespace {

// The record field of each answer, and its name where a face gives none.
struct AnswerField {
  const char* InstanceRecord::*member;
  const char* name;
};
const AnswerField ANSWER_FIELDS[ANSWER_COUNT] = {
    {nullptr, ""},
    {&InstanceRecord::serverName, "serverName"},
    {&InstanceRecord::port, "port"},
    {&InstanceRecord::serverId, "serverId"},
    {&InstanceRecord::serverUser, "serverUser"},
    {&InstanceRecord::dnsMode, "dnsMode"},
    {&InstanceRecord::docRoot, "docRoot"},
    {&InstanceRecord::jmsPort, "jmsPort"},
    {&InstanceRecord::jmsAdminUser, "jmsAdminUser"},
    {&InstanceRecord::jmsAdminPassword, "jmsAdminPassword"},
    {&InstanceRecord::javaHome, "javaHome"},
};

// The answers that go as they are into configuration files and command
// lines; the ports and the identifier have checks of their own, which
// refuse every control character too.
constexpr Answer TEXT_ANSWERS[] = {Answer::ServerName,   Answer::ServerUser,       Answer::DocRoot, Answer::DnsMode,
                                   Answer::JmsAdminUser, Answer::JmsAdminPassword, Answer::JavaHome};

// What a row establishes for the rows after it. A check-only run passes over
// a row whose facts an earlier problem denied, rather than guess past it.
enum Fact : unsigned {
  ROOT = 1u << 0,          // the server root is an absolute path
  INSTALLATION = 1u << 1,  // it holds an installation; the message bundle is open
  PORTS = 1u << 2,         // the ports are ports
  SERVER_ID = 1u << 3,     // the identifier can name an instance
  ID_FREE = 1u << 4,       // and no instance has it
  ANSWERS = 1u << 5,       // every answer the face asks for was given
  SETTINGS = 1u << 6,      // the installation settings are read
};
constexpr unsigned BUILD = INSTALLATION | SERVER_ID | ANSWERS | SETTINGS;

using Problems = std::vector<Problem>;

// One run of the plan: the face's record, completed by the rows (the
// settings, the password), and what the rows hand on to each other.
struct Plan {
  Plan(const InstanceRecord& given, const FacePolicy& face) : record(given), policy(face) {
    build.record = &record;
    if (record.instancesRoot && record.serverId) build.instanceDir = instanceDirectoryOf(&record);
  }
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;

  InstanceRecord record;
  const FacePolicy& policy;
  std::optional<ScopedMessageBundle> bundle;
  ToolSettings tool;
  Descriptor lock;  // the instances root's, held to the end of the run
  bool passwordTaken = false;  // read once: standard input cannot be read twice
  bool claimed = false;
  InstanceBuild build;
  std::vector<Message> notes;
};

// A text made here rather than by the message bundle, which the first rows
// cannot use yet; the caller has escaped what the user gave in it.
Message textMessage(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) std::abort();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return adoptMessage(copy);
}

void add(Problems& found, Topic topic, Message text, Answer answer = Answer::None) {
  if (text) found.push_back({topic, answer, std::move(text), std::nullopt});
}

Problem creationProblem(Message text) { return {Topic::Creation, Answer::None, std::move(text), std::nullopt}; }

Message inUseMessage(const FacePolicy& policy) {
  return policy.inUseText ? textMessage(policy.inUseText) : errorMessage("ERR_SERVER_ID_IN_USE");
}

const char* valueOf(const Plan& plan, Answer answer) {
  return plan.record.*ANSWER_FIELDS[static_cast<size_t>(answer)].member;
}

// The text a face gives; none when it gives none. A text of the bundle
// needs the bundle: before it is open (the server root's rows), none.
std::optional<std::string> faceText(const FaceText& text) {
  if (text.key && rBundle) return std::string(errorMessage(text.key).get());
  if (text.fixed) return std::string(text.fixed);
  return std::nullopt;
}

std::string labelOf(const Plan& plan, Answer answer) {
  return faceText(plan.policy.answer(answer).label).value_or(ANSWER_FIELDS[static_cast<size_t>(answer)].name);
}

// The title the face gives `problem`: its topic's, else its answer's.
std::optional<std::string> titleOf(const FacePolicy& policy, const Problem& problem) {
  if (const char* title = policy.topic(problem.topic).title) return std::string(title);
  if (problem.answer == Answer::None) return std::nullopt;
  return faceText(policy.answer(problem.answer).title);
}

// True when `answer` was not given and the face refuses that: the problem
// is in `found`. An answer the face does not insist on is left to the
// checks of its value.
bool refusedAsMissing(const Plan& plan, Answer answer, Problems& found) {
  const char* refusal = plan.policy.answer(answer).missingText;
  if (valueOf(plan, answer) || !refusal) return false;
  add(found, Topic::Missing, textMessage(refusal), answer);
  return true;
}

// --- From the server root to the claim ------------------------------------

void checkServerRoot(Plan& plan, Problems& found) {
  const std::string problem = serverRootProblem(&plan.record, plan.policy.rootSource);
  if (!problem.empty()) add(found, Topic::ServerRoot, textMessage(problem));
}

// One line names a root that is no installation: without its bundle there
// are no other texts. The bundle is opened here, once for the run.
void checkInstallation(Plan& plan, Problems& found) {
  const std::string problem = openInstallation(&plan.record, plan.policy.rootSource, &plan.bundle);
  if (!problem.empty()) add(found, Topic::ServerRoot, textMessage(problem));
}

void checkPortAnswers(Plan& plan, Problems& found) {
  for (Answer port : {Answer::Port, Answer::JmsPort}) {
    const char* value = valueOf(plan, port);
    if (refusedAsMissing(plan, port, found) || !value || parsePort(value)) continue;
    add(found, Topic::Port, errorMessage("ERR_BAD_PORT", {value, labelOf(plan, port).c_str()}), port);
  }
}

void checkIdentifier(Plan& plan, Problems& found) {
  if (refusedAsMissing(plan, Answer::ServerId, found)) return;
  const char* id = plan.record.serverId;
  if (plan.policy.digitRefusal && id && std::isdigit(static_cast<unsigned char>(id[0])))
    add(found, Topic::ServerId, textMessage(plan.policy.digitRefusal), Answer::ServerId);
  add(found, Topic::ServerId, checkServerId(id), Answer::ServerId);
}

void checkInUse(Plan& plan, Problems& found) {
  if (serverIdUse(&plan.record) == IdentifierUse::Free) return;
  add(found, Topic::InUse, identifierRefusal(&plan.record, inUseMessage(plan.policy)), Answer::ServerId);
}

void checkGiven(Plan& plan, Problems& found) {
  for (Answer answer : TEXT_ANSWERS) refusedAsMissing(plan, answer, found);
}

// Checked before anything is made, so that a created instance is never
// reported as a failure for want of its page.
void checkResultPage(Plan& plan, Problems& found) {
  if (!plan.policy.resultPage) return;
  const std::string problem = html_template_problem(plan.policy.resultPage);
  if (!problem.empty()) add(found, Topic::Page, textMessage(escapeForTerminal(problem)));
}

// The password of a password file, taken into the plan's record: never an
// argument or an environment value of this process or of any it starts.
void checkPassword(Plan& plan, Problems& found) {
  if (!plan.policy.passwordFile || plan.passwordTaken) return;
  if (plan.record.jmsAdminPassword)
    return add(found, Topic::Answer, errorMessage("ERR_PASSWORD_TWICE"), Answer::JmsAdminPassword);
  std::string password;
  if (Message failure = readPasswordFile(plan.policy.passwordFile, &password))
    return add(found, Topic::Answer, std::move(failure), Answer::JmsAdminPassword);
  plan.record.jmsAdminPassword = INTsystem_strdup(password.c_str());
  plan.passwordTaken = true;
}

void checkSettings(Plan& plan, Problems& found) {
  const std::string problem = applyInstallSettings(plan.record.serverRoot, &plan.record, &plan.tool);
  if (!problem.empty()) add(found, Topic::Settings, textMessage(escapeForTerminal(problem)));
}

// A line end in any of them would add lines of their own to a
// configuration file.
void checkAnswerCharacters(Plan& plan, Problems& found) {
  std::vector<std::string> texts;
  for (Answer answer : TEXT_ANSWERS) texts.push_back(labelOf(plan, answer));
  std::vector<FieldLabel> labels;
  for (size_t i = 0; i < texts.size(); ++i)
    labels.push_back({ANSWER_FIELDS[static_cast<size_t>(TEXT_ANSWERS[i])].member, texts[i].c_str()});
  add(found, Topic::Answer, checkControlCharacters(&plan.record, labels.data(), labels.size(), plan.policy.rootSource));
}

void checkLock(Plan& plan, Problems& found) {
  add(found, Topic::Creation, checkRootOnlyDirectory(plan.record.instancesRoot));
  add(found, Topic::Creation, checkInstancesRootLock(plan.record.instancesRoot));
}

// Held until the run ends, so that nobody takes the ports checked next
// before this run has claimed its identifier and recorded them.
Problem takeLock(Plan& plan) { return creationProblem(lockInstancesRoot(plan.record.instancesRoot, &plan.lock)); }

void checkPortsFree(Plan& plan, Problems& found) {
  add(found, Topic::Ports, portsEqualProblem(&plan.record));
  if (!plan.tool.checkPorts) return;
  for (Message& conflict : portConflicts(&plan.record, &plan.notes)) add(found, Topic::Ports, std::move(conflict));
}

void checkUser(Plan& plan, Problems& found) {
  add(found, Topic::Creation, checkServerUser(plan.record.serverUser, plan.record.instancesRoot));
  add(found, Topic::Creation, checkOwnerIsRunner(plan.record.serverUser));
}

// Apart from the user checks above: it rests on the settings, which may
// allow what it refuses.
void checkRootUser(Plan& plan, Problems& found) {
  const std::string settings = std::string(plan.record.serverRoot) + "/" + SETTINGS_FILE;
  add(found, Topic::Creation,
      checkRootServerUser(plan.record.serverUser, plan.tool.allowRootUser, settings.c_str()), Answer::ServerUser);
}

void checkDocRootAnswer(Plan& plan, Problems& found) {
  add(found, Topic::Creation, checkDocRootPath(plan.record.docRoot));
}

void checkPathLimits(Plan& plan, Problems& found) { add(found, Topic::Creation, instancePathProblem(&plan.record)); }

// --- The instance directory: the claim -------------------------------------

void checkClaim(Plan& plan, Problems& found) { add(found, Topic::Creation, claimProblem(&plan.record)); }

// The one mkdir that makes the instance directory claims the identifier:
// of runs at the same moment with one identifier, one goes on. It is
// marked incomplete at once, until the last row publishes it. Run as root,
// the instance stays root's own until the final hand-over, so that the
// server user cannot swap any of its directories for a link while root is
// still writing into it by name (nor touch the mark); an ordinary user
// hands it over at once.
Problem claim(Plan& plan) {
  Message failure;
  switch (claimInstanceDirectory(&plan.record, &failure)) {
    case ClaimResult::InUse:
      return {Topic::InUse, Answer::ServerId, identifierRefusal(&plan.record, inUseMessage(plan.policy), true),
              std::nullopt};
    case ClaimResult::Failed: return creationProblem(std::move(failure));
    case ClaimResult::Claimed: break;
  }
  plan.claimed = true;
  if ((failure = markClaimedInstance(plan.build))) return creationProblem(std::move(failure));
  if (geteuid() == 0) return {};
  return creationProblem(chownToUser(plan.build.instanceDir.c_str(), plan.record.serverUser));
}

// Every directory the document root's step makes is in the creation mark
// before a kill could hide it, so that a removal can take it back.
Problem fillDocumentRoot(Plan& plan) {
  MakingObserver observer;
  observer.before = [&plan](const std::string& prefix, bool last) {
    return recordMadeDirectory(plan.build, prefix, last, -1);
  };
  observer.made = [&plan](const std::string& prefix, bool last, int directory) {
    return recordMadeDirectory(plan.build, prefix, last, directory);
  };
  return creationProblem(fillDocRoot(&plan.record, &plan.build.docRoot, &observer));
}

// --- The instance ----------------------------------------------------------

void addAll(Problems& found, std::vector<Message> problems) {
  for (Message& problem : problems) add(found, Topic::Creation, std::move(problem));
}

struct Row {
  const char* name;
  unsigned needs;                       // the facts it rests on
  unsigned provides;                    // the facts its check establishes when it finds nothing
  void (*check)(Plan&, Problems&);      // what it must know before it acts; null: nothing
  Problem (*effect)(Plan&);             // what it does; null: a check only
};

// The one order of every face. The form's checks keep the order of its
// fields; the server root comes first (nothing can be said without its
// bundle), then the answers, then what they meet on disk under the lock,
// then the instance.
const Row ROWS[] = {
    {"server root", 0, ROOT, checkServerRoot, nullptr},
    {"installation", ROOT, INSTALLATION, checkInstallation, nullptr},
    {"ports", INSTALLATION, PORTS, checkPortAnswers, nullptr},
    {"identifier", INSTALLATION, SERVER_ID, checkIdentifier, nullptr},
    {"identifier free", INSTALLATION | SERVER_ID, ID_FREE, checkInUse, nullptr},
    {"answers given", INSTALLATION, ANSWERS, checkGiven, nullptr},
    {"result page", INSTALLATION, 0, checkResultPage, nullptr},
    {"password", INSTALLATION, 0, checkPassword, nullptr},
    {"installation settings", INSTALLATION, SETTINGS, checkSettings, nullptr},
    {"answers' characters", INSTALLATION, 0, checkAnswerCharacters, nullptr},
    {"lock", INSTALLATION, 0, checkLock, takeLock},
    {"ports free", INSTALLATION | PORTS | SETTINGS, 0, checkPortsFree, nullptr},
    {"server user", INSTALLATION | ANSWERS, 0, checkUser, nullptr},
    {"root server user", INSTALLATION | ANSWERS | SETTINGS, 0, checkRootUser, nullptr},
    {"document root path", INSTALLATION | ANSWERS, 0, checkDocRootAnswer, nullptr},
    {"path lengths", BUILD, 0, checkPathLimits, nullptr},
    {"instance directory", BUILD | ID_FREE, 0, checkClaim, claim},
    {"subdirectories", BUILD, 0, nullptr,
     [](Plan& p) { return creationProblem(makeSubdirectories(p.build)); }},
    {"control scripts", BUILD, 0,
     [](Plan& p, Problems& found) {
       add(found, Topic::Creation, checkScriptGenerator(&p.record, p.build.instanceDir.c_str()));
     },
     [](Plan& p) { return creationProblem(runScriptGenerator(&p.record, p.build.instanceDir.c_str())); }},
    {"backup catalogue", BUILD, 0, nullptr, [](Plan& p) { return creationProblem(openCatalogue(p.build)); }},
    {"configuration", BUILD, 0, [](Plan& p, Problems& found) { addAll(found, configurationProblems(&p.record)); },
     [](Plan& p) { return creationProblem(writeConfiguration(p.build)); }},
    {"template copies", BUILD, 0, [](Plan& p, Problems& found) { addAll(found, copyProblems(&p.record)); },
     [](Plan& p) { return creationProblem(copyTemplates(p.build)); }},
    {"answers record", BUILD, 0, nullptr,
     [](Plan& p) { return creationProblem(writeAnswers(&p.record, p.build.instanceDir)); }},
    {"document root", BUILD, 0, [](Plan& p, Problems& found) { addAll(found, docRootProblems(&p.record)); },
     fillDocumentRoot},
    {"backup catalogue written", BUILD, 0, nullptr, [](Plan& p) { return creationProblem(closeCatalogue(p.build)); }},
    {"permissions", BUILD, 0, nullptr, [](Plan& p) { return creationProblem(narrowPermissions(p.build)); }},
    {"hand-over", BUILD, 0, nullptr, [](Plan& p) { return creationProblem(handOverInstance(p.build)); }},
    {"sync", BUILD, 0, nullptr, [](Plan& p) { return creationProblem(syncFileSystems(p.build)); }},
    {"publication", BUILD, 0, nullptr, [](Plan& p) { return creationProblem(publishInstance(p.build)); }},
};

bool listed(const Problems& problems, const Problem& problem) {
  for (const Problem& known : problems)
    if (std::strcmp(known.text.get(), problem.text.get()) == 0) return true;
  return false;
}

// How the run names the setting that fills `token`: the face's label of
// its answer, else its name in the installation settings, else the
// token's own name.
std::string settingName(const Plan& plan, const TemplateToken& token) {
  for (size_t i = 1; i < ANSWER_COUNT; ++i)
    if (ANSWER_FIELDS[i].member == token.field) return labelOf(plan, static_cast<Answer>(i));
  for (size_t i = 0; i < INSTALL_SETTING_COUNT; ++i)
    if (installSettingField(i) == token.field) return installSettingName(i);
  return token.name;
}

// A server.xml that keeps a marker lacks a setting its server needs: the
// run says which, and where to give it.
Message unsetSettingsNote(const Plan& plan) {
  std::string named;
  for (const TemplateToken& token : unsetServerXmlTokens(&plan.record)) {
    const std::string marker =
        std::string(TokenReplacer::DEFAULT_TOKEN_DELIMITER) + token.name + TokenReplacer::DEFAULT_TOKEN_DELIMITER;
    named += (named.empty() ? "" : ", ") + settingName(plan, token) + " (" + marker + ")";
  }
  if (named.empty()) return Message();
  const std::string file = plan.build.instanceDir + "/config/server.xml";
  return errorMessage("ERR_UNSET_SETTINGS", {named.c_str(), file.c_str()});
}

PlanResult checkOnly(Plan& plan) {
  PlanResult result;
  unsigned facts = 0;
  for (const Row& row : ROWS) {
    if ((facts & row.needs) != row.needs || !row.check) continue;
    Problems found;
    row.check(plan, found);
    if (found.empty()) facts |= row.provides;
    for (Problem& problem : found) {
      if (listed(result.problems, problem)) continue;
      problem.title = titleOf(plan.policy, problem);
      result.problems.push_back(std::move(problem));
    }
  }
  result.notes = std::move(plan.notes);
  // A refused run makes no server.xml: a note on its markers would only
  // send the reader to a file that will not exist.
  if (result.problems.empty()) {
    if ((facts & BUILD) == BUILD) result.unsetSettings = unsetSettingsNote(plan);
    result.conclusion = errorMessage("ERR_CHECK_PASSED", {plan.build.instanceDir.c_str()});
  }
  return result;
}

// A failed creation never leaves the identifier blocked: its remains are
// removed when empty, else set aside, and the message says where.
Problem abandon(Plan& plan, Problem problem) {
  if (!plan.claimed) return problem;
  plan.build.catalogue.reset();
  plan.build.instance.reset();
  Message where = setAsideInstance(&plan.record);
  if (where) problem.text = textMessage(std::string(problem.text.get()) + "\n" + where.get());
  return problem;
}

// The first problem of the rows in order: of each row's check and, when
// `act`, of its effect right after it.
Problem firstProblem(Plan& plan, bool act) {
  for (const Row& row : ROWS) {
    Problems found;
    if (row.check) row.check(plan, found);
    if (!found.empty()) return std::move(found.front());
    if (!act || !row.effect) continue;
    if (Problem problem = row.effect(plan)) return problem;
  }
  return Problem();
}

// Every row is checked once before anything is made, so that what a
// check-only run would refuse leaves nothing behind; then row by row, each
// is checked again on the world the rows before it made, and applied.
PlanResult create(Plan& plan) {
  PlanResult result;
  Problem problem = firstProblem(plan, false);
  if (!problem) problem = firstProblem(plan, true);
  if (!problem) {
    result.unsetSettings = unsetSettingsNote(plan);
    return result;
  }
  problem.title = titleOf(plan.policy, problem);
  result.problems.push_back(abandon(plan, std::move(problem)));
  return result;
}

}  // namespace

// Its texts cannot come from the message bundle: the bundle lives in the
// server root.
std::string serverRootProblem(const InstanceRecord* record, const char* source) {
  const std::string root = record->serverRoot ? record->serverRoot : "";
  const std::string character = firstControlCharacter(root.c_str());
  if (!character.empty())
    return std::string("The value of \"") + source + "\" contains the control character " + character +
           ", which is not allowed.";
  if (root[0] == '/') return std::string();
  return "The server root \"" + escapeForTerminal(root) + "\" given by " + source +
         " is not an absolute path; it must name the installation directory, beginning with /.";
}

std::string openInstallation(const InstanceRecord* record, const char* source,
                             std::optional<ScopedMessageBundle>* bundle) {
  const std::string root = record->serverRoot ? record->serverRoot : "";
  const std::string shown = escapeForTerminal(root);
  const std::string named = "The server root " + shown + " given by " + source;
  struct stat status;
  int error = stat(root.c_str(), &status) != 0 ? errno : S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
  if (error != 0) return named + " is not a directory: " + std::strerror(error) + ".";
  for (const char* part : {"/lib/messages/httpconf/root.res", "/lib/install/templates"}) {
    if (stat((root + part).c_str(), &status) != 0)
      return named + " is not an installation: it has no " + shown + part + ".";
  }
  if (!*bundle) bundle->emplace(root.c_str());
  if (rBundle) return std::string();
  bundle->reset();
  return named + " is not an installation: its message bundle " + shown +
         "/lib/messages/httpconf cannot be opened.";
}

ProblemNaming nameProblem(const Problem& problem, const FacePolicy& policy) {
  const TopicPolicy& topic = policy.topic(problem.topic);
  return {problem.title ? problem.title->c_str() : nullptr, topic.type, topic.status};
}

std::string problemLine(const Problem& problem, const FacePolicy& policy) {
  const char* title = nameProblem(problem, policy).title;
  return (title ? std::string(title) + ": " : std::string()) + problem.text.get();
}

PlanResult runCreationPlan(const InstanceRecord& record, const FacePolicy& policy, Runner runner) {
  if (record.createRequested == 0 && record.selectedPackages[0] == 0) return PlanResult();
  umask(022);
  Plan plan(record, policy);
  if (runner == Runner::Check) return checkOnly(plan);
  enableJava = 1;
  return create(plan);
}
