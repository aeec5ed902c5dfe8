// A request read from a connection: the line and header limits hold, and what was parsed
// (query and headers) reads back the same when sent again in canonical form.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "base/CHTTPSocket.h"
#include "base/TextHelpers.h"
#include "tests/fuzz/checks/FuzzChecks.h"
#include "tests/fuzz/checks/FuzzSupport.h"

namespace fuzzcheck {
namespace {

// Reads one request from the bytes; conn receives the parsed state. The count of bytes that
// actually went through the socket.
size_t readRequest(const std::string& bytes, std::unique_ptr<CHTTPSocket>& conn, bool* ok) {
  int sv[2];
  *ok = false;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  size_t sent = sendAndFinish(sv[1], reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  conn.reset(new CHTTPSocket(sv[0]));
  *ok = conn->read_request();
  ::close(sv[1]);
  return sent;
}

}  // namespace

std::string httpRequest(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<CHTTPSocket> conn;
  bool ok = false;
  const size_t sent = readRequest(input, conn, &ok);
  if (!ok) return "";

  if (conn->method != HTTP_GET && conn->method != HTTP_POST) return "accepted an unknown method";
  if (conn->request_headers.size() >= size_t(CHTTPSocket::kMaxHeaderLines)) return "header count limit not held";
  for (const auto& h : conn->request_headers) {
    if (h.first.size() < 2 || h.first.back() != ':') return "header without a name or colon";
    if (h.first.find_first_of(" \t") != std::string::npos) return "blank inside a header name";
    if (h.second.empty()) return "header with an empty value";
  }
  // Every line up to the empty one was shorter than the line capacity (CRs not counted).
  size_t lines = 0, pos = 0;
  const std::string seen = input.substr(0, sent);
  for (;;) {
    size_t nl = seen.find('\n', pos);
    if (nl == std::string::npos) return "accepted a request without its empty line";
    std::string line = seen.substr(pos, nl - pos);
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (line.size() >= CHTTPSocket::kLineCapacity) return "line length limit not held";
    pos = nl + 1;
    if (line.empty() && lines > 0) break;
    ++lines;
  }
  if (lines > size_t(CHTTPSocket::kMaxHeaderLines)) return "header line limit not held";

  // Canonical form: every query pair encoded, every header as "Name: value".
  std::string again = conn->method == HTTP_GET ? "GET /r" : "POST /r";
  if (!conn->query.empty()) again += "?";
  bool first = true;
  for (const auto& q : conn->query) {
    if (!first) again += "&";
    first = false;
    again += url_encode(q.first) + "=" + url_encode(q.second);
  }
  again += " HTTP/1.0\r\n";
  // Encoding may triple a query's length: a request line that no longer fits proves nothing.
  if (again.size() >= CHTTPSocket::kLineCapacity) return "";
  for (const auto& h : conn->request_headers) again += h.first + " " + h.second + "\r\n";
  again += "\r\n";
  std::unique_ptr<CHTTPSocket> conn2;
  bool ok2 = false;
  if (readRequest(again, conn2, &ok2) != again.size()) return "";  // did not fit the socket
  if (!ok2) return "canonical form of an accepted request refused";
  if (conn2->method != conn->method || conn2->path != "/r") return "method or path changed on re-reading";
  if (conn2->query != conn->query) return "query changed on re-reading";
  if (conn2->request_headers != conn->request_headers) return "headers changed on re-reading";
  return "";
}

}  // namespace fuzzcheck
