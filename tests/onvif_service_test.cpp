// The ONVIF service alone (no discovery), on 127.0.0.1, with channels and logins of the test:
// who may call what, what a hostile client achieves (nothing but a refusal), and how a head
// moved over ONVIF stops by itself and shares its port with a viewer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "base/TextHelpers.h"
#include "onvif/OnvifAuth.h"
#include "onvif/OnvifServer.h"
#include "onvif/OnvifSoap.h"
#include "pantilt/CPelcoD.h"
#include "tests/pantilt_pty.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestEnv.h"

using ptytest::Bytes;
using ptytest::cat;

namespace {

struct Reply {
  int status = 0;
  std::string text;  // head and body
  bool has(const std::string& s) const { return text.find(s) != std::string::npos; }
};

// Sends the bytes and reads until the server closes (at most timeoutMs).
Reply roundTrip(uint16_t port, const std::string& bytes, int timeoutMs = 5000) {
  Reply r;
  const int fd = connectTo(port);
  if (fd < 0) return r;
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  char buf[65536];
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    r.text.append(buf, size_t(n));
  }
  ::close(fd);
  if (r.text.compare(0, 9, "HTTP/1.1 ") == 0) r.status = std::atoi(r.text.c_str() + 9);
  return r;
}

std::string post(const std::string& path, const std::string& body, const std::string& headers = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/soap+xml\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string isoTime(time_t t) {
  char b[32];
  std::tm tm{};
  gmtime_r(&t, &tm);
  std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S.250Z", &tm);
  return b;
}

// A SOAP envelope around body, with a UsernameToken when login is given.
std::string envelope(const std::string& body, const std::string& login = "", const std::string& password = "",
                     long clockOffsetSec = 0) {
  std::string header;
  if (!login.empty()) {
    const std::string nonce = "0123456789abcdef", created = isoTime(std::time(nullptr) + clockOffsetSec);
    header = "<s:Header><Security xmlns=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd\">"
             "<UsernameToken><Username>" + login + "</Username><Password Type=\"http://docs.oasis-open.org/wss/2004/01/"
             "oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">" +
             onvifauth::passwordDigest(nonce, created, password) + "</Password><Nonce>" + base64_encode(nonce) +
             "</Nonce><Created xmlns=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0"
             ".xsd\">" + created + "</Created></UsernameToken></Security></s:Header>";
  }
  return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">" + header + "<s:Body>" + body +
         "</s:Body></s:Envelope>";
}

const std::string kMedia = "xmlns=\"http://www.onvif.org/ver10/media/wsdl\"";
const std::string kPtz = "xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"";

class Channels : public OnvifChannelSource {
 public:
  std::vector<OnvifChannel> list;
  std::shared_ptr<SharedPicture> picture;
  std::vector<OnvifChannel> channels() override { return list; }
  bool currentPicture(const std::string& tag, std::shared_ptr<const SharedPicture>* pic) override {
    if (tag != "axis_0") return false;
    *pic = picture;
    return true;
  }
};

class Logins : public OnvifCredentials {
 public:
  bool lookup(const std::string& login, std::string* password, OnvifRole* role) override {
    if (login == "admin") *password = "s3cret", *role = OnvifRole::Administrator;
    else if (login == "guest") *password = "look", *role = OnvifRole::Viewer;
    else return false;
    return true;
  }
};

Bytes pelcoD(uint8_t cmd2, uint8_t d1, uint8_t d2) {
  const auto p = CPelcoD::packet(1, 0, cmd2, d1, d2);
  return Bytes(p.begin(), p.end());
}
const Bytes kStop = pelcoD(0, 0, 0);

class OnvifService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(line.ok());
    OnvifChannel analog;
    analog.tag = "falcon_1_0";
    analog.name = "Gate";
    analog.width = 640, analog.height = 480, analog.quality = 70, analog.frameRate = 25;
    analog.endpointIp = "0.0.0.0", analog.endpointPort = 8081;
    analog.head = RotorHeadConfig{kRotorPelcoD, line.port(), 9600, 1};
    OnvifChannel ip;
    ip.tag = "axis_0";
    ip.name = "Yard";
    ip.width = 352, ip.height = 288, ip.quality = 50, ip.frameRate = 5;
    channels.list = {analog, ip};
    channels.picture = std::make_shared<SharedPicture>();
    channels.picture->data.reset(new uint8_t[4]{0xFF, 0xD8, 0xFF, 0xD9});
    channels.picture->length = 4;
    OnvifConfig c;
    c.address = "127.0.0.1";
    c.port = 0;
    c.discovery = false;
    c.rtspEnabled = true;
    c.deadManNs = 400000000ull;
    std::string error;
    ASSERT_TRUE(server.begin(c, &error)) << error;
    port = server.address().port;
  }
  Reply call(const std::string& path, const std::string& body, const std::string& login = "admin",
             const std::string& password = "s3cret", long offset = 0) {
    return roundTrip(port, post(path, envelope(body, login, password, offset)));
  }

  IsolatedHome home;
  ptytest::PtyLine line;
  Channels channels;
  Logins logins;
  OnvifServer server{channels, logins, nullptr};
  uint16_t port = 0;
};

