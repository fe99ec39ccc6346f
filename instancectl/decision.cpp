// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/decision.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// No path is deeper: the kernel refuses longer ones.
constexpr int CLIMB_LIMIT = 4096;

bool sameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool entryStatus(int directory, const char* name, struct stat* status) {
  return fstatat(directory, name, status, AT_SYMLINK_NOFOLLOW) == 0;
}

// The directory just below `instance` on the way up from `directory`
// (which may be that one itself), in `firstLevel`; false when the way up
// never meets `instance`.
bool climbToInstance(int directory, const struct stat& instance, struct stat* firstLevel) {
  Descriptor current(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  struct stat currentStatus;
  if (!current.valid() || fstat(current.get(), &currentStatus) != 0) return false;
  for (int level = 0; level < CLIMB_LIMIT; ++level) {
    Descriptor parent(openat(current.get(), "..", PASSAGE));
    struct stat parentStatus;
    if (!parent.valid() || fstat(parent.get(), &parentStatus) != 0) return false;
    if (sameEntry(parentStatus, instance)) {
      *firstLevel = currentStatus;
      return true;
    }
    if (sameEntry(parentStatus, currentStatus)) return false;  // the root of the file system
    current = std::move(parent);
    currentStatus = parentStatus;
  }
  return false;
}

// Whether the directory `kept`, whose first directory below the instance
// directory is `firstLevel`, may stay.
bool mayKeepInside(int instance, uid_t owner, const struct stat& kept, const struct stat& firstLevel) {
  struct stat bin, config;
  if (entryStatus(instance, "bin", &bin) && sameEntry(bin, firstLevel)) return false;
  if (entryStatus(instance, "config", &config) && sameEntry(config, kept)) return false;
  return S_ISDIR(firstLevel.st_mode) && firstLevel.st_uid == owner;
}

const struct {
  DocumentRootPlace place;
  const char* name;
} PLACE_NAMES[] = {{DocumentRootPlace::NotRecorded, "none"},
                   {DocumentRootPlace::Missing, "missing"},
                   {DocumentRootPlace::Outside, "outside"},
                   {DocumentRootPlace::Inside, "inside"},
                   {DocumentRootPlace::Refused, "refused"}};

}  // namespace

const char* placeName(DocumentRootPlace place) {
  for (const auto& known : PLACE_NAMES)
    if (known.place == place) return known.name;
  return "none";
}

DocumentRootPlace placeNamed(const std::string& word) {
  for (const auto& known : PLACE_NAMES)
    if (word == known.name) return known.place;
  return DocumentRootPlace::NotRecorded;
}

RemovalDecision decideRemoval(int instancesRoot, const std::string& name, uid_t owner,
                              const std::string& recordedDocRoot) {
  RemovalDecision decision;
  decision.docRoot = recordedDocRoot;
  if (recordedDocRoot.empty()) return decision;
  decision.place = DocumentRootPlace::Refused;
  if (recordedDocRoot[0] != '/' || recordedDocRoot.find('\0') != std::string::npos) return decision;
  Descriptor instance(openat(instancesRoot, name.c_str(), PASSAGE));
  struct stat instanceStatus;
  if (!instance.valid() || fstat(instance.get(), &instanceStatus) != 0) return decision;
  Descriptor docRoot;
  struct stat docRootStatus;
  if (openDirectoryPath(recordedDocRoot.c_str(), &docRoot) != 0 || fstat(docRoot.get(), &docRootStatus) != 0) {
    decision.place = DocumentRootPlace::Missing;
    return decision;
  }
  if (sameEntry(docRootStatus, instanceStatus)) return decision;
  struct stat firstLevel;
  if (!climbToInstance(docRoot.get(), instanceStatus, &firstLevel)) {
    decision.place = DocumentRootPlace::Outside;
  } else if (mayKeepInside(instance.get(), owner, docRootStatus, firstLevel)) {
    decision.place = DocumentRootPlace::Inside;
  } else {
    return decision;
  }
  decision.plan.keptDirectories.push_back({docRootStatus.st_dev, docRootStatus.st_ino});
  return decision;
}
