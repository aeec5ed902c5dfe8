#pragma once
// Where the configuration server listens, as announced by the server after each set-up of its
// socket. The main window shows it as its "configure" item and opens it from the configure
// command. Any thread may call these.
#include "base/CNetAddr.h"

#include <string>

// Called by the configuration server after each successful socket set-up.
void announceConfigAddress(const CNetAddr& addr);
// The same, noting whether the operating system chose the port because binding to the
// configured one failed (the item text then says so).
void announceConfigAddress(const CNetAddr& addr, bool osSelectedPort);
// The last announced address (ip "" and port 0 before the first announcement).
CNetAddr configAddress();
// "http://" + ip:port, the port always written out; the all-interfaces address 0.0.0.0 is
// shown as "localhost".
std::string configUrl(const CNetAddr& addr);
// The configure item's text: "configure" before the first announcement, then
// "[" + ip:port + "] configure", plus " (OS selected port)" when the OS chose the port.
std::string configItemText();

// Receives the configure item's text after every announcement. Implemented by the main
// window; it must only queue the text (it is called on the announcing thread, under the
// announcement lock, which is taken before any lock of the sink).
class ConfigAddressSink {
 public:
  virtual ~ConfigAddressSink() = default;
  virtual void configItemChanged(const std::string& itemText) = 0;
};
// Installs the sink (nullptr removes it; no call reaches a removed sink). A sink installed
// after an announcement receives the current text at once.
void setConfigAddressSink(ConfigAddressSink* sink);
