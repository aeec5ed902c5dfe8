#include "confserver/ConfPages.h"

#include <vector>

#include "base/CHTTPSocket.h"
#include "base/CSettings.h"
#include "base/ConfAnswer.h"
#include "base/SystemSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/LiveChannels.h"
#include "confserver/CLstConfThread.h"
#include "confserver/ChannelForms.h"
#include "confserver/ConfAuth.h"
#include "confserver/ConfSecurity.h"
#include "confserver/ConfServices.h"
#include "confserver/StatusPage.h"
#include "confserver/TlsPictures.h"
#include "endpoint/IPChannelFactory.h"

namespace {

struct NewChannelKind {
  const char* value;   // the chooser's option value ("cnl")
  const char* label;   // the option's text
  const char* vendor;  // the heading's vendor name
  int code;            // channel type code
};

// In the chooser's order.
const NewChannelKind kNewChannelKinds[] = {
    {"newAxis", "New Axis IP", "Axis", 1},
    {"newLilin", "New Merit Lilin IP", "Merit Lilin", 2},
    {"newAsip", "New Asip IP", "Asip", 3},
    {"newToshiba", "New Toshiba IP", "Toshiba", 4},
    {"newSony", "New Sony IP", "Sony", 5},
    {"newPanasonic", "New Panasonic IP", "Panasonic", 6},
    {"newVivotec", "New Vivotec IP", "Vivotec", 7},
    {"newHikvision", "New Hikvision IP", "Hikvision", 8},
    {"newGrandstream", "New GrandStream IP", "GrandStream", 9},
};

struct ChannelGroup {
  int code;  // -1: every code outside 0..9
  const char* caption;
};

// The left column's fixed group order (Asip and Toshiba come before Merit Lilin).
const ChannelGroup kChannelGroups[] = {
    {0, "<A class=ancnl>Falcon channels:</A><BR>"},
    {1, "<A class=ipcnl>Axis channels:</A><BR>"},
    {3, "<A class=ipcnl>Asip channels:</A><BR>"},
    {4, "<A class=ipcnl>Toshiba channels:</A><BR>"},
    {2, "<A class=ipcnl>Merit Lilin channels:</A><BR>"},
    {5, "<A class=ipcnl>Sony channels:</A><BR>"},
    {6, "<A class=ipcnl>Panasonic channels:</A><BR>"},
    {7, "<A class=ipcnl>Vivotec channels:</A><BR>"},
    {8, "<A class=ipcnl>Hikvision channels:</A><BR>"},
    {9, "<A class=ipcnl>GrandStream channels:</A><BR>"},
    {-1, "<A class=ukcnl>unknown channels ???:</A><BR>"},
};

const char kStyleSheet[] =
    "<STYLE type=\"text/css\">\n"
    "BODY { background-color: #f0f0ff; background-image: url(/img/TELVORA_logo.png);"
    " background-repeat: no-repeat; background-attachment: fixed;"
    " background-position: top right; }\n"
    "SPAN.cnl { color: maroon; font-family: monospace; }\n"
    "SPAN.button { font-family: monospace; border: thin outset grey; background-color: #eeeeee; }\n"
    "A.innerLink { font-family: monospace; font-size: 10pt; }\n"
    "A.selLink { font-family: monospace; font-style: italic; font-size: 12pt;"
    " background-color: #aac5ff; }\n"
    "A.ecnl, A.ncnl { font-family: monospace; font-size: 14pt; background-color: #cacaca; }\n"
    "A.ancnl, A.ipcnl, A.ukcnl { font-family: monospace; font-size: 13pt;"
    " background-color: #a2dc74; }\n"
    "LABEL { line-height: 1.8; }\n"
    "LABEL.login, INPUT.login { font-family: monospace; font-size: 12pt; }\n"
    "P.note { font-style: italic; font-size: 12pt; color: green; }\n"
    "P.warn { font-weight: normal; font-size: 10pt; background-color: #ebe896; }\n"
    "P.upd { font-weight: normal; font-size: 10pt; color: black; }\n"
    "</STYLE>\n";

std::string channelTitle(CVideoCnl* c) {
  std::string name = c->name();
  if (!name.empty()) return html_escape(name);
  return "&lt;" + html_escape(c->sectionName()) + "&gt;&nbsp;";
}

void appendNewChannelForm(const NewChannelKind& kind, std::string& out) {
  out += "<BR><H2>&nbsp;Fill in to add a new ";
  out += kind.vendor;
  out += " IP channel</H2><BR>\n<INPUT type=hidden name=newCnl value=\"";
  out += std::to_string(kind.code);
  out += "\">\n";
  // Drawn from the stored defaults; the fields carry the new-channel key until the
  // submission renames them to the real index.
  newChannelForm(kind.code, newChannelFieldPrefix(kind.code), out);
}

void appendChannelForm(CVideoCnl* c, bool firefox, const CNetAddr& serverAddr, std::string& out) {
  out += "<H2><IMG width=200 src=\"";
  // Reached on the HTTPS port, the browser refuses a plain-HTTP picture: it comes from there.
  const bool viaTls = serverAddr.port != 0 && serverAddr.port == g_confThread.tls().address().port;
  out += html_escape(viaTls ? tlsPictureUrl(c->fieldPrefix(), firefox) : c->imageUrl(serverAddr.ip, firefox));
  out += "\" alt=\"\">&nbsp;Configure channel <SPAN class=cnl>";
  out += channelTitle(c);
  out += "</SPAN></H2><BR>\n";
  channelForm(*c, out);
}

// A text field of the System Settings form.
void textField(const char* name, int widthPx, int maxLength, const std::string& value,
               std::string& out) {
  out += "<INPUT type=text name=";
  out += name;
  out += " style=\"width:" + std::to_string(widthPx) + "px\" maxlength=" + std::to_string(maxLength);
  out += " value=\"" + html_escape(value) + "\">";
}

}  // namespace

