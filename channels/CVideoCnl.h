#pragma once
// The abstract video channel: one thread that obtains JPEG pictures from some source and
// publishes them, one at a time, to any number of consumers through a double-buffered frame
// store.
//
// Threads: run() is the channel's own thread (the producer). getNewFrame() is called from
// consumer threads and the endpoint's connection threads; currentPicture() and
// signalFrameWanted() from the channel's push sender thread (PushSender, which the channel
// owns); addClient() from a consumer's own thread; init() from the configuration server's
// thread (or the GUI thread at start-up); stop() and destruction
// from the GUI thread or the configuration server. The owner calls stop(), then join(), then
// deletes the channel.
//
// Lock order: m_clientLock, then m_frameLock; the log's lock is always taken last.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/CNetAddr.h"
#include "channels/ChannelCounters.h"
#include "channels/ChannelRecorder.h"
#include "channels/CnlListEntry.h"
#include "channels/FrameRec.h"
#include "channels/PictureWatch.h"
#include "channels/SignalState.h"
#include "platform/Thread.h"

class CMXClient;
class PushSender;

class CVideoCnl : public CThread {
 public:
  static constexpr uint32_t kFrameBufferSize = 524288;   // 512 KiB per frame record
  static constexpr size_t kMaxNameLength = 50;
  static constexpr uint64_t kAttachWaitNs = 5000000000ull;

  CVideoCnl(int typeCode, uint32_t index);
  // Stops, joins and destroys the recorder and every consumer still attached, removes the
  // list entry and frees the frame buffers. The channel's own thread must already be joined.
  // Consumers that exist but have not attached yet (started, on their way to addClient) are
  // waited for, up to kAttachWaitNs, and then stopped and joined like the others.
  ~CVideoCnl() override;
  CVideoCnl(const CVideoCnl&) = delete;
  CVideoCnl& operator=(const CVideoCnl&) = delete;

  // CThread::run() is the producer loop of each concrete channel.

  // Allocates the frame buffers (first call only: later calls come while the producer and the
  // consumers use them), reads the name, initialises the recorder and raises the reconnect
  // flag. False when the channel cannot run.
  virtual bool init();
  // Applies changed settings to the running channel (here: shows the name in the list entry).
  virtual bool reconf();
  // Sets the stop flag, stops the recorder and wakes every thread waiting in getNewFrame() or
  // waitFrameWanted(); returns at once.
  virtual void stop();
  // Joins the channel's thread, then its recorder's (stopping it first): once this returns no
  // thread of the channel is left, so the owner may destroy it. A recorder still running would
  // call into a channel whose derived part is already being destroyed. Owner's thread only.
  using CThread::join;
  bool join();
  virtual std::string imageUrl(const std::string& host, bool live) = 0;
  virtual CNetAddr localAddr() = 0;
  virtual CNetAddr peerAddr() = 0;
  // Where the channel's own endpoint listens (the live page streams from it); port 0 when the
  // channel has none (here) or is not listening.
  virtual CNetAddr endpointAddr() { return CNetAddr(); }
  // A camera channel's fetch period, by which the signal watch judges a silent camera; false
  // (ns untouched) for a channel that no camera feeds (here).
  virtual bool cameraPeriodNs(int64_t* /*ns*/) const { return false; }
  virtual std::string sourceTag() = 0;
  virtual std::string fieldPrefix();   // type code "_" index "_"
  virtual std::string sectionName();   // "Channel <type> <index>"
  virtual std::string displayName();   // g_cnlTypeNames[type] " " index

  // Consumer side: blocks until a picture newer than rec's is current (signalling
  // frame-wanted), copies it into rec (growing rec's buffer to length*3/2 when needed) and
  // returns true; false after the wait time-out (1 s), when the current record is empty, or
  // once the channel is stopping. The copy is made under the frame lock (one at a time).
  bool getNewFrame(FrameRec& rec);
  // As getNewFrame, for a consumer whose last picture has the time stamp lastTimestamp, but
  // hands out the current picture shared instead of copying it: one copy per publication is
  // made by the first consumer that asks, the others only take a reference.
  bool getNewPicture(std::shared_ptr<const SharedPicture>& pic, uint64_t lastTimestamp);

  // The push sender's side (PushSender): the current picture's time stamp, with pic set to
  // the current picture shared (frozen on first demand, as getNewPicture does) or null when
  // the current record is empty. Never waits.
  uint64_t currentPicture(std::shared_ptr<const SharedPicture>& pic);
  // Asks the producer for a new picture, as a consumer waiting in getNewFrame does.
  void signalFrameWanted();
  uint64_t waitTimeoutNs() const { return m_waitTimeoutNs; }
  // The sender of the channel's live push streams, started on the first call; null once the
  // channel stops or is being destroyed, or when it cannot be started (logged).
  PushSender* pushSender();

  // ---- The source's state (SignalState.h) ----
  SignalState signalState() const { return SignalState(m_signal.load()); }
  // Records the state of the source: a change is logged once at Warning and shown in the list
  // entry. The channel's thread (analog channels) or the signal watch (IP channels).
  void setSignalState(SignalState s);
  // Makes a picture the gateway generated (the no-signal picture) current, marked as generated
  // so the recorder never stores it. The producer's back record is not touched, so any thread
  // may call it while the producer runs. False when it does not fit the frame record.
  bool publishGenerated(const uint8_t* jpeg, uint32_t length, uint64_t timeNs, uint32_t sequence);
  // A link through which watcher is woken on every publication (see PictureWatch.h); the
  // caller keeps the channel alive for this call (g_cnlUseLock). Any thread.
  std::shared_ptr<PictureLink> watch(PictureWatcher* watcher);

