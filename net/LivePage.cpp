#include "net/LivePage.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include "app/Tables.h"
#include "channels/CFalconVideoCnl.h"
#include "channels/CVideoCnl.h"
#include "net/CHTTPSocket.h"
#include "net/ConfAnswer.h"
#include "net/ConfChannels.h"
#include "net/ConfPages.h"
#include "net/ConfServices.h"
#include "net/EndpointPages.h"
#include "net/TextHelpers.h"

namespace {

const char kStyle[] =
    "<style>\n"
    "body{margin:0;background:#101018;color:#e8e8e8;font-family:sans-serif}\n"
    "#bar{padding:6px 8px;font-size:14px}#bar a{color:#9cf;margin:0 4px}#bar b{margin:0 4px}\n"
    "#grid{display:grid;gap:4px;padding:0 4px 4px}\n"
    ".tile{position:relative;background:#000;cursor:pointer;aspect-ratio:4/3;overflow:hidden}\n"
    ".tile img{width:100%;height:100%;object-fit:contain;display:block}\n"
    ".cap{position:absolute;left:0;right:0;bottom:0;background:rgba(0,0,0,.6);padding:3px 6px;"
    "font-size:13px}\n"
    ".cap a{color:#9cf;float:right}\n"
    ".st{margin-left:8px;padding:0 5px;border-radius:3px;background:#275}\n"
    ".st.bad{background:#b22}\n"
    "#grid.solo{grid-template-columns:1fr!important}#grid.solo .tile{display:none}"
    "#grid.solo .tile.on{display:block}\n"
    "</style>\n";

// Streams from the endpoints (at a rate that suits the tile size), the picture of the others once
// a second, the states every two seconds, and the click that shows one tile alone.
const char kScript[] =
    "<script>\n"
    "(function(){\n"
    "var grid=document.getElementById('grid'),tiles=grid.querySelectorAll('.tile');\n"
    "function still(t){t.querySelector('img').src='/live?picture='+encodeURIComponent(t.dataset.sec)"
    "+'&t='+Date.now();}\n"
    "tiles.forEach(function(t){\n"
    " if(t.dataset.state==='off')return;\n"
    " if(t.dataset.port!=='0')t.querySelector('img').src='http://'+(t.dataset.ip||location.hostname)"
    "+':'+t.dataset.port+'/control/faststream.jpg?fps='+grid.dataset.fps;\n"
    " else{still(t);setInterval(function(){still(t);},1000);}\n"
    " t.addEventListener('click',function(e){\n"
    "  if(e.target.tagName==='A')return;\n"
    "  var alone=!(grid.classList.contains('solo')&&t.classList.contains('on'));\n"
    "  tiles.forEach(function(o){o.classList.remove('on');});\n"
    "  grid.classList.toggle('solo',alone);if(alone)t.classList.add('on');\n"
    " });\n"
    "});\n"
    "setInterval(function(){\n"
    " var r=new XMLHttpRequest();r.open('GET','/live?states=1');\n"
    " r.onload=function(){r.responseText.split('\\n').forEach(function(line){\n"
    "  var f=line.split('\\t');\n"
    "  tiles.forEach(function(t){if(t.dataset.sec===f[0]&&f.length>1){var s=t.querySelector('.st');"
    "s.textContent=f[1];s.className=f[1]==='ok'?'st':'st bad';}});\n"
    " });};r.send();\n"
    "},2000);\n"
    "})();\n"
    "</script>\n";

int columnsFor(int perScreen) { return perScreen >= 16 ? 4 : perScreen >= 9 ? 3 : perScreen >= 4 ? 2 : 1; }
int fpsFor(int perScreen) { return perScreen >= 16 ? 2 : perScreen >= 9 ? 3 : perScreen >= 4 ? 5 : 10; }

std::string stateOf(CVideoCnl* c) {
  if (auto* analog = dynamic_cast<CFalconVideoCnl*>(c))
    if (!analog->enabled()) return "off";
  return signalStateText(c->signalState());
}

std::vector<LiveTile> currentTiles(const std::string& pageHost) {
  std::vector<LiveTile> tiles;
  for (CVideoCnl* c : liveChannels()) {
    LiveTile t;
    t.section = c->sectionName();
    t.title = c->name().empty() ? t.section : c->name();
    t.state = stateOf(c);
    const CNetAddr e = c->endpointAddr();
    t.port = e.port;
    t.ip = e.ip == "0.0.0.0" ? "" : e.ip;
    t.rtsp = rtspUrlOf(*c, pageHost);
    tiles.push_back(std::move(t));
  }
  return tiles;
}

int queryNumber(CHTTPSocket& conn, const char* key, int fallback) {
  const std::string v = conn.header(conn.query, key);
  const int n = std::atoi(v.c_str());
  return n > 0 ? n : fallback;
}

void plainAnswer(const std::string& type, const std::string& body, ConfAnswer& out) {
  std::map<std::string, std::string> headers = {{"Connection:", "close"},
                                                {"Content-type:", type},
                                                {"Content-Length:", std::to_string(body.size())},
                                                {"Cache-Control:", "private,no-cache,no-store"}};
  addProtectionHeaders(headers);
  out.set(200, "OK", headers, body);
}

void pictureAnswer(const std::string& section, ConfAnswer& out) {
  for (CVideoCnl* c : liveChannels()) {
    if (c->sectionName() != section) continue;
    std::shared_ptr<const SharedPicture> pic;
    c->currentPicture(pic);
    // The page asks again in a second: a camera paced by its frame period fetches one for it.
    c->signalFrameWanted();
    if (pic)
      return plainAnswer("image/jpeg",
                         std::string(reinterpret_cast<const char*>(pic->data.get()), pic->length), out);
    break;
  }
  plainAnswer("image/gif", noPictureImage(), out);
}

}  // namespace

