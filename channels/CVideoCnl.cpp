#include "channels/CVideoCnl.h"

#include <cerrno>
#include <chrono>
#include <climits>
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
#include "channels/PushSender.h"
#include "platform/Clock.h"

namespace {

// Reads a form number strictly: decimal digits only (no sign, blanks or trailing text), at
// least one, no overflow. Values such as "-5" or "7abc" were once stored as -5 and 7; a port,
// rate or address must never come from a half-read field.
bool parseCount(const std::string& text, int* out) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

const std::string* field(const FormFields& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : &it->second;
}

// A missing stored value always counts as a change.
bool storedIntDiffers(const std::string& section, const std::string& key, int value) {
  if (!g_settings.existingEntry(section, key)) return true;
  return g_settings.readInt(section, key, value) != value;
}

}  // namespace

CVideoCnl::CVideoCnl(int typeCode, uint32_t index) : m_typeCode(typeCode), m_index(index) {}

CVideoCnl::~CVideoCnl() {
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
  const std::string stored = cleanName(g_settings.readString(sectionName(), "CnlName", ""), kMaxNameLength);
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

// ---- Configuration: update, form, status ----

bool CVideoCnl::update(const FormFields& fields, std::string& html) {
  const std::string prefix = fieldPrefix();
  const std::string section = sectionName();

  if (const std::string* v = field(fields, prefix + "CnlName")) {
    // Control characters would reach picture comments and log lines; they go silently.
    std::string value = cleanName(*v, SIZE_MAX);
    const std::string cut = cleanName(value, kMaxNameLength);
    if (cut != value) {
      value = cut;
      html += "<P class=warn>The <EM>Channel name</EM> value is too long. Truncate it to '" +
              html_escape(value) + "'";
    }
    if (!g_settings.existingEntry(section, "CnlName") ||
        g_settings.readString(section, "CnlName", "") != value) {
      html += "<P class=upd>Updated the <EM>Channel name</EM> value to '<SPAN class=cnl>" +
              html_escape(value) + "</SPAN>'";
      g_settings.writeString(section, "CnlName", value);
    }
  }

  if (m_rec && !m_rec->update(fields, html)) return false;

  int rotorType;
  if (const std::string* v = field(fields, prefix + "RotorType")) {
    rotorType = rotorTypeCode(*v);
    if (storedIntDiffers(section, "RotorType", rotorType)) {
      html += "<P class=upd>Updated the <EM>Pan/Tilt type</EM> value to <STRONG>'" +
              html_escape(*v) + "'</STRONG></P>";
      g_settings.writeInt(section, "RotorType", rotorType);
    }
  } else {
    rotorType = g_settings.readInt(section, "RotorType", 1);
  }
  const bool noRotor = rotorType == 1;

  if (const std::string* v = field(fields, prefix + "RotorComPort")) {
    const char* kPortWarn =
        "<P class=warn>The <EM>Serial port</EM> value must be a positive numeric value.</P>";
    if (v->compare(0, 3, "COM") == 0) {
      int port;
      if (parseCount(v->substr(3), &port) && port > 0) {
        if (storedIntDiffers(section, "RotorComPort", port)) {
          html += "<P class=upd>Updated the <EM>Serial port</EM> value to <STRONG>COM" +
                  std::to_string(port) + "</STRONG></P>";
          g_settings.writeInt(section, "RotorComPort", port);
        }
      } else {
        html += kPortWarn;
      }
    } else if (!noRotor) {
      html += kPortWarn;
    }
  }

  struct NumberField {
    const char* key;
    const char* label;
  };
  static const NumberField kNumbers[] = {{"RotorBoudRate", "Serial Baud Rate"},
                                         {"RotorAddress", "Dome address"}};
  for (const NumberField& nf : kNumbers) {
    const std::string* v = field(fields, prefix + nf.key);
    if (!v) continue;
    int number;
    if (parseCount(*v, &number)) {
      if (storedIntDiffers(section, nf.key, number)) {
        html += std::string("<P class=upd>Updated the <EM>") + nf.label +
                "</EM> value to <STRONG>" + std::to_string(number) + "</STRONG></P>";
        g_settings.writeInt(section, nf.key, number);
      }
    } else if (!noRotor) {
      html += std::string("<P class=warn>The <EM>") + nf.label +
              "</EM> value must be a positive numeric value.";
    }
  }
  return true;
}

namespace {

std::string textInput(const std::string& name, const std::string& value, int maxLength,
                      int widthPx) {
  std::string s = "<INPUT type=text name=\"" + name + "\" id=\"" + name + "\" maxlength=" +
                  std::to_string(maxLength);
  if (widthPx > 0) s += " style=\"width:" + std::to_string(widthPx) + "px\"";
  return s + " value=\"" + html_escape(value) + "\">";
}

std::string radio(const std::string& name, const char* value, const char* label, bool checked) {
  return "<INPUT type=radio name=\"" + name + "\" value=\"" + value + "\"" +
         (checked ? " checked" : "") + ">" + label + "&nbsp;";
}

std::string option(const std::string& value, const std::string& label, bool selected) {
  return "<OPTION value=\"" + value + "\"" + (selected ? " selected" : "") + ">" + label +
         "</OPTION>";
}

std::string row(const std::string& label, const std::string& fieldHtml) {
  return "<TR><TD>" + label + "</TD><TD>" + fieldHtml + "</TD></TR>\n";
}

}  // namespace

void CVideoCnl::form(std::string& html) {
  const std::string p = fieldPrefix();
  const std::string section = sectionName();

  std::string storedName = g_settings.readString(section, "CnlName", "");
  storedName = cleanName(storedName, kMaxNameLength);
  html += "<TABLE rules=none frame=void><COLGROUP><COL width=200><COL width=600></COLGROUP>\n";
  html += row("<LABEL for=\"" + p + "CnlName\">Channel name</LABEL>",
              textInput(p + "CnlName", storedName, static_cast<int>(kMaxNameLength), 400));

  // Event recording block.
  html += row("<STRONG>Event recording</STRONG>", "");
  const bool active = g_settings.readBool(section, "CnlEventRecActive", false);
  html += row("Activate recording for this channel:",
              radio(p + "CnlEventRecActive", "on", "ON", active) +
                  radio(p + "CnlEventRecActive", "off", "OFF", !active));
  html += row("Rec. root directory path:",
              textInput(p + "CnlEventRootPath",
                        g_settings.readString(section, "CnlEventRootPath", ""), 255, 400));
  html += row("Rec. disk quota [MB]:",
              textInput(p + "CnlEventDiskQuota",
                        g_settings.readString(section, "CnlEventDiskQuota", "0"), 10, 100));
  int age = g_settings.readInt(section, "CnlEventAge", 0);
  if (age < 0) age = 0;
  html += row("Rec. max age:",
              textInput(p + "CnlEventAgeDays", std::to_string(age / 86400), 4, 50) + " days " +
                  textInput(p + "CnlEventAgeHours", std::to_string((age % 86400) / 3600), 2, 30) +
                  " hours");
  int period = g_settings.readInt(section, "CnlEventFramePeriod", 83);
  period = period < 40 ? 40 : (period > 10000 ? 10000 : period);
  std::string select = "<SELECT name=\"" + p + "CnlEventFramePeriod\">";
  for (int ms : {10000, 8000, 6000, 4000, 2000})
    select += option(std::to_string(ms), "1 frame every " + std::to_string(ms / 1000) + " seconds",
                     ms == period);
  for (int n = 1; n <= 25; ++n)
    select += option(std::to_string(1000 / n), std::to_string(n) + " frame per second",
                     1000 / n == period);
  html += row("Frame rate:", select + "</SELECT>");

  if (formShowsPanTilt()) {
    html += row("<STRONG>Pan/Tilt system</STRONG>", "");
    const int type = g_settings.readInt(section, "RotorType", 1);
    html += row("Pan/Tilt type:", radio(p + "RotorType", "none", "None", type == 1) +
                                      radio(p + "RotorType", "autodome", "Bosch AutoDome", type == 2) +
                                      radio(p + "RotorType", "speeddome", "Siemens SpeedDome",
                                            type == 3));
    // Option texts only: the browser submits "COM7", "9600", "12".
    const int port = g_settings.readInt(section, "RotorComPort", 1);
    std::string ports = "<SELECT name=\"" + p + "RotorComPort\">";
    for (int n = 1; n <= 16; ++n)
      ports += std::string("<OPTION") + (n == port ? " selected" : "") + ">COM" +
               std::to_string(n) + "</OPTION>";
    html += row("Serial port:", ports + "</SELECT>");
    const int baud = g_settings.readInt(section, "RotorBoudRate", 9600);
    std::string bauds = "<SELECT name=\"" + p + "RotorBoudRate\">";
    for (int b : {2400, 4800, 9600, 19200})
      bauds += std::string("<OPTION") + (b == baud ? " selected" : "") + ">" + std::to_string(b) +
               "</OPTION>";
    html += row("Serial Baud Rate:", bauds + "</SELECT>");
    int address = g_settings.readInt(section, "RotorAddress", 0);
    if (address > 255) address = 255;
    std::string addresses = "<SELECT name=\"" + p + "RotorAddress\">";
    for (int a = 0; a <= 255; ++a)
      addresses += std::string("<OPTION") + (a == address ? " selected" : "") + ">" +
                   std::to_string(a) + "</OPTION>";
    html += row("Dome address:", addresses + "</SELECT>");
  }
  html += "</TABLE>\n";
}

void CVideoCnl::status(std::string& html) {
  html += std::string("<TR><TD><STRONG>Video signal</STRONG></TD><TD>") +
          signalStateText(signalState()) + "</TD></TR>";
  if (m_rec) m_rec->status(html);
  const std::string section = sectionName();
  const int type = g_settings.readInt(section, "RotorType", 1);
  const char* typeName = rotorTypeName(type);
  html += "<TR><TD><STRONG>Pan/Tilt type</STRONG></TD><TD>" +
          (typeName ? std::string(typeName) : "Unknown (" + std::to_string(type) + ")") +
          "</TD></TR>";
  if (type != 1) {
    html += "<TR><TD>&nbsp;Serial port</TD><TD>" +
            std::to_string(g_settings.readInt(section, "RotorComPort", 1)) +
            "</TD></TR><TR><TD>&nbsp;Serial Baud Rate</TD><TD>" +
            std::to_string(g_settings.readInt(section, "RotorBoudRate", 9600)) +
            "</TD></TR><TR><TD>&nbsp;Dome address</TD><TD>" +
            std::to_string(g_settings.readInt(section, "RotorAddress", 0)) + "</TD></TR>";
  }
}
