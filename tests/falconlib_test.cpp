// The grabber library loader: where it looks, the switch that turns it off, and a library
// that lacks one of the twenty functions.
#include <unistd.h>

#include "tests/falconsim_fixture.h"

namespace {

using platform::FalconLib;

TEST(FalconLib, FindsTheSimulatorBesideTheExecutable) {
  ScopedEnv lib("TELVGATE_FALCON_LIB", nullptr);
  FalconLib loader;
  ASSERT_EQ(loader.load(), FalconLib::Result::Loaded) << loader.error();
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string dir(exe, size_t(n));
  dir.erase(dir.rfind('/'));
  EXPECT_EQ(loader.path(), dir + "/libfalcon.so");
  ScopedEnv boards("TELVGATE_FALCON_BOARDS", "3");
  EXPECT_EQ(loader.api().GetNumberOfDevices(), 3);
}

TEST(FalconLib, EnvironmentChoosesTheLibraryOrNone) {
  ScopedEnv lib("TELVGATE_FALCON_LIB", buildTreePath("libfalcon_incomplete.so").c_str());
  FalconLib loader;
  EXPECT_EQ(loader.load(), FalconLib::Result::MissingFunction);
  EXPECT_EQ(loader.missingName(), "is_BoardStatus");
  EXPECT_EQ(loader.api().InitBoard, nullptr);  // nothing of it stays usable

  lib.set("none");
  EXPECT_EQ(loader.load(), FalconLib::Result::Disabled);

  lib.set(buildTreePath("no-such-libfalcon.so").c_str());
  EXPECT_EQ(loader.load(), FalconLib::Result::NotFound);
  EXPECT_NE(loader.error().find("no-such-libfalcon.so"), std::string::npos) << loader.error();

  lib.set(buildTreePath("libfalcon.so").c_str());
  ASSERT_EQ(loader.load(), FalconLib::Result::Loaded);
  EXPECT_NE(loader.api().BoardStatus, nullptr);
}

}  // namespace
