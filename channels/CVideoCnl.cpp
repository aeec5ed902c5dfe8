#include "channels/CVideoCnl.h"

#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "base/Utf8Text.h"
#include "channels/CMXClient.h"
#include "channels/ChannelSettings.h"
#include "channels/PushSender.h"
#include "platform/Clock.h"


CVideoCnl::CVideoCnl(int typeCode, uint32_t index) : m_typeCode(typeCode), m_index(index) {}

CVideoCnl::~CVideoCnl() {
  assert(!running() && "the owner joins the channel's thread before destroying it");
  if (m_rec) {
    m_rec->stop();
    m_rec->join();
  }
  // A channel of the same section created later goes on from these counts.
  retireChannel(metricsKey(), totals());
  m_rec.reset();
  m_stop = true;
  wakeConsumers();
  // Rounds until no consumer is left: a consumer may still be on its way to addClient (started
  // by a connection thread just before the channel stopped). It attaches, is stopped there,
  // and is joined by a later round instead of running on after the channel is gone. The list
  // is taken out before the joins so a consumer blocked in addClient cannot deadlock on them.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::nanoseconds(kAttachWaitNs);
  for (;;) {
    std::list<CMXClient*> clients;
    int unattached;
    {
      std::unique_lock<std::mutex> lock(m_clientLock);
      m_closing = true;
      m_clientsChanged.wait_until(lock, deadline,
                                  [this] { return !m_clients.empty() || m_unattached == 0; });
      clients.swap(m_clients);
      unattached = m_unattached;
    }
    if (clients.empty()) {
      if (unattached > 0)
        g_logFile.log(CLogFile::Error, logSource(),
                      std::to_string(unattached) + " consumer(s) never attached to the channel.",
                      "CVideoCnl::~CVideoCnl");
      break;
    }
    for (CMXClient* c : clients) c->stop();
    for (CMXClient* c : clients) {
      c->join();
      delete c;
    }
  }
  // Every viewer is joined, so nobody hands the sender a stream any more.
  {
    std::lock_guard<std::mutex> guard(m_senderLock);
    m_sender = nullptr;
    m_senderOwned.reset();
  }
  notifyWatchers(true);
  m_listEntry.remove();
}

std::shared_ptr<PictureLink> CVideoCnl::watch(PictureWatcher* watcher) {
  auto link = std::make_shared<PictureLink>();
  link->cnl = this;
  link->watcher = watcher;
  std::lock_guard<std::mutex> guard(m_watchLock);
  m_watches.push_back(link);
  m_watched = true;
  return link;
}

void CVideoCnl::notifyWatchers(bool ending) {
  if (!m_watched.load()) return;
  std::lock_guard<std::mutex> guard(m_watchLock);
  for (size_t i = 0; i < m_watches.size();) {
    PictureLink& link = *m_watches[i];
    bool gone;
    {
      std::lock_guard<std::mutex> linkGuard(link.lock);
      if (ending) link.cnl = nullptr;
      if (link.watcher) link.watcher->pictureEvent();
      gone = link.watcher == nullptr;
    }
    if (gone) {
      m_watches[i] = std::move(m_watches.back());
      m_watches.pop_back();
    } else {
      ++i;
    }
  }
  m_watched = !m_watches.empty();
}

void CVideoCnl::clientCreated() {
  std::lock_guard<std::mutex> guard(m_clientLock);
  ++m_unattached;
}

void CVideoCnl::unattachedClientGone() {
  {
    std::lock_guard<std::mutex> guard(m_clientLock);
    --m_unattached;
  }
  m_clientsChanged.notify_all();
}

void CVideoCnl::createRecorder() {
  const ChannelRecorderMaker make = channelRecorderMaker();
  if (make) m_rec = make(this);
  if (m_rec) m_rec->init();
}

bool CVideoCnl::init() {
  {
    // Buffers are allocated once; later calls (after each submission) keep them, since the
    // producer and the consumers may be using them right now.
    std::lock_guard<std::mutex> guard(m_frameLock);
    bool ok = m_frameA.capacity >= kFrameBufferSize || m_frameA.allocate(kFrameBufferSize);
    ok = ok && (m_frameB.capacity >= kFrameBufferSize || m_frameB.allocate(kFrameBufferSize));
    if (!ok) {
      g_logFile.log(CLogFile::Warning, logSource(), "Out of memory allocating the frame buffer.",
                    "CVideoCnl::init");
      return false;
    }
  }
  const std::string stored = cleanName(readSettingText(sectionName(), cnlsettings::kName), kMaxNameLength);
  const char* type = cnlTypeName(m_typeCode);
  ChannelKey key(sectionName(), type ? type : "Unknown");
  {
    std::lock_guard<std::mutex> guard(m_nameLock);
    m_metricsKey = std::move(key);
    if (stored != m_name) {
      m_changed = true;
      m_name = stored;
    }
  }
  if (m_rec) m_rec->init();
  if (m_changed) m_reconnect = true;
  return true;
}

bool CVideoCnl::reconf() {
  if (m_changed) {
    std::string n = name();
    m_listEntry.setName(n.empty() ? sectionName() : n);
  }
  return true;
}

