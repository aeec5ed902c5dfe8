#pragma once
// "/metrics": the running process's counters in the Prometheus text exposition format
// (version 0.0.4), behind the configuration pages' login.
//
// Per channel (labels section and type): pictures received, published and dropped,
// reconnects, viewers connected and bytes sent to them, recording events, files and bytes,
// cleaner deletions, the age of the last picture, the encoder's time per picture and the
// state of the source (channels/SignalState.h). Per
// process: threads, open descriptors, resident memory, log lines by level and configuration
// requests by status. Counters never go backwards while the process runs: a channel removed
// and created again goes on from its earlier counts.
//
// Configuration server thread only, with g_cnlUseLock held (it walks the channel list).
#include <map>
#include <string>

struct ConfAnswer;

// The exposition text. requestCounts: configuration requests by answer status.
std::string buildMetricsText(const std::map<std::string, uint64_t>& requestCounts);
// The answer to an authorised "/metrics".
void metricsAnswer(const std::map<std::string, uint64_t>& requestCounts, ConfAnswer& out);
