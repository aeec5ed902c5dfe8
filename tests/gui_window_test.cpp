// The main window itself, in this process, on a private X server: channel rows fed from other
// threads, the configure item, the configure command and the close sequence.
#include <gtest/gtest.h>

#include <fx.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/AnalogStartup.h"
#include "app/CMainWindow.h"
#include "app/Icons.h"
#include "base/CLogFile.h"
#include "base/ConfigAddress.h"
#include "channels/CnlListEntry.h"
#include "tests/falconsim_fixture.h"
#include "tests/gui_Xvfb.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

using namespace FX;

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(m_x.start());
    m_app = new FXApp("TelvGate", "TELVORA");
    static char prog[] = "telvgate_tests";
    static char* argv[] = {prog, nullptr};
    int argc = 1;
    m_app->init(argc, argv, FALSE);
    ASSERT_TRUE(m_app->openDisplay(m_x.display().c_str()));
    m_icons.reset(new AppIcons(m_app));
    m_icons->create();
    m_window = new CMainWindow(m_app, *m_icons, [this] { ++m_closeCalls; });
    m_app->create();
    m_window->show(PLACEMENT_SCREEN);
  }

  void TearDown() override {
    delete m_window;  // removes the sinks before anything else goes
    m_icons.reset();
    delete m_app;
  }

  // Lets the toolkit handle what is pending (the queue signal among it) until `cond` holds.
  template <typename F>
  bool pumpUntil(F cond, int timeoutMs = 3000) {
    return waitFor(
        [&] {
          m_app->runWhileEvents();
          return cond();
        },
        timeoutMs, 20);
  }

  std::vector<std::string> channelRows() {
    std::vector<std::string> rows;
    for (FXTreeItem* it = m_window->channelsItem()->getFirst(); it; it = it->getNext())
      rows.push_back(it->getText().text());
    return rows;
  }

  IsolatedHome m_home;
  XvfbServer m_x;
  FXApp* m_app = nullptr;
  std::unique_ptr<AppIcons> m_icons;
  CMainWindow* m_window = nullptr;
  int m_closeCalls = 0;
};

}  // namespace

TEST_F(MainWindowTest, StartsWithTitleAndTheTwoTopItems) {
  EXPECT_STREQ(m_window->getTitle().text(), "TelvGate 1.3.4.7");
  EXPECT_EQ(m_window->getWidth(), 500);
  EXPECT_EQ(m_window->getHeight(), 300);
  FXTreeItem* first = m_window->tree()->getFirstItem();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, m_window->channelsItem());
  EXPECT_STREQ(first->getText().text(), "Channels");
  ASSERT_NE(first->getNext(), nullptr);
  EXPECT_EQ(first->getNext(), m_window->configureItem());
  EXPECT_EQ(m_window->statusText(), "Ready");
}

TEST_F(MainWindowTest, RowsChangedFromOtherThreadsShowTheirLastStateAndIcon) {
  CnlListEntry a, b;
  std::thread worker([&] {
    // Many changes in a burst: the wake-ups coalesce, yet every change must arrive in order.
    a.setAll(2, "Einfahrt S\xFC" "d \xC4\xD6\xDC\xE4\xF6", "192.168.1.5:80", "initializing...");
    for (int i = 0; i < 200; ++i) b.setAll(2, "Hof", "10.0.0.7:8080", "try " + std::to_string(i));
    a.setStateText("Connecting...");
    a.setState(1);
    b.setState(7);
  });
  worker.join();
  const std::string rowA = "Einfahrt S\xC3\xBC" "d \xC3\x84\xC3\x96\xC3\x9C\xC3\xA4\xC3\xB6 (192.168.1.5:80) Connecting...";
  const std::string rowB = "Hof (10.0.0.7:8080) try 199";
  ASSERT_TRUE(pumpUntil([&] { return channelRows() == std::vector<std::string>{rowA, rowB}; }))
      << "rows: " << ::testing::PrintToString(channelRows());
  EXPECT_TRUE(m_window->tree()->isItemExpanded(m_window->channelsItem()));

  ASSERT_TRUE(pumpUntil([&] {
    return m_window->channelsItem()->getFirst()->getOpenIcon() == m_icons->stateIcon(1);
  }));
  FXTreeItem* itemB = m_window->channelsItem()->getFirst()->getNext();
  EXPECT_EQ(itemB->getOpenIcon(), m_icons->icon(AppIcons::Configure)) << "state 7 shares it";
  EXPECT_EQ(itemB->getClosedIcon(), itemB->getOpenIcon());

  std::thread([&] { a.setState(42); }).join();
  ASSERT_TRUE(pumpUntil([&] {
    return m_window->channelsItem()->getFirst()->getOpenIcon() == m_icons->icon(AppIcons::Other);
  }));

  // A channel that ends removes its row; the other row stays.
  std::thread([&] { a.remove(); }).join();
  ASSERT_TRUE(pumpUntil([&] { return channelRows() == std::vector<std::string>{rowB}; }));
}