int newChannelTypeCode(const std::string& cnl) {
  for (const NewChannelKind& k : kNewChannelKinds)
    if (cnl == k.value) return k.code;
  return 0;
}

std::string printPageFrame(const std::string& left, const std::string& right) {
  std::string page;
  page.reserve(16384 + left.size() + right.size());
  const std::string version = kTelvGateVersion;
  page += "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
          "\"http://www.w3.org/TR/html4/strict.dtd\">\n<HTML><HEAD>\n"
          "<META http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
          "<TITLE>TelvGate " + version + " Configuration</TITLE>\n";
  page += kStyleSheet;
  page += "</HEAD><BODY>\n<H1>TELVORA TelvGate " + version + " Configuration</H1><BR><BR>\n"
          "<TABLE rules=all frame=void>\n<COLGROUP><COL width=250><COL width=800></COLGROUP>\n"
          "<TR><TH>Channels</TH><TH>Configuration form</TH></TR>\n"
          "<TR bgcolor=\"#ececec\"><TD valign=top><BR>\n";
  page += left;
  page += "</TD><TD valign=top>\n";
  page += right;
  page += "\n</TD></TR></TABLE><HR>\n"
          "<P class=note>Note: Press the&nbsp;&nbsp;<SPAN class=button>&nbsp;Send&nbsp;</SPAN>"
          "&nbsp;&nbsp;button to update the settings on the server.</P><HR>\n";
  page += vendorBlock();
  page += "</BODY></HTML>\n";
  return page;
}

