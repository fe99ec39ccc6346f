// SPDX-License-Identifier: GPL-3.0-or-later
// The backup catalogue reader on any bytes: what it reads must obey the
// model's rules, and writing it out and reading that again must give the
// same catalogue and then the same text.
#include <cstring>
#include <string>

#include "backup/catalogue.h"
#include "fuzz/fuzz_support.h"

namespace {

const char kRoot[] = "/srv/root";
const char kPath[] = "/srv/root/web1/config/backup/backups.conf";

struct CatalogueReleaser {
  void operator()(BackupCatalogue* catalogue) const { discardBackupCatalogue(catalogue); }
};
using Catalogue = std::unique_ptr<BackupCatalogue, CatalogueReleaser>;

// A description of null is written as "\n" and reads back as "\n": the
// format cannot tell them apart, so neither does the comparison.
std::string descriptionOf(const BackupEntry& entry) { return entry.description ? entry.description : "\n"; }

// A text that ends its line: one '\n', the last byte.
bool endsItsLine(const char* text) {
  const char* lineEnd = std::strchr(text, '\n');
  return lineEnd && lineEnd[1] == '\0';
}

void checkModel(const BackupCatalogue& catalogue, const std::string& input) {
  for (int32_t i = 0; i < catalogue.entryCount; ++i) {
    const BackupEntry& entry = catalogue.entries[i];
    FUZZ_CHECK(!std::strchr(entry.name, ':') && !std::strchr(entry.name, '\n'), input);
    FUZZ_CHECK(!std::strchr(entry.path, ':') && !std::strchr(entry.path, '\n'), input);
    FUZZ_CHECK(endsItsLine(descriptionOf(entry).c_str()), input);
  }
  for (int32_t t = 0; t < catalogue.tagCount; ++t) {
    const BackupTag& tag = catalogue.tags[t];
    FUZZ_CHECK(tag.memberCount >= 0 && (tag.memberCount == 0 || tag.members), input);
    for (int32_t m = 0; m < tag.memberCount; ++m)
      FUZZ_CHECK(tag.members[m].entryIndex >= 0 && tag.members[m].entryIndex < catalogue.entryCount, input);
    FUZZ_CHECK(tag.text && endsItsLine(tag.text), input);
  }
}

void checkSame(const BackupCatalogue& a, const BackupCatalogue& b, const std::string& detail) {
  FUZZ_CHECK(a.diskQuota == b.diskQuota && a.maxTags == b.maxTags, detail);
  FUZZ_CHECK(a.entryCount == b.entryCount && a.tagCount == b.tagCount, detail);
  for (int32_t i = 0; i < a.entryCount; ++i) {
    const BackupEntry& x = a.entries[i];
    const BackupEntry& y = b.entries[i];
    FUZZ_CHECK(std::strcmp(x.name, y.name) == 0 && std::strcmp(x.path, y.path) == 0, detail);
    FUZZ_CHECK(std::strcmp(x.fullPath, y.fullPath) == 0, detail);
    FUZZ_CHECK(x.version == y.version && x.modifiedTime == y.modifiedTime, detail);
    FUZZ_CHECK(descriptionOf(x) == descriptionOf(y), detail);
  }
  for (int32_t t = 0; t < a.tagCount; ++t) {
    const BackupTag& x = a.tags[t];
    const BackupTag& y = b.tags[t];
    FUZZ_CHECK(x.time == y.time && x.memberCount == y.memberCount && std::strcmp(x.text, y.text) == 0, detail);
    for (int32_t m = 0; m < x.memberCount; ++m) {
      FUZZ_CHECK(x.members[m].entryIndex == y.members[m].entryIndex, detail);
      FUZZ_CHECK(x.members[m].version == y.members[m].version, detail);
    }
  }
}

std::string written(BackupCatalogue* catalogue, const std::string& input) {
  MemoryOutput out;
  FUZZ_CHECK(writeBackupCatalogue(catalogue, out.stream()) == 0, input);
  return out.text();
}

Catalogue readText(const std::string& text) {
  FuzzFile in = readStream(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return Catalogue(readBackupCatalogue(kRoot, kPath, in.get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Catalogue first = readText(input);
  FUZZ_CHECK(first, "a memory stream cannot fail to read: " + input);  // only read errors give none
  checkModel(*first, input);

  const std::string text = written(first.get(), input);
  FUZZ_CHECK(text.size() >= 8 && text.compare(text.size() - 8, 8, "--EOF--\n") == 0, text);
  Catalogue second = readText(text);
  FUZZ_CHECK(second, text);
  checkSame(*first, *second, "input: " + input + "\nwritten: " + text);
  FUZZ_CHECK(written(second.get(), input) == text, "input: " + input + "\nwritten: " + text);
  return 0;
}
