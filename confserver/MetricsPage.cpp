#include "confserver/MetricsPage.h"

#include <cstdio>
#include <vector>

#include "base/CLogFile.h"
#include "base/ConfAnswer.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "confserver/ConfPages.h"
#include "platform/Clock.h"
#include "platform/ProcessStats.h"

namespace {

// Label values may hold any text of the user's: backslash, double quote and line feed are
// escaped as the format asks.
std::string labelValue(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

struct ChannelRow {
  std::string labels;  // {section="...",type="..."}
  ChannelTotals totals;
  int64_t viewers = 0;
  uint64_t lastPictureNs = 0;
  uint64_t encodeNs = 0;
  bool analog = false;
  int signal = 0;
};

// One metric family: HELP, TYPE and a sample per row that has a value.
template <typename Value>
void family(std::string& out, const char* name, const char* type, const char* help,
            const std::vector<ChannelRow>& rows, Value value) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  for (const ChannelRow& r : rows) {
    std::string v;
    if (value(r, &v)) out += std::string(name) + r.labels + " " + v + "\n";
  }
}

void single(std::string& out, const char* name, const char* type, const char* help,
            const std::string& samples) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
         samples;
}

}  // namespace

std::string buildMetricsText(const std::map<std::string, uint64_t>& requestCounts) {
  const std::map<ChannelKey, ChannelTotals> retired = retiredChannels();
  const uint64_t now = platform::nowNs();
  std::vector<ChannelRow> rows;
  for (CVideoCnl* c : snapshotChannels()) {
    const ChannelKey key = c->metricsKey();
    ChannelRow r;
    r.labels = "{section=\"" + labelValue(key.first) + "\",type=\"" + labelValue(key.second) + "\"}";
    r.totals = c->totals();
    const auto it = retired.find(key);
    if (it != retired.end()) r.totals.add(it->second);
    ChannelCounters& n = c->counters();
    r.viewers = n.viewers.load(std::memory_order_relaxed);
    r.lastPictureNs = n.lastPictureNs.load(std::memory_order_relaxed);
    r.encodeNs = n.encodeNs.load(std::memory_order_relaxed);
    r.analog = c->typeCode() == 0;
    r.signal = int(c->signalState());
    rows.push_back(std::move(r));
  }

  std::string out;
  auto counter = [&](const char* name, const char* help, uint64_t ChannelTotals::*field) {
    family(out, name, "counter", help, rows, [field](const ChannelRow& r, std::string* v) {
      *v = std::to_string(r.totals.*field);
      return true;
    });
  };
  counter("telvgate_channel_pictures_received_total", "Pictures that arrived from the source.",
          &ChannelTotals::received);
  counter("telvgate_channel_pictures_published_total", "Pictures made current for consumers.",
          &ChannelTotals::published);
  counter("telvgate_channel_pictures_dropped_total",
          "Pictures that arrived but were not published (unusable, too large, or replaced by a newer one).",
          &ChannelTotals::dropped);
  counter("telvgate_channel_reconnects_total", "Connection attempts to the source after the first.",
          &ChannelTotals::reconnects);
  family(out, "telvgate_channel_viewers", "gauge", "Viewers connected to the channel's endpoint.",
         rows, [](const ChannelRow& r, std::string* v) {
           *v = std::to_string(r.viewers < 0 ? 0 : r.viewers);
           return true;
         });
  counter("telvgate_channel_viewer_bytes_total", "Bytes sent to viewers.",
          &ChannelTotals::viewerBytes);
  counter("telvgate_channel_recording_events_total", "Recorded events begun.",
          &ChannelTotals::recEvents);
  counter("telvgate_channel_recording_files_total", "Recording files created.",
          &ChannelTotals::recFiles);
  counter("telvgate_channel_recording_bytes_total", "Bytes written to recording files.",
          &ChannelTotals::recBytes);
  counter("telvgate_channel_cleaner_deletions_total", "Recorded events deleted by the cleaner.",
          &ChannelTotals::cleanerDeletions);
  family(out, "telvgate_channel_last_picture_age_seconds", "gauge",
         "Seconds since the last picture was published (absent before the first).", rows,
         [now](const ChannelRow& r, std::string* v) {
           if (r.lastPictureNs == 0) return false;
           *v = number(now > r.lastPictureNs ? double(now - r.lastPictureNs) / 1e9 : 0.0);
           return true;
         });
  family(out, "telvgate_channel_signal_state", "gauge",
         "State of the channel's source: 0 ok, 1 no signal, 2 frozen, 3 offline.", rows,
         [](const ChannelRow& r, std::string* v) {
           *v = std::to_string(r.signal);
           return true;
         });
  // In seconds, the format's base unit (1.5 ms shows as 0.0015).
  family(out, "telvgate_channel_encoder_seconds_per_frame", "gauge",
         "Smoothed JPEG encoder time per picture (analog channels).", rows,
         [](const ChannelRow& r, std::string* v) {
           if (!r.analog || r.encodeNs == 0) return false;
           *v = number(double(r.encodeNs) / 1e9);
           return true;
         });

  const platform::ProcessStats ps = platform::readProcessStats();
  if (ps.ok) {
    single(out, "telvgate_process_threads", "gauge", "Threads of the process.",
           "telvgate_process_threads " + std::to_string(ps.threads) + "\n");
    single(out, "telvgate_process_open_fds", "gauge", "Open file descriptors.",
           "telvgate_process_open_fds " + std::to_string(ps.openFds) + "\n");
    single(out, "telvgate_process_resident_memory_bytes", "gauge", "Resident memory in bytes.",
           "telvgate_process_resident_memory_bytes " + std::to_string(ps.residentBytes) + "\n");
  }
  static const char* const kLevels[] = {"fatal", "error", "warning", "info"};
  std::string lines;
  for (int level = 0; level < 4; ++level)
    lines += std::string("telvgate_log_lines_total{level=\"") + kLevels[level] + "\"} " +
             std::to_string(g_logFile.linesLogged(level)) + "\n";
  single(out, "telvgate_log_lines_total", "counter", "Log lines written, by level.", lines);
  std::string requests;
  for (const auto& rc : requestCounts)
    requests += "telvgate_config_requests_total{status=\"" + labelValue(rc.first) + "\"} " +
                std::to_string(rc.second) + "\n";
  single(out, "telvgate_config_requests_total", "counter",
         "Configuration server requests, by answer status (none: dropped unanswered).", requests);
  return out;
}

void metricsAnswer(const std::map<std::string, uint64_t>& requestCounts, ConfAnswer& out) {
  std::map<std::string, std::string> headers = {
      {"Content-Type:", "text/plain; version=0.0.4; charset=utf-8"},
      {"Cache-Control:", "private,no-cache,no-store"},
      {"Connection:", "close"}};
  addProtectionHeaders(headers);
  out.set(200, "OK", headers, buildMetricsText(requestCounts));
}
