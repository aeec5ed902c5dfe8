#include "base/CHTTPSocket.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/TextHelpers.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The next white-space separated word from pos on; pos moves past it. "" when none is left.
std::string nextWord(const std::string& s, size_t& pos) {
  while (pos < s.size() && isSpace(s[pos])) ++pos;
  size_t start = pos;
  while (pos < s.size() && !isSpace(s[pos])) ++pos;
  return s.substr(start, pos - start);
}

}  // namespace

namespace http {

bool parseRequestLine(const std::string& line, int* method, std::string* target) {
  size_t pos = 0;
  std::string word = nextWord(line, pos);
  if (word == "GET" || word == "get") {
    *method = HTTP_GET;
  } else if (word == "POST" || word == "post") {
    *method = HTTP_POST;
  } else {
    return false;
  }
  std::string second = nextWord(line, pos);
  if (second.empty()) return false;
  *target = second;
  return true;
}

void splitTarget(const std::string& target, std::string* path, std::map<std::string, std::string>* query) {
  query->clear();
  size_t mark = target.find('?');
  if (mark == std::string::npos) {
    *path = target;
    return;
  }
  *path = url_decode(target.substr(0, mark));
  // Every pair, the last one included, is ended by "&"; so a lone "?" gives one empty pair.
  const std::string pairs = target.substr(mark + 1) + "&";
  size_t start = 0;
  for (size_t amp = pairs.find('&'); amp != std::string::npos; start = amp + 1, amp = pairs.find('&', start)) {
    std::string pair = pairs.substr(start, amp - start);
    size_t eq = pair.find('=');
    if (eq == std::string::npos) {
      (*query)[pair] = std::string();
    } else {
      (*query)[url_decode(pair.substr(0, eq))] = url_decode(pair.substr(eq + 1));
    }
  }
}

bool parseHeaderLine(const std::string& line, std::string* key, std::string* value) {
  size_t start = 0;
  while (start < line.size() && isSpace(line[start])) ++start;
  if (start == line.size()) return false;
  size_t colon = line.find(':', start);
  // ": value" has no name: it would be stored under the bare colon.
  if (colon == std::string::npos || colon == start) return false;
  for (size_t i = start; i < colon; ++i)
    if (isSpace(line[i])) return false;
  size_t v = colon + 1;
  while (v < line.size() && isSpace(line[v])) ++v;
  if (v == line.size()) return false;
  size_t end = line.find_first_of("\r\n", v + 1);
  if (end == std::string::npos) end = line.size();
  *key = line.substr(start, colon + 1 - start);
  *value = line.substr(v, end - v);
  return true;
}

bool parseStatusLine(const std::string& line, std::string* version, int* status, std::string* reason) {
  size_t pos = 0;
  std::string first = nextWord(line, pos);
  if (first.compare(0, 5, "HTTP/") != 0) return false;
  while (pos < line.size() && isSpace(line[pos])) ++pos;
  const char* begin = line.c_str() + pos;
  char* end = nullptr;
  errno = 0;
  long code = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || code < INT_MIN || code > INT_MAX) return false;
  size_t rest = pos + size_t(end - begin);
  while (rest < line.size() && (line[rest] == ' ' || line[rest] == '\t')) ++rest;
  *version = first.substr(5);
  *status = int(code);
  *reason = line.substr(rest);
  return true;
}

bool isEmptyHeaderLine(const std::string& line) {
  size_t start = 0;
  while (start < line.size() && isSpace(line[start])) ++start;
  size_t colon = line.find(':', start);
  if (colon == std::string::npos || colon == start) return false;
  for (size_t i = start; i < colon; ++i)
    if (isSpace(line[i])) return false;
  for (size_t i = colon + 1; i < line.size(); ++i)
    if (!isSpace(line[i])) return false;
  return true;
}

const std::string* findHeader(const std::map<std::string, std::string>& headers, const std::string& nameWithColon) {
  auto exact = headers.find(nameWithColon);
  if (exact != headers.end()) return &exact->second;
  for (const auto& h : headers)
    if (h.first.size() == nameWithColon.size() && strcasecmp(h.first.c_str(), nameWithColon.c_str()) == 0)
      return &h.second;
  return nullptr;
}

std::string printable(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size() && i < 80; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  if (text.size() > 80) out += "...";
  return out;
}

std::string buildResponseHead(int status, const std::string& reason, const std::map<std::string, std::string>& headers) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  for (const auto& h : headers) head += h.first + " " + h.second + "\r\n";
  head += "\r\n";
  return head;
}

