// SPDX-License-Identifier: GPL-3.0-or-later
// config/obj.conf and its twin config/<serverId>-obj.conf: the objects
// default, j2ee, cgi and hx-internal that every request passes through.
#include <cerrno>
#include <cstring>

#include "confgen/confgen.h"
#include "confgen/writer_support.h"
#include "fsutil/files.h"

namespace {

void writeDefaultObject(OutputFile& out, const InstanceRecord* record) {
  writeOutputText(out,
                  "\n"
                  "<Object name=\"default\">\n"
                  "AuthTrans fn=\"match-browser\" browser=\"*MSIE*\" ssl-unclean-shutdown=\"true\"\n"
                  "NameTrans fn=\"ntrans-j2ee\" name=\"j2ee\"\n");
  writeOutput(out, "NameTrans fn=pfx2dir from=/vq-icons dir=\"%s/lib/icons\" name=\"hx-internal\"\n",
              record->serverRoot);
  writeOutputText(out,
                  "NameTrans fn=document-root root=\"$docroot\"\n"
                  "PathCheck fn=unix-uri-clean\n"
                  "PathCheck fn=\"check-acl\" acl=\"default\"\n"
                  "PathCheck fn=find-pathinfo\n"
                  "PathCheck fn=find-index index-names=\"index.html,home.html\"\n"
                  "ObjectType fn=type-by-extension\n"
                  "ObjectType fn=force-type type=text/plain\n"
                  "Service method=(GET|HEAD) type=tarrik-internal/imagemap fn=imagemap\n"
                  "Service method=(GET|HEAD) type=tarrik-internal/directory fn=index-common\n"
                  "Service method=(GET|HEAD|POST) type=*~tarrik-internal/* fn=send-file\n"
                  "Error fn=\"error-j2ee\"\n");
  writeOutput(out, "AddLog fn=flex-log name=\"access\"%s\n",
              std::strcmp(record->dnsMode, "nolog") == 0 ? " iponly=1" : "");
  writeOutputText(out, "</Object>\n");
}

void writeOtherObjects(OutputFile& out) {
  writeOutputText(out,
                  "\n"
                  "<Object name=\"j2ee\">\n"
                  "ObjectType fn=force-type type=text/html\n"
                  "Service fn=\"service-j2ee\" method=\"*\" \n"
                  "</Object>\n"
                  "\n"
                  "<Object name=\"cgi\">\n"
                  "ObjectType fn=force-type type=tarrik-internal/cgi\n"
                  "Service fn=send-cgi user=\"$user\" group=\"$group\" chroot=\"$chroot\" dir=\"$dir\" nice=\"$nice\"\n"
                  "</Object>\n"
                  "\n"
                  "<Object name=\"hx-internal\">\n"
                  "PathCheck fn=\"check-acl\" acl=\"hx-internal\"\n"
                  "</Object>\n"
                  "\n");
}

}  // namespace

Message writeObjConf(const InstanceRecord* record, BackupCatalogue* catalogue) {
  std::string instanceDir = instanceDirectory(record->instancesRoot, record->serverId);
  std::string path = instanceDir + "/config/obj.conf";
  OutputFile out;
  if (!openOutputFile(out, path.c_str())) return fileWriteFailure(path.c_str(), errno);
  writeDefaultObject(out, record);
  writeOtherObjects(out);
  if (int failure = closeOutputFile(out)) return fileWriteFailure(path.c_str(), failure);

  if (Message failure = backUpAndRecord(catalogue, path, instanceDir + "/config/backup/obj.conf", path + "\n",
                                        "obj.conf"))
    return failure;
  std::string specific = formatString("%s/config/%s-obj.conf", instanceDir.c_str(), record->serverId);
  if (Message failure = copyFile(path.c_str(), specific.c_str(), 0644)) return failure;
  // Both recordings name "obj.conf" when they fail: to the user it is one file.
  return backUpAndRecord(catalogue, path,
                         formatString("%s/config/backup/%s-obj.conf", instanceDir.c_str(), record->serverId),
                         specific + "\n", "obj.conf");
}
