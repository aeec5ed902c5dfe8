#include "endpoint/CFalconVideoCnl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/ConfigAddress.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/AnalogFilter.h"
#include "channels/CnlList.h"
#include "channels/SignalWatch.h"
#include "channels/FalconSettings.h"
#include "channels/IPSettings.h"
#include "platform/Clock.h"

namespace {

constexpr unsigned kPauseSliceMs = 20;

}  // namespace

CFalconVideoCnl::CFalconVideoCnl(CFalconBoardDrv* board, int input)
    : CNetVideoCnl(0, static_cast<uint32_t>(board->number() * 10 + input)),
      m_board(board),
      m_input(input) {
  m_config.enabled = input == 0;
  m_board->attachChannel();
  createRecorder();
}

CFalconVideoCnl::~CFalconVideoCnl() { m_board->detachChannel(); }

// ---------------------------------------------------------------- naming

std::string CFalconVideoCnl::sectionName() { return m_board->sectionOf(m_input); }

std::string CFalconVideoCnl::fieldPrefix() {
  return "0_" + std::to_string(m_board->number()) + "_" + std::to_string(m_input) + "_";
}

std::string CFalconVideoCnl::displayName() {
  return "Analog Falcon " + std::to_string(m_board->number()) + " " + std::to_string(m_input);
}

std::string CFalconVideoCnl::sourceTag() {
  return "falcon_" + std::to_string(m_board->number()) + "_" + std::to_string(m_input);
}

std::string CFalconVideoCnl::imageUrl(const std::string& host, bool live) {
  return "http://" + host + ":" + std::to_string(localAddr().port) +
         (live ? "/control/faststream.jpg?fps=2" : "/record/current.jpg");
}

void CFalconVideoCnl::storeImageSize(const std::string& keyword) {
  m_board->storeBoardSetting("ImageSize", keyword);
}

void CFalconVideoCnl::logWarning(const std::string& message, const char* function) {
  g_logFile.log(CLogFile::Warning, logSource(), message, function);
}

// ---------------------------------------------------------------- settings

bool CFalconVideoCnl::initLocked() {
  if (!CNetVideoCnl::initLocked()) return false;
  const std::string sec = sectionName();
  // An invalid board setting is logged by the board, which keeps its previous settings; the
  // channel still runs with them.
  m_board->init(sec);
  FalconConfig next;
  next.quality = falconsettings::roundQuality(readSettingInt(sec, cnlsettings::kQuality));
  next.enabled = g_settings.readBool(sec, falconsettings::kEnabled.key, enabled());
  OverlayMode overlay = OverlayMode::None;
  overlayModeOf(readSettingText(sec, falconsettings::kOverlay), &overlay);
  next.overlay = int(overlay);
  apply(next);
  if (m_changed || m_board->reconfPending()) m_reconnect = true;
  return true;
}

FalconConfig CFalconVideoCnl::settings() const {
  std::lock_guard<std::mutex> g(m_configValueLock);
  return m_config;
}

void CFalconVideoCnl::apply(const FalconConfig& next) {
  std::lock_guard<std::mutex> g(m_configValueLock);
  if (next.enabled != m_config.enabled || next.quality != m_config.quality || next.overlay != m_config.overlay)
    m_changed = true;
  m_config = next;
}

bool CFalconVideoCnl::reconfLocked() {
  bool ok = m_board->reconf();
  if (ok) {
    const CFalconBoardDrv::Format f = m_board->format();
    const int width = f.width;
    const int height = f.captureMode == FALCON_CAPTURE_FIELD ? f.height / 2 : f.height;
    if (m_encoder.init(quality(), width, height, f.height, "")) {
      m_encWidth = width;
      m_encHeight = height;
      m_captureMode = f.captureMode;
      m_generation = f.generation;
      m_overlay.configure(overlayMode(), name());
    } else {
      logWarning("Unable to initialize the JPEG encoder", "CFalconVideoCnl::reconf");
      ok = false;
    }
  }
  // The changed flag stays raised: every init asks for a reconf, and only reconf tells the
  // listener to look at a new address or port (and refreshes the list entry's recording text).
  return CNetVideoCnl::reconfLocked() && ok;
}

// ---------------------------------------------------------------- channel thread

void CFalconVideoCnl::pause(unsigned count) {
  for (unsigned i = 0; i < count && !stopping(); ++i) {
    const uint64_t end = platform::monotonicNs() + uint64_t(m_pauseMs.load()) * 1000000ull;
    for (uint64_t now = platform::monotonicNs(); now < end && !stopping();
         now = platform::monotonicNs()) {
      const uint64_t left = end - now;
      platform::sleepNs(std::min<uint64_t>(left, kPauseSliceMs * 1000000ull));
    }
  }
}

void CFalconVideoCnl::noteGrabFailed() {
  const uint64_t now = platform::monotonicNs();
  if (m_grabFailSinceNs == 0) m_grabFailSinceNs = now;
  if (now - m_grabFailSinceNs >= PictureWatch::kNoSignalNs) setSignalState(SignalState::NoSignal);
}

