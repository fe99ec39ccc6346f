// SPDX-License-Identifier: GPL-3.0-or-later
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
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "backup/catalogue.h"
#include "backup/catalogue_internal.h"

namespace {

// Bytes asked of the stream per read: large reads keep the system calls few,
// and a block this size stays in the processor's caches while it is parsed.
constexpr size_t READ_BLOCK_SIZE = 256 * 1024;

enum Section { SETTINGS = 0, ENTRIES = 1, TAGS = 2 };

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

void* reallocateOrDie(void* block, size_t size) {
  void* grown = std::realloc(block, size == 0 ? 1 : size);
  if (!grown) throw std::bad_alloc();
  return grown;
}

// Hands out the lines of a stream in place, from a buffer filled by large
// block reads: no copy per line, and one buffer for the whole reading. A line
// longer than the buffer doubles it, so lines of any length are read whole.
struct LineReader {
  FILE* stream;
  std::unique_ptr<char, FreeDeleter> buffer;
  size_t capacity = 0;
  size_t begin = 0;    // start of the unread text
  size_t scanned = 0;  // text before this holds no line end
  size_t end = 0;      // end of the text read so far
  bool exhausted = false;
  bool failed = false;

  explicit LineReader(FILE* from) : stream(from) {}

  // Moves the unread text to the front, grows the buffer when that text fills
  // it, and reads another block; false at the end of the input or on an error.
  bool fill() {
    if (begin > 0) {
      std::memmove(buffer.get(), buffer.get() + begin, end - begin);
      scanned -= begin;
      end -= begin;
      begin = 0;
    }
    if (end == capacity) {
      capacity = capacity == 0 ? READ_BLOCK_SIZE : capacity * 2;
      buffer.reset(static_cast<char*>(reallocateOrDie(buffer.release(), capacity)));
    }
    const size_t got = std::fread(buffer.get() + end, 1, capacity - end, stream);
    end += got;
    if (got == 0) {
      exhausted = true;
      failed = std::ferror(stream) != 0;
    }
    return got > 0;
  }

  // The next line, its '\n' included (the last line may lack it); false at
  // the end of the input or on a read error (see `failed`).
  bool next(const char** line, size_t* length) {
    for (;;) {
      const char* data = buffer.get();
      const char* lineEnd =
          scanned < end ? static_cast<const char*>(std::memchr(data + scanned, '\n', end - scanned)) : nullptr;
      if (lineEnd) {
        *line = data + begin;
        *length = static_cast<size_t>(lineEnd + 1 - *line);
        begin = scanned = static_cast<size_t>(lineEnd + 1 - data);
        return true;
      }
      scanned = end;
      if (!exhausted && fill()) continue;
      if (failed || begin == end) return false;
      *line = data + begin;
      *length = end - begin;
      begin = scanned = end;
      return true;
    }
  }
};

// One entry as the tag reader sees it: tags written by the system list the
// entries in order, so member j is first checked against entry j, which is a
// valid answer only when that entry is the first of its name (first match
// wins). The entries' name fields, each followed by '/', lie side by side in
// one text, so that checking a member walks memory in order.
struct ExpectedField {
  size_t offset;  // of the name field in ReadState::expectedText
  size_t length;  // the name field's length in the line, '/' included
  bool firstOfName;
};

// The members of the tag line being read, grown geometrically and cut to
// their exact count once the line is done.
struct MemberList {
  std::unique_ptr<TagMember, FreeDeleter> data;
  size_t count = 0;
  size_t capacity = 0;

