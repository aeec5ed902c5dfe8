#include "rtsp/RtspRequest.h"

#include <cstring>
#include <strings.h>

namespace rtsp {

namespace {

bool isTokenChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// A decimal number of at most 9 digits (so it cannot overflow); -1 when the text is not one.
long number(const std::string& s) {
  if (s.empty() || s.size() > 9) return -1;
  long n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

Item bad(Item::Kind kind, const char* why) {
  Item it;
  it.kind = kind;
  it.why = why;
  return it;
}

// "a" or "a-b" into two numbers within lo..hi; a single one gives b = a + 1.
bool numberPair(const std::string& v, long lo, long hi, int* a, int* b) {
  const size_t dash = v.find('-');
  const long x = number(trim(v.substr(0, dash)));
  const long y = dash == std::string::npos ? x + 1 : number(trim(v.substr(dash + 1)));
  if (x < lo || x > hi || y < lo || y > hi) return false;
  *a = static_cast<int>(x);
  *b = static_cast<int>(y);
  return true;
}

// Splits the request line "METHOD SP URI SP RTSP/1.0".
bool requestLine(const std::string& line, Request* r) {
  const size_t s1 = line.find(' ');
  if (s1 == std::string::npos || s1 == 0) return false;
  const size_t s2 = line.find(' ', s1 + 1);
  if (s2 == std::string::npos || s2 == s1 + 1 || line.compare(s2 + 1, std::string::npos, "RTSP/1.0") != 0)
    return false;
  r->method = line.substr(0, s1);
  r->uri = line.substr(s1 + 1, s2 - s1 - 1);
  for (char c : r->method)
    if (!isTokenChar(c)) return false;
  for (char c : r->uri)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
  return true;
}

}  // namespace

const std::string* Request::header(const char* name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name) == 0) return &h.second;
  return nullptr;
}

