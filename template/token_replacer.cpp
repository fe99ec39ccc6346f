// SPDX-License-Identifier: GPL-3.0-or-later
// Template expansion, streamed through fixed buffers: memory does not grow
// with the template, and every delimiter of a piece is found in one vector
// pass (a bit per byte) rather than byte by byte.
#include "template/token_replacer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unicode/uloc.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "messages/messages.h"

const char* const TokenReplacer::DEFAULT_TOKEN_DELIMITER = "%%%";

namespace {

// The text that is thrown. The catching writer reads it after the object is
// gone, so it cannot live in the object; one buffer per thread outlives every
// object and frees nothing it would have to track. It holds the latest failure
// of any replacer on this thread until the next one.
thread_local char thrownText[1024];

// Copies at most size - 1 bytes of text without splitting a UTF-8 sequence.
void copyCut(char* destination, size_t size, const char* text) {
  size_t length = std::strlen(text);
  if (length > size - 1) {
    length = size - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(destination, text, length);
  destination[length] = '\0';
}

inline uint64_t load64(const char* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Byte-wise equality of two names of `length` bytes, eight bytes at a time
// (names are short: a memcmp call costs more than the comparison).
inline bool sameName(const char* a, const char* b, size_t length) {
  if (length < 8) return std::memcmp(a, b, length) == 0;
  for (size_t i = 0; i + 8 < length; i += 8) {
    if (load64(a + i) != load64(b + i)) return false;
  }
  return load64(a + length - 8) == load64(b + length - 8);
}

// Bucket of a token name: cheap to compute (length and three bytes), good
// enough to leave about one name per bucket for the tables this class holds.
inline unsigned nameBucket(const char* name, size_t length, unsigned buckets) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
  return (static_cast<unsigned>(length) * 131u + bytes[0] * 31u + bytes[length - 1] * 7u + bytes[length / 2]) &
         (buckets - 1);
}

constexpr size_t START_WORDS = (8192 + 63) / 64;  // one bit per byte of the longest piece

#if defined(__SSE2__)
// Bit i of `equal` is set when text[i] == c, for the first `length` bytes.
void markByte(const char* text, size_t length, char c, uint64_t* equal) {
  const __m128i wanted = _mm_set1_epi8(c);
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    uint64_t word = 0;
    for (int part = 0; part < 4; ++part) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 16 * part));
      word |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, wanted))))
              << (16 * part);
    }
    equal[i / 64] = word;
  }
  if (i < length) {
    uint64_t word = 0;
    size_t j = i;
    for (; j + 16 <= length; j += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + j));
      word |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, wanted))))
              << (j - i);
    }
    for (; j < length; ++j) word |= static_cast<uint64_t>(text[j] == c) << (j - i);
    equal[i / 64] = word;
  }
}
#else
void markByte(const char* text, size_t length, char c, uint64_t* equal) {
  for (size_t w = 0; w * 64 < length; ++w) equal[w] = 0;
  for (size_t j = 0; j < length; ++j) equal[j / 64] |= static_cast<uint64_t>(text[j] == c) << (j % 64);
}
#endif

// starts[w] &= marks shifted down by `shift` bits, over `words` words.
void andShifted(uint64_t* starts, const uint64_t* marks, size_t words, size_t shift) {
  const size_t skip = shift / 64;
  const size_t bits = shift % 64;
  for (size_t w = 0; w < words; ++w) {
    const size_t from = w + skip;
    uint64_t word = from < words ? marks[from] >> bits : 0;
    if (bits != 0 && from + 1 < words) word |= marks[from + 1] << (64 - bits);
    starts[w] &= word;
  }
}

// Bit i of `starts` is set when a whole delimiter begins at text[i] within
// the `length` bytes: text[i + s] == delimiter[s] for every s. Bits past the
// end are 0, so no delimiter runs over the end of the piece.
void markDelimiterStarts(const char* text, size_t length, const char* delimiter, size_t delimiterLength,
                         uint64_t* starts) {
  const size_t words = (length + 63) / 64;
  markByte(text, length, delimiter[0], starts);
  uint64_t marks[START_WORDS];
  std::memcpy(marks, starts, words * sizeof marks[0]);
  char marked = delimiter[0];  // the byte `marks` holds; the default delimiter needs one pass
  for (size_t shift = 1; shift < delimiterLength; ++shift) {
    if (delimiter[shift] != marked) {
      marked = delimiter[shift];
      markByte(text, length, marked, marks);
    }
    andShifted(starts, marks, words, shift);
  }
}