  void reserve(size_t wanted) {
    if (wanted <= capacity) return;
    data.reset(static_cast<TagMember*>(reallocateOrDie(data.release(), wanted * sizeof(TagMember))));
    capacity = wanted;
  }
  void push(int32_t entryIndex, int32_t version) {
    if (count == capacity) reserve(capacity < 8 ? 8 : capacity * 2);
    data.get()[count++] = TagMember{entryIndex, version};
  }
  // The array at its exact size (room for one when empty, never null).
  TagMember* release() {
    TagMember* members = static_cast<TagMember*>(reallocateOrDie(data.release(), (count + 1) * sizeof(TagMember)));
    count = capacity = 0;
    return members;
  }
};

struct ReadState {
  BackupCatalogue* catalogue;
  int section = SETTINGS;
  std::string expectedText;
  std::vector<ExpectedField> expected;
  size_t previousMemberCount = 0;  // a tag usually lists as many entries as the one before, or one more
  // Room in catalogue->entries and ->tags: while reading, both arrays grow
  // geometrically (moving a large array for every line would cost more than
  // the reading itself); finishRead cuts them to their exact counts.
  size_t entryCapacity = 0;
  size_t tagCapacity = 0;
};

template <typename Item>
void appendGrowing(Item** items, int32_t* count, size_t* capacity, const Item& item) {
  if (static_cast<size_t>(*count) == *capacity) {
    *capacity = *capacity < 16 ? 16 : *capacity * 2;
    *items = static_cast<Item*>(reallocateOrDie(*items, *capacity * sizeof(Item)));
  }
  (*items)[(*count)++] = item;
}

// Cuts the arrays grown while reading to their exact counts.
void finishRead(ReadState* state) {
  BackupCatalogue* catalogue = state->catalogue;
  if (state->entryCapacity > static_cast<size_t>(catalogue->entryCount))
    catalogue->entries = static_cast<BackupEntry*>(
        reallocateOrDie(catalogue->entries, static_cast<size_t>(catalogue->entryCount) * sizeof(BackupEntry)));
  if (state->tagCapacity > static_cast<size_t>(catalogue->tagCount))
    catalogue->tags = static_cast<BackupTag*>(
        reallocateOrDie(catalogue->tags, static_cast<size_t>(catalogue->tagCount) * sizeof(BackupTag)));
  state->entryCapacity = static_cast<size_t>(catalogue->entryCount);
  state->tagCapacity = static_cast<size_t>(catalogue->tagCount);
}

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
  appendGrowing(&catalogue->entries, &catalogue->entryCount, &state->entryCapacity, entry);
  const int32_t index = catalogue->entryCount - 1;
  indexBackupEntry(catalogue, index);
  const size_t nameLength = static_cast<size_t>(first - line);
  state->expected.push_back(
      ExpectedField{state->expectedText.size(), nameLength + 1, findBackupEntry(catalogue, entry.name) == index});
  state->expectedText.append(line, nameLength).push_back('/');
}

// A member field in general: split at its LAST '/'; the name is checked
// against the expected entry, then looked up in the index. Fields without '/'
// and unknown names add nothing.
void readMember(const ReadState& state, const char* field, const char* fieldEnd, MemberList* members) {
  const char* slash = static_cast<const char*>(memrchr(field, '/', static_cast<size_t>(fieldEnd - field)));
  if (!slash) return;
  const std::string_view name(field, static_cast<size_t>(slash - field));
  const size_t position = members->count;
  int32_t index = -1;
  if (position < state.expected.size() && state.expected[position].firstOfName &&
      std::string_view(state.expectedText.data() + state.expected[position].offset,
                       state.expected[position].length - 1) == name) {
    index = static_cast<int32_t>(position);
  } else {
    const auto& names = state.catalogue->nameIndex->first;
    auto found = names.find(name);
    if (found == names.end()) return;
    index = found->second;
  }
  members->push(index, parseDecimal(slash + 1, fieldEnd));
}

