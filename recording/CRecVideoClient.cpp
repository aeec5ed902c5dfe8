#include "recording/CRecVideoClient.h"

#include "app/CSettings.h"
#include "platform/Clock.h"

// Recording is off until the channel's settings turn it on; the first pass only keeps the
// thread alive so that every channel can own and join its recorder.
CRecVideoClient::CRecVideoClient(CVideoCnl* cnl) : CVideoClient(cnl, 80) {}

CRecVideoClient::~CRecVideoClient() = default;

void CRecVideoClient::init() {}

bool CRecVideoClient::update(const FormFields& fields, std::string& html) { return true; }

void CRecVideoClient::status(std::string& html) {
  html += "<TR><TD><STRONG>Event recording</STRONG></TD><TD>deactivated</TD></TR>";
}

void CRecVideoClient::stop() { m_stop = true; }

FX::FXint CRecVideoClient::run() {
  while (!stopping()) platform::sleepMs(50);
  return 0;
}
