#pragma once
// What an RTSP client sends, parsed: requests (RFC 2326: request line, headers, optional body),
// the interleaved binary frames a client sends between them on the same connection ("$",
// channel, 16-bit length; its RTCP receiver reports), the request URLs of our streams and the
// Transport header of SETUP.
//
// The parsers are pure and bounded: bytes in, a result out; every limit is a constant below.
// The connection only feeds them. Threads: any.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace rtsp {

constexpr size_t kMaxHeadBytes = 8192;   // request line and headers together
constexpr size_t kMaxHeaderLines = 64;
constexpr size_t kMaxBodyBytes = 4096;   // GET_PARAMETER / SET_PARAMETER bodies are short
constexpr int kMaxCSeq = 2147483647;

struct Request {
  std::string method;  // as sent: RTSP methods are case-sensitive
  std::string uri;     // the request target as sent ("rtsp://host:8554/axis_0/track1" or "*")
  int cseq = -1;       // -1: no valid CSeq header
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent, values trimmed
  std::string body;
  // The value of the first header of that name (any letter case, no colon); null when absent.
  const std::string* header(const char* name) const;
};

struct Item {
  enum Kind { NeedMore, Request, Interleaved, Bad, TooLarge } kind = NeedMore;
  size_t used = 0;           // bytes at the front that this item covers
  rtsp::Request request;     // kind Request
  uint8_t channel = 0;       // kind Interleaved: its channel; used covers only the 4-byte head,
  size_t frameBytes = 0;     // the frameBytes of payload that follow are the caller's to skip
  std::string why;           // kind Bad or TooLarge, for the log
};

// The first item in the bytes a client sent (blank lines before a request are skipped and
// counted in used). NeedMore until a request is whole; TooLarge when its head exceeds
// kMaxHeadBytes or its body kMaxBodyBytes.
Item parseNext(const char* data, size_t size);

// A request URL of ours: rtsp://host[:port]/<tag>[/<track>][?query]. Host and port are not
// checked (the client names us as it reached us).
struct StreamUrl {
  std::string tag;    // the channel's source tag
  std::string track;  // "" for the aggregate URL
  std::string fps;    // the "fps" query parameter; present tells whether there was one
  bool hasFps = false;
};
bool parseStreamUrl(const std::string& uri, StreamUrl* out);

// One transport of a SETUP request that we can serve: RTP over the RTSP connection
// (interleaved) or RTP over UDP unicast to the client's ports.
struct Transport {
  bool tcp = false;
  int rtpChannel = -1, rtcpChannel = -1;   // interleaved=a-b; -1: the client left it to us
  int rtpPort = -1, rtcpPort = -1;         // client_port=a-b
};
enum class TransportChoice { Chosen, Unsupported, Bad };
// Picks the first transport of the header's list that we serve (its order is the client's
// preference). Unsupported when none is (multicast, other profiles, UDP without ports); Bad
// when a number is out of range (channels 0..255, ports 1..65535).
TransportChoice chooseTransport(const std::string& value, Transport* out);

}  // namespace rtsp
