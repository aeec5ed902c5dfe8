#include "recordings/RecordingPages.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "base/CHTTPSocket.h"
#include "base/CSettings.h"
#include "base/ConfAnswer.h"
#include "base/Tables.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/LiveChannels.h"
#include "recording/CRecVideoClient.h"
#include "recording/EventTree.h"
#include "recordings/PictureCursor.h"
#include "recordings/RecTime.h"
#include "recordings/RecordingJobKinds.h"
#include "recordings/RecordingJobs.h"

namespace {

using recordings::RecordingTree;

constexpr uint64_t kUsPerSecond = 1000000ull;
constexpr uint64_t kDayUs = 86400ull * kUsPerSecond;
// Recorded spans closer than this are drawn as one on the timeline.
constexpr uint64_t kSpanJoinUs = 5 * kUsPerSecond;
// picture.jpg answers 404 when the nearest picture is further away than this.
constexpr uint64_t kNearestLimitUs = 600 * kUsPerSecond;
// Day links listed on the overview per channel (the most recent ones).
constexpr size_t kMaxDayLinks = 400;
constexpr uint64_t kNoEnd = ~uint64_t(0);

const char kStyle[] =
    "<STYLE type=\"text/css\">\n"
    "BODY { background-color: #f0f0ff; background-image: url(/img/TELVORA_logo.png);"
    " background-repeat: no-repeat; background-attachment: fixed; background-position: top right;"
    " font-family: sans-serif; }\n"
    "SPAN.cnl { color: maroon; font-family: monospace; }\n"
    "A.day { font-family: monospace; font-size: 10pt; margin-right: 6px; }\n"
    "TD, TH { padding: 2px 10px; text-align: left; }\n"
    "DIV.bar { position: relative; width: 960px; height: 28px; background: #c8c8d8;"
    " border: 1px solid #606080; cursor: pointer; }\n"
    "DIV.rec { position: absolute; top: 0; height: 28px; background: #2e8b57; }\n"
    "DIV.ticks { position: relative; width: 960px; height: 16px; font-size: 9pt; }\n"
    "DIV.ticks SPAN { position: absolute; }\n"
    "DIV.ev { display: inline-block; margin: 4px; text-align: center; font-size: 9pt;"
    " font-family: monospace; }\n"
    "DIV.ev IMG { width: 160px; height: 120px; object-fit: contain; background: #000;"
    " display: block; }\n"
    "</STYLE>\n";

// A channel with its recording tree.
struct ChannelTree {
  CVideoCnl* cnl = nullptr;
  std::string section, title, type, dir;
};

// The channel's tree folder: the recorder's when it records, else the one its settings name
// (a channel whose recording is switched off still has its tree).
std::string treeDirOf(CVideoCnl* c) {
  CRecVideoClient* rec = recorderOf(*c);
  std::string dir = rec ? rec->channelDir() : "";
  if (!dir.empty()) return dir;
  const std::string root = g_settings.readString(c->sectionName(), "CnlEventRootPath", "");
  if (root.empty() || !eventtree::isAcceptableRoot(root)) return "";
  return eventtree::normalizePath(root + "/") + c->sourceTag() + "/";
}

ChannelTree describe(CVideoCnl* c) {
  ChannelTree t;
  t.cnl = c;
  t.section = c->sectionName();
  t.title = c->name().empty() ? t.section : c->name();
  t.type = c->displayName();
  t.dir = treeDirOf(c);
  return t;
}

std::vector<ChannelTree> channelsWithTrees() {
  std::vector<ChannelTree> out;
  for (CVideoCnl* c : liveChannels()) {
    ChannelTree t = describe(c);
    erdinfo::Record rec;
    if (!t.dir.empty() && RecordingTree(t.dir).readIndex(&rec)) out.push_back(t);
  }
  return out;
}

bool findChannel(const std::string& section, ChannelTree* out) {
  for (CVideoCnl* c : liveChannels()) {
    if (c->sectionName() != section) continue;
    *out = describe(c);
    return !out->dir.empty();
  }
  return false;
}

std::string param(CHTTPSocket& conn, const char* name) {
  auto it = conn.query.find(name);
  return it == conn.query.end() ? std::string() : it->second;
}

bool hasParam(CHTTPSocket& conn, const char* name) { return conn.query.count(name) != 0; }

std::string pageHead(const std::string& title) {
  return "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
         "\"http://www.w3.org/TR/html4/strict.dtd\">\n<HTML><HEAD>\n"
         "<META http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
         "<TITLE>TelvGate " + std::string(kTelvGateVersion) + " " + html_escape(title) +
         "</TITLE>\n" + kStyle + "</HEAD><BODY>\n<A href=\"/configure\"><H1>TELVORA TelvGate " +
         kTelvGateVersion + "</H1></A>\n<P><A href=\"/status\">Status report</A> &nbsp; "
         "<A href=\"/recordings\">Recordings</A> &nbsp; <A href=\"/configure\">Configuration</A></P>\n";
}

std::string pageTail() { return "<HR>\n" + vendorBlock() + "</BODY></HTML>\n"; }

// The short error answers: HTML, or JSON for events.json.
void errorAnswer(int status, const std::string& text, bool json, ConfAnswer& out) {
  const char* reason = status == 400 ? "Bad Request" : status == 404 ? "Not Found"
                     : "Service Unavailable";
  std::map<std::string, std::string> h = {{"Connection:", "close"},
                                          {"Cache-Control:", "private,no-cache,no-store"}};
  addProtectionHeaders(h);
  if (json) {
    h["Content-Type:"] = "application/json";
    out.set(status, reason, h, "{\"error\":\"" + text + "\"}\n");
  } else {
    h["Content-Type:"] = "text/html; charset=utf-8";
    out.set(status, reason, h,
            "<HTML><HEAD><TITLE>" + std::to_string(status) + " " + reason + "</TITLE></HEAD><BODY><H1>" +
                std::to_string(status) + " " + reason + "</H1><P>" + html_escape(text) +
                "</P></BODY></HTML>\n");
  }
}

std::string qEnc(const std::string& s) { return html_escape(url_encode(s)); }

// Merged recorded spans of a day, in microseconds.
std::vector<std::pair<uint64_t, uint64_t>> mergedSpans(const std::vector<recordings::EventSpan>& ev) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const auto& e : ev) {
    if (!out.empty() && e.firstUs <= out.back().second + kSpanJoinUs)
      out.back().second = std::max(out.back().second, e.lastUs);
    else
      out.push_back({e.firstUs, e.lastUs});
  }
  return out;
}

