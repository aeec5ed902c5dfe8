#include "channels/CNetVideoClient.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/CLogFile.h"
#include "channels/CVideoCnl.h"

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
  m_conn.setSendTimeout(kSendTimeoutMs);
}

CNetVideoClient::~CNetVideoClient() { closeConnection(); }

void CNetVideoClient::setSendTimeoutMs(int ms) { m_conn.setSendTimeout(ms); }

void CNetVideoClient::stop() {
  m_stop = true;
  std::lock_guard<std::mutex> guard(m_connLock);
  if (m_conn.isOpen()) m_conn.shutdown();
}

void CNetVideoClient::closeConnection() {
  std::lock_guard<std::mutex> guard(m_connLock);
  m_conn.close();
}

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

bool CNetVideoClient::waitNewPicture() {
  paceAfter(m_lastTimestamp);
  if (m_stop) return false;
  if (!m_cnl->getNewPicture(m_shared, m_lastTimestamp)) return false;
  m_lastTimestamp = m_shared->timestamp;
  return true;
}

bool CNetVideoClient::sendPart(const char* header, const SharedPicture& pic) {
  iovec pieces[2] = {{const_cast<char*>(header), kPartHeaderSize},
                     {pic.data.get(), pic.length}};
  iovec* next = pieces;
  int left = 2;
  while (left > 0) {
    if (m_stop) return false;
    const int sent = m_conn.sendv(next, left);
    if (sent < 1) {
      if (sent < 0 && m_conn.lastError() == EINTR) continue;
      return false;  // peer gone, connection shut down, or no progress within the time-out
    }
    size_t done = static_cast<size_t>(sent);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

FX::FXint CNetVideoClient::run() {
  char header[kPartHeaderSize];
  std::memcpy(header, kPartHeader, kPartHeaderSize);

  m_cnl->addClient(this);
  const std::string id = threadIdText();
  g_logFile.log(CLogFile::Info, kLogSource,
                "Started video client thread. id=" + id + " T=" +
                    std::to_string(periodNs() / 1000000ull) + "ms",
                "CNetVideoClient::run");

  ChannelCounters& counters = m_cnl->counters();
  counters.viewers.fetch_add(1, std::memory_order_relaxed);
  int failedWaits = 0;
  while (!m_stop && failedWaits < kMaxFailedWaits) {
    if (waitNewPicture()) {
      failedWaits = 0;
      // The part goes out whole: a short send followed by the next part would corrupt the
      // stream for the viewer, so short sends are continued until done or failed.
      const bool sent = patchLength(header, m_shared->length) && sendPart(header, *m_shared);
      if (sent) ChannelCounters::add(counters.viewerBytes, kPartHeaderSize + m_shared->length);
      m_shared.reset();  // the channel frees old pictures as soon as nobody sends them
      if (!sent) break;
    } else {
      if (m_stop || m_cnl->stopping()) break;  // the channel is going away: end at once
      ++failedWaits;
      g_logFile.log(CLogFile::Info, kLogSource, "waitNewFrame() failed!", "CNetVideoClient::run");
      sleepUnlessStopped(static_cast<uint64_t>(m_failPauseMs) * 1000000ull);
    }
  }

  closeConnection();
  counters.viewers.fetch_sub(1, std::memory_order_relaxed);
  g_logFile.log(CLogFile::Info, kLogSource, "Stopped video client thread. id=" + id,
                "CNetVideoClient::run");
  return 0;
}
