// The administration templates' line handling on any bytes, the way the
// front ends use it: next_html_line pieces, parse_line in express mode, full
// mode and without a mode, and directive_is for the front ends' directives
// and a name taken from the input. Compared with the documented rules:
//   - a piece ends after a line end, or after 1023 bytes, or at the end;
//   - a line beginning with "<!-- FULLDOCS -->" is dropped in express mode
//     (configuration element 0 starting with '0') and loses the marker
//     otherwise; any other line is kept as it is;
//   - a directive line is blanks, "<!--", blanks, the name, blanks, "-->",
//     blanks, then nothing but line-end characters.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "adminlib/adminlib.h"
#include "adminlib/adminlib_internal.h"
#include "fuzz/fuzz_support.h"

namespace {

const char kMarker[] = "<!-- FULLDOCS -->";
const char* const kDirectives[] = {"SERVER_NAME", "SERVER_PORT",      "SERVER_ID",      "SERVER_USER",
                                   "MTA_HOST",    "DNS_ON",           "DNS_NOLOG",      "DNS_OFF",
                                   "DOCUMENT_ROOT", "INST_DOCSWITCH", "INSTALLSUBMIT",  "SERVER_DESCRIPTION",
                                   "CONFIG_NEW_SERVER"};

size_t skipBlanks(const std::string& line, size_t at) {
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  return at;
}

bool skipWord(const std::string& line, size_t* at, const std::string& word) {
  if (line.compare(*at, word.size(), word) != 0) return false;
  *at += word.size();
  return true;
}

bool isDirective(const std::string& line, const std::string& name) {
  if (name.empty()) return false;
  size_t at = skipBlanks(line, 0);
  if (!skipWord(line, &at, "<!--")) return false;
  at = skipBlanks(line, at);
  if (!skipWord(line, &at, name)) return false;
  at = skipBlanks(line, at);
  if (!skipWord(line, &at, "-->")) return false;
  at = skipBlanks(line, at);
  while (at < line.size() && (line[at] == '\n' || line[at] == '\r')) ++at;
  return at == line.size();
}

void checkDirectives(const std::string& line, const std::string& fuzzedName, const std::string& input) {
  for (const char* name : kDirectives)
    FUZZ_CHECK((directive_is(line.c_str(), name) != 0) == isDirective(line, name), input + "\nline: " + line);
  FUZZ_CHECK((directive_is(line.c_str(), fuzzedName.c_str()) != 0) == isDirective(line, fuzzedName),
             input + "\nline: " + line + "\nname: " + fuzzedName);
}

// parse_line on a copy of `line` with `config`; the copy is returned in `out`.
int parsed(const std::string& line, char** config, std::string* out) {
  char buffer[HTML_LINE_SIZE];
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  int keep = parse_line(buffer, config);
  *out = buffer;
  return keep;
}

void checkModes(const std::string& line, const std::string& fuzzedName, const std::string& input) {
  char express[] = "0";
  char full[] = "1";
  char* expressConfig[] = {express, nullptr};
  char* fullConfig[] = {full, nullptr};
  char* noMode[] = {nullptr};
  const bool marked = line.compare(0, sizeof kMarker - 1, kMarker) == 0;
  const std::string shown = marked ? line.substr(sizeof kMarker - 1) : line;

  std::string out;
  FUZZ_CHECK((parsed(line, expressConfig, &out) != 0) == !marked, input + "\nline: " + line);
  if (!marked) FUZZ_CHECK(out == line, input + "\nline: " + line);
  for (char** config : {fullConfig, noMode, static_cast<char**>(nullptr)}) {
    FUZZ_CHECK(parsed(line, config, &out) != 0 && out == shown, input + "\nline: " + line);
  }
  checkDirectives(shown, fuzzedName, input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string fuzzedName = std::string(provider.ConsumeRandomLengthString(24).c_str());
  const std::string input = provider.ConsumeRemainingBytesAsString();

  FuzzFile stream = readStream(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  HtmlTemplatePtr page = adminlib::adoptHtmlStream(stream.release());
  std::string joined;
  char line[HTML_LINE_SIZE];
  for (size_t start = 0; next_html_line(page.get(), line);) {
    FUZZ_CHECK(start < input.size(), "a line beyond the end: " + input);
    // The piece as the file holds it; the caller sees it up to its first NUL.
    size_t lineEnd = input.find('\n', start);
    size_t length = lineEnd == std::string::npos ? input.size() - start : lineEnd - start + 1;
    if (length > HTML_LINE_SIZE - 1) length = HTML_LINE_SIZE - 1;
    const std::string piece = input.substr(start, length);
    start += length;
    FUZZ_CHECK(std::string(line) == std::string(piece.c_str()), input);
    joined += piece;
    checkModes(line, fuzzedName, input);
  }
  FUZZ_CHECK(joined == input, input);
  return 0;
}
