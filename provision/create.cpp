#include "provision/create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unicode/uloc.h>

#include "backup/catalogue.h"
#include "confgen/confgen.h"
#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/files.h"
#include "fsutil/ownership.h"
#include "instance/validate.h"
#include "provision/answers.h"
#include "provision/docroot.h"
#include "provision/scripts.h"

int enableJava = 1;

namespace {

constexpr mode_t DIRECTORY_MODE = 0755;
constexpr mode_t CONFIG_DIRECTORY_MODE = 0700;  // the JMS password and key file land here
constexpr mode_t COPY_MODE = 0644;

struct CatalogueDiscarder {
  void operator()(BackupCatalogue* catalogue) const { discardBackupCatalogue(catalogue); }
};
// An open catalogue that is released without being written unless closed.
using CatalogueHolder = std::unique_ptr<BackupCatalogue, CatalogueDiscarder>;

std::string templatePath(const InstanceRecord* record, const char* name) {
  return std::string(record->serverRoot) + "/lib/install/templates/" + name;
}

Message systemFailure(const char* key, const std::string& path, int error) {
  return errorMessage(key, {path.c_str(), std::strerror(error)});
}

// Run as root, the instance stays root's own until the final hand-over, so
// that the server user cannot swap any of its directories for a link while
// root is still writing into it by name. An ordinary user hands it over at
// once: a wrong user then fails before anything else is made.
Message makeInstanceDirectory(const std::string& instanceDir, const InstanceRecord* record) {
  if (makeDirectory(instanceDir.c_str(), DIRECTORY_MODE) != 0)
    return systemFailure("ERR_MKDIR_FAILURE", instanceDir, errno);
  if (geteuid() == 0) return {};
  Message failure = chownToUser(instanceDir.c_str(), record->serverUser);
  if (failure) rmdir(instanceDir.c_str());
  return failure;
}

Message makeSubdirectories(const std::string& instanceDir) {
  static const struct {
    const char* name;
    mode_t mode;
  } subdirectories[] = {
      {"config", CONFIG_DIRECTORY_MODE},
      {"config/backup", DIRECTORY_MODE},
      {"logs", DIRECTORY_MODE},
      {"lib", DIRECTORY_MODE},
      {"bin", DIRECTORY_MODE},
      {"applications", DIRECTORY_MODE},
      {"applications/j2ee-apps", DIRECTORY_MODE},
      {"applications/j2ee-modules", DIRECTORY_MODE},
      {"applications/lifecycle-modules", DIRECTORY_MODE},
  };
  for (const auto& sub : subdirectories) {
    std::string path = instanceDir + "/" + sub.name;
    if (makeDirectory(path.c_str(), sub.mode) != 0) return systemFailure("ERR_MKDIR_FAILURE", path, errno);
  }
  return {};
}

Message createEmptyFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return systemFailure("ERR_FILE_WRITE", path, errno);
  if (close(fd) != 0) return systemFailure("ERR_FILE_WRITE", path, errno);
  return {};
}

Message openCatalogue(const InstanceRecord* record, const std::string& instanceDir, CatalogueHolder* catalogue) {
  std::string path = instanceDir + "/config/backup/backups.conf";
  if (Message failure = createEmptyFile(path)) return failure;
  catalogue->reset(openBackupCatalogue(record->serverRoot, path.c_str()));
  if (!*catalogue) return errorMessage("ERR_CREATE_BACKUP_TREE");
  return {};
}

Message writeConfiguration(const InstanceRecord* record, BackupCatalogue* catalogue) {
  for (auto writer : {writeInitConf, writeObjConf, writeServerXml, writeAccXml}) {
    if (Message failure = writer(record, catalogue)) return failure;
  }
  return {};
}

Message copyTemplate(const InstanceRecord* record, const char* name, const std::string& destination) {
  return copyFile(templatePath(record, name).c_str(), destination.c_str(), COPY_MODE);
}

