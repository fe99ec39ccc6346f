// SPDX-License-Identifier: GPL-3.0-or-later
// The docs.lst reader on any bytes, held to what must hold whatever its
// implementation (the cases it must get right one by one are the table in
// provision/docroot_test.cpp):
//   - a name handed out is not empty, holds no line end and no NUL, does not
//     begin with '#', fits a piece (at most 1022 characters) and stays
//     inside the document root: not absolute, no ".." component;
//   - the names come in the order the list holds them;
//   - a refusal is the message bundle's text and names, escaped for the
//     terminal, an entry that would leave the root; the visitor's own message (it refuses "STOP") ends
//     the walk too;
//   - comment and empty lines change nothing, and a list cut at a line end
//     walks as its two parts one after the other;
//   - a list without NUL whose lines all fit a piece, walked to its end,
//     hands out exactly its lines that are neither empty nor comments.
#include <unicode/uloc.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "messages/escape.h"
#include "messages/messages.h"
#include "provision/docroot.h"

namespace {

constexpr size_t PIECE_LIMIT = 1022;
const char LIST_PATH[] = "/srv/root/lib/install/templates/docs.lst";
// ERR_DOCS_LIST_ENTRY of messages/root.txt, around the refused name.
const std::string REFUSED_BEFORE = std::string("The document list ") + LIST_PATH + " names \"";
const std::string REFUSED_AFTER = "\", which is not a relative path inside the document root.";

struct Walk {
  std::vector<std::string> names;
  std::string message;  // empty when the walk reached the end of the list
  bool operator==(const Walk& other) const { return names == other.names && message == other.message; }
};

Walk walk(const std::string& list) {
  FuzzFile in = readStream(reinterpret_cast<const uint8_t*>(list.data()), list.size());
  Walk result;
  Message failure = forEachListedDocument(in.get(), LIST_PATH, [&result](const std::string& name) {
    result.names.push_back(name);
    return name == "STOP" ? adoptMessage(strdup("stop")) : Message();
  });
  if (failure) result.message = failure.get();
  return result;
}

bool leavesTheRoot(const std::string& name) {
  return !name.empty() && (name[0] == '/' || ("/" + name + "/").find("/../") != std::string::npos);
}

// True when `shown` is a piece of `text`, or a long piece shortened in its
// middle to "<head>...<tail>", as messages shorten long arguments.
bool shownIn(const std::string& shown, const std::string& text) {
  if (text.find(shown) != std::string::npos) return true;
  for (size_t cut = shown.find("..."); cut != std::string::npos; cut = shown.find("...", cut + 1)) {
    size_t head = text.find(shown.substr(0, cut));
    if (head != std::string::npos && text.find(shown.substr(cut + 3), head + cut) != std::string::npos) return true;
  }
  return false;
}

// True when `shown` is, escaped for the terminal and perhaps shortened in
// its middle, one of the pieces the list is read in (lines, cut every
// PIECE_LIMIT bytes, each up to its first NUL) that would leave the root.
bool namesAPieceOf(const std::string& shown, const std::string& list) {
  for (size_t start = 0; start < list.size();) {
    size_t end = std::min(list.find('\n', start), std::min(list.size(), start + PIECE_LIMIT));
    std::string piece = list.substr(start, end - start);
    piece = piece.substr(0, piece.find('\0'));
    if (leavesTheRoot(piece) && shownIn(shown, escapeForTerminal(piece))) return true;
    start = end < list.size() && list[end] == '\n' ? end + 1 : end;
  }
  return false;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

void checkNamesAndMessage(const std::string& list, const Walk& w) {
  size_t at = 0;
  for (const std::string& name : w.names) {
    FUZZ_CHECK(!name.empty() && name[0] != '#' && name.size() <= PIECE_LIMIT, list + "\nname: " + name);
    FUZZ_CHECK(name.find('\n') == std::string::npos && name.find('\0') == std::string::npos, list);
    FUZZ_CHECK(!leavesTheRoot(name), list + "\nname: " + name);
    FUZZ_CHECK(name != "STOP" || &name == &w.names.back(), list + "\nthe walk went on after STOP");
    at = list.find(name, at);
    FUZZ_CHECK(at != std::string::npos, list + "\nout of order: " + name);
    at += name.size();
  }
  if (w.message.empty()) return;
  if (!w.names.empty() && w.names.back() == "STOP") {
    FUZZ_CHECK(w.message == "stop", list + "\nmessage: " + w.message);
    return;
  }
  const std::string& m = w.message;
  FUZZ_CHECK(m.size() > REFUSED_BEFORE.size() + REFUSED_AFTER.size() && m.rfind(REFUSED_BEFORE, 0) == 0 &&
                 m.compare(m.size() - REFUSED_AFTER.size(), REFUSED_AFTER.size(), REFUSED_AFTER) == 0,
             list + "\nmessage: " + m);
  const std::string refused = m.substr(REFUSED_BEFORE.size(), m.size() - REFUSED_BEFORE.size() - REFUSED_AFTER.size());
  // The bundle's formatting may change bytes that are not UTF-8; ASCII comes through as it was.
  bool ascii = true;
  for (unsigned char c : refused) ascii = ascii && c < 0x80;
  if (ascii) FUZZ_CHECK(namesAPieceOf(refused, list), list + "\n" + m);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("en", &status);
  static ScopedMessageBundle bundle(SAMPLE_SERVER_ROOT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string list(reinterpret_cast<const char*>(data), size);
  const Walk whole = walk(list);
  checkNamesAndMessage(list, whole);

  FUZZ_CHECK(walk("# a comment\n\n" + list) == whole, list);
  // Cut after the middle line end: the first part's pieces are the same with or without the rest.
  const size_t cut = list.find('\n', list.size() / 2);
  if (cut != std::string::npos) {
    const Walk first = walk(list.substr(0, cut + 1)), rest = walk(list.substr(cut + 1));
    Walk joined = first;
    if (first.message.empty()) {
      joined.names.insert(joined.names.end(), rest.names.begin(), rest.names.end());
      joined.message = rest.message;
    }
    FUZZ_CHECK(joined == whole, list);
  }

  if (whole.message.empty() && list.find('\0') == std::string::npos) {
    std::vector<std::string> expected;
    bool fits = true;
    for (const std::string& line : lines(list)) {
      fits = fits && line.size() <= PIECE_LIMIT;
      if (!line.empty() && line[0] != '#') expected.push_back(line);
    }
    if (fits) FUZZ_CHECK(whole.names == expected, list);
  }
  return 0;
}