TEST_F(MainWindowTest, StateIconsAreDistinctPerStateWithSevenSharingConfigure) {
  for (int s = 1; s <= 6; ++s)
    for (int t = s + 1; t <= 6; ++t) EXPECT_NE(m_icons->stateIcon(s), m_icons->stateIcon(t));
  EXPECT_EQ(m_icons->stateIcon(7), m_icons->icon(AppIcons::Configure));
  EXPECT_EQ(m_icons->stateIcon(0), m_icons->icon(AppIcons::Other));
  EXPECT_EQ(m_icons->stateIcon(-3), m_icons->icon(AppIcons::Other));
  for (int s = 1; s <= 6; ++s) EXPECT_NE(m_icons->stateIcon(s), m_icons->icon(AppIcons::Other));
}

TEST_F(MainWindowTest, ConfigureItemShowsEachAnnouncedAddress) {
  std::thread([] { announceConfigAddress(CNetAddr("127.0.0.1", 8080)); }).join();
  ASSERT_TRUE(pumpUntil([&] {
    return std::string(m_window->configureItem()->getText().text()) == "[127.0.0.1:8080] configure";
  })) << m_window->configureItem()->getText().text();
  std::thread([] { announceConfigAddress(CNetAddr("0.0.0.0", 41000), true); }).join();
  ASSERT_TRUE(pumpUntil([&] {
    return std::string(m_window->configureItem()->getText().text()) ==
           "[0.0.0.0:41000] configure (OS selected port)";
  })) << m_window->configureItem()->getText().text();
}

TEST_F(MainWindowTest, ConfigureCommandStartsTheBrowserOrReportsWhyNot) {
  const std::string script = m_home.dir().file("browser.sh");
  const std::string seen = m_home.dir().file("url.txt");
  ASSERT_TRUE(writeFile(script, "#!/bin/sh\necho \"$1\" > " + seen + ".tmp; mv " + seen + ".tmp " +
                                    seen + "\n"));
  chmod(script.c_str(), 0755);
  setenv("TELVGATE_URL_OPENER", script.c_str(), 1);
  announceConfigAddress(CNetAddr("0.0.0.0", 8080));
  m_window->handle(m_window, FXSEL(SEL_COMMAND, CMainWindow::ID_CONFIG), nullptr);
  EXPECT_EQ(m_window->statusText(), "Browser started");
  EXPECT_TRUE(waitFor([&] { return readFile(seen) == "http://localhost:8080\n"; }, 5000))
      << readFile(seen);
  // The message outlives the toolkit's next status update.
  pumpUntil([] { return false; }, 200);
  EXPECT_EQ(m_window->statusText(), "Browser started");

  setenv("TELVGATE_URL_OPENER", m_home.dir().file("no-such-browser").c_str(), 1);
  announceConfigAddress(CNetAddr("192.168.1.5", 80));
  m_window->handle(m_window, FXSEL(SEL_COMMAND, CMainWindow::ID_CONFIG), nullptr);
  unsetenv("TELVGATE_URL_OPENER");
  EXPECT_EQ(m_window->statusText(), "Errors starting the configuration browser");
  EXPECT_NE(g_logFile.logText(0).find("(Warning) : CMainWindow::onCmdConfig : browser start : "
                                      "Error opening the url: http://192.168.1.5:80\n"),
            std::string::npos)
      << g_logFile.logText(5);
}

