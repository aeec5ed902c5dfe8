#include "net/ConfSecurity.h"

#include <iterator>

#include "app/CSettings.h"
#include "net/SettingRows.h"
#include "net/TextHelpers.h"

namespace {

using settingrows::Kind;
using settingrows::Setting;

const Setting kSettings[] = {
    {"ConfTLSPort", "HTTPS port (0: off)", Kind::Port, "0"},
    {"ConfTLSCert", "HTTPS certificate file (PEM; empty: self-signed)", Kind::Path, ""},
    {"ConfTLSKey", "HTTPS key file (PEM)", Kind::Path, ""},
    {"ConfRedirectToTLS", "Redirect HTTP pages to HTTPS", Kind::Switch, "0"},
    {"PublicStatus", "Status and log without login", Kind::Switch, "1"},
    {"TrustedProxies", "Trusted proxies (X-Forwarded-For)", Kind::Addresses, ""},
};

}  // namespace

void printSecurityForm(const std::string& fingerprint, std::string& out) {
  out += "<TABLE rules=none frame=void>\n<COLGROUP><COL width=300><COL width=400></COLGROUP>\n"
         "<TR><TH colspan=2>Secure access</TH></TR>\n";
  settingrows::printRows(std::begin(kSettings), std::end(kSettings), out);
  settingrows::row("HTTPS certificate SHA-256",
                   fingerprint.empty() ? std::string("HTTPS is off") : "<CODE>" + html_escape(fingerprint) + "</CODE>",
                   out);
  out += "<TR><TD><LABEL>Viewers</LABEL></TD><TD>\n<TABLE frame=box rules=rows>\n"
         "<TR bgcolor=\"#cccccc\"><TH>Viewers</TH><TH>Remove</TH></TR>\n";
  for (const auto& entry : g_settings.sectionEntries("Viewers")) {
    const std::string login = html_escape(entry.first);
    out += "<TR><TD><LABEL class=login>" + login + "</LABEL></TD>"
           "<TD><INPUT type=checkbox name=\"sys_viewer_" + login + "\"></TD></TR>\n";
  }
  out += "</TABLE></TD></TR>\n<TR><TH colspan=2>Add a new viewer</TH></TR>\n";
  settingrows::row("New login", "<INPUT type=text class=login name=sys_newViewer maxlength=15>", out);
  settingrows::row("New password", "<INPUT type=password name=sys_newViewerPasswd1>", out);
  settingrows::row("Retype new password", "<INPUT type=password name=sys_newViewerPasswd2>", out);
  out += "</TABLE>\n";
}

bool applySecuritySettings(const std::map<std::string, std::string>& form, std::string& resp) {
  return settingrows::applyRows(std::begin(kSettings), std::end(kSettings), form, resp);
}
