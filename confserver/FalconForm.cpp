// The form, submission and status rows of an analog channel: the input's and the board's
// table, then the endpoint's and the common rows.
#include "confserver/FalconForm.h"

#include <algorithm>
#include <mutex>

#include "base/CSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/FalconSettings.h"
#include "channels/IPSettings.h"
#include "confserver/ChannelForms.h"
#include "confserver/EndpointForm.h"
#include "confserver/FormHtml.h"
#include "confserver/FormUpdate.h"
#include "endpoint/CFalconVideoCnl.h"

using namespace falconsettings;
using cnlsettings::kQuality;

namespace {

FormLook falconLook() {
  FormLook look;
  look.selectIds = true;
  look.radioGap = " ";
  return look;
}
const FormLook kLook = falconLook();

std::string statusSizeText(const std::string& keyword) {
  const SettingChoice* c = kImageSize.choiceByValue(keyword);
  if (!c) return "invalid";
  std::string text = c->text;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// A text setting shown as a list of its choices, the stored one selected.
std::string choiceRow(const char* bg, const std::string& p, const std::string& section,
                      const SettingDesc& d) {
  using namespace formhtml;
  return shadedRow(bg, labelFor(p + d.key, d.label),
                   selectControl(kLook, d, p + d.key, d.choiceByValue(readSettingText(section, d))));
}

// The board's settings reach every input of the board.
void boardStep(CFalconVideoCnl& cnl, FormUpdate& u, const SettingDesc& d, const std::string& shown) {
  const std::string* v = u.field(d);
  if (!v || !d.choiceByValue(*v) || !u.differs(d, *v)) return;
  cnl.board()->storeBoardSetting(d.key, *v);
  u.updated(d, shown.empty() ? *v : shown);
}

}  // namespace

void falconChannelForm(CFalconVideoCnl& cnl, std::string& html) {
  using namespace formhtml;
  const std::string p = cnl.fieldPrefix();
  const std::string sec = cnl.sectionName();
  html += "<TABLE cellspacing=0 cellpadding=4>\n";
  html += shadedRow("#dcdcdc", "Channel type", "<B>IDS analog (FalconQuattro)</B>");
  const bool on = g_settings.readBool(sec, kEnabled.key, cnl.enabled());
  html += shadedRow("#ececec", kEnabled.label,
                    radioControl(kLook, kEnabled, p + kEnabled.key, kEnabled.choiceByCode(on ? 1 : 0)));
  const int quality = std::max(roundQuality(readSettingInt(sec, kQuality)), 20);
  html += shadedRow("#dcdcdc", labelFor(p + kQuality.key, kQuality.label),
                    selectControl(kLook, kQuality, p + kQuality.key, kQuality.choiceByCode(quality)) + " %");
  html += choiceRow("#ececec", p, sec, kOverlay);
  html += shadedRow("#ececec", kVideoStd.label,
                    radioControl(kLook, kVideoStd, p + kVideoStd.key,
                                 kVideoStd.choiceByValue(readSettingText(sec, kVideoStd))));
  html += choiceRow("#dcdcdc", p, sec, kImageSize);
  html += choiceRow("#ececec", p, sec, kClipScale);
  html += "</TABLE>\n";
  {
    std::lock_guard<std::mutex> guard(cnl.configLock());
    endpointFormTable(cnl, html);
  }
  commonFormTable(p, sec, true, html);
}

bool falconChannelUpdate(CFalconVideoCnl& cnl, const FormFields& fields, std::string& html) {
  std::lock_guard<std::mutex> guard(cnl.configLock());
  if (!commonUpdate(cnl, fields, html)) return false;
  endpointUpdate(cnl, fields, html);
  FormUpdate u(fields, cnl.fieldPrefix(), cnl.sectionName(), html);

  if (const std::string* q = u.field(kQuality)) {
    long v;
    if (formnum::wholeLong(*q, &v)) {
      // Stored as submitted within 10..90 (init rounds it down for the encoder) when it differs
      // from the quality in use; a value already stored as it is gives no message again.
      const int quality = int(std::min(std::max(v, kQuality.min), kQuality.max));
      if (!settingStored(u.section(), kQuality) ||
          (quality != cnl.quality() && readSettingInt(u.section(), kQuality) != quality)) {
        u.store(kQuality, long(quality));
        u.updated(kQuality, std::to_string(quality));
      }
    }
  }
  if (const std::string* e = u.field(kEnabled)) {
    if (const SettingChoice* c = kEnabled.choiceByValue(*e)) {
      const bool on = c->code == 1;
      if (u.differs(kEnabled, on)) {
        u.store(kEnabled, on);
        html += std::string("<P class=upd>Updated the <EM>Activate this channel</EM> value to : <STRONG> ") +
                (on ? "YES" : "NO") + "</STRONG></P>";
      }
    }
  }
  if (const std::string* o = u.field(kOverlay)) {
    OverlayMode mode;
    if (overlayModeOf(*o, &mode) && u.differs(kOverlay, *o)) {
      u.store(kOverlay, *o);
      u.updated(kOverlay, *o);
    }
  }
  if (const std::string* vs = u.field(kVideoStd)) {
    if (videoStdCode(*vs) < 0) {
      html += "<P class=warn>Invalid video standard: use 'PAL', 'NTSC' or 'SECAM'.</P>";
      return false;
    }
    if (u.differs(kVideoStd, *vs)) {
      cnl.board()->storeBoardSetting(kVideoStd.key, *vs);
      u.updated(kVideoStd, *vs);
    }
  }
  const std::string* size = u.field(kImageSize);
  boardStep(cnl, u, kImageSize, size && *size == "qvga" ? "cif" : "");
  boardStep(cnl, u, kClipScale, "");
  return true;
}

void falconChannelStatus(CFalconVideoCnl& cnl, std::string& html) {
  using namespace formhtml;
  const std::string sec = cnl.sectionName();
  html += statusRow("Channel type, index", html_escape(cnl.displayName()));
  html += statusRow("Channel is activated: ", cnl.enabled() ? "YES" : "NO");
  html += statusRow(kVideoStd.label, html_escape(readSettingText(sec, kVideoStd)));
  html += statusRow(kQuality.label, std::to_string(cnl.quality()) + "%");
  html += statusRow(kOverlay.label, overlayKeyword(cnl.overlayMode()));
  html += statusRow(kImageSize.label, statusSizeText(readSettingText(sec, kImageSize)));
  html += statusRow(kClipScale.label, readSettingText(sec, kClipScale) == "clip" ? "clip" : "scale");
  html += endpointStatusRow(cnl);
  commonStatus(cnl, html);
}
