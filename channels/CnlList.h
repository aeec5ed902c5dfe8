#pragma once
// The process-wide list of running channels. Channels append themselves at the start of their
// run under g_cnlListLock; the configuration pages remove ended channels under it; the main
// window's close walks it on the GUI thread after start-up is complete.
#include <mutex>
#include <vector>

class CVideoCnl;

extern std::vector<CVideoCnl*> g_cnlList;  // guarded by g_cnlListLock
extern std::mutex g_cnlListLock;

// Appends under the lock (called by a channel at the start of its run).
void registerChannel(CVideoCnl* cnl);
// A copy of the list taken under the lock.
std::vector<CVideoCnl*> snapshotChannels();
