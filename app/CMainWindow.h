#pragma once
// The program's only desktop window: the configuration server's address and one line per
// channel with its state; opens the configuration pages in the browser, shows the about box,
// and is the way to stop the program (closing it takes every channel down).
//
// Threads: the window and its widgets belong to the GUI thread. The sink operations
// (entryChanged, entryRemoved, configItemChanged) are the only members other threads call:
// they queue the change under m_queueLock and wake the GUI thread through an FXGUISignal,
// which coalesces wake-ups, so the handler drains the whole queue each time.
#include <fx.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/ConfigAddress.h"
#include "channels/CnlListEntry.h"

class AppIcons;

class CMainWindow : public FX::FXMainWindow, public CnlListSink, public ConfigAddressSink {
  FXDECLARE(CMainWindow)

 public:
  enum {
    ID_CONFIG = FX::FXMainWindow::ID_LAST,
    ID_ABOUT,
    ID_QUEUE,
    ID_STATUS,
    ID_TREE,
    ID_LAST
  };

  // How long a status message stays before the line shows "Ready" again.
  static constexpr int kStatusMessageMs = 8000;

  // `icons` must outlive the window. `closeChannels` is the channel shutdown that close()
  // runs before it ends the event loop. Installs the window as the channel list's and the
  // configuration address's sink.
  CMainWindow(FX::FXApp* app, const AppIcons& icons, std::function<void()> closeChannels);
  // Removes the sinks, deletes the menu panes (the toolkit crashes at exit otherwise, as they
  // are not children of the window) and the signal.
  ~CMainWindow() override;

  // Runs the close sequence: the channel shutdown, then the end of the event loop. The window
  // is only hidden; the entry point deletes it after the configuration server has ended.
  // Reached by both exit commands, the window's close box, SIGINT and SIGTERM.
  FX::FXbool close(FX::FXbool notify = FALSE) override;
  bool closed() const { return m_closed; }

  // CnlListSink and ConfigAddressSink: any thread; they only queue.
  void entryChanged(uint64_t id, int state, const std::string& text) override;
  void entryRemoved(uint64_t id) override;
  void configItemChanged(const std::string& itemText) override;

  long onCmdConfig(FX::FXObject*, FX::FXSelector, void*);
  long onCmdAbout(FX::FXObject*, FX::FXSelector, void*);
  long onQueue(FX::FXObject*, FX::FXSelector, void*);
  long onStatusTimeout(FX::FXObject*, FX::FXSelector, void*);
  long onTreeDoubleClicked(FX::FXObject*, FX::FXSelector, void*);

  // Applies every queued change now (the signal handler; tests).
  void drainQueue();

  // Read access for tests (GUI thread).
  FX::FXTreeList* tree() const { return m_tree; }
  FX::FXTreeItem* channelsItem() const { return m_channelsItem; }
  FX::FXTreeItem* configureItem() const { return m_configureItem; }
  FX::FXTreeItem* entryItem(uint64_t id) const;
  std::string statusText() const;
  // The about box's text label (also used by the about box itself).
  static std::string aboutText();
  // Sets a status message shown for kStatusMessageMs.
  void showStatus(const std::string& text);

 protected:
  CMainWindow() = default;

 private:
  struct Change {
    enum Kind { Entry, Removed, ConfigItem } kind;
    uint64_t id;
    int state;
    std::string text;
  };
  void applyChange(const Change& change);

  const AppIcons* m_icons = nullptr;
  std::function<void()> m_closeChannels;
  bool m_closed = false;

  FX::FXMenuBar* m_menuBar = nullptr;
  FX::FXMenuPane* m_fileMenu = nullptr;
  FX::FXMenuPane* m_helpMenu = nullptr;
  FX::FXStatusBar* m_statusBar = nullptr;
  FX::FXTreeList* m_tree = nullptr;
  FX::FXTreeItem* m_channelsItem = nullptr;
  FX::FXTreeItem* m_configureItem = nullptr;
  FX::FXGUISignal* m_wake = nullptr;

  std::map<uint64_t, FX::FXTreeItem*> m_entries;  // GUI thread only

  std::mutex m_queueLock;
  std::deque<Change> m_queue;  // guarded by m_queueLock
};

// The process's main window; nullptr when running headless.
extern CMainWindow* g_mainWindow;
