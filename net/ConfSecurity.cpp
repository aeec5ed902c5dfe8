#include "net/ConfSecurity.h"

#include "app/CSettings.h"
#include "net/SignedLinks.h"
#include "net/TextHelpers.h"

namespace {

enum class Kind { Port, Switch, Path, Addresses };

struct Setting {
  const char* key;    // in section "System"; the form field is "sys_" + key
  const char* label;  // the row's label, also named by the messages
  Kind kind;
  const char* def;    // default as stored text ("1"/"0" for a switch)
};

const Setting kSettings[] = {
    {"ConfTLSPort", "HTTPS port (0: off)", Kind::Port, "0"},
    {"ConfTLSCert", "HTTPS certificate file (PEM; empty: self-signed)", Kind::Path, ""},
    {"ConfTLSKey", "HTTPS key file (PEM)", Kind::Path, ""},
    {"ConfRedirectToTLS", "Redirect HTTP pages to HTTPS", Kind::Switch, "0"},
    {"PublicStatus", "Status and log without login", Kind::Switch, "1"},
    {"TrustedProxies", "Trusted proxies (X-Forwarded-For)", Kind::Addresses, ""},
};

std::string stored(const Setting& s) {
  if (s.kind == Kind::Switch) return g_settings.readBool("System", s.key, s.def[0] == '1') ? "1" : "0";
  if (s.kind == Kind::Port) return std::to_string(g_settings.readInt("System", s.key, 0));
  return g_settings.readString("System", s.key, s.def);
}

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The value to store for a submitted text, or false with the reason for the warning.
bool normalised(const Setting& s, const std::string& text, std::string* value, std::string* why) {
  const std::string t = trimmed(text);
  switch (s.kind) {
    case Kind::Port: {
      long n = 0;
      bool digits = !t.empty() && t.size() <= 5;
      for (char c : t) digits = digits && c >= '0' && c <= '9';
      if (digits) n = std::stol(t);
      if (!digits || n > 65535) return *why = "must be a port number from 0 to 65535", false;
      *value = std::to_string(n);
      return true;
    }
    case Kind::Switch:
      if (t != "0" && t != "1") return *why = "must be on or off", false;
      *value = t;
      return true;
    case Kind::Path:
      *value = t;
      if (!CSettings::storableEntry(s.key, t)) return *why = "cannot be stored", false;
      return true;
    case Kind::Addresses: {
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

void row(const std::string& label, const std::string& control, std::string& out) {
  out += "<TR><TD><LABEL>" + label + "</LABEL></TD><TD>" + control + "</TD></TR>\n";
}

}  // namespace

void printSecurityForm(const std::string& fingerprint, std::string& out) {
  out += "<TABLE rules=none frame=void>\n<COLGROUP><COL width=300><COL width=400></COLGROUP>\n"
         "<TR><TH colspan=2>Secure access</TH></TR>\n";
  for (const Setting& s : kSettings) {
    const std::string name = std::string("sys_") + s.key;
    const std::string value = stored(s);
    std::string control;
    if (s.kind == Kind::Switch) {
      control = "<SELECT name=" + name + "><OPTION value=\"1\"" + (value == "1" ? " selected" : "") +
                ">on</OPTION><OPTION value=\"0\"" + (value == "0" ? " selected" : "") + ">off</OPTION></SELECT>";
    } else {
      control = "<INPUT type=text name=" + name + " style=\"width:" +
                (s.kind == Kind::Port ? "50px\" maxlength=5" : "390px\" maxlength=250") + " value=\"" +
                html_escape(value) + "\">";
    }
    row(s.label, control, out);
  }
  row("HTTPS certificate SHA-256",
      fingerprint.empty() ? std::string("HTTPS is off") : "<CODE>" + html_escape(fingerprint) + "</CODE>", out);
  // Not a submit button: pressing Enter in a field of the form must never revoke the links.
  row("Signed links",
      "<INPUT type=hidden name=sys_revokeLinks value=0><BUTTON type=button onclick=\"if(confirm('Revoke "
      "every link given so far?')){this.form.sys_revokeLinks.value=1;this.form.submit();}\">Revoke all "
      "links</BUTTON>",
      out);
  out += "<TR><TD><LABEL>Viewers</LABEL></TD><TD>\n<TABLE frame=box rules=rows>\n"
         "<TR bgcolor=\"#cccccc\"><TH>Viewers</TH><TH>Remove</TH></TR>\n";
  for (const auto& entry : g_settings.sectionEntries("Viewers")) {
    const std::string login = html_escape(entry.first);
    out += "<TR><TD><LABEL class=login>" + login + "</LABEL></TD>"
           "<TD><INPUT type=checkbox name=\"sys_viewer_" + login + "\"></TD></TR>\n";
  }
  out += "</TABLE></TD></TR>\n<TR><TH colspan=2>Add a new viewer</TH></TR>\n";
  row("New login", "<INPUT type=text class=login name=sys_newViewer maxlength=15>", out);
  row("New password", "<INPUT type=password name=sys_newViewerPasswd1>", out);
  row("Retype new password", "<INPUT type=password name=sys_newViewerPasswd2>", out);
  out += "</TABLE>\n";
}

bool applySecuritySettings(const std::map<std::string, std::string>& form, std::string& resp) {
  bool changed = false;
  auto revoke = form.find("sys_revokeLinks");
  if (revoke != form.end() && revoke->second == "1") {
    resp += links::revokeAll() ? "<P class=upd>Revoked all links: none of the links given so far opens anything.</P>"
                               : "<P class=warn>The links could not be revoked (no new secret).</P>";
    changed = true;
  }
  for (const Setting& s : kSettings) {
    auto it = form.find(std::string("sys_") + s.key);
    if (it == form.end()) continue;
    std::string value, why;
    if (!normalised(s, it->second, &value, &why)) {
      resp += std::string("<P class=warn>The <EM>") + s.label + "</EM> parameter " + why + ".</P>";
      changed = true;
      continue;
    }
    // Compared with the value in use (the default while none is stored), as the port of the
    // configuration address is: sending the form unchanged changes nothing.
    if (value == stored(s)) continue;
    const bool ok = s.kind == Kind::Switch  ? g_settings.writeBool("System", s.key, value == "1")
                    : s.kind == Kind::Port  ? g_settings.writeInt("System", s.key, std::stoi(value))
                                            : g_settings.writeString("System", s.key, value);
    if (!ok) continue;  // the submission warns about refused writes
    const std::string shown = s.kind == Kind::Switch ? (value == "1" ? "on" : "off") : html_escape(value);
    resp += std::string("<P class=upd>Updated the <EM>") + s.label + "</EM> value to <STRONG>" + shown +
            "</STRONG></P>";
    changed = true;
  }
  return changed;
}
