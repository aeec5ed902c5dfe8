#pragma once
// The configuration page: the two-column HTML document with the channel list on the left and
// one configuration form (a channel's, a new channel's or the System Settings) on the right.
//
// Configuration server thread only: the builders walk and clean the channel list
// (net/ConfChannels.h) and draw the channels' forms (net/ChannelForms.h).
#include <map>
#include <string>

#include "net/CNetAddr.h"

class CHTTPSocket;
struct ConfAnswer;

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
// The fixed block with the maker's address under every page.
std::string vendorBlock();

// Type code 1..9 of a new-channel chooser value ("newAxis" ...); 0 when it is none.
int newChannelTypeCode(const std::string& cnl);

// True when the request's "User-Agent:" asks for moving pictures (contains "irefox").
bool wantsLivePictures(CHTTPSocket& conn);
// The answer to an authorised request for the configuration page (query parameter "cnl").
void configurePage(CHTTPSocket& conn, ConfAnswer& out);
// Status 200 (empty reason) with the page headers, then the page.
void htmlAnswer(const std::string& page, ConfAnswer& out);
// Headers of every page and of the log text: no type sniffing, no framing by other sites.
void addProtectionHeaders(std::map<std::string, std::string>& headers);
// The warning shown at the top of every configuration page while "Admins" is empty; "" once
// an administrator is configured.
std::string noAdministratorParagraph();
