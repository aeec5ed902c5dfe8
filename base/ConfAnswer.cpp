#include "base/ConfAnswer.h"

void htmlAnswer(const std::string& page, ConfAnswer& out) {
  std::map<std::string, std::string> headers = {{"Connection:", "close"},
                                                {"Content-type:", "text/html"},
                                                {"Cache-Control:", "private,no-cache,no-store"}};
  addProtectionHeaders(headers);
  out.set(200, "", headers, page);
}

void addProtectionHeaders(std::map<std::string, std::string>& headers) {
  headers["X-Content-Type-Options:"] = "nosniff";
  headers["X-Frame-Options:"] = "DENY";
}

std::string vendorBlock() {
  return "<TABLE rules=none frame=void><TR><TD>\n"
         "<SPAN style=\"font-family: Arial; font-size: 14pt; font-weight: bold\">TELVORA Video"
         " Systems</SPAN><BR>\n"
         "<SPAN style=\"font-family: Arial; font-size: 12pt\">Every camera, one gateway.</SPAN><BR>\n"
         "<SPAN style=\"font-family: Arial; font-size: 10pt\">Harbour Road 12, 4410 Westbridge"
         "</SPAN>\n"
         "<TABLE rules=none frame=void style=\"font-family: Arial; font-size: 10pt\">\n"
         "<TR><TD>Telephone:</TD><TD>+00 555 0100</TD><TD>Support:</TD><TD>+00 555 0199</TD></TR>\n"
         "<TR><TD>Fax:</TD><TD>+00 555 0101</TD><TD>E-mail:</TD>"
         "<TD><A href=\"mailto:info@telvora.example\">info@telvora.example</A></TD></TR>\n"
         "<TR><TD>Web:</TD><TD colspan=3><A href=\"http://www.telvora.example/\">"
         "www.telvora.example</A></TD></TR>\n"
         "</TABLE></TD></TR></TABLE>\n";
}
