// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/removing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "tests/testsupport.h"

namespace {

std::function<void(const std::string&)> swapping;
void swapHook(const std::string& path) { swapping(path); }

// The owner of the directory that holds what an unfinished creation made
// swaps another directory in under its name at the moment the take-back
// removes it: the take-back must never say that it removed what the
// creation made.
TEST(TakingBack, OnlyTheVeryDirectoryTheCreationMadeIsSaidRemoved) {
  const struct {
    const char* what;
    bool docRoot;
    bool swap;
    bool fillSwapped;
    const char* said;  // on standard output, or else on standard error, after the path
    bool swappedLeft;
  } cases[] = {
      {"not swapped", false, false, false, "Removed @, which the unfinished creation had made.\n", false},
      {"swapped for an empty one", false, true, false, "@ was moved away as it was being removed:", false},
      {"swapped for a full one", false, true, true, "Left @ in place: it is no longer the directory", true},
      {"a document root, swapped", true, true, true, "Left @ in place: it is no longer the directory", true},
  };
  ScopedMessageBundle bundle(sampleServerRoot().c_str());
  takeBackHook = swapHook;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const std::string made = scratch / "site", moved = scratch / "site.moved";
    makeDirs(scratch / "root/web1");
    makeDirs(made);
    Workplace place{"", scratch / "root", Descriptor(open((scratch / "root").c_str(), O_RDONLY | O_DIRECTORY))};
    Descriptor instance(open((scratch / "root/web1").c_str(), O_RDONLY | O_DIRECTORY));
    Descriptor site(open(made.c_str(), O_RDONLY | O_DIRECTORY));
    MadeDirectory directory{made, c.docRoot, true, {}};
    ASSERT_TRUE(identityOf(site.get(), &directory.identity));
    ASSERT_FALSE(startCreationMark(instance.get(), scratch / "root/web1"));
    ASSERT_FALSE(rewriteCreationMark(instance.get(), scratch / "root/web1", {directory}));
    swapping = [&](const std::string& path) {
      EXPECT_EQ(path, made);
      if (!c.swap) return;
      ASSERT_EQ(rename(made.c_str(), moved.c_str()), 0);
      makeDirs(made);
      if (c.fillSwapped) writeFile(made + "/theirs", "x");
    };
    CommandLine line;
    line.unitDirectory = scratch / "no-units";
    InstanceInfo info;
    ASSERT_TRUE(lookUpInstance(place.root.get(), "web1", &info));

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = removeInstance(line, place, info);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, 0) << err;
    const std::string said = replaceAll(c.said, "@", made);
    EXPECT_NE((c.swap ? err : out).find(said), std::string::npos) << out << err;
    EXPECT_EQ(out.find(", which the unfinished creation had made.") != std::string::npos, !c.swap) << out;
    EXPECT_EQ(fileExists(moved), c.swap) << "what the creation made stays where it was moved";
    EXPECT_EQ(fileExists(made), c.swappedLeft);
    EXPECT_FALSE(fileExists(scratch / "root/web1"));
  }
  takeBackHook = nullptr;
}

}  // namespace