// The 24-hour bar of [dayUs, dayUs + 1 day): the recorded spans on a grey ground (the gaps),
// hour marks below; a click plays from that time.
std::string timelineBar(const ChannelTree& t, uint64_t dayUs, uint64_t dayEndUs,
                        const std::vector<recordings::EventSpan>& events) {
  const double len = double(dayEndUs - dayUs);
  std::string out = "<DIV class=bar id=bar data-day=\"" + rectime::unixText(dayUs) + "\" data-len=\"" +
                    rectime::unixText(dayEndUs - dayUs) + "\" title=\"click to play from there\">\n";
  for (const auto& s : mergedSpans(events)) {
    const uint64_t a = std::max(s.first, dayUs), b = std::min(std::max(s.second, s.first + 1), dayEndUs);
    if (b <= a) continue;
    char style[96];
    std::snprintf(style, sizeof style, "left:%.3f%%;width:%.3f%%;min-width:1px",
                  100.0 * double(a - dayUs) / len, 100.0 * double(b - a) / len);
    out += "<DIV class=rec style=\"" + std::string(style) + "\" title=\"" +
           rectime::displayLocal(a) + " - " + rectime::displayLocal(b) + "\"></DIV>\n";
  }
  out += "</DIV>\n<DIV class=ticks>";
  for (int h = 0; h < 24; h += 3) {
    char span[64];
    std::snprintf(span, sizeof span, "<SPAN style=\"left:%.2f%%\">%02d:00</SPAN>", 100.0 * h / 24, h);
    out += span;
  }
  out += "</DIV>\n<SCRIPT>\ndocument.getElementById('bar').onclick = function (e) {\n"
         "  var r = this.getBoundingClientRect();\n"
         "  var t = parseFloat(this.dataset.day) + parseFloat(this.dataset.len) * (e.clientX - r.left) / r.width;\n"
         "  location.href = '/recordings/play?c=" + qEnc(t.section) + "&from=' + t.toFixed(0);\n"
         "};\n</SCRIPT>\n";
  return out;
}

