#pragma once
// What the fake camera (tools/FakeCam.h) speaks: its options and ways to misbehave, the nine
// families' routes, and the request helpers (the target, header values, Basic credentials,
// picture stamps, the interval a stream request asks for). Header-only, as the camera is.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fakecam {

// Ways the camera can go wrong, chosen per server.
enum class Misbehave {
  None,
  Status500,     // every request answered "500 Internal Server Error"
  RefuseFirst,   // refuses Axis request A, Panasonic's first form and Sony's camera mode
  NoBoundary,    // multipart reply whose Content-Type lacks "boundary="
  NoType,        // stream reply without any Content-Type header
  LyingLength,   // part head announces more bytes than follow, then silence (after good-parts)
  Silence,       // reads the request and never answers
  Drop,          // closes the connection right after the request
  Oversized,     // pictures of 600 KB (beyond a frame record)
  Endless,       // status 200 multipart head, then short lines without a boundary, forever
  Garbage,       // parts whose body does not start with FF D8 (after good-parts)
  BadStatusOK,   // Grandstream: status 200 with reason "Fine" instead of "OK"
  Reset,         // resets the connection (RST) right after the request
  BadHeader,     // status 200, then a header line that is no header ("Bad : x")
};

inline bool parseMisbehave(const std::string& s, Misbehave* out) {
  static const struct { const char* name; Misbehave m; } kModes[] = {
      {"none", Misbehave::None},           {"status500", Misbehave::Status500},
      {"refuse-first", Misbehave::RefuseFirst}, {"no-boundary", Misbehave::NoBoundary},
      {"no-type", Misbehave::NoType},      {"lying-length", Misbehave::LyingLength},
      {"silence", Misbehave::Silence},     {"drop", Misbehave::Drop},
      {"oversized", Misbehave::Oversized}, {"endless", Misbehave::Endless},
      {"garbage", Misbehave::Garbage},     {"bad-reason", Misbehave::BadStatusOK},
      {"reset", Misbehave::Reset},         {"bad-header", Misbehave::BadHeader},
  };
  for (const auto& m : kModes)
    if (s == m.name) { *out = m.m; return true; }
  return false;
}

// How a stream's parts follow each other.
enum class Pace {
  Own,      // every 1/fps seconds, whatever the request asks
  Asked,    // every interval the request asks for, where the family's requests ask one (Lilin,
            // Toshiba, Sony, Panasonic); the other families at their own rate
  Gapless,  // back to back, as fast as the connection takes them
};

inline bool parsePace(const std::string& s, Pace* out) {
  if (s == "own") *out = Pace::Own;
  else if (s == "asked") *out = Pace::Asked;
  else if (s == "gapless") *out = Pace::Gapless;
  else return false;
  return true;
}

struct Options {
  std::string family = "axis";  // axis lilin asip toshiba sony panasonic vivotec hikvision grandstream
  Misbehave misbehave = Misbehave::None;
  double fps = 25.0;                 // the camera's own frame rate
  Pace pace = Pace::Own;
  double jitter = 0;                 // every interval varies by up to this share either way (0.3)
  bool closeAfterPart = false;       // ends the connection right after each streamed part
  int goodParts = 0;                 // lying-length and garbage: this many good parts come first
  std::string user, password;        // when user is set, every request needs these Basic credentials
  bool stamp = false;                // frame counter and capture time in a comment of every picture
  std::string typeParams;            // replaces ";boundary=myboundary" behind the stream's type
  std::string extraReplyHeaders;     // header lines ("Name: value\r\n") added to every reply head
  std::vector<std::string> jpegs;    // pictures served in turn; empty: the built-in one
  std::string logPath;               // raw request heads appended here when not empty
  bool boundaryWithDashes = false;   // "boundary=--xyz" instead of "boundary=xyz"
  bool lowerCaseLength = false;      // "Content-length:" in the part heads
  bool noPartLength = false;         // parts without a length (bare JPEG, found by markers)
  int trailingZeros = 0;             // zero bytes appended inside each part's announced length
};

