// The real telvgate on a private X server: its window, the about box, the exit shortcut and
// SIGTERM. Screenshots go to <build>/gui-screenshots/ for people to look at.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/gui_Xvfb.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

namespace {

const char* const kTerminated = "(Info)    : main : system : TelvGate 1.3.4.7 terminated.";

class TelvGateOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    if (XvfbServer::findProgram("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
    ASSERT_TRUE(m_x.start());
    ASSERT_TRUE(writeFile(browserScript(), "#!/bin/sh\necho \"$1\" > '" + m_home.file("url") +
                                               ".tmp'; mv '" + m_home.file("url") + ".tmp' '" +
                                               m_home.file("url") + "'\n"));
    chmod(browserScript().c_str(), 0755);
    ASSERT_TRUE(m_home.start(m_program, {},
                             {{"TELVGATE_URL_OPENER", browserScript()}, {"DISPLAY", m_x.display()}}));
    // Generous for a sanitizer build on a loaded machine. A program that ended is reported at
    // once; when no window came, the failure shows what the program did instead.
    waitFor(
        [&] {
          return !(m_mainId = windowId("TelvGate 1.3.4.7")).empty() || !m_program.running();
        },
        30000, 20);
    if (m_mainId.empty()) {
      std::string windows;
      m_x.run("xdotool search --name '.' getwindowname %@ 2>&1", &windows);
      FAIL() << "no window; telvgate running: " << m_program.running() << "\nwindows:\n"
             << windows << "stdout:\n" << m_program.stdoutText() << "stderr:\n"
             << m_program.stderrText() << "log:\n" << m_home.log();
    }
  }

  // Stands in for the browser: notes the URL it was asked to open.
  std::string browserScript() const { return m_home.file("browser.sh"); }

  // The id of a visible window with exactly this title ("" when there is none).
  std::string windowId(const std::string& title) {
    std::string out;
    if (m_x.run("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null", &out) != 0)
      return "";
    return out.substr(0, out.find('\n'));
  }

  // Keys go to the focused window; without a window manager we focus it ourselves.
  void keys(const std::string& window, const std::string& keys) {
    m_x.run("xdotool windowfocus --sync " + window + " 2>/dev/null");
    m_x.run("xdotool key --delay 100 " + keys + " 2>/dev/null");
  }

  // Saves the whole screen as PNG under the build folder; returns the path ("" on failure).
  std::string screenshot(const std::string& name) {
    const std::string dir = buildTreePath("gui-screenshots");
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name + ".png";
    unlink(path.c_str());
    if (m_x.run("import -window root '" + path + "' 2>/dev/null") != 0) {
      if (m_x.run("xwd -silent -root | convert xwd:- '" + path + "' 2>/dev/null") != 0) return "";
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size > 1000 ? path : "";
  }

  void expectCleanEnd() {
    int rc = -1;
    ASSERT_TRUE(m_program.wait(10000, &rc)) << "telvgate did not end";
    EXPECT_EQ(rc, 0);
    std::string log = m_home.log();
    while (!log.empty() && log.back() == '\n') log.pop_back();
    EXPECT_NE(log.substr(log.rfind('\n') + 1).find(kTerminated), std::string::npos) << log;
    // Exiting does not write the settings (only a configuration submission does).
    EXPECT_EQ(readFile(m_home.settingsFile()), m_home.settingsText());
  }

  ProgramHome m_home{"ConfIPAddr=127.0.0.1\n"};
  XvfbServer m_x;
  ChildProcess m_program;
  std::string m_mainId;
};

}  // namespace

TEST_F(TelvGateOnXvfb, WindowAndAboutBoxThenCtrlQEndsTheProgram) {
  std::string geometry;
  m_x.run("xdotool getwindowgeometry " + m_mainId, &geometry);
  EXPECT_NE(geometry.find("Geometry: 500x300"), std::string::npos) << geometry;
  std::string name;
  m_x.run("xdotool getwindowname " + m_mainId, &name);
  EXPECT_EQ(name, "TelvGate 1.3.4.7\n");
  // The configure item shows the server's address once it listens.
  ASSERT_TRUE(m_program.waitForStdout("TelvGate configuration pages: http://127.0.0.1:", 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NE(screenshot("main"), "");

  keys(m_mainId, "alt+h");
  // Give the menu time to open and take the keyboard before choosing its item.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  m_x.run("xdotool key --delay 100 Down Return 2>/dev/null");
  std::string aboutId;
  ASSERT_TRUE(waitFor([&] { return !(aboutId = windowId("About TelvGate")).empty(); }, 5000, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NE(screenshot("about"), "");
  keys(aboutId, "Return");  // the OK button is the default
  EXPECT_TRUE(waitFor([&] { return windowId("About TelvGate").empty(); }, 5000, 20));
  EXPECT_TRUE(m_program.running());

  // The configure shortcut opens the pages of the address the server announced.
  const std::string marker = "TelvGate configuration pages: ";
  const std::string out = m_program.stdoutText();
  const size_t at = out.find(marker) + marker.size();
  const std::string url = out.substr(at, out.find("/configure", at) - at);
  keys(m_mainId, "ctrl+c");
  EXPECT_TRUE(waitFor([&] { return readFile(m_home.file("url")) == url + "\n"; }, 5000))
      << "expected " << url << ", got " << readFile(m_home.file("url"));

  keys(m_mainId, "ctrl+q");
  expectCleanEnd();
}

TEST_F(TelvGateOnXvfb, SigtermRunsTheWindowsCloseSequence) {
  m_program.signal(SIGTERM);
  expectCleanEnd();
}

TEST_F(TelvGateOnXvfb, SecondInstanceShowsTheAlreadyRunningBoxAndExitsWithOne) {
  ChildProcess second;
  ASSERT_TRUE(m_home.start(second, {}, {{"DISPLAY", m_x.display()}}));
  std::string boxId;
  ASSERT_TRUE(waitFor([&] { return !(boxId = windowId("TelvGate already running")).empty(); },
                      10000, 20))
      << second.stderrText();
  EXPECT_NE(screenshot("already-running"), "");
  EXPECT_TRUE(second.running()) << "the box is modal: the program waits for OK";
  keys(boxId, "Return");
  int rc = -1;
  ASSERT_TRUE(second.wait(10000, &rc));
  EXPECT_EQ(rc, 1);
  EXPECT_TRUE(m_program.running()) << "the first instance is unaffected";
  m_program.signal(SIGTERM);
  expectCleanEnd();
}
