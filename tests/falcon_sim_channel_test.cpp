// The analog channel on the simulated grabber library, in-process: the pictures each input's
// channel publishes carry that input's code, and the board calls land in the library's trace
// with the clip values.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "base/CSettings.h"
#include "channels/CnlList.h"
#include "endpoint/CFalconVideoCnl.h"
#include "falconsim/TestPattern.h"
#include "tests/falconsim_fixture.h"
#include "tests/jpeg_support.h"

namespace {

TEST(FalconSimChannel, EachInputsPicturesShowThatInputAndClipIsCutFromTheCentre) {
  IsolatedHome home;
  const std::string trace = home.dir().file("trace.log");
  ScopedEnv traceEnv("TELVGATE_FALCON_TRACE", trace.c_str());
  ScopedEnv failEnv("TELVGATE_FALCON_FAIL", nullptr);
  platform::FalconLib lib;
  ASSERT_EQ(lib.loadFile(buildTreePath("libfalcon.so")), platform::FalconLib::Result::Loaded);
  const FalconApi& api = lib.api();
  FALCON_BOARD handle = 0;
  ASSERT_EQ(api.InitBoard(&handle, nullptr), 0);

  std::vector<std::unique_ptr<CFalconVideoCnl>> channels;
  {
    CFalconBoardDrv board(api, handle, 0);
    board.storeBoardSetting("CnlIPAddr", "127.0.0.1");
    board.storeBoardSetting("ImageClipScale", "clip");
    g_settings.writeBool(board.sectionOf(3), "CnlEnabled", true);
    for (int input : {0, 3}) {
      channels.emplace_back(new CFalconVideoCnl(&board, input));
      channels.back()->setWaitTimeoutNs(2000000000ull);
      ASSERT_TRUE(channels.back()->init());
      ASSERT_TRUE(channels.back()->start());
    }
    // Both inputs take turns on the board; each picture must be of its own input, and fresh.
    for (auto& c : channels) {
      FrameRec rec;
      uint32_t lastFrame = 0;
      for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(c->getNewFrame(rec)) << "input " << c->input();
        int w = 0, h = 0;
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(jpegtest::decode(rec.data, rec.length, &w, &h, &rgb));
        ASSERT_EQ(w, 640);
        ASSERT_EQ(h, 480);
        TestPatternInfo info;
        ASSERT_TRUE(readTestPattern(rgb.data(), w, h, w * 3, &info)) << "input " << c->input();
        EXPECT_EQ(info.input, c->input());
        EXPECT_EQ(info.board, handle);
        if (n > 0) {
          EXPECT_GT(info.frame, lastFrame);
        }
        lastFrame = info.frame;
      }
    }
    for (auto& c : channels) {
      c->stop();
      c->join();
      std::lock_guard<std::mutex> g(g_cnlListLock);
      for (auto it = g_cnlList.begin(); it != g_cnlList.end();)
        it = *it == c.get() ? g_cnlList.erase(it) : it + 1;
    }
    channels.clear();
  }
  const std::string h = std::to_string(handle);
  const std::string calls = readFile(trace);
  EXPECT_NE(calls.find("is_SetImagePos " + h + " 64 48\nis_SetImageSize " + h +
                       " 640 480\nis_SetScaler " + h + " 0 0\n"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("is_SetVideoInput " + h + " 3\n"), std::string::npos);
  // The board was released on destruction: memory first, then the board.
  const size_t freed = calls.rfind("is_FreeImageMem " + h);
  ASSERT_NE(freed, std::string::npos);
  EXPECT_NE(calls.find("is_ExitBoard " + h, freed), std::string::npos);
}

}  // namespace
