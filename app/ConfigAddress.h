#pragma once
// Where the configuration server listens, as announced by the server after each set-up of its
// socket. The main window shows it as its "configure" item and opens it from the configure
// command. Any thread may call these.
#include "net/CNetAddr.h"

#include <string>

// Called by the configuration server after each successful socket set-up.
void announceConfigAddress(const CNetAddr& addr);
// The last announced address (ip "" and port 0 before the first announcement).
CNetAddr configAddress();
// "http://" + ip:port, with the first "0.0.0.0" replaced by "localhost".
std::string configUrl(const CNetAddr& addr);