TEST_F(OnvifService, LoginsRolesAndTheClock) {
  const std::string profiles = "<GetProfiles " + kMedia + "/>";
  // The clock needs no login; profiles need one, and without any the Digest challenge comes.
  Reply r = roundTrip(port, post("/onvif/device_service",
                                envelope("<GetSystemDateAndTime xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/>")));
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.has("<tt:UTCDateTime><tt:Time><tt:Hour>"));
  r = call("/onvif/media_service", profiles, "");
  EXPECT_EQ(r.status, 401);
  EXPECT_TRUE(r.has("WWW-Authenticate: Digest realm=\"TelvGate\""));
  r = call("/onvif/media_service", profiles);
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.has("<trt:Profiles token=\"falcon_1_0\" fixed=\"true\"><tt:Name>Gate</tt:Name>"));
  EXPECT_TRUE(r.has("<tt:Encoding>JPEG</tt:Encoding><tt:Resolution><tt:Width>352</tt:Width><tt:Height>288</tt:Height>"
                    "</tt:Resolution><tt:Quality>50</tt:Quality><tt:RateControl><tt:FrameRateLimit>5<"));
  EXPECT_TRUE(r.has("<tt:PTZConfiguration token=\"ptz_falcon_1_0\">"));
  // Wrong password, unknown login, a clock 6 minutes off: refused; 4 minutes off: accepted.
  EXPECT_TRUE(call("/onvif/media_service", profiles, "admin", "S3cret").has("ter:NotAuthorized"));
  EXPECT_TRUE(call("/onvif/media_service", profiles, "root", "s3cret").has("ter:NotAuthorized"));
  EXPECT_EQ(call("/onvif/media_service", profiles, "admin", "s3cret", -360).status, 400);
  EXPECT_EQ(call("/onvif/media_service", profiles, "admin", "s3cret", 360).status, 400);
  EXPECT_EQ(call("/onvif/media_service", profiles, "admin", "s3cret", -240).status, 200);
  // A viewer reads but does not steer.
  const std::string token = "<ProfileToken>falcon_1_0</ProfileToken>";
  r = call("/onvif/media_service", "<GetStreamUri " + kMedia + ">" + token + "</GetStreamUri>", "guest", "look");
  EXPECT_TRUE(r.has("<tt:Uri>rtsp://127.0.0.1:8554/falcon_1_0</tt:Uri>")) << r.text;
  r = call("/onvif/ptz_service", "<Stop " + kPtz + ">" + token + "</Stop>", "guest", "look");
  EXPECT_TRUE(r.has("ter:NotAuthorized"));
  EXPECT_EQ(line.drain(100), Bytes{}) << "a viewer's command reached the head";
  // Snapshot addresses: the analog endpoint's, and ours (behind HTTP Digest) for the IP channel.
  r = call("/onvif/media_service", "<GetSnapshotUri " + kMedia + ">" + token + "</GetSnapshotUri>");
  EXPECT_TRUE(r.has("<tt:Uri>http://127.0.0.1:8081/record/current.jpg</tt:Uri>"));
  r = call("/onvif/media_service", "<GetSnapshotUri " + kMedia + "><ProfileToken>axis_0</ProfileToken></GetSnapshotUri>");
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/onvif/snapshot/axis_0.jpg";
  EXPECT_TRUE(r.has("<tt:Uri>" + url + "</tt:Uri>"));
  const std::string out = home.dir().file("snap.jpg");
  EXPECT_EQ(system(("curl -sf -m 5 --digest -u guest:look -o " + out + " " + url).c_str()), 0);
  EXPECT_EQ(readFile(out), std::string("\xFF\xD8\xFF\xD9", 4));
  EXPECT_NE(system(("curl -sf -m 5 --digest -u guest:wrong -o /dev/null " + url).c_str()), 0);
}

