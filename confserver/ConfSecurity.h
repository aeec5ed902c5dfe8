#pragma once
// The secure-access part of the System Settings form: the HTTPS port and certificate files,
// the redirect of plain-HTTP pages, whether the status pages need a login, the trusted reverse
// proxies, the viewer logins, and the button that revokes every signed link. Each setting is
// described once (key, label, kind) and both the form rows and the submission step come from
// that description.
//
// Configuration server thread only, like the rest of the form.
#include <map>
#include <string>

// Appends the part to the System Settings form. fingerprint: SHA-256 of the certificate in
// use ("" when HTTPS is off).
void printSecurityForm(const std::string& fingerprint, std::string& out);

// The submission step for the settings of the part (the viewers are added and removed with
// the administrators): stores each changed value with an "upd" paragraph, refuses a bad one
// with a "warn" paragraph. True when anything changed or was refused.
bool applySecuritySettings(const std::map<std::string, std::string>& form, std::string& resp);
