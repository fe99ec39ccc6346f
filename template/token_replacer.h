// SPDX-License-Identifier: GPL-3.0-or-later
// Expansion of template files whose tokens are written
// <delimiter>NAME<delimiter> (by default %%%NAME%%%). The only failure
// channel is a thrown `const char*`: the failure text, which stays readable
// after the object is gone (until the next failure of a replacer on the same
// thread).
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <memory>

class TokenReplacer {
 public:
  __attribute__((visibility("default"))) static const char* const DEFAULT_TOKEN_DELIMITER;
  static constexpr int TOKEN_CAPACITY = 100;

  // Stores the names (borrowed); nothing is opened until replaceTokens.
  TokenReplacer(const char* templateFileName, const char* targetFileName);
  // Closes the target, then the template.
  ~TokenReplacer();
  TokenReplacer(const TokenReplacer&) = delete;
  TokenReplacer& operator=(const TokenReplacer&) = delete;

  // Makes `text` (borrowed) the delimiter; throws ERR_EMPTY_DELIMITER when it
  // is null or empty.
  void setDelimiter(const char* text);
  // `name` and `value` are borrowed; `value` may be null (the token stays).
  // Throws ERR_TOKEN_LIMIT_EXCEEDED beyond 100 tokens, ERR_TOKEN_NAME_NULL for
  // a null name; the first registration of a name wins.
  void addToken(const char* name, const char* value);
  // Opens both files, writes the expanded template and closes the target
  // (flush and close checked). Throws the open failures, ERR_FILE_READ
  // (template, error text) and ERR_FILE_WRITE (target, error text).
  void replaceTokens();

 private:
  struct Token {
    const char* name;
    const char* value;  // null: the token is left as written
    size_t nameLength;   // cached: names and values are borrowed and unchanging
    size_t valueLength;
    int16_t nextInBucket;  // next token of the same name bucket, or -1
  };
  static constexpr size_t INPUT_LINE_SIZE = 8192;    // a piece holds at most 8191 bytes
  static constexpr size_t OUTPUT_LINE_SIZE = 16384;  // written out whenever full
  static constexpr size_t TOKEN_NAME_LIMIT = 1023;   // a longer name is not a token
  static constexpr size_t ERROR_TEXT_SIZE = 1024;
  static constexpr size_t STREAM_BUFFER_SIZE = 64 * 1024;
  static constexpr unsigned NAME_BUCKETS = 128;  // a power of two

  int32_t delimiterLength;
  char errorText[ERROR_TEXT_SIZE];
  const char* delimiter;
  int32_t tokenCount;
  const char* targetFileName;
  const char* templateFileName;
  Token tokens[TOKEN_CAPACITY];
  int16_t buckets[NAME_BUCKETS];  // first token of each name bucket, or -1
  FILE* templateFile;
  FILE* targetFile;
  char output[OUTPUT_LINE_SIZE];
  size_t outputLength;
  std::unique_ptr<char[]> streamBuffers;  // both streams' stdio buffers

  // Throws the text of `key`, formatted with up to two arguments.
  [[noreturn]] void fail(const char* key, const char* first = nullptr, const char* second = nullptr);
  void openFiles();
  // Reads the template in pieces of at most 8191 bytes, each ending after a
  // line end or at the end of the file, and expands each.
  void expandPieces();
  // Expands one piece (at most INPUT_LINE_SIZE - 1 bytes) into the output.
  void replaceLine(const char* text, size_t length);
  const Token* findToken(const char* name, size_t length) const;
  void append(const char* bytes, size_t length);
  // append's slow path: writes out what is ready first.
  void appendOverflowing(const char* bytes, size_t length);
  void writeTarget(const char* bytes, size_t length);
  // Flushes and closes the target, checked.
  void finishTarget();
};
