// SPDX-License-Identifier: GPL-3.0-or-later
// An instance on disk: every name the tools give entries below an instances
// root, the formats of the small files that say what a run has done, and
// the one decision of what an entry is. The creation, its check-only run,
// the form, instancectl and (through `instancectl list --json`) the Ansible
// module all decide through here, so that they always agree.
//
// Below the instances root:
//
//   <id>/                         an instance directory, named by its identifier
//   <id>/config/answers.conf      its record: the answers it was created with
//   <id>/logs/pid                 its server's process number (the server user's)
//   <id>/.incomplete              the creation mark: the instance is not made yet.
//                                 Written right after the claim, removed by the
//                                 last step; it lists the directories the run made
//                                 outside the instance (the document root and the
//                                 ones on its way), so that a removal can take them
//                                 back. It is the creating user's, in a directory
//                                 that (run as root) only root can change.
//   .removing.<name>/             a removal of the entry <name> (an instance or a
//                                 broken.* directory) that has not finished: made
//                                 by the removal, the remover's own, mode 0700
//   .removing.<name>/note         what that removal keeps and takes back, written
//                                 before anything is moved or removed
//   .removing.<name>/tree         the entry itself, moved there
//   broken.<id>[.<n>]             what a failed creation set aside
//   .instances.lock               the lock that creations and removals take
//   <server root>/https-<id>      the older name that marks an identifier in use
//
// Everything is read relative to a held instances-root descriptor, without
// following a link, without blocking and at most SMALL_FILE_LIMIT bytes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "fsutil/descriptor.h"
#include "fsutil/reading.h"
#include "messages/messages.h"

// --- Names -----------------------------------------------------------------

constexpr const char* INSTANCES_LOCK_NAME = ".instances.lock";
constexpr const char* RECORD_DIRECTORY = "config";
constexpr const char* RECORD_NAME = "answers.conf";
constexpr const char* RECORD_PATH = "config/answers.conf";
constexpr const char* PID_DIRECTORY = "logs";
constexpr const char* PID_NAME = "pid";
constexpr const char* CREATION_MARK = ".incomplete";
constexpr const char* CREATION_MARK_TEMPORARY = ".incomplete.new";
constexpr const char* REMOVING_PREFIX = ".removing.";
constexpr const char* REMOVAL_NOTE = "note";
constexpr const char* REMOVAL_NOTE_TEMPORARY = "note.new";
constexpr const char* REMOVAL_TREE = "tree";
constexpr const char* BROKEN_PREFIX = "broken.";
constexpr const char* OLDER_PREFIX = "https-";

// What an entry's name says it is.
enum class NameKind {
  Instance,  // any other name: an identifier's own
  Broken,    // broken.<id>[.<n>]
  Removing,  // .removing.<name>, with `id` the name removed
  Lock,      // .instances.lock
  Older,     // https-<id>, the older in-use name
  Other,     // another hidden name, or "." and ".."
};
struct ParsedName {
  NameKind kind = NameKind::Other;
  std::string id;  // the identifier (Instance, Older), the whole name (Broken), the name removed (Removing)
};
ParsedName parseEntryName(const std::string& name);

// True when an identifier of this form would be taken for one of the
// tool's own names: it starts with ".", "broken." or "https-".
bool isReservedName(const char* name);

// "broken.<id>" for n = 0, else "broken.<id>.<n>".
std::string brokenName(const std::string& id, unsigned n);
// ".removing.<name>".
std::string removingName(const std::string& name);
// "<serverRoot>/https-<id>".
std::string olderInUsePath(const std::string& serverRoot, const std::string& id);

// --- The record ------------------------------------------------------------

// The record's lines are "name = value", after comment lines starting with '#'.
constexpr const char* RECORD_SEPARATOR = " = ";

// The answers of a record's text, by name; lines that are not
// "name = value" are passed over.
void parseRecord(const std::string& text, std::map<std::string, std::string>* answers);

