#pragma once
// A stored setting described once, by the part that owns it: its key in the channel's (or the
// System) section, which is also the suffix of its form field; its type and default; the
// limits a submitted value must keep; the label that names it on the form, in the messages of
// a submission and in the status table; and the control the form shows for it.
//
// The descriptions hold no markup. The configuration pages draw and check them (confserver/FormHtml.h
// draws a control, confserver/FormUpdate.h stores a submitted value and words its message); the
// runtime parts read them through readSetting() into the configuration values they apply.
//
// Adding a setting: one SettingDesc beside its part's others, a field in that part's config
// value filled from readSetting(), the row in that part's form and status, and (when it has a
// rule of its own) its check in that part's submission step.
#include <climits>
#include <string>
#include <vector>

enum class SettingType { Text, Int, Unsigned, Bool };

enum class SettingControl {
  Text,      // a text field
  Password,  // a password field
  Radio,     // one radio button per choice
  Select,    // a selection list of the choices
  DaysHours, // two text fields (days, hours) for a number of seconds
  None,      // not on the form
};

// What a submitted value must look like beyond its type (the System page's checks).
enum class SettingFormat {
  Any,       // any storable text
  Port,      // a port number, 0 to 65535
  IPv4,      // an IPv4 address, or empty
  IPv4List,  // IPv4 addresses separated by commas or spaces, kept comma-separated
};

// One choice of a radio group or selection list. value is what the browser submits (empty:
// the option has no value attribute, so the text itself is submitted); code is the number
// stored for it when the setting is a number.
struct SettingChoice {
  std::string value;
  std::string text;
  long code = 0;
};

struct SettingDesc {
  const char* key;
  SettingType type;
  const char* def;              // the default, as stored text ("0", "true", "PAL")
  long min = LONG_MIN;          // limits of a number, inclusive
  long max = LONG_MAX;
  const char* label = "";       // the setting's name in messages and status rows
  const char* formLabel = "";   // the form row's text (empty: label)
  SettingControl control = SettingControl::None;
  int widthPx = 0;              // width of the control (0: none given)
  int maxLength = 0;            // longest text a text field takes
  std::vector<SettingChoice> choices;
  const char* formDef = nullptr;  // what the form shows when nothing is stored (null: def)
  SettingFormat format = SettingFormat::Any;

  const char* rowLabel() const { return *formLabel ? formLabel : label; }
  // The choice submitted as value, or null.
  const SettingChoice* choiceByValue(const std::string& value) const;
  // The choice stored as code, or null.
  const SettingChoice* choiceByCode(long code) const;
};

// The one loader: a described setting as stored in section, or its default when missing or
// unreadable as its type. Numbers are not clamped here: each part applies its own limits,
// which differ (clamped, or refused and logged).
std::string readSettingText(const std::string& section, const SettingDesc& d);
int readSettingInt(const std::string& section, const SettingDesc& d);
unsigned readSettingUnsigned(const std::string& section, const SettingDesc& d);
bool readSettingBool(const std::string& section, const SettingDesc& d);
// The value the form shows: the stored text, or formDef (def) when nothing is stored.
std::string readSettingShown(const std::string& section, const SettingDesc& d);
// Whether a value is stored for the setting at all (a missing one always counts as changed).
bool settingStored(const std::string& section, const SettingDesc& d);
