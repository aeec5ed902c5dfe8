#include "confserver/ConfSubmit.h"

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/CHTTPSocket.h"
#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/ConfAnswer.h"
#include "base/SystemSettings.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "channels/LiveChannels.h"
#include "confserver/CLstConfThread.h"
#include "confserver/ChannelForms.h"
#include "confserver/ConfAuth.h"
#include "confserver/ConfPages.h"
#include "confserver/ConfSecurity.h"
#include "confserver/ConfServices.h"
#include "confserver/LogForm.h"
#include "confserver/StatusPage.h"
#include "endpoint/IPChannelFactory.h"

using syssettings::kConfAddr;
using syssettings::kConfPort;
using syssettings::kNoSignal;
using syssettings::kSection;

namespace {

// Seconds of silence allowed before each piece of a form body.
constexpr int kBodyTimeoutSec = 2;

// A whole decimal integer with an optional sign (trailing blanks allowed); false otherwise,
// also when it does not fit in a long.
bool parseDecimal(const std::string& text, long* out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE) return false;
  if (*begin == ' ' || *begin == '\t') return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  *out = v;
  return true;
}

std::string field(const FormFields& form, const std::string& name) {
  auto it = form.find(name);
  return it == form.end() ? std::string() : it->second;
}

// Step: a new IP channel of the type in "newCnl". Returns the channel or nullptr.
CVideoCnl* createNewChannel(FormFields& form, std::string& resp) {
  long code = 0;
  if (!parseDecimal(field(form, "newCnl"), &code)) return nullptr;
  if (code < 1 || code > 9) {
    resp += "<P class=warn>Unknown new channel type</P>";
    return nullptr;
  }
  CVideoCnl* cnl = createIPChannel(int(code), smallestFreeIndex(int(code)));
  if (!cnl) return nullptr;
  // Listed before its thread starts (this thread holds g_cnlUseLock), so neither a close nor
  // the next page can miss it.
  if (!cnl->init() || !startListedChannel(cnl)) {
    destroyChannel(cnl);
    return nullptr;
  }
  // The new-channel form's fields now belong to the new channel.
  const std::string templPrefix = newChannelFieldPrefix(int(code));
  const std::string key = cnl->fieldPrefix();
  std::vector<std::string> names;
  for (const auto& f : form)
    if (f.first.compare(0, templPrefix.size(), templPrefix) == 0) names.push_back(f.first);
  for (const std::string& name : names) {
    std::string value = form[name];
    form.erase(name);
    form[key + name.substr(templPrefix.size())] = value;
  }
  return cnl;
}

// Whether the server could listen on ip:port: 0, or the errno of a trial bind. A clash with
// our own listening socket (same port, one side all interfaces) is no obstacle, since that
// socket is closed before the new one is bound.
int trialBind(const std::string& ip, uint16_t port, const CNetAddr& current) {
  CSocket probe;
  int err = probe.create();
  if (err == 0) err = probe.bind(ip, port);
  if (err == EADDRINUSE && port == current.port &&
      (ip == current.ip || ip == "0.0.0.0" || current.ip == "0.0.0.0"))
    return 0;
  return err;
}

