// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/removing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fsutil/directories.h"
#include "fsutil/files.h"
#include "fsutil/reading.h"
#include "instance/server.h"
#include "instancectl/decision.h"
#include "instancectl/operating.h"
#include "instancectl/removal.h"
#include "instancectl/systemd.h"
#include "instancectl/unit.h"

void (*takeBackHook)(const std::string& path) = nullptr;

namespace {

// /proc/self/mountinfo of a machine with very many mounts stays below this.
constexpr size_t MOUNTINFO_LIMIT = 16 * 1024 * 1024;
constexpr int LISTABLE = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The mode a directory has between its mkdir and the mode the creation
// gives it (fsutil/directories.cpp): one still in it was never finished.
constexpr mode_t JUST_MADE_MODE = 0700;

void say(const Message& message) { std::printf("%s\n", message.get()); }
void complain(const Message& message) { std::fprintf(stderr, "%s\n", message.get()); }

std::string below(const std::string& directory, const std::string& relative) {
  return relative.empty() ? directory : directory + "/" + relative;
}

// Where the removal of `id` is, and where its tree is while it goes.
struct Places {
  std::string instanceDir;  // "<instances root>/<id>"
  std::string removalDir;   // "<instances root>/.removing.<id>"
  std::string treeDir;      // the tree moved in there
};

Places placesOf(const Workplace& place, const std::string& id) {
  Places places;
  places.instanceDir = place.instancesRoot + "/" + id;
  places.removalDir = place.instancesRoot + "/" + removingName(id);
  places.treeDir = places.removalDir + "/" + REMOVAL_TREE;
  return places;
}

bool entryExists(int directory, const std::string& name) {
  struct stat status;
  return fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// --- Deciding ------------------------------------------------------------

RemovedKind kindOf(const InstanceEntry& entry) {
  if (entry.state == EntryState::Incomplete) return RemovedKind::Incomplete;
  if (entry.state == EntryState::Broken) return RemovedKind::Broken;
  return RemovedKind::Instance;
}

// True when the document root the decision found outside the instance is
// one the unfinished creation made: it is taken back, not kept.
bool madeByTheCreation(const RemovalDecision& decision, const std::vector<MadeDirectory>& made) {
  for (const FileIdentity& kept : decision.plan.keptDirectories)
    for (const MadeDirectory& directory : made)
      if (directory.docRoot && directory.known && sameFile(directory.identity, kept)) return true;
  return false;
}

// What the removal of `entry` keeps and takes back, decided before
// anything moves, from what only root controls: the record's document
// root is looked up for what it is (decideRemoval). An unfinished creation
// keeps nothing of its own, and what it made outside goes back with it
// when it was this user's run (its mark is this user's own).
RemovalNote decide(const Workplace& place, const InstanceEntry& entry) {
  RemovalNote note;
  note.removed = kindOf(entry);
  note.ownerKnown = true;
  note.owner = entry.owner;
  auto recorded = entry.answers.find("docRoot");
  note.docRoot = recorded == entry.answers.end() ? std::string() : recorded->second;
  const RemovalDecision decision = decideRemoval(place.root.get(), entry.tree, entry.owner, note.docRoot);
  if (note.removed != RemovedKind::Instance && entry.mark.readable && entry.mark.owner == geteuid())
    note.takeBack = entry.mark.made;
  DocumentRootPlace where = decision.place;
  if (note.removed == RemovedKind::Incomplete && where != DocumentRootPlace::Outside) where = DocumentRootPlace::NotRecorded;
  if (where == DocumentRootPlace::Outside && madeByTheCreation(decision, note.takeBack))
    where = DocumentRootPlace::NotRecorded;
  note.docRootPlace = placeName(where);
  if (where == DocumentRootPlace::Inside) note.kept = decision.plan.keptDirectories;
  return note;
}

// --- Taking back what an unfinished creation made ---------------------------

// The identifier of another instance whose recorded document root is the
// directory held as `directory` or lies in it; "" when none.
std::string instanceServing(const Workplace& place, const std::string& id, int directory) {
  struct stat made;
  std::vector<InstanceEntry> entries;
  if (fstat(directory, &made) != 0 || listEntries(place.root.get(), &entries) != 0) return "";
  for (const InstanceEntry& entry : entries) {
    auto docRoot = entry.answers.find("docRoot");
    if (entry.id == id || docRoot == entry.answers.end()) continue;
    Descriptor served;
    if (openDirectoryPath(docRoot->second.c_str(), &served) == 0 && liesWithin(served.get(), made)) return entry.id;
  }
  return "";
}

// A directory the creation was about to make when it stopped, as its
// mkdir left it: empty, this user's, not yet given its mode.
bool stillAsJustMade(int directory) {
  struct stat status;
  return fstat(directory, &status) == 0 && status.st_uid == geteuid() &&
         (status.st_mode & 0777) == JUST_MADE_MODE && holdsNoEntry(directory);
}

// True when the directory held as `directory` is gone: the one removed by
// name was that very one, not another put under its name meanwhile.
bool removedItself(int directory) {
  struct stat status;
  return fstat(directory, &status) == 0 && status.st_nlink == 0;
}

// Removes the document root the creation made, of `identity`, with
// everything in it. False when it failed (said); `*left` when it is no
// longer the one the creation made and stays.
bool takeBackDocumentRoot(int parent, const std::string& name, const MadeDirectory& made,
                          const FileIdentity& identity, bool* left) {
  RemovalPlan plan;
  plan.topKnown = true;
  plan.top = identity;
  RemovalResult result = removeTreeAt(parent, name, plan);
  if (result.error == ESTALE && result.failedPath.empty()) {
    complain(escapedMessage("ERR_CTL_MADE_CHANGED", {made.path}));
    return *left = true;
  }
  for (const std::string& mount : result.otherFileSystems)
    complain(escapedMessage("ERR_CTL_OTHER_FILE_SYSTEM", {below(made.path, mount)}));
  if (result.error)
    complain(escapedMessage("ERR_CTL_NOT_REMOVED", {below(made.path, result.failedPath), std::strerror(result.error)}));
  return result.removedAll;
}

// Removes a directory on the document root's way when it is empty. False when it failed (said); `*left` when it stays.
bool takeBackOnTheWay(int parent, const std::string& name, const MadeDirectory& made, bool* left) {
  if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0) return true;
  if (errno == ENOTEMPTY || errno == EEXIST) {
    complain(escapedMessage("ERR_CTL_MADE_CHANGED", {made.path}));
    return *left = true;
  }
  complain(escapedMessage("ERR_CTL_NOT_REMOVED", {made.path, std::strerror(errno)}));
  return false;
}

// Takes back one directory the creation made: the document root with
// everything in it, one on its way only when empty, and either only while
// it is the one the creation made. It is removed by name, in a directory
// its owner may change meanwhile: only the held directory gone proves that
// it was the one. False when it failed (a directory left on purpose is
// said, not a failure).
bool takeBackOne(const Workplace& place, const std::string& id, const MadeDirectory& made) {
  const std::string name = lastComponentOf(made.path);
  Descriptor parent;
  if (openDirectoryPath(parentOf(made.path).c_str(), &parent) != 0) {
    // Gone with what held it; or reached only through a link nobody trusted made.
    if (errno != ENOENT && made.known) complain(escapedMessage("ERR_CTL_MADE_CHANGED", {made.path}));
    return true;
  }
  Descriptor directory(openat(parent.get(), name.c_str(), LISTABLE));
  if (!directory.valid()) {
    if (errno == ENOENT) return true;
    if (made.known) complain(escapedMessage("ERR_CTL_MADE_CHANGED", {made.path}));
    return true;
  }
  FileIdentity identity;
  if (!identityOf(directory.get(), &identity)) {
    complain(escapedMessage("ERR_CTL_NOT_REMOVED", {made.path, std::strerror(errno)}));
    return false;
  }
  if (made.known ? !sameFile(made.identity, identity) : !stillAsJustMade(directory.get())) {
    // One only about to be made was not made by the creation at all.
    if (made.known) complain(escapedMessage("ERR_CTL_MADE_CHANGED", {made.path}));
    return true;
  }
  if (made.docRoot) {
    const std::string other = instanceServing(place, id, directory.get());
    if (!other.empty()) {
      complain(escapedMessage("ERR_CTL_MADE_SHARED", {made.path, other}));
      return true;
    }
  }
  if (takeBackHook) takeBackHook(made.path);
  bool left = false;
  const bool removed = made.docRoot ? takeBackDocumentRoot(parent.get(), name, made, identity, &left)
                                    : takeBackOnTheWay(parent.get(), name, made, &left);
  if (!removed || left) return removed;
  if (!removedItself(directory.get())) {
    complain(escapedMessage("ERR_CTL_MADE_MOVED", {made.path}));
    return true;
  }
  say(escapedMessage("ERR_CTL_TAKEN_BACK", {made.path}));
  return true;
}

// The directories an unfinished creation made, the last made first. False
// when one could not be taken back.
bool takeBack(const Workplace& place, const std::string& id, const RemovalNote& note) {
  bool all = true;
  for (auto made = note.takeBack.rbegin(); made != note.takeBack.rend(); ++made)
    all = takeBackOne(place, id, *made) && all;
  return all;
}

// --- Walking the tree --------------------------------------------------------

// The record goes after everything else, so that a removal stopped in
// between still holds the instance's ports: the first walk keeps it, the
// second takes what is left.
RemovalResult walkRecordLast(int removal, const RemovalNote& note) {
  RemovalPlan plan;
  plan.keptDirectories = note.kept;
  plan.keptPath = RECORD_PATH;
  RemovalResult result;
  if (!entryExists(removal, REMOVAL_TREE)) {
    result.removedAll = true;
    return result;
  }
  result = removeTreeAt(removal, REMOVAL_TREE, plan);
  if (!result.removedAll && result.error == 0 && result.otherFileSystems.empty()) {
    Descriptor tree(openat(removal, REMOVAL_TREE, PASSAGE));
    Descriptor config(tree.valid() ? openat(tree.get(), RECORD_DIRECTORY, PASSAGE) : -1);
    if (config.valid()) unlinkat(config.get(), RECORD_NAME, 0);
    plan.keptPath.clear();
    result = removeTreeAt(removal, REMOVAL_TREE, plan);
  }
  std::vector<std::string> kept;
  for (const std::string& path : result.kept)
    if (path != RECORD_PATH) kept.push_back(path);
  result.kept = kept;
  return result;
}

// --- Ending ----------------------------------------------------------------

// Only a unit that `instancectl unit` made for this very instance goes,
// and with it all that systemd has of it.
int removeUnit(const CommandLine& line, const Workplace& place, const std::string& id) {
  Descriptor directory;
  if (openDirectoryPath(line.unitDirectory.c_str(), &directory) != 0) return STATUS_DONE;
  return dropUnit(line, place, id, placesOf(place, id).instanceDir, directory.get(), false);
}

void sayKeptOutside(const RemovalNote& note) {
  if (placeNamed(note.docRootPlace) == DocumentRootPlace::Outside)
    say(escapedMessage("ERR_CTL_KEPT_DOCROOT", {note.docRoot}));
}

// What is left of a removal: gone, kept on purpose (the tree goes back to
// its name, and the instance is not removed), or unfinished (the removal
// stays, for the next run to go on with).
int finish(const CommandLine& line, const Workplace& place, const std::string& id, const RemovalNote& note,
           Descriptor& removal, const RemovalResult& result, bool tookBack) {
  const Places places = placesOf(place, id);
  for (const std::string& other : result.otherFileSystems)
    complain(escapedMessage("ERR_CTL_OTHER_FILE_SYSTEM", {below(places.treeDir, other)}));
  if (result.error)
    complain(escapedMessage("ERR_CTL_NOT_REMOVED", {below(places.treeDir, result.failedPath), std::strerror(result.error)}));
  const bool onlyKept = result.error == 0 && result.otherFileSystems.empty() && tookBack;
  if (onlyKept && !result.removedAll) {
    Message failure = moveBackFromRemoval(place.root.get(), place.instancesRoot, id, removal.get());
    if (!failure) failure = endRemoval(place.root.get(), place.instancesRoot, id, removal.get());
    if (failure) {
      complain(failure);
    } else {
      for (const std::string& kept : result.kept)
        say(escapedMessage("ERR_CTL_KEPT_INSIDE", {below(places.instanceDir, kept), places.instanceDir}));
      sayKeptOutside(note);
      complain(escapedMessage("ERR_CTL_INSTANCE_LEFT", {id, places.instanceDir}));
      return STATUS_FAILED;
    }
  } else if (onlyKept) {
    if (Message failure = endRemoval(place.root.get(), place.instancesRoot, id, removal.get())) {
      complain(failure);
    } else {
      say(escapedMessage("ERR_CTL_REMOVED", {id, places.instanceDir}));
      sayKeptOutside(note);
      return removeUnit(line, place, id);
    }
  }
  complain(escapedMessage("ERR_CTL_STILL_REMOVING", {id, places.removalDir}));
  return STATUS_FAILED;
}

// Steps 2 to 5, from a note that is written.
int carryOut(const CommandLine& line, const Workplace& place, const std::string& id, const RemovalNote& note,
             Descriptor& removal) {
  if (!entryExists(removal.get(), REMOVAL_TREE) && entryExists(place.root.get(), id)) {
    if (Message failure = moveIntoRemoval(place.root.get(), place.instancesRoot, id, removal.get())) {
      complain(failure);
      complain(escapedMessage("ERR_CTL_STILL_REMOVING", {id, placesOf(place, id).removalDir}));
      return STATUS_FAILED;
    }
  }
  // A server started since its stop would serve on from files that go:
  // the removal waits until it has ended.
  Descriptor tree(openat(removal.get(), REMOVAL_TREE, PASSAGE));
  const ServerStatus server = tree.valid() ? probeServer(tree.get(), note.owner) : ServerStatus{};
  if (server.running()) {
    const std::string process = std::to_string(server.pid) + " (" + processName(server.pid) + ")";
    complain(escapedMessage("ERR_CTL_RUNNING_IN_REMOVAL", {id, process}));
    return STATUS_RUNNING;
  }
  const bool tookBack = takeBack(place, id, note);
  allowDeepWalks();
  const RemovalResult result = walkRecordLast(removal.get(), note);
  return finish(line, place, id, note, removal, result, tookBack);
}

int begin(const CommandLine& line, const Workplace& place, const InstanceEntry& entry) {
  const RemovalNote note = decide(place, entry);
  if (placeNamed(note.docRootPlace) == DocumentRootPlace::Refused)
    complain(escapedMessage("ERR_CTL_DOCROOT_NOT_KEPT", {note.docRoot, placesOf(place, entry.id).instanceDir}));
  Descriptor removal;
  if (Message failure = beginRemoval(place.root.get(), place.instancesRoot, entry.id, note, &removal)) {
    complain(failure);
    return STATUS_FAILED;
  }
  return carryOut(line, place, entry.id, note, removal);
}

// A removal found unfinished goes on from its note. One without a note has
// either not written it yet, and moved nothing, or removed it last as it
// ended: its directory goes, and the removal begins again with what is
// under the identifier, or says what it left there.
int goOn(const CommandLine& line, const Workplace& place, const InstanceEntry& entry) {
  say(escapedMessage("ERR_CTL_RESUMING", {entry.id}));
  Descriptor removal;
  if (Message refused = openRemoval(place.root.get(), place.instancesRoot, entry.id, &removal)) {
    complain(refused);
    return STATUS_FAILED;
  }
  if (entry.note.readable) return carryOut(line, place, entry.id, entry.note, removal);
  if (entry.note.present || entryExists(removal.get(), REMOVAL_TREE)) {
    complain(escapedMessage("ERR_CTL_NOTE_UNREADABLE", {placesOf(place, entry.id).removalDir}));
    return STATUS_FAILED;
  }
  if (Message failure = endRemoval(place.root.get(), place.instancesRoot, entry.id, removal.get())) {
    complain(failure);
    return STATUS_FAILED;
  }
  InstanceInfo left;
  const std::string instanceDir = placesOf(place, entry.id).instanceDir;
  if (lookUpInstance(place.root.get(), entry.id, &left)) return begin(line, place, left.entry);
  // Stopped as it ended: what it kept inside is back under the identifier.
  if (entryExists(place.root.get(), entry.id)) {
    complain(escapedMessage("ERR_CTL_INSTANCE_LEFT", {entry.id, instanceDir}));
    return STATUS_FAILED;
  }
  say(escapedMessage("ERR_CTL_REMOVED", {entry.id, instanceDir}));
  return removeUnit(line, place, entry.id);
}

}  // namespace

int removeInstance(const CommandLine& line, const Workplace& place, const InstanceInfo& info) {
  if (info.entry.state == EntryState::Removing) return goOn(line, place, info.entry);
  return begin(line, place, info.entry);
}

Message mountInside(const Workplace& place, const InstanceInfo& info) {
  Descriptor tree = openEntryTree(place.root.get(), info.entry.tree);
  if (!tree.valid()) return Message();
  char real[PATH_MAX];
  ssize_t length = readlink(("/proc/self/fd/" + std::to_string(tree.get())).c_str(), real, sizeof real - 1);
  std::string mountinfo;
  if (length <= 0 || !readSmallFile("/proc/self/mountinfo", MOUNTINFO_LIMIT, &mountinfo)) return Message();
  std::vector<std::string> mounts = mountPointsBelow(mountinfo, std::string(real, static_cast<size_t>(length)));
  if (mounts.empty()) return Message();
  const std::string shown = place.instancesRoot + "/" + info.entry.tree;
  return escapedMessage("ERR_CTL_MOUNT_INSIDE", {shown.c_str(), mounts.front().c_str()});
}
