#pragma once
// The markup of the configuration forms and status tables, in one place: rows, labels, text
// fields, radio groups and selection lists, and the controls of described settings
// (base/SettingDesc.h). Pure functions; every value shown passes through html_escape here.
#include <string>

#include "base/SettingDesc.h"

// How one form table writes its controls. The tables of the form differ in small ways that
// browsers and scripts already rely on, so each keeps its own look.
struct FormLook {
  bool styleFirst = false;      // text fields: style="width" before maxlength
  bool selectIds = false;       // selection lists carry id = name
  bool radioIds = false;        // radio buttons carry id = name "_" value
  const char* radioGap = "&nbsp;";  // written after each radio button's text
};

namespace formhtml {

// <INPUT type=type [class=cls] name id maxlength style value> (the order as look says).
std::string input(const FormLook& look, const char* type, const std::string& name,
                  const std::string& value, int maxLength, int widthPx, const char* cls = nullptr);
std::string radio(const FormLook& look, const std::string& name, const std::string& value,
                  const std::string& text, bool checked);
// <OPTION [value] [selected]>text</OPTION>; an empty value writes no value attribute.
std::string option(const std::string& value, const std::string& text, bool selected);
std::string selectOpen(const FormLook& look, const std::string& name, int widthPx);
std::string labelFor(const std::string& id, const std::string& text);

// The control of a described setting named name (prefix + key). Text and password fields
// show value; radio groups and lists mark the choice chosen (null: none).
std::string textControl(const FormLook& look, const SettingDesc& d, const std::string& name,
                        const std::string& value, const char* cls = nullptr);
std::string radioControl(const FormLook& look, const SettingDesc& d, const std::string& name,
                         const SettingChoice* chosen);
std::string selectControl(const FormLook& look, const SettingDesc& d, const std::string& name,
                          const SettingChoice* chosen);

// Form rows: plain, or shaded with fixed cell widths.
std::string row(const std::string& label, const std::string& content);
std::string shadedRow(const char* background, const std::string& label, const std::string& content);
// A table holding one plain row, with columns of 200 and 500 pixels.
std::string singleRowTable(const std::string& label, const std::string& content);

// Status rows: the label in bold, or indented below a bold one.
std::string statusRow(const std::string& label, const std::string& value);
std::string statusSubRow(const std::string& label, const std::string& value);

}  // namespace formhtml
