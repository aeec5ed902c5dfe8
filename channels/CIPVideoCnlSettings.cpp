// The settings side of CIPVideoCnl: init() reads the connection settings every camera shares
// and the family settings described by IPVendorTraits (channels/IPSettings.h).
#include <algorithm>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/Tables.h"
#include "channels/CIPVideoCnl.h"
#include "channels/IPSettings.h"

namespace {

// Control characters (line breaks above all) replaced by blanks.
std::string withoutLineBreaks(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return s;
}

}  // namespace

// ---------------------------------------------------------------- init

bool CIPVideoCnl::initLocked() {
  // CVideoCnl's, not CNetVideoCnl's: the endpoint settings count only when serving.
  if (!CVideoCnl::init()) return false;
  const std::string sec = sectionName();
  bool changed = false;

  std::string addr = g_settings.readString(sec, "CamIPAddr", "");
  uint16_t port = static_cast<uint16_t>(g_settings.readInt(sec, "CamIPPort", 80) & 0xFFFF);
  std::string user = g_settings.readString(sec, "userName", "");
  std::string pwd = g_settings.readString(sec, "userPwd", "");
  // Clamped as the form clamps it: a hand-edited 150 must not become a negative compression.
  int quality = std::min(std::max(g_settings.readInt(sec, "ImageQuality", 70), 10), 90);
  {
    std::lock_guard<std::mutex> g(m_setLock);
    if (addr != m_camAddr) { m_camAddr = addr; changed = true; }
    if (user != m_userName) { m_userName = user; changed = true; }
    if (pwd != m_userPwd) { m_userPwd = pwd; changed = true; }
  }
  if (port != m_camPort.load()) { m_camPort = port; changed = true; }
  if (quality != m_quality.load()) { m_quality = quality; changed = true; }

  int64_t period = recordingEnabled() ? recordingPeriodNs() : kDefaultPeriodNs;
  period = std::min(std::max(period, kMinPeriodNs), kMaxPeriodNs);
  if (period != m_Tns.load()) { m_Tns = period; changed = true; }

  // The comment block is lines of text: a line break from a setting would forge lines of its own.
  std::vector<uint8_t> comment = pictureblocks::ipCommentSegment(withoutLineBreaks(name()), withoutLineBreaks(addr));
  {
    std::lock_guard<std::mutex> g(m_setLock);
    m_comment.swap(comment);
    m_commentVersion.fetch_add(1, std::memory_order_release);
  }
  if (changed) m_reconnect = true;
  return vendorInit() && serveInit();
}

bool CIPVideoCnl::vendorInit() {
  const std::string sec = sectionName();
  bool changed = false;
  if (m_traits.camIdMax >= 0) {
    int id = std::min(std::max(g_settings.readInt(sec, "CamID", m_traits.camIdDefault), m_traits.camIdMin),
                      m_traits.camIdMax);
    if (id != m_camID.load()) { m_camID = id; changed = true; }
  }
  if (m_traits.hasVideoStd) {
    std::string std = g_settings.readString(sec, "CnlVideoStandard", "PAL");
    int code = std == "PAL" ? 0 : std == "NTSC" ? 1 : -1;
    if (code < 0) {
      logWarning("Invalid video standard: use 'PAL' or 'NTSC'.", fn("init").c_str());
      return false;
    }
    if (code != m_videoStd.load()) { m_videoStd = code; changed = true; }
  }
  int size = imageSizeCode(g_settings.readString(sec, "ImageSize", m_traits.defaultSize));
  if (std::find(m_traits.acceptedSizes.begin(), m_traits.acceptedSizes.end(), size) ==
      m_traits.acceptedSizes.end()) {
    logWarning("Frame format not supported", fn("init").c_str());
    return false;
  }
  if (size != m_imageSize.load()) { m_imageSize = size; changed = true; }
  if (changed) m_reconnect = true;
  return true;
}