std::string printChannelList(const std::string& cnl) {
  std::string out = "<A class=innerLink href=\"/status\">System state</A><BR>\n"
                    "<A class=innerLink href=\"/recordings\">Recordings</A><BR><BR>\n"
                    "<A class=ecnl>Existing channels:</A><BR>\n";
  const size_t groupCount = sizeof kChannelGroups / sizeof kChannelGroups[0];
  std::vector<std::string> groups(groupCount);
  for (CVideoCnl* c : liveChannels()) {
    const std::string key = c->fieldPrefix();
    const bool selected = key == cnl;
    // First a link to the channel's stream that needs no login, then the entry itself.
    std::string entry = "<A class=link href=\"/link?c=" + html_escape(url_encode(c->sectionName())) +
                        "\" title=\"a link to this channel's stream that needs no login\">link</A> ";
    entry += selected ? "<A class=selLink" : "<A class=innerLink";
    entry += " href=\"/configure?cnl=" + html_escape(key) + "\">";
    if (selected) entry += "&gt;&nbsp;";
    entry += html_escape(c->displayName());
    if (selected) entry += ":&nbsp;&lt;";
    entry += "<BR>";
    const std::string name = c->name();
    if (!name.empty()) entry += " <SPAN class=cnl>" + html_escape(name) + "</SPAN><BR>";
    entry += "</A><BR>\n";
    const int code = c->typeCode();
    size_t g = 0;
    while (g + 1 < groupCount && kChannelGroups[g].code != code) ++g;  // last: unknown codes
    groups[g] += entry;
  }
  for (size_t g = 0; g < groupCount; ++g) {
    if (groups[g].empty()) continue;
    out += kChannelGroups[g].caption;
    out += "\n" + groups[g];
  }
  out += "<FORM action=\"/configure\" method=\"get\">\n<A class=ncnl>New channels:</A><BR>\n"
         "<SELECT name=cnl style=\"width:140px\">\n";
  for (const NewChannelKind& k : kNewChannelKinds) {
    out += "<OPTION value=\"";
    out += k.value;
    out += cnl == k.value ? "\" selected>" : "\">";
    out += k.label;
    out += "</OPTION>\n";
  }
  out += "</SELECT>&nbsp;<INPUT type=submit value=\"Create\">&nbsp;</FORM><BR>\n";
  if (cnl == "sys")
    out += "<A class=selLink href=\"/configure?cnl=sys\">&gt;&nbsp;System&nbsp;&lt;</A><BR><BR>\n";
  else
    out += "<A class=innerLink href=\"/configure?cnl=sys\">System</A><BR><BR>\n";
  return out;
}