// Step: the configuration server's address and port. True when either changed, or when a new
// address was refused because the server could not listen there.
bool applyConfAddress(const FormFields& form, CLstConfThread& server, std::string& resp) {
  const CNetAddr current = server.address();
  CNetAddr newAddr;
  bool ipChanged = false, portChanged = false;
  const std::string ipText = field(form, "sys_ConfIPAddr");
  if (!ipText.empty()) {
    sockaddr_in sa;
    if (resolve(ipText, "80", &sa) != 0) {
      resp += "<P class=warn>The <EM>Configure IP address</EM> parameter must be a valid IP "
              "address.</P>";
      newAddr.ip = current.ip;
    } else {
      newAddr.ip = toNetAddr(sa).ip;
      ipChanged = newAddr.ip != current.ip;
    }
  } else {
    newAddr = CNetAddr(current.ip, 0);
  }

  const uint16_t storedPort = uint16_t(g_settings.readInt(kSection, kConfPort.key, 0) & 0xFFFF);
  newAddr.port = storedPort;
  long port = 0;
  const std::string portText = field(form, "sys_ConfIPPort");
  // The port's refusal stands after the address's own message, in the order of the fields.
  std::string portWarning;
  if (parseDecimal(portText, &port)) {
    // A negative port is refused like a too large one instead of being stored cut to 16 bits.
    if (port > 65535 || port < 0) {
      portWarning = "<P class=warn>The <EM>Configure IP address</EM> parameter must have a valid "
                    "port number (port<=65535).</P>";
    } else if (uint16_t(port) != storedPort) {
      newAddr.port = uint16_t(port);
      portChanged = true;
    }
  }
  if (!ipChanged && !portChanged) {
    resp += portWarning;
    return false;
  }

  // Stored first and bound later, an address the server cannot use would lock the pages out
  // until someone edits the settings file by hand.
  const int err = trialBind(newAddr.ip, newAddr.port, current);
  if (err != 0) {
    resp += "<P class=warn>The configuration server cannot listen on <EM>" +
            html_escape(newAddr.to_string()) + "</EM> (" +
            html_escape(err != EAFNOSUPPORT ? strerror(err) : "not an IPv4 address") +
            ").<BR>The configuration IP address was NOT changed.</P>" + portWarning;
    return true;
  }
  if (ipChanged) {
    g_settings.writeString(kSection, kConfAddr.key, newAddr.ip);
    resp += "<P class=upd>Updated the <EM>Configuration IP address</EM> value to " +
            html_escape(ipText) + "</P>";
  }
  resp += portWarning;
  if (portChanged) {
    g_settings.writeInt(kSection, kConfPort.key, int(port));
    resp += "<P class=upd>Updated the <EM>Configuration IP address</EM> value to port <STRONG>" +
            html_escape(portText) + "</STRONG></P>";
  }
  CNetAddr shown = newAddr;
  if (shown.ip == "0.0.0.0" || shown.ip.empty()) shown.ip = "localhost";
  const std::string text = html_escape(shown.to_string());
  resp += "<P class=upd> New configuration IP address <A href=\"http://" + text + "\">" + text +
          "</A></P>";
  server.init("", 0);
  return true;
}

// The settings file keeps a login as an entry's key. A key with "=" or a control character,
// or one that begins with a blank, "#", ";" or "[" (or ends with a blank), does not read back
// as written and can damage the entries after it; a login with ":" can never sign in, since the
// Basic credentials split at the first colon.
bool storableLogin(const std::string& login) {
  for (unsigned char c : login)
    if (c < 0x20 || c == 0x7f || c == '=' || c == ':') return false;
  const char first = login.front(), last = login.back();
  return first != ' ' && first != '#' && first != ';' && first != '[' && last != ' ';
}

// The browser sends "Authorization: Basic " + base64(login ":" password) + CRLF as one request
// line; a pair whose line the server would refuse as too long could never sign in.
bool loginLineFits(const std::string& login, const std::string& password) {
  const size_t raw = login.size() + 1 + password.size();
  const size_t line = std::string("Authorization: Basic ").size() + (raw + 2) / 3 * 4;
  return line <= CHTTPSocket::kLineCapacity - 1;  // line ends not counted
}

// A list of logins kept as "login = password" entries of one section, with its form fields.
struct LoginList {
  const char* section;       // "Admins"
  const char* newLogin;      // field of the new login
  const char* password1;     // its password, and the password retyped
  const char* password2;
  const char* removePrefix;  // "sys_login_": a field per login to remove
  const char* noun;          // "administrator"
};

const LoginList kAdmins = {"Admins", "sys_newLogin", "sys_newPasswd1", "sys_newPasswd2", "sys_login_",
                           "administrator"};
const LoginList kViewers = {"Viewers", "sys_newViewer", "sys_newViewerPasswd1", "sys_newViewerPasswd2",
                            "sys_viewer_", "viewer"};

