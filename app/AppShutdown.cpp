#include "app/AppShutdown.h"

#include <mutex>
#include <vector>

#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"

size_t closeAllChannels() {
  // Waits for a configuration request in progress: its page may be using a channel.
  std::lock_guard<std::mutex> use(g_cnlUseLock);
  // The list is emptied first rather than last: while the channels are joined and destroyed,
  // the configuration pages (another thread) then find no channel to show, change or delete.
  // A channel whose thread only begins to run now does not list itself again.
  std::vector<CVideoCnl*> channels = takeAllChannels();
  // Every stop() first, so all channels wind down in parallel; then the joins.
  for (CVideoCnl* cnl : channels) cnl->stop();
  for (CVideoCnl* cnl : channels) destroyChannel(cnl);
  return channels.size();
}
