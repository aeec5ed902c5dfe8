#pragma once
// The configuration form, the submission and the status rows of every kind of channel, drawn
// and checked from the settings each part describes (recording/RecSettings.h,
// channels/ChannelSettings.h, channels/IPSettings.h, channels/FalconSettings.h,
// endpoint/EndpointSettings.h). Channels themselves write no markup: they read their settings in
// init() and run with them.
//
// Configuration server's thread (the "/control/control" answers and the tests may call the
// submission too; it takes the channel's configuration lock where the channel needs it).
#include <map>
#include <string>

class CVideoCnl;
class CRecVideoClient;

using FormFields = std::map<std::string, std::string>;

// The whole form fragment of a running channel.
void channelForm(CVideoCnl& cnl, std::string& html);
// Validates and stores the fields under the channel's key, appending the messages; false when
// the channel removed itself or refused a block of fields (then init() is not to follow).
bool channelUpdate(CVideoCnl& cnl, const FormFields& fields, std::string& html);
// The rows of the channel's status table.
void channelStatus(CVideoCnl& cnl, std::string& html);
// The form of a new IP channel of type code, its fields under prefix, drawn from the stored
// defaults: no channel is made for it.
void newChannelForm(int code, const std::string& prefix, std::string& html);
// The key the new-channel form gives its fields ("1_9999_" for Axis): no channel has that
// index, so the fields reach no channel until the submission renames them to the new one's key.
std::string newChannelFieldPrefix(int code);

// ---- The parts, for the kinds that combine them ----
// The common table: name, recording block and (with panTilt) the pan/tilt block.
void commonFormTable(const std::string& prefix, const std::string& section, bool panTilt,
                     std::string& html);
bool commonUpdate(CVideoCnl& cnl, const FormFields& fields, std::string& html);
void commonStatus(CVideoCnl& cnl, std::string& html);

void recordingFormRows(const std::string& prefix, const std::string& section, std::string& html);
bool recordingUpdate(CRecVideoClient& rec, const std::string& prefix, const std::string& section,
                     const FormFields& fields, std::string& html);
void recordingStatus(CRecVideoClient& rec, std::string& html);