template <typename Word>
inline Word load(const char* p) {
  Word value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Equality of `length` bytes by word loads, the last word overlapping the
// one before: entry names are short, and a memcmp call per member would be a
// large share of reading a big catalogue. Both sides hold at least `length`
// readable bytes.
inline bool sameBytes(const char* a, const char* b, size_t length) {
  if (length >= 8) {
    for (size_t i = 0; i + 8 < length; i += 8) {
      if (load<uint64_t>(a + i) != load<uint64_t>(b + i)) return false;
    }
    return load<uint64_t>(a + length - 8) == load<uint64_t>(b + length - 8);
  }
  if (length >= 4) return load<uint32_t>(a) == load<uint32_t>(b) && load<uint32_t>(a + length - 4) == load<uint32_t>(b + length - 4);
  for (size_t i = 0; i < length; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Reads the version of a member field from `digits`: 1 to 10 digits and
// the ':' that ends the field. Returns the position after the ':', or null
// for any other shape (which the general reading then handles). At least
// two bytes must follow `digits` inside the line.
inline const char* readVersion(const char* digits, const char* end, int32_t* version) {
  // Versions are mostly one digit: "<digit>:" is read without a loop.
  const unsigned first = static_cast<unsigned char>(digits[0] - '0');
  if (first < 10 && digits[1] == ':') {
    *version = static_cast<int32_t>(first);
    return digits + 2;
  }
  const char* limit = end - digits > 10 ? digits + 10 : end;
  const char* p = digits;
  uint64_t value = 0;
  for (; p < limit && static_cast<unsigned char>(*p - '0') < 10; ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
  if (p == digits || p >= end || *p != ':') return nullptr;
  *version = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
  return p + 1;
}

// Reads, from `p` on, the member fields that are exactly "<name of the
// expected entry>/<1 to 10 digits>:", the shape the system writes, and
// returns where the first field of any other shape begins. Such a field
// gives the same member as the general reading would, without its searches;
// the loop keeps its state in locals, as it runs once per member.
const char* readExpectedMembers(const ReadState& state, const char* p, const char* end, MemberList* members) {
  const ExpectedField* expected = state.expected.data();
  const size_t expectedCount = state.expected.size();
  const char* names = state.expectedText.data();
  size_t count = members->count;
  while (count < expectedCount) {
    const ExpectedField field = expected[count];
    if (!field.firstOfName || static_cast<size_t>(end - p) < field.length + 2 ||
        !sameBytes(p, names + field.offset, field.length))
      break;
    int32_t version;
    const char* next = readVersion(p + field.length, end, &version);
    if (!next) break;
    if (count == members->capacity) {
      members->count = count;
      members->reserve(count < 8 ? 8 : count * 2);
    }
    members->data.get()[count] = TagMember{static_cast<int32_t>(count), version};
    ++count;
    p = next;
  }
  members->count = count;
  return p;
}

void readTag(ReadState* state, const char* line, size_t length) {
  const char* end = line + length;
  const char* colon = nextColon(line, end);
  if (!colon) return;
  MemberList members;
  members.reserve(state->previousMemberCount + 1);
  const char* text = nullptr;
  for (const char* p = colon + 1; p < end;) {
    if (*p == ':') {  // a colon right after the one that ended a field: the text follows
      text = p + 1;
      break;
    }
    const char* after = readExpectedMembers(*state, p, end, &members);
    if (after != p) {
      p = after;
      continue;
    }
    const char* fieldEnd = nextColon(p, end);
    if (!fieldEnd) break;  // a field no colon ends is not a member
    readMember(*state, p, fieldEnd, &members);
    p = fieldEnd + 1;
  }

  BackupTag tag{};
  tag.time = tagTimeForFile(parseDecimal(line, colon));
  tag.memberCount = static_cast<int32_t>(members.count);
  state->previousMemberCount = members.count;
  tag.members = members.release();
  tag.text = text ? duplicateLineText(text, static_cast<size_t>(end - text)) : duplicateText("\n");
  appendGrowing(&state->catalogue->tags, &state->catalogue->tagCount, &state->tagCapacity, tag);
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
  LineReader lines(stream);
  const char* line;
  size_t length;
  bool terminated = false;
  while (!terminated && lines.next(&line, &length)) terminated = !readLine(&state, line, length);
  finishRead(&state);
  return terminated || !lines.failed;
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

  // The body is read in large blocks straight into the reader's own buffer,
  // so the stream's small buffer costs nothing; the stream stays open for
  // the life of the catalogue (a writable catalogue is part of the contract).
  CataloguePtr catalogue(readBackupCatalogue(root, path, file.get()));
  if (!catalogue) return nullptr;
  catalogue->file = file.release();
  return catalogue.release();
}
