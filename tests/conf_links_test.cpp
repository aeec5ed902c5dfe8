// Signed links, the endpoints' optional login and the recordings over HTTPS, against the real
// telvgate with two analog channels of the simulated grabber ("control" and "all" logins on
// their endpoints, the first recording), the status pages behind a login, and a viewer; last,
// headless Chromium shows the live page over HTTPS to that viewer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <ctime>
#include <string>

#include "base/TextHelpers.h"
#include "tests/support/Browser.h"
#include "tests/support/ConfGate.h"
#include "tests/support/ProgramHome.h"

namespace {

using namespace conftls;

class Links : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gate = new ConfGate(true, "PublicStatus=0\n",
                        "[Viewers]\nvera=seen\n[Channel 0 1 0]\nCnlIPAddr=127.0.0.1\nCnlEnabled=true\nCnlAuth=control\n"
                        "CnlEventRecActive=true\nCnlEventFramePeriod=100\nCnlEventRootPath=/tmp/telvgate-links-" +
                            std::to_string(getpid()) + "\n[Channel 0 1 1]\nCnlIPAddr=127.0.0.1\nCnlEnabled=true\nCnlAuth=all\n");
    ASSERT_TRUE(gate->start());
    for (int i : {0, 1})
      endpoint[i] = "http://127.0.0.1:" + std::to_string(announcedNumber(
                        gate->proc(), "Analog Falcon 1 " + std::to_string(i) + ": http://127.0.0.1:"));
    base = "https://127.0.0.1:" + std::to_string(gate->tlsPort);
  }
  static void TearDownTestSuite() {
    delete gate;
    sh("rm -rf /tmp/telvgate-links-" + std::to_string(getpid()));
  }
  // A link to target on the HTTPS port, made by the viewer.
  static std::string link(const std::string& target, const std::string& valid) {
    const std::string out = curlTls(*gate, "-u vera:seen '" + base + "/link?text=1&valid=" + valid + "&u=" + url_encode(target) + "'");
    return out.substr(0, out.find('\n'));
  }
  static std::string status(const std::string& args) { return code(curlTls(*gate, "-o /dev/null --max-time 2 " + args)); }

  static ConfGate* gate;
  static std::string endpoint[2], base;
};
ConfGate* Links::gate = nullptr;
std::string Links::endpoint[2], Links::base;

TEST_F(Links, ASignedLinkPlaysOneChannelsStreamUntilItExpiresOrAllAreRevoked) {
  const std::string shortLink = link("/stream/0_1_0_.jpg?fps=5", "3");
  ASSERT_EQ(shortLink.find(base + "/stream/0_1_0_.jpg?fps=5&c=Channel+0+1+0&exp="), 0u) << shortLink;
  const std::string stream = curlTls(*gate, "--max-time 2 '" + shortLink + "'");
  EXPECT_NE(stream.find("--TELVORA_Fast_Serverpush\r\nContent-Type: image/jpg"), std::string::npos);
  EXPECT_NE(stream.find("\r\n\r\n\xFF\xD8"), std::string::npos);
  EXPECT_EQ(status("'" + base + "/stream/0_1_0_.jpg'"), "401");
  // Its signature opens neither the other channel, nor another page, nor a changed expiry.
  const size_t at = shortLink.find('?'), exp = shortLink.find("&exp=") + 5, sig = shortLink.find("&sig=");
  const std::string later = std::to_string(std::stoull(shortLink.substr(exp, sig - exp)) + 1);
  for (const std::string& other : {base + "/stream/0_1_1_.jpg" + shortLink.substr(at),
                                   base + "/recordings/play.jpg" + shortLink.substr(at) + "&from=1",
                                   shortLink.substr(0, exp) + later + shortLink.substr(sig)})
    EXPECT_EQ(status("'" + other + "'"), "403") << other;
  sleep(3);
  EXPECT_EQ(status("'" + shortLink + "'"), "403");

  const std::string dayLink = link("/stream/0_1_0_.jpg", "86400");
  EXPECT_EQ(status("'" + dayLink + "'"), "200");
  EXPECT_NE(curlTls(*gate, "-u admin:qatrel -H 'Origin: " + base + "' --data 'sys_revokeLinks=1&ret_cnl=sys' " + base +
                              "/submitConfig").find("Revoked all links"), std::string::npos);
  EXPECT_EQ(status("'" + dayLink + "'"), "403");
}