std::string CFalconVideoCnl::statusText() {
  const bool rec = g_settings.readBool(sectionName(), "CnlEventRecActive", false);
  return "Q=" + std::to_string(quality()) + " recording=" + (rec ? "on" : "off");
}

bool CFalconVideoCnl::processImage(uint8_t* image, uint64_t timeNs) {
  const int width = m_encWidth.load();
  const int height = m_encHeight.load();
  if (m_captureMode.load() == FALCON_CAPTURE_FIELD)
    analog::dropOddLines(image, width, 2 * height);
  else
    analog::smoothFrame(image, width, height);
  // Judged before anything is drawn on the picture, which would make every one differ.
  const SignalState state = m_watch.note(image, width, height, platform::monotonicNs());
  setSignalState(state);
  if (state != SignalState::Ok && noSignalPictureEnabled()) {
    ChannelCounters::add(counters().received);
    return false;  // the signal watch publishes the no-signal picture instead
  }

  FrameRec& back = backFrame();
  size_t length = 0;
  uint32_t sequence = 0;
  bool ok;
  {
    // reconf() may set the encoder up anew from another thread.
    std::lock_guard<std::mutex> guard(configLock());
    const uint32_t capacity = std::min(back.capacity, m_recordLimit.load());
    const uint64_t started = platform::monotonicNs();
    m_overlay.draw(image, width, height, timeNs);
    ok = m_encoder.encode(image, back.data, capacity, &length, timeNs, &sequence);
    counters().noteEncode(platform::monotonicNs() - started);
  }
  ChannelCounters::add(counters().received);
  if (!ok) {
    ChannelCounters::add(counters().dropped);
    // The encoder refuses a picture that would not fit the record: the frame is dropped and
    // the last good picture stays current.
    ++m_dropped;
    const uint64_t now = platform::monotonicNs();
    if (m_lastDropLogNs == 0 || now - m_lastDropLogNs >= kDropLogIntervalNs) {
      m_lastDropLogNs = now;
      logWarning("Encoded picture larger than the frame record (" +
                     std::to_string(std::min(back.capacity, m_recordLimit.load())) + " bytes): frame dropped (" +
                     std::to_string(m_dropped.load()) + " so far)",
                 "CFalconVideoCnl::run");
    }
    return false;
  }
  back.length = static_cast<uint32_t>(length);
  back.timestamp = timeNs;
  back.sequence = sequence;
  publishBackFrame();
  return true;
}

void CFalconVideoCnl::announceEndpoint() {
  const CNetAddr bound = localAddr();
  if (bound.port == 0 || bound == m_announced) return;
  m_announced = bound;
  std::printf("TelvGate %s: %s/control/faststream.jpg\n", displayName().c_str(),
              configUrl(bound).c_str());
  std::fflush(stdout);
}

int CFalconVideoCnl::run() {
  registerChannel(this);
  m_image.reset(new (std::nothrow) uint8_t[kImageBufferSize]);
  if (!m_image) {
    logWarning("Unable to allocate memory for the frame", "CFalconVideoCnl::run");
    return 0;
  }
  const std::string shownName = name().empty() ? sectionName() : name();
  listEntry().setAll(0, shownName, "", "initializing...");
  if (!startListener()) logWarning("Unable to start the channel server socket", "CFalconVideoCnl::run");
  if (recorder() && !recorder()->start())
    logWarning("Unable to start the channel recording thread", "CFalconVideoCnl::run");

  while (!stopping()) {
    announceEndpoint();
    if (m_reconnect.load()) {
      listEntry().setStateText("initializing...");
      // Cleared before the attempt: a setting changed meanwhile raises it again.
      m_reconnect = false;
      if (!reconf()) {
        m_reconnect = true;
        listEntry().setState(2);
        listEntry().setStateText("failed!");
        pause(kRetryPauses);
        continue;
      }
      listEntry().setState(enabled() ? 1 : 3);
      listEntry().setStateText(statusText());
      m_watch.reset();
      continue;
    }
    if (!enabled()) {
      // Switched off is no fault of the source.
      m_watch.reset();
      m_grabFailSinceNs = 0;
      setSignalState(SignalState::Ok);
      pause(2);
      continue;
    }
    waitFrameWanted(kFrameWaitNs);
    if (stopping()) break;
    uint64_t timeNs = 0;
    uint32_t generation = 0;
    if (!m_board->grab(m_input, m_image.get(), &timeNs, &generation)) {
      if (m_board->stalled()) {
        // The board's reconf fails while it is stalled: "failed!" and a retry every few
        // seconds, until the library has come back.
        m_reconnect = true;
        continue;
      }
      noteGrabFailed();
      listEntry().setState(2);
      pause(kGrabFailPauses);
      listEntry().setState(1);
      continue;
    }
    m_grabFailSinceNs = 0;
    if (generation != m_generation.load()) {
      // Another input of the board changed the board's format: set the encoder up for it.
      m_reconnect = true;
      continue;
    }
    processImage(m_image.get(), timeNs);
  }

  stopListener();
  if (recorder()) {
    recorder()->stop();
    recorder()->join();
  }
  listEntry().remove();
  return 0;
}
