// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/on_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "fsutil/directories.h"
#include "fsutil/files.h"
#include "fsutil/lock.h"

namespace {

constexpr int PASSAGE = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int LISTABLE = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t MARK_MODE = 0644;
constexpr mode_t NOTE_MODE = 0600;
constexpr mode_t REMOVAL_DIRECTORY_MODE = 0700;

// The words that start the lines of made directories, in marks and notes.
constexpr const char* MADE_DOC_ROOT = "docroot";
constexpr const char* MADE_ON_THE_WAY = "directory";

const char MARK_HEADER[] =
    "# This instance is being created; until this file is gone it is not complete.\n"
    "# \"instancectl remove\" removes it with the directories listed below, which the\n"
    "# creation made outside it (device, inode, birth time, path; \"-\" while being made).\n";
const char NOTE_HEADER[] =
    "# A removal that has not finished: \"instancectl remove\" goes on with it.\n";

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool isDotName(const std::string& name) { return name.empty() || name == "." || name == ".."; }

// A name of one component, as the instances root can hold it.
bool isPlainName(const std::string& name) {
  return !isDotName(name) && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string joined(const std::string& directory, const std::string& name) {
  return directory.empty() ? name : directory + "/" + name;
}

Message systemFailure(const char* key, const std::string& path, int error) {
  return errorMessage(key, {path.c_str(), std::strerror(error)});
}

bool directoryEntry(int directory, const char* name, struct stat* status) {
  return fstatat(directory, name, status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status->st_mode);
}

bool regularEntry(int directory, const char* name) {
  struct stat status;
  return fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode);
}

// Opens `tree`, one or two plain names, below `root`, each step without
// following a link.
Descriptor openTree(int root, const std::string& tree) {
  const size_t slash = tree.find('/');
  Descriptor first(openat(root, tree.substr(0, slash).c_str(), PASSAGE));
  if (slash == std::string::npos || !first.valid()) return first;
  return Descriptor(openat(first.get(), tree.substr(slash + 1).c_str(), PASSAGE));
}

// An instance made before records were kept still has its configuration
// directory and its start script.
bool hasLegacyShape(int instance) {
  struct stat status;
  Descriptor bin(openat(instance, "bin", PASSAGE));
  return directoryEntry(instance, RECORD_DIRECTORY, &status) && bin.valid() && regularEntry(bin.get(), "startserv");
}

uid_t ownerOf(int directory) {
  struct stat status;
  if (directoryEntry(directory, RECORD_DIRECTORY, &status)) return status.st_uid;
  if (fstat(directory, &status) == 0) return status.st_uid;
  return static_cast<uid_t>(-1);
}

bool noSuchFile(const ReadOutcome& outcome) { return outcome.refusal == ReadRefusal::System && outcome.error == ENOENT; }

// The small file `name` of `directory` when it is a regular file of one
// name owned by the owner of `directory`: what only whoever could change
// that directory could have written.
bool readOwnedFile(int directory, const char* name, std::string* text, uid_t* owner) {
  struct stat directoryStatus, fileStatus;
  if (fstat(directory, &directoryStatus) != 0) return false;
  if (!readSmallFileAt(directory, name, SMALL_FILE_LIMIT, text, &fileStatus)) return false;
  *owner = fileStatus.st_uid;
  return fileStatus.st_uid == directoryStatus.st_uid;
}

CreationMark readMark(int instance) {
  CreationMark mark;
  struct stat status;
  mark.present = fstatat(instance, CREATION_MARK, &status, AT_SYMLINK_NOFOLLOW) == 0;
  std::string text;
  if (mark.present && readOwnedFile(instance, CREATION_MARK, &text, &mark.owner))
    mark.readable = parseCreationMark(text, &mark.made);
  return mark;
}

RemovalNote readNote(int removal) {
  RemovalNote note;
  struct stat status;
  note.present = fstatat(removal, REMOVAL_NOTE, &status, AT_SYMLINK_NOFOLLOW) == 0;
  std::string text;
  uid_t owner = 0;
  if (note.present && readOwnedFile(removal, REMOVAL_NOTE, &text, &owner)) note.readable = parseRemovalNote(text, &note);
  return note;
}

void readTree(int root, InstanceEntry* entry) {
  entry->record = readRecordAt(root, entry->tree, &entry->answers);
  if (!entry->record) entry->answers.clear();
}

// An entry of an identifier's own name: what its directory holds says what it is.
bool describeInstanceDirectory(int root, const std::string& name, InstanceEntry* entry) {
  Descriptor directory(openat(root, name.c_str(), PASSAGE));
  if (!directory.valid()) return false;
  entry->id = entry->name = entry->tree = name;
  entry->mark = readMark(directory.get());
  readTree(root, entry);
  if (entry->mark.present) {
    entry->state = EntryState::Incomplete;
  } else if (entry->record || !noSuchFile(entry->record)) {
    entry->state = EntryState::Published;
  } else if (hasLegacyShape(directory.get())) {
    entry->state = EntryState::Legacy;
  } else {
    // Killed between the claim and its mark, nothing else is there yet.
    Descriptor listable(openat(root, name.c_str(), LISTABLE));
    if (!listable.valid() || !holdsNoEntry(listable.get())) return false;
    entry->state = EntryState::Incomplete;
  }
  entry->owner = ownerOf(directory.get());
  return true;
}

bool describeBroken(int root, const std::string& name, InstanceEntry* entry) {
  Descriptor directory(openat(root, name.c_str(), PASSAGE));
  if (!directory.valid()) return false;
  entry->id = entry->name = entry->tree = name;
  entry->state = EntryState::Broken;
  entry->mark = readMark(directory.get());
  readTree(root, entry);
  entry->owner = ownerOf(directory.get());
  return true;
}

// An unfinished removal: its note, and its tree wherever it is now (moved
// in, or still under its name when the removal stopped before moving it).
bool describeRemoval(int root, const std::string& name, const std::string& removed, InstanceEntry* entry) {
  Descriptor removal(openat(root, name.c_str(), PASSAGE));
  if (!removal.valid()) return false;
  entry->id = removed;
  entry->name = name;
  entry->state = EntryState::Removing;
  entry->note = readNote(removal.get());
  struct stat status;
  if (directoryEntry(removal.get(), REMOVAL_TREE, &status))
    entry->tree = joined(name, REMOVAL_TREE);
  else if (directoryEntry(root, removed.c_str(), &status))
    entry->tree = removed;
  Descriptor tree = entry->tree.empty() ? Descriptor() : openTree(root, entry->tree);
  if (tree.valid()) readTree(root, entry);
  entry->owner = entry->note.readable && entry->note.ownerKnown ? entry->note.owner
                                                               : ownerOf(tree.valid() ? tree.get() : removal.get());
  return true;
}

// "<device> <inode> <birth>", the birth "<seconds>.<nanoseconds>" or "-".
std::string identityText(const FileIdentity& identity) {
  std::string birth = "-";
  if (identity.birthKnown) {
    std::string nanoseconds = std::to_string(identity.birthNanoseconds);
    birth = std::to_string(identity.birthSeconds) + "." + std::string(9 - nanoseconds.size(), '0') + nanoseconds;
  }
  return std::to_string(identity.device) + " " + std::to_string(identity.inode) + " " + birth;
}

bool parseNumber(const std::string& text, unsigned long long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 20) return false;
  errno = 0;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

bool parseBirth(const std::string& text, FileIdentity* identity) {
  if (text == "-") return true;
  const size_t dot = text.find('.');
  unsigned long long seconds = 0, nanoseconds = 0;
  if (dot == std::string::npos || text.size() - dot - 1 != 9 || !parseNumber(text.substr(0, dot), &seconds) ||
      !parseNumber(text.substr(dot + 1), &nanoseconds))
    return false;
  identity->birthKnown = true;
  identity->birthSeconds = static_cast<long long>(seconds);
  identity->birthNanoseconds = static_cast<unsigned>(nanoseconds);
  return true;
}

// The three words identityText writes, from `words`.
bool parseIdentity(std::istream& words, FileIdentity* identity) {
  std::string device, inode, birth;
  unsigned long long d = 0, i = 0;
  if (!(words >> device >> inode >> birth) || !parseNumber(device, &d) || !parseNumber(inode, &i)) return false;
  identity->device = static_cast<dev_t>(d);
  identity->inode = static_cast<ino_t>(i);
  return parseBirth(birth, identity);
}

std::string madeLine(const MadeDirectory& made) {
  return std::string(made.docRoot ? MADE_DOC_ROOT : MADE_ON_THE_WAY) + " " +
         (made.known ? identityText(made.identity) : std::string("- - -")) + " " + made.path + "\n";
}

bool isMadeLine(const std::string& line) {
  return startsWith(line, (std::string(MADE_DOC_ROOT) + " ").c_str()) ||
         startsWith(line, (std::string(MADE_ON_THE_WAY) + " ").c_str());
}

// "<word> <identity> <path>", the identity "- - -" while being made: the
// path is the rest of the line.
bool parseMadeLine(const std::string& line, MadeDirectory* made) {
  std::istringstream words(line);
  std::string kind;
  words >> kind;
  made->docRoot = kind == MADE_DOC_ROOT;
  const std::string pending = kind + " - - - ";
  made->known = !startsWith(line, pending.c_str());
  if (made->known && !parseIdentity(words, &made->identity)) return false;
  std::string rest = made->known ? std::string() : line.substr(pending.size() - 1);
  if (made->known) std::getline(words, rest);
  if (rest.size() < 2 || rest[0] != ' ' || rest[1] != '/') return false;
  made->path = rest.substr(1);
  return true;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

const struct {
  RemovedKind kind;
  const char* word;
} REMOVED_KINDS[] = {{RemovedKind::Instance, "instance"},
                     {RemovedKind::Incomplete, "incomplete"},
                     {RemovedKind::Broken, "broken"}};

bool applyNoteValue(const std::string& key, const std::string& value, RemovalNote* note) {
  if (key == "removed") {
    for (const auto& kind : REMOVED_KINDS)
      if (value == kind.word) {
        note->removed = kind.kind;
        return true;
      }
    return false;
  }
  if (key == "owner") {
    unsigned long long owner = 0;
    if (!parseNumber(value, &owner)) return false;
    note->ownerKnown = true;
    note->owner = static_cast<uid_t>(owner);
  } else if (key == "docRoot") note->docRoot = value;
  else if (key == "docRootPlace") note->docRootPlace = value;
  else if (key == "keep") {
    FileIdentity identity;
    std::istringstream words(value);
    std::string rest;
    if (!parseIdentity(words, &identity) || (words >> rest)) return false;
    note->kept.push_back(identity);
  } else {
    return false;
  }
  return true;
}

Message replaceFile(int directory, const char* temporary, const char* name, const std::string& text, mode_t mode,
                    const std::string& shownDirectory) {
  if (int error = replaceFileAt(directory, temporary, name, text, mode))
    return systemFailure("ERR_FILE_WRITE", joined(shownDirectory, name), error);
  return Message();
}

// Whether no run holds the lock of the instances root held as `root`:
// it is taken shared without waiting, and stays so as long as `shared`
// lives. A lock that cannot be opened (none made yet, or another user's)
// counts as free.
bool lockIsFree(int root, Descriptor* shared) {
  shared->reset(openat(root, INSTANCES_LOCK_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!shared->valid()) return true;
  return flock(shared->get(), LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

Message notRemoved(const std::string& path, int error) { return escapedMessage("ERR_CTL_NOT_REMOVED", {path, std::strerror(error)}); }

}  // namespace

// --- Names -----------------------------------------------------------------

ParsedName parseEntryName(const std::string& name) {
  if (!isPlainName(name)) return {};
  if (name == INSTANCES_LOCK_NAME) return {NameKind::Lock, ""};
  if (startsWith(name, REMOVING_PREFIX)) {
    const std::string removed = name.substr(std::strlen(REMOVING_PREFIX));
    ParsedName inner = parseEntryName(removed);
    if (inner.kind != NameKind::Instance && inner.kind != NameKind::Broken) return {};
    return {NameKind::Removing, removed};
  }
  if (name[0] == '.') return {};
  if (startsWith(name, BROKEN_PREFIX)) return {NameKind::Broken, name};
  if (startsWith(name, OLDER_PREFIX)) return {NameKind::Older, name.substr(std::strlen(OLDER_PREFIX))};
  return {NameKind::Instance, name};
}

bool isReservedName(const char* name) {
  for (const char* prefix : {".", BROKEN_PREFIX, OLDER_PREFIX})
    if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return true;
  return false;
}

std::string brokenName(const std::string& id, unsigned n) {
  return BROKEN_PREFIX + id + (n == 0 ? std::string() : "." + std::to_string(n));
}

std::string removingName(const std::string& name) { return REMOVING_PREFIX + name; }

std::string olderInUsePath(const std::string& serverRoot, const std::string& id) {
  return serverRoot + "/" + OLDER_PREFIX + id;
}

// --- The record ------------------------------------------------------------

void parseRecord(const std::string& text, std::map<std::string, std::string>* answers) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t separator = line.find(RECORD_SEPARATOR);
    if (line.empty() || line[0] == '#' || separator == std::string::npos) continue;
    (*answers)[line.substr(0, separator)] = line.substr(separator + std::strlen(RECORD_SEPARATOR));
  }
}

ReadOutcome readConfigFileAt(int instancesRoot, const std::string& tree, const char* name, std::string* text) {
  Descriptor instance = openTree(instancesRoot, tree);
  Descriptor config(instance.valid() ? openat(instance.get(), RECORD_DIRECTORY, PASSAGE) : -1);
  if (!config.valid()) {
    if (errno == ELOOP) return {ReadRefusal::Link, errno};
    return {errno == ENOTDIR ? ReadRefusal::Irregular : ReadRefusal::System, errno};
  }
  return readSmallFileAt(config.get(), name, SMALL_FILE_LIMIT, text);
}

ReadOutcome readRecordAt(int instancesRoot, const std::string& tree, std::map<std::string, std::string>* answers) {
  std::string text;
  ReadOutcome outcome = readConfigFileAt(instancesRoot, tree, RECORD_NAME, &text);
  if (outcome) parseRecord(text, answers);
  return outcome;
}

// --- Identities --------------------------------------------------------------

bool identityOf(int fd, FileIdentity* identity) {
  struct statx status;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &status) != 0) return false;
  identity->device = makedev(status.stx_dev_major, status.stx_dev_minor);
  identity->inode = status.stx_ino;
  identity->birthKnown = (status.stx_mask & STATX_BTIME) != 0;
  identity->birthSeconds = identity->birthKnown ? status.stx_btime.tv_sec : 0;
  identity->birthNanoseconds = identity->birthKnown ? status.stx_btime.tv_nsec : 0;
  return true;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.device != b.device || a.inode != b.inode) return false;
  return !a.birthKnown || !b.birthKnown ||
         (a.birthSeconds == b.birthSeconds && a.birthNanoseconds == b.birthNanoseconds);
}