Message writeDbSwitchFile(const InstanceRecord* record, const std::string& instanceDir) {
  std::string path = instanceDir + "/config/dbswitch.conf";
  FILE* file = std::fopen(path.c_str(), "we");
  if (!file) return errorMessage("ERR_CREATE_DBSWITCH_CONF");
  int error = writeDbSwitch(file, record->directoryUrl, record->directoryBase, record->directoryBindDn,
                            record->directoryBindPassword);
  if (std::fclose(file) != 0 && error == 0) error = errno;
  if (error != 0) return systemFailure("ERR_FILE_WRITE", path, error);
  return {};
}

// The templates copyTemplates copies, each once.
constexpr const char* COPIED_TEMPLATES[] = {"certmap.conf", "mime.types", "default-web.xml",
                                            "login.conf",   "server.policy", "keyfile"};

Message copyTemplates(const InstanceRecord* record, const std::string& instanceDir, BackupCatalogue* catalogue) {
  const std::string config = instanceDir + "/config/";
  if (Message failure = chownAclFiles(record->serverRoot, record->serverId, record->serverUser)) return failure;
  if (Message failure = copyTemplate(record, "certmap.conf", config + "certmap.conf")) return failure;
  if (Message failure = writeDbSwitchFile(record, instanceDir)) return failure;
  if (Message failure = copyTemplate(record, "mime.types", config + "mime.types")) return failure;
  if (Message failure = copyTemplate(record, "mime.types", config + "backup/mime.types")) return failure;
  for (const char* name : {"default-web.xml", "login.conf", "server.policy", "keyfile"}) {
    if (Message failure = copyTemplate(record, name, config + name)) return failure;
  }
  const std::string keyfileBackup = config + "backup/keyfile";
  if (Message failure = copyTemplate(record, "keyfile", keyfileBackup)) return failure;
  const std::string description = config + "keyfile\n";
  if (recordBackupFile(catalogue, nullptr, keyfileBackup.c_str(), description.c_str(), nullptr) != 0)
    return errorMessage("ERR_KEYFILE_BACKUP");
  return {};
}

Message narrowPermissions(const std::string& instanceDir) {
  for (const char* tree : {"/config", "/applications"}) {
    if (chmodConfigTree((instanceDir + tree).c_str()) != 0) return errorMessage("ERR_CHMOD_CONFIG");
  }
  return {};
}

