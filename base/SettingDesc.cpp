#include "base/SettingDesc.h"

#include <cstdlib>

#include "base/CSettings.h"

const SettingChoice* SettingDesc::choiceByValue(const std::string& value) const {
  for (const SettingChoice& c : choices)
    if ((c.value.empty() ? c.text : c.value) == value) return &c;
  return nullptr;
}

const SettingChoice* SettingDesc::choiceByCode(long code) const {
  for (const SettingChoice& c : choices)
    if (c.code == code) return &c;
  return nullptr;
}

std::string readSettingText(const std::string& section, const SettingDesc& d) {
  return g_settings.readString(section, d.key, d.def);
}

int readSettingInt(const std::string& section, const SettingDesc& d) {
  return g_settings.readInt(section, d.key, int(std::strtol(d.def, nullptr, 10)));
}

unsigned readSettingUnsigned(const std::string& section, const SettingDesc& d) {
  return g_settings.readUnsigned(section, d.key, unsigned(std::strtoul(d.def, nullptr, 10)));
}

bool readSettingBool(const std::string& section, const SettingDesc& d) {
  return g_settings.readBool(section, d.key, std::string(d.def) == "true");
}

std::string readSettingShown(const std::string& section, const SettingDesc& d) {
  return g_settings.readString(section, d.key, d.formDef ? d.formDef : d.def);
}

bool settingStored(const std::string& section, const SettingDesc& d) {
  return g_settings.existingEntry(section, d.key);
}