void CVideoCnl::stop() {
  m_stop = true;
  if (m_rec) m_rec->stop();
  wakeConsumers();
}

bool CVideoCnl::join() {
  const bool joined = CThread::join();
  if (m_rec) {
    m_rec->stop();
    m_rec->join();
  }
  return joined;
}

std::string CVideoCnl::fieldPrefix() {
  return std::to_string(m_typeCode) + "_" + std::to_string(m_index) + "_";
}

ChannelTotals CVideoCnl::totals() {
  ChannelTotals t;
  t.received = m_counters.received.load(std::memory_order_relaxed);
  t.published = m_counters.published.load(std::memory_order_relaxed);
  t.dropped = m_counters.dropped.load(std::memory_order_relaxed);
  t.reconnects = m_counters.reconnects.load(std::memory_order_relaxed);
  t.viewerBytes = m_counters.viewerBytes.load(std::memory_order_relaxed);
  if (m_rec) m_rec->countInto(t);
  return t;
}

ChannelKey CVideoCnl::metricsKey() const {
  std::lock_guard<std::mutex> g(m_nameLock);
  if (!m_metricsKey.first.empty()) return m_metricsKey;
  const char* type = cnlTypeName(m_typeCode);
  return ChannelKey("Channel " + std::to_string(m_typeCode) + " " + std::to_string(m_index),
                    type ? type : "Unknown");
}

std::string CVideoCnl::sectionName() {
  return "Channel " + std::to_string(m_typeCode) + " " + std::to_string(m_index);
}

std::string CVideoCnl::displayName() {
  const char* type = cnlTypeName(m_typeCode);
  return std::string(type ? type : "Unknown") + " " + std::to_string(m_index);
}

std::string CVideoCnl::name() const {
  std::lock_guard<std::mutex> guard(m_nameLock);
  return m_name;
}

std::string CVideoCnl::logSource() {
  std::string n = name();
  return n.empty() ? sectionName() : n;
}

// ---- Frame store ----

bool CVideoCnl::waitNewerLocked(std::unique_lock<std::mutex>& lock, uint64_t timestamp) {
  if (m_current->timestamp != timestamp) return true;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::nanoseconds(m_waitTimeoutNs);
  while (m_current->timestamp == timestamp) {
    if (m_stop) return false;
    m_wanted = true;
    // The producer is woken with the frame lock released: woken while this thread still held
    // it, it would only block on the lock again and need a second wake-up when this thread
    // starts waiting. A picture published in between is found by the check below.
    lock.unlock();
    m_frameWanted.notify_one();
    lock.lock();
    if (m_current->timestamp != timestamp) break;
    if (m_stop) return false;
    if (m_newFrame.wait_until(lock, deadline) == std::cv_status::timeout &&
        m_current->timestamp == timestamp)
      return false;
  }
  return true;
}

bool CVideoCnl::freezeCurrentLocked() {
  const FrameRec& cur = *m_current;
  if (cur.length == 0) return false;
  if (!m_shared || m_shared->timestamp != cur.timestamp || m_shared->sequence != cur.sequence) {
    auto fresh = std::make_shared<SharedPicture>();
    fresh->data.reset(new (std::nothrow) uint8_t[cur.length]);
    if (!fresh->data) return false;
    std::memcpy(fresh->data.get(), cur.data, cur.length);
    fresh->length = cur.length;
    fresh->sequence = cur.sequence;
    fresh->timestamp = cur.timestamp;
    m_shared = std::move(fresh);
  }
  return true;
}

bool CVideoCnl::getNewPicture(std::shared_ptr<const SharedPicture>& pic, uint64_t lastTimestamp) {
  std::unique_lock<std::mutex> lock(m_frameLock);
  if (!waitNewerLocked(lock, lastTimestamp)) return false;
  if (!freezeCurrentLocked()) return false;
  pic = m_shared;
  return true;
}

uint64_t CVideoCnl::currentPicture(std::shared_ptr<const SharedPicture>& pic) {
  std::lock_guard<std::mutex> guard(m_frameLock);
  if (freezeCurrentLocked())
    pic = m_shared;
  else
    pic.reset();
  return m_current->timestamp;
}

void CVideoCnl::signalFrameWanted() {
  {
    std::lock_guard<std::mutex> guard(m_frameLock);
    m_wanted = true;
  }
  m_frameWanted.notify_one();
}

PushSender* CVideoCnl::pushSender() {
  std::lock_guard<std::mutex> guard(m_senderLock);
  if (m_stop) return nullptr;
  if (!m_senderOwned) {
    auto sender = std::make_unique<PushSender>(this);
    if (!sender->begin()) {
      g_logFile.log(CLogFile::Error, logSource(),
                    "Cannot start the push-stream sender: " + std::string(std::strerror(errno)),
                    "CVideoCnl::pushSender");
      return nullptr;
    }
    m_senderOwned = std::move(sender);
    m_sender = m_senderOwned.get();
  }
  return m_senderOwned.get();
}

