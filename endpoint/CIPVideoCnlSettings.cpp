// The settings side of CIPVideoCnl: init, update, form and status, for the connection settings
// every camera shares and for the vendor settings described by IPVendorTraits.
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "endpoint/CIPVideoCnl.h"

namespace {

// Status labels by image size code.
const char* const kImageSizeLabels[] = {
    "invalid",         "D-1PAL (768x576)", "4CIF (704x576)",  "2CIF (704,288)",  "VGA (640x480)",
    "VGA2 (640x480)",  "CIF (320x240)",    "QCIF (176,144)",  "QVGA (320x240)",  "MEGA (1280x960)",
    "3MP (2048x1530)", "WQVGA (480x272)",  "D1 NTSC (720x480)", "720p (1280x768)",
};

const char* imageSizeLabel(int code) {
  if (code < 0 || code >= static_cast<int>(sizeof kImageSizeLabels / sizeof kImageSizeLabels[0]))
    return "invalid";
  return kImageSizeLabels[code];
}

// Strict unsigned decimal: digits only, no sign, no blanks, within max.
bool readUnsignedText(const std::string& s, unsigned long max, unsigned long* out) {
  if (s.empty() || s.size() > 10) return false;
  unsigned long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

// Integer with optional sign, as the quality field is read.
bool readIntText(const std::string& s, long* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || end == s.c_str() || *end != '\0') return false;
  *out = v;
  return true;
}

// Control characters (line breaks above all) replaced by blanks.
std::string withoutLineBreaks(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return s;
}

const std::string* field(const FormFields& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : &it->second;
}

std::string row(const char* bg, const std::string& label, const std::string& content) {
  return "<TR style=\"background-color:" + std::string(bg) + "\"><TD width=200>" + label +
         "</TD><TD width=500>" + content + "</TD></TR>\n";
}

std::string labelFor(const std::string& id, const std::string& text) {
  return "<LABEL for=\"" + id + "\">" + text + "</LABEL>";
}

const char* const kTableOpen = "<TABLE cellspacing=0 cellpadding=4>\n";
const char* const kTableClose = "</TABLE>\n";

}  // namespace

// ---------------------------------------------------------------- init

bool CIPVideoCnl::init() {
  std::lock_guard<std::recursive_mutex> guard(configLock());
  // CVideoCnl's, not CNetVideoCnl's: the endpoint settings count only when serving.
  if (!CVideoCnl::init()) return false;
  const std::string sec = sectionName();
  bool changed = false;

  std::string addr = g_settings.readString(sec, "CamIPAddr", "");
  uint16_t port = static_cast<uint16_t>(g_settings.readInt(sec, "CamIPPort", 80) & 0xFFFF);
  std::string user = g_settings.readString(sec, "userName", "");
  std::string pwd = g_settings.readString(sec, "userPwd", "");
  // Clamped as the form clamps it: a hand-edited 150 must not become a negative compression.
  int quality = std::min(std::max(g_settings.readInt(sec, "ImageQuality", 70), 10), 90);
  {
    std::lock_guard<std::mutex> g(m_setLock);
    if (addr != m_camAddr) { m_camAddr = addr; changed = true; }
    if (user != m_userName) { m_userName = user; changed = true; }
    if (pwd != m_userPwd) { m_userPwd = pwd; changed = true; }
  }
  if (port != m_camPort.load()) { m_camPort = port; changed = true; }
  if (quality != m_quality.load()) { m_quality = quality; changed = true; }

  int64_t period = recordingEnabled() ? recordingPeriodNs() : kDefaultPeriodNs;
  period = std::min(std::max(period, kMinPeriodNs), kMaxPeriodNs);
  if (period != m_Tns.load()) { m_Tns = period; changed = true; }

  // The comment block is lines of text: a line break from a setting would forge lines of its own.
  std::vector<uint8_t> comment = pictureblocks::ipCommentSegment(withoutLineBreaks(name()), withoutLineBreaks(addr));
  {
    std::lock_guard<std::mutex> g(m_setLock);
    m_comment.swap(comment);
    m_commentVersion.fetch_add(1, std::memory_order_release);
  }
  if (changed) m_reconnect = true;
  return vendorInit() && serveInit();
}

