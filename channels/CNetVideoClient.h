#pragma once
// The live push-stream consumer: sends a channel's pictures to one HTTP client as a JPEG
// server-push stream, one part per picture, paced to the period the client asked for.
//
// Created by the channel endpoint after it sent the multipart response head; takes ownership
// of the connection's handle. Its own thread (run) attaches to the channel and streams until
// the client goes away, 5 waits in a row bring no picture, or stop() is called.
// stop() and peer() may be called from any thread; stop() also shuts the connection down, so a
// thread blocked in a send to a client that stopped reading wakes at once. A send that makes
// no progress for the send time-out (5 s) ends the stream as well, so a stalled viewer only
// ever holds up its own thread.
//
// The stream does not copy pictures: it holds the channel's shared frozen picture
// (CVideoCnl::getNewPicture) while it sends it, and sends part header and picture with one
// gathering send, so a thousand viewers cost little more than the kernel's own work.
// picture() therefore stays empty for this consumer.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "channels/CMXClient.h"
#include "net/CSocket.h"

class CNetVideoClient : public CVideoClient {
 public:
  // "\r\n--TELVORA_Fast_Serverpush\r\nContent-Type: image/jpg\r\nContent-length: 1234567\r\n\r\n"
  static const char kPartHeader[];
  static constexpr size_t kPartHeaderSize = 81;
  static constexpr size_t kLengthOffset = 70;  // the seven length digits
  static constexpr size_t kLengthDigits = 7;
  static constexpr int kMaxFailedWaits = 5;
  static constexpr uint32_t kFailPauseMs = 500;
  static constexpr int kSendTimeoutMs = 5000;

  // Takes ownership of handle (blocking, 92160-byte send buffer). *cnl must outlive this.
  CNetVideoClient(CVideoCnl* cnl, int handle, uint32_t periodMs);
  ~CNetVideoClient() override;  // closes the connection when still open

  CNetAddr peer() override { return peerAddr(); }
  void stop() override;
  // The client's address and port, taken when the connection was handed over ("" when the
  // platform could not tell).
  virtual CNetAddr peerAddr() { return m_peerAddr; }

  // Tests shorten these before start().
  void setSendTimeoutMs(int ms);
  void setFailPauseMs(uint32_t ms) { m_failPauseMs = ms; }

  // The push-stream period for a request's fps value (nullptr: no fps parameter): absent
  // 100 ms; unreadable or below 0.1, 50 ms; else 1000 / min(fps, 20) truncated; clamped to
  // 50 .. 1000 ms.
  static uint32_t periodMsFromFps(const std::string* fps);
  // Writes length as seven zero-padded decimal digits at kLengthOffset. False (header
  // untouched) when it does not fit.
  static bool patchLength(char* header, uint32_t length);

 protected:
  FX::FXint run() override;

 private:
  // Paces, then takes the next shared picture into m_shared; false as waitNewFrame.
  bool waitNewPicture();
  // Sends the header and the picture whole, repeating short sends; false once a send fails or
  // times out.
  bool sendPart(const char* header, const SharedPicture& pic);
  void closeConnection();

  std::mutex m_connLock;  // close() against stop()'s shutdown(): never shut down a reused fd
  CSocket m_conn;         // guarded by m_connLock for close/shutdown; sends are run()'s alone
  CNetAddr m_peerAddr;
  std::shared_ptr<const SharedPicture> m_shared;  // run()'s alone; held only while sending
  uint64_t m_lastTimestamp = 0;                   // of the last picture sent
  uint32_t m_failPauseMs = kFailPauseMs;
};