Item parseNext(const char* data, size_t size) {
  size_t p = 0;
  while (p < size && (data[p] == '\r' || data[p] == '\n')) ++p;
  if (p == size) {
    Item it;
    it.used = p;  // only blank lines so far: take them, wait for more
    return it;
  }
  if (data[p] == '$') {
    Item it;
    if (size - p < 4) return it;
    it.kind = Item::Interleaved;
    it.channel = static_cast<uint8_t>(data[p + 1]);
    it.frameBytes = static_cast<size_t>(static_cast<uint8_t>(data[p + 2])) << 8 | static_cast<uint8_t>(data[p + 3]);
    it.used = p + 4;
    return it;
  }
  // The head ends at the first empty line; it must do so within kMaxHeadBytes.
  const size_t limit = size - p < kMaxHeadBytes ? size - p : kMaxHeadBytes;
  const char* head = data + p;
  size_t end = std::string::npos;
  for (size_t i = 0; i + 1 < limit; ++i) {
    if (head[i] != '\n') continue;
    if (head[i + 1] == '\n') {
      end = i + 2;
      break;
    }
    if (head[i + 1] == '\r' && i + 2 < limit && head[i + 2] == '\n') {
      end = i + 3;
      break;
    }
  }
  if (end == std::string::npos) {
    if (size - p >= kMaxHeadBytes) return bad(Item::TooLarge, "request head too long");
    return Item{};
  }

  Item it;
  Request& r = it.request;
  size_t lineStart = 0;
  bool first = true;
  while (lineStart < end) {
    size_t lineEnd = lineStart;
    while (lineEnd < end && head[lineEnd] != '\n') ++lineEnd;
    size_t textEnd = lineEnd;
    if (textEnd > lineStart && head[textEnd - 1] == '\r') --textEnd;
    const std::string line(head + lineStart, textEnd - lineStart);
    lineStart = lineEnd + 1;
    if (line.empty()) break;  // the end of the head
    // A lone CR would end the line for some readers and not for others.
    if (line.find_first_of(std::string("\0\r", 2)) != std::string::npos)
      return bad(Item::Bad, "NUL or lone CR in the request head");
    if (first) {
      if (!requestLine(line, &r)) return bad(Item::Bad, "malformed request line");
      first = false;
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') return bad(Item::Bad, "folded header line");
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return bad(Item::Bad, "header line without a name");
    for (size_t i = 0; i < colon; ++i)
      if (!isTokenChar(line[i])) return bad(Item::Bad, "malformed header name");
    if (r.headers.size() == kMaxHeaderLines) return bad(Item::TooLarge, "too many header lines");
    r.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
  }

  if (const std::string* cseq = r.header("CSeq")) {
    const long n = number(*cseq);
    if (n >= 0 && n <= kMaxCSeq) r.cseq = static_cast<int>(n);
  }
  size_t bodyBytes = 0;
  if (const std::string* len = r.header("Content-Length")) {
    const long n = number(*len);
    if (n < 0) return bad(Item::Bad, "Content-Length is no number");
    if (static_cast<size_t>(n) > kMaxBodyBytes) return bad(Item::TooLarge, "request body too long");
    bodyBytes = static_cast<size_t>(n);
  }
  if (size - p - end < bodyBytes) return Item{};
  r.body.assign(head + end, bodyBytes);
  it.kind = Item::Request;
  it.used = p + end + bodyBytes;
  return it;
}

bool parseStreamUrl(const std::string& uri, StreamUrl* out) {
  *out = StreamUrl();
  if (uri.size() < 7 || strncasecmp(uri.c_str(), "rtsp://", 7) != 0) return false;
  const size_t pathStart = uri.find('/', 7);
  if (pathStart == std::string::npos) return false;
  std::string path = uri.substr(pathStart + 1);
  const size_t q = path.find('?');
  if (q != std::string::npos) {
    const std::string query = path.substr(q + 1);
    path.resize(q);
    size_t i = 0;
    while (i <= query.size()) {
      size_t e = query.find('&', i);
      if (e == std::string::npos) e = query.size();
      if (query.compare(i, 4, "fps=") == 0 && e >= i + 4) {
        out->hasFps = true;
        out->fps = query.substr(i + 4, e - i - 4);
      }
      i = e + 1;
    }
  }
  const size_t slash = path.find('/');
  out->tag = path.substr(0, slash);
  if (slash != std::string::npos) {
    out->track = path.substr(slash + 1);
    if (out->track.find('/') != std::string::npos) return false;
  }
  return !out->tag.empty();
}

TransportChoice chooseTransport(const std::string& value, Transport* out) {
  bool anyBad = false;
  size_t i = 0;
  while (i <= value.size()) {
    size_t e = value.find(',', i);
    if (e == std::string::npos) e = value.size();
    const std::string spec = value.substr(i, e - i);
    i = e + 1;
    Transport t;
    bool ok = true, usable = true, multicast = false;
    size_t j = 0, n = 0;
    while (j <= spec.size() && ok) {
      size_t k = spec.find(';', j);
      if (k == std::string::npos) k = spec.size();
      const std::string param = trim(spec.substr(j, k - j));
      j = k + 1;
      if (n++ == 0) {
        if (strcasecmp(param.c_str(), "RTP/AVP/TCP") == 0)
          t.tcp = true;
        else if (strcasecmp(param.c_str(), "RTP/AVP") != 0 && strcasecmp(param.c_str(), "RTP/AVP/UDP") != 0)
          usable = false;
        continue;
      }
      const size_t eq = param.find('=');
      const std::string name = param.substr(0, eq), v = eq == std::string::npos ? "" : param.substr(eq + 1);
      if (strcasecmp(name.c_str(), "multicast") == 0) multicast = true;
      if (strcasecmp(name.c_str(), "interleaved") == 0) ok = numberPair(v, 0, 255, &t.rtpChannel, &t.rtcpChannel);
      if (strcasecmp(name.c_str(), "client_port") == 0) ok = numberPair(v, 1, 65535, &t.rtpPort, &t.rtcpPort);
    }
    if (!ok) {
      anyBad = true;
      continue;
    }
    if (!usable || multicast || (!t.tcp && t.rtpPort < 0)) continue;
    *out = t;
    return TransportChoice::Chosen;
  }
  return anyBad ? TransportChoice::Bad : TransportChoice::Unsupported;
}

}  // namespace rtsp