uint64_t nextDayStart(uint64_t dayUs) { return rectime::dayStart(dayUs + 36 * 3600 * kUsPerSecond); }

// The local days between the oldest and the newest event on which an event begins: one
// binary search per day.
std::vector<uint64_t> recordedDays(const RecordingTree& tree) {
  std::vector<uint64_t> days;
  uint64_t oldest, newest;
  if (!tree.bounds(&oldest, &newest)) return days;
  const RecordingTree::Range r = tree.range();
  uint64_t d = rectime::dayStart(newest);
  const uint64_t first = rectime::dayStart(oldest);
  while (days.size() < kMaxDayLinks) {
    const uint64_t end = nextDayStart(d);
    uint32_t pos;
    uint64_t start;
    if (tree.findPosition(r, end - 1, &pos, &start) && start >= d && start < end) days.push_back(d);
    if (d <= first) break;
    d = rectime::dayStart(d - 1);
  }
  std::reverse(days.begin(), days.end());
  return days;
}

std::string sizeText(uint64_t kb) {
  char buf[32];
  if (kb >= 1048576) std::snprintf(buf, sizeof buf, "%.1f GB", double(kb) / 1048576);
  else if (kb >= 1024) std::snprintf(buf, sizeof buf, "%.1f MB", double(kb) / 1024);
  else std::snprintf(buf, sizeof buf, "%u KB", unsigned(kb));
  return buf;
}

std::string ageText(uint64_t ns) {
  if (ns == 0) return "no limit";
  const uint64_t s = ns / 1000000000ull;
  std::string out;
  if (s / 86400) out += std::to_string(s / 86400) + " days ";
  if (s % 86400 / 3600) out += std::to_string(s % 86400 / 3600) + " hours";
  return out.empty() ? std::to_string(s) + " s" : out;
}

void overviewPage(ConfAnswer& out) {
  std::string page = pageHead("Recordings");
  page += "<H2>Recordings</H2>\n";
  const std::vector<ChannelTree> trees = channelsWithTrees();
  if (trees.empty()) page += "<P>No channel has a recording tree.</P>\n";
  else
    page += "<TABLE rules=rows frame=void>\n<TR><TH>Channel</TH><TH>Type</TH><TH>Oldest</TH>"
            "<TH>Newest</TH><TH>Events</TH><TH>Used / quota</TH><TH>Max. age</TH></TR>\n";
  std::string dayLists;
  for (const ChannelTree& t : trees) {
    const RecordingTree tree(t.dir);
    erdinfo::Record rec;
    tree.readIndex(&rec);
    const RecordingTree::Range r = tree.range();
    uint64_t oldest = 0, newest = 0;
    const bool any = tree.bounds(&oldest, &newest);
    CRecVideoClient* rc = recorderOf(*t.cnl);
    const uint32_t quota = rc ? rc->diskQuotaKB() : 0;
    page += "<TR><TD><SPAN class=cnl>" + html_escape(t.title) + "</SPAN></TD><TD>" +
            html_escape(t.type) + "</TD><TD>" + (any ? rectime::displayLocal(oldest) : "-") + "</TD><TD>" +
            (any ? rectime::displayLocal(newest) : "-") + "</TD><TD>" +
            std::to_string(r.ok ? r.span + 1 : 0) + "</TD><TD>" + sizeText(uint64_t(rec.usedKB)) + " / " +
            (quota ? sizeText(quota) : std::string("no limit")) + "</TD><TD>" +
            ageText(rc ? rc->maxAge() : 0) + "</TD></TR>\n";
    dayLists += "<H3>" + html_escape(t.title) + "</H3>\n<P>";
    for (uint64_t d : recordedDays(tree))
      dayLists += "<A class=day href=\"/recordings?c=" + qEnc(t.section) + "&amp;day=" +
                  rectime::dayOf(d) + "\">" + rectime::dayOf(d) + "</A> ";
    dayLists += "</P>\n";
  }
  if (!trees.empty()) page += "</TABLE>\n";
  page += dayLists + pageTail();
  htmlAnswer(page, out);
}

