#include "confserver/ConfSecurity.h"


#include "base/CSettings.h"
#include "base/SystemSettings.h"
#include "base/TextHelpers.h"
#include "confserver/SettingRows.h"
#include "confserver/SignedLinks.h"

namespace {

const settingrows::Rows kRows = {
    &syssettings::kTlsPort,
    &syssettings::kTlsCert,
    &syssettings::kTlsKey,
    &syssettings::kRedirectToTls,
    &syssettings::kPublicStatus,
    &syssettings::kTrustedProxies,
};

}  // namespace

void printSecurityForm(const std::string& fingerprint, std::string& out) {
  out += "<TABLE rules=none frame=void>\n<COLGROUP><COL width=300><COL width=400></COLGROUP>\n"
         "<TR><TH colspan=2>Secure access</TH></TR>\n";
  settingrows::printRows(kRows, out);
  settingrows::row("HTTPS certificate SHA-256",
                   fingerprint.empty() ? std::string("HTTPS is off") : "<CODE>" + html_escape(fingerprint) + "</CODE>",
                   out);
  // Not a submit button: pressing Enter in a field of the form must never revoke the links.
  settingrows::row("Signed links",
                   "<INPUT type=hidden name=sys_revokeLinks value=0><BUTTON type=button onclick=\"if(confirm("
                   "'Revoke every link given so far?')){this.form.sys_revokeLinks.value=1;this.form.submit();}\">"
                   "Revoke all links</BUTTON>",
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
  bool changed = false;
  auto revoke = form.find("sys_revokeLinks");
  if (revoke != form.end() && revoke->second == "1") {
    resp += links::revokeAll() ? "<P class=upd>Revoked all links: none of the links given so far opens anything.</P>"
                               : "<P class=warn>The links could not be revoked (no new secret).</P>";
    changed = true;
  }
  return settingrows::applyRows(kRows, form, resp) || changed;
}
