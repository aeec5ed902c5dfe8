#pragma once
// The process-wide list of running channels. Channels append themselves at the start of their
// run under g_cnlListLock; the configuration pages remove ended channels under it; the main
// window's close walks it on the GUI thread after start-up is complete.
#include <mutex>
#include <vector>

class CVideoCnl;

extern std::vector<CVideoCnl*> g_cnlList;  // guarded by g_cnlListLock
extern std::mutex g_cnlListLock;

// Held by the configuration server while it handles one request (its pages and submissions
// keep channel pointers from a snapshot of the list) and by the close sequence while it
// destroys channels, so a page never uses a channel that is being deleted.
// Lock order: g_cnlUseLock before g_cnlListLock; never held by a channel's own threads.
extern std::mutex g_cnlUseLock;

// Appends under the lock (called by a channel at the start of its run).
void registerChannel(CVideoCnl* cnl);
// A copy of the list taken under the lock.
std::vector<CVideoCnl*> snapshotChannels();