bool CIPVideoCnl::vendorInit() {
  const std::string sec = sectionName();
  bool changed = false;
  if (m_traits.camIdMax >= 0) {
    int id = std::min(std::max(g_settings.readInt(sec, "CamID", m_traits.camIdDefault), m_traits.camIdMin),
                      m_traits.camIdMax);
    if (id != m_camID.load()) { m_camID = id; changed = true; }
  }
  if (m_traits.hasVideoStd) {
    std::string std = g_settings.readString(sec, "CnlVideoStandard", "PAL");
    int code = std == "PAL" ? 0 : std == "NTSC" ? 1 : -1;
    if (code < 0) {
      logWarning("Invalid video standard: use 'PAL' or 'NTSC'.", fn("init").c_str());
      return false;
    }
    if (code != m_videoStd.load()) { m_videoStd = code; changed = true; }
  }
  int size = imageSizeCode(g_settings.readString(sec, "ImageSize", m_traits.defaultSize));
  if (std::find(m_traits.acceptedSizes.begin(), m_traits.acceptedSizes.end(), size) ==
      m_traits.acceptedSizes.end()) {
    logWarning("Frame format not supported", fn("init").c_str());
    return false;
  }
  if (size != m_imageSize.load()) { m_imageSize = size; changed = true; }
  if (changed) m_reconnect = true;
  return true;
}

// ---------------------------------------------------------------- update

bool CIPVideoCnl::update(const FormFields& fields, std::string& html) {
  const std::string p = fieldPrefix();
  const std::string sec = sectionName();
  if (const std::string* rm = field(fields, p + "Remove")) {
    if (*rm == "on") {
      g_settings.deleteSection(sec);
      stop();
      join();
      html = "IP channel successfully removed";
      return false;
    }
  }
  std::lock_guard<std::recursive_mutex> guard(configLock());
  if (!CVideoCnl::update(fields, html)) return false;

  const std::string badAddr =
      "<P class=warn>The <EM>Camera IP address</EM> parameter must be a valid IP address. (IP:Port)</P>";
  const std::string missing =
      "<P class=warn>The <EM>Camera IP address</EM> parameter was missing or incomplete</P>";
  std::string addr;
  if (const std::string* a = field(fields, p + "CamIPAddr")) {
    if (!isValidCameraHost(*a)) { html += badAddr; return false; }
    addr = *a;
  } else {
    addr = camAddr();
    if (addr.empty()) { html += missing; return false; }
  }
  uint16_t port;
  if (const std::string* pt = field(fields, p + "CamIPPort")) {
    unsigned long v;
    if (!readUnsignedText(*pt, 65535, &v)) { html += badAddr; return false; }
    port = static_cast<uint16_t>(v);
  } else {
    port = m_camPort.load();
    if (port == 0) { html += missing; return false; }
  }
  std::string newText = addr + ":" + std::to_string(port);
  if (newText != hostText()) {
    html += "<P class=upd>Updated the <EM>Camera IP address</EM> value to <STRONG>" + html_escape(newText) +
            "</STRONG></P>";
    g_settings.writeString(sec, "CamIPAddr", addr);
    g_settings.writeInt(sec, "CamIPPort", port);
  }
  for (const char* key : {"userName", "userPwd"}) {
    const std::string* v = field(fields, p + key);
    if (!v) continue;
    if (!g_settings.existingEntry(sec, key) || g_settings.readString(sec, key, "") != *v) {
      g_settings.writeString(sec, key, *v);
      html += "<P class=upd>Updated the <EM>Camera login data</EM> value</P>";
    }
  }
  if (const std::string* q = field(fields, p + "ImageQuality")) {
    long v;
    if (readIntText(*q, &v)) {
      v = std::min(std::max(v, 10L), 90L);
      if (v != m_quality.load()) {
        g_settings.writeInt(sec, "ImageQuality", static_cast<int>(v));
        html += "<P class=upd>Updated the <EM>Image quality</EM> value to <STRONG>" + std::to_string(v) +
                "</STRONG></P>";
      }
    }
  }
  return vendorUpdate(fields, html) && serveUpdate(fields, html);
}