void dayPage(const ChannelTree& t, uint64_t dayUs, ConfAnswer& out) {
  const uint64_t end = nextDayStart(dayUs);
  const RecordingTree tree(t.dir);
  const std::vector<recordings::EventSpan> events = tree.spans(dayUs, end);
  std::string page = pageHead("Recordings " + t.title);
  page.reserve(events.size() * 400 + 8192);
  page += "<H2>Recordings of <SPAN class=cnl>" + html_escape(t.title) + "</SPAN> on " +
          rectime::dayOf(dayUs) + "</H2>\n<P><A href=\"/recordings?c=" + qEnc(t.section) +
          "&amp;day=" + rectime::dayOf(dayUs - 1) + "\">&lt; previous day</A> &nbsp; <A href=\"/recordings?c=" +
          qEnc(t.section) + "&amp;day=" + rectime::dayOf(end) + "\">next day &gt;</A> &nbsp; " +
          std::to_string(events.size()) + " events</P>\n";
  page += timelineBar(t, dayUs, end, events);
  page += "<DIV id=events>\n";
  const std::string c = qEnc(t.section);
  for (const auto& e : events) {
    const std::string at = rectime::unixText(e.firstUs);
    page += "<DIV class=ev><A href=\"/recordings/play?c=" + c + "&amp;from=" + at +
            "\"><IMG loading=lazy alt=\"\" src=\"/recordings/picture.jpg?c=" + c + "&amp;t=" + at +
            "\">" + rectime::displayLocal(e.firstUs).substr(11, 8) + "</A></DIV>\n";
  }
  page += "</DIV>\n" + pageTail();
  htmlAnswer(page, out);
}

// The local offset from UTC in seconds at us (for the play page's clock).
long utcOffsetAt(uint64_t us) {
  const time_t s = time_t(us / kUsPerSecond);
  struct tm t;
  localtime_r(&s, &t);
  return t.tm_gmtoff;
}

