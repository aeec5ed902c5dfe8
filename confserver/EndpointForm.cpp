// The endpoint's rows of a channel's form (its address and port), their submission and the
// endpoint's status row.
#include "confserver/EndpointForm.h"

#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "confserver/FormHtml.h"
#include "confserver/FormUpdate.h"
#include "endpoint/CLstSockThread.h"
#include "endpoint/CNetVideoCnl.h"
#include "endpoint/EndpointSettings.h"

using namespace endpointsettings;

namespace {

const FormLook kLook;

}  // namespace

void endpointFormTable(CNetVideoCnl& cnl, std::string& html) {
  endpointFormTableFor(cnl.fieldPrefix(), cnl.sectionName(), cnl.listener().localAddr(), html);
}

void endpointFormTableFor(const std::string& p, const std::string& section, const CNetAddr& bound,
                          std::string& html) {
  using namespace formhtml;
  const int port = readSettingInt(section, kPort);
  std::string cell = textControl(kLook, kAddr, p + kAddr.key, readSettingText(section, kAddr)) + " : " +
                     textControl(kLook, kPort, p + kPort.key, std::to_string(port));
  if (bound.ip.empty())
    cell += "&nbsp;&nbsp;[not bound]";
  else if (bound.port != port)
    cell += "&nbsp;&nbsp;[" + std::to_string(bound.port) + "]";
  html += singleRowTable(labelFor(p + kAddr.key, kAddr.label), cell);
  // A table of its own, so the address row stays exactly as it was.
  html += singleRowTable(labelFor(p + kAuth.key, kAuth.label),
                         selectControl(kLook, kAuth, p + kAuth.key, kAuth.choiceByValue(readSettingText(section, kAuth))));
}

void endpointUpdate(CNetVideoCnl& cnl, const FormFields& fields, std::string& html) {
  FormUpdate u(fields, cnl.fieldPrefix(), cnl.sectionName(), html);
  if (const std::string* v = u.field(kAddr)) {
    if (!is_valid_ip(*v)) {
      html += std::string("<P class=warn>The <EM>") + kAddr.label +
              "</EM> parameter must be a valid IP address. (IP:Port)</P>";
    } else if (u.differs(kAddr, *v)) {
      html += std::string("<P class=upd>Updated the <EM>") + kAddr.label + "</EM> value to IP " +
              html_escape(*v) + "</P>";
      u.store(kAddr, *v);
    }
  }
  if (const std::string* v = u.field(kAuth)) {
    const SettingChoice* chosen = kAuth.choiceByValue(*v);
    if (!chosen) {
      html += std::string("<P class=warn>The <EM>") + kAuth.label + "</EM> value must be off, control or all.</P>";
    } else if (u.differs(kAuth, *v)) {
      u.store(kAuth, *v);
      html += std::string("<P class=upd>Updated the <EM>") + kAuth.label + "</EM> value to <STRONG>" + chosen->text +
              "</STRONG></P>";
    }
  }
  if (const std::string* v = u.field(kPort)) {
    long number = 0;
    if (!formnum::prefixLong(*v, &number) || static_cast<unsigned long>(number) > unsigned(kPort.max)) {
      html += std::string("<P class=warn>The <EM>") + kPort.label +
              "</EM> parameter must have a valid port number (port<=65535).</P>";
    } else if (!settingStored(u.section(), kPort) ||
               g_settings.readInt(u.section(), kPort.key, 0) != number) {
      u.store(kPort, number);
      html += std::string("<P class=upd>Updated the <EM>") + kPort.label + "</EM> value to port " +
              std::to_string(number) + "</P>";
    }
  }
}

std::string endpointStatusRow(CNetVideoCnl& cnl) {
  return formhtml::statusRow(kAddr.label, "<CODE>" + cnl.localAddr().to_string() + "</CODE>");
}

void serveFormTable(const std::string& p, const std::string& section, std::string& html) {
  FormLook look;
  look.radioIds = true;
  const std::string name = p + kServe.key;
  const bool on = readSettingBool(section, kServe);
  html += formhtml::singleRowTable(formhtml::labelFor(name + "_on", kServe.label),
                                   formhtml::radioControl(look, kServe, name, kServe.choiceByCode(on ? 1 : 0)));
}

void serveUpdate(const std::string& p, const std::string& section, const FormFields& fields,
                 std::string& html) {
  FormUpdate u(fields, p, section, html);
  u.onOffStep(kServe);
}
