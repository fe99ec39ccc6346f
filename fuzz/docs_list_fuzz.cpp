// The docs.lst reader on any bytes, compared with the list rules: pieces of
// at most 1022 characters, each ending after a line end; a name is what a C
// string holds of its piece, line end removed; empty and '#' lines skipped;
// an absolute name or one with a ".." component refused where it stands.
// The visitor refuses the name "STOP", to prove that the first message ends
// the walk.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "provision/docroot.h"

namespace {

constexpr size_t PIECE_LIMIT = 1022;

bool staysInside(const std::string& name) {
  if (name[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

struct Walk {
  std::vector<std::string> names;
  bool refused = false;  // a name outside the document root ended it
  bool stopped = false;  // the visitor ended it
};

Walk reference(const std::string& list) {
  Walk walk;
  for (size_t start = 0; start < list.size();) {
    size_t lineEnd = list.find('\n', start);
    size_t length = lineEnd == std::string::npos ? list.size() - start : lineEnd - start + 1;
    if (length > PIECE_LIMIT) length = PIECE_LIMIT;
    std::string name = std::string(list.substr(start, length).c_str());
    start += length;
    if (!name.empty() && name.back() == '\n') name.pop_back();
    if (name.empty() || name[0] == '#') continue;
    if (!staysInside(name)) {
      walk.refused = true;
      return walk;
    }
    walk.names.push_back(name);
    if (name == "STOP") {
      walk.stopped = true;
      return walk;
    }
  }
  return walk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string list(reinterpret_cast<const char*>(data), size);
  FuzzFile in = readStream(data, size);
  Walk walk;
  Message failure = forEachListedDocument(in.get(), "/srv/root/lib/install/templates/docs.lst",
                                          [&walk](const std::string& name) {
                                            walk.names.push_back(name);
                                            return name == "STOP" ? adoptMessage(strdup("stop")) : Message();
                                          });
  Walk expected = reference(list);
  FUZZ_CHECK(walk.names == expected.names, list);
  if (expected.stopped)
    FUZZ_CHECK(failure && std::string(failure.get()) == "stop", list);
  else
    FUZZ_CHECK(static_cast<bool>(failure) == expected.refused, list);
  for (const std::string& name : walk.names) FUZZ_CHECK(name.find('\n') == std::string::npos, list);
  return 0;
}
