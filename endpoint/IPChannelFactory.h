#pragma once
// Creates the IP camera channel class of a type code (1..9) with the given index.
#include <cstdint>

class CVideoCnl;
struct IPVendorTraits;

// nullptr for a type code outside 1..9. The caller owns the result (init, start, ... delete).
CVideoCnl* createIPChannel(int typeCode, uint32_t index);

// The settings description of the family of a type code (1..9), nullptr for others.
const IPVendorTraits* ipVendorTraits(int typeCode);

// Start-up: walks the settings sections in their stable (sorted) order; every section named
// "Channel <type> <index>" with type 1..9 becomes a channel that is initialised and started.
// Channels whose init fails or whose thread does not start are destroyed (the channel logs
// its own reason). Returns the number of channels started. GUI thread, start-up only.
int startIPChannelsFromSettings();
