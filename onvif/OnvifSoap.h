#pragma once
// The SOAP side of the ONVIF service: namespaces, the context one request is answered in, the
// operation table of the device, media and pan/tilt services, and the answer to one request
// body (envelope, login check, dispatch, fault).
//
// Threads: answerSoap() runs on the connection threads, several at once; everything it
// touches is either the request's own or made safe for that by its owner (the channel source,
// the logins, OnvifPtz).
#include <libxml/tree.h>

#include <cstdint>
#include <string>
#include <vector>

#include "onvif/OnvifAuth.h"
#include "onvif/OnvifConfig.h"
#include "onvif/XmlWriter.h"

class OnvifPtz;

namespace onvifns {
constexpr const char* kSoap = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* kDevice = "http://www.onvif.org/ver10/device/wsdl";
constexpr const char* kMedia = "http://www.onvif.org/ver10/media/wsdl";
constexpr const char* kPtz = "http://www.onvif.org/ver20/ptz/wsdl";
constexpr const char* kSchema = "http://www.onvif.org/ver10/schema";
constexpr const char* kError = "http://www.onvif.org/ver10/error";
constexpr const char* kNetwork = "http://www.onvif.org/ver10/network/wsdl";
constexpr const char* kDiscovery = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
constexpr const char* kAddressing = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr const char* kSecExt = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
}  // namespace onvifns

// Paths of the three services on the service's port, and of the pictures it serves itself.
constexpr const char* kDevicePath = "/onvif/device_service";
constexpr const char* kMediaPath = "/onvif/media_service";
constexpr const char* kPtzPath = "/onvif/ptz_service";
constexpr const char* kSnapshotPrefix = "/onvif/snapshot/";

// The device's fixed identity.
constexpr const char* kManufacturer = "TELVORA";
constexpr const char* kModel = "TelvGate";
constexpr const char* kFirmwareVersion = "1.3.4.7";

// What a request is answered with, besides its own body.
struct OnvifContext {
  const OnvifConfig& config;
  OnvifChannelSource& channels;
  OnvifCredentials& logins;
  OnvifPtz& ptz;
  OnvifPresetStore* presets;  // never null (the server keeps names in memory when its owner has no store)
  std::string deviceUuid;     // "urn:uuid:..."
  std::string host;           // our address as the client reached it
  uint16_t port = 0;          // our port as the client reached it
  int64_t nowSec = 0;
  OnvifRole role = OnvifRole::None;

  std::string serviceUrl(const char* path) const {
    return "http://" + host + ":" + std::to_string(port) + path;
  }
};

struct OnvifFault {
  bool sender = true;       // the client's fault (HTTP 400) or ours (500)
  std::string subcode;      // "ter:InvalidArgVal"
  std::string subsubcode;   // "ter:NoProfile"; may be empty
  std::string reason;
};

// Who may call an operation: anybody (the calls a client needs before it can log in), any
// login (reading), or administrators only (steering and changing).
enum class OnvifAccess { PreAuth, Read, Write };

// Writes the operation's response element into out; false with *fault filled instead.
using OnvifHandler = bool (*)(OnvifContext& c, const xmlNode* request, XmlWriter& out, OnvifFault* fault);

struct OnvifOperation {
  const char* ns;
  const char* name;
  OnvifAccess access;
  OnvifHandler handler;
};

const std::vector<OnvifOperation>& deviceOperations();
const std::vector<OnvifOperation>& mediaOperations();
const std::vector<OnvifOperation>& ptzOperations();

// The channel whose profile token is `token`; null (with a NoProfile fault) when none.
const OnvifChannel* findProfile(const std::vector<OnvifChannel>& channels, const std::string& token,
                                OnvifFault* fault);
bool hasHead(const OnvifChannel& ch);
OnvifFault invalidArg(const char* detail, const std::string& reason);

// Writers shared by the services (out is inside the element that holds them).
void writeVideoEncoderConfiguration(XmlWriter& out, const char* element, const OnvifChannel& ch);
void writePtzConfiguration(XmlWriter& out, const char* element, const OnvifChannel& ch);
std::string durationText(uint64_t ns);  // "PT10S", "PT0.5S"
// An xs:duration ("PT5S", "PT1M30.5S", "P1DT2H") in nanoseconds; false when not one.
bool parseDuration(const std::string& text, uint64_t* ns);
// The device's scopes, as GetScopes and the discovery messages give them.
std::vector<std::string> deviceScopes(bool withPtz);
// "urn:uuid:" + a name-based UUID of the seed: the same device identity on every start.
std::string deviceUuidFor(const std::string& seed);

struct SoapAnswer {
  int status = 200;
  std::string body;
  bool askLogin = false;  // add the HTTP Digest challenge
};

// The answer to one request body. digest is the HTTP Digest login the request carried
// (result Missing when none).
SoapAnswer answerSoap(const char* body, size_t len, const onvifauth::Check& digest, OnvifContext& c);
