// A real browser against the real program: headless Chromium, driven through its DevTools
// protocol on a pipe (no extra packages), logs in to the telvgate configuration pages, adds an
// Axis channel pointed at the fake camera through the new-channel form, and then finds the
// channel with its picture on the status report. Screenshots of both pages are saved in the
// build folder (browser-configure.png, browser-status.png).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/TextHelpers.h"
#include "tests/support/Browser.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramHome.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Waiting.h"

using namespace browsertest;

TEST(BrowserConfig, AddsAnAxisChannelAndSeesItsPicture) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium;
  ProgramHome home;

  ChildProcess cam;
  ASSERT_TRUE(cam.start(builtProgram("fakecam"), {"--port", "0", "--family", "axis", "--fps", "5"}));
  ASSERT_TRUE(cam.waitForStdout("\n", 5000));
  const std::string camPort = std::to_string(std::atoi(cam.stdoutText().substr(5).c_str()));

  ChildProcess gate;
  ASSERT_TRUE(home.start(gate, {"--headless", "127.0.0.1", "0"}));
  const int port = confPort(gate);
  ASSERT_GT(port, 0) << gate.stdoutText() << gate.stderrText();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  Browser browser;
  ASSERT_TRUE(browser.start(home.file("chromium-profile")));
  ASSERT_TRUE(browser.openPage());
  browser.call("Page.enable");
  browser.call("Network.enable");
  browser.call("Network.setExtraHTTPHeaders",
               "{\"headers\":{\"Authorization\":\"Basic " + base64_encode("admin:qatrel") + "\"}}");

  // The new-channel form, filled in and sent as a user would.
  ASSERT_TRUE(browser.navigate(base + "/configure?cnl=newAxis"));
  ASSERT_EQ(browser.eval("document.title"), "TelvGate 1.3.4.7 Configuration");
  ASSERT_EQ(browser.eval("document.querySelector('[name=\"1_9999_CamIPAddr\"]') ? 'yes' : 'no'"), "yes");
  browser.eval("document.querySelector('[name=\"1_9999_CnlName\"]').value = 'Yard camera';"
               "document.querySelector('[name=\"1_9999_CamIPAddr\"]').value = '127.0.0.1';"
               "document.querySelector('[name=\"1_9999_CamIPPort\"]').value = '" + camPort + "';"
               "'ok'");
  browser.call("Page.enable");
  std::string clicked = browser.eval(
      "(function(){ var b = Array.from(document.querySelectorAll('input[type=submit]'))"
      ".find(function(e){ return e.value == 'Send'; }); b.click(); return b ? 'clicked' : 'none'; })()");
  ASSERT_EQ(clicked, "clicked");
  ASSERT_TRUE(waitTrue(browser,
                       "document.location.pathname == '/submitConfig' && document.readyState == 'complete' "
                       "? 'yes' : 'no'",
                       15000));
  EXPECT_TRUE(waitTrue(browser,
                       "document.body.innerText.indexOf('Configure channel Yard camera') >= 0 ? 'yes' : 'no'",
                       5000))
      << browser.eval("document.body.innerText");
  EXPECT_EQ(browser.eval("document.querySelector('[name=\"1_0_CamIPAddr\"]') ? 'yes' : 'no'"), "yes");
  EXPECT_TRUE(browser.screenshot(builtProgram("browser-configure.png")));

  // The status report shows the channel with a picture that the browser could decode.
  const std::string picture =
      "(function(){ var i = Array.from(document.images).find(function(e){ return e.src.indexOf(':" + camPort +
      "/') >= 0; }); return i && i.complete && i.naturalWidth > 0 ? 'yes' : 'no'; })()";
  bool seen = false;
  for (int i = 0; i < 10 && !seen; ++i) {
    ASSERT_TRUE(browser.navigate(base + "/status"));
    seen = waitTrue(browser, picture, 2000);
  }
  EXPECT_TRUE(seen) << browser.eval("document.body.innerHTML");
  EXPECT_NE(browser.eval("document.body.innerText").find("Status of channel Yard camera"), std::string::npos);
  EXPECT_TRUE(browser.screenshot(builtProgram("browser-status.png")));
}
