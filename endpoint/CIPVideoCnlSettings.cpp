// The settings side of CIPVideoCnl: the value in force and apply(); init() reads the connection
// settings every camera shares and the family settings described by IPVendorTraits
// (channels/IPSettings.h).
#include <algorithm>
#include <cassert>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/IPSettings.h"
#include "endpoint/CIPVideoCnl.h"

namespace {

// Control characters (line breaks above all) replaced by blanks.
std::string withoutLineBreaks(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return s;
}

}  // namespace

// ---------------------------------------------------------------- the value in force

std::shared_ptr<const IPConfig> CIPVideoCnl::settings() const {
  std::lock_guard<std::mutex> g(m_setLock);
  return m_config;
}

void CIPVideoCnl::apply(std::shared_ptr<const IPConfig> next) {
  assert(next && "the settings are never null");
  std::shared_ptr<const IPConfig> old;
  {
    std::lock_guard<std::mutex> g(m_setLock);
    old = m_config;
    m_config = next;
  }
  const IPConfig& a = *old;
  const IPConfig& b = *next;
  if (a.camAddr != b.camAddr || a.camPort != b.camPort || a.userName != b.userName ||
      a.userPwd != b.userPwd || a.quality != b.quality || a.periodNs != b.periodNs ||
      a.camID != b.camID || a.videoStd != b.videoStd || a.imageSize != b.imageSize)
    m_reconnect = true;
}

std::string CIPVideoCnl::hostText() const {
  const auto c = settings();
  return c->camAddr + ":" + std::to_string(c->camPort);
}

std::string CIPVideoCnl::authText() const {
  const auto c = settings();
  return base64_encode(c->userName + ":" + c->userPwd);
}

CNetAddr CIPVideoCnl::localAddr() {
  const auto c = settings();
  return CNetAddr(c->camAddr, c->camPort);
}
CNetAddr CIPVideoCnl::peerAddr() { return localAddr(); }

// ---------------------------------------------------------------- init

bool CIPVideoCnl::initLocked() {
  using namespace ipsettings;
  // CVideoCnl's, not CNetVideoCnl's: the endpoint settings count only when serving.
  if (!CVideoCnl::init()) return false;
  const std::string sec = sectionName();
  auto next = std::make_shared<IPConfig>(*settings());
  IPConfig& c = *next;
  c.camAddr = readSettingText(sec, kCamAddr);
  c.camPort = static_cast<uint16_t>(readSettingInt(sec, kCamPort) & 0xFFFF);
  c.userName = readSettingText(sec, kUserName);
  c.userPwd = readSettingText(sec, kUserPwd);
  // Clamped as the form clamps it: a hand-edited 150 must not become a negative compression.
  c.quality = int(std::min<long>(std::max<long>(readSettingInt(sec, cnlsettings::kQuality),
                                                cnlsettings::kQuality.min),
                                 cnlsettings::kQuality.max));
  int64_t period = recordingEnabled() ? recordingPeriodNs() : kDefaultPeriodNs;
  c.periodNs = cameraPeriodNs(std::min(std::max(period, kMinPeriodNs), kMaxPeriodNs));
  // The comment block is lines of text: a line break from a setting would forge lines of its own.
  c.comment = pictureblocks::ipCommentSegment(withoutLineBreaks(name()), withoutLineBreaks(c.camAddr));
  const bool familyOk = vendorLoad(sec, c);
  apply(std::move(next));
  return familyOk && serveInit();
}

bool CIPVideoCnl::vendorLoad(const std::string& sec, IPConfig& c) {
  using namespace ipsettings;
  if (m_traits.camIdMax >= 0)
    c.camID = std::min(std::max(g_settings.readInt(sec, kCamId.key, m_traits.camIdDefault), m_traits.camIdMin),
                       m_traits.camIdMax);
  if (m_traits.hasVideoStd) {
    const SettingChoice* std = kVideoStd.choiceByValue(readSettingText(sec, kVideoStd));
    if (!std) {
      logWarning("Invalid video standard: use 'PAL' or 'NTSC'.", fn("init").c_str());
      return false;
    }
    c.videoStd = int(std->code);
  }
  const int size = imageSizeCode(g_settings.readString(sec, kImageSize.key, m_traits.defaultSize));
  if (std::find(m_traits.acceptedSizes.begin(), m_traits.acceptedSizes.end(), size) ==
      m_traits.acceptedSizes.end()) {
    logWarning("Frame format not supported", fn("init").c_str());
    return false;
  }
  c.imageSize = size;
  return true;
}
