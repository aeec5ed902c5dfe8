#include "channels/LiveChannels.h"

#include <mutex>
#include <set>

#include "base/CSettings.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"

std::vector<CVideoCnl*> liveChannels() {
  std::vector<CVideoCnl*> ended;
  std::vector<CVideoCnl*> live;
  {
    std::lock_guard<std::mutex> g(g_cnlListLock);
    for (CVideoCnl* c : g_cnlList) (c->running() ? live : ended).push_back(c);
    if (!ended.empty()) g_cnlList = live;
  }
  // Removed from the list under the lock; stopped, joined and destroyed outside it, so a
  // starting channel that registers itself meanwhile never waits for a join.
  for (CVideoCnl* c : ended) {
    c->stop();
    destroyChannel(c);
  }
  return live;
}

CVideoCnl* findChannelByKey(const std::string& key) {
  for (CVideoCnl* c : liveChannels())
    if (c->fieldPrefix() == key) return c;
  return nullptr;
}

uint32_t smallestFreeIndex(int typeCode) {
  std::set<uint32_t> used;
  for (CVideoCnl* c : liveChannels())
    if (c->typeCode() == typeCode) used.insert(c->index());
  uint32_t index = 0;
  while (used.count(index) ||
         g_settings.existingSection("Channel " + std::to_string(typeCode) + " " +
                                    std::to_string(index)))
    ++index;
  return index;
}
