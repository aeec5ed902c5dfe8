#pragma once
// "/live" on the configuration server (no login, as "/status"): every channel's live picture in
// a grid of 1, 4, 9 or 16 tiles per screen. A tile streams from the channel's own endpoint port,
// so the browser's limit of connections per host never stalls the page; a channel without an
// endpoint shows its current picture, fetched again once a second through this server. Each
// tile names the channel, shows the state of its source (refreshed every two seconds) and links
// to its recordings; a click shows the tile alone, another click the grid again.
//
//   /live?n=<tiles per screen>&p=<page>   the page (n 1, 4, 9 or 16, default 4; p from 1)
//   /live?picture=<section>               the channel's current picture (no waiting)
//   /live?states=1                        "<section>\t<state>\n" per channel
//
// Configuration server thread only (it walks the channel list).
#include <cstdint>
#include <string>
#include <vector>

class CHTTPSocket;
struct ConfAnswer;

struct LiveTile {
  std::string section;  // the channel's settings section, its key on this page
  std::string title;    // name, or the section when the name is empty
  std::string state;    // "ok", "no signal", ..., "off" for a channel switched off
  std::string ip;       // the endpoint's address; "" when it listens on every interface
  uint16_t port = 0;    // the endpoint's port; 0: the channel has none
  std::string rtsp;     // the channel's RTSP address; "" while the RTSP server is off
};

// The page for the tiles of one screen; perScreen 1, 4, 9 or 16, page counted from 1 of pages.
std::string buildLivePage(const std::vector<LiveTile>& tiles, int perScreen, int page, int pages);
// The answer to any "/live" request.
void liveAnswer(CHTTPSocket& conn, ConfAnswer& out);