TEST_F(OnvifService, HostileRequestsLeaveItServing) {
  const std::string bomb =
      "<?xml version=\"1.0\"?><!DOCTYPE s:Envelope [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;"
      "&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
      "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">]>" +
      envelope("<GetProfiles " + kMedia + ">&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;</GetProfiles>", "admin", "s3cret");
  const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" +
                               envelope("<GetProfile " + kMedia + "><ProfileToken>&x;</ProfileToken></GetProfile>",
                                        "admin", "s3cret");
  EXPECT_TRUE(roundTrip(port, post(kMediaPath, bomb)).has("document type declarations are not accepted"));
  const Reply leak = roundTrip(port, post(kMediaPath, external));
  EXPECT_EQ(leak.status, 400);
  EXPECT_FALSE(leak.has("root:"));
  EXPECT_TRUE(roundTrip(port, post(kMediaPath, "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"))
                  .has("ter:WellFormed"));
  EXPECT_EQ(roundTrip(port, post(kMediaPath, std::string(70000, '<'))).status, 413);
  EXPECT_EQ(roundTrip(port, "POST /onvif/media_service HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n").status, 400);
  EXPECT_EQ(roundTrip(port, "POST /onvif/media_service HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n").status, 411);
  std::string deep;
  for (int i = 0; i < 3000; ++i) deep += "<a>";
  EXPECT_EQ(roundTrip(port, post(kMediaPath, envelope(deep, "admin", "s3cret"))).status, 400);
  EXPECT_EQ(call(kMediaPath, "<Reboot xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/>").status, 500);
  EXPECT_EQ(call(kPtzPath, "<ContinuousMove " + kPtz + "><ProfileToken>falcon_1_0</ProfileToken><Velocity>"
                 "<PanTilt xmlns=\"http://www.onvif.org/ver10/schema\" x=\"nan\" y=\"7\"/></Velocity></ContinuousMove>")
                .status, 400);
  // A body announced longer than sent, and clients that never finish: each ends on its own
  // deadline, and a whole crowd of them does not keep a good request out.
  EXPECT_EQ(roundTrip(port, "POST /onvif/media_service HTTP/1.1\r\nContent-Length: 500\r\n\r\n<s:Env", 200).status, 0);
  std::vector<int> idle;
  for (int i = 0; i < 40; ++i) idle.push_back(connectTo(port));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(call(kMediaPath, "<GetProfiles " + kMedia + "/>").status, 200) << "silent clients kept a request out";
  for (int fd : idle) ::close(fd);
  EXPECT_EQ(call(kMediaPath, "<GetProfiles " + kMedia + "/>").status, 200);
}

TEST_F(OnvifService, MovesStopByThemselvesAndShareTheHeadWithAViewer) {
  auto move = [&](const std::string& velocity, const std::string& timeout = "") {
    return call(kPtzPath, "<ContinuousMove " + kPtz + "><ProfileToken>falcon_1_0</ProfileToken><Velocity>" + velocity +
                              "</Velocity>" + timeout + "</ContinuousMove>");
  };
  const std::string tt = " xmlns=\"http://www.onvif.org/ver10/schema\"";
  // A viewer's command stream holds the head: the service steers it through the same port.
  std::unique_ptr<RotorLease> viewer = leaseRotorHead(RotorHeadConfig{kRotorPelcoD, line.port(), 9600, 1}, RotorUser::Viewer);
  ASSERT_TRUE(viewer);
  EXPECT_EQ(move("<PanTilt" + tt + " x=\"1\" y=\"-0.5\"/><Zoom" + tt + " x=\"0\"/>").status, 200);
  EXPECT_EQ(line.read(7), pelcoD(0x12, 0x3F, 0x20));
  viewer->head().use([](CRotor& r) { r.goto_preset(3); });
  EXPECT_EQ(line.read(7), pelcoD(0x07, 0, 3));
  viewer.reset();
  // No news for the dead-man time (0.4 s here): the head stops by itself, once.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(line.read(7, 2000), kStop);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
  // A zoom with a Timeout shorter than that ends by its Timeout; a new command renews the time.
  EXPECT_EQ(move("<Zoom" + tt + " x=\"1\"/>", "<Timeout>PT0.1S</Timeout>").status, 200);
  EXPECT_EQ(line.read(21), cat({pelcoD(0x25, 0, 3), pelcoD(0x20, 0, 0), kStop}));
  EXPECT_EQ(move("<PanTilt" + tt + " x=\"-0.01\" y=\"0\"/>").status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(move("<PanTilt" + tt + " x=\"-0.01\" y=\"0\"/>").status, 200);
  EXPECT_EQ(line.read(14, 300), cat({pelcoD(0x04, 1, 0), pelcoD(0x04, 1, 0)})) << "stopped before its time";
  EXPECT_EQ(line.read(7, 1000), kStop);
  EXPECT_EQ(line.drain(600), Bytes{});
  // Presets: numbered by the head, named by us.
  Reply r = call(kPtzPath, "<SetPreset " + kPtz + "><ProfileToken>falcon_1_0</ProfileToken><PresetName>Gate</PresetName>"
                 "</SetPreset>");
  EXPECT_TRUE(r.has("<tptz:PresetToken>1</tptz:PresetToken>")) << r.text;
  EXPECT_EQ(call(kPtzPath, "<GotoPreset " + kPtz + "><ProfileToken>falcon_1_0</ProfileToken><PresetToken>1"
                 "</PresetToken></GotoPreset>").status, 200);
  EXPECT_EQ(line.read(14), cat({pelcoD(0x03, 0, 1), pelcoD(0x07, 0, 1)}));
  EXPECT_TRUE(call(kPtzPath, "<GetPresets " + kPtz + "><ProfileToken>falcon_1_0</ProfileToken></GetPresets>")
                  .has("<tptz:Preset token=\"1\"><tt:Name>Gate</tt:Name></tptz:Preset>"));
}

}  // namespace
