#include "endpoint/CNetVideoCnl.h"

#include "base/CSettings.h"
#include "endpoint/CHTTPSrvThread.h"
#include "endpoint/CLstSockThread.h"

CNetVideoCnl::CNetVideoCnl(int typeCode, uint32_t index)
    : CVideoCnl(typeCode, index), m_listener(std::make_unique<CLstSockThread>(this)) {}

CNetVideoCnl::~CNetVideoCnl() {
  // The concrete run normally ended the listener already; a channel that never ran, or a run
  // that returned early, must not leave it waiting on a destroyed channel.
  stopListener();
  m_listener.reset();
}

bool CNetVideoCnl::init() {
  std::lock_guard<std::mutex> guard(m_configLock);
  return initLocked();
}

bool CNetVideoCnl::reconf() {
  std::lock_guard<std::mutex> guard(m_configLock);
  return reconfLocked();
}

bool CNetVideoCnl::initLocked() {
  if (!CVideoCnl::init()) return false;
  return m_listener->init();
}

bool CNetVideoCnl::reconfLocked() {
  CVideoCnl::reconf();
  m_listener->requestRefresh();
  // While nothing listens the listener's own state text ("bind() failed", "Not bound") stays;
  // an empty address would only show as ":0".
  const CNetAddr local = localAddr();
  if (!local.ip.empty()) listEntry().setAddress(local.to_string());
  return true;
}

void CNetVideoCnl::stop() {
  CVideoCnl::stop();
  m_listener->requestStop();
}

CNetAddr CNetVideoCnl::localAddr() { return m_listener->localAddr(); }

CNetAddr CNetVideoCnl::peerAddr() { return m_listener->address(); }

void CNetVideoCnl::storeImageSize(const std::string& keyword) {
  g_settings.writeString(sectionName(), "ImageSize", keyword);
}

std::string CNetVideoCnl::controlAnswer(const std::map<std::string, std::string>& query) {
  return CHTTPSrvThread::controlAnswer(*this, query);
}

bool CNetVideoCnl::startListener() {
  return m_listener->start();
}

void CNetVideoCnl::stopListener() {
  m_listener->requestStop();
  m_listener->join();
}

void CNetVideoCnl::renewListener() {
  stopListener();
  std::lock_guard<std::mutex> guard(m_configLock);
  m_listener = std::make_unique<CLstSockThread>(this);
  m_listener->init();
}
