#include "confserver/ConfServices.h"

#include <mutex>

#include "base/SystemSettings.h"
#include "base/TextHelpers.h"
#include "channels/CVideoCnl.h"
#include "channels/LiveChannels.h"
#include "confserver/SettingRows.h"

namespace {

const settingrows::Rows kRows = {
    &syssettings::kRtspEnabled,
    &syssettings::kRtspPort,
    &syssettings::kRtspAuth,
    &syssettings::kOnvifEnabled,
    &syssettings::kOnvifAddress,
    &syssettings::kOnvifPort,
};

std::mutex g_lock;
CNetAddr g_rtsp;
std::function<void()> g_restart;

}  // namespace

void publishRtspAddress(const CNetAddr& a) {
  std::lock_guard<std::mutex> g(g_lock);
  g_rtsp = a;
}

std::string rtspUrlOf(CVideoCnl& c, const std::string& pageHost) {
  CNetAddr a;
  {
    std::lock_guard<std::mutex> g(g_lock);
    a = g_rtsp;
  }
  if (a.port == 0) return "";
  const std::string host = a.ip.empty() || a.ip == "0.0.0.0" ? pageHost : a.ip;
  return "rtsp://" + host + ":" + std::to_string(a.port) + "/" + c.sourceTag();
}

void setServicesRestart(std::function<void()> restart) {
  std::lock_guard<std::mutex> g(g_lock);
  g_restart = std::move(restart);
}

void printServicesForm(const std::string& pageHost, std::string& out) {
  out += "<TABLE rules=none frame=void>\n<COLGROUP><COL width=300><COL width=400></COLGROUP>\n"
         "<TR><TH colspan=2>Standard camera services</TH></TR>\n";
  settingrows::printRows(kRows, out);
  for (CVideoCnl* c : liveChannels()) {
    const std::string url = rtspUrlOf(*c, pageHost);
    const std::string name = c->name().empty() ? c->sectionName() : c->name();
    settingrows::row("RTSP address of " + html_escape(name),
                     url.empty() ? std::string("RTSP is off") : "<CODE>" + html_escape(url) + "</CODE>", out);
  }
  out += "</TABLE>\n";
}

bool applyServiceSettings(const std::map<std::string, std::string>& form, std::string& resp) {
  const size_t before = resp.size();
  const bool changed = settingrows::applyRows(kRows, form, resp);
  // Only a stored value restarts the services; a refused one leaves them as they are.
  if (resp.find("<P class=upd>", before) == std::string::npos) return changed;
  std::function<void()> restart;
  {
    std::lock_guard<std::mutex> g(g_lock);
    restart = g_restart;
  }
  if (restart) restart();
  return changed;
}
