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
//
// The registry's file is line-based text that cannot keep every name and value: an empty
// section or key name even aborts the toolkit, and some others do not read back as written
// or damage the entries after them; a line longer than about 2000 characters is cut. Writes
// therefore refuse such names and values (nothing is stored, the write returns false and is
// counted in refusedWrites()), and reads, look-ups and deletes treat an empty name as missing.
// Callers that take names or values from a user check them first with usableName() and
// storableEntry() so they can say why.
#include <atomic>
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
  // Writes the whole registry to storage (atomically: temporary file, then rename). The file
  // holds passwords: its folder is made 0700 before and the file 0600 after the write (never
  // more than either had before).
  bool writeToStorage();
  // Path of the file writeToStorage() writes.
  static std::string storagePath();

  // True when a section or key name reads back from the file exactly as written: not empty,
  // no control character, no '[', ']' or '=', no blank at either end, not starting with '#'
  // or ';'.
  static bool usableName(const std::string& name);
  // True when the key is usable and the entry's line (key, '=', the value as the file writes
  // it: quoted, with escapes) stays within kMaxEntryText, and the value holds no NUL or DEL
  // (neither survives the file).
  static bool storableEntry(const std::string& key, const std::string& value);
  // Longest entry line, in characters, that the file keeps whole (measured: 1999, kept with
  // a margin).
  static constexpr size_t kMaxEntryText = 1990;
  // Number of writes refused so far (the configuration submission warns when it grew).
  unsigned refusedWrites() const { return m_refused.load(); }

  // Reads return the default when the section or the key is missing, or when the stored
  // text cannot be read as the asked type (integers accept decimal and 0x hexadecimal).
  std::string readString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  int readInt(const std::string& section, const std::string& key, int def) const;
  unsigned readUnsigned(const std::string& section, const std::string& key, unsigned def) const;
  bool readBool(const std::string& section, const std::string& key, bool def) const;

  // Writes return false, storing nothing, when the names or the value cannot be kept.
  bool writeString(const std::string& section, const std::string& key, const std::string& value);
  bool writeInt(const std::string& section, const std::string& key, int value);
  bool writeUnsigned(const std::string& section, const std::string& key, unsigned value);
  bool writeBool(const std::string& section, const std::string& key, bool value);

  bool existingSection(const std::string& section) const;
  bool existingEntry(const std::string& section, const std::string& key) const;
  void deleteEntry(const std::string& section, const std::string& key);
  void deleteSection(const std::string& section);

  // All section names, sorted byte-wise, so start-up creates channels in a stable order.
  std::vector<std::string> sectionNames() const;
  // The entries of one section as (key, value text), sorted by key; empty when missing.
  std::vector<std::pair<std::string, std::string>> sectionEntries(const std::string& section) const;

 private:
  bool refuse();

  std::atomic<unsigned> m_refused{0};
  mutable std::mutex m_lock;
  std::unique_ptr<FX::FXRegistry> m_reg;  // guarded by m_lock
};

// The process-wide settings store.
extern CSettings g_settings;
