// Round trips and escaping of the text helpers.
#include <cctype>
#include <cstring>

#include "base/TextHelpers.h"
#include "tests/fuzz/checks/FuzzChecks.h"

namespace fuzzcheck {

std::string textHelpers(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);

  if (url_decode(url_encode(s)) != s) return "url_decode(url_encode(s)) != s";
  for (unsigned char c : url_encode(s))
    if (!std::isalnum(c) && c != '+' && c != '%') return "url_encode left a special byte raw";

  const std::string esc = html_escape(s);
  if (esc.find_first_of("<>\"") != std::string::npos) return "html_escape left < > or \" raw";
  for (size_t p = esc.find('&'); p != std::string::npos; p = esc.find('&', p + 1)) {
    static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;"};
    bool entity = false;
    for (const char* e : kEntities) entity = entity || esc.compare(p, std::strlen(e), e) == 0;
    if (!entity) return "html_escape left a raw &";
  }
  if (s.find_first_of("<>\"&") == std::string::npos && esc != s) return "html_escape changed plain text";

  const std::string b64 = base64_encode(s);
  if (b64.size() % 4 != 0) return "base64_encode length not a multiple of 4";
  if (base64_decode(b64) != s) return "base64_decode(base64_encode(s)) != s";
  const std::string decoded = base64_decode(s);  // arbitrary text: no crash, bounded size
  if (decoded.size() > s.size()) return "base64_decode grew the text";

  // An accepted address reads as one with inet_addr's forms; a dotted quad of four decimal
  // bytes other than the broadcast address is always accepted.
  if (is_valid_ip(s) && (s.empty() || s.find('\0') != std::string::npos))
    return "is_valid_ip accepted an empty or NUL-holding text";
  if (size >= 4) {
    std::string quad = std::to_string(data[0]) + "." + std::to_string(data[1]) + "." +
                       std::to_string(data[2]) + "." + std::to_string(data[3]);
    bool broadcast = data[0] == 255 && data[1] == 255 && data[2] == 255 && data[3] == 255;
    if (is_valid_ip(quad) == broadcast) return "is_valid_ip wrong on " + quad;
    if (is_valid_ip(quad + s.substr(4, 1) + "x") && size > 4) return "is_valid_ip accepted trailing text";
  }
  return "";
}

}  // namespace fuzzcheck
