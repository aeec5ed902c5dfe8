// The ONVIF service's answer to a SOAP body. Input: one byte choosing the HTTP Digest login
// the request came with (none, an administrator, a viewer), then the body. Whatever the body,
// the answer is one of the service's statuses, its body a well-formed SOAP 1.2 envelope, a
// Fault exactly when the status is not 200, and a login challenge only with 401.
#include <cstdlib>
#include <string>

#include "onvif/OnvifPtz.h"
#include "onvif/OnvifSoap.h"
#include "onvif/XmlDoc.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {
namespace {

struct Channels : OnvifChannelSource {
  std::vector<OnvifChannel> channels() override {
    OnvifChannel analog, ip;
    analog.tag = "falcon_1_0", analog.name = "Gate", analog.width = 640, analog.height = 480;
    analog.endpointIp = "0.0.0.0", analog.endpointPort = 8081;
    analog.head = RotorHeadConfig{kRotorPelcoD, 1, 9600, 1};  // COM1: no such line in the scratch folder
    ip.tag = "axis_0", ip.name = "Yard<&>\"", ip.width = 352, ip.height = 288, ip.frameRate = 0.2;
    return {analog, ip};
  }
  bool currentPicture(const std::string&, std::shared_ptr<const SharedPicture>*) override { return false; }
};

struct Logins : OnvifCredentials {
  bool lookup(const std::string& login, std::string* password, OnvifRole* role) override {
    *password = "pw";
    *role = login == "admin" ? OnvifRole::Administrator : OnvifRole::Viewer;
    return login == "admin" || login == "guest";
  }
};

}  // namespace

std::string soapBody(const uint8_t* data, size_t size) {
  if (size < 1) return "";
  static const bool serialDir = setenv("TELVGATE_SERIAL_DIR", scratchDir().c_str(), 1) == 0;
  (void)serialDir;
  onvifxml::initXmlParser();
  static Channels channels;
  static Logins logins;
  static OnvifPtz ptz(1000000000ull);
  static OnvifConfig config;
  struct NoPresets : OnvifPresetStore {
    std::map<int, std::string> presets(const std::string&) override { return {}; }
    void storePresets(const std::string&, const std::map<int, std::string>&) override {}
  } presets;
  OnvifContext c{config, channels, logins, ptz, &presets, "urn:uuid:0", "127.0.0.1", 8000, 1700000000,
                 OnvifRole::None};
  onvifauth::Check digest;
  if (data[0] % 3 != 0) {
    digest.result = onvifauth::Check::Accepted;
    digest.role = data[0] % 3 == 1 ? OnvifRole::Administrator : OnvifRole::Viewer;
  }
  const SoapAnswer a = answerSoap(reinterpret_cast<const char*>(data + 1), size - 1, digest, c);
  if (a.status != 200 && a.status != 400 && a.status != 401 && a.status != 500) return "unexpected status";
  if (a.askLogin != (a.status == 401)) return "login challenge without 401, or 401 without one";
  onvifxml::XmlDoc doc;
  std::string error;
  if (!doc.parse(a.body.data(), a.body.size(), &error)) return "answer is not well-formed: " + error;
  const xmlNode* body = onvifxml::child(doc.root(), onvifns::kSoap, "Body");
  if (!onvifxml::is(doc.root(), onvifns::kSoap, "Envelope") || !body) return "answer is no SOAP envelope";
  const bool fault = onvifxml::is(onvifxml::child(body), onvifns::kSoap, "Fault");
  if (fault != (a.status != 200)) return "Fault and status disagree";
  return "";
}

}  // namespace fuzzcheck
