#include "app/AnalogStartup.h"

#include <fx.h>

#include <string>

#include "app/AppShutdown.h"
#include "base/CLogFile.h"
#include "channels/CnlList.h"
#include "endpoint/CFalconVideoCnl.h"
#include "platform/Clock.h"

namespace {

void logMain(int level, const std::string& message) {
  g_logFile.log(level, "system", message, "main");
}

// How long closeBoards() waits for channels that started but had not yet entered the
// channel list when it was taken.
constexpr uint64_t kChannelDrainNs = 10000000000ull;

}  // namespace

FX::FXFont* g_overlayFont = nullptr;

AnalogStartup::AnalogStartup() = default;
AnalogStartup::~AnalogStartup() { closeBoards(); }

void AnalogStartup::loadAndStart(FX::FXApp* display) {
  switch (m_lib.load()) {
    case platform::FalconLib::Result::Loaded:
      if (display && !m_overlayFont) {
        m_overlayFont.reset(new FX::FXFont(display, "courier new", 11, FX::FXFont::Normal,
                                           FX::FXFont::Straight, FONTENCODING_DEFAULT,
                                           FX::FXFont::NonExpanded));
        m_overlayFont->create();
        g_overlayFont = m_overlayFont.get();
      }
      start(m_lib.api());
      break;
    case platform::FalconLib::Result::MissingFunction:
      logMain(CLogFile::Warning, "The frame-grabber library " + m_lib.path() + " has no " +
                                     m_lib.missingName() + "(): analog channels disabled");
      break;
    case platform::FalconLib::Result::NotFound:
    case platform::FalconLib::Result::Disabled:
      break;
  }
}

size_t AnalogStartup::start(const FalconApi& api) {
  api.SetErrorReport(0, 0);
  int count = api.GetNumberOfDevices();
  if (count < 0) count = 0;
  if (count > kMaxBoards) {
    logMain(CLogFile::Warning, std::to_string(count) + " frame-grabber boards found; only the first " +
                                   std::to_string(kMaxBoards) + " are used");
    count = kMaxBoards;
  }

  std::vector<std::unique_ptr<CFalconBoardDrv>> boards;  // null: the board has no driver
  for (int i = 0; i < count; ++i) {
    FALCON_BOARD handle = 0;
    if (api.InitBoard(&handle, nullptr) != 0) {
      std::string message = "Unable to initialize all the Falcon video channels.";
      int code = 0;
      char* text = nullptr;
      if (api.GetError(handle, &code, &text) == 0)
        message += " (errcode=" + std::to_string(code) + ") " + (text ? text : "");
      logMain(CLogFile::Warning, message);
      // No analog channel at all: the boards opened so far are closed again by their drivers.
      return 0;
    }
    // Sections and names carry the handle the library gave the board, as a settings file written
    // for the real boards expects.
    auto board = std::make_unique<CFalconBoardDrv>(api, handle, static_cast<int>(handle));
    // Every channel's init applies its own section's board settings: they must agree.
    board->harmoniseSettings();
    if (!board->init(board->sectionOf(0))) board.reset();
    boards.push_back(std::move(board));
  }

  size_t started = 0;
  for (auto& board : boards) {
    if (!board) continue;
    for (int input : CFalconBoardDrv::kInputs) {
      if (initAndStartListedChannel(new CFalconVideoCnl(board.get(), input))) ++started;
    }
    m_boards.push_back(std::move(board));
  }
  return started;
}

void AnalogStartup::closeBoards() {
  if (m_boards.empty()) {
    dropOverlayFont(false);
    return;
  }
  // A channel enters the global list from its own thread: one started just before the close
  // may not be in it yet, so the close is repeated until no channel uses a board any more.
  const uint64_t until = platform::monotonicNs() + kChannelDrainNs;
  for (;;) {
    closeAllChannels();
    bool used = false;
    for (const auto& board : m_boards) used = used || board->channelCount() > 0;
    if (!used) break;
    if (platform::monotonicNs() >= until) {
      // Never free a board under a running channel: leaking it is the lesser harm.
      logMain(CLogFile::Error, "Analog channels did not end; frame-grabber boards left open");
      for (auto& board : m_boards) board.release();
      m_boards.clear();
      dropOverlayFont(true);
      return;
    }
    platform::sleepMs(10);
  }
  m_boards.clear();
  dropOverlayFont(false);
}

void AnalogStartup::dropOverlayFont(bool leak) {
  g_overlayFont = nullptr;
  if (leak)
    (void)m_overlayFont.release();  // a channel that did not end may still draw with it
  else
    m_overlayFont.reset();
}
