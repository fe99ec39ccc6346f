// SPDX-License-Identifier: GPL-3.0-or-later
// config/init.conf: identity, user, DNS and security modes, the language
// lines inherited from the administration server, tuning and plug-in lines.
#include <cerrno>
#include <cstring>

#include "confgen/confgen.h"
#include "confgen/writer_support.h"
#include "fsutil/files.h"

namespace {

const char* const kLanguageKeywords[] = {"ClientLanguage", "AdminLanguage", "DefaultLanguage"};
constexpr int kLanguageReadBuffer = 255;

void writeIdentityLines(OutputFile& out, const InstanceRecord* record, const std::string& instanceDir) {
  writeOutput(out, "BrevikRoot %s\n", record->serverRoot);
  writeOutput(out, "ServerID %s\n", record->serverId);
  writeOutput(out, "ServerName %s\n", record->serverName);
  writeOutput(out, "PidLog %s/logs/pid\n", instanceDir.c_str());
  writeOutput(out, "User %s\n", record->serverUser);
  // "nolog" means DNS lookups on, but no host names in the access log
  // (obj.conf logs iponly for it).
  if (std::strcmp(record->dnsMode, "nolog") == 0)
    writeOutputText(out, "DNS on\n");
  else
    writeOutput(out, "DNS %s\n", record->dnsMode);
  writeOutput(out, "Security %s\n", record->securityMode);
}

// Without the administration server's init.conf there are no language
// lines; one that is there but cannot be opened fails the creation, rather
// than leave an instance silently without them.
Message adminConfProblem(const std::string& adminConf, int error) {
  if (error == ENOENT || error == ENOTDIR) return Message();
  return errorMessage("ERR_FILE_OPEN_READ", {adminConf.c_str(), std::strerror(error)});
}

// Copies the administration server's language lines. A piece of a line
// longer than the buffer is judged on its own, and a piece holding two
// keywords is written once per keyword.
Message copyLanguageLines(OutputFile& out, const char* instancesRoot) {
  std::string adminConf = formatString("%s/admin-server/config/init.conf", instancesRoot);
  FileHandle in(std::fopen(adminConf.c_str(), "r"));
  if (!in) return adminConfProblem(adminConf, errno);
  char line[kLanguageReadBuffer];
  bool midLine = false;
  while (std::fgets(line, sizeof line, in.get())) {
    size_t length = std::strlen(line);
    for (const char* keyword : kLanguageKeywords) {
      if (!std::strstr(line, keyword)) continue;
      writeOutputText(out, line);
      midLine = length > 0 && line[length - 1] != '\n';
    }
  }
  if (std::ferror(in.get())) return errorMessage("ERR_FILE_READ", {adminConf.c_str(), std::strerror(errno)});
  // A copied last line without a line end would swallow the next directive.
  if (midLine) writeOutputText(out, "\n");
  return Message();
}

void writeTuningLines(OutputFile& out, const InstanceRecord* record) {
  writeOutput(out, "RqThrottle %d\n", 128);
  writeOutput(out, "StackSize %u\n", 131072u);
  writeOutput(out, "TempDir /tmp/%s-%08x\n", record->serverId, pathHash(record->instancesRoot));
  writeOutput(out,
              "\nInit fn=flex-init access=\"$accesslog\" format.access=\"%%Ses->client.ip%% - "
              "%%Req->vars.auth-user%% [%%SYSDATE%%] \\\"%%Req->reqpb.clf-request%%\\\" "
              "%%Req->srvhdrs.clf-status%% %s\"\n",
              "%Req->srvhdrs.content-length%");
  writeOutputText(out, "Init fn=stats-init\n");
  writeOutput(out,
              "Init fn=\"load-modules\" shlib=\"%s/%s.so\" funcs=\"init-j2ee,ntrans-j2ee,service-j2ee,error-j2ee\" "
              "shlib_flags=\"(global|now)\"\nInit fn=\"init-j2ee\" LateInit=yes\n",
              record->serverRoot, "lib/libj2eeplugin");
}

}  // namespace

Message checkInitConfSources(const InstanceRecord* record) {
  std::string adminConf = formatString("%s/admin-server/config/init.conf", record->instancesRoot);
  Descriptor opened;
  switch (openRegularFile(adminConf.c_str(), &opened)) {
    case RegularFile::Opened: return Message();
    // Read line by line, a FIFO would block the creation for ever.
    case RegularFile::Irregular: return errorMessage("ERR_IRREGULAR_FILE", {adminConf.c_str()});
    case RegularFile::Unopened: break;
  }
  return adminConfProblem(adminConf, errno);
}

Message writeInitConf(const InstanceRecord* record, BackupCatalogue* catalogue) {
  std::string instanceDir = instanceDirectory(record->instancesRoot, record->serverId);
  std::string path = instanceDir + "/config/init.conf";
  OutputFile out;
  if (!openOutputFile(out, path.c_str())) return fileWriteFailure(path.c_str(), errno);
  writeIdentityLines(out, record, instanceDir);
  if (Message failure = writeAclFiles(record, instanceDir.c_str(), catalogue)) return failure;
  if (Message failure = copyLanguageLines(out, record->instancesRoot)) return failure;
  writeTuningLines(out, record);
  if (int failure = closeOutputFile(out)) return fileWriteFailure(path.c_str(), failure);
  return backUpAndRecord(catalogue, path, instanceDir + "/config/backup/init.conf", path + "\n", "init.conf");
}
