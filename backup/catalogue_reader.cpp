// Reading backups.conf into a BackupCatalogue.
//
// Lines the system never writes are handled so that the model's rules hold
// for whatever the file holds:
//   - an entry line with fewer than three colons is skipped;
//   - a tag member whose field has no '/', or whose name matches no entry, is
//     skipped (the member field is split at its LAST '/', so a name holding
//     '/' still resolves);
//   - a tag line without the "::" text marker gets the text "\n";
//   - a description or tag text cut short by the end of the file, or by a
//     NUL, gets its missing '\n', so writing it back cannot glue two lines
//     together;
//   - a tag time before the epoch (" -5:...", blank-led) reads as 0: written
//     back as "-5:..." it would read as the terminator and lose every later tag.
// A read error makes the whole opening fail: writing back a catalogue read
// only in part would lose the rest of it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "backup/catalogue.h"
#include "backup/catalogue_internal.h"

namespace {

constexpr size_t READ_BUFFER_SIZE = 256 * 1024;

enum Section { SETTINGS = 0, ENTRIES = 1, TAGS = 2 };

// getline's buffer, released on every way out.
struct LineBuffer {
  char* data = nullptr;
  size_t capacity = 0;
  ~LineBuffer() { std::free(data); }
};

// What the tag reader needs beyond the catalogue: the entries' name lengths
// and whether each entry is the first of its name. Tags written by the system
// list the entries in order, so member i is checked against entry i before
// the hash index is consulted.
struct ReadState {
  BackupCatalogue* catalogue;
  int section = SETTINGS;
  std::vector<std::string_view> names;
  std::vector<bool> firstOfName;
  std::vector<TagMember> members;  // the tag line being read
};

bool keyIs(const char* key, size_t length, const char* wanted) {
  return std::strlen(wanted) == length && strncasecmp(key, wanted, length) == 0;
}

void readSetting(BackupCatalogue* catalogue, const char* line, size_t length) {
  const char* equals = static_cast<const char*>(std::memchr(line, '=', length));
  if (!equals) return;
  const char* keyEnd = equals;
  while (keyEnd > line && (keyEnd[-1] == ' ' || keyEnd[-1] == '\t')) --keyEnd;
  const size_t keyLength = static_cast<size_t>(keyEnd - line);
  const int32_t value = parseDecimal(equals + 1, line + length);
  if (keyIs(line, keyLength, "diskquota")) catalogue->diskQuota = value;
  if (keyIs(line, keyLength, "maxtags")) catalogue->maxTags = value;
}

const char* nextColon(const char* from, const char* end) {
  return from >= end ? nullptr : static_cast<const char*>(std::memchr(from, ':', static_cast<size_t>(end - from)));
}

void readEntry(ReadState* state, const char* line, size_t length) {
  const char* end = line + length;
  const char* first = nextColon(line, end);
  const char* second = first ? nextColon(first + 1, end) : nullptr;
  const char* third = second ? nextColon(second + 1, end) : nullptr;
  if (!third) return;
  const char* fourth = nextColon(third + 1, end);

  BackupCatalogue* catalogue = state->catalogue;
  BackupEntry entry{};
  entry.name = duplicateText(line, static_cast<size_t>(first - line));
  entry.path = duplicateText(first + 1, static_cast<size_t>(second - first - 1));
  entry.fullPath = resolveBackupPath(catalogue->root, entry.path);
  entry.version = parseDecimal(second + 1, third);
  entry.modifiedTime = parseDecimal(third + 1, fourth ? fourth : end);
  entry.description = fourth ? duplicateLineText(fourth + 1, static_cast<size_t>(end - fourth - 1)) : nullptr;
  appendBackupEntry(catalogue, entry);

  const int32_t index = catalogue->entryCount - 1;
  state->names.emplace_back(entry.name, static_cast<size_t>(first - line));
  state->firstOfName.push_back(findBackupEntry(catalogue, entry.name) == index);
}

int32_t memberEntry(const ReadState& state, std::string_view name, size_t position) {
  if (position < state.names.size() && state.firstOfName[position] && state.names[position] == name)
    return static_cast<int32_t>(position);
  auto found = state.catalogue->nameIndex->first.find(name);
  return found == state.catalogue->nameIndex->first.end() ? -1 : found->second;
}

void readMember(ReadState* state, const char* field, const char* fieldEnd) {
  const char* slash = static_cast<const char*>(memrchr(field, '/', static_cast<size_t>(fieldEnd - field)));
  if (!slash) return;
  const int32_t index = memberEntry(*state, std::string_view(field, static_cast<size_t>(slash - field)),
                                    state->members.size());
  if (index < 0) return;
  state->members.push_back(TagMember{index, parseDecimal(slash + 1, fieldEnd)});
}

inline uint64_t load64(const char* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Equality of `length` bytes, eight at a time: entry names are short, and a
// memcmp call per tag member is a large share of reading a big catalogue.
inline bool sameBytes(const char* a, const char* b, size_t length) {
  if (length < 8) return std::memcmp(a, b, length) == 0;
  for (size_t i = 0; i + 8 < length; i += 8) {
    if (load64(a + i) != load64(b + i)) return false;
  }
  return load64(a + length - 8) == load64(b + length - 8);
}

// The member field at `field` when it is exactly "<name of the expected
// entry>/<digits>:", the shape the system writes: read in one pass, without
// the searches of the general case. False (nothing read) for anything else.
bool readExpectedMember(ReadState* state, const char* field, const char* end, const char** fieldEnd) {
  const size_t position = state->members.size();
  if (position >= state->names.size() || !state->firstOfName[position]) return false;
  const std::string_view name = state->names[position];
  if (static_cast<size_t>(end - field) < name.size() + 3 || !sameBytes(field, name.data(), name.size()) ||
      field[name.size()] != '/')
    return false;
  const char* digits = field + name.size() + 1;
  const char* p = digits;
  long long version = 0;
  for (; p < end && *p >= '0' && *p <= '9' && p - digits < 10; ++p) version = version * 10 + (*p - '0');
  if (p == digits || p >= end || *p != ':') return false;
  state->members.push_back(TagMember{static_cast<int32_t>(position), clampToInt32(version)});
  *fieldEnd = p;
  return true;
}

void readTag(ReadState* state, const char* line, size_t length) {
  const char* end = line + length;
  const char* colon = nextColon(line, end);
  if (!colon) return;
  state->members.clear();
  const char* text = nullptr;
  for (const char* p = colon + 1; p < end;) {
    if (*p == ':') {  // a colon right after the one that ended a field: the text follows
      text = p + 1;
      break;
    }
    const char* fieldEnd;
    if (!readExpectedMember(state, p, end, &fieldEnd)) {
      fieldEnd = nextColon(p, end);
      if (!fieldEnd) break;  // a field no colon ends is not a member
      readMember(state, p, fieldEnd);
    }
    p = fieldEnd + 1;
  }

  BackupTag tag{};
  tag.time = tagTimeForFile(parseDecimal(line, colon));
  tag.memberCount = static_cast<int32_t>(state->members.size());
  tag.members = static_cast<TagMember*>(std::malloc(sizeof(TagMember) * (state->members.size() + 1)));
  if (!tag.members) throw std::bad_alloc();
  if (!state->members.empty()) std::memcpy(tag.members, state->members.data(), sizeof(TagMember) * state->members.size());
  tag.text = text ? duplicateLineText(text, static_cast<size_t>(end - text)) : duplicateText("\n");
  appendBackupTag(state->catalogue, tag);
}

// Handles one line; false when it is the terminator.
bool readLine(ReadState* state, const char* line, size_t length) {
  if (line[0] == '\n') {
    ++state->section;
    return true;
  }
  if (state->section == SETTINGS) {
    readSetting(state->catalogue, line, length);
  } else if (state->section == ENTRIES) {
    readEntry(state, line, length);
  } else {
    if (line[0] == '-') return false;
    readTag(state, line, length);
  }
  return true;
}

// Reads everything after the header; false on a read error.
bool readBody(BackupCatalogue* catalogue, FILE* stream) {
  ReadState state;
  state.catalogue = catalogue;
  LineBuffer line;
  for (;;) {
    const ssize_t length = getline(&line.data, &line.capacity, stream);
    if (length <= 0) break;
    if (!readLine(&state, line.data, static_cast<size_t>(length))) return true;
  }
  return !std::ferror(stream);
}

}  // namespace

BackupCatalogue* readBackupCatalogue(const char* root, const char* path, FILE* stream) {
  CataloguePtr catalogue(newBackupCatalogue(root, path));
  // The header's text is not examined: any version reads the same way.
  char header[BACKUP_TEXT_LIMIT];
  if (!std::fgets(header, sizeof header, stream)) {
    if (std::ferror(stream)) return nullptr;
    return catalogue.release();  // an empty file is an empty catalogue
  }
  if (!readBody(catalogue.get(), stream)) return nullptr;
  return catalogue.release();
}

BackupCatalogue* openBackupCatalogue(const char* root, const char* path) {
  struct stat status;
  if (stat(path, &status) != 0) return nullptr;
  FilePtr file(std::fopen(path, "r+"));
  if (!file) return nullptr;

  // Read through a second stream on the same open file, with a buffer large
  // enough for catalogues of thousands of tags; the "r+" stream itself is only
  // kept open (a writable catalogue is part of the contract).
  int readDescriptor = dup(fileno(file.get()));
  if (readDescriptor < 0) return nullptr;
  FilePtr reader(fdopen(readDescriptor, "r"));
  if (!reader) {
    close(readDescriptor);
    return nullptr;
  }
  std::unique_ptr<char[]> buffer(new char[READ_BUFFER_SIZE]);
  std::setvbuf(reader.get(), buffer.get(), _IOFBF, READ_BUFFER_SIZE);

  CataloguePtr catalogue(readBackupCatalogue(root, path, reader.get()));
  reader.reset();  // before its buffer goes
  if (!catalogue) return nullptr;
  catalogue->file = file.release();
  return catalogue.release();
}
