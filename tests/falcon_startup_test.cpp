// Opening the boards at start-up, on the recording fake library: the board limit and the log
// line of a board that cannot be opened.
#include <gtest/gtest.h>

#include "app/AnalogStartup.h"
#include "base/CLogFile.h"
#include "tests/falcon_fake.h"
#include "tests/falconsim_fixture.h"
#include "tests/support/TestEnv.h"

namespace {

TEST(FalconStartup, OpensAtMostSevenBoardsAndStopsAtTheFirstThatFails) {
  IsolatedHome home;
  falconfake::reset();
  falconfake::state().boards = 9;
  // Board drivers that cannot be prepared get no channels, which keeps this test small.
  falconfake::setFailing("is_SetColorMode", true);
  {
    AnalogStartup startup;
    EXPECT_EQ(startup.start(falconfake::api()), 0u);
    EXPECT_EQ(falconfake::callsOf("is_InitBoard").size(), 7u);
    EXPECT_EQ(falconfake::callsOf("is_ExitBoard").size(), 7u);
    EXPECT_EQ(falconfake::callsOf("is_SetErrorReport"), std::vector<std::string>{"is_SetErrorReport 0"});
    EXPECT_NE(g_logFile.logText(20).find("9 frame-grabber boards found; only the first 7 are used"),
              std::string::npos);
  }

  falconfake::reset();
  falconfake::state().boards = 3;
  falconfake::setFailing("is_InitBoard", true);
  AnalogStartup startup;
  EXPECT_EQ(startup.start(falconfake::api()), 0u);
  EXPECT_EQ(falconfake::callsOf("is_InitBoard").size(), 1u);
  EXPECT_NE(g_logFile.logText(1).find("main : system : Unable to initialize all the Falcon video "
                                      "channels. (errcode=7) fake failure"),
            std::string::npos)
      << g_logFile.logText(1);
  falconfake::reset();
}

}  // namespace

namespace {

TEST(FalconStartup, IncompleteLibraryIsReportedOnceAndAMissingOneNotAtAll) {
  IsolatedHome home;
  const size_t before = g_logFile.lineCount();
  {
    ScopedEnv lib("TELVGATE_FALCON_LIB", "/nonexistent/libfalcon.so");
    AnalogStartup startup;
    startup.loadAndStart();
    EXPECT_EQ(g_logFile.lineCount(), before);
  }
  ScopedEnv lib("TELVGATE_FALCON_LIB", buildTreePath("libfalcon_incomplete.so").c_str());
  AnalogStartup startup;
  startup.loadAndStart();
  EXPECT_EQ(startup.boardCount(), 0u);
  EXPECT_EQ(g_logFile.lineCount(), before + 1);
  EXPECT_NE(g_logFile.logText(1).find("has no is_BoardStatus(): analog channels disabled"),
            std::string::npos)
      << g_logFile.logText(1);
}

}  // namespace