// The file `name` of the config directory of the instance whose files are
// at `tree` (a relative path of one or two plain names) below the directory
// held as `instancesRoot`, in `text`: every directory reached without
// following a link, the file read as readSmallFileAt reads it, at most
// SMALL_FILE_LIMIT bytes.
ReadOutcome readConfigFileAt(int instancesRoot, const std::string& tree, const char* name, std::string* text);

// The record of the instance whose files are at `tree` (a relative path of
// one or two plain names) below the directory held as `instancesRoot`:
// every directory reached without following a link, the record read as
// readSmallFileAt reads.
ReadOutcome readRecordAt(int instancesRoot, const std::string& tree, std::map<std::string, std::string>* answers);

// --- Identities --------------------------------------------------------------

// What tells one directory from any other, also from one made later under
// the same name with the number of a removed one: its device and inode
// and, where the file system records it, its birth time.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool birthKnown = false;
  long long birthSeconds = 0;
  unsigned birthNanoseconds = 0;
};
// The identity of what `fd` is open on; false when it cannot be had.
bool identityOf(int fd, FileIdentity* identity);
// True when both name one file: device and inode equal, and the birth
// times too where both are known.
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// --- The creation mark -----------------------------------------------------

// A directory a creation made outside the instance, listed in its mark
// before the mkdir and again, with its identity, once it is proven made.
struct MadeDirectory {
  std::string path;     // as the creation reached it (absolute)
  bool docRoot = false; // the document root itself, else a directory on its way
  bool known = false;   // the identity is recorded; else it was only about to be made
  FileIdentity identity;
};

struct CreationMark {
  bool present = false;   // an entry of the mark's name is there (whatever it is)
  bool readable = false;  // a regular file of one name, owned as its directory is, and read
  uid_t owner = 0;        // its owner, when readable
  std::vector<MadeDirectory> made;  // in the order they were made
};

std::string formatCreationMark(const std::vector<MadeDirectory>& made);
// False when the text is not a mark's; `made` then holds what came before.
bool parseCreationMark(const std::string& text, std::vector<MadeDirectory>* made);

// Makes the mark, empty of directories, in the instance directory held as
// `instance` (shown as `shownInstance`), and syncs that directory: from
// here on the instance is recognisably incomplete. ERR_FILE_WRITE.
Message startCreationMark(int instance, const std::string& shownInstance);
// Replaces the mark with one listing `made`: written beside it, synced and
// renamed over it. ERR_FILE_WRITE.
Message rewriteCreationMark(int instance, const std::string& shownInstance, const std::vector<MadeDirectory>& made);
// Publishes the instance: removes the mark and syncs the directory.
// ERR_FILE_WRITE.
Message removeCreationMark(int instance, const std::string& shownInstance);

// --- The removal note ------------------------------------------------------

// How a removal found the entry it removes.
enum class RemovedKind { Instance, Incomplete, Broken };

struct RemovalNote {
  bool present = false;   // a note is there
  bool readable = false;  // a regular file of one name of the removal's owner, read and understood
  RemovedKind removed = RemovedKind::Instance;
  bool ownerKnown = false;
  uid_t owner = 0;           // the instance's owner when the removal began (its walk makes directories root's)
  std::string docRoot;       // as the record named it ("" for none)
  std::string docRootPlace;  // the removal's verdict on it: none, missing, outside, inside or refused
  std::vector<FileIdentity> kept;         // directories kept wherever the walk meets them
  std::vector<MadeDirectory> takeBack;    // what an unfinished creation made outside, to take back
};

std::string formatRemovalNote(const RemovalNote& note);
bool parseRemovalNote(const std::string& text, RemovalNote* note);

// Begins the removal of the entry `name` of the instances root held as
// `root` (shown as `shownRoot`): makes ".removing.<name>" (mode 0700) when
// missing and writes `note` into it (beside, synced, renamed, the
// directory synced). The directory stays open in `removal`. ERR_MKDIR_FAILURE
// or ERR_FILE_WRITE.
Message beginRemoval(int root, const std::string& shownRoot, const std::string& name, const RemovalNote& note,
                     Descriptor* removal);
