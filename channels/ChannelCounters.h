#pragma once
// What a channel has done since it was created, for the metrics page: counters that only grow
// and a few gauges. Each field is written by the thread doing the work (the channel's run
// thread, a viewer's thread) and read by the configuration server; relaxed atomics, since no
// other memory is published through them.
//
// A channel removed by the configuration pages hands its final counts to retireChannel(), and
// the page adds them to a later channel of the same section and type, so a counter the page
// shows never goes backwards while the process runs.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

struct ChannelCounters {
  std::atomic<uint64_t> received{0};    // pictures that arrived from the source
  std::atomic<uint64_t> published{0};   // pictures made current for the consumers
  std::atomic<uint64_t> dropped{0};     // arrived but not published (unusable, too large, replaced)
  std::atomic<uint64_t> reconnects{0};  // connection attempts to the source after the first
  std::atomic<uint64_t> viewerBytes{0}; // bytes sent to viewers of the channel's endpoint
  std::atomic<int64_t> viewers{0};      // viewers connected now
  std::atomic<uint64_t> lastPictureNs{0};  // wall clock of the last publication; 0: none yet
  std::atomic<uint64_t> encodeNs{0};    // smoothed encoder time per picture; 0: no encoder

  static void add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }
  // Folds one encoding time into the smoothed value (weight 1/8 for the newest).
  void noteEncode(uint64_t ns);
};

// The growing counts of a channel, its recorder and cleaner, as plain numbers.
struct ChannelTotals {
  uint64_t received = 0, published = 0, dropped = 0, reconnects = 0, viewerBytes = 0;
  uint64_t recEvents = 0, recFiles = 0, recBytes = 0, cleanerDeletions = 0;
  void add(const ChannelTotals& o);
};

// Key: (section name, type name). Any thread.
using ChannelKey = std::pair<std::string, std::string>;
void retireChannel(const ChannelKey& key, const ChannelTotals& totals);
std::map<ChannelKey, ChannelTotals> retiredChannels();