RequestHeadScan::Result RequestHeadScan::feed(const char* p, size_t n, size_t* used) {
  assert(used && (p || n == 0));
  for (size_t i = 0; i < n; ++i) {
    if (m_bytes.size() >= m_maxBytes) {
      *used = i;
      return Result::Bad;
    }
    const char c = p[i];
    m_bytes.push_back(c);
    if (c == '\n') {
      const Result r = lineEnded();
      if (r != Result::More) {
        *used = i + 1;
        return r;
      }
    } else if (c != '\r') {
      m_line.push_back(c);
      if (m_line.size() >= CHTTPSocket::kLineCapacity) {
        *used = i + 1;
        return Result::Bad;
      }
    }
  }
  *used = n;
  return Result::More;
}

RequestHeadScan::Result RequestHeadScan::lineEnded() {
  int method = 0;
  std::string target, key, value;
  const bool first = m_lines++ == 0;
  Result r = Result::More;
  if (first) {
    if (!parseRequestLine(m_line, &method, &target)) r = Result::Bad;
  } else if (m_line.empty()) {
    r = Result::Complete;
  } else if (!parseHeaderLine(m_line, &key, &value) || m_lines > CHTTPSocket::kMaxHeaderLines) {
    r = Result::Bad;
  }
  m_line.clear();
  return r;
}

}  // namespace http

bool CHTTPSocket::read_request() {
  std::string line;
  if (!read_line(line, kLineCapacity, kRequestLineTimeoutSec)) return false;
  int m = 0;
  if (!http::parseRequestLine(line, &m, &target)) return false;
  method = m;
  http::splitTarget(target, &path, &query);
  return read_headers(request_headers);
}

bool CHTTPSocket::read_headers(std::map<std::string, std::string>& headers, int timeoutSec) {
  headers.clear();
  std::string line, key, value;
  for (int count = 0;;) {
    if (!read_line(line, kLineCapacity, timeoutSec)) return false;
    if (line.empty()) return count < kMaxHeaderLines;
    if (!http::parseHeaderLine(line, &key, &value)) return false;
    headers[key] = value;
    // The block can no longer be accepted: stop reading instead of taking more from the peer.
    if (++count >= kMaxHeaderLines) return false;
  }
}

bool CHTTPSocket::read_response(int timeoutSec) {
  error.clear();
  std::string line;
  if (!read_camera_line(line, kLineCapacity, timeoutSec)) {
    error = "status line: " + error;
    return false;
  }
  if (!http::parseStatusLine(line, &version, &status, &reason)) {
    error = "not an HTTP status line: '" + http::printable(line) + "'";
    return false;
  }
  return read_camera_headers(response_headers, timeoutSec);
}

bool CHTTPSocket::read_camera_line(std::string& line, size_t capacity, int timeoutSec) {
  if (read_line(line, capacity, timeoutSec)) return true;
  error = describeReadFailure(lastError(), "line");
  return false;
}

std::string CHTTPSocket::describeReadFailure(int err, const char* what) const {
  if (err == ECONNRESET) return std::string("connection reset (") + std::strerror(err) + ")";
  if (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT) return std::string("no data in time (") + what + ")";
  if (err != 0) return std::strerror(err);
  // No error: the peer closed, or (bytes still waiting) the line did not fit.
  if (buffered() > 0) return std::string(what) + " too long";
  return "connection closed by the camera";
}

bool CHTTPSocket::read_camera_headers(std::map<std::string, std::string>& headers, int timeoutSec) {
  error.clear();
  headers.clear();
  std::string line, key, value;
  for (int count = 0;;) {
    if (!read_camera_line(line, kLineCapacity, timeoutSec)) {
      error = "header: " + error;
      return false;
    }
    if (line.empty()) return true;
    if (!http::parseHeaderLine(line, &key, &value)) {
      if (http::isEmptyHeaderLine(line)) continue;
      error = "header line not understood: '" + http::printable(line) + "'";
      return false;
    }
    headers[key] = value;
    if (++count >= kMaxHeaderLines) {
      error = "more than " + std::to_string(kMaxHeaderLines - 1) + " header lines";
      return false;
    }
  }
}

std::string CHTTPSocket::response_header(const std::string& nameWithColon) const {
  const std::string* v = http::findHeader(response_headers, nameWithColon);
  return v ? *v : std::string();
}

int CHTTPSocket::send_response_head() {
  const std::string head = http::buildResponseHead(status, reason, response_headers);
  return send(head.data(), head.size());
}

std::string CHTTPSocket::header(const std::map<std::string, std::string>& m, const std::string& key) const {
  auto it = m.find(key);
  return it == m.end() ? std::string() : it->second;
}