void playPage(const ChannelTree& t, uint64_t fromUs, unsigned speed, ConfAnswer& out) {
  const uint64_t day = rectime::dayStart(fromUs), end = nextDayStart(day);
  const RecordingTree tree(t.dir);
  std::string page = pageHead("Play " + t.title);
  page += "<H2>Playing <SPAN class=cnl>" + html_escape(t.title) + "</SPAN> from " +
          rectime::displayLocal(fromUs) + " (<A href=\"/recordings?c=" + qEnc(t.section) + "&amp;day=" +
          rectime::dayOf(day) + "\">day</A>)</H2>\n";
  page += timelineBar(t, day, end, tree.spans(day, end));
  page += "<P><IMG id=video alt=\"\" style=\"max-width:960px;background:#000\"></P>\n"
          "<P>Shown: <STRONG id=shown>-</STRONG> &nbsp; Speed: ";
  for (unsigned s : {1u, 2u, 4u, 8u})
    page += "<BUTTON type=button class=speed data-speed=" + std::to_string(s) + ">" + std::to_string(s) +
            "x</BUTTON> ";
  // A link that plays this stream without a login (confserver/SignedLinks.h), for a player elsewhere.
  const std::string stream = "/recordings/play.jpg?c=" + url_encode(t.section) + "&from=" +
                             rectime::unixText(fromUs) + "&speed=" + std::to_string(speed);
  page += "<SPAN id=state></SPAN> &nbsp; <A href=\"/link?u=" + qEnc(stream) + "\">link</A></P>\n<SCRIPT>\n"
          "var channel = '" + qEnc(t.section) + "', offset = " + std::to_string(utcOffsetAt(fromUs)) +
          ", current = " + std::to_string(fromUs) + ", speed = " + std::to_string(speed) +
          ", frames = 0, control = null;\n"
          "function two(n) { return (n < 10 ? '0' : '') + n; }\n"
          "function shownTime(us) {\n"
          "  var d = new Date(us / 1000 + offset * 1000);\n"
          "  return d.getUTCFullYear() + '-' + two(d.getUTCMonth() + 1) + '-' + two(d.getUTCDate()) + ' ' +\n"
          "    two(d.getUTCHours()) + ':' + two(d.getUTCMinutes()) + ':' + two(d.getUTCSeconds());\n"
          "}\n"
          // Each part: the 81-byte header with the length at bytes 70..76, then the picture,
          // whose time stamp (microseconds, little-endian) follows "TLF\0" and four bytes.
          "async function play(fromUs, s) {\n"
          "  if (control) control.abort();\n"
          "  control = new AbortController(); speed = s; current = fromUs;\n"
          "  document.getElementById('state').textContent = 'playing at ' + s + 'x';\n"
          "  var url = '/recordings/play.jpg?c=' + channel + '&from=' + (fromUs / 1e6).toFixed(6) + '&speed=' + s;\n"
          "  var reader = (await fetch(url, {signal: control.signal})).body.getReader();\n"
          "  var buf = new Uint8Array(0), img = document.getElementById('video'), old = null;\n"
          "  for (;;) {\n"
          "    var r = await reader.read();\n"
          "    if (r.done) { document.getElementById('state').textContent = 'end of recording'; return; }\n"
          "    var joined = new Uint8Array(buf.length + r.value.length);\n"
          "    joined.set(buf); joined.set(r.value, buf.length); buf = joined;\n"
          "    while (buf.length >= 81) {\n"
          "      var len = parseInt(String.fromCharCode.apply(null, buf.subarray(70, 77)), 10);\n"
          "      if (buf.length < 81 + len) break;\n"
          "      var jpeg = buf.slice(81, 81 + len); buf = buf.slice(81 + len);\n"
          "      for (var i = 2; i + 16 < jpeg.length && i < 512; i++)\n"
          "        if (jpeg[i] == 84 && jpeg[i + 1] == 76 && jpeg[i + 2] == 70 && jpeg[i + 3] == 0) {\n"
          "          current = Number(new DataView(jpeg.buffer).getBigUint64(i + 8, true)); break;\n"
          "        }\n"
          "      if (old) URL.revokeObjectURL(old);\n"
          "      old = img.src = URL.createObjectURL(new Blob([jpeg], {type: 'image/jpeg'}));\n"
          "      document.getElementById('shown').textContent = shownTime(current); frames++;\n"
          "    }\n"
          "  }\n"
          "}\n"
          "document.querySelectorAll('button.speed').forEach(function (b) {\n"
          "  b.onclick = function () { play(current, parseInt(b.dataset.speed, 10)); };\n"
          "});\n"
          "document.getElementById('bar').onclick = function (e) {\n"
          "  var r = this.getBoundingClientRect();\n"
          "  play(Math.round(1e6 * (parseFloat(this.dataset.day) + parseFloat(this.dataset.len) * (e.clientX - r.left) / r.width)), speed);\n"
          "};\n"
          "play(current, speed).catch(function () {});\n"
          "</SCRIPT>\n";
  page += pageTail();
  htmlAnswer(page, out);
}

// The recorded picture nearest to tUs.
void pictureAnswer(const ChannelTree& t, uint64_t tUs, ConfAnswer& out) {
  const RecordingTree tree(t.dir);
  recordings::PictureCursor cursor(tree);
  recordings::Picture pic;
  std::string best;
  uint64_t bestUs = 0;
  uint32_t pos;
  uint64_t start;
  const RecordingTree::Range r = tree.range();
  if (tree.findPosition(r, tUs, &pos, &start) && cursor.seek(start)) {
    while (cursor.next(&pic)) {
      const bool closer = best.empty() || (pic.us > tUs ? pic.us - tUs : tUs - pic.us) <
                                              (bestUs > tUs ? bestUs - tUs : tUs - bestUs);
      if (closer) {
        best.assign(reinterpret_cast<const char*>(pic.data), pic.size);
        bestUs = pic.us;
      }
      if (pic.us >= tUs) break;
    }
  }
  if (best.empty() || (bestUs > tUs ? bestUs - tUs : tUs - bestUs) > kNearestLimitUs)
    return errorAnswer(404, "Nothing is recorded near this time.", false, out);
  std::map<std::string, std::string> h = {{"Content-Type:", "image/jpeg"},
                                          {"Cache-Control:", "private,max-age=86400"},
                                          {"Connection:", "close"}};
  addProtectionHeaders(h);
  out.set(200, "OK", h, best);
}

