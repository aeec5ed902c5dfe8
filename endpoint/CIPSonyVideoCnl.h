#pragma once
// Sony network cameras (type code 5). Camera mode: a configuration request answered with 204,
// then an MJPEG stream whose part heads are header blocks giving the length as "DataLen:". Encoder mode (video
// servers that have no camera mode): single pictures polled on one kept-alive connection,
// each request told apart by a two-letter counter.
// Threads as CIPVideoCnl.
#include <atomic>

#include "endpoint/CIPVideoCnl.h"

class CIPSonyVideoCnl : public CIPVideoCnl {
 public:
  explicit CIPSonyVideoCnl(uint32_t index);
  ~CIPSonyVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  bool reconnect(int timeoutSec) override;
  void getFrameSrv(FrameRec& rec, int timeoutSec) override;

  std::string cameraConfigRequest() const;
  std::string cameraStreamRequest() const;
  // The encoder request with the given two letters after "?".
  std::string encoderRequest(const char letters[2]) const;
  // Advances the process-wide counter "AA", "BA", ... "ZA", "AB", ... "ZZ", "AA" and writes
  // the letters it gives.
  static void nextLetters(char letters[2]);
  bool encoderMode() const { return m_encoderMode.load(); }

  static const IPVendorTraits kTraits;

 private:
  bool reconnect_cam(const sockaddr_in& addr, int timeoutSec);
  bool reconnect_enc(const sockaddr_in& addr, int timeoutSec);
  void getFrameSrv_enc(FrameRec& rec, int timeoutSec);
  // Sends one encoder request on the open connection and reads its response head; true only
  // with status 200 and a usable Content-Length (in *len). Logs with the given function.
  bool requestPicture(uint32_t capacity, int timeoutSec, uint32_t* len, const char* function);

  std::atomic<bool> m_encoderMode{false};
};
