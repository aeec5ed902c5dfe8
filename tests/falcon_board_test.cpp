// The board driver against the recording fake library: the calls a configuration makes, in
// order and with their values, and what every failing call leaves behind.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "endpoint/CFalconBoardDrv.h"
#include "tests/falcon_fake.h"
#include "tests/support/TestEnv.h"

namespace {

const char* const kSection = "Channel 0 0 0";

class FalconBoard : public ::testing::Test {
 protected:
  void SetUp() override { falconfake::reset(); }
  void TearDown() override { falconfake::reset(); }

  void configure(const char* standard, const char* size, const char* clip) {
    g_settings.writeString(kSection, "CnlVideoStandard", standard);
    g_settings.writeString(kSection, "ImageSize", size);
    g_settings.writeString(kSection, "ImageClipScale", clip);
  }

  IsolatedHome home;
};

TEST_F(FalconBoard, ReconfCallsInOrderWithClipAndScalePositions) {
  CFalconBoardDrv board(falconfake::api(), 1, 0);
  configure("PAL", "vga", "clip");
  ASSERT_TRUE(board.init(kSection));
  ASSERT_TRUE(board.reconf());
  EXPECT_EQ(falconfake::calls(),
            (std::vector<std::string>{"is_SetColorMode 0", "is_SetDisplayMode 1",
                                      "is_SetVideoMode 0", "is_SetCaptureMode 4",
                                      "is_AllocImageMem 640 480 32", "is_SetImageMem",
                                      "is_SetImagePos 64 48", "is_SetImageSize 640 480",
                                      "is_SetScaler 0 0"}));
  // Nothing changed: no second reconfiguration.
  ASSERT_TRUE(board.init(kSection));
  EXPECT_FALSE(board.reconfPending());

  falconfake::reset();
  configure("NTSC", "qvga", "scale");
  ASSERT_TRUE(board.init(kSection));
  ASSERT_TRUE(board.reconf());
  EXPECT_EQ(falconfake::callsOf("is_SetImagePos"), std::vector<std::string>{"is_SetImagePos 0 0"});
  EXPECT_EQ(falconfake::callsOf("is_SetScaler"), std::vector<std::string>{"is_SetScaler 1 1"});
  EXPECT_EQ(falconfake::callsOf("is_FreeImageMem").size(), 1u);  // the old memory went back
  EXPECT_EQ(board.format().fullHeight, 480);

  // vga2 grabs single fields at the full VGA size.
  configure("PAL", "vga2", "scale");
  ASSERT_TRUE(board.init(kSection));
  ASSERT_TRUE(board.reconf());
  EXPECT_EQ(board.format().captureMode, 2);
  EXPECT_EQ(board.format().height, 480);
}

TEST_F(FalconBoard, ClipOfALargerSizeNeverGoesNegativeAndSecamClipsFromTheCentre) {
  CFalconBoardDrv board(falconfake::api(), 1, 0);
  configure("NTSC", "d-1pal", "clip");
  ASSERT_TRUE(board.init(kSection));
  ASSERT_TRUE(board.reconf());
  EXPECT_EQ(falconfake::callsOf("is_SetImagePos"), std::vector<std::string>{"is_SetImagePos 0 0"});

  falconfake::reset();
  configure("SECAM", "vga", "clip");
  ASSERT_TRUE(board.init(kSection));
  ASSERT_TRUE(board.reconf());
  EXPECT_EQ(falconfake::callsOf("is_SetImagePos"), std::vector<std::string>{"is_SetImagePos 64 48"});
  EXPECT_EQ(board.format().fullHeight, 576);
}

TEST_F(FalconBoard, InvalidSettingsRefusedAndLogged) {
  CFalconBoardDrv board(falconfake::api(), 3, 0);
  configure("PAL", "vga", "scale");
  ASSERT_TRUE(board.init(kSection));
  ASSERT_TRUE(board.reconf());

  configure("SECAMX", "vga", "scale");
  EXPECT_FALSE(board.init(kSection));
  configure("PAL", "cif", "scale");
  EXPECT_FALSE(board.init(kSection));
  const std::string log = g_logFile.logText(2);
  EXPECT_NE(log.find("Cnl. 'IDS Falcon Quattro drv 3' : IDS Falcon Quattro drv 3: Frame format "
                     "not supported"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Invalid video standard: use 'PAL', 'NTSC' or 'SECAM'."), std::string::npos);
  EXPECT_FALSE(board.reconfPending());  // the previous settings stay
}

TEST_F(FalconBoard, EveryFailingCallIsLoggedAndBlocksGrabsUntilARetrySucceeds) {
  const char* const initCalls[] = {"is_SetColorMode", "is_SetDisplayMode"};
  for (const char* call : initCalls) {
    CFalconBoardDrv board(falconfake::api(), 1, 0);
    falconfake::setFailing(call, true);
    EXPECT_FALSE(board.init(kSection)) << call;
    EXPECT_NE(g_logFile.logText(1).find(std::string(call) + "() failed. fake failure"),
              std::string::npos)
        << call;
    falconfake::setFailing(call, false);
  }

  const char* const reconfCalls[] = {"is_SetVideoMode", "is_SetCaptureMode", "is_AllocImageMem",
                                     "is_SetImageMem",  "is_SetImagePos",    "is_SetImageSize",
                                     "is_SetScaler"};
  std::vector<uint8_t> image(768 * 576 * 4);
  for (const char* call : reconfCalls) {
    CFalconBoardDrv board(falconfake::api(), 1, 0);
    configure("PAL", "vga", "scale");
    ASSERT_TRUE(board.init(kSection));
    falconfake::setFailing(call, true);
    EXPECT_FALSE(board.reconf()) << call;
    EXPECT_NE(g_logFile.logText(1).find("CFalconBoardDrv::reconf : Cnl. 'IDS Falcon Quattro drv 1' : " +
                                        std::string(call) + "() failed. fake failure"),
              std::string::npos)
        << g_logFile.logText(1);
    EXPECT_TRUE(board.reconfPending());
    uint64_t t;
    uint32_t gen;
    EXPECT_FALSE(board.grab(0, image.data(), &t, &gen)) << call;
    falconfake::setFailing(call, false);
    EXPECT_TRUE(board.reconf()) << call;
    EXPECT_TRUE(board.grab(0, image.data(), &t, &gen)) << call;
  }
}

TEST_F(FalconBoard, InputSwitchSettlesOnceAndDestructionReleasesTheBoard) {
  {
    CFalconBoardDrv board(falconfake::api(), 1, 0);
    ASSERT_TRUE(board.init(kSection));
    ASSERT_TRUE(board.reconf());
    std::vector<uint8_t> image(640 * 480 * 4);
    uint64_t t = 0;
    uint32_t gen = 0;
    falconfake::reset();
    ASSERT_TRUE(board.grab(3, image.data(), &t, &gen));
    ASSERT_TRUE(board.grab(3, image.data(), &t, &gen));
    EXPECT_EQ(falconfake::calls(),
              (std::vector<std::string>{"is_SetVideoInput 3", "is_FreezeVideo 16",
                                        "is_FreezeVideo 16", "is_FreezeVideo 16",
                                        "is_CopyImageMem", "is_FreezeVideo 16",
                                        "is_CopyImageMem"}));
    EXPECT_EQ(gen, board.format().generation);
    EXPECT_GT(t, 0u);
    falconfake::setFailing("is_FreezeVideo", true);
    EXPECT_FALSE(board.grab(3, image.data(), &t, &gen));
    falconfake::reset();
  }
  EXPECT_EQ(falconfake::calls(), (std::vector<std::string>{"is_FreeImageMem", "is_ExitBoard"}));
}

}  // namespace
