#pragma once
// The settings store: sections of typed entries, kept in the toolkit's registry
// (application "TelvGate", vendor "TELVORA", file ~/.foxrc/TELVORA/TelvGate).
//
// The toolkit's registry has no lock of its own while the configuration server, channel
// threads (in init) and the channel endpoint's set requests all read and write settings.
// Every member therefore takes m_lock, so any thread may call any member. Nothing in here
// logs, so the log's lock (always taken last) may be taken by callers while they hold
// nothing of ours.
//
// The in-memory registry is changed at once by writes; it reaches storage only through
// writeToStorage(), which the configuration submission calls.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace FX {
class FXRegistry;
}

class CSettings {
 public:
  CSettings();
  ~CSettings();
  CSettings(const CSettings&) = delete;
  CSettings& operator=(const CSettings&) = delete;

  // Drops everything in memory and reads the stored settings again ($HOME/.foxrc/...;
  // $FOXDIR names the folder of the system-wide files). Start-up calls it once.
  void load();
  // Drops everything in memory (tests).
  void clear();
  // Writes the whole registry to storage (atomically: temporary file, then rename).
  bool writeToStorage();

  // Reads return the default when the section or the key is missing, or when the stored
  // text cannot be read as the asked type (integers accept decimal and 0x hexadecimal).
  std::string readString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  int readInt(const std::string& section, const std::string& key, int def) const;
  unsigned readUnsigned(const std::string& section, const std::string& key, unsigned def) const;
  bool readBool(const std::string& section, const std::string& key, bool def) const;

  void writeString(const std::string& section, const std::string& key, const std::string& value);
  void writeInt(const std::string& section, const std::string& key, int value);
  void writeUnsigned(const std::string& section, const std::string& key, unsigned value);
  void writeBool(const std::string& section, const std::string& key, bool value);

  bool existingSection(const std::string& section) const;
  bool existingEntry(const std::string& section, const std::string& key) const;
  void deleteEntry(const std::string& section, const std::string& key);
  void deleteSection(const std::string& section);

  // All section names, sorted byte-wise, so start-up creates channels in a stable order.
  std::vector<std::string> sectionNames() const;
  // The entries of one section as (key, value text), sorted by key; empty when missing.
  std::vector<std::pair<std::string, std::string>> sectionEntries(const std::string& section) const;

 private:
  mutable std::mutex m_lock;
  std::unique_ptr<FX::FXRegistry> m_reg;  // guarded by m_lock
};

// The process-wide settings store.
extern CSettings g_settings;
