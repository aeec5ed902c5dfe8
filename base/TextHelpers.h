#pragma once
// Text helpers shared by the HTTP parsers, the pages and the camera clients. Pure functions.
#include <cstddef>
#include <string>

// "%XX" (either case) becomes the byte, "+" a space; anything else (a lone "%") is copied.
std::string url_decode(const std::string& text);
// Replaces " & < > by &quot; &amp; &lt; &gt;; nothing else.
std::string html_escape(const std::string& text);
// Standard alphabet; a length that is not a multiple of 4 gives an empty result.
std::string base64_decode(const std::string& text);
// Standard alphabet with "=" padding, no line breaks.
std::string base64_encode(const std::string& bytes);
// True when the text is an IPv4 address in the classic inet_addr forms (short and hex forms
// accepted; 255.255.255.255 refused; no characters after the address).
bool is_valid_ip(const std::string& text);
// Letters and digits copied, space as "+", every other byte as %XX (upper-case hex).
std::string url_encode(const std::string& text);
// Each of the n bytes as two lower-case hex digits (digests, secrets).
std::string hex_lower(const void* data, size_t n);
// The request with the value of every "Authorization: Basic" header replaced by "(hidden)",
// for log lines (the log is readable without a login).
std::string hide_basic_credentials(const std::string& request);
