#include "app/CMainWindow.h"

#include <cstdio>
#include <sstream>
#include <utility>

#include "app/Icons.h"
#include "base/CLogFile.h"
#include "base/Tables.h"
#include "platform/OpenUrl.h"

using namespace FX;

CMainWindow* g_mainWindow = nullptr;

// clang-format off
FXDEFMAP(CMainWindow) CMainWindowMap[] = {
    FXMAPFUNC(SEL_COMMAND, CMainWindow::ID_CONFIG, CMainWindow::onCmdConfig),
    FXMAPFUNC(SEL_COMMAND, CMainWindow::ID_ABOUT, CMainWindow::onCmdAbout),
    FXMAPFUNC(SEL_IO_READ, CMainWindow::ID_QUEUE, CMainWindow::onQueue),
    FXMAPFUNC(SEL_TIMEOUT, CMainWindow::ID_STATUS, CMainWindow::onStatusTimeout),
    FXMAPFUNC(SEL_DOUBLECLICKED, CMainWindow::ID_TREE, CMainWindow::onTreeDoubleClicked),
};
// clang-format on

FXIMPLEMENT(CMainWindow, FXMainWindow, CMainWindowMap, ARRAYNUMBER(CMainWindowMap))

namespace {

const char* const kReady = "Ready";

std::string windowTitle() { return std::string("TelvGate ") + kTelvGateVersion; }

// "Dec  8 2026" (the compiler's form) becomes "Dec 8 2026".
std::string buildDate() {
  std::string d = __DATE__;
  size_t twoSpaces = d.find("  ");
  if (twoSpaces != std::string::npos) d.erase(twoSpaces, 1);
  return d;
}

// The processor family this binary was built for.
const char* targetCpu() {
#if defined(__x86_64__)
  return "x86-64";
#elif defined(__i386__)
  return "x86";
#elif defined(__aarch64__)
  return "AArch64";
#elif defined(__arm__)
  return "ARM";
#else
  return "unknown";
#endif
}

}  // namespace

CMainWindow::CMainWindow(FXApp* app, const AppIcons& icons, std::function<void()> closeChannels)
    : FXMainWindow(app, windowTitle().c_str(), icons.appIcon(), icons.icon(AppIcons::Channels), DECOR_ALL,
                   0, 0, 500, 300, 0, 0, 0, 0, 5, 5),
      m_icons(&icons),
      m_closeChannels(std::move(closeChannels)) {
  m_menuBar = new FXMenuBar(this, LAYOUT_SIDE_TOP | LAYOUT_FILL_X);
  m_fileMenu = new FXMenuPane(this);
  new FXMenuCommand(m_fileMenu, "&Exit\tCtl-Q", icons.icon(AppIcons::Exit), this, ID_CLOSE);
  new FXMenuCommand(m_fileMenu, "&configure\tCtl-C", icons.icon(AppIcons::Configure), this,
                    ID_CONFIG);
  new FXMenuTitle(m_menuBar, "&File", nullptr, m_fileMenu);
  m_helpMenu = new FXMenuPane(this);
  new FXMenuCommand(m_helpMenu, "&About TelvGate", nullptr, this, ID_ABOUT);
  new FXMenuTitle(m_menuBar, "&Help", nullptr, m_helpMenu, LAYOUT_RIGHT);

  m_statusBar = new FXStatusBar(this, LAYOUT_SIDE_BOTTOM | LAYOUT_FILL_X | FRAME_RAISED |
                                          STATUSBAR_WITH_DRAGCORNER);
  m_statusBar->getStatusLine()->setNormalText(kReady);
  m_statusBar->getStatusLine()->setText(kReady);
  new FXButton(m_statusBar, "&Exit", icons.icon(AppIcons::Exit), this, ID_CLOSE,
               BUTTON_NORMAL | LAYOUT_RIGHT | LAYOUT_FILL_Y);

  m_tree = new FXTreeList(this, this, ID_TREE,
                          TREELIST_SHOWS_LINES | TREELIST_SHOWS_BOXES | TREELIST_ROOT_BOXES |
                              LAYOUT_FILL_X | LAYOUT_FILL_Y | FRAME_SUNKEN);
  FXIcon* chIcon = icons.icon(AppIcons::Channels);
  FXIcon* cfgIcon = icons.icon(AppIcons::Configure);
  m_channelsItem = m_tree->appendItem(nullptr, "Channels", chIcon, chIcon);
  m_configureItem = m_tree->appendItem(nullptr, configItemText().c_str(), cfgIcon, cfgIcon);

  m_wake = new FXGUISignal(app, this, ID_QUEUE);
  setCnlListSink(this);
  setConfigAddressSink(this);
}

