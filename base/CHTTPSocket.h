#pragma once
// CHTTPSocket: a CSocket that carries one HTTP request (read by a server) and one response
// (written by a server, or read by a client). One request per connection; no chunked transfer,
// no persistent connections; header names keep their colon ("Content-Length:"). A server compares
// request header names byte for byte. Cameras spell their response headers as they please
// ("Content-type", "content-length"), so client-side lookups (response_header, findHeader) ignore
// case, and a response header with an empty value is skipped instead of failing the response.
//
// Results follow CSocket's rule (see its header); a client-side read that fails also says why in
// error. Threads: as CSocket, one thread at a time. The parsers below the class are pure functions.
#include <cstddef>
#include <map>
#include <string>

#include "base/CSocket.h"

enum HttpMethod { HTTP_GET = 1, HTTP_POST = 2 };

class CHTTPSocket : public CSocket {
 public:
  using CSocket::CSocket;

  // Every line of a request or response is read into a buffer of this many bytes, so a line of
  // up to kLineCapacity - 1 characters (carriage returns not counted) is accepted.
  static constexpr size_t kLineCapacity = 5120;
  // A header block of this many lines or more is refused.
  static constexpr int kMaxHeaderLines = 100;
  // Seconds of silence allowed before each byte of the request line, a header line, a status line.
  static constexpr int kRequestLineTimeoutSec = 10;
  static constexpr int kHeaderLineTimeoutSec = 5;
  static constexpr int kStatusLineTimeoutSec = 5;

  std::string target;   // request target of the last request read, as it was sent
  std::string path;     // request target of the last request read, query removed
  std::string version;  // what followed "HTTP/" in the last status line read ("1.1")
  std::string reason;   // reason phrase to write, or the one read
  int method = 0;       // HttpMethod of the last request read
  std::map<std::string, std::string> query;             // decoded query parameters
  std::map<std::string, std::string> response_headers;  // to write, or as read by a client
  std::map<std::string, std::string> request_headers;   // of the last request read
  int status = 0;                                       // to write, or as read
  // Client side: what was wrong with the last response head or line that could not be read
  // ("connection reset (Connection reset by peer)", "not an HTTP status line: '...'"); "" after
  // a success. Meant for log lines.
  std::string error;

  // Request line (method word exactly GET/get/POST/post), query and header block. False on a
  // time-out, a closed connection, an over-long line or any malformed part; the caller then drops
  // the connection without an answer. The request body is left unread.
  bool read_request();
  // Header lines up to the empty line into headers (cleared first); false when a line does not
  // parse or the block has kMaxHeaderLines lines or more.
  bool read_headers(std::map<std::string, std::string>& headers) { return read_headers(headers, kHeaderLineTimeoutSec); }
  bool read_headers(std::map<std::string, std::string>& headers, int timeoutSec);
  // Client side: status line ("HTTP/" version, status code, reason) and header block, each line
  // with kStatusLineTimeoutSec, or timeoutSec, of silence allowed.
  bool read_response() { return read_response(kStatusLineTimeoutSec); }
  bool read_response(int timeoutSec);
  // Client side: a header block as a camera sends it (a part head of a multipart stream): header
  // lines with an empty value are skipped. Sets error on failure.
  bool read_camera_headers(std::map<std::string, std::string>& headers, int timeoutSec);
  // Client side: read_line that says in error why it failed.
  bool read_camera_line(std::string& line, size_t capacity, int timeoutSec);
  // The value of a response header read by a client, the name compared without regard to case;
  // "" when missing.
  std::string response_header(const std::string& nameWithColon) const;
  // Text for a failed receive, from the lastError() it left (0: the peer closed or a line was too
  // long).
  std::string describeReadFailure(int err, const char* what) const;

  void set_header(const std::string& nameWithColon, const std::string& value) { response_headers[nameWithColon] = value; }
  // Status line, response headers in byte-wise name order, empty line: built as one text and sent
  // with one send; its result.
  int send_response_head();

  // The value stored under key, or "" when missing (the map is not changed).
  std::string header(const std::map<std::string, std::string>& m, const std::string& key) const;
};

// Pure parsers used by CHTTPSocket, public so they can be checked without a connection.
namespace http {

// Request line: method and target (the second word). False for a method other than the four
// accepted words or a missing word.
bool parseRequestLine(const std::string& line, int* method, std::string* target);
// Splits the target at the first "?": the path is url-decoded only when there is a query; query
// pairs are split at "&", "name=value" decoded on both sides, a pair without "=" kept undecoded
// as a name with an empty value; a later pair replaces an earlier one of the same name.
void splitTarget(const std::string& target, std::string* path, std::map<std::string, std::string>* query);
// One header line: key is the name with its colon. False for a line without a name or colon,
// white space between the name and its colon, or an empty value. Trailing blanks stay in the value.
bool parseHeaderLine(const std::string& line, std::string* key, std::string* value);
// Status line of a response: "HTTP/<version> <status> <reason>".
bool parseStatusLine(const std::string& line, std::string* version, int* status, std::string* reason);
// A header line whose value is empty ("Name:" and blanks at most): cameras send such lines, and
// a client skips them.
bool isEmptyHeaderLine(const std::string& line);
// Case-insensitive lookup of a header name (with its colon) in a header map; nullptr if missing.
const std::string* findHeader(const std::map<std::string, std::string>& headers, const std::string& nameWithColon);
// Text from a peer made safe and short for a log line: control bytes as "\xNN", at most 80 bytes.
std::string printable(const std::string& text);
std::string buildResponseHead(int status, const std::string& reason, const std::map<std::string, std::string>& headers);

// A request head taken as it arrives, by the rules of CHTTPSocket::read_request (line
// capacity, carriage returns dropped, request line and header lines that must parse, fewer
// than kMaxHeaderLines header lines), so that a reader without a thread of its own can tell
// when a head is complete, or can never be, without waiting for it. The bytes taken are kept
// as they came; read_request then reads the same request from them.
class RequestHeadScan {
 public:
  enum class Result { More, Complete, Bad };
  explicit RequestHeadScan(size_t maxBytes) : m_maxBytes(maxBytes) {}
  // Takes bytes from p up to the end of the head: *used of the n (the rest belongs to whatever
  // follows the head). Bad for a head that cannot be read, or is longer than maxBytes.
  Result feed(const char* p, size_t n, size_t* used);
  const std::string& bytes() const { return m_bytes; }
  // Whether the request line is complete (the silence allowed before each byte changes then).
  bool requestLineRead() const { return m_lines > 0; }

 private:
  Result lineEnded();

  const size_t m_maxBytes;
  std::string m_bytes;
  std::string m_line;  // the line so far, carriage returns left out
  int m_lines = 0;
};

}  // namespace http
