#pragma once
// The configuration server's view of the channel list: a snapshot of the running channels,
// with channels whose thread has ended cleaned away on the way (removed from the list under
// g_cnlListLock, then joined and destroyed outside it), the look-up of a channel by its key
// and the smallest free index for a new channel.
//
// Configuration server thread only: it is the one thread that removes and destroys channels
// after start-up, so a channel in a snapshot stays alive until this thread itself removes it.
#include <cstdint>
#include <string>
#include <vector>

class CVideoCnl;

// The running channels in list order; ended ones are cleaned away first.
std::vector<CVideoCnl*> liveChannels();
// The running channel whose key (fieldPrefix) equals key, or nullptr.
CVideoCnl* findChannelByKey(const std::string& key);
// The smallest index that no running channel of typeCode uses and that has no settings
// section of its own ("Channel <type> <index>"), so a new channel never inherits the
// settings of one that is configured but not running.
uint32_t smallestFreeIndex(int typeCode);