void printSystemForm(std::string& out) {
  using namespace syssettings;
  const std::string ip = readSettingText(kSection, kConfAddr);
  const int port = readSettingInt(kSection, kConfPort);
  const std::string logPath = readSettingText(kSection, kLogPath);
  const int logSize = readSettingInt(kSection, kLogSize);

  out += "<BR><H2>&nbsp;System Settings</H2><BR>\n"
         "<TABLE rules=none frame=void>\n<COLGROUP><COL width=200><COL width=400></COLGROUP>\n"
         "<TR bgcolor=\"#dcdcdc\"><TD><LABEL>Configuration IP address</LABEL></TD><TD>";
  textField("sys_ConfIPAddr", kConfAddr.widthPx, kConfAddr.maxLength, ip, out);
  out += " : ";
  textField("sys_ConfIPPort", kConfPort.widthPx, kConfPort.maxLength, std::to_string(port), out);
  out += "</TD></TR>\n<TR bgcolor=\"#ececec\"><TD><LABEL>Log file path</LABEL></TD><TD>";
  textField("sys_logFilePath", kLogPath.widthPx, kLogPath.maxLength, logPath, out);
  out += "</TD></TR>\n<TR bgcolor=\"#dcdcdc\"><TD><LABEL>Log file max size [Mb]</LABEL></TD><TD>";
  textField("sys_logFileSize", kLogSize.widthPx, kLogSize.maxLength, std::to_string(logSize), out);
  const bool noSignal = readSettingBool(kSection, kNoSignal);
  out += std::string("</TD></TR>\n<TR bgcolor=\"#ececec\"><TD><LABEL>No-signal picture</LABEL></TD>"
         "<TD><INPUT type=radio name=sys_NoSignalPicture value=on") + (noSignal ? " checked" : "") +
         ">ON&nbsp;<INPUT type=radio name=sys_NoSignalPicture value=off" + (noSignal ? "" : " checked") +
         ">OFF&nbsp; (streams show \"NO SIGNAL\" while a source fails)";
  out += "</TD></TR>\n<TR bgcolor=\"#dcdcdc\"><TD><LABEL>Logins</LABEL></TD><TD>\n"
         "<TABLE frame=box rules=rows>\n"
         "<TR bgcolor=\"#cccccc\"><TH>Admins</TH><TH>Remove</TH></TR>\n"
         "<TR><TD><LABEL class=login>admin</LABEL></TD>"
         "<TD><INPUT type=checkbox name=sys_login_admin disabled></TD></TR>\n";
  for (const auto& entry : g_settings.sectionEntries("Admins")) {
    if (entry.first == "admin") continue;
    const std::string login = html_escape(entry.first);
    out += "<TR><TD><LABEL class=login>" + login + "</LABEL></TD>"
           "<TD><INPUT type=checkbox name=\"sys_login_" + login + "\"></TD></TR>\n";
  }
  out += "</TABLE></TD></TR>\n</TABLE>\n"
         "<TABLE rules=none frame=void>\n<TR><TH colspan=2>Add a new administrator</TH></TR>\n"
         "<TR><TD><LABEL>New login</LABEL></TD>"
         "<TD><INPUT type=text class=login name=sys_newLogin maxlength=15></TD></TR>\n"
         "<TR><TD><LABEL>New password</LABEL></TD>"
         "<TD><INPUT type=password name=sys_newPasswd1></TD></TR>\n"
         "<TR><TD><LABEL>Retype new password</LABEL></TD>"
         "<TD><INPUT type=password name=sys_newPasswd2></TD></TR>\n</TABLE>\n";
  // The product's one server; its certificate is the one the page was reached with.
  printSecurityForm(g_confThread.tls().fingerprint(), out);
}

void printConfigForm(const std::string& cnl, bool firefox, const CNetAddr& serverAddr,
                     std::string& out) {
  out += "<FORM action=\"/submitConfig\" method=\"post\">\n";
  const size_t opened = out.size();
  const int newCode = newChannelTypeCode(cnl);
  if (newCode != 0) {
    for (const NewChannelKind& k : kNewChannelKinds)
      if (k.code == newCode) appendNewChannelForm(k, out);
  } else if (cnl == "sys") {
    printSystemForm(out);
    printServicesForm(serverAddr.ip, out);
  } else if (CVideoCnl* c = findChannelByKey(cnl)) {
    appendChannelForm(c, firefox, serverAddr, out);
  }
  if (out.size() == opened) return;  // a key of no channel: only the opening tag
  out += "<BR><HR><INPUT type=hidden name=ret_cnl value=\"" + html_escape(cnl) +
         "\">&nbsp;<INPUT type=submit value=\"Send\">&nbsp;<INPUT type=reset value=\"Reset\">"
         "</FORM>\n";
}

bool wantsLivePictures(CHTTPSocket& conn) {
  return conn.header(conn.request_headers, "User-Agent:").find("irefox") != std::string::npos;
}

std::string noAdministratorParagraph() {
  if (administratorConfigured()) return std::string();
  return std::string("<P class=warn>") + kNoAdministratorWarning + "</P>\n";
}

void configurePage(CHTTPSocket& conn, ConfAnswer& out) {
  std::string cnl = conn.header(conn.query, "cnl");
  if (cnl.empty()) cnl = "sys";
  const bool firefox = wantsLivePictures(conn);
  const std::string left = printChannelList(cnl);
  std::string right = noAdministratorParagraph();
  printConfigForm(cnl, firefox, conn.localAddress(), right);
  htmlAnswer(printPageFrame(left, right), out);
}
