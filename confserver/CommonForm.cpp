// The common table of every channel's form (name, recording, pan/tilt), its submission and
// the common status rows.
#include <climits>
#include <cstdint>

#include "base/CSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "base/Utf8Text.h"
#include "channels/CVideoCnl.h"
#include "channels/ChannelSettings.h"
#include "confserver/ChannelForms.h"
#include "confserver/FormHtml.h"
#include "confserver/FormUpdate.h"
#include "recording/CRecVideoClient.h"

using namespace cnlsettings;

namespace {

const FormLook kLook;

void nameStep(FormUpdate& u) {
  const std::string* v = u.field(kName);
  if (!v) return;
  // Control characters would reach picture comments and log lines; they go silently.
  std::string value = cleanName(*v, SIZE_MAX);
  const std::string cut = cleanName(value, size_t(kName.max));
  if (cut != value) {
    value = cut;
    u.html() += "<P class=warn>The <EM>Channel name</EM> value is too long. Truncate it to '" +
                html_escape(value) + "'";
  }
  if (u.differs(kName, value)) {
    u.html() += "<P class=upd>Updated the <EM>Channel name</EM> value to '<SPAN class=cnl>" +
                html_escape(value) + "</SPAN>'";
    u.store(kName, value);
  }
}

void panTiltStep(FormUpdate& u) {
  int rotorType;
  if (const std::string* v = u.field(kRotorType)) {
    rotorType = rotorTypeCode(*v);
    if (u.differs(kRotorType, long(rotorType))) {
      u.html() += "<P class=upd>Updated the <EM>Pan/Tilt type</EM> value to <STRONG>'" + html_escape(*v) +
                  "'</STRONG></P>";
      u.store(kRotorType, long(rotorType));
    }
  } else {
    rotorType = readSettingInt(u.section(), kRotorType);
  }
  const bool noRotor = rotorType == kNoRotor;

  if (const std::string* v = u.field(kRotorComPort)) {
    unsigned long port;
    if (v->compare(0, 3, "COM") == 0) {
      if (formnum::digits(v->substr(3), INT_MAX, &port) && port > 0) {
        if (u.differs(kRotorComPort, long(port))) {
          u.html() += "<P class=upd>Updated the <EM>Serial port</EM> value to <STRONG>COM" +
                      std::to_string(port) + "</STRONG></P>";
          u.store(kRotorComPort, long(port));
        }
      } else {
        u.warnNotNumeric(kRotorComPort);
      }
    } else if (!noRotor) {
      u.warnNotNumeric(kRotorComPort);
    }
  }

  for (const SettingDesc* d : {&kRotorBaudRate, &kRotorAddress}) {
    const std::string* v = u.field(*d);
    if (!v) continue;
    unsigned long number;
    if (formnum::digits(*v, INT_MAX, &number)) {
      if (u.differs(*d, long(number))) {
        u.updated(*d, std::to_string(number));
        u.store(*d, long(number));
      }
    } else if (!noRotor) {
      u.html() += std::string("<P class=warn>The <EM>") + d->label + "</EM> value must be a positive numeric value.";
    }
  }
}

}  // namespace

void commonFormTable(const std::string& p, const std::string& section, bool panTilt, std::string& html) {
  using namespace formhtml;
  const std::string storedName = cleanName(readSettingText(section, kName), size_t(kName.max));
  html += "<TABLE rules=none frame=void><COLGROUP><COL width=200><COL width=600></COLGROUP>\n";
  html += row(labelFor(p + kName.key, kName.label), textControl(kLook, kName, p + kName.key, storedName));
  recordingFormRows(p, section, html);
  if (panTilt) {
    html += row("<STRONG>Pan/Tilt system</STRONG>", "");
    html += row(kRotorType.rowLabel(), radioControl(kLook, kRotorType, p + kRotorType.key,
                                                    kRotorType.choiceByCode(readSettingInt(section, kRotorType))));
    for (const SettingDesc* d : {&kRotorComPort, &kRotorBaudRate, &kRotorAddress}) {
      long value = readSettingInt(section, *d);
      if (value > d->max) value = d->max;
      html += row(d->rowLabel(), selectControl(kLook, *d, p + d->key, d->choiceByCode(value)));
    }
  }
  html += "</TABLE>\n";
}

bool commonUpdate(CVideoCnl& cnl, const FormFields& fields, std::string& html) {
  FormUpdate u(fields, cnl.fieldPrefix(), cnl.sectionName(), html);
  nameStep(u);
  if (CRecVideoClient* rec = recorderOf(cnl))
    if (!recordingUpdate(*rec, u.prefix(), u.section(), fields, html)) return false;
  panTiltStep(u);
  return true;
}

void commonStatus(CVideoCnl& cnl, std::string& html) {
  using namespace formhtml;
  html += statusRow("Video signal", signalStateText(cnl.signalState()));
  if (CRecVideoClient* rec = recorderOf(cnl)) recordingStatus(*rec, html);
  const std::string section = cnl.sectionName();
  const int type = readSettingInt(section, kRotorType);
  const char* typeName = rotorTypeName(type);
  html += statusRow(kRotorType.label, typeName ? std::string(typeName) : "Unknown (" + std::to_string(type) + ")");
  if (type != kNoRotor) {
    for (const SettingDesc* d : {&kRotorComPort, &kRotorBaudRate, &kRotorAddress})
      html += statusSubRow(d->label, std::to_string(readSettingInt(section, *d)));
  }
}