TEST_F(Links, AnEndpointLoginGuardsSetRequestsPanTiltAndWithAllThePictures) {
  const auto get = [](const std::string& args) {
    return sh("curl -s --max-time 2 -o /dev/null -w '%{http_code}' " + args);
  };
  const std::string set = endpoint[0] + "/control/control?set&section=recording&recording_activ=disable";
  EXPECT_EQ(get("'" + set + "'"), "401");
  EXPECT_EQ(get("-u vera:wrong '" + set + "'"), "401");
  EXPECT_EQ(sh("curl -s '" + endpoint[0] + "/control/control?list&section=recording'"), "recording_activ=enable\r\n");
  EXPECT_EQ(sh("curl -s -u vera:seen '" + endpoint[0] + "/control/control?set&section=recording&recording_activ=enable'"),
            "recording_activ=enable\r\n");
  EXPECT_EQ(get("'" + endpoint[0] + "/control/rotorcgi'"), "401");
  EXPECT_EQ(get("-u admin:qatrel '" + endpoint[0] + "/control/rotorcgi'"), "200");
  EXPECT_EQ(get("'" + endpoint[0] + "/record/current.jpg'"), "200");
  EXPECT_EQ(get("'" + endpoint[1] + "/record/current.jpg'"), "401");
  EXPECT_EQ(get("-u vera:seen '" + endpoint[1] + "/record/current.jpg'"), "200");
  // The link page also gives the stream from the channel's own port.
  const std::string page = curlTls(*gate, "-u vera:seen '" + base + "/link?u=" + url_encode("/stream/0_1_1_.jpg?fps=2") + "'");
  const size_t p = page.find("value=\"" + endpoint[1] + "/control/faststream.jpg?");
  ASSERT_NE(p, std::string::npos) << page;
  std::string own = page.substr(p + 7, page.find('"', p + 7) - p - 7);
  for (size_t amp; (amp = own.find("&amp;")) != std::string::npos;) own.replace(amp, 5, "&");
  EXPECT_EQ(get("'" + endpoint[1] + "/control/faststream.jpg'"), "401");
  EXPECT_NE(sh("curl -s --max-time 2 '" + own + "'").find("--TELVORA_Fast_Serverpush"), std::string::npos) << own;

  const std::string log = readFile(gate->logPath());
  EXPECT_NE(log.find("CHTTPSrvThread::run : Channel 0 1 0 : Failed login from 127.0.0.1 for /control/control"),
            std::string::npos) << log;
  EXPECT_NE(sh("fail2ban-regex '" + gate->logPath() + "' '" + sourceTreePath("packaging/fail2ban-telvgate.conf") + "'")
                .find(", 0 ignored, 1 matched, "), std::string::npos);
}

