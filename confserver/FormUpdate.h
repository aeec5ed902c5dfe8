#pragma once
// The validator and writer of a submitted form, shared by every part: it finds a described
// setting's field (prefix + key), tells whether a value differs from the stored one (a missing
// stored value always counts as changed), stores it, and writes the "upd" and "warn"
// paragraphs in the words the pages have always used. Each part's submission step
// (confserver/*Form.cpp) uses it for its own rules. Configuration server's thread.
#include <cstdint>
#include <map>
#include <string>

#include "base/SettingDesc.h"

using FormFields = std::map<std::string, std::string>;

class FormUpdate {
 public:
  // html receives the messages and must outlive this object.
  FormUpdate(const FormFields& fields, std::string prefix, std::string section, std::string& html);

  const std::string& prefix() const { return m_prefix; }
  const std::string& section() const { return m_section; }
  std::string& html() { return m_html; }

  // The submitted value of the setting (or of prefix + name), null when not submitted.
  const std::string* field(const SettingDesc& d) const { return field(d.key); }
  const std::string* field(const std::string& name) const;

  bool differs(const SettingDesc& d, const std::string& text) const;
  bool differs(const SettingDesc& d, long number) const;
  bool differs(const SettingDesc& d, bool on) const;
  void store(const SettingDesc& d, const std::string& text);
  void store(const SettingDesc& d, long number);
  void store(const SettingDesc& d, bool on);

  // "<P class=upd>Updated the <EM>label</EM> value to <STRONG>shown</STRONG></P>".
  void updated(const SettingDesc& d, const std::string& shown);
  // "<P class=warn>The <EM>label</EM> value must be a positive numeric value.</P>".
  void warnNotNumeric(const SettingDesc& d);

  // A described on/off setting (choices "on" and "off"): a changed value is stored with the
  // message "... value to <STRONG>on</STRONG>", any other text refused with "... value must be
  // on or off.". True when it stored a change.
  bool onOffStep(const SettingDesc& d);

 private:
  const FormFields& m_fields;
  const std::string m_prefix;
  const std::string m_section;
  std::string& m_html;
};

// The ways the form's numbers have always been read; each field keeps its own.
namespace formnum {
// Decimal digits only (no sign, blank or trailing text), at most 10 of them, value <= max.
bool digits(const std::string& text, unsigned long max, unsigned long* out);
// Leading blanks and a "+" allowed, then digits; trailing text ignored; saturates at 64 bits.
bool leadingUnsigned(const std::string& text, uint64_t* out);
// As leadingUnsigned with an optional "-" (negative tells it was there).
bool leadingSigned(const std::string& text, uint64_t* magnitude, bool* negative);
// strtol of the whole text (sign and leading blanks allowed, nothing after the number).
bool wholeLong(const std::string& text, long* out);
// strtol: leading blanks and a sign allowed, trailing text ignored, no overflow.
bool prefixLong(const std::string& text, long* out);
}  // namespace formnum
