#include "endpoint/CFalconBoardDrv.h"

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/Tables.h"
#include "platform/Clock.h"

namespace {

const char* const kInvalidStd = "Invalid video standard: use 'PAL', 'NTSC' or 'SECAM'.";

bool boardSizeCode(int code) { return code == 1 || code == 4 || code == 5 || code == 8; }

constexpr unsigned kPalPeriodMs = 40, kNtscPeriodMs = 34;  // one frame, rounded up

}  // namespace

constexpr int CFalconBoardDrv::kInputs[4];

CFalconBoardDrv::CFalconBoardDrv(const FalconApi& api, FALCON_BOARD handle, int number)
    : m_api(api), m_handle(handle), m_number(number) {
  m_api.GetBoardInfo(m_handle, m_info);
}

CFalconBoardDrv::~CFalconBoardDrv() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (stalled()) {
    // The library may still write into the capture memory, and may never take another call
    // for this board: both are left to it, and it stays loaded.
    platform::keepFalconLibLoaded(m_api);
    return;
  }
  if (m_mem) m_api.FreeImageMem(m_handle, m_mem, m_memId);
  m_mem = nullptr;
  m_api.ExitBoard(m_handle);
}

std::string CFalconBoardDrv::name() const {
  return "IDS Falcon Quattro drv " + std::to_string(m_handle);
}

std::string CFalconBoardDrv::logSource() const { return "Cnl. '" + name() + "'"; }

std::string CFalconBoardDrv::sectionOf(int input) const {
  return "Channel 0 " + std::to_string(m_number) + " " + std::to_string(input);
}

void CFalconBoardDrv::storeBoardSetting(const std::string& key, const std::string& value) const {
  for (int input : kInputs) g_settings.writeString(sectionOf(input), key, value);
}

void CFalconBoardDrv::harmoniseSettings() const {
  for (const char* key : {"CnlVideoStandard", "ImageSize", "ImageClipScale"}) {
    for (int input : kInputs) {
      if (!g_settings.existingEntry(sectionOf(input), key)) continue;
      storeBoardSetting(key, g_settings.readString(sectionOf(input), key, ""));
      break;
    }
  }
}

bool CFalconBoardDrv::failed(const char* call, const char* function) {
  std::string message = std::string(call) + "() failed. ";
  int code = 0;
  char* text = nullptr;
  if (m_api.GetError(m_handle, &code, &text) == 0 && text) message += text;
  g_logFile.log(CLogFile::Warning, logSource(), message, function);
  return false;
}

bool CFalconBoardDrv::init(const std::string& section) {
  static const char* const kFn = "CFalconBoardDrv::init";
  std::lock_guard<std::mutex> guard(m_lock);
  // A stalled board takes no call; it keeps the modes set before.
  if (!stalledLocked()) {
    if (m_api.SetColorMode(m_handle, FALCON_COLOR_BGRX32) != 0)
      return failed("is_SetColorMode", kFn);
    if (m_api.SetDisplayMode(m_handle, FALCON_DISPLAY_DIB) != 0)
      return failed("is_SetDisplayMode", kFn);
  }

  const int videoStd = videoStdCode(g_settings.readString(section, "CnlVideoStandard", "PAL"));
  if (videoStd < 0) {
    g_logFile.log(CLogFile::Warning, logSource(), kInvalidStd, kFn);
    return false;
  }
  const int size = imageSizeCode(g_settings.readString(section, "ImageSize", "vga"));
  if (!boardSizeCode(size)) {
    g_logFile.log(CLogFile::Warning, logSource(), name() + ": Frame format not supported", kFn);
    return false;
  }
  const bool clip = g_settings.readString(section, "ImageClipScale", "scale") == "clip";
  if (videoStd != m_videoStd || size != m_imageSize || clip != m_clip) m_reconf = true;
  m_videoStd = videoStd;
  m_imageSize = size;
  m_clip = clip;
  return true;
}

