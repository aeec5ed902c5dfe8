#pragma once
// A watcher of a channel's publications that is not one of its consumers: the RTSP server's
// sender of the channel's streams. The channel wakes it on every new picture; the watcher
// takes the picture when it is ready, through the link, which also tells it when the channel
// is gone (a channel may be deleted by the configuration pages while its streams run).
//
// The link is shared by the two sides and outlives either: the channel clears link->cnl in its
// destructor, the watcher clears link->watcher when it stops watching; each side touches the
// other only with link->lock held and the pointer set.
// Lock order: the channel's watch lock, then a link's lock, then the channel's frame lock.
#include <mutex>

class CVideoCnl;

class PictureWatcher {
 public:
  virtual ~PictureWatcher() = default;
  // A picture was published, or the channel is going away. Called from the channel's threads
  // with the link's lock held: wake the watcher's thread and return, nothing more.
  virtual void pictureEvent() = 0;
};

struct PictureLink {
  std::mutex lock;
  CVideoCnl* cnl = nullptr;           // guarded by lock; null once the channel is destroyed
  PictureWatcher* watcher = nullptr;  // guarded by lock; null once the watcher stopped
};