// Opens the removal directory of the entry `name` into `removal`, when it
// is a directory of this user's with mode 0700: only such a one holds a
// note this user acts on. ERR_CTL_NOTE_UNREADABLE (the directory).
Message openRemoval(int root, const std::string& shownRoot, const std::string& name, Descriptor* removal);
// Moves the entry `name` into its removal directory held as `removal` as
// its tree, never over anything, and syncs both directories. ERR_CTL_NOT_REMOVED.
Message moveIntoRemoval(int root, const std::string& shownRoot, const std::string& name, int removal);
// Moves the tree of the removal of `name` back to `name` (what a removal
// kept stays where its owner knows it), never over anything. ERR_CTL_NOT_REMOVED.
Message moveBackFromRemoval(int root, const std::string& shownRoot, const std::string& name, int removal);
// Ends the removal of `name`: its note, then its directory, then a sync of
// the instances root. ERR_CTL_NOT_REMOVED.
Message endRemoval(int root, const std::string& shownRoot, const std::string& name, int removal);

// --- What an entry is ------------------------------------------------------

enum class EntryState {
  Published,   // a complete instance (its record may still be unreadable)
  Legacy,      // made before records were kept: config/ and bin/startserv, no record
  Incomplete,  // a creation that has not published it: the mark, or an empty directory
  Removing,    // a removal that has not finished
  Broken,      // what a failed creation set aside
};

struct InstanceEntry {
  std::string id;    // what the tools call it: the identifier, or the broken.* name
  std::string name;  // its entry in the instances root now: `id`, or ".removing.<id>"
  std::string tree;  // where its files are, relative to the instances root; "" when none are left
  EntryState state = EntryState::Published;
  uid_t owner = 0;   // owner of the tree's config, else of the tree, else of the entry; a removal's from its note
  ReadOutcome record;                          // reading the tree's record
  std::map<std::string, std::string> answers;  // the record's answers, when it was read
  CreationMark mark;  // Incomplete and Broken: the creation's mark
  RemovalNote note;   // Removing: the removal's note
};

// Opens `tree` (an InstanceEntry's) below the directory held as `root`,
// each step without following a link, for passing through (O_PATH).
Descriptor openEntryTree(int root, const std::string& tree);

// What the entry `name` of the instances root held as `root` is, in
// `entry`; false when it is none of the states above (a file, a link, the
// lock, a directory of the installation, what a removal kept). Never
// follows a link or blocks.
bool describeEntry(int root, const std::string& name, InstanceEntry* entry);

// The entry of the identifier or broken.* name `id`: its unfinished
// removal when there is one, else the entry of that name. False when there
// is neither.
bool findEntry(int root, const std::string& id, InstanceEntry* entry);

// Every entry of the instances root held as `root` that describeEntry
// takes, one per identifier (an unfinished removal stands for the entry it
// removes), sorted by `id`. 0, or -1 with errno when it cannot be listed.
int listEntries(int root, std::vector<InstanceEntry>* entries);

// How a creation finds an identifier.
enum class IdentifierUse {
  Free,
  Taken,       // an instance, the older in-use name, any other entry of its name, or one a run works on now
  Unfinished,  // an incomplete creation or an unfinished removal that no run works on: instancectl remove clears it
};
// The use of `id` in the instances root at `instancesRoot` (and the older
// name in `serverRoot`); `where` gets the path of what takes it, when given.
// An entry no run has finished is Unfinished only while no run holds the
// instances root's lock: the caller holds it (`holdingLock`), or this
// call takes it shared without waiting while it looks; while another run
// holds it, that run may be the one making or removing it (Taken). A root
// that cannot be opened counts as free: the claim reports why.
IdentifierUse identifierUse(const char* serverRoot, const char* instancesRoot, const char* id,
                            std::string* where = nullptr, bool holdingLock = false);

// --- The lock --------------------------------------------------------------

// lockFileIn and checkLockFileIn (fsutil/lock.h) for the instances root's lock.
Message lockInstancesRoot(const char* instancesRoot, Descriptor* held);
Message checkInstancesRootLock(const char* instancesRoot);

// fsync of the directory held as `directory`; 0 or -1 with errno.
int syncDirectory(int directory);
