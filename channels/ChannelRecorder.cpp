#include "channels/ChannelRecorder.h"

#include <atomic>

namespace {

std::atomic<ChannelRecorderMaker> g_maker{nullptr};

}  // namespace

void setChannelRecorderMaker(ChannelRecorderMaker maker) { g_maker = maker; }

ChannelRecorderMaker channelRecorderMaker() { return g_maker.load(); }
