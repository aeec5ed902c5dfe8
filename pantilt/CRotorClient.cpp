#include "pantilt/CRotorClient.h"

#include <cerrno>
#include <string>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "channels/CVideoCnl.h"
#include "pantilt/RotorFrame.h"
#include "platform/Clock.h"

namespace {
constexpr size_t kReadChunk = 256;
}

CRotorClient::CRotorClient(CVideoCnl* cnl, int handle)
    : CMXClient(cnl), m_conn(handle, true) {
  m_peerAddr = m_conn.peerAddress();
}

CRotorClient::~CRotorClient() {
  m_lease.reset();
  closeConnection();
}

bool CRotorClient::configure() {
  const std::string section = m_cnl->sectionName();
  const RotorHeadConfig head = readRotorHead(section);
  m_lease.reset();
  if (!createRotor(head.type)) return false;  // no head configured: nothing to say
  std::string why;
  m_lease = leaseRotorHead(head, RotorUser::Viewer, &why);
  if (!m_lease && why.find("cannot be opened") == std::string::npos)
    g_logFile.log(CLogFile::Warning, m_cnl->logSource(), "Pan/tilt viewer " + m_peerAddr.to_string() + " refused: " + why,
                  "CRotorClient::configure");
  return m_lease != nullptr;
}

void CRotorClient::stop() {
  m_stop = true;
  m_conn.shutdown();
}

void CRotorClient::closeConnection() { m_conn.close(); }

int CRotorClient::run() {
  m_cnl->addClient(this);
  readFrames();
  // Whatever ended the connection, the head must not keep moving on the last command.
  if (m_lease) {
    m_lease->head().use([](CRotor& r) { r.stop_all(); });
    m_lease.reset();
  }
  closeConnection();
  return 0;
}

void CRotorClient::readFrames() {
  RotorFrameMatcher matcher;
  uint64_t bodyDeadline = 0;  // monotonic ns by which a started body must be complete
  uint8_t buf[kReadChunk];
  while (!m_stop && !m_cnl->stopping()) {
    int waitMs = kStopCheckMs;
    if (matcher.inBody()) {
      const uint64_t now = platform::monotonicNs();
      if (now >= bodyDeadline) {
        matcher.reset();  // a body still incomplete after the time-out is dropped
      } else {
        const uint64_t leftMs = (bodyDeadline - now + 999999) / 1000000;
        if (leftMs < static_cast<uint64_t>(waitMs)) waitMs = static_cast<int>(leftMs);
      }
    }
    if (!m_conn.waitReadable(waitMs)) {
      if (m_conn.lastError() != 0 && m_conn.lastError() != ETIMEDOUT &&
          m_conn.lastError() != EINTR && m_conn.lastError() != EAGAIN)
        return;
      continue;
    }
    const int n = m_conn.recv(buf, sizeof buf);
    if (n == 0) return;  // the viewer closed the connection
    if (n < 0) {
      if (m_conn.lastError() == EINTR) continue;
      return;
    }
    for (int i = 0; i < n; ++i) {
      const bool wasInBody = matcher.inBody();
      RotorCommand cmd;
      if (matcher.feed(buf[i], &cmd)) {
        if (m_lease) m_lease->head().use([&cmd](CRotor& r) { executeRotorCommand(r, cmd); });
      } else if (!wasInBody && matcher.inBody()) {
        bodyDeadline = platform::monotonicNs() +
                       static_cast<uint64_t>(RotorFrameMatcher::kBodyTimeoutMs) * 1000000ull;
      }
      if (m_stop) return;
    }
  }
}
