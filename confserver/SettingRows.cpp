#include "confserver/SettingRows.h"

#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/TextHelpers.h"

namespace settingrows {
namespace {

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool normalised(const SettingDesc& s, const std::string& text, std::string* value, std::string* why) {
  const std::string t = trimmed(text);
  if (s.type == SettingType::Bool) {
    if (t != "0" && t != "1") return *why = "must be on or off", false;
    *value = t;
    return true;
  }
  switch (s.format) {
    case SettingFormat::Port: {
      long n = 0;
      bool digits = !t.empty() && t.size() <= 5;
      for (char c : t) digits = digits && c >= '0' && c <= '9';
      if (digits) n = std::stol(t);
      if (!digits || n > 65535) return *why = "must be a port number from 0 to 65535", false;
      *value = std::to_string(n);
      return true;
    }
    case SettingFormat::Any:
      *value = t;
      if (!CSettings::storableEntry(s.key, t)) return *why = "cannot be stored", false;
      return true;
    case SettingFormat::IPv4:
      if (!t.empty() && !is_valid_ip(t)) return *why = "must be an IPv4 address or empty", false;
      *value = t;
      return true;
    case SettingFormat::IPv4List: {
      // Kept as one comma-separated list of IPv4 addresses.
      std::string list;
      size_t start = 0;
      while (start <= t.size()) {
        const size_t end = t.find_first_of(", \t", start);
        const std::string item = t.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!item.empty()) {
          if (!is_valid_ip(item)) return *why = "must list IPv4 addresses", false;
          list += (list.empty() ? "" : ",") + item;
        }
        if (end == std::string::npos) break;
        start = end + 1;
      }
      *value = list;
      if (!CSettings::storableEntry(s.key, list)) return *why = "cannot be stored", false;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string stored(const SettingDesc& s) {
  if (s.type == SettingType::Bool) return readSettingBool(syssettings::kSection, s) ? "1" : "0";
  if (s.type == SettingType::Int) return std::to_string(readSettingInt(syssettings::kSection, s));
  return readSettingText(syssettings::kSection, s);
}

void row(const std::string& label, const std::string& control, std::string& out) {
  out += "<TR><TD><LABEL>" + label + "</LABEL></TD><TD>" + control + "</TD></TR>\n";
}

void printRows(Rows rows, std::string& out) {
  for (const SettingDesc* s : rows) {
    const std::string name = std::string("sys_") + s->key;
    const std::string value = stored(*s);
    std::string control;
    if (s->control == SettingControl::Select) {
      control = "<SELECT name=" + name + ">";
      for (const SettingChoice& c : s->choices)
        control += "<OPTION value=\"" + c.value + "\"" + (value == c.value ? " selected" : "") + ">" + c.text + "</OPTION>";
      control += "</SELECT>";
    } else {
      control = "<INPUT type=text name=" + name + " style=\"width:" + std::to_string(s->widthPx) +
                "px\" maxlength=" + std::to_string(s->maxLength) + " value=\"" + html_escape(value) + "\">";
    }
    row(s->label, control, out);
  }
}

bool applyRows(Rows rows, const std::map<std::string, std::string>& form, std::string& resp) {
  bool changed = false;
  for (const SettingDesc* s : rows) {
    auto it = form.find(std::string("sys_") + s->key);
    if (it == form.end()) continue;
    std::string value, why;
    if (!normalised(*s, it->second, &value, &why)) {
      resp += std::string("<P class=warn>The <EM>") + s->label + "</EM> parameter " + why + ".</P>";
      changed = true;
      continue;
    }
    // Compared with the value in use (the default while none is stored), as the port of the
    // configuration address is: sending the form unchanged changes nothing.
    if (value == stored(*s)) continue;
    const char* section = syssettings::kSection;
    const bool ok = s->type == SettingType::Bool  ? g_settings.writeBool(section, s->key, value == "1")
                    : s->type == SettingType::Int ? g_settings.writeInt(section, s->key, std::stoi(value))
                                                  : g_settings.writeString(section, s->key, value);
    if (!ok) continue;  // the submission warns about refused writes
    const std::string shown = s->type == SettingType::Bool ? (value == "1" ? "on" : "off") : html_escape(value);
    resp += std::string("<P class=upd>Updated the <EM>") + s->label + "</EM> value to <STRONG>" + shown +
            "</STRONG></P>";
    changed = true;
  }
  return changed;
}

}  // namespace settingrows
