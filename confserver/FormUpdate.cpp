#include "confserver/FormUpdate.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/CSettings.h"

FormUpdate::FormUpdate(const FormFields& fields, std::string prefix, std::string section,
                       std::string& html)
    : m_fields(fields), m_prefix(std::move(prefix)), m_section(std::move(section)), m_html(html) {}

const std::string* FormUpdate::field(const std::string& name) const {
  auto it = m_fields.find(m_prefix + name);
  return it == m_fields.end() ? nullptr : &it->second;
}

bool FormUpdate::differs(const SettingDesc& d, const std::string& text) const {
  return !g_settings.existingEntry(m_section, d.key) ||
         g_settings.readString(m_section, d.key, "") != text;
}

bool FormUpdate::differs(const SettingDesc& d, long number) const {
  if (!g_settings.existingEntry(m_section, d.key)) return true;
  if (d.type == SettingType::Unsigned) return g_settings.readUnsigned(m_section, d.key, 0) != number;
  return g_settings.readInt(m_section, d.key, int(number)) != number;
}

bool FormUpdate::differs(const SettingDesc& d, bool on) const {
  return !g_settings.existingEntry(m_section, d.key) || g_settings.readBool(m_section, d.key, !on) != on;
}

void FormUpdate::store(const SettingDesc& d, const std::string& text) {
  g_settings.writeString(m_section, d.key, text);
}

void FormUpdate::store(const SettingDesc& d, long number) {
  if (d.type == SettingType::Unsigned)
    g_settings.writeUnsigned(m_section, d.key, unsigned(number));
  else
    g_settings.writeInt(m_section, d.key, int(number));
}

void FormUpdate::store(const SettingDesc& d, bool on) { g_settings.writeBool(m_section, d.key, on); }

void FormUpdate::updated(const SettingDesc& d, const std::string& shown) {
  m_html += std::string("<P class=upd>Updated the <EM>") + d.label + "</EM> value to <STRONG>" + shown +
            "</STRONG></P>";
}

void FormUpdate::warnNotNumeric(const SettingDesc& d) {
  m_html += std::string("<P class=warn>The <EM>") + d.label + "</EM> value must be a positive numeric value.</P>";
}

bool FormUpdate::onOffStep(const SettingDesc& d) {
  const std::string* v = field(d);
  if (!v) return false;
  if (*v != "on" && *v != "off") {
    m_html += std::string("<P class=warn>The <EM>") + d.label + "</EM> value must be on or off.</P>";
    return false;
  }
  const bool on = *v == "on";
  if (!differs(d, on)) return false;
  store(d, on);
  updated(d, *v);
  return true;
}

namespace formnum {

bool digits(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > max) return false;
  *out = static_cast<unsigned long>(v);
  return true;
}

bool leadingUnsigned(const std::string& text, uint64_t* out) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned d = unsigned(text[i] - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  *out = v;
  return true;
}

bool leadingSigned(const std::string& text, uint64_t* magnitude, bool* negative) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  *negative = i < text.size() && text[i] == '-';
  return leadingUnsigned(*negative ? text.substr(i + 1) : text.substr(i), magnitude);
}

bool wholeLong(const std::string& text, long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *out = v;
  return true;
}

bool prefixLong(const std::string& text, long* out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE) return false;
  *out = v;
  return true;
}

}  // namespace formnum
