#include "base/CSettings.h"

#include <fx.h>

#include <algorithm>

#include "platform/Files.h"

CSettings g_settings;

namespace {

// Characters the file needs for one value byte: bytes outside printable ASCII become \xHH
// (tab, CR and LF take only two, counted as four to stay on the safe side), quotes and
// backslashes are escaped.
size_t writtenValueLength(const std::string& value) {
  size_t n = 2;  // the quotes around a value that needs them
  for (unsigned char c : value) {
    if (c < 0x20 || c >= 0x7f) n += 4;
    else if (c == '"' || c == '\\' || c == '\'') n += 2;
    else n += 1;
  }
  return n;
}

// The toolkit takes names as C strings and aborts the process on an empty one: a name that is
// empty, or becomes empty at a NUL byte ("sys_login_%00" from a form), never reaches it.
bool unnamed(const std::string& name) { return name.empty() || name.find('\0') != std::string::npos; }

}  // namespace

bool CSettings::usableName(const std::string& name) {
  if (name.empty() || name.front() == ' ' || name.back() == ' ') return false;
  if (name.front() == '#' || name.front() == ';') return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f || c == '[' || c == ']' || c == '=') return false;
  return true;
}

bool CSettings::storableEntry(const std::string& key, const std::string& value) {
  if (!usableName(key)) return false;
  if (value.find('\0') != std::string::npos || value.find('\x7f') != std::string::npos) return false;
  return key.size() + 1 + writtenValueLength(value) <= kMaxEntryText;
}

bool CSettings::refuse() {
  m_refused.fetch_add(1);
  return false;
}

std::string CSettings::storagePath() {
  return std::string(FX::FXSystem::getHomeDirectory().text()) + "/.foxrc/TELVORA/TelvGate";
}

CSettings::CSettings() : m_reg(new FX::FXRegistry("TelvGate", "TELVORA")) {}

CSettings::~CSettings() = default;

void CSettings::load() {
  std::lock_guard<std::mutex> g(m_lock);
  m_reg.reset(new FX::FXRegistry("TelvGate", "TELVORA"));
  m_reg->read();
}

void CSettings::clear() {
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->clear();
}

bool CSettings::writeToStorage() {
  std::lock_guard<std::mutex> g(m_lock);
  // The toolkit writes a temporary file (mode from the umask) and renames it: an owner-only
  // folder keeps the passwords unreadable to others even in that moment.
  const std::string file = storagePath();
  const std::string vendorDir = file.substr(0, file.rfind('/'));
  const std::string foxDir = vendorDir.substr(0, vendorDir.rfind('/'));
  platform::makeOwnerOnlyDir(foxDir, false);  // shared with other programs: only created here
  if (!platform::makeOwnerOnlyDir(vendorDir)) return false;
  // The toolkit replaces the file: what the owner had taken away from it is taken away again.
  const int before = platform::fileMode(file);
  // The registry only writes when it was modified; force it so a submission always stores.
  m_reg->setModified(true);
  if (m_reg->write() == 0) return false;
  return platform::makeOwnerOnlyFile(file, before);
}

std::string CSettings::readString(const std::string& section, const std::string& key,
                                  const std::string& def) const {
  if (unnamed(section) || unnamed(key)) return def;
  std::lock_guard<std::mutex> g(m_lock);
  const FX::FXchar* v = m_reg->readStringEntry(section.c_str(), key.c_str(), nullptr);
  return v ? std::string(v) : def;
}

int CSettings::readInt(const std::string& section, const std::string& key, int def) const {
  if (unnamed(section) || unnamed(key)) return def;
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->readIntEntry(section.c_str(), key.c_str(), def);
}

unsigned CSettings::readUnsigned(const std::string& section, const std::string& key,
                                 unsigned def) const {
  if (unnamed(section) || unnamed(key)) return def;
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->readUnsignedEntry(section.c_str(), key.c_str(), def);
}

bool CSettings::readBool(const std::string& section, const std::string& key, bool def) const {
  if (unnamed(section) || unnamed(key)) return def;
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->readBoolEntry(section.c_str(), key.c_str(), def ? TRUE : FALSE) != 0;
}

bool CSettings::writeString(const std::string& section, const std::string& key,
                            const std::string& value) {
  if (!usableName(section) || section.size() > kMaxEntryText || !storableEntry(key, value))
    return refuse();
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->writeStringEntry(section.c_str(), key.c_str(), value.c_str()) != 0;
}

bool CSettings::writeInt(const std::string& section, const std::string& key, int value) {
  if (!usableName(section) || section.size() > kMaxEntryText || !storableEntry(key, "0"))
    return refuse();
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->writeIntEntry(section.c_str(), key.c_str(), value) != 0;
}

bool CSettings::writeUnsigned(const std::string& section, const std::string& key, unsigned value) {
  if (!usableName(section) || section.size() > kMaxEntryText || !storableEntry(key, "0"))
    return refuse();
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->writeUnsignedEntry(section.c_str(), key.c_str(), value) != 0;
}

bool CSettings::writeBool(const std::string& section, const std::string& key, bool value) {
  if (!usableName(section) || section.size() > kMaxEntryText || !storableEntry(key, "0"))
    return refuse();
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->writeBoolEntry(section.c_str(), key.c_str(), value ? TRUE : FALSE) != 0;
}

bool CSettings::existingSection(const std::string& section) const {
  if (unnamed(section)) return false;
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->existingSection(section.c_str()) != 0;
}

bool CSettings::existingEntry(const std::string& section, const std::string& key) const {
  if (unnamed(section) || unnamed(key)) return false;
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->existingEntry(section.c_str(), key.c_str()) != 0;
}

void CSettings::deleteEntry(const std::string& section, const std::string& key) {
  if (unnamed(section) || unnamed(key)) return;
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->deleteEntry(section.c_str(), key.c_str());
}

void CSettings::deleteSection(const std::string& section) {
  if (unnamed(section)) return;
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->deleteSection(section.c_str());
}

std::vector<std::string> CSettings::sectionNames() const {
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> g(m_lock);
    for (FX::FXint s = m_reg->first(); s < m_reg->size(); s = m_reg->next(s)) {
      names.emplace_back(m_reg->key(s));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::pair<std::string, std::string>> CSettings::sectionEntries(
    const std::string& section) const {
  std::vector<std::pair<std::string, std::string>> out;
  {
    if (unnamed(section)) return out;
    std::lock_guard<std::mutex> g(m_lock);
    FX::FXStringDict* d = m_reg->find(section.c_str());
    if (!d) return out;
    for (FX::FXint e = d->first(); e < d->size(); e = d->next(e)) {
      out.emplace_back(d->key(e), d->data(e));
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}
