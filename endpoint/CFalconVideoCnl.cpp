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
#include "platform/Clock.h"

namespace {

constexpr unsigned kPauseSliceMs = 20;

struct BoardSize {
  const char* keyword;
  const char* formText;
  const char* statusText;
};
const BoardSize kBoardSizes[] = {
    {"d-1pal", "D-1PAL (768x576) ", "D-1PAL (768x576)"},
    {"vga", "VGA (640x480) ", "VGA (640x480)"},
    {"vga2", "VGA2 (640x480)", "VGA2 (640x480)"},
    {"qvga", "CIF (320x240) ", "CIF (320x240)"},
};

const BoardSize* boardSize(const std::string& keyword) {
  for (const BoardSize& s : kBoardSizes)
    if (keyword == s.keyword) return &s;
  return nullptr;
}

// Quality as the encoder uses it: a multiple of 10 in 10..90.
int roundQuality(long q) { return static_cast<int>(std::min(std::max(q / 10 * 10, 10L), 90L)); }

bool readIntText(const std::string& s, long* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || end == s.c_str() || *end != '\0') return false;
  *out = v;
  return true;
}

const std::string* field(const FormFields& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : &it->second;
}

// A missing stored value always counts as a change.
bool storedTextDiffers(const std::string& section, const std::string& key,
                       const std::string& value) {
  return !g_settings.existingEntry(section, key) ||
         g_settings.readString(section, key, "") != value;
}

std::string row(const char* bg, const std::string& label, const std::string& content) {
  return "<TR style=\"background-color:" + std::string(bg) + "\"><TD width=200>" + label +
         "</TD><TD width=500>" + content + "</TD></TR>\n";
}

std::string radio(const std::string& name, const std::string& value, const std::string& text,
                  bool checked) {
  return "<INPUT type=radio name=\"" + name + "\" value=\"" + value + "\"" +
         (checked ? " checked" : "") + ">" + text + " ";
}

std::string statusRow(const std::string& label, const std::string& value) {
  return "<TR><TD><STRONG>" + label + "</STRONG></TD><TD>" + value + "</TD></TR>";
}

}  // namespace

