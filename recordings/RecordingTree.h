#pragma once
// Read-only access to one channel's recording tree (recording/EventTree.h has the layout): the
// ".erdinfo" index, the first-picture time of an event, the search for the event that holds a
// given time, and per-event summaries for the pages.
//
// The recorder and its cleaner keep writing and deleting while this reads: nothing here writes,
// locks or caches, a missing event reads as "not there" and a torn index as unreadable. Finding
// a time is a binary search over the event numbers between the index's oldest and newest event
// by their first picture's stamp (event numbers grow with time, wrapping after 999999), so it
// reads about twenty E00000.jpg files whatever the size of the tree.
//
// Stateless apart from the directory; any thread may use its own object.
#include <cstdint>
#include <string>
#include <vector>

#include "recording/ErdInfo.h"

namespace recordings {

// Reads the regular file at path (never a link or a FIFO), at most maxBytes, into buf (grown
// as needed, never shrunk); *length gets the bytes read. False when it cannot be opened.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& buf, size_t* length,
                   size_t maxBytes);

// What the pages show of one event.
struct EventSpan {
  uint32_t event = 0;
  uint64_t firstUs = 0;  // stamp of E00000.jpg
  // Last picture: INFO.jpg's whole second for a finished event (at least firstUs), otherwise
  // the next event's start; exact only in the summaries of EventDetail.
  uint64_t lastUs = 0;
  bool finished = false;  // INFO.jpg is there
};

// Exact figures of one event (every picture read): what events.json reports.
struct EventDetail {
  uint32_t event = 0;
  uint64_t firstUs = 0, lastUs = 0;
  uint64_t pictures = 0, bytes = 0;
};

class RecordingTree {
 public:
  // channelDir ends with "/".
  explicit RecordingTree(std::string channelDir);

  const std::string& dir() const { return m_dir; }
  // The stored index record; false when ".erdinfo" is missing, short or marked inconsistent,
  // or names events outside 0..999999.
  bool readIndex(erdinfo::Record* rec) const;
  // The stamp of event n's E00000.jpg.
  bool eventStart(uint32_t n, uint64_t* us) const;

  // Events between the index's oldest and newest, as positions 0..span.
  struct Range {
    bool ok = false;
    uint32_t oldest = 0, newest = 0;
    uint32_t span = 0;  // newest - oldest, modulo the wrap
    uint32_t at(uint32_t pos) const { return (oldest + pos) % erdinfo::kEventCount; }
  };
  Range range() const;

  // The first readable event at position pos or after it (up to last); false when none.
  bool firstReadable(const Range& r, uint32_t pos, uint32_t last, uint32_t* foundPos,
                     uint64_t* startUs) const;
  // The position of the last event starting at or before tUs; the first readable event when
  // all start after tUs. False when the tree has no readable event. *reads counts the
  // E00000.jpg files read (for the benchmark and the tests).
  bool findPosition(const Range& r, uint64_t tUs, uint32_t* pos, uint64_t* startUs,
                    unsigned* reads = nullptr) const;

  // The events that overlap [fromUs, toUs), in order, with their spans.
  std::vector<EventSpan> spans(uint64_t fromUs, uint64_t toUs) const;
  // Oldest and newest first-picture times; false without readable events.
  bool bounds(uint64_t* oldestUs, uint64_t* newestUs) const;
  // Reads every picture of event n. False when the event is not there.
  bool detail(uint32_t n, EventDetail* out) const;

 private:
  // INFO.jpg's LTI, in microseconds; false without a readable INFO.jpg.
  bool infoLast(uint32_t n, uint64_t* us) const;

  std::string m_dir;
};

}  // namespace recordings
