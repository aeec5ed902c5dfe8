// The form, submission and status rows of an IP camera channel: the family's table (type,
// camera number, video standard, image size), the connection table, the endpoint's and then
// the common rows.
#include <algorithm>
#include <mutex>

#include "base/CSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/ChannelSettings.h"
#include "channels/IPSettings.h"
#include "confserver/ChannelForms.h"
#include "confserver/EndpointForm.h"
#include "confserver/FormHtml.h"
#include "confserver/FormUpdate.h"
#include "confserver/IPForm.h"
#include "endpoint/CIPVideoCnl.h"
#include "endpoint/EndpointSettings.h"
#include "endpoint/IPChannelFactory.h"

using namespace ipsettings;
using cnlsettings::kQuality;

namespace {

FormLook ipLook() {
  FormLook look;
  look.styleFirst = true;
  look.selectIds = true;
  look.radioGap = " ";
  return look;
}
const FormLook kLook = ipLook();

const char* const kTableOpen = "<TABLE cellspacing=0 cellpadding=4>\n";
const char* const kTableClose = "</TABLE>\n";

// Status labels by image size code.
const char* const kImageSizeLabels[] = {
    "invalid",         "D-1PAL (768x576)", "4CIF (704x576)",  "2CIF (704,288)",  "VGA (640x480)",
    "VGA2 (640x480)",  "CIF (320x240)",    "QCIF (176,144)",  "QVGA (320x240)",  "MEGA (1280x960)",
    "3MP (2048x1530)", "WQVGA (480x272)",  "D1 NTSC (720x480)", "720p (1280x768)",
};

const char* imageSizeLabel(int code) {
  if (code < 0 || code >= int(sizeof kImageSizeLabels / sizeof kImageSizeLabels[0])) return "invalid";
  return kImageSizeLabels[code];
}

bool acceptsSize(const IPVendorTraits& t, int code) {
  return std::find(t.acceptedSizes.begin(), t.acceptedSizes.end(), code) != t.acceptedSizes.end();
}

void familyTable(const IPVendorTraits& t, const IPConfig& c, const std::string& p,
                 const std::string& section, std::string& html) {
  using namespace formhtml;
  const char* bg[2] = {"#dcdcdc", "#ececec"};
  int n = 0;
  html += kTableOpen;
  html += shadedRow(bg[n++ % 2], "Channel type",
                    std::string("<B>") + t.formLabel + "</B> <INPUT type=checkbox name=\"" + p +
                        "Remove\" id=\"" + p + "Remove\"> " + labelFor(p + "Remove", "Remove channel"));
  if (t.camIdMax >= 0) {
    std::string radios;
    for (int id = t.camIdMin; id <= t.camIdMax; ++id)
      radios += radio(kLook, p + kCamId.key, std::to_string(id), std::to_string(id), id == c.camID);
    html += shadedRow(bg[n++ % 2], kCamId.label, radios);
  }
  if (t.hasVideoStd)
    html += shadedRow(bg[n++ % 2], kVideoStd.label,
                      radioControl(kLook, kVideoStd, p + kVideoStd.key, kVideoStd.choiceByCode(c.videoStd)));
  const std::string stored = g_settings.readString(section, kImageSize.key, t.defaultSize);
  std::string select = selectOpen(kLook, p + kImageSize.key, kImageSize.widthPx);
  for (const IPSizeOption& o : t.sizeOptions) select += option(o.value, o.text, stored == o.value);
  html += shadedRow(bg[n++ % 2], labelFor(p + kImageSize.key, kImageSize.label),
                    select + "</SELECT> (when supported)");
  html += kTableClose;
}

void connectionTable(const IPConfig& c, const std::string& p, const std::string& section,
                     std::string& html) {
  using namespace formhtml;
  html += kTableOpen;
  html += shadedRow("#ececec", labelFor(p + kCamAddr.key, kCamAddr.label),
                    textControl(kLook, kCamAddr, p + kCamAddr.key, c.camAddr.empty() ? "<none>" : c.camAddr) +
                        " : " + textControl(kLook, kCamPort, p + kCamPort.key, std::to_string(c.camPort)));
  html += shadedRow("#dcdcdc", labelFor(p + kUserName.key, kUserName.label),
                    labelFor(p + kUserName.key, kUserName.formLabel) + " " +
                        textControl(kLook, kUserName, p + kUserName.key, c.userName, "login") + " " +
                        labelFor(p + kUserPwd.key, kUserPwd.formLabel) + " " +
                        textControl(kLook, kUserPwd, p + kUserPwd.key, c.userPwd, "login"));
  const int stored = readSettingInt(section, kQuality);
  const int selected = std::min(std::max(stored / 10 * 10, 20), 90);
  html += shadedRow("#ececec", labelFor(p + kQuality.key, kQuality.label),
                    selectControl(kLook, kQuality, p + kQuality.key, kQuality.choiceByCode(selected)) + " %");
  html += kTableClose;
}

// The whole form from the values shown; endpoint is the channel's endpoint table (empty for a
// new channel's form, which has no endpoint yet).
void ipForm(const IPVendorTraits& t, const IPConfig& c, const std::string& p, const std::string& section,
            const std::string& endpoint, std::string& html) {
  familyTable(t, c, p, section, html);
  connectionTable(c, p, section, html);
  serveFormTable(p, section, html);
  html += endpoint;
  commonFormTable(p, section, readSettingBool(section, endpointsettings::kServe), html);
}

// The camera's address and port, the login and the quality. False when the address is refused.
bool connectionStep(CIPVideoCnl& cnl, FormUpdate& u) {
  const IPConfig c = cnl.config();
  const std::string badAddr =
      "<P class=warn>The <EM>Camera IP address</EM> parameter must be a valid IP address. (IP:Port)</P>";
  const std::string missing =
      "<P class=warn>The <EM>Camera IP address</EM> parameter was missing or incomplete</P>";
  std::string addr;
  if (const std::string* a = u.field(kCamAddr)) {
    if (!CIPVideoCnl::isValidCameraHost(*a)) { u.html() += badAddr; return false; }
    addr = *a;
  } else {
    addr = c.camAddr;
    if (addr.empty()) { u.html() += missing; return false; }
  }
  uint16_t port;
  if (const std::string* pt = u.field(kCamPort)) {
    unsigned long v;
    if (!formnum::digits(*pt, unsigned(kCamPort.max), &v)) { u.html() += badAddr; return false; }
    port = uint16_t(v);
  } else {
    port = c.camPort;
    if (port == 0) { u.html() += missing; return false; }
  }
  const std::string newText = addr + ":" + std::to_string(port);
  if (newText != c.camAddr + ":" + std::to_string(c.camPort)) {
    u.updated(kCamAddr, html_escape(newText));
    u.store(kCamAddr, addr);
    u.store(kCamPort, long(port));
  }
  for (const SettingDesc* d : {&kUserName, &kUserPwd}) {
    const std::string* v = u.field(*d);
    if (!v || !u.differs(*d, *v)) continue;
    u.store(*d, *v);
    u.html() += "<P class=upd>Updated the <EM>Camera login data</EM> value</P>";
  }
  if (const std::string* q = u.field(kQuality)) {
    long v;
    if (formnum::wholeLong(*q, &v)) {
      v = std::min(std::max(v, kQuality.min), kQuality.max);
      if (v != c.quality) {
        u.store(kQuality, v);
        u.updated(kQuality, std::to_string(v));
      }
    }
  }
  return true;
}

void familyStep(const IPVendorTraits& t, const IPConfig& c, FormUpdate& u) {
  if (t.camIdMax >= 0) {
    if (const std::string* id = u.field(kCamId)) {
      unsigned long v;
      if (!formnum::digits(*id, unsigned(kCamId.max), &v) || long(v) < t.camIdMin || long(v) > t.camIdMax) {
        // The same words for every family, also where the range is 0 to 3.
        u.html() += "<P class=warn>The <EM>Channel ID (DVR)</EM> must be an integer between 1 and 4.</P>";
      } else if (int(v) != c.camID) {
        u.store(kCamId, long(v));
        u.html() += "<P class=upd>Updated the <EM>Channel ID (DVR)</EM> value<STRONG>" + std::to_string(v) +
                    "</STRONG></P>";
      }
    }
  }
  if (t.hasVideoStd) {
    if (const std::string* vs = u.field(kVideoStd)) {
      if (!kVideoStd.choiceByValue(*vs))
        u.html() += "<P class=warn>Invalid video standard: use 'PAL' or 'NTSC'.</P>";
      else if (u.differs(kVideoStd, *vs)) {
        u.store(kVideoStd, *vs);
        u.updated(kVideoStd, *vs);
      }
    }
  }
  if (const std::string* sz = u.field(kImageSize)) {
    if (!sz->empty() && acceptsSize(t, imageSizeCode(*sz)) && u.differs(kImageSize, *sz)) {
      u.store(kImageSize, *sz);
      u.updated(kImageSize, html_escape(*sz));
    }
  }
}

}  // namespace

