#pragma once
// The recording consumer as a channel sees it. The recorder is built on the channel and its
// consumer base, so channels reach it only through this interface and a maker that start-up
// installs (installChannelRecorder, recording/CRecVideoClient.h), the way CnlListSink lets
// them reach the window. Without a maker a channel records nothing.
//
// Which thread calls what is the recorder's own contract (recording/CRecVideoClient.h): its
// channel's constructor creates it through the maker; the channel's thread starts it; stop()
// may come from any thread; join() and destruction from the channel's owner.
#include <memory>
#include <string>

#include "channels/ChannelCounters.h"

class CVideoCnl;

class ChannelRecorder {
 public:
  virtual ~ChannelRecorder() = default;

  // Reads the recording settings of the channel's section. False when recording cannot be
  // configured.
  virtual bool init() = 0;
  // Starts the recording thread; false when it cannot be created.
  virtual bool start() = 0;
  // Sets the stop flag and wakes the recording thread; returns at once.
  virtual void stop() = 0;
  // Waits for the recording thread; false when it was not running.
  virtual bool join() = 0;
  // Sets the recording counts of t (events, files, bytes, the cleaner's deletions).
  virtual void countInto(ChannelTotals& t) const = 0;
};

// Makes the recorder of cnl (which outlives it); null for none.
using ChannelRecorderMaker = std::unique_ptr<ChannelRecorder> (*)(CVideoCnl* cnl);

// Installs the maker every channel created afterwards uses (nullptr: none). Start-up, before
// the first channel; any thread may read it.
void setChannelRecorderMaker(ChannelRecorderMaker maker);
ChannelRecorderMaker channelRecorderMaker();