// Step: a new login of the list. Always counts as a change when a login was given.
bool applyNewLogin(const LoginList& list, const FormFields& form, std::string& resp) {
  const std::string login = field(form, list.newLogin);
  if (login.empty()) return false;
  const std::string pw1 = field(form, list.password1);
  const std::string notAdded = std::string("<BR>New ") + list.noun + " NOT added.</P>";
  if (!storableLogin(login) || !CSettings::usableName(login)) {
    resp += "<P class=warn>The <EM>New login</EM> parameter must not contain '=', ':', '[', ']' or "
            "control characters, nor begin with '#', ';' or a space." + notAdded;
  } else if (pw1.empty() || pw1 != field(form, list.password2)) {
    resp += "<P class=warn>The <EM>Retype new password</EM> parameter must be a valid, not empty, "
            "string." + notAdded;
  } else if (!CSettings::storableEntry(login, pw1) || !loginLineFits(login, pw1)) {
    resp += "<P class=warn>The <EM>New login</EM> and its password are too long to be stored." + notAdded;
  } else if (&list == &kAdmins && g_settings.existingEntry(kViewers.section, login)) {
    resp += "<P class=warn>The <EM>New login</EM> is a viewer's; remove the viewer first." + notAdded;
  } else if (&list == &kViewers &&
             (g_settings.existingEntry(kAdmins.section, login) || login == kDefaultAdminLogin)) {
    resp += "<P class=warn>The <EM>New login</EM> is an administrator's." + notAdded;
  } else if (g_settings.writeString(list.section, login, pw1)) {
    resp += std::string("<P class=upd>Added a new ") + list.noun + ". Login name: '<STRONG>" +
            html_escape(login) + "</STRONG></P>";
  }
  return true;
}

// Step: removed logins of the list (a field per login, whatever its value).
bool applyRemovedLogins(const LoginList& list, const FormFields& form, std::string& resp) {
  const std::string prefix = list.removePrefix;
  bool changed = false;
  for (const auto& f : form) {
    if (f.first.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string login = f.first.substr(prefix.size());
    if (login.empty()) {
      resp += std::string("<P class=warn>An ") + list.noun + " without a login name cannot be removed.</P>";
      continue;
    }
    if (!g_settings.existingEntry(list.section, login)) continue;
    g_settings.deleteEntry(list.section, login);
    if (g_settings.existingEntry(list.section, login)) continue;
    resp += std::string("<P class=upd>Removed ") + (list.noun[0] == 'a' ? "an " : "a ") + list.noun +
            ". Login name: '<STRONG>" + html_escape(login) + "</STRONG></P>";
    changed = true;
  }
  return changed;
}

// Step: the System setting "NoSignalPicture" (radio buttons on / off).
bool applyNoSignalPicture(const FormFields& form, std::string& resp) {
  const std::string v = field(form, "sys_NoSignalPicture");
  if (v != "on" && v != "off") return false;
  const bool on = v == "on";
  if (g_settings.existingEntry(kSection, kNoSignal.key) &&
      g_settings.readBool(kSection, kNoSignal.key, !on) == on)
    return false;
  g_settings.writeBool(kSection, kNoSignal.key, on);
  resp += std::string("<P class=upd>Updated the <EM>No-signal picture</EM> value to <STRONG>") +
          (on ? "ON" : "OFF") + "</STRONG></P>";
  return true;
}

// Step: every channel's fields; the new channel is included even if it has not listed itself.
bool applyChannels(const FormFields& form, CVideoCnl* newCnl, std::string& resp) {
  std::vector<CVideoCnl*> channels = liveChannels();
  if (newCnl && newCnl->running()) {
    bool found = false;
    for (CVideoCnl* c : channels) found = found || c == newCnl;
    if (!found) channels.push_back(newCnl);
  }
  bool changed = false;
  for (CVideoCnl* c : channels) {
    std::string text;
    if (channelUpdate(*c, form, text)) c->init();
    if (text.empty()) continue;
    changed = true;
    const std::string name = c->name();
    const std::string title = name.empty() ? html_escape(c->sectionName()) : html_escape(name);
    resp += "<P font-size=12pt>&nbsp;Channel '<SPAN class=cnl>" + title + "</SPAN>':</P>" + text;
  }
  return changed;
}

}  // namespace

FormFields splitFormBody(const std::string& body) {
  std::string path;
  FormFields form;
  http::splitTarget("/?" + body, &path, &form);
  return form;
}

bool readFormBody(CHTTPSocket& conn, std::string& body) {
  const long length = parseContentLength(conn.header(conn.request_headers, "Content-Length:"));
  if (length <= 0) return false;
  body.assign(size_t(length), '\0');
  return conn.recv_all(&body[0], body.size(), kBodyTimeoutSec, 0) == int(length);
}