// The first set bit at or after `from`, or `limit` when there is none.
inline __attribute__((always_inline)) size_t nextStart(const uint64_t* starts, size_t from, size_t limit) {
  if (from >= limit) return limit;
  size_t w = from / 64;
  uint64_t word = starts[w] & (~uint64_t{0} << (from % 64));
  const size_t words = (limit + 63) / 64;
  while (!word) {
    if (++w >= words) return limit;
    word = starts[w];
  }
  const size_t found = w * 64 + static_cast<size_t>(__builtin_ctzll(word));
  return found < limit ? found : limit;
}

}  // namespace

TokenReplacer::TokenReplacer(const char* templateName, const char* targetName)
    : delimiterLength(static_cast<int32_t>(std::strlen(DEFAULT_TOKEN_DELIMITER))),
      errorText(),
      delimiter(DEFAULT_TOKEN_DELIMITER),
      tokenCount(0),
      targetFileName(targetName),
      templateFileName(templateName),
      tokens(),
      templateFile(nullptr),
      targetFile(nullptr),
      outputLength(0) {
  for (int16_t& bucket : buckets) bucket = -1;
}

TokenReplacer::~TokenReplacer() {
  if (targetFile) std::fclose(targetFile);
  if (templateFile) std::fclose(templateFile);
}

void TokenReplacer::fail(const char* key, const char* first, const char* second) {
  char* text;
  if (second)
    text = get_and_format_message(2, rBundle, uloc_getDefault(), key, first, second);
  else if (first)
    text = get_and_format_message(1, rBundle, uloc_getDefault(), key, first);
  else
    text = get_resource_string_icu(rBundle, key);
  copyCut(errorText, sizeof errorText, text ? text : key);
  std::free(text);
  std::memcpy(thrownText, errorText, sizeof thrownText);
  throw static_cast<const char*>(thrownText);
}

void TokenReplacer::setDelimiter(const char* text) {
  if (!text || !*text) fail("ERR_EMPTY_DELIMITER");
  delimiter = text;
  delimiterLength = static_cast<int32_t>(std::strlen(text));
}

void TokenReplacer::addToken(const char* name, const char* value) {
  if (tokenCount >= TOKEN_CAPACITY) fail("ERR_TOKEN_LIMIT_EXCEEDED", std::to_string(TOKEN_CAPACITY).c_str());
  if (!name) fail("ERR_TOKEN_NAME_NULL");
  const size_t nameLength = std::strlen(name);
  tokens[tokenCount] = Token{name, value, nameLength, value ? std::strlen(value) : 0, -1};
  if (nameLength > 0) {
    // Chained at the tail: a lookup meets the first registration of a name first.
    int16_t* link = &buckets[nameBucket(name, nameLength, NAME_BUCKETS)];
    while (*link >= 0) link = &tokens[*link].nextInBucket;
    *link = static_cast<int16_t>(tokenCount);
  }
  ++tokenCount;
}

void TokenReplacer::openFiles() {
  if (!templateFileName) fail("ERR_TEMPLATE_FILE_NAME_NULL");
  if (!targetFileName) fail("ERR_TARGET_FILE_NAME_NULL");
  if (targetFile) std::fclose(targetFile);  // left by an earlier, failed run
  if (templateFile) std::fclose(templateFile);
  // Both opens come first: a missing template still leaves an empty target.
  templateFile = std::fopen(templateFileName, "r");
  targetFile = std::fopen(targetFileName, "w");
  if (!templateFile) fail("ERR_OPEN_TEMPLATE_FILE", templateFileName);
  if (!targetFile) fail("ERR_OPEN_TARGET_FILE", targetFileName);
  streamBuffers.reset(new char[2 * STREAM_BUFFER_SIZE]);
  std::setvbuf(templateFile, streamBuffers.get(), _IOFBF, STREAM_BUFFER_SIZE);
  std::setvbuf(targetFile, streamBuffers.get() + STREAM_BUFFER_SIZE, _IOFBF, STREAM_BUFFER_SIZE);
}

void TokenReplacer::replaceTokens() {
  outputLength = 0;
  openFiles();
  expandPieces();
  if (outputLength > 0) writeTarget(output, outputLength);
  outputLength = 0;
  finishTarget();
  std::fclose(templateFile);  // only read: nothing to check
  templateFile = nullptr;
}

