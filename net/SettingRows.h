#pragma once
// Rows of the System Settings form described once each: key, label, kind and default. Both
// the form rows and the submission step come from the description, so a setting is added by
// adding one line to its part's table.
//
// Configuration server thread only, like the rest of the form.
#include <map>
#include <string>

namespace settingrows {

enum class Kind { Port, Switch, Path, Address, Addresses };

struct Setting {
  const char* key;    // in section "System"; the form field is "sys_" + key
  const char* label;  // the row's label, also named by the messages
  Kind kind;
  const char* def;    // default as stored text ("1"/"0" for a switch)
};

// The value in use, as stored text (the default while none is stored).
std::string stored(const Setting& s);

// One labelled row of a two-column form table.
void row(const std::string& label, const std::string& control, std::string& out);

// The rows of settings [begin, end), each with the control its kind asks for.
void printRows(const Setting* begin, const Setting* end, std::string& out);

// Stores each changed value of [begin, end) found in the form with an "upd" paragraph, refuses
// a bad one with a "warn" paragraph. True when anything changed or was refused.
bool applyRows(const Setting* begin, const Setting* end, const std::map<std::string, std::string>& form,
               std::string& resp);

}  // namespace settingrows
