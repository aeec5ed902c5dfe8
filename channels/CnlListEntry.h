#pragma once
// A channel's row in the main window's channel list: name, address text, state text and a
// state number selecting an icon (1 running, 2 connecting or failed, 3 analog-specific).
//
// Owned by its channel. The setters may be called from any thread (channel run threads, the
// configuration server): the texts are kept here under m_lock and every change is forwarded
// to the installed CnlListSink, which must only queue it (the window paints on its own thread).
#include <cstdint>
#include <mutex>
#include <string>

// Implemented by the main window; absent (nullptr) when TelvGate runs headless or in tests.
class CnlListSink {
 public:
  virtual ~CnlListSink() = default;
  // The entry's full state after a change (id identifies the entry for the whole process).
  virtual void entryChanged(uint64_t id, int state, const std::string& text) = 0;
  virtual void entryRemoved(uint64_t id) = 0;
};

// Installs the sink (the main window at start-up; nullptr before it is destroyed).
void setCnlListSink(CnlListSink* sink);

class CnlListEntry {
 public:
  CnlListEntry();
  ~CnlListEntry();  // removes the row
  CnlListEntry(const CnlListEntry&) = delete;
  CnlListEntry& operator=(const CnlListEntry&) = delete;

  void setAll(int state, const std::string& name, const std::string& address,
              const std::string& stateText);
  void setState(int state);
  void setName(const std::string& name);
  void setAddress(const std::string& address);
  void setStateText(const std::string& stateText);
  // A note on the source ("no signal"), shown in brackets after the state text; while one is
  // set the row shows state 2 (failed). Empty: none.
  void setNote(const std::string& note);
  void remove();

  // Current values (tests and the headless status).
  int state() const;
  std::string name() const;
  std::string address() const;
  std::string stateText() const;
  std::string note() const;
  bool shown() const;  // true between the first setAll and remove
  // name + " (" + address + ") " + state text (+ " [" + note + "]"), each part that is not valid UTF-8 (a name
  // from an old settings file) converted from Latin-1.
  std::string text() const;

 private:
  void publishLocked();
  std::string textLocked() const;

  const uint64_t m_id;
  mutable std::mutex m_lock;
  // Guarded by m_lock.
  bool m_shown = false;
  int m_state = 0;
  std::string m_name, m_address, m_stateText, m_note;
};