std::string applySubmission(FormFields& form, CLstConfThread& server, std::string* newKey) {
  std::string resp;
  bool changed = false;
  const unsigned refusedBefore = g_settings.refusedWrites();
  CVideoCnl* newCnl = createNewChannel(form, resp);
  if (newKey) *newKey = newCnl ? newCnl->fieldPrefix() : std::string();
  changed |= applyConfAddress(form, server, resp);
  changed |= applyNewLogin(kAdmins, form, resp);
  changed |= applyRemovedLogins(kAdmins, form, resp);
  changed |= applyNewLogin(kViewers, form, resp);
  changed |= applyRemovedLogins(kViewers, form, resp);
  changed |= applySecuritySettings(form, resp);
  changed |= applyServiceSettings(form, resp);
  changed |= applyNoSignalPicture(form, resp);
  // Also a certificate file replaced since the last look is taken now.
  server.tls().reload();
  if (logFileUpdate(g_logFile, form, resp)) {
    g_logFile.init();
    changed = true;
  }
  changed |= applyChannels(form, newCnl, resp);
  // Every step checks what it can explain; this catches any other value the store refused.
  if (g_settings.refusedWrites() != refusedBefore)
    resp += "<P class=warn>A value is too long or holds characters the settings file cannot keep; "
            "it was NOT stored.</P>";
  if (!changed) resp += "<P font-size=12pt>&nbsp;No parameter needs update.</P>";
  sched_yield();
  if (!g_settings.writeToStorage()) {
    g_logFile.log(CLogFile::Error, "System", "Unable to write the settings to storage.",
                  "CLstConfThread::submitConfig");
    resp += "<P class=warn>The settings could not be written to storage; they are lost when "
            "TelvGate stops.</P>";
  }
  return resp;
}

void unauthorizedAnswer(ConfAnswer& out) {
  out.set(401, "", {{"WWW-Authenticate:", kAuthRealmHeader}, {"Connection:", "close"}});
}

namespace {

void forbiddenAnswer(ConfAnswer& out) {
  out.set(403, "Forbidden", {{"Connection:", "close"}, {"Content-type:", "text/plain"}},
          "Settings can only be changed from the configuration pages themselves.\n");
}

// Whether the fields of a GET would change anything: the System fields are judged as their
// steps would judge them (a port equal to the stored one changes nothing); any other field
// (log, channel, new channel) counts as a change.
bool getWouldChangeSettings(const CHTTPSocket& conn, CLstConfThread& server) {
  if (conn.method != HTTP_GET) return false;
  static const std::string removePrefix = "sys_login_";
  for (const auto& q : conn.query) {
    const std::string& name = q.first;
    const std::string& value = q.second;
    if (name == "ret_cnl" || name == "sys_newPasswd1" || name == "sys_newPasswd2") continue;
    if (name == "sys_ConfIPAddr") {
      sockaddr_in sa;
      if (!value.empty() && resolve(value, "80", &sa) == 0 && toNetAddr(sa).ip != server.address().ip)
        return true;
    } else if (name == "sys_ConfIPPort") {
      long port = 0;
      if (parseDecimal(value, &port) && port >= 0 && port <= 65535 &&
          uint16_t(port) != uint16_t(g_settings.readInt(kSection, kConfPort.key, 0) & 0xFFFF))
        return true;
    } else if (name == "sys_newLogin") {
      if (!value.empty()) return true;
    } else if (name.compare(0, removePrefix.size(), removePrefix) == 0) {
      if (g_settings.existingEntry("Admins", name.substr(removePrefix.size()))) return true;
    } else {
      return true;
    }
  }
  return false;
}

}  // namespace

void submitConfig(CHTTPSocket& conn, const FormBody& body, bool authorised, CLstConfThread& server,
                  ConfAnswer& out) {
  // Before the login check: a forged cross-site post must not even raise the browser's login box.
  if (!sameOriginRequest(conn.request_headers)) return forbiddenAnswer(out);
  if (!authorised) return unauthorizedAnswer(out);
  if (getWouldChangeSettings(conn, server) && !hasSameOriginSign(conn.request_headers))
    return forbiddenAnswer(out);
  FormFields form;
  if (conn.method == HTTP_POST) {
    if (!body.ok) return;
    form = splitFormBody(body.text);
  } else {
    form = conn.query;
  }
  std::string newKey;
  const std::string resp = applySubmission(form, server, &newKey);
  const std::string cnl = newKey.empty() ? field(form, "ret_cnl") : newKey;
  std::string right = noAdministratorParagraph();
  printConfigForm(cnl, wantsLivePictures(conn), conn.localAddress(), right);
  right += resp;
  htmlAnswer(printPageFrame(printChannelList(std::string()), right), out);
}
