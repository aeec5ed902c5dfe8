#pragma once
// The read-only answers of the configuration server that need no login: the status report
// ("/status": every running channel with its picture and status rows, then the System cell)
// and the log text ("/logs": the newest lines of the log, newest first).
//
// Configuration server thread only (the report walks and cleans the channel list).
#include <string>

#include "base/CNetAddr.h"

class CHTTPSocket;
struct ConfAnswer;

// The whole report. timeText is the local date and time shown in the heading; confAddr the
// configuration server's bind address; serverAddr where the browser reached us. viaTls: the
// page goes out over HTTPS, so its pictures come from the HTTPS port (confserver/TlsPictures.h).
std::string buildStatusPage(const std::string& timeText, const CNetAddr& serverAddr, bool firefox,
                            const CNetAddr& confAddr, bool viaTls = false);
// The current local date and time in the C library's "%x %X" form.
std::string statusTimeText();
// The answer to "/status".
void statusPage(CHTTPSocket& conn, const CNetAddr& confAddr, ConfAnswer& out, bool viaTls = false);

// The query parameter "l" as a line count: a leading decimal number (a negative one counts as a
// very large count), 0 (everything) when missing or not a number.
unsigned logLineCount(const std::string& text);
// The answer to "/logs".
void logsAnswer(CHTTPSocket& conn, ConfAnswer& out);