TEST_F(Links, RecordingsStreamsAndExportsWorkOverHttps) {
  const std::string range = "c=Channel+0+1+0&from=" + std::to_string(time(nullptr) - 60) + "&to=" +
                            std::to_string(time(nullptr) + 600);
  const std::string mkv = gate->settingsDir() + "/x.mkv";
  std::string got, frames;
  for (int i = 0; i < 60 && std::atoi(frames.c_str()) < 20; ++i, usleep(250000)) {
    got = code(curlTls(*gate, "-u vera:seen -o " + mkv + " '" + base + "/recordings/export?format=mkv&" + range + "'"));
    if (got == "200") frames = sh("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 " + mkv);
  }
  EXPECT_EQ(got, "200");
  EXPECT_GE(std::atoi(frames.c_str()), 20) << frames;
  // A slow reader (about 1.5 s for the export): the socket fills again and again, and the file
  // still arrives whole (curl checks it against its length) and in order.
  const size_t size = std::strtoul(sh("stat -c %s " + mkv).c_str(), nullptr, 10);
  const std::string slow = curlTls(*gate, "--limit-rate " + std::to_string(std::max<size_t>(size * 2 / 3, 65536)) +
                                              " -u vera:seen -o " + mkv + " '" + base + "/recordings/export?format=mkv&" +
                                              range + "'; echo \" exit=$?\"");
  EXPECT_NE(slow.find("200 exit=0"), std::string::npos) << slow << " (" << size << " bytes before)";
  EXPECT_GE(std::atoi(sh("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 " + mkv).c_str()),
            std::atoi(frames.c_str()));
  const std::string play = curlTls(*gate, "--max-time 2 -u vera:seen '" + base + "/recordings/play.jpg?speed=8&" + range + "'");
  EXPECT_NE(play.find("--TELVORA_Fast_Serverpush\r\nContent-Type: image/jpg"), std::string::npos);
  // Every part whole: the length in its head (bytes 70..76) spans one picture, FF D8 to FF D9.
  size_t parts = 0;
  for (size_t at = play.find("--TELVORA_Fast_Serverpush") - 2, len; at + 81 <= play.size(); at += 81 + len, ++parts) {
    len = std::stoul(play.substr(at + 70, 7));
    if (at + 81 + len > play.size()) break;
    ASSERT_EQ(play.substr(at + 81, 2) + play.substr(at + 79 + len, 2), "\xFF\xD8\xFF\xD9") << parts;
  }
  EXPECT_GE(parts, 2u);

  // A link plays the range and speed it was made for; a widened range or another speed is refused.
  const std::string signedPlay = link("/recordings/play.jpg?speed=8&" + range, "600");
  EXPECT_NE(curlTls(*gate, "--max-time 1 '" + signedPlay + "'").find("\r\n\r\n\xFF\xD8"), std::string::npos) << signedPlay;
  const auto with = [&](const std::string& name, const std::string& value) {
    const size_t at = signedPlay.find(name + "=") + name.size() + 1;
    return signedPlay.substr(0, at) + value + signedPlay.substr(signedPlay.find('&', at));
  };
  for (const std::string& changed : {with("?from", "1"), with("&to", std::to_string(time(nullptr) + 86400)),
                                     with("&speed", "1")})
    EXPECT_EQ(status("'" + changed + "'"), "403") << changed;

  // The overview's button beside the channel gives a link to its live stream.
  const std::string button = "/link?c=Channel+0+1+0";
  EXPECT_NE(curlTls(*gate, "-u vera:seen " + base + "/recordings").find("href=\"" + button + "\""), std::string::npos);
  const std::string live = curlTls(*gate, "-u vera:seen '" + base + button + "&text=1'");
  EXPECT_NE(curlTls(*gate, "--max-time 1 '" + live.substr(0, live.find('\n')) + "'").find("\r\n\r\n\xFF\xD8"), std::string::npos) << live;
}

TEST_F(Links, ChromiumShowsTheLivePageToAViewerOverHttps) {
  if (access(browsertest::kChromium, X_OK) != 0) GTEST_SKIP() << "no chromium";
  TempDir profile;
  browsertest::Browser b;
  ASSERT_TRUE(b.start(profile.path()));
  ASSERT_TRUE(b.openPage());
  b.call("Page.enable");
  b.call("Network.enable");
  b.call("Security.setIgnoreCertificateErrors", "{\"ignore\":true}");
  b.call("Network.setExtraHTTPHeaders", "{\"headers\":{\"Authorization\":\"Basic " + base64_encode("vera:seen") + "\"}}");
  ASSERT_TRUE(b.navigate(base + "/live?n=4"));
  EXPECT_TRUE(browsertest::waitTrue(b, "[...document.querySelectorAll('.tile')].filter(t => t.dataset.state == 'ok')"
                                       ".map(t => t.querySelector('img')).filter(i => i.naturalWidth > 0 && "
                                       "i.src.startsWith('https://')).length == 2 ? 'yes' : 'no'", 10000));
  b.screenshot(buildTreePath("live-https.png"));
}

}  // namespace
