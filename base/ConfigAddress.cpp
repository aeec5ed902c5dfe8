#include "base/ConfigAddress.h"

#include <mutex>

namespace {

std::mutex g_lock;
// Guarded by g_lock.
CNetAddr g_addr;
bool g_announced = false;
bool g_osSelected = false;
ConfigAddressSink* g_sink = nullptr;

std::string itemTextLocked() {
  if (!g_announced) return "configure";
  std::string text = "[" + g_addr.to_string() + "] configure";
  if (g_osSelected) text += " (OS selected port)";
  return text;
}

}  // namespace

void announceConfigAddress(const CNetAddr& addr) { announceConfigAddress(addr, false); }

void announceConfigAddress(const CNetAddr& addr, bool osSelectedPort) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_addr = addr;
  g_announced = true;
  g_osSelected = osSelectedPort;
  if (g_sink) g_sink->configItemChanged(itemTextLocked());
}

CNetAddr configAddress() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_addr;
}

std::string configItemText() {
  std::lock_guard<std::mutex> guard(g_lock);
  return itemTextLocked();
}

// Only the all-interfaces address itself becomes localhost: a plain text search for "0.0.0.0"
// would also hit inside addresses such as 10.0.0.0 or 100.0.0.0 and mangle them.
std::string configUrl(const CNetAddr& addr) {
  const std::string host = addr.ip == "0.0.0.0" ? std::string("localhost") : addr.ip;
  return "http://" + host + ":" + std::to_string(addr.port);
}

void setConfigAddressSink(ConfigAddressSink* sink) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_sink = sink;
  if (g_sink && g_announced) g_sink->configItemChanged(itemTextLocked());
}
