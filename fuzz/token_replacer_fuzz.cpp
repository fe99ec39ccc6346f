// The token replacer on any template and token table, compared with a plain
// expansion written from its rules:
//   - a token is delimiter, name, delimiter; the name is at least one byte
//     (and at most 1023: a longer one is left as written);
//   - the first registration of a name gives its value; an unknown name, or
//     one first registered without a value, stays exactly as written;
//   - scanning resumes after the closing delimiter (values are not scanned);
//   - the template is expanded in pieces: up to and including a line end, at
//     most 8191 bytes each, so a token cut by a piece boundary stays.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "template/token_replacer.h"

namespace {

constexpr size_t PIECE_LIMIT = 8191;
constexpr size_t NAME_LIMIT = 1023;

struct Token {
  std::string name;
  std::optional<std::string> value;
};

// Names from the writers' templates, so that inputs hit registered tokens often.
const char* const kKnownNames[] = {"SERVER_ROOT", "HTTP_PORT", "SERVER_ID", "A", "B", "X"};

const std::optional<std::string>* lookUp(const std::vector<Token>& tokens, const std::string& name) {
  for (const Token& token : tokens)
    if (token.name == name) return &token.value;
  return nullptr;
}

std::string expandPiece(std::string rest, const std::string& delimiter, const std::vector<Token>& tokens) {
  const size_t L = delimiter.size();
  std::string out;
  for (;;) {
    size_t p = rest.find(delimiter);
    if (p == std::string::npos || rest.size() < p + 2 * L + 1) return out + rest;
    size_t q = rest.find(delimiter, p + L);
    if (q == std::string::npos) return out + rest;
    std::string name = rest.substr(p + L, q - p - L);
    const std::optional<std::string>* value =
        !name.empty() && name.size() <= NAME_LIMIT ? lookUp(tokens, name) : nullptr;
    if (value && *value)
      out += rest.substr(0, p) + **value;
    else
      out += rest.substr(0, q + L);
    rest.erase(0, q + L);
  }
}

std::string expand(const std::string& text, const std::string& delimiter, const std::vector<Token>& tokens) {
  std::string out;
  for (size_t start = 0; start < text.size();) {
    size_t lineEnd = text.find('\n', start);
    size_t length = lineEnd == std::string::npos ? text.size() - start : lineEnd - start + 1;
    if (length > PIECE_LIMIT) length = PIECE_LIMIT;
    out += expandPiece(text.substr(start, length), delimiter, tokens);
    start += length;
  }
  return out;
}

// A C string's view of a consumed string: the replacer sees names, values
// and the delimiter only up to their first NUL.
std::string cText(const std::string& bytes) { return std::string(bytes.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  std::string delimiter = "%%%";
  if (provider.ConsumeBool()) delimiter = cText(provider.ConsumeRandomLengthString(4));
  std::vector<Token> tokens(provider.ConsumeIntegralInRange<size_t>(0, 8));
  for (Token& token : tokens) {
    token.name = provider.ConsumeBool() ? kKnownNames[provider.ConsumeIntegralInRange<size_t>(0, 5)]
                                        : cText(provider.ConsumeRandomLengthString(16));
    if (provider.ConsumeBool()) token.value = cText(provider.ConsumeRandomLengthString(24));
  }
  const std::string templateText = provider.ConsumeRemainingBytesAsString();

  const std::string templatePath = scratchDirectory() + "/template";
  const std::string targetPath = scratchDirectory() + "/target";
  writeWholeFile(templatePath, templateText);
  {
    TokenReplacer replacer(templatePath.c_str(), targetPath.c_str());
    try {
      replacer.setDelimiter(delimiter.c_str());
    } catch (const char*) {
      FUZZ_CHECK(delimiter.empty(), "delimiter refused: " + delimiter);
      delimiter = TokenReplacer::DEFAULT_TOKEN_DELIMITER;
    }
    for (const Token& token : tokens) replacer.addToken(token.name.c_str(), token.value ? token.value->c_str() : nullptr);
    try {
      replacer.replaceTokens();
    } catch (const char* failure) {
      FUZZ_CHECK(false, failure);
    }
  }
  const std::string expected = expand(templateText, delimiter, tokens);
  const std::string actual = readWholeFile(targetPath);
  FUZZ_CHECK(actual == expected,
             "delimiter " + delimiter + "\ntemplate: " + templateText + "\nexpected: " + expected + "\nactual: " + actual);
  return 0;
}
