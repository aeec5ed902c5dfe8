#include "endpoint/CIPAsipVideoCnl.h"

#include <netinet/in.h>

#include "base/Tables.h"

const IPVendorTraits CIPAsipVideoCnl::kTraits = {
    "CIPAsipVideoCnl", "Asip IP video server (digital)", "asip_", 0, 3, 0, true,
    {2, 6},
    {{"4cif", "4CIF (704x576) "}, {"cif", "CIF (352x288)  "}},
    "4cif"};

CIPAsipVideoCnl::CIPAsipVideoCnl(uint32_t index) : CIPVideoCnl(3, index, kTraits) { createRecorder(); }

CIPAsipVideoCnl::~CIPAsipVideoCnl() = default;

std::string CIPAsipVideoCnl::imageUrl(const std::string& /*host*/, bool /*live*/) {
  return "//" + hostText() + "/GetData.cgi?Camera=" + std::to_string(settings()->camID);
}

std::vector<std::string> CIPAsipVideoCnl::requests() const {
  const std::string id = std::to_string(settings()->camID);
  const std::string tail = " HTTP/1.1\r\nAccept: text/html; image/jpg\r\nHost: " + hostText() +
                           "\r\nAuthorization: Basic " + authText() + "\r\n\r\n";
  int resType = imageSizeCode("cif") == settings()->imageSize ? 1 : 2;
  return {
      "GET /SetVideoMode.cgi?Camera=" + id + "&Mode=" + std::to_string(settings()->videoStd) + tail,
      "GET /ChangeCompressRatio.cgi?Camera=" + id + "&Ratio=" + std::to_string(settings()->quality * 5 / 100) + tail,
      "GET /ChangeResolution.cgi?Camera=" + id + "&ResType=" + std::to_string(resType) + tail,
      "GET /GetData.cgi?Camera=" + id + " HTTP/1.1\r\nHost: " + hostText() +
          "\r\nAccept: text/html; image/jpg\r\nAuthorization: Basic " + authText() + "\r\n\r\n",
  };
}

bool CIPAsipVideoCnl::reconnect(int timeoutSec) {
  sockaddr_in addr{};
  if (!resolveCamera(&addr)) return false;
  for (const std::string& r : requests())
    if (!request_helper(addr, r, timeoutSec)) return false;
  return takeBoundary("Content-Type:", "Asip");
}
