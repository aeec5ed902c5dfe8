#pragma once
// The form submission ("/submitConfig"): creates new IP channels, changes the configuration
// server's address and port, adds and removes administrators, hands the log fields to the log
// and every channel's fields to that channel, writes the settings to storage and answers with
// the configuration page, its messages below the form.
//
// Configuration server thread only: it creates, updates and removes channels and calls
// CLstConfThread::init on the server that serves the request.
#include <map>
#include <string>

class CHTTPSocket;
class CLstConfThread;
struct ConfAnswer;
struct FormBody;

using FormFields = std::map<std::string, std::string>;

// Splits an "a=1&b=2" body exactly as a request's query is split (both sides url-decoded; a
// pair without "=" kept undecoded with an empty value; the last of equal names wins).
FormFields splitFormBody(const std::string& body);

// Reads the body of a POST (connection thread, before the request is handed over). False when
// it declares no usable length (missing, 0, negative, not decimal, above 32768) or the body
// does not arrive in time; the request then gets no answer once it is known to be allowed.
bool readFormBody(CHTTPSocket& conn, std::string& body);

// Applies the form (every step, in order) and returns the page messages. *newKey receives the
// key of a channel created by the submission ("" when none). May rename the new channel's
// fields in form.
std::string applySubmission(FormFields& form, CLstConfThread& server, std::string* newKey);

// The answer to "/submitConfig": 403 for a cross-site request, 401 unless authorised (the
// server's login check), 403 for a GET that would change settings without a same-origin sign,
// nothing for an unusable POST body, else the configuration page with the messages.
void submitConfig(CHTTPSocket& conn, const FormBody& body, bool authorised, CLstConfThread& server,
                  ConfAnswer& out);

// The 401 answer (also used by the server for the configuration page).
void unauthorizedAnswer(ConfAnswer& out);
