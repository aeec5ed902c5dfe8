// The serving side of CIPVideoCnl: the "CnlServe" setting (endpoint/EndpointSettings.h), the
// endpoint's listener started and stopped by the channel's thread, and the endpoint answers
// that differ from an analog channel's (the family's own image sizes, pan/tilt only with a
// head). The endpoint itself is CNetVideoCnl's, unchanged: its viewers attach to this channel
// and share the pictures of its one camera connection.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/CSettings.h"
#include "base/ConfigAddress.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/CNetVideoClient.h"
#include "endpoint/CIPVideoCnl.h"
#include "endpoint/CLstSockThread.h"
#include "endpoint/EndpointSettings.h"
#include "pantilt/RotorHead.h"
#include "pantilt/CRotor.h"
#include "pantilt/CRotorClient.h"

namespace {


const char kQualityList[] =
    " # 10, 20, 30, 40, 50, 60, 70, 80, 90\n#-P size \"Resolution\": ";
const char kQualityChoices[] =
    "\n#-P quality \"Quality\": \"10%\", \"20%\", \"30%\", \"40%\", \"50%\", \"60%\", \"70%\", "
    "\"80%\", \"90%\"\n";

// A size option's text as "/control/control" names it: "VGA (640x480) " becomes
// "VGA.(640x480)", "D1 NTSC (720x480)" becomes "D1-NTSC.(720x480)", like the analog labels.
std::string sizeLabel(const IPSizeOption& o) {
  std::string text = o.text;
  const size_t paren = text.find('(');
  std::string name = text.substr(0, paren);
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
  std::replace(name.begin(), name.end(), ' ', '-');
  if (paren == std::string::npos) return name;
  std::string dims = text.substr(paren);
  while (!dims.empty() && dims.back() == ' ') dims.pop_back();
  return name + "." + dims;
}

const char* param(const std::map<std::string, std::string>& query, const char* name) {
  auto it = query.find(name);
  return it == query.end() ? nullptr : it->second.c_str();
}

}  // namespace

// ---------------------------------------------------------------- settings

bool CIPVideoCnl::serveInit() {
  const bool want = readSettingBool(sectionName(), endpointsettings::kServe);
  if (want) {
    // Logged by the listener ("Invalid IP address"); the channel does not start, as an analog
    // one with that address does not.
    if (!listener().init()) {
      m_serveWanted = false;
      return false;
    }
    listener().requestRefresh();  // a new address or port is bound at once
  }
  m_serveWanted = want;
  return true;
}

bool CIPVideoCnl::reconfLocked() { return CVideoCnl::reconf(); }

CNetAddr CIPVideoCnl::endpointAddr() {
  std::lock_guard<std::mutex> guard(configLock());
  return listener().localAddr();
}

// ---------------------------------------------------------------- endpoint answers

std::string CIPVideoCnl::controlAnswer(const std::map<std::string, std::string>& query) {
  const char* part = param(query, "section");
  if (!part || std::string(part) != "telvpegparam") return CNetVideoCnl::controlAnswer(query);
  const std::string sec = sectionName();
  if (query.count("list")) {
    const std::string stored = g_settings.readString(sec, "ImageSize", m_traits.defaultSize);
    std::string current = "Unknown", labels, quoted;
    for (const IPSizeOption& o : m_traits.sizeOptions) {
      const std::string l = sizeLabel(o);
      if (stored == o.value) current = l;
      labels += (labels.empty() ? "" : ", ") + l;
      quoted += (quoted.empty() ? "\"" : ", \"") + l + "\"";
    }
    return "size=" + current + " # " + labels + "\nquality=" +
           g_settings.readString(sec, "ImageQuality", "70") + kQualityList + quoted + kQualityChoices;
  }
  if (!query.count("set")) return "";
  // A size by its label (or its stored keyword), if this family takes it.
  std::string body = "size=";
  const char* wanted = param(query, "size");
  const IPSizeOption* chosen = nullptr;
  for (const IPSizeOption& o : m_traits.sizeOptions)
    if (wanted && (sizeLabel(o) == wanted || std::string(o.value) == wanted)) chosen = &o;
  const auto& ok = m_traits.acceptedSizes;
  if (chosen && std::find(ok.begin(), ok.end(), imageSizeCode(chosen->value)) != ok.end()) {
    g_settings.writeString(sec, "ImageSize", chosen->value);
    body += std::string(chosen->value) + "\r\n";
  } else {
    body += "Unknown\r\n";
  }
  if (const char* q = param(query, "quality")) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(q, &end, 10);
    if (end != q && errno != ERANGE) {
      const int quality = int(std::min(std::max(v, 10L), 90L));
      g_settings.writeInt(sec, "ImageQuality", quality);
      body += "quality=" + std::to_string(quality) + "\r\n";
    }
  }
  return body;
}

bool CIPVideoCnl::answersRotor() {
  return createRotor(readRotorHead(sectionName()).type) != nullptr;
}

// ---------------------------------------------------------------- the channel thread's part

void CIPVideoCnl::serveStep() {
  const bool want = m_serveWanted.load() && !stopping();
  if (want && !m_serving) startServing();
  if (!want && m_serving) stopServing();
  if (!m_serving) return;
  const CNetAddr bound = listener().localAddr();
  if (bound.port == 0 || bound == m_announced) return;
  m_announced = bound;
  std::printf("TelvGate %s: %s/control/faststream.jpg\n", displayName().c_str(), configUrl(bound).c_str());
  std::fflush(stdout);
}

void CIPVideoCnl::startServing() {
  // A listener that ran once has its stop flag raised for good: a fresh one takes its place.
  if (m_listenerRan) renewListener();
  m_listenerRan = true;
  if (!startListener()) {
    logWarning("Unable to start the channel server socket", "CIPVideoCnl::run");
    m_serveWanted = false;  // until the next init
    return;
  }
  m_serving = true;
}

void CIPVideoCnl::stopServing() {
  stopListener();
  m_serving = false;
  m_announced = CNetAddr();
  // The viewers it took go too: a port turned off serves nobody.
  stopClientsIf([](CMXClient& c) {
    return dynamic_cast<CNetVideoClient*>(&c) != nullptr || dynamic_cast<CRotorClient*>(&c) != nullptr;
  });
  listEntry().setAddress(hostText());
}
