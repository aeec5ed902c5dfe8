#pragma once
// The configuration page: the two-column HTML document with the channel list on the left and
// one configuration form (a channel's, a new channel's or the System Settings) on the right.
//
// Configuration server thread only: the builders walk and clean the channel list
// (channels/LiveChannels.h) and draw the channels' forms (confserver/ChannelForms.h).
#include <map>
#include <string>

#include "base/CNetAddr.h"
#include "base/ConfAnswer.h"

class CHTTPSocket;

// The whole document around the two columns.
std::string printPageFrame(const std::string& left, const std::string& right);
// The left column: the channels grouped by vendor, the new-channel chooser and the System
// link; the entry whose key equals cnl is highlighted.
std::string printChannelList(const std::string& cnl);
// Appends the right column for cnl ("sys", "newAxis" ... "newGrandstream", or a channel key)
// to out. firefox selects moving pictures; serverAddr is where the browser reached us.
void printConfigForm(const std::string& cnl, bool firefox, const CNetAddr& serverAddr,
                     std::string& out);
// The System Settings form (addresses, log file, administrators).
void printSystemForm(std::string& out);

// Type code 1..9 of a new-channel chooser value ("newAxis" ...); 0 when it is none.
int newChannelTypeCode(const std::string& cnl);

// True when the request's "User-Agent:" asks for moving pictures (contains "irefox").
bool wantsLivePictures(CHTTPSocket& conn);
// The answer to an authorised request for the configuration page (query parameter "cnl").
void configurePage(CHTTPSocket& conn, ConfAnswer& out);
// The warning shown at the top of every configuration page while "Admins" is empty; "" once
// an administrator is configured.
std::string noAdministratorParagraph();
