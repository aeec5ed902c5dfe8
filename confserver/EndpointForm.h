#pragma once
// The endpoint's part of a channel's form, submission and status (see confserver/ChannelForms.h).
// The caller holds the channel's configLock() (the listener may be renewed meanwhile).
#include <string>

#include "base/CNetAddr.h"
#include "confserver/FormUpdate.h"

class CNetVideoCnl;

// The "Channel IP address" table: the stored address and port, and the bound port when it
// differs ("[not bound]" while nothing listens).
void endpointFormTable(CNetVideoCnl& cnl, std::string& html);
// The same for the fields under prefix, the settings of section and the address bound.
void endpointFormTableFor(const std::string& prefix, const std::string& section, const CNetAddr& bound,
                          std::string& html);
void endpointUpdate(CNetVideoCnl& cnl, const FormFields& fields, std::string& html);
std::string endpointStatusRow(CNetVideoCnl& cnl);

// An IP channel's choice to be served on its endpoint ("CnlServe").
void serveFormTable(const std::string& prefix, const std::string& section, std::string& html);
void serveUpdate(const std::string& prefix, const std::string& section, const FormFields& fields,
                 std::string& html);