bool CVideoCnl::getNewFrame(FrameRec& rec) {
  std::unique_lock<std::mutex> lock(m_frameLock);
  if (!waitNewerLocked(lock, rec.timestamp)) return false;
  const FrameRec& cur = *m_current;
  if (cur.length == 0) return false;
  if (cur.length > rec.capacity) {
    const uint64_t grown = static_cast<uint64_t>(cur.length) * 3 / 2;
    if (!rec.allocate(static_cast<uint32_t>(grown))) return false;
  }
  std::memcpy(rec.data, cur.data, cur.length);
  rec.length = cur.length;
  rec.timestamp = cur.timestamp;
  rec.sequence = cur.sequence;
  rec.generated = cur.generated;
  return true;
}

void CVideoCnl::waitFrameWanted(uint64_t timeoutNs) {
  std::unique_lock<std::mutex> lock(m_frameLock);
  m_frameWanted.wait_for(lock, std::chrono::nanoseconds(timeoutNs),
                         [this] { return m_wanted.load() || m_stop.load(); });
}

bool CVideoCnl::frameWanted() { return m_wanted.load(); }

void CVideoCnl::publishBackFrame() {
  {
    // Timed only when a consumer holds the lock: the uncontended case, nearly every picture,
    // costs no clock reads.
    std::unique_lock<std::mutex> guard(m_frameLock, std::try_to_lock);
    if (!guard.owns_lock()) {
      const uint64_t before = platform::monotonicNs();
      guard.lock();
      const uint64_t waited = platform::monotonicNs() - before;
      if (waited > m_maxPublishWaitNs.load(std::memory_order_relaxed)) m_maxPublishWaitNs = waited;
    }
    assert(m_back->length <= m_back->capacity);
    if (m_back->length == 0) {
      if (!m_current->generated) m_current->length = 0;
      m_reconnect = true;
    } else {
      m_back->generated = false;
      std::swap(m_current, m_back);
      ChannelCounters::add(m_counters.published);
      m_counters.lastPictureNs.store(platform::nowNs(), std::memory_order_relaxed);
    }
    m_wanted = false;
  }
  // Notified after the unlock: with hundreds of waiting consumers, waking them while the
  // lock is still held only makes each one block again on the mutex.
  m_newFrame.notify_all();
  if (PushSender* sender = m_sender.load()) sender->published();
  notifyWatchers(false);
}

bool CVideoCnl::publishGenerated(const uint8_t* jpeg, uint32_t length, uint64_t timeNs,
                                 uint32_t sequence) {
  assert(jpeg || length == 0);
  {
    std::lock_guard<std::mutex> guard(m_frameLock);
    // The current record is written in place: consumers copy it only under this lock, and the
    // producer fills the other one.
    if (length == 0 || length > m_current->capacity) return false;
    std::memcpy(m_current->data, jpeg, length);
    m_current->length = length;
    m_current->timestamp = timeNs;
    m_current->sequence = sequence;
    m_current->generated = true;
  }
  m_newFrame.notify_all();
  if (PushSender* sender = m_sender.load()) sender->published();
  return true;
}

void CVideoCnl::setSignalState(SignalState s) {
  if (m_signal.exchange(int(s)) == int(s)) return;
  g_logFile.log(CLogFile::Warning, logSource(), signalChangeMessage(s), "CVideoCnl::setSignalState");
  m_listEntry.setNote(s == SignalState::Ok ? std::string() : signalStateText(s));
}

void CVideoCnl::wakeConsumers() {
  { std::lock_guard<std::mutex> guard(m_frameLock); }
  m_newFrame.notify_all();
  m_frameWanted.notify_all();
  if (PushSender* sender = m_sender.load()) sender->wake();
}

// ---- Consumers ----

void CVideoCnl::addClient(CMXClient* client) {
  assert(client);
  std::lock_guard<std::mutex> guard(m_clientLock);
  for (auto it = m_clients.begin(); it != m_clients.end();) {
    if (!(*it)->running()) {
      (*it)->join();
      delete *it;
      it = m_clients.erase(it);
    } else {
      ++it;
    }
  }
  if (!client->m_attached.exchange(true)) --m_unattached;
  m_clients.push_back(client);
  // Attaching while the channel is being destroyed: end at once; the destructor joins it.
  if (m_closing) client->stop();
  m_clientsChanged.notify_all();
}

void CVideoCnl::reapClients() {
  // An ending consumer never touches the list, so joining it under the lock is safe.
  std::lock_guard<std::mutex> guard(m_clientLock);
  for (auto it = m_clients.begin(); it != m_clients.end();) {
    if (!(*it)->running()) {
      (*it)->join();
      delete *it;
      it = m_clients.erase(it);
    } else {
      ++it;
    }
  }
}

void CVideoCnl::stopClientsIf(const std::function<bool(CMXClient&)>& which) {
  std::lock_guard<std::mutex> guard(m_clientLock);
  for (CMXClient* c : m_clients)
    if (which(*c)) c->stop();
}

size_t CVideoCnl::clientCount() {
  std::lock_guard<std::mutex> guard(m_clientLock);
  return m_clients.size();
}