TEST(MainWindowAbout, TextNamesVersionBuildAndToolkit) {
  const std::string t = CMainWindow::aboutText();
  EXPECT_EQ(t.rfind("Telvora TelvGate 1.3.4.7 (", 0), 0u) << t;
  EXPECT_NE(t.find("\n\nBuild date: " + std::string(__DATE__).substr(0, 3)), std::string::npos);
  EXPECT_EQ(t.find("  "), std::string::npos) << "single-digit days are not padded: " << t;
  EXPECT_NE(t.find("\nTarget cpu: "), std::string::npos);
  EXPECT_NE(t.find("\nFOX toolkit version: " + std::to_string(FOX_MAJOR) + "." +
                   std::to_string(FOX_MINOR) + "." + std::to_string(FOX_LEVEL) + "\n\n"),
            std::string::npos)
      << "the version actually linked: " << t;
  EXPECT_NE(t.find("\nThis program uses the FOX Toolkit ("), std::string::npos);
  EXPECT_NE(t.find("2000,2007"), std::string::npos);
}

namespace {

// Closes the window from inside the running event loop, as the exit command would.
class Closer : public FXObject {
  FXDECLARE(Closer)

 public:
  enum { ID_CLOSE_NOW = 1, ID_GIVE_UP };
  Closer() = default;
  Closer(CMainWindow* w) : m_window(w) {}
  long onClose(FXObject*, FXSelector, void*) {
    m_window->handle(this, FXSEL(SEL_COMMAND, FXTopWindow::ID_CLOSE), nullptr);
    return 1;
  }
  long onGiveUp(FXObject*, FXSelector, void*) {
    m_window->getApp()->stop(99);
    return 1;
  }

 private:
  CMainWindow* m_window = nullptr;
};

FXDEFMAP(Closer) CloserMap[] = {
    FXMAPFUNC(SEL_TIMEOUT, Closer::ID_CLOSE_NOW, Closer::onClose),
    FXMAPFUNC(SEL_TIMEOUT, Closer::ID_GIVE_UP, Closer::onGiveUp),
};
FXIMPLEMENT(Closer, FXObject, CloserMap, ARRAYNUMBER(CloserMap))

}  // namespace

TEST_F(MainWindowTest, ExitCommandRunsTheChannelShutdownOnceAndEndsTheLoop) {
  Closer closer(m_window);
  m_app->addTimeout(&closer, Closer::ID_CLOSE_NOW, 50);
  m_app->addTimeout(&closer, Closer::ID_GIVE_UP, 5000);
  EXPECT_EQ(m_app->run(), 0) << "the loop ends with close's code, not the give-up timer's";
  m_app->removeTimeout(&closer, Closer::ID_GIVE_UP);
  EXPECT_EQ(m_closeCalls, 1);
  EXPECT_TRUE(m_window->closed());
  EXPECT_FALSE(m_window->shown());
  // A second close (SIGTERM arriving during the first) does not run the shutdown again.
  EXPECT_TRUE(m_window->close(TRUE));
  EXPECT_EQ(m_closeCalls, 1);
  // Closing must not write the settings to storage: only a configuration submission does.
  EXPECT_EQ(readFile(m_home.settingsFile()), "");
}

TEST_F(MainWindowTest, WindowManagersCloseRequestRunsTheSameCloseSequence) {
  // What the toolkit sends the window when the close box is pressed (WM_DELETE_WINDOW).
  m_window->handle(m_app, FXSEL(SEL_CLOSE, 0), nullptr);
  EXPECT_EQ(m_closeCalls, 1);
  EXPECT_TRUE(m_window->closed());
}

// The overlay font comes with the grabber library, on a display only, and goes with the boards.
TEST_F(MainWindowTest, GrabberLibraryBringsTheOverlayFontOnADisplay) {
  ScopedEnv lib("TELVGATE_FALCON_LIB", buildTreePath("libfalcon.so").c_str());
  ScopedEnv fail("TELVGATE_FALCON_FAIL", "is_InitBoard");  // no board, no channel
  {
    AnalogStartup headless;
    headless.loadAndStart(nullptr);
    EXPECT_EQ(g_overlayFont, nullptr);
  }
  AnalogStartup startup;
  startup.loadAndStart(m_app);
  ASSERT_NE(g_overlayFont, nullptr);
  EXPECT_NE(g_overlayFont->id(), 0u) << "realised";
  EXPECT_EQ(g_overlayFont->getName(), "courier new");
  EXPECT_EQ(g_overlayFont->getSize(), 110u);
  startup.closeBoards();
  EXPECT_EQ(g_overlayFont, nullptr);
}
