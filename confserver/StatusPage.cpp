#include "confserver/StatusPage.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>

#include "base/CHTTPSocket.h"
#include "base/CLogFile.h"
#include "base/ConfAnswer.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/LiveChannels.h"
#include "confserver/ChannelForms.h"
#include "confserver/ConfPages.h"
#include "confserver/ConfServices.h"
#include "confserver/TlsPictures.h"

namespace {

const char kStatusStyle[] =
    "<STYLE type=\"text/css\">\n"
    "BODY { background-color: #f0f0ff; background-image: url(/img/TELVORA_logo.png);"
    " background-repeat: no-repeat; background-attachment: fixed;"
    " background-position: top right; }\n"
    "SPAN.cnl { color: maroon; font-family: monospace; }\n"
    "A.innerLink { font-family: monospace; font-size: 10pt; }\n"
    "LABEL { line-height: 1.8; }\n"
    "</STYLE>\n";

// Two cells per row: a row opens before every even cell and closes after every odd one, so an
// odd number of cells leaves the last row open.
class CellRows {
 public:
  explicit CellRows(std::string& out) : m_out(out) {}
  void open() {
    if (m_count % 2 == 0) m_out += "<TR bgcolor=\"#dcdcdc\">\n";
  }
  void close() {
    if (m_count % 2 == 1) m_out += "</TR>\n";
    ++m_count;
  }

 private:
  std::string& m_out;
  unsigned m_count = 0;
};

std::string channelTitle(CVideoCnl* c) {
  std::string name = c->name();
  if (!name.empty()) return html_escape(name);
  return "&lt;" + html_escape(c->sectionName()) + "&gt;&nbsp;";
}

void statusRow(const std::string& label, const std::string& value, std::string& out) {
  out += "<TR><TD><LABEL>" + label + "</LABEL></TD><TD>" + value + "</TD></TR>\n";
}

}  // namespace

std::string statusTimeText() {
  char buf[128];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  size_t n = strftime(buf, sizeof buf, "%x %X", &local);
  return std::string(buf, n);
}

std::string buildStatusPage(const std::string& timeText, const CNetAddr& serverAddr, bool firefox,
                            const CNetAddr& confAddr, bool viaTls) {
  const std::string version = kTelvGateVersion;
  std::string out;
  out.reserve(16384);
  out += "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
         "\"http://www.w3.org/TR/html4/strict.dtd\">\n<HTML><HEAD>\n"
         "<META http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
         "<TITLE>TelvGate " + version + " Status Report</TITLE>\n";
  out += kStatusStyle;
  out += "</HEAD><BODY>\n<A href=\"/configure\"><H1>TELVORA TelvGate " + version +
         "</H1></A><BR>\n<H2>Status Report (" + html_escape(timeText) + ")</H2>\n"
         "<P><A href=\"/recordings\">Recordings</A> of the channels</P><BR>\n"
         "<TABLE rules=none frame=void>\n<COLGROUP><COL width=650><COL width=650></COLGROUP>\n";

  CellRows rows(out);
  for (CVideoCnl* c : liveChannels()) {
    rows.open();
    const std::string src = viaTls ? tlsPictureUrl(c->fieldPrefix(), firefox) : c->imageUrl(serverAddr.ip, firefox);
    out += "<TD valign=top><H3><IMG width=200 src=\"" + html_escape(src) +
           "\" alt=\"\"><BR>&nbsp;Status of channel <A class=cnl href=\"/configure?cnl=" +
           html_escape(c->fieldPrefix()) + "\" title=\"configure\">" + channelTitle(c) +
           "</A></H3>\n<TABLE rules=none frame=void>\n"
           "<COLGROUP><COL width=300><COL width=350></COLGROUP>\n";
    channelStatus(*c, out);
    const std::string rtsp = rtspUrlOf(*c, serverAddr.ip);
    if (!rtsp.empty()) statusRow("RTSP address", "<CODE>" + html_escape(rtsp) + "</CODE>", out);
    out += "</TABLE></TD>\n";
    rows.close();
  }

  rows.open();
  out += "<TD valign=top><A href=\"/configure?cnl=sys\" title=\"configure\"><H3>System Settings"
         "</H3></A>\n<TABLE rules=none frame=void>\n"
         "<COLGROUP><COL width=300><COL width=300></COLGROUP>\n";
  statusRow("Log file path", "<CODE>" + html_escape(g_logFile.path()) + "</CODE>", out);
  statusRow("Log file max size [Mb]", std::to_string(g_logFile.sizeLimit() / 1048576u), out);
  statusRow("Log file current size [Mb]", std::to_string(g_logFile.byteCount() / 1048576u), out);
  statusRow("Configure IP address", "<CODE>" + html_escape(confAddr.to_string()) + "</CODE>", out);
  out += "</TABLE></TD>\n";
  rows.close();

  out += "</TABLE><HR>\n";
  out += vendorBlock();
  out += "</BODY></HTML>\n";
  return out;
}

void statusPage(CHTTPSocket& conn, const CNetAddr& confAddr, ConfAnswer& out, bool viaTls) {
  const std::string page =
      buildStatusPage(statusTimeText(), conn.localAddress(), wantsLivePictures(conn), confAddr, viaTls);
  htmlAnswer(page, out);
}

unsigned logLineCount(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(begin, &end, 10);
  if (end == begin) return 0;
  // Out of range either way, or negative: as many lines as there are.
  if (errno == ERANGE || n < 0 || n > 0xFFFFFFFFll) return 0xFFFFFFFFu;
  return unsigned(n);
}

void logsAnswer(CHTTPSocket& conn, ConfAnswer& out) {
  const auto it = conn.query.find("l");
  const unsigned count = it == conn.query.end() ? 0 : logLineCount(it->second);
  std::map<std::string, std::string> headers = {{"Content-Type:", "text/plain"},
                                                {"Cache-Control:", "private,no-cache,no-store"},
                                                {"Connection:", "close"}};
  addProtectionHeaders(headers);
  out.set(200, "OK", headers, g_logFile.logText(count));
}
