// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "confgen/confgen.h"
#include "fsutil/files.h"
#include "fsutil/ownership.h"

int enableJava = 1;

namespace {

constexpr mode_t DIRECTORY_MODE = 0755;
constexpr mode_t CONFIG_DIRECTORY_MODE = 0700;  // the JMS password and key file land here
constexpr mode_t COPY_MODE = 0644;
constexpr mode_t CATALOGUE_MODE = 0644;

std::string templatePath(const InstanceRecord* record, const char* name) {
  return std::string(record->serverRoot) + "/lib/install/templates/" + name;
}

Message systemFailure(const char* key, const std::string& path, int error) {
  return errorMessage(key, {path.c_str(), std::strerror(error)});
}

Message createEmptyFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, CATALOGUE_MODE);
  if (fd < 0) return systemFailure("ERR_FILE_WRITE", path, errno);
  if (close(fd) != 0) return systemFailure("ERR_FILE_WRITE", path, errno);
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

Message syncFileSystemOf(int fd, const std::string& shown) {
  if (syncfs(fd) != 0) return systemFailure("ERR_FILE_WRITE", shown, errno);
  return {};
}

}  // namespace

Message markClaimedInstance(InstanceBuild& build) {
  build.instance.reset(open(build.instanceDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!build.instance.valid()) return systemFailure("ERR_MKDIR_FAILURE", build.instanceDir, errno);
  return startCreationMark(build.instance.get(), build.instanceDir);
}

Message recordMadeDirectory(InstanceBuild& build, const std::string& prefix, bool last, int directory) {
  if (directory < 0) {
    build.made.push_back({prefix, last, false, {}});
  } else {
    for (auto made = build.made.rbegin(); made != build.made.rend(); ++made) {
      if (made->path != prefix || made->known) continue;
      made->known = identityOf(directory, &made->identity);
      break;
    }
  }
  return rewriteCreationMark(build.instance.get(), build.instanceDir, build.made);
}

Message instancePathProblem(const InstanceRecord* record) {
  // The longest paths below the instance directory: the backup copy of the
  // object file (it carries the identifier and a version), the catalogue
  // under its temporary name while it is written, the deepest directory,
  // and the generator's temporary script.
  const std::string instanceDir = std::string(record->instancesRoot) + "/" + record->serverId;
  const std::string formed[] = {"/config/backup/" + std::string(record->serverId) + "-obj.conf.1",
                                "/config/backup/.backups.conf.XXXXXX", "/applications/lifecycle-modules",
                                "/bin/.makeScript.XXXXXX"};
  const std::string* longest = std::max_element(
      std::begin(formed), std::end(formed), [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  return checkPathLength(instanceDir + *longest);
}

Message makeSubdirectories(InstanceBuild& build) {
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
    std::string path = build.instanceDir + "/" + sub.name;
    if (makeDirectory(path.c_str(), sub.mode) != 0) return systemFailure("ERR_MKDIR_FAILURE", path, errno);
  }
  return {};
}

Message openCatalogue(InstanceBuild& build) {
  std::string path = build.instanceDir + "/config/backup/backups.conf";
  if (Message failure = createEmptyFile(path)) return failure;
  build.catalogue.reset(openBackupCatalogue(build.record->serverRoot, path.c_str()));
  if (!build.catalogue) return errorMessage("ERR_CREATE_BACKUP_TREE");
  return {};
}

std::vector<Message> configurationProblems(const InstanceRecord* record) {
  std::vector<Message> problems;
  if (Message problem = checkInitConfSources(record)) problems.push_back(std::move(problem));
  if (Message problem = checkTemplateWriters(record)) problems.push_back(std::move(problem));
  return problems;
}

Message writeConfiguration(InstanceBuild& build) {
  for (auto writer : {writeInitConf, writeObjConf, writeServerXml, writeAccXml}) {
    if (Message failure = writer(build.record, build.catalogue.get())) return failure;
  }
  return {};
}

std::vector<Message> copyProblems(const InstanceRecord* record) {
  std::vector<Message> problems;
  if (Message problem = checkAclFiles(record->serverRoot, record->serverId)) problems.push_back(std::move(problem));
  for (const char* name : COPIED_TEMPLATES)
    if (Message problem = checkCopySource(templatePath(record, name).c_str())) problems.push_back(std::move(problem));
  return problems;
}

Message copyTemplates(InstanceBuild& build) {
  const InstanceRecord* record = build.record;
  const std::string config = build.instanceDir + "/config/";
  if (Message failure = chownAclFiles(record->serverRoot, record->serverId, record->serverUser)) return failure;
  if (Message failure = copyTemplate(record, "certmap.conf", config + "certmap.conf")) return failure;
  if (Message failure = writeDbSwitchFile(record, build.instanceDir)) return failure;
  if (Message failure = copyTemplate(record, "mime.types", config + "mime.types")) return failure;
  if (Message failure = copyTemplate(record, "mime.types", config + "backup/mime.types")) return failure;
  for (const char* name : {"default-web.xml", "login.conf", "server.policy", "keyfile"}) {
    if (Message failure = copyTemplate(record, name, config + name)) return failure;
  }
  const std::string keyfileBackup = config + "backup/keyfile";
  if (Message failure = copyTemplate(record, "keyfile", keyfileBackup)) return failure;
  const std::string description = config + "keyfile\n";
  if (recordBackupFile(build.catalogue.get(), nullptr, keyfileBackup.c_str(), description.c_str(), nullptr) != 0)
    return errorMessage("ERR_KEYFILE_BACKUP");
  return {};
}

Message closeCatalogue(InstanceBuild& build) { return closeBackupCatalogue(build.catalogue.release()); }

Message narrowPermissions(InstanceBuild& build) {
  for (const char* tree : {"/config", "/applications"}) {
    if (chmodConfigTree((build.instanceDir + tree).c_str()) != 0) return errorMessage("ERR_CHMOD_CONFIG");
  }
  return {};
}

// What root runs or reads to operate the instance stays root's: the
// instance directory itself (so that none of its entries can be renamed or
// replaced) and bin with the control scripts. So does the creation mark,
// which only root may write or remove. The rest is the server's.
Message handOverInstance(InstanceBuild& build) {
  if (geteuid() != 0) return {};
  Descriptor directory(open(build.instanceDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) return systemFailure("ERR_CHANGE_OWNER", build.instanceDir, errno);
  return chownEntriesToUserAt(build.record->serverUser, directory.get(), build.instanceDir.c_str(),
                              {"bin", CREATION_MARK});
}

// A crash right after the success report must not leave empty files behind.
Message syncFileSystems(InstanceBuild& build) {
  Descriptor instance(open(build.instanceDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!instance.valid()) return systemFailure("ERR_FILE_WRITE", build.instanceDir, errno);
  if (Message failure = syncFileSystemOf(instance.get(), build.instanceDir)) return failure;
  if (!build.docRoot.done) return {};
  const int docRoot = build.docRoot.syncHandle.get();
  if (docRoot < 0) {
    sync();
    return {};
  }
  struct stat instanceStatus, docRootStatus;
  if (fstat(instance.get(), &instanceStatus) != 0 || fstat(docRoot, &docRootStatus) != 0 ||
      docRootStatus.st_dev != instanceStatus.st_dev)
    return syncFileSystemOf(docRoot, build.record->docRoot);
  return {};
}

Message publishInstance(InstanceBuild& build) { return removeCreationMark(build.instance.get(), build.instanceDir); }
