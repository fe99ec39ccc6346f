// SPDX-License-Identifier: GPL-3.0-or-later
// The token replacer, twice per input (the cases it must get right one by
// one are the tables in template/token_replacer_test.cpp):
//   - the input as a template, with tokens registered: written out
//     unchanged, whatever its bytes and however long its lines, unless it
//     holds a registered name with a value between two delimiters;
//   - a template put together from the input: text without the delimiter's
//     bytes and tokens of names registered with a value, registered
//     without one, registered twice or not at all. Each token of a name
//     first registered with a value becomes that value, every other one
//     stays as it stands, and values, which may hold the delimiter, are
//     never scanned again.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "template/token_replacer.h"

namespace {

// Under one piece (8191 bytes): no token of the made template is cut.
constexpr size_t MADE_TEMPLATE_LIMIT = 8000;

struct Token {
  std::string name;
  std::optional<std::string> value;
};

// Names from the writers' templates, so that inputs hit registered tokens often.
const char* const kKnownNames[] = {"SERVER_ROOT", "HTTP_PORT", "SERVER_ID", "A", "B", "X"};

// A C string's view of a consumed string: the replacer sees names, values
// and the delimiter only up to their first NUL.
std::string cText(const std::string& bytes) { return std::string(bytes.c_str()); }

// `text` without the bytes of `delimiter`, line ends and NULs.
std::string without(std::string text, const std::string& delimiter) {
  text.erase(std::remove_if(text.begin(), text.end(),
                            [&](char c) { return c == '\n' || c == '\0' || delimiter.find(c) != std::string::npos; }),
             text.end());
  return text;
}

std::string expanded(const std::string& templateText, const std::string& delimiter, const std::vector<Token>& tokens) {
  const std::string templatePath = scratchDirectory() + "/template";
  const std::string targetPath = scratchDirectory() + "/target";
  writeWholeFile(templatePath, templateText);
  {
    TokenReplacer replacer(templatePath.c_str(), targetPath.c_str());
    try {
      replacer.setDelimiter(delimiter.c_str());
      for (const Token& token : tokens)
        replacer.addToken(token.name.c_str(), token.value ? token.value->c_str() : nullptr);
      replacer.replaceTokens();
    } catch (const char* failure) {
      FUZZ_CHECK(false, failure);
    }
  }
  return readWholeFile(targetPath);
}

// The first registration of `name`, or none.
const Token* registered(const std::vector<Token>& tokens, const std::string& name) {
  for (const Token& token : tokens)
    if (token.name == name) return &token;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  FuzzedDataProvider provider(data, size);
  std::string delimiter = "%%%";
  if (provider.ConsumeBool()) delimiter = cText(provider.ConsumeRandomLengthString(4));
  // A line end would cut every token apart.
  if (delimiter.empty() || delimiter.find('\n') != std::string::npos) delimiter = "%%%";
  // Names without the delimiter's bytes, so that every token of the made template reads one way.
  std::vector<Token> tokens;
  for (size_t n = provider.ConsumeIntegralInRange<size_t>(0, 8); n > 0; --n) {
    Token token;
    token.name = without(provider.ConsumeBool() ? kKnownNames[provider.ConsumeIntegralInRange<size_t>(0, 5)]
                                                : provider.ConsumeRandomLengthString(16),
                         delimiter);
    if (provider.ConsumeBool()) token.value = cText(provider.ConsumeRandomLengthString(24));
    if (!token.name.empty()) tokens.push_back(token);
  }

  bool replaces = false;
  for (const Token& token : tokens)
    replaces = replaces || (token.value && input.find(delimiter + token.name + delimiter) != std::string::npos);
  if (!replaces) FUZZ_CHECK(expanded(input, delimiter, tokens) == input, "delimiter " + delimiter + "\n" + input);

  std::string made, expected;
  while (provider.remaining_bytes() > 0 && made.size() < MADE_TEMPLATE_LIMIT) {
    std::string piece;
    std::string becomes;
    if (provider.ConsumeBool()) {
      piece = without(provider.ConsumeRandomLengthString(40), delimiter);
      if (provider.ConsumeBool()) piece += '\n';
      becomes = piece;
    } else {
      std::string name = tokens.empty() || provider.ConsumeBool()
                             ? without(provider.ConsumeRandomLengthString(16), delimiter)
                             : tokens[provider.ConsumeIntegralInRange<size_t>(0, tokens.size() - 1)].name;
      if (name.empty()) continue;
      piece = delimiter + name + delimiter;
      const Token* token = registered(tokens, name);
      becomes = token && token->value ? *token->value : piece;
    }
    if (made.size() + piece.size() > MADE_TEMPLATE_LIMIT) break;
    made += piece;
    expected += becomes;
  }
  const std::string actual = expanded(made, delimiter, tokens);
  FUZZ_CHECK(actual == expected,
             "delimiter " + delimiter + "\ntemplate: " + made + "\nexpected: " + expected + "\nactual: " + actual);
  return 0;
}