CMainWindow::~CMainWindow() {
  // After these two calls no other thread can reach this window any more.
  setCnlListSink(nullptr);
  setConfigAddressSink(nullptr);
  getApp()->removeTimeout(this, ID_STATUS);
  delete m_wake;
  delete m_fileMenu;
  delete m_helpMenu;
  if (g_mainWindow == this) g_mainWindow = nullptr;
}

FXbool CMainWindow::close(FXbool) {
  // Reached again when a signal arrives while the channels are being joined; once is enough.
  if (m_closed) return TRUE;
  m_closed = true;
  if (m_closeChannels) m_closeChannels();
  hide();
  // stop(), not the toolkit's own quit: that would also write the settings to storage, which
  // only a configuration submission may do.
  getApp()->stop(0);
  return TRUE;
}

void CMainWindow::entryChanged(uint64_t id, int state, const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(m_queueLock);
    m_queue.push_back(Change{Change::Entry, id, state, text});
  }
  m_wake->signal();
}

void CMainWindow::entryRemoved(uint64_t id) {
  {
    std::lock_guard<std::mutex> guard(m_queueLock);
    m_queue.push_back(Change{Change::Removed, id, 0, std::string()});
  }
  m_wake->signal();
}

void CMainWindow::configItemChanged(const std::string& itemText) {
  {
    std::lock_guard<std::mutex> guard(m_queueLock);
    m_queue.push_back(Change{Change::ConfigItem, 0, 0, itemText});
  }
  m_wake->signal();
}

long CMainWindow::onQueue(FXObject*, FXSelector, void*) {
  drainQueue();
  return 1;
}

void CMainWindow::drainQueue() {
  std::deque<Change> changes;
  {
    std::lock_guard<std::mutex> guard(m_queueLock);
    changes.swap(m_queue);
  }
  for (const Change& c : changes) applyChange(c);
}

void CMainWindow::applyChange(const Change& change) {
  switch (change.kind) {
    case Change::Entry: {
      FXIcon* icon = m_icons->stateIcon(change.state);
      auto it = m_entries.find(change.id);
      if (it == m_entries.end()) {
        FXTreeItem* item = m_tree->appendItem(m_channelsItem, change.text.c_str(), icon, icon);
        m_entries[change.id] = item;
        m_tree->expandTree(m_channelsItem);
      } else {
        m_tree->setItemText(it->second, change.text.c_str());
        m_tree->setItemOpenIcon(it->second, icon);
        m_tree->setItemClosedIcon(it->second, icon);
      }
      break;
    }
    case Change::Removed: {
      auto it = m_entries.find(change.id);
      if (it != m_entries.end()) {
        m_tree->removeItem(it->second);
        m_entries.erase(it);
      }
      break;
    }
    case Change::ConfigItem:
      m_tree->setItemText(m_configureItem, change.text.c_str());
      break;
  }
}

FXTreeItem* CMainWindow::entryItem(uint64_t id) const {
  auto it = m_entries.find(id);
  return it == m_entries.end() ? nullptr : it->second;
}

std::string CMainWindow::statusText() const {
  return m_statusBar->getStatusLine()->getText().text();
}

