#include <gtest/gtest.h>

#include <string>

#include "base/TextHelpers.h"

TEST(UrlDecode, DecodesEscapesInEitherCaseAndPlus) {
  EXPECT_EQ(url_decode("%41%6a"), "Aj");
  EXPECT_EQ(url_decode("%4a%4A"), "JJ");
  EXPECT_EQ(url_decode("a+b%20c"), "a b c");
  EXPECT_EQ(url_decode("x%3Dy+z"), "x=y z");
  EXPECT_EQ(url_decode("%00z"), std::string("\0z", 2));
  EXPECT_EQ(url_decode("%ff"), "\xff");
}

TEST(UrlDecode, CopiesPercentWithoutTwoHexDigits) {
  EXPECT_EQ(url_decode("100%"), "100%");
  EXPECT_EQ(url_decode("100%4"), "100%4");
  EXPECT_EQ(url_decode("%g1"), "%g1");
  EXPECT_EQ(url_decode("%%41"), "%A");
  EXPECT_EQ(url_decode("%2"), "%2");
  EXPECT_EQ(url_decode(""), "");
}

TEST(HtmlEscape, ReplacesTheFourMarkupCharactersOnly) {
  EXPECT_EQ(html_escape("a<b & \"c\">"), "a&lt;b &amp; &quot;c&quot;&gt;");
  EXPECT_EQ(html_escape("it's 100%"), "it's 100%");
  EXPECT_EQ(html_escape("&amp;"), "&amp;amp;");
  EXPECT_EQ(html_escape(""), "");
}

TEST(Base64, EncodesWithPadding) {
  EXPECT_EQ(base64_encode("abc"), "YWJj");
  EXPECT_EQ(base64_encode("ab"), "YWI=");
  EXPECT_EQ(base64_encode("a"), "YQ==");
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("admin:secret"), "YWRtaW46c2VjcmV0");
  EXPECT_EQ(base64_encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
}

TEST(Base64, DecodesWhatItEncodesForEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += char(i);
  for (size_t len = 0; len <= all.size(); len += 1) {
    std::string part = all.substr(all.size() - len);
    ASSERT_EQ(base64_decode(base64_encode(part)), part) << "length " << len;
  }
}

TEST(Base64, DecodeRefusesLengthsNotMultipleOfFour) {
  EXPECT_EQ(base64_decode("YWJjZ"), "");
  EXPECT_EQ(base64_decode("YWI"), "");
  EXPECT_EQ(base64_decode(""), "");
  EXPECT_EQ(base64_decode("YWRtaW46c2VjcmV0"), "admin:secret");
}

TEST(Base64, DecodeKeepsZeroBytesThatArePartOfTheData) {
  // Trimming by zero bytes instead of by padding would lose "b" and the last zero here.
  EXPECT_EQ(base64_decode("YQBi"), std::string("a\0b", 3));
  EXPECT_EQ(base64_decode("AAAA"), std::string(3, '\0'));
  EXPECT_EQ(base64_decode("YQA="), std::string("a\0", 2));
}

TEST(Base64, DecodeCountsForeignCharactersAsZero) {
  EXPECT_EQ(base64_decode("Y!=="), std::string("`", 1));
  EXPECT_EQ(base64_decode("YW*j"), base64_decode("YWAj"));
}

TEST(IsValidIp, AcceptsClassicForms) {
  EXPECT_TRUE(is_valid_ip("127.0.0.1"));
  EXPECT_TRUE(is_valid_ip("0.0.0.0"));
  EXPECT_TRUE(is_valid_ip("192.168.1.254"));
  EXPECT_TRUE(is_valid_ip("255.255.255.254"));
  EXPECT_TRUE(is_valid_ip("127.1"));       // short form a.b
  EXPECT_TRUE(is_valid_ip("10.1.2"));      // a.b.c
  EXPECT_TRUE(is_valid_ip("2130706433"));  // one number
  EXPECT_TRUE(is_valid_ip("0x7f.0.0.1"));  // hexadecimal part
  EXPECT_TRUE(is_valid_ip("0177.0.0.1"));  // octal part
}

TEST(IsValidIp, RefusesNamesBroadcastAndTrailingText) {
  EXPECT_FALSE(is_valid_ip(""));
  EXPECT_FALSE(is_valid_ip("localhost"));
  EXPECT_FALSE(is_valid_ip("255.255.255.255"));
  EXPECT_FALSE(is_valid_ip("0xffffffff"));
  EXPECT_FALSE(is_valid_ip("256.0.0.1"));
  EXPECT_FALSE(is_valid_ip("1.2.3.4.5"));
  EXPECT_FALSE(is_valid_ip("1.2.3."));
  EXPECT_FALSE(is_valid_ip("127.0.0.1 <svg onload=alert(1)>"));
  EXPECT_FALSE(is_valid_ip("127.0.0.1\t"));
  EXPECT_FALSE(is_valid_ip(" 127.0.0.1"));
  EXPECT_FALSE(is_valid_ip(std::string("127.0.0.1\0x", 11)));
  EXPECT_FALSE(is_valid_ip("127.0.0.1x"));
  EXPECT_FALSE(is_valid_ip("::1"));
}

TEST(UrlEncode, KeepsLettersAndDigitsOnly) {
  EXPECT_EQ(url_encode("Ab09"), "Ab09");
  EXPECT_EQ(url_encode("a b"), "a+b");
  EXPECT_EQ(url_encode("-._~"), "%2D%2E%5F%7E");
  EXPECT_EQ(url_encode("\xe9\x01"), "%E9%01");
  EXPECT_EQ(url_encode("p&q=r%"), "p%26q%3Dr%25");
  EXPECT_EQ(url_decode(url_encode("x y&z=%/\xff")), "x y&z=%/\xff");
}

TEST(HideBasicCredentials, HidesEveryAuthorizationValueAndNothingElse) {
  EXPECT_EQ(hide_basic_credentials("GET /a HTTP/1.0\r\nAuthorization: Basic dTpw\r\nHost: h\r\n\r\n"
                                   "GET /b HTTP/1.0\r\nAuthorization: Basic eDp5\r\n\r\n"),
            "GET /a HTTP/1.0\r\nAuthorization: Basic (hidden)\r\nHost: h\r\n\r\n"
            "GET /b HTTP/1.0\r\nAuthorization: Basic (hidden)\r\n\r\n");
  EXPECT_EQ(hide_basic_credentials("Authorization: Basic dTpw"), "Authorization: Basic (hidden)");
  EXPECT_EQ(hide_basic_credentials("GET / HTTP/1.0\r\n\r\n"), "GET / HTTP/1.0\r\n\r\n");
}
