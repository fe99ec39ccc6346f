// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/removing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "tests/testsupport.h"

namespace {

bool fillSwapped = false;
// The owner of the directory holding what the creation made swaps another
// one in under its name, once the take-back has found it to be its own.
void swapIn(const std::string& path) {
  ASSERT_EQ(rename(path.c_str(), (path + ".moved").c_str()), 0);
  makeDirs(path);
  if (fillSwapped) writeFile(path + "/theirs", "x");
}

// The take-back never says that it removed what the creation made unless
// that very directory is gone; the removal goes on either way.
TEST(TakingBack, ADirectorySwappedInAtTheRemovalIsNeverSaidToBeTheCreations) {
  const struct {
    bool docRoot, fill;
    const char* said;  // after the path, on standard error
  } cases[] = {
      {false, false, " was moved away as it was being removed: what now has its name was removed instead"},
      {false, true, " in place: it is no longer the directory the unfinished creation had made"},
      {true, true, " in place: it is no longer the directory the unfinished creation had made"},
  };
  ScopedMessageBundle bundle(sampleServerRoot().c_str());
  takeBackHook = swapIn;
  for (const auto& c : cases) {
    ScratchDir scratch;
    const std::string made = scratch / "site", instanceDir = scratch / "root/web1";
    makeDirs(instanceDir);
    makeDirs(made);
    Workplace place{"", scratch / "root", Descriptor(open((scratch / "root").c_str(), O_RDONLY | O_DIRECTORY))};
    Descriptor instance(open(instanceDir.c_str(), O_RDONLY | O_DIRECTORY)), site(open(made.c_str(), O_RDONLY));
    MadeDirectory directory{made, c.docRoot, true, {}};
    ASSERT_TRUE(identityOf(site.get(), &directory.identity));
    ASSERT_FALSE(startCreationMark(instance.get(), instanceDir));
    ASSERT_FALSE(rewriteCreationMark(instance.get(), instanceDir, {directory}));
    fillSwapped = c.fill;
    CommandLine line;
    line.unitDirectory = scratch / "no-units";
    InstanceInfo info;
    ASSERT_TRUE(lookUpInstance(place.root.get(), "web1", &info));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(removeInstance(line, place, info), 0);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(made + c.said), std::string::npos) << err;
    EXPECT_EQ(out.find("which the unfinished creation had made"), std::string::npos) << out;
    EXPECT_TRUE(fileExists(made + ".moved")) << "what the creation made stays where it was moved";
    EXPECT_EQ(fileExists(made), c.fill);
    EXPECT_FALSE(fileExists(instanceDir));
  }
  takeBackHook = nullptr;
}

}  // namespace