CFalconVideoCnl::CFalconVideoCnl(CFalconBoardDrv* board, int input)
    : CNetVideoCnl(0, static_cast<uint32_t>(board->number() * 10 + input)),
      m_board(board),
      m_input(input),
      m_enabled(input == 0) {
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

bool CFalconVideoCnl::init() {
  std::lock_guard<std::recursive_mutex> guard(configLock());
  if (!CNetVideoCnl::init()) return false;
  const std::string sec = sectionName();
  // An invalid board setting is logged by the board, which keeps its previous settings; the
  // channel still runs with them.
  m_board->init(sec);
  const int quality = roundQuality(g_settings.readInt(sec, "ImageQuality", 70));
  const bool enabled = g_settings.readBool(sec, "CnlEnabled", m_enabled.load());
  OverlayMode overlay = OverlayMode::None;
  overlayModeOf(g_settings.readString(sec, "CnlOverlay", "none"), &overlay);
  if (int(overlay) != m_overlayMode.load()) {
    m_overlayMode = int(overlay);
    m_changed = true;
  }
  if (quality != m_quality.load()) {
    m_quality = quality;
    m_changed = true;
  }
  if (enabled != m_enabled.load()) {
    m_enabled = enabled;
    m_changed = true;
  }
  if (m_changed || m_board->reconfPending()) m_reconnect = true;
  return true;
}

bool CFalconVideoCnl::update(const FormFields& fields, std::string& html) {
  std::lock_guard<std::recursive_mutex> guard(configLock());
  if (!CNetVideoCnl::update(fields, html)) return false;
  const std::string p = fieldPrefix();
  const std::string sec = sectionName();

  if (const std::string* q = field(fields, p + "ImageQuality")) {
    long v;
    if (readIntText(*q, &v)) {
      // Stored as submitted within 10..90 (init rounds it down for the encoder) when it differs
      // from the quality in use; a value already stored as it is gives no message again.
      const int quality = static_cast<int>(std::min(std::max(v, 10L), 90L));
      if (!g_settings.existingEntry(sec, "ImageQuality") ||
          (quality != m_quality.load() && g_settings.readInt(sec, "ImageQuality", 70) != quality)) {
        g_settings.writeInt(sec, "ImageQuality", quality);
        html += "<P class=upd>Updated the <EM>Image quality</EM> value to <STRONG>" +
                std::to_string(quality) + "</STRONG></P>";
      }
    }
  }
  if (const std::string* e = field(fields, p + "CnlEnabled")) {
    if (*e == "Y" || *e == "N") {
      const bool on = *e == "Y";
      if (!g_settings.existingEntry(sec, "CnlEnabled") ||
          g_settings.readBool(sec, "CnlEnabled", !on) != on) {
        g_settings.writeBool(sec, "CnlEnabled", on);
        html += std::string("<P class=upd>Updated the <EM>Activate this channel</EM> value to : "
                            "<STRONG> ") +
                (on ? "YES" : "NO") + "</STRONG></P>";
      }
    }
  }
  if (const std::string* o = field(fields, p + "CnlOverlay")) {
    OverlayMode mode;
    if (overlayModeOf(*o, &mode) && storedTextDiffers(sec, "CnlOverlay", *o)) {
      g_settings.writeString(sec, "CnlOverlay", *o);
      html += "<P class=upd>Updated the <EM>Picture overlay</EM> value to <STRONG>" + *o +
              "</STRONG></P>";
    }
  }
  if (const std::string* vs = field(fields, p + "CnlVideoStandard")) {
    if (videoStdCode(*vs) < 0) {
      html += "<P class=warn>Invalid video standard: use 'PAL', 'NTSC' or 'SECAM'.</P>";
      return false;
    }
    if (storedTextDiffers(sec, "CnlVideoStandard", *vs)) {
      m_board->storeBoardSetting("CnlVideoStandard", *vs);
      html += "<P class=upd>Updated the <EM>Video standard</EM> value to <STRONG>" + *vs +
              "</STRONG></P>";
    }
  }
  if (const std::string* sz = field(fields, p + "ImageSize")) {
    if (boardSize(*sz) && storedTextDiffers(sec, "ImageSize", *sz)) {
      m_board->storeBoardSetting("ImageSize", *sz);
      html += "<P class=upd>Updated the <EM>Image size</EM> value to <STRONG>" +
              std::string(*sz == "qvga" ? "cif" : *sz) + "</STRONG></P>";
    }
  }
  if (const std::string* cs = field(fields, p + "ImageClipScale")) {
    if ((*cs == "clip" || *cs == "scale") && storedTextDiffers(sec, "ImageClipScale", *cs)) {
      m_board->storeBoardSetting("ImageClipScale", *cs);
      html += "<P class=upd>Updated the <EM>Clip/Scale</EM> value to <STRONG>" + *cs +
              "</STRONG></P>";
    }
  }
  return true;
}

bool CFalconVideoCnl::reconf() {
  std::lock_guard<std::recursive_mutex> guard(configLock());
  return reconfLocked();
}

bool CFalconVideoCnl::reconfLocked() {
  bool ok = m_board->reconf();
  if (ok) {
    const CFalconBoardDrv::Format f = m_board->format();
    const int width = f.width;
    const int height = f.captureMode == FALCON_CAPTURE_FIELD ? f.height / 2 : f.height;
    if (m_encoder.init(m_quality.load(), width, height, f.height, "")) {
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
  return CNetVideoCnl::reconf() && ok;
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
  return "Q=" + std::to_string(m_quality.load()) + " recording=" + (rec ? "on" : "off");
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
    std::lock_guard<std::recursive_mutex> guard(configLock());
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
      listEntry().setState(m_enabled.load() ? 1 : 3);
      listEntry().setStateText(statusText());
      m_watch.reset();
      continue;
    }
    if (!m_enabled.load()) {
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

// ---------------------------------------------------------------- form and status

void CFalconVideoCnl::form(std::string& html) {
  const std::string p = fieldPrefix();
  const std::string sec = sectionName();
  html += "<TABLE cellspacing=0 cellpadding=4>\n";
  html += row("#dcdcdc", "Channel type", "<B>IDS analog (FalconQuattro)</B>");
  const bool on = g_settings.readBool(sec, "CnlEnabled", m_enabled.load());
  html += row("#ececec", "Activate this channel",
              radio(p + "CnlEnabled", "Y", "YES", on) + radio(p + "CnlEnabled", "N", "NO", !on));
  const int selected = std::max(roundQuality(g_settings.readInt(sec, "ImageQuality", 70)), 20);
  std::string select = "<SELECT name=\"" + p + "ImageQuality\" id=\"" + p +
                       "ImageQuality\" style=\"width:50px\">";
  for (int q = 20; q <= 90; q += 10)
    select += std::string("<OPTION") + (q == selected ? " selected" : "") + ">" +
              std::to_string(q) + "</OPTION>";
  html += row("#dcdcdc", "<LABEL for=\"" + p + "ImageQuality\">Image quality</LABEL>",
              select + "</SELECT> %");
  std::string stored = g_settings.readString(sec, "CnlOverlay", "none");
  std::string overlays = "<SELECT name=\"" + p + "CnlOverlay\" id=\"" + p + "CnlOverlay\">";
  for (const auto& o : {std::make_pair("none", "None"), std::make_pair("time", "Date and time"),
                        std::make_pair("nametime", "Name, date and time")})
    overlays += std::string("<OPTION value=\"") + o.first + "\"" + (stored == o.first ? " selected" : "") +
                ">" + o.second + "</OPTION>";
  html += row("#ececec", "<LABEL for=\"" + p + "CnlOverlay\">Picture overlay</LABEL>",
              overlays + "</SELECT>");

  const std::string std = g_settings.readString(sec, "CnlVideoStandard", "PAL");
  std::string radios;
  for (const char* word : {"PAL", "NTSC", "SECAM"}) radios += radio(p + "CnlVideoStandard", word, word, std == word);
  html += row("#ececec", "Video standard", radios);
  const std::string size = g_settings.readString(sec, "ImageSize", "vga");
  std::string sizes = "<SELECT name=\"" + p + "ImageSize\" id=\"" + p +
                      "ImageSize\" style=\"width:140px\">";
  for (const BoardSize& s : kBoardSizes)
    sizes += std::string("<OPTION value=\"") + s.keyword + "\"" +
             (size == s.keyword ? " selected" : "") + ">" + s.formText + "</OPTION>";
  html += row("#dcdcdc", "<LABEL for=\"" + p + "ImageSize\">Image size</LABEL>", sizes + "</SELECT>");
  const std::string clip = g_settings.readString(sec, "ImageClipScale", "scale");
  std::string clips = "<SELECT name=\"" + p + "ImageClipScale\" id=\"" + p +
                      "ImageClipScale\" style=\"width:70px\">";
  for (const char* word : {"clip", "scale"})
    clips += std::string("<OPTION value=\"") + word + "\"" + (clip == word ? " selected" : "") +
             ">" + word + "</OPTION>";
  html += row("#ececec", "<LABEL for=\"" + p + "ImageClipScale\">Clip/Scale</LABEL>",
              clips + "</SELECT>");
  html += "</TABLE>\n";
  CNetVideoCnl::form(html);
}

void CFalconVideoCnl::status(std::string& html) {
  const std::string sec = sectionName();
  html += statusRow("Channel type, index", html_escape(displayName()));
  html += statusRow("Channel is activated: ", m_enabled.load() ? "YES" : "NO");
  html += statusRow("Video standard",
                    html_escape(g_settings.readString(sec, "CnlVideoStandard", "PAL")));
  html += statusRow("Image quality", std::to_string(m_quality.load()) + "%");
  html += statusRow("Picture overlay", overlayKeyword(overlayMode()));
  const BoardSize* s = boardSize(g_settings.readString(sec, "ImageSize", "vga"));
  html += statusRow("Image size", s ? s->statusText : "invalid");
  html += statusRow("Clip/Scale",
                    g_settings.readString(sec, "ImageClipScale", "scale") == "clip" ? "clip" : "scale");
  CNetVideoCnl::status(html);
}
