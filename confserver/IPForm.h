#pragma once
// An IP camera channel's form, submission and status rows (see confserver/ChannelForms.h).
#include <string>

#include "confserver/FormUpdate.h"

class CIPVideoCnl;

void ipChannelForm(CIPVideoCnl& cnl, std::string& html);
// Also the channel's removal ("Remove" ticked): the section goes, the channel is stopped and
// joined, html holds only "IP channel successfully removed" and the result is false.
bool ipChannelUpdate(CIPVideoCnl& cnl, const FormFields& fields, std::string& html);
void ipChannelStatus(CIPVideoCnl& cnl, std::string& html);
