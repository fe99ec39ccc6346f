// SPDX-License-Identifier: GPL-3.0-or-later
// The administration templates' line handling, the way the front ends use
// it (the cases it must get right one by one are the tables in
// adminlib/adminlib_test.cpp):
//   - next_html_line on any bytes: lines of at most 1023 bytes, each but the
//     last ending with a line end unless it is full, in the order of the
//     input; without NUL in the input they join into it exactly;
//   - parse_line: a line beginning with "<!-- FULLDOCS -->" is dropped in
//     express mode (configuration element 0 starting with '0') and loses
//     the marker otherwise; any other line is kept as it is;
//   - directive_is: a line that names a directive holds "<!--", the name
//     and "-->" in that order; a directive line put together from the input
//     (blanks, "<!--", blanks, the name, blanks, "-->", blanks, line ends)
//     names its directive and no other, and stops doing so when something
//     else follows it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
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
constexpr size_t DIRECTIVE_COUNT = sizeof kDirectives / sizeof kDirectives[0];

// parse_line on a copy of `line` with `config`; the copy is returned in `out`.
int parsed(const std::string& line, char** config, std::string* out) {
  char buffer[HTML_LINE_SIZE];
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  int keep = parse_line(buffer, config);
  *out = buffer;
  return keep;
}

void checkModes(const std::string& line, const std::string& input) {
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
  for (char** config : {fullConfig, noMode, static_cast<char**>(nullptr)})
    FUZZ_CHECK(parsed(line, config, &out) != 0 && out == shown, input + "\nline: " + line);
}

// A directive names what it holds, in order.
void checkDirectiveParts(const std::string& line, const char* name, const std::string& input) {
  if (!directive_is(line.c_str(), name)) return;
  size_t open = line.find("<!--");
  size_t named = open == std::string::npos ? open : line.find(name, open + 4);
  size_t close = named == std::string::npos ? named : line.find("-->", named + std::strlen(name));
  FUZZ_CHECK(*name != '\0' && close != std::string::npos, input + "\nline: " + line + "\nname: " + name);
}

// The lines of `input` as next_html_line hands them out.
std::vector<std::string> templateLines(const std::string& input) {
  FuzzFile stream = readStream(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  HtmlTemplatePtr page = adminlib::adoptHtmlStream(stream.release());
  std::vector<std::string> lines;
  char line[HTML_LINE_SIZE];
  while (next_html_line(page.get(), line)) lines.emplace_back(line);
  return lines;
}

std::string blanks(FuzzedDataProvider& provider) {
  std::string out;
  for (size_t n = provider.ConsumeIntegralInRange<size_t>(0, 3); n > 0; --n) out += provider.ConsumeBool() ? ' ' : '\t';
  return out;
}

// A directive line made from the input, with the name of one directive.
void checkMadeDirective(FuzzedDataProvider& provider) {
  const size_t which = provider.ConsumeIntegralInRange<size_t>(0, DIRECTIVE_COUNT - 1);
  const std::string name = kDirectives[which];
  std::string line = blanks(provider) + "<!--" + blanks(provider) + name + blanks(provider) + "-->" + blanks(provider);
  line += provider.PickValueInArray({"", "\n", "\r\n", "\r\r\n"});
  FUZZ_CHECK(directive_is(line.c_str(), name.c_str()), line);
  for (size_t other = 0; other < DIRECTIVE_COUNT; ++other)
    if (other != which)
      FUZZ_CHECK(!directive_is(line.c_str(), kDirectives[other]), line + "\nas " + kDirectives[other]);
  // Something else after it, or before its "<!--", makes it no directive.
  std::string other = provider.ConsumeRandomLengthString(8);
  other.erase(std::remove(other.begin(), other.end(), '\0'), other.end());
  other += 'x';
  const size_t end = line.find_last_not_of("\r\n") + 1;
  FUZZ_CHECK(!directive_is((line.substr(0, end) + other + line.substr(end)).c_str(), name.c_str()), line + other);
  FUZZ_CHECK(!directive_is((other + line).c_str(), name.c_str()), other + line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string fuzzedName = std::string(provider.ConsumeRandomLengthString(24).c_str());
  const std::string input = provider.ConsumeRemainingBytesAsString();

  const std::vector<std::string> lines = templateLines(input);
  const bool plain = input.find('\0') == std::string::npos;
  std::string joined;
  size_t at = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    FUZZ_CHECK(line.size() < HTML_LINE_SIZE, input);
    if (plain && i + 1 < lines.size())
      FUZZ_CHECK(line.size() == HTML_LINE_SIZE - 1 || line.back() == '\n', input + "\nline: " + line);
    at = input.find(line, at);
    FUZZ_CHECK(at != std::string::npos, input + "\nout of order: " + line);
    at += line.size();
    joined += line;
    checkModes(line, input);
    for (const char* name : kDirectives) checkDirectiveParts(line, name, input);
    checkDirectiveParts(line, fuzzedName.c_str(), input);
  }
  if (plain) FUZZ_CHECK(joined == input, input);

  FuzzedDataProvider again(data, size);
  checkMadeDirective(again);
  return 0;
}
