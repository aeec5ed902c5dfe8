#pragma once
// An analog channel's form, submission and status rows (see confserver/ChannelForms.h).
#include <string>

#include "confserver/FormUpdate.h"

class CFalconVideoCnl;

void falconChannelForm(CFalconVideoCnl& cnl, std::string& html);
bool falconChannelUpdate(CFalconVideoCnl& cnl, const FormFields& fields, std::string& html);
void falconChannelStatus(CFalconVideoCnl& cnl, std::string& html);