namespace {

// Most pieces between tokens, and most values, are a few bytes long: copying
// them with two overlapping moves beats a call of memcpy.
inline void copySmall(char* to, const char* from, size_t length) {
  if (length >= 8) {
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + length - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + length - 8, &tail, 8);
  } else if (length >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + length - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + length - 4, &tail, 4);
  } else {
    for (size_t i = 0; i < length; ++i) to[i] = from[i];
  }
}

}  // namespace

inline void TokenReplacer::append(const char* bytes, size_t length) {
  if (length <= 16 && length <= OUTPUT_LINE_SIZE - outputLength) {
    copySmall(output + outputLength, bytes, length);
    outputLength += length;
    return;
  }
  if (length <= OUTPUT_LINE_SIZE - outputLength) {
    std::memcpy(output + outputLength, bytes, length);
    outputLength += length;
    return;
  }
  appendOverflowing(bytes, length);
}

void TokenReplacer::expandPieces() {
  char input[INPUT_LINE_SIZE];
  size_t start = 0;
  size_t end = 0;
  bool atEnd = false;
  for (;;) {
    const size_t available = end - start < INPUT_LINE_SIZE - 1 ? end - start : INPUT_LINE_SIZE - 1;
    const char* lineEnd = static_cast<const char*>(std::memchr(input + start, '\n', available));
    if (!lineEnd && available < INPUT_LINE_SIZE - 1 && !atEnd) {
      // The piece is not complete yet: keep its start and read on behind it.
      std::memmove(input, input + start, end - start);
      end -= start;
      start = 0;
      errno = 0;
      const size_t wanted = INPUT_LINE_SIZE - end;
      const size_t got = std::fread(input + end, 1, wanted, templateFile);
      end += got;
      if (got < wanted) {
        if (std::ferror(templateFile)) fail("ERR_FILE_READ", templateFileName, std::strerror(errno ? errno : EIO));
        atEnd = true;
      }
      continue;
    }
    if (available == 0) return;
    const size_t pieceLength = lineEnd ? static_cast<size_t>(lineEnd - (input + start)) + 1 : available;
    replaceLine(input + start, pieceLength);
    start += pieceLength;
  }
}

inline const TokenReplacer::Token* TokenReplacer::findToken(const char* name, size_t length) const {
  for (int16_t i = buckets[nameBucket(name, length, NAME_BUCKETS)]; i >= 0; i = tokens[i].nextInBucket) {
    if (tokens[i].nameLength == length && sameName(tokens[i].name, name, length)) return &tokens[i];
  }
  return nullptr;
}

// The opening is the first delimiter start at or after the scan position,
// the closing the first start at or after the end of the opening; the scan
// goes on behind the closing, so inserted values are never scanned and tokens
// do not nest.
void TokenReplacer::replaceLine(const char* text, size_t n) {
  const size_t L = static_cast<size_t>(delimiterLength);
  uint64_t starts[START_WORDS];
  markDelimiterStarts(text, n, delimiter, L, starts);
  size_t position = 0;
  while (position < n) {
    const size_t p = nextStart(starts, position, n);
    const size_t q = p < n && n >= p + 2 * L + 1 ? nextStart(starts, p + L, n) : n;
    if (q >= n) {
      append(text + position, n - position);
      return;
    }
    const size_t k = q - p - L;
    const Token* token = k > 0 && k <= TOKEN_NAME_LIMIT ? findToken(text + p + L, k) : nullptr;
    if (token && token->value) {
      append(text + position, p - position);
      append(token->value, token->valueLength);
    } else {
      append(text + position, q + L - position);  // the token stays exactly as written
    }
    position = q + L;
  }
}

void TokenReplacer::appendOverflowing(const char* bytes, size_t length) {
  // Write out what is ready rather than cut the line short.
  writeTarget(output, outputLength);
  outputLength = 0;
  if (length > OUTPUT_LINE_SIZE) {
    writeTarget(bytes, length);
    return;
  }
  std::memcpy(output + outputLength, bytes, length);
  outputLength += length;
}

void TokenReplacer::writeTarget(const char* bytes, size_t length) {
  errno = 0;
  if (std::fwrite(bytes, 1, length, targetFile) != length)
    fail("ERR_FILE_WRITE", targetFileName, std::strerror(errno ? errno : EIO));
}

void TokenReplacer::finishTarget() {
  errno = 0;
  if (std::fflush(targetFile) != 0) fail("ERR_FILE_WRITE", targetFileName, std::strerror(errno ? errno : EIO));
  FILE* file = targetFile;
  targetFile = nullptr;
  errno = 0;
  if (std::fclose(file) != 0) fail("ERR_FILE_WRITE", targetFileName, std::strerror(errno ? errno : EIO));
}
