#pragma once
// Rows of the System Settings form drawn and checked from the settings' descriptions: both
// the form rows and the submission step come from the description, so a setting is added by
// describing it once and naming it in its table's list.
//
// Configuration server thread only, like the rest of the form.
#include <initializer_list>
#include <map>
#include <string>

#include "base/SettingDesc.h"

namespace settingrows {

// A table's rows: System settings (base/SystemSettings.h) whose form field is "sys_" + key.
// A Bool is a selection of on and off; an Int or Text a text field of the description's
// width; the description's format says what a submitted value must look like.
using Rows = std::initializer_list<const SettingDesc*>;

// The value in use, as the form shows and compares it ("1"/"0" for a switch; the default
// while none is stored).
std::string stored(const SettingDesc& s);

// One labelled row of a two-column form table.
void row(const std::string& label, const std::string& control, std::string& out);

// The rows, each with the control its description asks for.
void printRows(Rows rows, std::string& out);

// Stores each changed value found in the form with an "upd" paragraph, refuses a bad one with
// a "warn" paragraph. True when anything changed or was refused.
bool applyRows(Rows rows, const std::map<std::string, std::string>& form, std::string& resp);

}  // namespace settingrows
