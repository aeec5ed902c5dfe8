// Picks the form, submission and status of a channel by its kind.
#include "confserver/ChannelForms.h"

#include <mutex>

#include "channels/CVideoCnl.h"
#include "confserver/EndpointForm.h"
#include "confserver/FalconForm.h"
#include "confserver/IPForm.h"
#include "endpoint/CFalconVideoCnl.h"
#include "endpoint/CIPVideoCnl.h"
#include "endpoint/CNetVideoCnl.h"

void channelForm(CVideoCnl& cnl, std::string& html) {
  if (auto* falcon = dynamic_cast<CFalconVideoCnl*>(&cnl)) return falconChannelForm(*falcon, html);
  if (auto* ip = dynamic_cast<CIPVideoCnl*>(&cnl)) return ipChannelForm(*ip, html);
  if (auto* net = dynamic_cast<CNetVideoCnl*>(&cnl)) {
    std::lock_guard<std::mutex> guard(net->configLock());
    endpointFormTable(*net, html);
  }
  commonFormTable(cnl.fieldPrefix(), cnl.sectionName(), cnl.typeCode() == 0, html);
}

bool channelUpdate(CVideoCnl& cnl, const FormFields& fields, std::string& html) {
  if (auto* falcon = dynamic_cast<CFalconVideoCnl*>(&cnl)) return falconChannelUpdate(*falcon, fields, html);
  if (auto* ip = dynamic_cast<CIPVideoCnl*>(&cnl)) return ipChannelUpdate(*ip, fields, html);
  if (auto* net = dynamic_cast<CNetVideoCnl*>(&cnl)) {
    std::lock_guard<std::mutex> guard(net->configLock());
    if (!commonUpdate(cnl, fields, html)) return false;
    endpointUpdate(*net, fields, html);
    return true;
  }
  return commonUpdate(cnl, fields, html);
}

void channelStatus(CVideoCnl& cnl, std::string& html) {
  if (auto* falcon = dynamic_cast<CFalconVideoCnl*>(&cnl)) return falconChannelStatus(*falcon, html);
  if (auto* ip = dynamic_cast<CIPVideoCnl*>(&cnl)) return ipChannelStatus(*ip, html);
  if (auto* net = dynamic_cast<CNetVideoCnl*>(&cnl)) html += endpointStatusRow(*net);
  commonStatus(cnl, html);
}

std::string newChannelFieldPrefix(int code) { return std::to_string(code) + "_9999_"; }
