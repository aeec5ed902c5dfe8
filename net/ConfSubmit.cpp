#include "net/ConfSubmit.h"

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "channels/CVideoCnl.h"
#include "channels/IPChannelFactory.h"
#include "net/CHTTPSocket.h"
#include "net/CLstConfThread.h"
#include "net/ConfAuth.h"
#include "net/ConfChannels.h"
#include "net/ConfPages.h"
#include "net/StatusPage.h"
#include "net/TextHelpers.h"
#include "platform/Clock.h"

namespace {

// A new channel adds itself to the list when its thread starts. The submission waits for that
// (its fields are applied by the channel's own update below) first by yielding, then, on a busy
// machine, by short sleeps up to this limit.
constexpr int kNewChannelYields = 100;
constexpr int kNewChannelWaitMs = 2000;
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

bool channelListed(CVideoCnl* cnl) {
  for (CVideoCnl* c : liveChannels())
    if (c == cnl) return true;
  return false;
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
  if (!cnl->init() || !cnl->start()) {
    cnl->join();
    delete cnl;
    return nullptr;
  }
  // The form was built by a template channel of index 9999: its fields now belong to the new one.
  const std::string templPrefix = std::to_string(code) + "_9999_";
  const std::string key = cnl->fieldPrefix();
  std::vector<std::string> names;
  for (const auto& f : form)
    if (f.first.compare(0, templPrefix.size(), templPrefix) == 0) names.push_back(f.first);
  for (const std::string& name : names) {
    std::string value = form[name];
    form.erase(name);
    form[key + name.substr(templPrefix.size())] = value;
  }
  bool listed = false;
  for (int i = 0; i < kNewChannelYields && !(listed = channelListed(cnl)); ++i) sched_yield();
  const uint64_t until = platform::monotonicNs() + uint64_t(kNewChannelWaitMs) * 1000000ull;
  while (!listed && platform::monotonicNs() < until) {
    platform::sleepMs(1);
    listed = channelListed(cnl);
  }
  return cnl;
}

// Step: the configuration server's address and port. True when either changed.
bool applyConfAddress(const FormFields& form, CLstConfThread& server, std::string& resp) {
  bool changed = false;
  const CNetAddr current = server.address();
  CNetAddr newAddr;
  const std::string ipText = field(form, "sys_ConfIPAddr");
  if (!ipText.empty()) {
    sockaddr_in sa;
    if (resolve(ipText, "80", &sa) != 0) {
      resp += "<P class=warn>The <EM>Configure IP address</EM> parameter must be a valid IP "
              "address.</P>";
    } else {
      newAddr.ip = toNetAddr(sa).ip;
      if (newAddr.ip != current.ip) {
        g_settings.writeString("System", "ConfIPAddr", newAddr.ip);
        resp += "<P class=upd>Updated the <EM>Configuration IP address</EM> value to " +
                html_escape(ipText) + "</P>";
        changed = true;
      }
    }
  } else {
    newAddr = CNetAddr(current.ip, 0);
  }

  const uint16_t storedPort = uint16_t(g_settings.readInt("System", "ConfIPPort", 0) & 0xFFFF);
  newAddr.port = storedPort;
  long port = 0;
  const std::string portText = field(form, "sys_ConfIPPort");
  if (parseDecimal(portText, &port)) {
    // A negative port is refused like a too large one instead of being stored cut to 16 bits.
    if (port > 65535 || port < 0) {
      resp += "<P class=warn>The <EM>Configure IP address</EM> parameter must have a valid port "
              "number (port<=65535).</P>";
    } else if (uint16_t(port) != storedPort) {
      g_settings.writeInt("System", "ConfIPPort", int(port));
      resp += "<P class=upd>Updated the <EM>Configuration IP address</EM> value to port <STRONG>" +
              html_escape(portText) + "</STRONG></P>";
      newAddr.port = uint16_t(port);
      changed = true;
    }
  }

  if (changed) {
    CNetAddr shown = newAddr;
    if (shown.ip == "0.0.0.0" || shown.ip.empty()) shown.ip = "localhost";
    const std::string text = html_escape(shown.to_string());
    resp += "<P class=upd> New configuration IP address <A href=\"http://" + text + "\">" + text +
            "</A></P>";
    server.init("", 0);
  }
  return changed;
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

// Step: a new administrator. Always counts as a change when a login was given.
bool applyNewAdmin(const FormFields& form, std::string& resp) {
  const std::string login = field(form, "sys_newLogin");
  if (login.empty()) return false;
  const std::string pw1 = field(form, "sys_newPasswd1");
  if (!storableLogin(login) || !CSettings::usableName(login)) {
    resp += "<P class=warn>The <EM>New login</EM> parameter must not contain '=', ':', '[', ']' or "
            "control characters, nor begin with '#', ';' or a space.<BR>New administrator NOT added.</P>";
  } else if (pw1.empty() || pw1 != field(form, "sys_newPasswd2")) {
    resp += "<P class=warn>The <EM>Retype new password</EM> parameter must be a valid, not empty, "
            "string.<BR>New administrator NOT added.</P>";
  } else if (!CSettings::storableEntry(login, pw1) || !loginLineFits(login, pw1)) {
    resp += "<P class=warn>The <EM>New login</EM> and its password are too long to be stored."
            "<BR>New administrator NOT added.</P>";
  } else if (g_settings.writeString("Admins", login, pw1)) {
    resp += "<P class=upd>Added a new administrator. Login name: '<STRONG>" + html_escape(login) +
            "</STRONG></P>";
  }
  return true;
}

// Step: removed administrators ("sys_login_<login>" fields, whatever their value).
bool applyRemovedAdmins(const FormFields& form, std::string& resp) {
  static const std::string prefix = "sys_login_";
  bool changed = false;
  for (const auto& f : form) {
    if (f.first.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string login = f.first.substr(prefix.size());
    if (login.empty()) {
      resp += "<P class=warn>An administrator without a login name cannot be removed.</P>";
      continue;
    }
    if (!g_settings.existingEntry("Admins", login)) continue;
    g_settings.deleteEntry("Admins", login);
    if (g_settings.existingEntry("Admins", login)) continue;
    resp += "<P class=upd>Removed an administrator. Login name: '<STRONG>" + html_escape(login) +
            "</STRONG></P>";
    changed = true;
  }
  return changed;
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
    if (c->update(form, text)) c->init();
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

bool readSubmittedForm(CHTTPSocket& conn, FormFields& form) {
  if (conn.method != HTTP_POST) {
    form = conn.query;
    return true;
  }
  const long length = parseContentLength(conn.header(conn.request_headers, "Content-Length:"));
  if (length <= 0) return false;
  std::string body(size_t(length), '\0');
  if (conn.recv_all(&body[0], body.size(), kBodyTimeoutSec, 0) != int(length)) return false;
  form = splitFormBody(body);
  return true;
}

std::string applySubmission(FormFields& form, CLstConfThread& server, std::string* newKey) {
  std::string resp;
  bool changed = false;
  const unsigned refusedBefore = g_settings.refusedWrites();
  CVideoCnl* newCnl = createNewChannel(form, resp);
  if (newKey) *newKey = newCnl ? newCnl->fieldPrefix() : std::string();
  changed |= applyConfAddress(form, server, resp);
  changed |= applyNewAdmin(form, resp);
  changed |= applyRemovedAdmins(form, resp);
  if (g_logFile.update(form, resp)) {
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

void sendUnauthorized(CHTTPSocket& conn) {
  conn.status = 401;
  conn.reason.clear();
  conn.response_headers.clear();
  conn.set_header("WWW-Authenticate:", kAuthRealmHeader);
  conn.set_header("Connection:", "close");
  conn.send_response_head();
}

void submitConfig(CHTTPSocket& conn, CLstConfThread& server) {
  // Before the login check: a forged cross-site post must not even raise the browser's login box.
  if (!sameOriginRequest(conn.request_headers)) {
    conn.status = 403;
    conn.reason = "Forbidden";
    conn.set_header("Connection:", "close");
    conn.set_header("Content-type:", "text/plain");
    if (conn.send_response_head() > 0)
      sendAll(conn, "Settings can only be changed from the configuration pages themselves.\n");
    return;
  }
  if (!check_auth(conn.request_headers)) {
    sendUnauthorized(conn);
    return;
  }
  FormFields form;
  if (!readSubmittedForm(conn, form)) return;
  std::string newKey;
  const std::string resp = applySubmission(form, server, &newKey);
  const std::string cnl = newKey.empty() ? field(form, "ret_cnl") : newKey;
  std::string right;
  printConfigForm(cnl, wantsLivePictures(conn), conn.localAddress(), right);
  right += resp;
  sendHtmlPage(conn, printPageFrame(printChannelList(std::string()), right));
}