bool CIPVideoCnl::vendorUpdate(const FormFields& fields, std::string& html) {
  const std::string p = fieldPrefix();
  const std::string sec = sectionName();
  if (m_traits.camIdMax >= 0) {
    if (const std::string* id = field(fields, p + "CamID")) {
      unsigned long v;
      if (!readUnsignedText(*id, 1000000, &v) || long(v) < m_traits.camIdMin || long(v) > m_traits.camIdMax) {
        // The same words for every family, also where the range is 0 to 3.
        html += "<P class=warn>The <EM>Channel ID (DVR)</EM> must be an integer between 1 and 4.</P>";
      } else if (int(v) != m_camID.load()) {
        g_settings.writeInt(sec, "CamID", int(v));
        html += "<P class=upd>Updated the <EM>Channel ID (DVR)</EM> value<STRONG>" + std::to_string(v) +
                "</STRONG></P>";
      }
    }
  }
  if (m_traits.hasVideoStd) {
    if (const std::string* vs = field(fields, p + "CnlVideoStandard")) {
      if (*vs != "PAL" && *vs != "NTSC") {
        html += "<P class=warn>Invalid video standard: use 'PAL' or 'NTSC'.</P>";
      } else if (!g_settings.existingEntry(sec, "CnlVideoStandard") ||
                 g_settings.readString(sec, "CnlVideoStandard", "") != *vs) {
        g_settings.writeString(sec, "CnlVideoStandard", *vs);
        html += "<P class=upd>Updated the <EM>Video standard</EM> value to <STRONG>" + *vs + "</STRONG></P>";
      }
    }
  }
  if (const std::string* sz = field(fields, p + "ImageSize")) {
    int code = imageSizeCode(*sz);
    bool accepted = std::find(m_traits.acceptedSizes.begin(), m_traits.acceptedSizes.end(), code) !=
                    m_traits.acceptedSizes.end();
    if (!sz->empty() && accepted &&
        (!g_settings.existingEntry(sec, "ImageSize") || g_settings.readString(sec, "ImageSize", "") != *sz)) {
      g_settings.writeString(sec, "ImageSize", *sz);
      html += "<P class=upd>Updated the <EM>Image size</EM> value to <STRONG>" + html_escape(*sz) +
              "</STRONG></P>";
    }
  }
  return true;
}

// ---------------------------------------------------------------- form and status

void CIPVideoCnl::form(std::string& html) {
  vendorForm(html);
  const std::string p = fieldPrefix();
  const std::string sec = sectionName();
  std::string addr = camAddr();

  html += kTableOpen;
  html += row("#ececec", labelFor(p + "CamIPAddr", "Camera IP address"),
              "<INPUT type=text name=\"" + p + "CamIPAddr\" id=\"" + p +
                  "CamIPAddr\" style=\"width:150px\" maxlength=70 value=\"" +
                  html_escape(addr.empty() ? "<none>" : addr) + "\"> : <INPUT type=text name=\"" + p +
                  "CamIPPort\" id=\"" + p + "CamIPPort\" style=\"width:50px\" maxlength=10 value=\"" +
                  std::to_string(m_camPort.load()) + "\">");
  std::string user, pwd;
  {
    std::lock_guard<std::mutex> g(m_setLock);
    user = m_userName;
    pwd = m_userPwd;
  }
  html += row("#dcdcdc", labelFor(p + "userName", "Camera login data"),
              labelFor(p + "userName", "login") + " <INPUT type=text class=login name=\"" + p +
                  "userName\" id=\"" + p + "userName\" style=\"width:150px\" maxlength=70 value=\"" +
                  html_escape(user) + "\"> " + labelFor(p + "userPwd", "password") +
                  " <INPUT type=password class=login name=\"" + p + "userPwd\" id=\"" + p +
                  "userPwd\" style=\"width:100px\" maxlength=70 value=\"" + html_escape(pwd) + "\">");
  int stored = g_settings.readInt(sec, "ImageQuality", 70);
  int selected = std::min(std::max(stored / 10 * 10, 20), 90);
  std::string select = "<SELECT name=\"" + p + "ImageQuality\" id=\"" + p + "ImageQuality\" style=\"width:50px\">";
  for (int q = 20; q <= 90; q += 10)
    select += std::string("<OPTION") + (q == selected ? " selected" : "") + ">" + std::to_string(q) + "</OPTION>";
  select += "</SELECT> %";
  html += row("#ececec", labelFor(p + "ImageQuality", "Image quality"), select);
  html += kTableClose;
  serveForm(html);
  CVideoCnl::form(html);
}

