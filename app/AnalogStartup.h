#pragma once
// Start-up of the analog channels: loads the frame-grabber library, opens its boards (at most
// kMaxBoards), prepares a board driver for each and starts a channel for the inputs 0, 1, 3 and
// 4 of every prepared board. Owns the library and the board drivers; the channels belong to
// the global channel list like every other channel.
//
// GUI thread only. closeBoards() (also run by the destructor) takes every remaining channel down
// first, so the board drivers always outlive their channels.
#include <cstddef>
#include <memory>
#include <vector>

#include <fxver.h>
#include <fxdefs.h>

#include "endpoint/CFalconBoardDrv.h"
#include "platform/FalconLib.h"

namespace FX {
class FXApp;
class FXFont;
}  // namespace FX

// The analog channels' overlay font ("courier new", 11 points), realised once the grabber
// library was found on a program with a display; null otherwise. Owned by AnalogStartup.
extern FX::FXFont* g_overlayFont;

class AnalogStartup {
 public:
  static constexpr int kMaxBoards = 7;

  AnalogStartup();
  ~AnalogStartup();
  AnalogStartup(const AnalogStartup&) = delete;
  AnalogStartup& operator=(const AnalogStartup&) = delete;

  // Loads the library (see platform::FalconLib) and, when it loaded, realises the overlay font
  // (only with display, an application whose display is open) and start()s with it. A
  // library that lacks a function is logged once at Warning with the name; a library that is
  // not there (or switched off) is normal and not reported.
  void loadAndStart(FX::FXApp* display = nullptr);
  // Switches the library's error reports off, opens the boards and starts their channels.
  // Returns the number of channels started. The table must outlive this object.
  size_t start(const FalconApi& api);
  // Closes every channel still running (closeAllChannels), then destroys the board drivers
  // (is_FreeImageMem, is_ExitBoard) and the overlay font.
  void closeBoards();

  size_t boardCount() const { return m_boards.size(); }

 private:
  void dropOverlayFont(bool leak);

  platform::FalconLib m_lib;  // declared first: unloaded only after the boards are gone
  std::vector<std::unique_ptr<CFalconBoardDrv>> m_boards;
  std::unique_ptr<FX::FXFont> m_overlayFont;
};
