#include "channels/CnlList.h"

#include <algorithm>
#include <cassert>

#include "channels/CVideoCnl.h"

std::vector<CVideoCnl*> g_cnlList;
std::mutex g_cnlListLock;
std::mutex g_cnlUseLock;

namespace {
std::vector<CVideoCnl*> g_taken;  // taken by the close sequence, not yet joined; g_cnlListLock

bool contains(const std::vector<CVideoCnl*>& v, CVideoCnl* cnl) {
  return std::find(v.begin(), v.end(), cnl) != v.end();
}
}  // namespace

void registerChannel(CVideoCnl* cnl) {
  assert(cnl);
  std::lock_guard<std::mutex> guard(g_cnlListLock);
  if (!contains(g_cnlList, cnl) && !contains(g_taken, cnl)) g_cnlList.push_back(cnl);
}

std::vector<CVideoCnl*> takeAllChannels() {
  std::lock_guard<std::mutex> guard(g_cnlListLock);
  std::vector<CVideoCnl*> all;
  all.swap(g_cnlList);
  g_taken.insert(g_taken.end(), all.begin(), all.end());
  return all;
}

void releaseTakenChannel(CVideoCnl* cnl) {
  std::lock_guard<std::mutex> guard(g_cnlListLock);
  g_taken.erase(std::remove(g_taken.begin(), g_taken.end(), cnl), g_taken.end());
}

bool startListedChannel(CVideoCnl* cnl) {
  registerChannel(cnl);
  if (cnl->start()) return true;
  std::lock_guard<std::mutex> guard(g_cnlListLock);
  g_cnlList.erase(std::remove(g_cnlList.begin(), g_cnlList.end(), cnl), g_cnlList.end());
  return false;
}

bool initAndStartListedChannel(CVideoCnl* cnl) {
  if (cnl->init()) {
    // Listed before its thread starts, so a close at this moment still finds it; the lock
    // keeps the configuration pages from cleaning it away before it runs.
    std::lock_guard<std::mutex> use(g_cnlUseLock);
    if (startListedChannel(cnl)) return true;
  }
  destroyChannel(cnl);
  return false;
}

void destroyChannel(CVideoCnl* cnl) {
  assert(cnl && !contains(snapshotChannels(), cnl) && "a listed channel is never destroyed");
  cnl->join();
  releaseTakenChannel(cnl);
  delete cnl;
}

std::vector<CVideoCnl*> snapshotChannels() {
  std::lock_guard<std::mutex> guard(g_cnlListLock);
  return g_cnlList;
}
