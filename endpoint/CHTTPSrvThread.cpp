#include "endpoint/CHTTPSrvThread.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "base/CSettings.h"
#include "channels/CNetVideoClient.h"
#include "endpoint/CLstSockThread.h"
#include "endpoint/CNetVideoCnl.h"
#include "endpoint/EndpointPages.h"
#include "endpoint/EndpointLogin.h"
#include "pantilt/CRotorClient.h"
#include "platform/Clock.h"
#include "platform/Net.h"

const char CHTTPSrvThread::kNotFoundText[] = "The requested URL was not found on this server.";
const char CHTTPSrvThread::kStreamType[] =
    "multipart/x-mixed-replace; boundary=\"--TELVORA_Fast_Serverpush\"";

namespace {

const char* param(const std::map<std::string, std::string>& query, const char* name) {
  auto it = query.find(name);
  return it == query.end() ? nullptr : it->second.c_str();
}

bool parseInt(const char* text, int* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// The answer label of a stored "ImageSize" keyword.
const char* sizeLabel(const std::string& keyword) {
  if (keyword == "d-1pal") return "D-1PAL.(768x576)";
  if (keyword == "vga") return "VGA.(640x480)";
  if (keyword == "vga2") return "VGA2.(640x240)";
  if (keyword == "qvga") return "CIF.(320x240)";
  return "Unknown";
}

// The keyword a set request's size label stores, or nullptr.
const char* sizeKeyword(const char* label) {
  if (!label) return nullptr;
  const std::string l = label;
  if (l == "D-1PAL.(768x576)") return "d-1pal";
  if (l == "VGA.(640x480)") return "vga";
  if (l == "VGA2.(640x240)") return "vga2";
  if (l == "QVGA.(320x240)") return "qvga";
  return nullptr;
}

const char kSizeList[] =
    " # D-1PAL.(768x576), VGA.(640x480), VGA2.(640x240), QVGA.(320x240)\nquality=";
const char kQualityList[] =
    " # 10, 20, 30, 40, 50, 60, 70, 80, 90\n"
    "#-P size \"Resolution\": \"D-1PAL.(768x576)\", \"VGA.(640x480)\", \"VGA2.(640x240)\", "
    "\"CIF.(320x240)\"\n"
    "#-P quality \"Quality\": \"10%\", \"20%\", \"30%\", \"40%\", \"50%\", \"60%\", \"70%\", "
    "\"80%\", \"90%\"\n";

}  // namespace

CHTTPSrvThread::CHTTPSrvThread(CNetVideoCnl* cnl, int handle, const std::string& head,
                               int deadlineMs)
    : m_cnl(cnl), m_conn(handle, true) {
  m_conn.setSendTimeout(kSendTimeoutMs);
  m_conn.unread(head.data(), head.size());
  m_conn.setDeadline(platform::monotonicNs() + uint64_t(deadlineMs > 0 ? deadlineMs : 1) * 1000000ull);
}

CHTTPSrvThread::~CHTTPSrvThread() { closeConnection(); }

void CHTTPSrvThread::abort() { m_conn.shutdown(); }

void CHTTPSrvThread::closeConnection() { m_conn.close(); }

int CHTTPSrvThread::run() {
  if (m_conn.read_request()) dispatch();
  closeConnection();
  return 0;
}

void CHTTPSrvThread::dispatch() {
  const std::string& path = m_conn.path;
  const std::string section = m_cnl->sectionName();
  // With "CnlAuth" on, nothing is changed, steered or shown before the login is checked.
  if (endpointlogin::needed(g_settings.readString(section, endpointlogin::kKey, "off"), path, m_conn.query) &&
      !endpointlogin::accepted(m_conn, section, m_cnl->logSource()))
    return endpointlogin::sendUnauthorized(m_conn);
  if (path == "/record/current.jpg") {
    answerPicture();
  } else if (path == "/cgi-bin/faststream.jpg") {
    answerProbe();
  } else if (path == "/control/faststream.jpg") {
    handStream();
  } else if (path == "/control/control") {
    answerControl();
  } else if (path == "/control/rotorcgi" && m_cnl->answersRotor()) {
    handRotor();
  } else {
    answerNotFound();
  }
}

bool CHTTPSrvThread::fetchPicture(std::shared_ptr<const SharedPicture>& pic) {
  // Time stamp 0 stands for a fresh, empty record: any current picture is newer, and the wait
  // happens only while the channel has published nothing yet.
  return m_cnl->getNewPicture(pic, 0);
}

void CHTTPSrvThread::sendBytes(const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const int n = m_conn.send(p, len);
    if (n <= 0) return;  // peer gone, or no progress within the send time-out
    p += n;
    len -= static_cast<size_t>(n);
  }
}

void CHTTPSrvThread::sendText(const std::string& text) { sendBytes(text.data(), text.size()); }