void CIPVideoCnl::vendorForm(std::string& html) {
  const std::string p = fieldPrefix();
  const std::string sec = sectionName();
  const char* bg[2] = {"#dcdcdc", "#ececec"};
  int n = 0;
  html += kTableOpen;
  html += row(bg[n++ % 2], "Channel type",
              std::string("<B>") + m_traits.formLabel + "</B> <INPUT type=checkbox name=\"" + p +
                  "Remove\" id=\"" + p + "Remove\"> " + labelFor(p + "Remove", "Remove channel"));
  if (m_traits.camIdMax >= 0) {
    std::string radios;
    for (int id = m_traits.camIdMin; id <= m_traits.camIdMax; ++id)
      radios += "<INPUT type=radio name=\"" + p + "CamID\" value=\"" + std::to_string(id) + "\"" +
                (id == m_camID.load() ? " checked" : "") + ">" + std::to_string(id) + " ";
    html += row(bg[n++ % 2], "Channel ID (DVR)", radios);
  }
  if (m_traits.hasVideoStd) {
    std::string radios;
    for (int code = 0; code < 2; ++code) {
      const char* word = code == 0 ? "PAL" : "NTSC";
      radios += "<INPUT type=radio name=\"" + p + "CnlVideoStandard\" value=\"" + word + "\"" +
                (code == m_videoStd.load() ? " checked" : "") + ">" + word + " ";
    }
    html += row(bg[n++ % 2], "Video standard", radios);
  }
  std::string stored = g_settings.readString(sec, "ImageSize", m_traits.defaultSize);
  std::string select = "<SELECT name=\"" + p + "ImageSize\" id=\"" + p + "ImageSize\" style=\"width:140px\">";
  for (const IPSizeOption& o : m_traits.sizeOptions)
    select += std::string("<OPTION value=\"") + o.value + "\"" + (stored == o.value ? " selected" : "") + ">" +
              o.text + "</OPTION>";
  select += "</SELECT> (when supported)";
  html += row(bg[n++ % 2], labelFor(p + "ImageSize", "Image size"), select);
  html += kTableClose;
}

void CIPVideoCnl::status(std::string& html) {
  html += "<TR><TD><STRONG>Channel type, index</STRONG></TD><TD>" + html_escape(displayName()) + "</TD></TR>";
  html += "<TR><TD><STRONG>Channel IP address</STRONG></TD><TD><CODE>" + html_escape(hostText()) +
          "</CODE></TD></TR>";
  html += "<TR><TD><STRONG>Image quality</STRONG></TD><TD>" + std::to_string(m_quality.load()) + "%</TD></TR>";
  html += "<TR><TD><STRONG>Image size</STRONG></TD><TD>" + std::string(imageSizeLabel(m_imageSize.load())) +
          "</TD></TR>";
  serveStatus(html);
  CVideoCnl::status(html);
}
