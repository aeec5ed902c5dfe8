// What an RTSP client sends, read item by item as a connection reads it. The limits hold; an
// item is the same whether the bytes came at once or in two pieces (a request is never taken
// before its last byte); nothing waits for more than the limits allow; the URL and Transport
// readings of every request stay within their ranges.
#include <string>

#include "rtsp/RtspRequest.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {
namespace {

std::string sameItem(const rtsp::Item& a, const rtsp::Item& b) {
  if (a.kind != b.kind || a.used != b.used) return "an item changed when its bytes came in two pieces";
  if (a.kind == rtsp::Item::Interleaved && (a.channel != b.channel || a.frameBytes != b.frameBytes))
    return "an interleaved frame read differently in two pieces";
  if (a.kind == rtsp::Item::Request &&
      (a.request.method != b.request.method || a.request.uri != b.request.uri || a.request.body != b.request.body ||
       a.request.headers != b.request.headers || a.request.cseq != b.request.cseq))
    return "a request read differently in two pieces";
  return "";
}

std::string checkRequest(const rtsp::Request& r) {
  if (r.method.empty() || r.uri.empty() || r.uri.find_first_of(" \r\n") != std::string::npos)
    return "request line with an empty or blank-holding part";
  if (r.headers.size() > rtsp::kMaxHeaderLines) return "header count limit not held";
  if (r.body.size() > rtsp::kMaxBodyBytes) return "body limit not held";
  for (const auto& h : r.headers)
    if (h.first.empty() || h.second.find_first_of("\r\n") != std::string::npos) return "malformed header kept";
  rtsp::StreamUrl url;
  if (rtsp::parseStreamUrl(r.uri, &url) && (url.tag.empty() || url.tag.find_first_of("/?") != std::string::npos))
    return "stream URL with an empty or composite channel tag";
  rtsp::Transport t;
  if (const std::string* v = r.header("Transport")) {
    if (rtsp::chooseTransport(*v, &t) == rtsp::TransportChoice::Chosen) {
      const bool leftToUs = t.rtpChannel == -1 && t.rtcpChannel == -1;
      if (t.tcp && !leftToUs && (t.rtpChannel < 0 || t.rtpChannel > 255 || t.rtcpChannel < 0 || t.rtcpChannel > 255))
        return "interleaved channel out of range accepted";
      if (!t.tcp && (t.rtpPort < 1 || t.rtpPort > 65535 || t.rtcpPort < 1 || t.rtcpPort > 65535))
        return "client port out of range accepted";
    }
  }
  return "";
}

}  // namespace

std::string rtspRequest(const uint8_t* data, size_t size) {
  const char* p = reinterpret_cast<const char*>(data);
  size_t at = 0;
  for (int items = 0; at < size && items < 64; ++items) {
    const size_t left = size - at;
    const rtsp::Item it = rtsp::parseNext(p + at, left);
    if (it.used > left) return "an item covers more than the bytes given";
    if (it.kind == rtsp::Item::NeedMore) {
      if (left - it.used >= rtsp::kMaxHeadBytes + rtsp::kMaxBodyBytes) return "waits for more than the limits";
      return "";
    }
    if (it.kind == rtsp::Item::Bad || it.kind == rtsp::Item::TooLarge) return it.why.empty() ? "refused without why" : "";
    if (it.used == 0) return "an item of no bytes";
    // The same bytes in two pieces: the first piece alone is not yet this item.
    const size_t cut = it.used - 1 - (it.used > 1 ? data[at] % (it.used - 1) : 0);
    const rtsp::Item early = rtsp::parseNext(p + at, cut);
    if (it.kind == rtsp::Item::Request && early.kind == rtsp::Item::Request) return "a request taken before its end";
    const std::string again = sameItem(it, rtsp::parseNext(p + at, it.used));
    if (!again.empty()) return again;
    if (it.kind == rtsp::Item::Request) {
      const std::string bad = checkRequest(it.request);
      if (!bad.empty()) return bad;
    }
    at += it.used + (it.kind == rtsp::Item::Interleaved ? it.frameBytes : 0);
  }
  return "";
}

}  // namespace fuzzcheck