  // Attaches a started consumer (from its own thread); the channel owns it from then on.
  // Reaps ended ones first. A consumer that was never started counts as ended. A consumer
  // attaching while the channel is being destroyed is stopped at once (and joined by the
  // destructor).
  void addClient(CMXClient* client);
  // Joins, destroys and removes every consumer whose thread has ended.
  void reapClients();
  size_t clientCount();
  // Asks every attached consumer for which `which` holds to end (they are reaped later).
  void stopClientsIf(const std::function<bool(CMXClient&)>& which);

  int typeCode() const { return m_typeCode; }
  uint32_t index() const { return m_index; }
  std::string name() const;                 // the user's name, may be empty
  std::string logSource();                  // name, or sectionName() when the name is empty
  bool stopping() const { return m_stop.load(); }
  CnlListEntry& listEntry() { return m_listEntry; }
  // The recording consumer made by the installed maker (ChannelRecorder.h), or null.
  ChannelRecorder* recorder() { return m_rec.get(); }
  bool reconnectPending() const { return m_reconnect.load(); }
  // Counts for the metrics page; the threads doing the work add to them.
  ChannelCounters& counters() { return m_counters; }
  // The growing counts of the channel with its recorder and cleaner.
  ChannelTotals totals();
  // (section name, type name) as fixed by init(); the metrics page's labels.
  ChannelKey metricsKey() const;
  // The longest time the producer's publication step waited for the frame lock (consumers
  // hold it while they copy), in nanoseconds; for the fan-out measurements.
  uint64_t maxPublishLockWaitNs() const { return m_maxPublishWaitNs.load(); }
  void resetPublishStats() { m_maxPublishWaitNs = 0; }
  // How long a consumer waits for a newer picture (1 s; tests shorten it).
  void setWaitTimeoutNs(uint64_t ns) { m_waitTimeoutNs = ns; }

 protected:
  // Creates the recording consumer with the installed maker and initialises it; every
  // concrete constructor calls it.
  void createRecorder();

  // ---- Publication, used by the run loops of the concrete channels ----
  // Waits (frame lock held) on frame-wanted for at most timeoutNs or until stop.
  void waitFrameWanted(uint64_t timeoutNs);
  // Whether a consumer has asked for a picture since the last publication.
  bool frameWanted();
  // The record the producer fills without the lock.
  FrameRec& backFrame() { return *m_back; }
  // Makes the back record current and broadcasts new-frame. With an empty back record
  // (length 0) instead empties the current record (unless it holds a generated picture, which
  // viewers are to keep) and raises the reconnect flag.
  void publishBackFrame();
  // Wakes every consumer waiting in getNewFrame (used by stop()).
  void wakeConsumers();

  const int m_typeCode;
  const uint32_t m_index;

  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_reconnect{false};
  std::atomic<bool> m_changed{true};
  std::atomic<int> m_signal{int(SignalState::Ok)};

 private:
  mutable std::mutex m_nameLock;
  std::string m_name;  // guarded by m_nameLock

  // State below is protected by m_frameLock.
  std::mutex m_frameLock;
  std::condition_variable m_frameWanted;
  std::condition_variable m_newFrame;
  FrameRec m_frameA, m_frameB;
  FrameRec* m_current = &m_frameA;
  FrameRec* m_back = &m_frameB;
  // A consumer signalled frame-wanted since the last publication. Written under the frame
  // lock; atomic so that the producer can look at it without waiting for a consumer that
  // holds the lock while it copies a picture.
  std::atomic<bool> m_wanted{false};
  std::shared_ptr<const SharedPicture> m_shared;  // the current picture frozen, made on demand
  std::atomic<uint64_t> m_maxPublishWaitNs{0};
  ChannelCounters m_counters;
  ChannelKey m_metricsKey;  // guarded by m_nameLock
  // Waits (frame lock held through lock) until the current picture's time stamp differs from
  // timestamp; false on time-out or stop.
  bool waitNewerLocked(std::unique_lock<std::mutex>& lock, uint64_t timestamp);

  // Freezes the current record into m_shared unless it already is (frame lock held).
  bool freezeCurrentLocked();

  uint64_t m_waitTimeoutNs = 1000000000ull;

  std::mutex m_senderLock;
  std::unique_ptr<PushSender> m_senderOwned;  // guarded by m_senderLock
  std::atomic<PushSender*> m_sender{nullptr};  // the same, for the publication's wake-up
  std::unique_ptr<ChannelRecorder> m_rec;

  std::mutex m_watchLock;
  std::vector<std::shared_ptr<PictureLink>> m_watches;  // guarded by m_watchLock
  std::atomic<bool> m_watched{false};  // m_watches is not empty: publications look at it
  // Wakes every watcher; ending also cuts the links (the destructor).
  void notifyWatchers(bool ending);

  // Called by CMXClient's constructor and by the destructor of one that never attached.
  friend class CMXClient;
  void clientCreated();
  void unattachedClientGone();

  std::mutex m_clientLock;
  std::condition_variable m_clientsChanged;  // an unattached consumer attached or went away
  std::list<CMXClient*> m_clients;  // owned; guarded by m_clientLock
  int m_unattached = 0;             // guarded by m_clientLock: consumers not attached yet
  bool m_closing = false;           // guarded by m_clientLock: the destructor has begun

  CnlListEntry m_listEntry;
};
