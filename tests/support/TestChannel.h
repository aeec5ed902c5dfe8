#pragma once
// A small producer channel for tests. It publishes real JPEG pictures (made with libjpeg)
// wrapped exactly as an IP channel wraps a camera's picture: SOI, the 68-byte time-stamp
// segment, the IP comment segment, then the rest of the JPEG after its own SOI.
//
// Two ways to produce:
//  - periodic: start() runs a loop that publishes one picture every periodMs (optionally
//    waking early when a consumer signals frame-wanted, as the analog channel does);
//  - by hand: with periodMs 0 the loop only waits for stop, and the test calls
//    publishPicture(), publishRaw() or publishEmpty() from its own thread.
// Both may be mixed: every publication is serialised by m_produceLock.
//
// Threads: run() is the channel's thread; the publish* calls and the counters may be used from
// any thread. The destructor stops and joins the thread itself.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "channels/CVideoCnl.h"

class TestChannel : public CVideoCnl {
 public:
  struct Options {
    uint32_t periodMs = 40;        // 0: publish only by hand
    int width = 320;               // picture size in pixels
    int height = 240;
    int quality = 75;              // libjpeg quality
    bool noise = false;            // noisy content (large JPEGs, e.g. for the fan-out bench)
    bool varyContent = false;      // encode a new picture every step (else re-stamp one)
    bool wakeOnWanted = false;     // periodic loop also wakes on frame-wanted
    bool withRecorder = true;      // create the recording consumer (and start it in run)
    bool registerInList = false;   // append to g_cnlList at the start of run (removed again
                                   // by the destructor)
    std::string camAddr = "127.0.0.1:8080";  // the comment block's camera address
  };

  explicit TestChannel(const Options& options, int typeCode = 1, uint32_t index = 1);
  TestChannel() : TestChannel(Options()) {}
  ~TestChannel() override;

  // init() and start the thread; false when init fails.
  bool startChannel();

  // Encodes (or re-stamps) the next picture and publishes it. Returns its wrapped length.
  uint32_t publishPicture();
  // Publishes the given bytes as they are (time stamp now, next sequence number). False when
  // they do not fit the frame buffer.
  bool publishRaw(const uint8_t* data, size_t length);
  bool publishRaw(const std::vector<uint8_t>& bytes) { return publishRaw(bytes.data(), bytes.size()); }
  // A step that produced nothing: consumers get false and the reconnect flag rises.
  void publishEmpty();

  uint32_t publishedCount() const { return m_published.load(); }
  // Waits (bounded) until at least n pictures were published in all.
  bool waitPublished(uint32_t n, int timeoutMs) const;
  // Time stamp and sequence of the last published picture (0 before any).
  uint64_t lastTimestamp() const { return m_lastTimestamp.load(); }
  uint32_t lastSequence() const { return m_sequence.load(); }
  // The wrapped picture the last publishPicture() produced.
  std::vector<uint8_t> lastPicture() const;
  // How often the periodic loop was woken early by frame-wanted (wakeOnWanted only).
  uint32_t wakeUps() const { return m_wantedWakeUps.load(); }

  std::string imageUrl(const std::string& host, bool live) override;
  CNetAddr localAddr() override { return CNetAddr("127.0.0.1", 0); }
  CNetAddr peerAddr() override { return CNetAddr("127.0.0.1", 0); }
  std::string sourceTag() override { return "test_" + std::to_string(index()); }

  // ---- JPEG helpers for tests ----
  // A plain baseline JPEG of the given size; seed moves a square so pictures differ.
  static std::vector<uint8_t> makeJpeg(int width, int height, int quality, uint32_t seed,
                                       bool noise = false);
  // Wraps a plain JPEG (starting FF D8) with the picture blocks.
  static std::vector<uint8_t> wrapPicture(const std::vector<uint8_t>& jpeg, const std::string& name,
                                          const std::string& camAddr, uint64_t timeNs,
                                          uint32_t sequence, int width, int height);
  // Decodes a JPEG completely with libjpeg; false when it is not a valid JPEG.
  static bool decodeJpeg(const uint8_t* data, size_t length, int* width, int* height);

 protected:
  int run() override;

 private:
  bool publishLocked(const uint8_t* data, size_t length, uint64_t timeNs, uint32_t sequence);
  uint64_t nextTimestamp();
  void sleepUnlessStopped(uint64_t ns);

  const Options m_opt;
  mutable std::mutex m_produceLock;  // serialises every publication (guards the back record)
  std::vector<uint8_t> m_jpeg;       // guarded by m_produceLock: the plain JPEG being re-stamped
  std::vector<uint8_t> m_last;       // guarded by m_produceLock
  std::atomic<uint32_t> m_published{0};
  std::atomic<uint32_t> m_sequence{0};
  std::atomic<uint64_t> m_lastTimestamp{0};
  std::atomic<uint32_t> m_wantedWakeUps{0};
  bool m_registered = false;
};
