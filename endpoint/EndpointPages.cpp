#include "endpoint/EndpointPages.h"

#include "base/Tables.h"

std::string notActivePage() {
  const std::string version = kTelvGateVersion;
  return "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
         "\"http://www.w3.org/TR/html4/strict.dtd\">\n<HTML><HEAD>\n"
         "<META http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
         "<TITLE>TelvGate " + version + "</TITLE>\n"
         "<STYLE type=\"text/css\">\n"
         "BODY { background-color: #f0f0ff; background-image: url(/img/TELVORA_logo.png);"
         " background-repeat: no-repeat; background-attachment: fixed;"
         " background-position: top right; }\n"
         "A.nav { color: blue; font-family: monospace; font-size: smaller; }\n"
         "</STYLE>\n"
         "</HEAD><BODY>\n<H1>TELVORA TelvGate " + version + "</H1>\n"
         "<P>Channel not active.</P>\n"
         "</BODY></HTML>\n";
}
