#include "channels/CnlListEntry.h"

#include <atomic>

#include "base/Utf8Text.h"

namespace {

std::mutex g_sinkLock;
CnlListSink* g_sink = nullptr;  // guarded by g_sinkLock
std::atomic<uint64_t> g_nextEntryId{1};

}  // namespace

void setCnlListSink(CnlListSink* sink) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_sink = sink;
}

CnlListEntry::CnlListEntry() : m_id(g_nextEntryId.fetch_add(1)) {}

CnlListEntry::~CnlListEntry() { remove(); }

// The row is created on first use by any setter, so a channel that only ever names itself
// (reconf) still shows up in the window.
void CnlListEntry::setAll(int state, const std::string& name, const std::string& address,
                          const std::string& stateText) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_state = state;
  m_name = name;
  m_address = address;
  m_stateText = stateText;
  m_shown = true;
  publishLocked();
}

void CnlListEntry::setState(int state) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_shown && m_state == state) return;
  m_state = state;
  m_shown = true;
  publishLocked();
}

void CnlListEntry::setName(const std::string& name) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_shown && m_name == name) return;
  m_name = name;
  m_shown = true;
  publishLocked();
}

void CnlListEntry::setAddress(const std::string& address) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_shown && m_address == address) return;
  m_address = address;
  m_shown = true;
  publishLocked();
}

void CnlListEntry::setStateText(const std::string& stateText) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_shown && m_stateText == stateText) return;
  m_stateText = stateText;
  m_shown = true;
  publishLocked();
}

void CnlListEntry::setNote(const std::string& note) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_note == note) return;
  m_note = note;
  if (m_shown) publishLocked();
}

void CnlListEntry::remove() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_shown) return;
  m_shown = false;
  std::lock_guard<std::mutex> sinkGuard(g_sinkLock);
  if (g_sink) g_sink->entryRemoved(m_id);
}

int CnlListEntry::state() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_state;
}

std::string CnlListEntry::name() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_name;
}

std::string CnlListEntry::address() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_address;
}

std::string CnlListEntry::stateText() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_stateText;
}

std::string CnlListEntry::note() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_note;
}

bool CnlListEntry::shown() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_shown;
}

std::string CnlListEntry::text() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return textLocked();
}

std::string CnlListEntry::textLocked() const {
  return toUtf8FromLatin1IfNeeded(m_name) + " (" + toUtf8FromLatin1IfNeeded(m_address) + ") " +
         toUtf8FromLatin1IfNeeded(m_stateText) + (m_note.empty() ? "" : " [" + m_note + "]");
}

// Lock order: the entry's lock, then the sink lock. The sink only queues the change.
void CnlListEntry::publishLocked() {
  std::string text = textLocked();
  std::lock_guard<std::mutex> sinkGuard(g_sinkLock);
  if (g_sink) g_sink->entryChanged(m_id, m_note.empty() ? m_state : 2, text);
}
