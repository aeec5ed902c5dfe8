#include "base/TextHelpers.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdint>

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;  // padding and foreign characters count as 0
}

}  // namespace

std::string url_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else if (c == '+') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string base64_decode(const std::string& text) {
  if (text.size() % 4 != 0 || text.empty()) return std::string();
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t v = (uint32_t(base64Value(text[i])) << 18) | (uint32_t(base64Value(text[i + 1])) << 12) |
                 (uint32_t(base64Value(text[i + 2])) << 6) | uint32_t(base64Value(text[i + 3]));
    out += char(uint8_t(v >> 16));
    out += char(uint8_t(v >> 8));
    out += char(uint8_t(v));
  }
  // The "=" padding of the last group says how many of its bytes are real. Judging by zero bytes
  // instead would cut real zero bytes off binary data ("YQBi" is "a", zero, "b").
  const size_t n = text.size();
  if (text[n - 1] == '=') out.pop_back();
  if (text[n - 1] == '=' && text[n - 2] == '=') out.pop_back();
  return out;
}

std::string base64_encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                 uint32_t(uint8_t(bytes[i + 2]));
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (rest == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool is_valid_ip(const std::string& text) {
  // inet_aton follows the classic inet_addr rules (short and hexadecimal forms) but, like
  // inet_addr, stops at white space; anything after the address is refused here so a text
  // such as "127.0.0.1 <svg ...>" never passes as an address.
  if (text.empty()) return false;
  for (char c : text)
    if (std::isspace(static_cast<unsigned char>(c)) || c == '\0') return false;
  in_addr a;
  if (inet_aton(text.c_str(), &a) == 0) return false;
  return a.s_addr != INADDR_NONE;
}

std::string hex_lower(const void* data, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kHex[p[i] >> 4];
    out += kHex[p[i] & 15];
  }
  return out;
}

std::string url_encode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += char(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string hide_basic_credentials(const std::string& request) {
  static const std::string header = "Authorization: Basic ";
  std::string out;
  size_t from = 0;
  for (size_t at; (at = request.find(header, from)) != std::string::npos;) {
    const size_t value = at + header.size();
    size_t end = request.find_first_of("\r\n", value);
    if (end == std::string::npos) end = request.size();
    out.append(request, from, value - from);
    out += "(hidden)";
    from = end;
  }
  out.append(request, from, std::string::npos);
  return out;
}