// The line shows its normal text again at every GUI update, so a message is shown by making it
// the normal text for a while.
void CMainWindow::showStatus(const std::string& text) {
  FXStatusLine* line = m_statusBar->getStatusLine();
  line->setNormalText(text.c_str());
  line->setText(text.c_str());
  getApp()->addTimeout(this, ID_STATUS, kStatusMessageMs);  // replaces a pending one
}

long CMainWindow::onStatusTimeout(FXObject*, FXSelector, void*) {
  m_statusBar->getStatusLine()->setNormalText(kReady);
  m_statusBar->getStatusLine()->setText(kReady);
  return 1;
}

long CMainWindow::onCmdConfig(FXObject*, FXSelector, void*) {
  const CNetAddr addr = configAddress();
  const std::string url = configUrl(addr);
  std::string reason;
  bool ok;
  if (addr.ip.empty()) {
    // The server has not set up its socket yet: there is nothing to open.
    ok = false;
    reason = "the configuration server is not listening";
  } else {
    ok = platform::openUrl(url, &reason);
  }
  if (ok) {
    showStatus("Browser started");
  } else {
    g_logFile.log(CLogFile::Warning, "browser start", "Error opening the url: " + url,
                  "CMainWindow::onCmdConfig");
    if (!reason.empty())
      g_logFile.log(CLogFile::Warning, "browser start", "Reason: " + reason,
                    "CMainWindow::onCmdConfig");
    showStatus("Errors starting the configuration browser");
  }
  return 1;
}

long CMainWindow::onTreeDoubleClicked(FXObject*, FXSelector, void* ptr) {
  if (ptr && ptr == m_configureItem) return onCmdConfig(this, 0, nullptr);
  return 0;
}

std::string CMainWindow::aboutText() {
  std::ostringstream t;
  t << "Telvora TelvGate " << kTelvGateVersion << " (https://www.telvora.example)\n"
    << "\n"
    << "Build date: " << buildDate() << "\n"
    << "Target cpu: " << targetCpu() << "\n"
    << "FOX toolkit version: " << FOX_MAJOR << "." << FOX_MINOR << "." << FOX_LEVEL << "\n"
    << "\n"
    << "This program uses the FOX Toolkit (http://www.fox-toolkit.org),\n"
    << "Copyright (C) 2000,2007 Jeroen van der Zijp. All Rights Reserved.";
  return t.str();
}

long CMainWindow::onCmdAbout(FXObject*, FXSelector, void*) {
  FXDialogBox about(this, "About TelvGate", DECOR_TITLE | DECOR_BORDER, 0, 0, 0, 0, 10, 10, 10,
                    10, 5, 5);
  FXHorizontalFrame* top = new FXHorizontalFrame(&about, LAYOUT_FILL_X, 0, 0, 0, 0, 0, 0, 0, 0);
  new FXLabel(top, FXString::null, m_icons->appIcon(), LAYOUT_CENTER_Y);
  new FXLabel(top, "TelvGate", nullptr, LAYOUT_CENTER_Y | LAYOUT_FILL_X | JUSTIFY_LEFT);
  new FXHorizontalSeparator(&about, SEPARATOR_GROOVE | LAYOUT_FILL_X);
  new FXLabel(&about, aboutText().c_str(), nullptr, JUSTIFY_LEFT | LAYOUT_FILL_X);
  new FXHorizontalSeparator(&about, SEPARATOR_GROOVE | LAYOUT_FILL_X);
  new FXButton(&about, "&OK", nullptr, &about, FXDialogBox::ID_ACCEPT,
               BUTTON_DEFAULT | BUTTON_INITIAL | FRAME_RAISED | FRAME_THICK | LAYOUT_CENTER_X,
               0, 0, 0, 0, 20, 20, 4, 4);
  about.execute(PLACEMENT_OWNER);
  return 1;
}
