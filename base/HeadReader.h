#pragma once
// An endpoint's request heads, read without a thread per connection: every accepted connection
// waits here, watched by the listener's one event loop, until its request head is complete
// (or can never be); only a complete request gets a connection thread. Idle, silent and
// trickling connections therefore cost a descriptor and a few bytes each, not a thread.
//
// Bounds: at most capacity() connections wait, at most share() of them from one address; a
// newcomer beyond either makes the connection idle longest give way (ConnectionRoom.h). A head
// must be complete within the request deadline, with at most 10 s of silence before each byte
// of the request line and 5 s before each byte of a header line (as CHTTPSocket reads them),
// and be at most kMaxHeadBytes long. Bytes behind the head are left in the socket for the one
// who takes the connection over (a pan/tilt command stream).
//
// Threads: the listener's thread alone uses it. The readiness set belongs to the listener; a
// waiting connection is watched in it with its entry as the tag.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <string>

#include "base/CHTTPSocket.h"
#include "platform/WritableWait.h"

class HeadReader {
 public:
  static constexpr size_t kMaxHeadBytes = 16384;
  static constexpr size_t kCapacity = 1024;
  static constexpr size_t kShare = kCapacity / 4;

  // A complete head: the connection (owned by whoever takes it) and the bytes of the head.
  struct Ready {
    int handle = -1;
    std::string head;
    uint64_t acceptedNs = 0;
  };


  explicit HeadReader(platform::WritableWait& events) : m_events(events) {}
  ~HeadReader() { clear(); }
  HeadReader(const HeadReader&) = delete;
  HeadReader& operator=(const HeadReader&) = delete;

  // Takes ownership of an accepted connection from peer (IPv4, network order), first making
  // room for it.
  void admit(int handle, uint32_t peer, uint64_t nowNs);
  // A waiting connection (tag from the readiness set) reported readable: takes what it sent.
  // Tags of one wait must all be handled before anything else here can close a connection.
  void readable(void* tag, uint64_t nowNs);
  // Closes the connections whose time is up; the monotonic time of the next such moment.
  uint64_t expire(uint64_t nowNs);
  // Closes the connection idle longest; false when none waits.
  bool dropIdlest();
  // The oldest complete head, if any.
  bool takeReady(Ready* out);
  bool hasReady() const { return !m_ready.empty(); }
  void clear();  // closes every connection still held

  size_t waiting() const { return m_waiting.size(); }  // complete heads included
  // Given way to a newcomer; counted before the connection is closed. Any thread may read it.
  uint64_t dropped() const { return m_dropped.load(); }
  void setLimits(size_t capacity, size_t share, int deadlineMs) {
    m_capacity = capacity;
    m_share = share;
    m_deadlineNs = uint64_t(deadlineMs > 0 ? deadlineMs : 1) * 1000000ull;
  }
  size_t capacity() const { return m_capacity; }
  size_t share() const { return m_share; }

 private:
  struct Waiting {
    explicit Waiting(size_t maxBytes) : scan(maxBytes) {}
    int handle = -1;
    uint32_t peer = 0;
    uint64_t acceptedNs = 0, lastNs = 0;
    http::RequestHeadScan scan;
    bool complete = false;  // no longer watched; in m_ready
    std::list<Waiting>::iterator self;
  };
  uint64_t dueNs(const Waiting& w) const;
  void close(std::list<Waiting>::iterator it);

  platform::WritableWait& m_events;
  std::list<Waiting> m_waiting;
  std::deque<std::list<Waiting>::iterator> m_ready;  // complete heads, oldest first
  size_t m_capacity = kCapacity;
  size_t m_share = kShare;
  uint64_t m_deadlineNs = 30000000000ull;
  std::atomic<uint64_t> m_dropped{0};
};
