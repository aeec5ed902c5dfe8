#pragma once
// The standard camera services as the pages see them: their part of the System Settings form
// (the RTSP server and the ONVIF device switched on and off, their ports and logins), every
// channel's RTSP address for the System page, the status report and the live page, and the
// hook that restarts the services when a submission changed their settings.
//
// Threads: the form and the submission on the configuration server thread; the address is
// published by the services' owner from any thread (under a lock of its own).
#include <functional>
#include <map>
#include <string>

#include "net/CNetAddr.h"

class CVideoCnl;

// The address the RTSP server listens on; a port of 0 when it is not running.
void publishRtspAddress(const CNetAddr& a);

// "rtsp://HOST:PORT/<source tag>" of the channel, "" while the RTSP server is not running.
// pageHost stands for a server listening on every interface (the address the page was reached
// at).
std::string rtspUrlOf(CVideoCnl& c, const std::string& pageHost);

// Installed by the services' owner at start-up; called after a submission changed any of the
// services' settings, on the configuration server thread.
void setServicesRestart(std::function<void()> restart);

void printServicesForm(const std::string& pageHost, std::string& out);

// Stores the changed settings with their "upd"/"warn" paragraphs and restarts the services
// when any was stored. True when anything changed or was refused.
bool applyServiceSettings(const std::map<std::string, std::string>& form, std::string& resp);
