#include "app/CSettings.h"

#include <fx.h>

#include <algorithm>

CSettings g_settings;

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
  // The registry only writes when it was modified; force it so a submission always stores.
  m_reg->setModified(true);
  return m_reg->write() != 0;
}

std::string CSettings::readString(const std::string& section, const std::string& key,
                                  const std::string& def) const {
  std::lock_guard<std::mutex> g(m_lock);
  const FX::FXchar* v = m_reg->readStringEntry(section.c_str(), key.c_str(), nullptr);
  return v ? std::string(v) : def;
}

int CSettings::readInt(const std::string& section, const std::string& key, int def) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->readIntEntry(section.c_str(), key.c_str(), def);
}

unsigned CSettings::readUnsigned(const std::string& section, const std::string& key,
                                 unsigned def) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->readUnsignedEntry(section.c_str(), key.c_str(), def);
}

bool CSettings::readBool(const std::string& section, const std::string& key, bool def) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->readBoolEntry(section.c_str(), key.c_str(), def ? TRUE : FALSE) != 0;
}

void CSettings::writeString(const std::string& section, const std::string& key,
                            const std::string& value) {
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->writeStringEntry(section.c_str(), key.c_str(), value.c_str());
}

void CSettings::writeInt(const std::string& section, const std::string& key, int value) {
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->writeIntEntry(section.c_str(), key.c_str(), value);
}

void CSettings::writeUnsigned(const std::string& section, const std::string& key, unsigned value) {
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->writeUnsignedEntry(section.c_str(), key.c_str(), value);
}

void CSettings::writeBool(const std::string& section, const std::string& key, bool value) {
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->writeBoolEntry(section.c_str(), key.c_str(), value ? TRUE : FALSE);
}

bool CSettings::existingSection(const std::string& section) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->existingSection(section.c_str()) != 0;
}

bool CSettings::existingEntry(const std::string& section, const std::string& key) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_reg->existingEntry(section.c_str(), key.c_str()) != 0;
}

void CSettings::deleteEntry(const std::string& section, const std::string& key) {
  std::lock_guard<std::mutex> g(m_lock);
  m_reg->deleteEntry(section.c_str(), key.c_str());
}

void CSettings::deleteSection(const std::string& section) {
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
