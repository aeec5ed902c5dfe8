#include "confserver/FormHtml.h"

#include "base/TextHelpers.h"

namespace formhtml {

std::string input(const FormLook& look, const char* type, const std::string& name,
                  const std::string& value, int maxLength, int widthPx, const char* cls) {
  std::string s = std::string("<INPUT type=") + type;
  if (cls) s += std::string(" class=") + cls;
  s += " name=\"" + name + "\" id=\"" + name + "\"";
  const std::string length = " maxlength=" + std::to_string(maxLength);
  const std::string width = widthPx > 0 ? " style=\"width:" + std::to_string(widthPx) + "px\"" : "";
  s += look.styleFirst ? width + length : length + width;
  return s + " value=\"" + html_escape(value) + "\">";
}

std::string radio(const FormLook& look, const std::string& name, const std::string& value,
                  const std::string& text, bool checked) {
  std::string s = "<INPUT type=radio name=\"" + name + "\"";
  if (look.radioIds) s += " id=\"" + name + "_" + value + "\"";
  return s + " value=\"" + value + "\"" + (checked ? " checked" : "") + ">" + text + look.radioGap;
}

std::string option(const std::string& value, const std::string& text, bool selected) {
  std::string s = "<OPTION";
  if (!value.empty()) s += " value=\"" + value + "\"";
  return s + (selected ? " selected" : "") + ">" + text + "</OPTION>";
}

std::string selectOpen(const FormLook& look, const std::string& name, int widthPx) {
  std::string s = "<SELECT name=\"" + name + "\"";
  if (look.selectIds) s += " id=\"" + name + "\"";
  if (widthPx > 0) s += " style=\"width:" + std::to_string(widthPx) + "px\"";
  return s + ">";
}

std::string labelFor(const std::string& id, const std::string& text) {
  return "<LABEL for=\"" + id + "\">" + text + "</LABEL>";
}

std::string textControl(const FormLook& look, const SettingDesc& d, const std::string& name,
                        const std::string& value, const char* cls) {
  return input(look, d.control == SettingControl::Password ? "password" : "text", name, value,
               d.maxLength, d.widthPx, cls);
}

std::string radioControl(const FormLook& look, const SettingDesc& d, const std::string& name,
                         const SettingChoice* chosen) {
  std::string s;
  for (const SettingChoice& c : d.choices) s += radio(look, name, c.value, c.text, &c == chosen);
  return s;
}

std::string selectControl(const FormLook& look, const SettingDesc& d, const std::string& name,
                          const SettingChoice* chosen) {
  std::string s = selectOpen(look, name, d.widthPx);
  for (const SettingChoice& c : d.choices) s += option(c.value, c.text, &c == chosen);
  return s + "</SELECT>";
}

std::string row(const std::string& label, const std::string& content) {
  return "<TR><TD>" + label + "</TD><TD>" + content + "</TD></TR>\n";
}

std::string shadedRow(const char* background, const std::string& label, const std::string& content) {
  return "<TR style=\"background-color:" + std::string(background) + "\"><TD width=200>" + label +
         "</TD><TD width=500>" + content + "</TD></TR>\n";
}

std::string singleRowTable(const std::string& label, const std::string& content) {
  return "<TABLE rules=none frame=void><COLGROUP><COL width=200><COL width=500></COLGROUP>\n" +
         row(label, content) + "</TABLE>\n";
}

std::string statusRow(const std::string& label, const std::string& value) {
  return "<TR><TD><STRONG>" + label + "</STRONG></TD><TD>" + value + "</TD></TR>";
}

std::string statusSubRow(const std::string& label, const std::string& value) {
  return "<TR><TD>&nbsp;" + label + "</TD><TD>" + value + "</TD></TR>";
}

}  // namespace formhtml