// What root runs or reads to operate the instance stays root's: the
// instance directory itself (so that none of its entries can be renamed or
// replaced) and bin with the control scripts. The rest is the server's.
Message handOverInstance(const InstanceRecord* record, const std::string& instanceDir) {
  if (geteuid() != 0) return {};
  Descriptor directory(open(instanceDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) return systemFailure("ERR_CHANGE_OWNER", instanceDir, errno);
  return chownEntriesToUserAt(record->serverUser, directory.get(), instanceDir.c_str(), {"bin"});
}

// A crash right after the success report must not leave empty files behind.
Message syncFileSystems(const InstanceRecord* record, const std::string& instanceDir) {
  struct stat instanceStatus, docRootStatus;
  bool separateDocRoot = stat(instanceDir.c_str(), &instanceStatus) == 0 &&
                         stat(record->docRoot, &docRootStatus) == 0 && docRootStatus.st_dev != instanceStatus.st_dev;
  for (const std::string& path : {instanceDir, std::string(separateDocRoot ? record->docRoot : "")}) {
    if (path.empty()) continue;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return systemFailure("ERR_FILE_WRITE", path, errno);
    int result = syncfs(fd);
    int error = errno;
    close(fd);
    if (result != 0) return systemFailure("ERR_FILE_WRITE", path, error);
  }
  return {};
}

// A creation under way: the record, where it builds, and its open catalogue.
struct Creation {
  const InstanceRecord* record;
  std::string instanceDir;
  CatalogueHolder catalogue;
};

using Problems = std::vector<Message>;

void note(Problems& problems, Message message) {
  if (message) problems.push_back(std::move(message));
}

// Whether a check runs for the creation itself or for a plan: the front
// ends check the identifier and the answers' characters with their own
// labels, so a plan leaves those to them.
enum class Purpose { Create, Plan };

void checkRecord(const Creation& c, Purpose purpose, Problems& problems) {
  if (purpose == Purpose::Create) return note(problems, validateInstance(c.record));
  note(problems, checkServerUser(c.record->serverUser));
  note(problems, checkDocRootPath(c.record->docRoot));
}

void checkInstanceDirectory(const Creation& c, Purpose, Problems& problems) {
  note(problems, checkRootOnlyDirectory(c.record->instancesRoot));
  note(problems, checkOwnerIsRunner(c.record->serverUser));
}

void checkScripts(const Creation& c, Purpose, Problems& problems) {
  note(problems, checkScriptGenerator(c.record, c.instanceDir.c_str()));
}

void checkWriters(const Creation& c, Purpose, Problems& problems) {
  note(problems, checkInitConfSources(c.record));
  note(problems, checkTemplateWriters(c.record));
}

void checkCopies(const Creation& c, Purpose, Problems& problems) {
  note(problems, checkAclFiles(c.record->serverRoot, c.record->serverId));
  for (const char* name : COPIED_TEMPLATES) note(problems, checkCopySource(templatePath(c.record, name).c_str()));
}

// populateDocRoot makes this very check itself, right before it writes.
void checkDocRoot(const Creation& c, Purpose purpose, Problems& problems) {
  if (purpose == Purpose::Create) return;
  for (Message& problem : docRootProblems(c.record)) problems.push_back(std::move(problem));
}

// One step of the creation: what it must know before it writes anything
// (the same check for a creation and for a plan, so that a plan cannot
// promise what the creation would refuse), and what it does.
struct Step {
  void (*check)(const Creation&, Purpose, Problems&);  // null: nothing to know beforehand
  Message (*apply)(Creation&);
};

const Step STEPS[] = {
    {checkRecord, nullptr},
    {checkInstanceDirectory, [](Creation& c) { return makeInstanceDirectory(c.instanceDir, c.record); }},
    {nullptr, [](Creation& c) { return makeSubdirectories(c.instanceDir); }},
    {checkScripts, [](Creation& c) { return runScriptGenerator(c.record, c.instanceDir.c_str()); }},
    {nullptr, [](Creation& c) { return openCatalogue(c.record, c.instanceDir, &c.catalogue); }},
    {checkWriters, [](Creation& c) { return writeConfiguration(c.record, c.catalogue.get()); }},
    {checkCopies, [](Creation& c) { return copyTemplates(c.record, c.instanceDir, c.catalogue.get()); }},
    {nullptr, [](Creation& c) { return writeAnswers(c.record, c.instanceDir); }},
    {checkDocRoot, [](Creation& c) { return populateDocRoot(c.record); }},
    {nullptr, [](Creation& c) { return closeBackupCatalogue(c.catalogue.release()); }},
    {nullptr, [](Creation& c) { return narrowPermissions(c.instanceDir); }},
    {nullptr, [](Creation& c) { return handOverInstance(c.record, c.instanceDir); }},
    {nullptr, [](Creation& c) { return syncFileSystems(c.record, c.instanceDir); }},
};

Creation startCreation(const InstanceRecord* record) {
  return {record, std::string(record->instancesRoot) + "/" + record->serverId, CatalogueHolder()};
}

Message buildInstance(const InstanceRecord* record) {
  Creation creation = startCreation(record);
  for (const Step& step : STEPS) {
    if (step.check) {
      Problems problems;
      step.check(creation, Purpose::Create, problems);
      if (!problems.empty()) return std::move(problems.front());
    }
    if (step.apply) {
      if (Message failure = step.apply(creation)) return failure;
    }
  }
  return {};
}

}  // namespace

Message createInstance(const InstanceRecord* record, int javaFlag) {
  enableJava = javaFlag;
  ScopedMessageBundle bundle(record->serverRoot);
  if (record->createRequested == 0 && record->selectedPackages[0] == 0) return {};
  return buildInstance(record);
}

std::vector<Message> planCreation(const InstanceRecord* record) {
  Creation creation = startCreation(record);
  Problems problems;
  for (const Step& step : STEPS)
    if (step.check) step.check(creation, Purpose::Plan, problems);
  return problems;
}