std::string buildLivePage(const std::vector<LiveTile>& tiles, int perScreen, int page, int pages) {
  std::string out =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n<title>TelvGate " +
      std::string(kTelvGateVersion) + " Live</title>\n" + kStyle + "</head><body>\n<div id=bar>"
      "<a href=\"/status\">Status</a> Tiles:";
  for (int n : {1, 4, 9, 16})
    out += n == perScreen ? " <b>" + std::to_string(n) + "</b>"
                          : " <a href=\"/live?n=" + std::to_string(n) + "\">" + std::to_string(n) + "</a>";
  if (pages > 1) {
    out += " Page:";
    for (int p = 1; p <= pages; ++p)
      out += p == page ? " <b>" + std::to_string(p) + "</b>"
                       : " <a href=\"/live?n=" + std::to_string(perScreen) + "&amp;p=" +
                             std::to_string(p) + "\">" + std::to_string(p) + "</a>";
  }
  out += "</div>\n<div id=grid data-fps=\"" + std::to_string(fpsFor(perScreen)) +
         "\" style=\"grid-template-columns:repeat(" + std::to_string(columnsFor(perScreen)) +
         ",1fr)\">\n";
  for (const LiveTile& t : tiles) {
    const std::string sec = html_escape(t.section);
    out += "<div class=tile data-sec=\"" + sec + "\" data-ip=\"" + html_escape(t.ip) +
           "\" data-port=\"" + std::to_string(t.port) + "\" data-state=\"" + html_escape(t.state) +
           "\"><img alt=\"" + html_escape(t.title) + "\"><div class=cap><b>" + html_escape(t.title) +
           "</b><span class=\"st" + (t.state == "ok" ? "" : " bad") + "\">" + html_escape(t.state) +
           "</span><a href=\"/recordings?c=" + html_escape(url_encode(t.section)) + "\">recordings</a>" +
           (t.rtsp.empty() ? std::string() : "<a href=\"" + html_escape(t.rtsp) + "\">rtsp</a>") +
           "</div></div>\n";
  }
  out += "</div>\n";
  out += kScript;
  out += "</body></html>\n";
  return out;
}

void liveAnswer(CHTTPSocket& conn, ConfAnswer& out) {
  if (conn.query.count("picture")) return pictureAnswer(conn.header(conn.query, "picture"), out);
  if (conn.query.count("states")) {
    std::string body;
    for (const LiveTile& t : currentTiles(conn.localAddress().ip)) body += t.section + "\t" + t.state + "\n";
    return plainAnswer("text/plain", body, out);
  }
  int perScreen = queryNumber(conn, "n", 4);
  if (perScreen != 1 && perScreen != 9 && perScreen != 16) perScreen = 4;
  const std::vector<LiveTile> all = currentTiles(conn.localAddress().ip);
  const int pages = std::max(1, int((all.size() + size_t(perScreen) - 1) / size_t(perScreen)));
  const int page = std::min(queryNumber(conn, "p", 1), pages);
  const auto first = all.begin() + std::min(all.size(), size_t(page - 1) * size_t(perScreen));
  const auto last = all.begin() + std::min(all.size(), size_t(page) * size_t(perScreen));
  htmlAnswer(buildLivePage(std::vector<LiveTile>(first, last), perScreen, page, pages), out);
  out.linger = true;
}
