#pragma once
// Room for a newcomer in a bounded set of connections that are still being read: the rule that
// the configuration server's connection threads and the endpoints' head readers share. When the
// set is full, the connection idle longest gives way; when the newcomer's address already holds
// its share, the one of that address idle longest gives way instead. Silent or trickling
// clients therefore never keep a newcomer out, and one address cannot push out the others.
#include <cstddef>
#include <cstdint>

struct RoomEntry {
  bool counts = true;      // false: on its way out already, takes no room
  bool droppable = true;   // false: counts, but may not be chosen (a request being processed)
  uint64_t idleSinceNs = 0;
  uint32_t peer = 0;       // IPv4 address in network order
};

// The entry of [begin, end) that must give way for a newcomer from peer, or end when none has
// to (or none may). view(entry) describes an entry as a RoomEntry.
template <class It, class View>
It entryToDrop(It begin, It end, uint32_t peer, size_t capacity, size_t share, View view) {
  size_t total = 0, fromPeer = 0;
  It idlest = end, idlestOfPeer = end;
  uint64_t idlestNs = 0, idlestOfPeerNs = 0;
  for (It it = begin; it != end; ++it) {
    const RoomEntry e = view(*it);
    if (!e.counts) continue;
    ++total;
    const bool same = e.peer == peer;
    if (same) ++fromPeer;
    if (!e.droppable) continue;
    if (idlest == end || e.idleSinceNs < idlestNs) {
      idlest = it;
      idlestNs = e.idleSinceNs;
    }
    if (same && (idlestOfPeer == end || e.idleSinceNs < idlestOfPeerNs)) {
      idlestOfPeer = it;
      idlestOfPeerNs = e.idleSinceNs;
    }
  }
  if (fromPeer >= share) return idlestOfPeer;
  if (total >= capacity) return idlest;
  return end;
}
