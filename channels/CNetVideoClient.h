#pragma once
// The live push-stream consumer: sends a channel's pictures to one HTTP client as a JPEG
// server-push stream, one part per picture, paced to the period the client asked for.
//
// Created by the channel endpoint after it sent the multipart response head; takes ownership
// of the connection's handle. Its own thread (run) attaches to the channel, hands the stream
// to the channel's push sender (PushSender), and sleeps until the stream ends: the client goes
// away, 5 waits in a row bring no picture, a send makes no progress for the send time-out
// (5 s), the channel stops, or stop() is called. stop() and peer() may be called from any
// thread; stop() also shuts the connection down.
//
// The stream does not copy pictures: the sender holds the channel's shared frozen picture
// while it sends it, and sends part header and picture with one gathering send, so a thousand
// viewers cost little more than the kernel's own work. picture() therefore stays empty for
// this consumer.
#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/CSocket.h"
#include "channels/CMXClient.h"

class PushSender;

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
  void setSendTimeoutMs(int ms) {
    assert(!running());
    m_sendTimeoutNs = uint64_t(ms) * 1000000ull;
  }
  void setFailPauseMs(uint32_t ms) {
    assert(!running());
    m_failPauseNs = uint64_t(ms) * 1000000ull;
  }

  // For the push sender.
  int streamHandle() const { return m_conn.handle(); }
  uint64_t sendTimeoutNs() const { return m_sendTimeoutNs; }
  uint64_t failPauseNs() const { return m_failPauseNs; }
  // The sender is done with the stream and never touches this consumer again; wakes run().
  void streamEnded();

  // The push-stream period for a request's fps value (nullptr: no fps parameter): absent
  // 100 ms; unreadable or below 0.1, 50 ms; else 1000 / min(fps, 20) truncated; clamped to
  // 50 .. 1000 ms.
  static uint32_t periodMsFromFps(const std::string* fps);
  // Writes length as seven zero-padded decimal digits at kLengthOffset. False (header
  // untouched) when it does not fit.
  static bool patchLength(char* header, uint32_t length);

 protected:
  int run() override;

 private:
  void closeConnection();

  CSocket m_conn;  // stop() may shut it down (CSocket keeps that safe); sends are the sender's
  CNetAddr m_peerAddr;
  std::atomic<PushSender*> m_sender{nullptr};  // set by run() before the hand-over
  std::mutex m_endLock;
  std::condition_variable m_endCond;
  bool m_streamEnded = false;  // guarded by m_endLock
  uint64_t m_sendTimeoutNs = uint64_t(kSendTimeoutMs) * 1000000ull;
  uint64_t m_failPauseNs = uint64_t(kFailPauseMs) * 1000000ull;
};
