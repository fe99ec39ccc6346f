// Template expansion, streamed through fixed buffers: memory does not grow
// with the template, and the delimiter search runs over whole pieces with
// memchr/memcmp rather than byte by byte.
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

// Delimiters are a few bytes long: comparing them in line beats a memcmp call
// per candidate.
inline bool startsWith(const char* text, const char* delimiter, size_t delimiterLength) {
  size_t i = 1;
  while (i < delimiterLength && text[i] == delimiter[i]) ++i;
  return i == delimiterLength;
}

// The first `c` in [p, end), or null. Templates are dense with delimiters,
// so most searches are short: compare 16 bytes at a time without a branch per
// byte, and without a call per search.
inline const char* findByte(const char* p, const char* end, char c) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(c);
  for (; end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, wanted)));
    if (mask) return p + __builtin_ctz(mask);
  }
#endif
  return p < end ? static_cast<const char*>(std::memchr(p, c, static_cast<size_t>(end - p))) : nullptr;
}

inline const char* findDelimiter(const char* text, size_t length, const char* delimiter, size_t delimiterLength) {
  if (length < delimiterLength) return nullptr;
  const char* end = text + length - delimiterLength + 1;  // past the last place a delimiter can start
  for (const char* p = findByte(text, end, delimiter[0]); p; p = findByte(p + 1, end, delimiter[0])) {
    if (startsWith(p, delimiter, delimiterLength)) return p;
  }
  return nullptr;
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

inline void TokenReplacer::append(const char* bytes, size_t length) {
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

void TokenReplacer::replaceLine(const char* text, size_t length) {
  while (text) text = replaceNextToken(text, length, &length);
}

const char* TokenReplacer::replaceNextToken(const char* text, size_t n, size_t* restLength) {
  const size_t L = static_cast<size_t>(delimiterLength);
  if (n == 0) return nullptr;
  const char* opening = findDelimiter(text, n, delimiter, L);
  const size_t p = opening ? static_cast<size_t>(opening - text) : n;
  const char* closing = opening && n >= p + 2 * L + 1 ? findDelimiter(opening + L, n - p - L, delimiter, L) : nullptr;
  if (!closing) {
    append(text, n);
    return nullptr;
  }
  const size_t q = static_cast<size_t>(closing - text);
  const size_t k = q - p - L;
  const Token* token = k > 0 && k <= TOKEN_NAME_LIMIT ? findToken(opening + L, k) : nullptr;
  if (token && token->value) {
    append(text, p);
    append(token->value, token->valueLength);
  } else {
    append(text, q + L);  // the token stays exactly as written
  }
  if (q + L >= n) return nullptr;
  *restLength = n - q - L;
  return text + q + L;
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