// One request head as received ("GET ... \r\n...\r\n\r\n").
inline std::string requestTarget(const std::string& head) {
  size_t a = head.find(' ');
  if (a == std::string::npos) return "";
  size_t b = head.find(' ', a + 1);
  return head.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

inline bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// How a family's cameras talk: the requests they understand and how they answer.
enum class Kind { Config, Config204, Stream, Single, KeptAliveSingle };

struct Route {
  const char* path;                  // exact; "#" stands for one digit
  Kind kind;
  std::vector<const char*> params;   // names that must be in the query; "?" = some query at all
};

struct Family {
  const char* name;
  const char* typeHeader;    // of the stream reply
  const char* lengthHeader;  // of every part and single picture
  std::vector<Route> routes;
  int errorStatus;           // the answer to a request the camera does not understand
  const char* errorReason;
  const char* errorBody;
};

inline const std::vector<Family>& families() {
  static const std::vector<Family> kFamilies = {
      {"axis", "Content-Type:", "Content-Length:",
       {{"/axis-cgi/mjpg/video.cgi", Kind::Stream, {"camera", "resolution", "fps", "compression"}},
        {"/axis-cgi/jpg/image.cgi", Kind::Single, {"resolution", "camera"}}},
       400, "Bad Request", "Error: the request contains an unknown or missing parameter\r\n"},
      {"lilin", "Content-Type:", "Content-Length:",
       {{"/setvideo", Kind::Config, {"save", "VideoID"}},
        {"/getimage", Kind::Stream, {"camera"}},
        {"/images#sif", Kind::Single, {}}},
       404, "Not Found", "<html><body>404 Not Found</body></html>\r\n"},
      {"asip", "Content-type:", "Content-length:",
       {{"/SetVideoMode.cgi", Kind::Config, {"Camera", "Mode"}},
        {"/ChangeCompressRatio.cgi", Kind::Config, {"Camera", "Ratio"}},
        {"/ChangeResolution.cgi", Kind::Config, {"Camera", "ResType"}},
        {"/GetData.cgi", Kind::Stream, {"Camera"}}},
       400, "Bad Request", "Invalid CGI parameter\r\n"},
      {"toshiba", "Content-Type:", "Content-Length:",
       {{"/api/wbsetcambasic.cgi", Kind::Config, {"type", "Resolution", "CompressionRatio"}},
        {"/api/getstream.cgi", Kind::Stream, {"?"}},
        {"/admin/__live.jpg", Kind::Single, {}}},
       404, "Not Found", "<html><body>Not Found</body></html>\r\n"},
      {"sony", "Content-Type:", "DataLen:",
       {{"/command/camera.cgi", Kind::Config204, {"ImageSize", "Quality"}},
        {"/image", Kind::Stream, {"interval"}},
        {"/oneshotimage1", Kind::KeptAliveSingle, {"?"}},
        {"/oneshotimage.jpg", Kind::Single, {}}},
       404, "Not Found", "Not Found\r\n"},
      {"panasonic", "Content-type:", "Content-length:",
       {{"/cgi-bin/jpeg", Kind::Stream, {"connect", "framerate", "resolution", "UID", "ch"}},
        {"/nphMotionJpeg", Kind::Stream, {"Resolution", "Quality", "Framerate"}},
        {"/SnapshotJPEG", Kind::Single, {"Resolution"}},
        {"/cgi-bin/camera", Kind::Single, {"resolution"}}},
       404, "Not Found", "<HTML><BODY>404 Not Found</BODY></HTML>\r\n"},
      {"vivotec", "Content-Type:", "Content-Length:",
       {{"/video.mjpg", Kind::Stream, {}}, {"/video.jpg", Kind::Single, {}}},
       404, "Not Found", "<html><body>404 File Not Found</body></html>\r\n"},
      {"hikvision", "Content-Type:", "Content-Length:",
       {{"/streaming/channels/1/preview", Kind::Stream, {}}},
       404, "Not Found",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<ResponseStatus><statusCode>4</statusCode>"
       "<statusString>Invalid Operation</statusString></ResponseStatus>\r\n"},
      {"grandstream", "content-type:", "content-length:",
       {{"/goform/audio_video", Kind::Config, {"cmd", "channel", "video.primary.resolution"}},
        {"/goform/stream", Kind::Stream, {"cmd", "channel"}},
        {"/snapshot/view0.jpg", Kind::Single, {}}},
       200, "OK", "Response=Error\r\nMessage=Invalid request\r\n"},
  };
  return kFamilies;
}

inline const Family* findFamily(const std::string& name) {
  for (const Family& f : families())
    if (name == f.name) return &f;
  return nullptr;
}

inline bool pathMatches(const char* pattern, const std::string& path) {
  size_t i = 0;
  for (; pattern[i]; ++i) {
    if (i >= path.size()) return false;
    if (pattern[i] == '#' ? !isdigit(static_cast<unsigned char>(path[i])) : pattern[i] != path[i]) return false;
  }
  return i == path.size();
}

// The route a request target takes, or nullptr when the family's cameras do not understand it.
inline const Route* findRoute(const Family& f, const std::string& target) {
  size_t q = target.find('?');
  const std::string path = target.substr(0, q);
  const std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
  std::vector<std::string> names;
  for (size_t start = 0; start <= query.size() && !query.empty();) {
    size_t amp = query.find('&', start);
    std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    names.push_back(pair.substr(0, pair.find('=')));
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  for (const Route& r : f.routes) {
    if (!pathMatches(r.path, path)) continue;
    bool ok = true;
    for (const char* p : r.params) {
      if (std::strcmp(p, "?") == 0) {
        ok = ok && !query.empty();
      } else {
        ok = ok && std::find(names.begin(), names.end(), std::string(p)) != names.end();
      }
    }
    return ok ? &r : nullptr;
  }
  return nullptr;
}

// The value of a request header, the name matched without regard to case; false when missing.
inline bool headerValue(const std::string& head, const char* name, std::string* value) {
  const size_t n = std::strlen(name);
  for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
    size_t line = at + 2;
    if (head.size() - line > n && strncasecmp(head.c_str() + line, name, n) == 0 && head[line + n] == ':') {
      size_t v = line + n + 1;
      while (v < head.size() && head[v] == ' ') ++v;
      size_t end = head.find("\r\n", v);
      *value = head.substr(v, end == std::string::npos ? std::string::npos : end - v);
      return true;
    }
  }
  return false;
}

inline std::string base64(const std::string& in) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8 | uint8_t(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kChars[(v >> k) & 63];
  }
  if (i + 1 == in.size()) {
    uint32_t v = uint32_t(uint8_t(in[i])) << 16;
    out += kChars[(v >> 18) & 63];
    out += kChars[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8;
    out += kChars[(v >> 18) & 63];
    out += kChars[(v >> 12) & 63];
    out += kChars[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// The stamp a picture carries with --stamp; false when it has none.
inline bool readStamp(const uint8_t* data, size_t len, uint64_t* frame, uint64_t* captureUs) {
  static const char kTag[] = "fakecam frame=";
  const std::string text(reinterpret_cast<const char*>(data), len);
  size_t at = text.find(kTag);
  if (at == std::string::npos) return false;
  unsigned long long f = 0, t = 0;
  if (std::sscanf(text.c_str() + at, "fakecam frame=%llu capture_us=%llu", &f, &t) != 2) return false;
  *frame = f;
  *captureUs = t;
  return true;
}

// The interval between pictures, in microseconds, that a family's stream request asks for;
// 0 when its requests ask none. Lilin joins "delay=" (in 10 ms) to the value before it; Toshiba
// gives milliseconds as the sixth field of its query; Sony "interval=" in milliseconds;
// Panasonic a rate in pictures per second ("framerate=" or "Framerate=", "0.25" allowed).
inline uint64_t askedIntervalUs(const std::string& family, const std::string& target) {
  const size_t q = target.find('?');
  if (q == std::string::npos) return 0;
  const std::string query = target.substr(q + 1);
  auto after = [&](const char* name) -> const char* {
    size_t at = query.find(name);
    return at == std::string::npos ? nullptr : query.c_str() + at + std::strlen(name);
  };
  if (family == "lilin") {
    const char* v = after("delay=");
    return v ? std::strtoull(v, nullptr, 10) * 10000 : 0;
  }
  if (family == "sony") {
    const char* v = after("interval=");
    return v ? std::strtoull(v, nullptr, 10) * 1000 : 0;
  }
  if (family == "panasonic") {
    const char* v = after("framerate=");
    if (!v) v = after("Framerate=");
    const double rate = v ? std::atof(v) : 0;
    return rate > 0 ? uint64_t(1e6 / rate) : 0;
  }
  if (family == "toshiba") {
    size_t at = std::string::npos;
    for (int amp = 0; amp < 5; ++amp)
      if ((at = query.find('&', at + 1)) == std::string::npos) return 0;
    return std::strtoull(query.c_str() + at + 1, nullptr, 10) * 1000;
  }
  return 0;
}

}  // namespace fakecam
