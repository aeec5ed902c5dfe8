#include "channels/CNetVideoClient.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/CLogFile.h"
#include "channels/CVideoCnl.h"
#include "channels/PushSender.h"

const char CNetVideoClient::kPartHeader[] =
    "\r\n--TELVORA_Fast_Serverpush\r\nContent-Type: image/jpg\r\nContent-length: 1234567\r\n\r\n";
static_assert(sizeof(CNetVideoClient::kPartHeader) - 1 == CNetVideoClient::kPartHeaderSize,
              "part header is 81 bytes");
static_assert(CNetVideoClient::kLengthOffset + CNetVideoClient::kLengthDigits + 4 ==
                  CNetVideoClient::kPartHeaderSize,
              "the length digits are followed by the blank line");

namespace {

const char* const kLogSource = "Net client ";

// The kernel's id of the calling thread, the number ps, top and gdb show, as eight
// upper-case hex digits.
std::string threadIdText() {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lX",
                static_cast<unsigned long>(syscall(SYS_gettid)) & 0xFFFFFFFFul);
  return buf;
}

}  // namespace

CNetVideoClient::CNetVideoClient(CVideoCnl* cnl, int handle, uint32_t periodMs)
    : CVideoClient(cnl, periodMs), m_conn(handle, true) {
  m_peerAddr = m_conn.peerAddress();
}

CNetVideoClient::~CNetVideoClient() { closeConnection(); }

void CNetVideoClient::stop() {
  m_stop = true;
  m_conn.shutdown();
  if (PushSender* sender = m_sender.load()) sender->wake();
}

void CNetVideoClient::streamEnded() {
  std::lock_guard<std::mutex> guard(m_endLock);
  m_streamEnded = true;
  m_endCond.notify_all();
}

void CNetVideoClient::closeConnection() { m_conn.close(); }

uint32_t CNetVideoClient::periodMsFromFps(const std::string* fps) {
  uint32_t ms;
  if (!fps) {
    ms = 100;
  } else {
    const char* begin = fps->c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || std::isnan(v) || v < 0.1) {
      ms = 50;
    } else {
      const double capped = v > 20.0 ? 20.0 : v;
      const double period = 1000.0 / capped;  // 0.1 .. 20 fps: 50 .. 10000 ms
      ms = static_cast<uint32_t>(period);
    }
  }
  if (ms < 50) ms = 50;
  if (ms > 1000) ms = 1000;
  return ms;
}

bool CNetVideoClient::patchLength(char* header, uint32_t length) {
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "%07u", length);
  if (n != static_cast<int>(kLengthDigits)) return false;
  std::memcpy(header + kLengthOffset, digits, kLengthDigits);
  return true;
}

int CNetVideoClient::run() {
  m_cnl->addClient(this);
  const std::string id = threadIdText();
  g_logFile.log(CLogFile::Info, kLogSource,
                "Started video client thread. id=" + id + " T=" +
                    std::to_string(periodNs() / 1000000ull) + "ms",
                "CNetVideoClient::run");

  ChannelCounters& counters = m_cnl->counters();
  counters.viewers.fetch_add(1, std::memory_order_relaxed);
  PushSender* sender = m_stop ? nullptr : m_cnl->pushSender();
  if (sender) {
    m_sender = sender;
    if (sender->attach(this)) {
      std::unique_lock<std::mutex> lock(m_endLock);
      m_endCond.wait(lock, [this] { return m_streamEnded; });
    }
  }

  closeConnection();
  counters.viewers.fetch_sub(1, std::memory_order_relaxed);
  g_logFile.log(CLogFile::Info, kLogSource, "Stopped video client thread. id=" + id,
                "CNetVideoClient::run");
  return 0;
}
