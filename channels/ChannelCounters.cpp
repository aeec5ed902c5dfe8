#include "channels/ChannelCounters.h"

#include <mutex>

void ChannelCounters::noteEncode(uint64_t ns) {
  const uint64_t old = encodeNs.load(std::memory_order_relaxed);
  encodeNs.store(old == 0 ? ns : old - old / 8 + ns / 8, std::memory_order_relaxed);
}

void ChannelTotals::add(const ChannelTotals& o) {
  received += o.received;
  published += o.published;
  dropped += o.dropped;
  reconnects += o.reconnects;
  viewerBytes += o.viewerBytes;
  recEvents += o.recEvents;
  recFiles += o.recFiles;
  recBytes += o.recBytes;
  cleanerDeletions += o.cleanerDeletions;
}

namespace {
std::mutex g_retiredLock;
std::map<ChannelKey, ChannelTotals> g_retired;  // guarded by g_retiredLock
}  // namespace

void retireChannel(const ChannelKey& key, const ChannelTotals& totals) {
  std::lock_guard<std::mutex> g(g_retiredLock);
  g_retired[key].add(totals);
}

std::map<ChannelKey, ChannelTotals> retiredChannels() {
  std::lock_guard<std::mutex> g(g_retiredLock);
  return g_retired;
}