void CHTTPSrvThread::answerPicture() {
  m_conn.status = 200;
  m_conn.reason = "OK";
  m_conn.set_header("Connection:", "close");
  m_conn.set_header("Content-type:", "image/jpg");
  m_conn.set_header("Cache-Control:", "private,no-cache");
  if (m_conn.send_response_head() < 1) return;
  std::shared_ptr<const SharedPicture> pic;
  if (fetchPicture(pic)) {
    sendBytes(pic->data.get(), pic->length);
    ChannelCounters::add(m_cnl->counters().viewerBytes, pic->length);
  } else {
    sendText(noPictureImage());
  }
}

void CHTTPSrvThread::answerProbe() {
  if (m_conn.query.find("help") == m_conn.query.end()) return;  // closed without a byte
  std::shared_ptr<const SharedPicture> pic;
  if (fetchPicture(pic)) {
    m_conn.status = 200;
    m_conn.reason = "OK";
    m_conn.send_response_head();
  } else {
    m_conn.status = 404;
    m_conn.reason = "Not Found";
    if (m_conn.send_response_head() > 0) sendText(notActivePage());
  }
}

bool CHTTPSrvThread::consumerWelcome() {
  // A stopping channel takes no new consumers: they attach from their own thread, and one
  // starting now could attach after the channel let go of its consumers.
  return !m_cnl->stopping() && m_cnl->clientCount() < m_cnl->listener().maxClients();
}

int CHTTPSrvThread::handOver() {
  if (!consumerWelcome()) {  // asked again: others may have attached since the head was sent
    m_conn.close();
    return -1;
  }
  return m_conn.release();
}

void CHTTPSrvThread::handStream() {
  auto fps = m_conn.query.find("fps");
  const uint32_t periodMs =
      CNetVideoClient::periodMsFromFps(fps == m_conn.query.end() ? nullptr : &fps->second);
  if (!consumerWelcome()) return;  // closed without an answer
  m_conn.status = 200;
  m_conn.reason = "OK";
  m_conn.set_header("Content-type:", kStreamType);
  if (m_conn.send_response_head() < 1) return;
  const int handle = handOver();
  if (handle < 0) return;
  auto* client = new CNetVideoClient(m_cnl, handle, periodMs);
  if (!client->start(CLstSockThread::kThreadStackBytes)) delete client;  // closes the connection
}

void CHTTPSrvThread::answerControl() {
  std::string body;
  {
    // Settings and the channel's init as one step, so a configuration submission running at
    // the same time never sees half of a change.
    std::lock_guard<std::mutex> guard(m_cnl->configLock());
    body = m_cnl->controlAnswer(m_conn.query);
    if (m_conn.query.count("list") == 0 && m_conn.query.count("set") != 0) m_cnl->initHeld();
  }
  m_conn.status = 200;
  m_conn.reason = "OK";
  if (m_conn.send_response_head() > 0) sendText(body);
}

std::string CHTTPSrvThread::controlAnswer(CNetVideoCnl& cnl,
                                          const std::map<std::string, std::string>& query) {
  const std::string section = cnl.sectionName();
  const char* which = param(query, "section");
  const std::string part = which ? which : "";
  std::string body;
  if (query.count("list")) {
    if (part == "recording") {
      body = "recording_activ=";
      body += g_settings.readBool(section, "CnlEventRecActive", false) ? "enable\r\n"
                                                                       : "disable\r\n";
    } else if (part == "telvpegparam") {
      body = std::string("size=") +
             sizeLabel(g_settings.readString(cnl.imageSizeSection(), "ImageSize", "vga")) +
             kSizeList + g_settings.readString(section, "ImageQuality", "70") + kQualityList;
    }
    return body;
  }
  if (!query.count("set")) return body;
  if (part == "recording") {
    const char* activ = param(query, "recording_activ");
    const bool on = activ && std::string(activ) == "enable";
    g_settings.writeBool(section, "CnlEventRecActive", on);
    body = std::string("recording_activ=") + (on ? "enable\r\n" : "disable\r\n");
  } else if (part == "telvpegparam") {
    body = "size=";
    if (const char* keyword = sizeKeyword(param(query, "size"))) {
      cnl.storeImageSize(keyword);
      body += std::string(keyword) + "\r\n";
    } else {
      body += "Unknown\r\n";
    }
  }
  int quality;
  if (const char* q = param(query, "quality"); q && parseInt(q, &quality)) {
    quality = quality < 10 ? 10 : (quality > 90 ? 90 : quality);
    g_settings.writeInt(section, "ImageQuality", quality);
    body += "quality=" + std::to_string(quality) + "\r\n";
  }
  return body;
}

void CHTTPSrvThread::handRotor() {
  m_conn.status = 200;
  m_conn.reason = "OK";
  if (m_conn.send_response_head() < 1) return;
  const int handle = handOver();
  if (handle < 0) return;
  // Without a head, or with its port held by another viewer, the client is destroyed at once,
  // which closes the connection right after the head.
  auto* client = new CRotorClient(m_cnl, handle);
  if (!client->configure() || !client->start(CLstSockThread::kThreadStackBytes)) delete client;
}

void CHTTPSrvThread::answerNotFound() {
  m_conn.status = 404;
  m_conn.reason = "Not Found";
  m_conn.set_header("Content-type:", "text/plain");
  if (m_conn.send_response_head() > 0) sendText(kNotFoundText);
}
