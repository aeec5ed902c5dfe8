#pragma once
// The process-wide list of running channels. Channels are listed under g_cnlListLock just before
// their thread starts; the configuration pages remove ended channels under it; the main
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

// Appends under the lock unless the channel is listed already (a channel started by
// startListedChannel is; its run still calls this).
void registerChannel(CVideoCnl* cnl);
// Lists the channel, then starts its thread; when the start fails it is taken off the list
// again and false returned. Listing first means a close that comes while the thread is only
// starting still stops and joins it. The caller holds g_cnlUseLock, so the configuration pages
// (which clean away listed channels whose thread is not running) never see it half-started.
bool startListedChannel(CVideoCnl* cnl);
// Start-up: init, then startListedChannel under g_cnlUseLock; a channel whose init fails or
// whose thread does not start is joined (a no-op for a thread that never ran) and destroyed.
// True when it runs.
bool initAndStartListedChannel(CVideoCnl* cnl);
// Empties the list and returns what it held (the close sequence). Until releaseTakenChannel,
// such a channel is not listed again by a registerChannel call of its own thread that comes
// late (a thread that only began to run after the close took it).
std::vector<CVideoCnl*> takeAllChannels();
// Call once the channel's thread has been joined, before destroying it (destroyChannel does).
void releaseTakenChannel(CVideoCnl* cnl);
// The one way a channel is destroyed: joins its thread (at once for a thread that never ran),
// releases it when the close sequence took it, deletes it. The channel is listed no more and
// was stopped, or never started; the caller holds no g_cnlListLock.
void destroyChannel(CVideoCnl* cnl);
// A copy of the list taken under the lock.
std::vector<CVideoCnl*> snapshotChannels();