void ipChannelForm(CIPVideoCnl& cnl, std::string& html) {
  std::string endpoint;
  {
    std::lock_guard<std::mutex> guard(cnl.configLock());
    endpointFormTable(cnl, endpoint);
  }
  ipForm(cnl.traits(), cnl.config(), cnl.fieldPrefix(), cnl.sectionName(), endpoint, html);
}

void newChannelForm(int code, const std::string& prefix, std::string& html) {
  const IPVendorTraits* t = ipVendorTraits(code);
  if (!t) return;
  IPConfig initial;
  initial.camID = t->camIdDefault;
  // A new channel's section: "Channel <type> <index>" of the index its fields carry.
  const std::string index = prefix.substr(prefix.find('_') + 1, prefix.rfind('_') - prefix.find('_') - 1);
  const std::string section = "Channel " + std::to_string(code) + " " + index;
  std::string endpoint;
  endpointFormTableFor(prefix, section, CNetAddr(), endpoint);
  ipForm(*t, initial, prefix, section, endpoint, html);
}

bool ipChannelUpdate(CIPVideoCnl& cnl, const FormFields& fields, std::string& html) {
  FormUpdate u(fields, cnl.fieldPrefix(), cnl.sectionName(), html);
  if (const std::string* rm = u.field("Remove")) {
    if (*rm == "on") {
      // Before the configuration lock: joining the channel joins its listener, whose connection
      // threads may wait for that lock.
      g_settings.deleteSection(u.section());
      cnl.stop();
      cnl.join();
      html = "IP channel successfully removed";
      return false;
    }
  }
  std::lock_guard<std::mutex> guard(cnl.configLock());
  if (!commonUpdate(cnl, fields, html)) return false;
  if (!connectionStep(cnl, u)) return false;
  familyStep(cnl.traits(), cnl.config(), u);
  serveUpdate(u.prefix(), u.section(), fields, html);
  endpointUpdate(cnl, fields, html);
  return true;
}

void ipChannelStatus(CIPVideoCnl& cnl, std::string& html) {
  using namespace formhtml;
  const IPConfig c = cnl.config();
  html += statusRow("Channel type, index", html_escape(cnl.displayName()));
  html += statusRow("Channel IP address", "<CODE>" + html_escape(cnl.hostText()) + "</CODE>");
  html += statusRow(kQuality.label, std::to_string(c.quality) + "%");
  html += statusRow(kImageSize.label, imageSizeLabel(c.imageSize));
  if (cnl.serveWanted()) {
    const CNetAddr at = cnl.endpointAddr();
    html += statusRow("Served at", "<CODE>" + (at.port ? at.to_string() : std::string("not bound")) + "</CODE>");
  }
  commonStatus(cnl, html);
}