// Parses the time parameter name; false (with the 400 answer) when it is missing or malformed.
bool timeParam(CHTTPSocket& conn, const char* name, bool json, uint64_t* us, ConfAnswer& out) {
  if (rectime::parseTime(param(conn, name), us)) return true;
  errorAnswer(400, std::string("The parameter ") + name +
                       " must be a local time (2026-12-10T09:30:00) or Unix seconds.", json, out);
  return false;
}

// True when a picture is recorded in [fromUs, toUs).
bool recordedIn(const ChannelTree& t, uint64_t fromUs, uint64_t toUs) {
  const RecordingTree tree(t.dir);
  recordings::PictureCursor cursor(tree);
  recordings::Picture pic;
  return cursor.seek(fromUs) && cursor.next(&pic) && pic.us < toUs;
}

void handOver(RecordingJobs& jobs, std::unique_ptr<RecordingJob> job, bool json, ConfAnswer& out) {
  RecordingJob* admitted = jobs.admit(std::move(job));
  if (!admitted)
    return errorAnswer(503, "Too many recordings are being played or exported; try again later.", json, out);
  out.handOver = [admitted](int handle, std::unique_ptr<SocketTransport> layer) {
    admitted->begin(handle, std::move(layer));
  };
}

}  // namespace

bool isRecordingsPath(const std::string& path) {
  return path == "/recordings" || path.compare(0, 12, "/recordings/") == 0;
}

void recordingsAnswer(CHTTPSocket& conn, RecordingJobs& jobs, ConfAnswer& out) {
  const std::string& path = conn.path;
  const bool json = path == "/recordings/events.json";
  static const char* const kPaths[] = {"/recordings", "/recordings/play", "/recordings/picture.jpg",
                                       "/recordings/play.jpg", "/recordings/events.json",
                                       "/recordings/export"};
  if (std::find_if(std::begin(kPaths), std::end(kPaths), [&](const char* p) { return path == p; }) ==
      std::end(kPaths))
    return errorAnswer(404, "No such recordings page.", false, out);
  if (path == "/recordings" && !hasParam(conn, "c")) return overviewPage(out);

  ChannelTree t;
  if (!findChannel(param(conn, "c"), &t))
    return errorAnswer(404, "No channel with a recording tree has this section name.", json, out);
  if (path == "/recordings") {
    uint64_t day;
    if (!rectime::parseDay(param(conn, "day"), &day))
      return errorAnswer(400, "The parameter day must be a date (2026-12-10).", false, out);
    return dayPage(t, day, out);
  }
  if (path == "/recordings/picture.jpg") {
    uint64_t at;
    if (!timeParam(conn, "t", false, &at, out)) return;
    return pictureAnswer(t, at, out);
  }
  uint64_t from, to = kNoEnd;
  if (!timeParam(conn, "from", json, &from, out)) return;
  const bool needTo = path == "/recordings/events.json" || path == "/recordings/export";
  if ((needTo || hasParam(conn, "to")) && !timeParam(conn, "to", json, &to, out)) return;
  if (from >= to) return errorAnswer(400, "The time from must come before the time to.", json, out);
  unsigned speed = 1;
  if (hasParam(conn, "speed")) {
    const std::string s = param(conn, "speed");
    if (s != "1" && s != "2" && s != "4" && s != "8")
      return errorAnswer(400, "The speed must be 1, 2, 4 or 8.", json, out);
    speed = unsigned(s[0] - '0');
  }
  if (path == "/recordings/play") return playPage(t, from, speed, out);
  recordings::ExportRequest req;
  if (path == "/recordings/export" && !recordings::parseFormat(param(conn, "format"), &req.format))
    return errorAnswer(400, "The format must be mkv, avi or zip.", false, out);
  if (!recordedIn(t, from, to)) return errorAnswer(404, "Nothing is recorded in this range.", json, out);
  if (path == "/recordings/play.jpg")
    return handOver(jobs, recordings::makePlayJob(t.section, t.dir, from, to, speed), false, out);
  if (json) return handOver(jobs, recordings::makeEventsJob(t.section, t.dir, from, to), true, out);
  req.channelName = t.title;
  req.channelTag = t.cnl->sourceTag();
  req.fromUs = from;
  req.toUs = to;
  handOver(jobs, recordings::makeExportJob(t.section, t.dir, req), false, out);
}
