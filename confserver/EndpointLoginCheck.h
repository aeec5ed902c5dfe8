#pragma once
// The configuration server's check of an endpoint's login (endpoint/EndpointLogin.h): HTTP
// Basic with its logins (confserver/ConfAccess.h) or a signed link made for that path and
// channel (confserver/SignedLinks.h). Refused logins are logged in the configuration server's
// form and counted by one login throttle shared by every endpoint.
//
// Any connection thread (the throttle has its own lock).
#include "endpoint/EndpointLogin.h"

// The one check of the process, to install at start-up.
endpointlogin::Check& confEndpointLoginCheck();
