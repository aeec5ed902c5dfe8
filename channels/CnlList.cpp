#include "channels/CnlList.h"

std::vector<CVideoCnl*> g_cnlList;
std::mutex g_cnlListLock;
std::mutex g_cnlUseLock;

void registerChannel(CVideoCnl* cnl) {
  std::lock_guard<std::mutex> guard(g_cnlListLock);
  g_cnlList.push_back(cnl);
}

std::vector<CVideoCnl*> snapshotChannels() {
  std::lock_guard<std::mutex> guard(g_cnlListLock);
  return g_cnlList;
}