bool CFalconBoardDrv::reconf() {
  static const char* const kFn = "CFalconBoardDrv::reconf";
  std::lock_guard<std::mutex> guard(m_lock);
  if (stalledLocked()) return false;  // logged once, when the stall began
  if (!m_reconf) return true;
  // From here on the capture memory and the board's format may be half changed: no grab until
  // a reconfiguration has gone through completely.
  m_ready = false;

  Format f = m_fmt;
  f.videoStd = m_videoStd;
  f.imageSize = m_imageSize;
  f.clip = m_clip;
  switch (f.videoStd) {
    // SECAM has the 625 lines of PAL: treating it as a 480-line frame put every clip off
    // centre (VGA at 0, 0 instead of 64, 48).
    case FALCON_VIDEO_PAL:
    case FALCON_VIDEO_SECAM:
      f.fullWidth = 768, f.fullHeight = 576;
      break;
    case FALCON_VIDEO_NTSC:
      f.fullWidth = 640, f.fullHeight = 480;
      break;
    default:
      g_logFile.log(CLogFile::Warning, logSource(), kInvalidStd, kFn);
      return false;
  }
  if (m_api.SetVideoMode(m_handle, f.videoStd) != 0) return failed("is_SetVideoMode", kFn);

  if (!boardSizeCode(f.imageSize)) {
    g_logFile.log(CLogFile::Warning, logSource(), "Frame format not supported", kFn);
    return false;
  }
  const ImageDims dims = imageSizeDims(f.imageSize);
  f.width = dims.width;
  f.height = dims.height;
  f.captureMode = f.imageSize == 5 ? FALCON_CAPTURE_FIELD : FALCON_CAPTURE_FRAME;

  if (m_api.SetCaptureMode(m_handle, f.captureMode) != 0) return failed("is_SetCaptureMode", kFn);
  if (m_mem) {
    m_api.FreeImageMem(m_handle, m_mem, m_memId);
    m_mem = nullptr;
    m_memId = 0;
  }
  if (m_api.AllocImageMem(m_handle, f.width, f.height, 32, &m_mem, &m_memId) != 0) {
    m_mem = nullptr;
    m_memId = 0;
    return failed("is_AllocImageMem", kFn);
  }
  if (m_api.SetImageMem(m_handle, m_mem, m_memId) != 0) return failed("is_SetImageMem", kFn);

  if (f.clip) {
    // A size larger than the standard's frame (D-1 PAL on an NTSC board) cannot be cut from
    // its centre; the cut then starts at the frame's edge instead of a negative position.
    const int x = f.fullWidth > f.width ? (f.fullWidth - f.width) / 2 : 0;
    const int y = f.fullHeight > f.height ? (f.fullHeight - f.height) / 2 : 0;
    if (m_api.SetImagePos(m_handle, x, y) != 0) return failed("is_SetImagePos", kFn);
    if (m_api.SetImageSize(m_handle, f.width, f.height) != 0) return failed("is_SetImageSize", kFn);
    if (m_api.SetScaler(m_handle, 0.0f, 0.0f) != 0) return failed("is_SetScaler", kFn);
  } else {
    if (m_api.SetImagePos(m_handle, 0, 0) != 0) return failed("is_SetImagePos", kFn);
    if (m_api.SetImageSize(m_handle, f.width, f.height) != 0) return failed("is_SetImageSize", kFn);
    if (m_api.SetScaler(m_handle, 1.0f, 1.0f) != 0) return failed("is_SetScaler", kFn);
  }
  ++f.generation;
  m_fmt = f;
  m_reconf = false;
  m_ready = true;
  return true;
}

bool CFalconBoardDrv::selectInputLocked(int input) {
  if (input == m_input) return true;
  if (m_api.SetVideoInput(m_handle, input) != 0) return false;
  m_input = input;
  // The new input's picture needs a moment and two whole images to settle.
  platform::sleepMs(kSettleMs);
  captureLocked();
  captureLocked();
  return !stalled();
}

int CFalconBoardDrv::captureWaitLocked() const {
  const unsigned periodMs = m_fmt.videoStd == FALCON_VIDEO_NTSC ? kNtscPeriodMs : kPalPeriodMs;
  return static_cast<int>((kCaptureFrames * periodMs + 9) / 10);
}

bool CFalconBoardDrv::captureLocked() {
  const int wait = captureWaitLocked();
  int result = 0;
  if (m_caller.call(m_api.FreezeVideo, m_handle, wait, unsigned(wait) * 10 + kStallMarginMs,
                    &result))
    return result == 0;
  if (!m_stallLogged) {
    m_stallLogged = true;
    g_logFile.log(CLogFile::Error, logSource(),
                  "is_FreezeVideo() did not return within " + std::to_string(wait * 10) +
                      " ms: no input of the board is grabbed until it does",
                  "CFalconBoardDrv::grab");
  }
  return false;
}

bool CFalconBoardDrv::stalledLocked() {
  if (stalled()) return true;
  if (m_stallLogged) {
    m_stallLogged = false;
    // The input the board is on after the stuck capture is not known: switch and settle anew.
    m_input = -1;
    g_logFile.log(CLogFile::Warning, logSource(), "is_FreezeVideo() has returned: grabbing again",
                  "CFalconBoardDrv::grab");
  }
  return false;
}

bool CFalconBoardDrv::grab(int input, uint8_t* dest, uint64_t* timeNs, uint32_t* generation) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (stalledLocked()) return false;
  // Without a completed reconfiguration the capture memory may not match the format.
  if (!m_ready || !m_mem || !dest) return false;
  if (!selectInputLocked(input)) return false;
  if (!captureLocked()) return false;
  *timeNs = platform::nowNs();
  if (m_api.CopyImageMem(m_handle, m_mem, m_memId, reinterpret_cast<char*>(dest)) != 0)
    return false;
  *generation = m_fmt.generation;
  return true;
}

CFalconBoardDrv::Format CFalconBoardDrv::format() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_fmt;
}

bool CFalconBoardDrv::reconfPending() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_reconf;
}
