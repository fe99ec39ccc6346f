// SPDX-License-Identifier: GPL-3.0-or-later
// The steps that build an instance in its claimed directory: each is the
// effect, or the check, of one row of the creation plan (provision/plan.h),
// which runs them in order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backup/catalogue.h"
#include "fsutil/descriptor.h"
#include "instance/on_disk.h"
#include "instance/record.h"
#include "messages/messages.h"
#include "provision/docroot.h"

extern "C" {
// The Java flag of the last creation; initially 1.
__attribute__((visibility("default"))) extern int enableJava;
}

struct CatalogueDiscarder {
  void operator()(BackupCatalogue* catalogue) const { discardBackupCatalogue(catalogue); }
};
// An open catalogue that is released without being written unless closed.
using CatalogueHolder = std::unique_ptr<BackupCatalogue, CatalogueDiscarder>;

// What a creation carries from one step to the next. The record is the
// plan's and outlives the build.
struct InstanceBuild {
  const InstanceRecord* record = nullptr;
  std::string instanceDir;    // "<instancesRoot>/<serverId>"
  Descriptor instance;        // the instance directory, from markClaimedInstance on
  std::vector<MadeDirectory> made;  // what the creation mark lists
  CatalogueHolder catalogue;  // from openCatalogue to closeCatalogue
  DocRootWrite docRoot;       // what the document root's step wrote (fillDocRoot)
};

// Opens the instance directory the claim has just made and marks it
// incomplete (startCreationMark). ERR_MKDIR_FAILURE or ERR_FILE_WRITE.
Message markClaimedInstance(InstanceBuild& build);

// Lists in the creation mark a directory made outside the instance at
// `prefix` (`last`: the document root itself): before its mkdir
// (`directory` -1), and again with its identity once it is made and held
// open as `directory`. ERR_FILE_WRITE.
Message recordMadeDirectory(InstanceBuild& build, const std::string& prefix, bool last, int directory);

// ERR_PATH_TOO_LONG when the longest path the steps form below the
// instance directory would not fit the system's limit.
Message instancePathProblem(const InstanceRecord* record);

// The subdirectories of the instance, each with its mode. ERR_MKDIR_FAILURE.
Message makeSubdirectories(InstanceBuild& build);

// Creates config/backup/backups.conf empty and opens it as the catalogue.
// ERR_FILE_WRITE or ERR_CREATE_BACKUP_TREE.
Message openCatalogue(InstanceBuild& build);

// What the configuration writers would fail on before they write: the
// administration server's init.conf and the writers' templates.
std::vector<Message> configurationProblems(const InstanceRecord* record);
// init.conf (with the access-control files), obj.conf, server.xml and
// mirel-acc.xml, each recorded in the catalogue. The first writer's message.
Message writeConfiguration(InstanceBuild& build);

// What copyTemplates would fail on before it writes: the access-control
// files below the server root, the copied templates.
std::vector<Message> copyProblems(const InstanceRecord* record);
// Hands the server root's access-control files over, copies certmap.conf,
// writes dbswitch.conf, copies the other templates and records the key
// file's backup. The first failure's message.
Message copyTemplates(InstanceBuild& build);

// Writes the catalogue (closeBackupCatalogue). Its message.
Message closeCatalogue(InstanceBuild& build);

// config and applications to 0700 for directories, 0600 for the rest.
// ERR_CHMOD_CONFIG.
Message narrowPermissions(InstanceBuild& build);

// As root, gives the instance to the server user but for the instance
// directory itself, bin and the scripts. ERR_CHANGE_OWNER.
Message handOverInstance(InstanceBuild& build);

// Syncs the file system of the instance and, when the document root's step
// wrote to another, that one through the descriptor it left (every file
// system when it could leave none). ERR_FILE_WRITE.
Message syncFileSystems(InstanceBuild& build);

// Publishes the instance, once everything is made, handed over and synced:
// removes its creation mark and syncs the instance directory.
// ERR_FILE_WRITE.
Message publishInstance(InstanceBuild& build);