// --- The creation mark -----------------------------------------------------

std::string formatCreationMark(const std::vector<MadeDirectory>& made) {
  std::string text = MARK_HEADER;
  for (const MadeDirectory& directory : made) text += madeLine(directory);
  return text;
}

bool parseCreationMark(const std::string& text, std::vector<MadeDirectory>* made) {
  made->clear();
  for (const std::string& line : linesOf(text)) {
    MadeDirectory directory;
    if (!isMadeLine(line) || !parseMadeLine(line, &directory)) return false;
    made->push_back(directory);
  }
  return true;
}

Message startCreationMark(int instance, const std::string& shownInstance) {
  const std::string shown = joined(shownInstance, CREATION_MARK);
  Descriptor mark(openat(instance, CREATION_MARK, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, MARK_MODE));
  if (!mark.valid()) return systemFailure("ERR_FILE_WRITE", shown, errno);
  const std::string text = formatCreationMark({});
  if (write(mark.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    return systemFailure("ERR_FILE_WRITE", shown, errno ? errno : EIO);
  if (mark.closeChecked() != 0 || syncDirectory(instance) != 0) return systemFailure("ERR_FILE_WRITE", shown, errno);
  return Message();
}

Message rewriteCreationMark(int instance, const std::string& shownInstance, const std::vector<MadeDirectory>& made) {
  return replaceFile(instance, CREATION_MARK_TEMPORARY, CREATION_MARK, formatCreationMark(made), MARK_MODE,
                     shownInstance);
}

Message removeCreationMark(int instance, const std::string& shownInstance) {
  const std::string shown = joined(shownInstance, CREATION_MARK);
  if (unlinkat(instance, CREATION_MARK, 0) != 0 || syncDirectory(instance) != 0)
    return systemFailure("ERR_FILE_WRITE", shown, errno);
  return Message();
}

// --- The removal note ------------------------------------------------------

std::string formatRemovalNote(const RemovalNote& note) {
  std::string text = NOTE_HEADER;
  for (const auto& kind : REMOVED_KINDS)
    if (kind.kind == note.removed) text += std::string("removed") + RECORD_SEPARATOR + kind.word + "\n";
  if (note.ownerKnown) text += std::string("owner") + RECORD_SEPARATOR + std::to_string(note.owner) + "\n";
  if (!note.docRoot.empty()) text += std::string("docRoot") + RECORD_SEPARATOR + note.docRoot + "\n";
  if (!note.docRootPlace.empty()) text += std::string("docRootPlace") + RECORD_SEPARATOR + note.docRootPlace + "\n";
  for (const FileIdentity& kept : note.kept) text += std::string("keep") + RECORD_SEPARATOR + identityText(kept) + "\n";
  for (const MadeDirectory& made : note.takeBack) text += madeLine(made);
  return text;
}

bool parseRemovalNote(const std::string& text, RemovalNote* note) {
  bool removedGiven = false;
  for (const std::string& line : linesOf(text)) {
    if (isMadeLine(line)) {
      MadeDirectory made;
      if (!parseMadeLine(line, &made)) return false;
      note->takeBack.push_back(made);
      continue;
    }
    size_t separator = line.find(RECORD_SEPARATOR);
    if (separator == std::string::npos) return false;
    const std::string key = line.substr(0, separator);
    if (!applyNoteValue(key, line.substr(separator + std::strlen(RECORD_SEPARATOR)), note)) return false;
    removedGiven = removedGiven || key == "removed";
  }
  return removedGiven;
}

Message beginRemoval(int root, const std::string& shownRoot, const std::string& name, const RemovalNote& note,
                     Descriptor* removal) {
  const std::string directoryName = removingName(name);
  const std::string shown = joined(shownRoot, directoryName);
  const bool made = mkdirat(root, directoryName.c_str(), REMOVAL_DIRECTORY_MODE) == 0;
  if (!made && errno != EEXIST) return systemFailure("ERR_MKDIR_FAILURE", shown, errno);
  if (made) {
    // Exactly that mode, whatever the umask.
    Descriptor fresh(openat(root, directoryName.c_str(), LISTABLE));
    if (!fresh.valid() || fchmod(fresh.get(), REMOVAL_DIRECTORY_MODE) != 0)
      return systemFailure("ERR_MKDIR_FAILURE", shown, errno);
  }
  Descriptor directory;
  if (Message refused = openRemoval(root, shownRoot, name, &directory)) return refused;
  if (Message failure = replaceFile(directory.get(), REMOVAL_NOTE_TEMPORARY, REMOVAL_NOTE, formatRemovalNote(note),
                                    NOTE_MODE, shown))
    return failure;
  if (syncDirectory(root) != 0) return systemFailure("ERR_FILE_WRITE", shownRoot, errno);
  *removal = std::move(directory);
  return Message();
}

Message openRemoval(int root, const std::string& shownRoot, const std::string& name, Descriptor* removal) {
  const std::string directoryName = removingName(name);
  Descriptor directory(openat(root, directoryName.c_str(), LISTABLE));
  struct stat status;
  if (!directory.valid() || fstat(directory.get(), &status) != 0 || status.st_uid != geteuid() ||
      (status.st_mode & 07777) != REMOVAL_DIRECTORY_MODE)
    return escapedMessage("ERR_CTL_NOTE_UNREADABLE", {joined(shownRoot, directoryName)});
  *removal = std::move(directory);
  return Message();
}

Message moveIntoRemoval(int root, const std::string& shownRoot, const std::string& name, int removal) {
  if (renameat2(root, name.c_str(), removal, REMOVAL_TREE, RENAME_NOREPLACE) != 0 || syncDirectory(root) != 0 ||
      syncDirectory(removal) != 0)
    return notRemoved(joined(shownRoot, name), errno);
  return Message();
}

Message moveBackFromRemoval(int root, const std::string& shownRoot, const std::string& name, int removal) {
  if (renameat2(removal, REMOVAL_TREE, root, name.c_str(), RENAME_NOREPLACE) != 0 || syncDirectory(removal) != 0 ||
      syncDirectory(root) != 0)
    return notRemoved(joined(joined(shownRoot, removingName(name)), REMOVAL_TREE), errno);
  return Message();
}

Message endRemoval(int root, const std::string& shownRoot, const std::string& name, int removal) {
  const std::string directoryName = removingName(name);
  unlinkat(removal, REMOVAL_NOTE_TEMPORARY, 0);
  if (unlinkat(removal, REMOVAL_NOTE, 0) != 0 && errno != ENOENT)
    return notRemoved(joined(joined(shownRoot, directoryName), REMOVAL_NOTE), errno);
  if (unlinkat(root, directoryName.c_str(), AT_REMOVEDIR) != 0 || syncDirectory(root) != 0)
    return notRemoved(joined(shownRoot, directoryName), errno);
  return Message();
}

// --- What an entry is ------------------------------------------------------

Descriptor openEntryTree(int root, const std::string& tree) { return tree.empty() ? Descriptor() : openTree(root, tree); }

bool describeEntry(int root, const std::string& name, InstanceEntry* entry) {
  const ParsedName parsed = parseEntryName(name);
  InstanceEntry found;
  bool described = false;
  switch (parsed.kind) {
    case NameKind::Instance: described = describeInstanceDirectory(root, name, &found); break;
    case NameKind::Broken: described = describeBroken(root, name, &found); break;
    case NameKind::Removing: described = describeRemoval(root, name, parsed.id, &found); break;
    case NameKind::Lock:
    case NameKind::Older:
    case NameKind::Other: break;
  }
  if (described) *entry = std::move(found);
  return described;
}

bool findEntry(int root, const std::string& id, InstanceEntry* entry) {
  const NameKind kind = parseEntryName(id).kind;
  if (kind != NameKind::Instance && kind != NameKind::Broken) return false;
  return describeEntry(root, removingName(id), entry) || describeEntry(root, id, entry);
}

int listEntries(int root, std::vector<InstanceEntry>* entries) {
  DirectoryListing listing = openListing(root, ".");
  if (!listing) return -1;
  std::map<std::string, InstanceEntry> byId;
  while (const dirent* found = readdir(listing.get())) {
    InstanceEntry entry;
    if (!describeEntry(root, found->d_name, &entry)) continue;
    auto known = byId.find(entry.id);
    // An unfinished removal stands for the entry it has not moved yet.
    if (known != byId.end() && known->second.state == EntryState::Removing) continue;
    byId[entry.id] = std::move(entry);
  }
  entries->clear();
  for (auto& [id, entry] : byId) entries->push_back(std::move(entry));
  return 0;
}

IdentifierUse identifierUse(const char* serverRoot, const char* instancesRoot, const char* id, std::string* where,
                            bool holdingLock) {
  auto found = [&](IdentifierUse use, const std::string& path) {
    if (where) *where = path;
    return use;
  };
  const std::string rootPath = instancesRoot ? instancesRoot : "";
  Descriptor root;
  struct stat status;
  if (id && isPlainName(id) && openDirectoryPath(rootPath.c_str(), &root) == 0) {
    // Held shared while this looks, so that no run starts on the entry meanwhile.
    Descriptor shared;
    const bool quiet = holdingLock || lockIsFree(root.get(), &shared);
    const IdentifierUse unfinished = quiet ? IdentifierUse::Unfinished : IdentifierUse::Taken;
    const std::string removal = removingName(id);
    InstanceEntry entry;
    if (describeEntry(root.get(), removal, &entry)) return found(unfinished, joined(rootPath, removal));
    if (fstatat(root.get(), removal.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
      return found(IdentifierUse::Taken, joined(rootPath, removal));
    // Any entry takes the name, a link that leads nowhere included: the
    // claim's mkdir would fail on it.
    if (fstatat(root.get(), id, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      const bool incomplete = describeEntry(root.get(), id, &entry) && entry.state == EntryState::Incomplete;
      return found(incomplete ? unfinished : IdentifierUse::Taken, joined(rootPath, id));
    }
  }
  const std::string older = olderInUsePath(serverRoot ? serverRoot : "", id ? id : "");
  if (stat(older.c_str(), &status) == 0) return found(IdentifierUse::Taken, older);
  return IdentifierUse::Free;
}

// --- The lock --------------------------------------------------------------

Message lockInstancesRoot(const char* instancesRoot, Descriptor* held) {
  return lockFileIn(instancesRoot, INSTANCES_LOCK_NAME, held);
}

Message checkInstancesRootLock(const char* instancesRoot) { return checkLockFileIn(instancesRoot, INSTANCES_LOCK_NAME); }

int syncDirectory(int directory) { return fsync(directory); }
