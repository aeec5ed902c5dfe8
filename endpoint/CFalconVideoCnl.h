#pragma once
// The analog channel: one video input of a frame-grabber board, served on an endpoint of its own
// (CNetVideoCnl). Its thread grabs an image from the input under the board's lock, filters it
// (2 x 2 smoothing for full frames, line dropping for single fields), encodes it with the
// channel's own JPEG encoder into the back frame record and publishes it.
//
// Naming: settings section "Channel 0 <board> <input>", form field prefix "0_<board>_<input>_",
// display name "Analog Falcon <board> <input>", source tag "falcon_<board>_<input>". The board
// settings ("CnlVideoStandard", "ImageSize", "ImageClipScale") are keys of the channel
// sections; a change made through one channel is written to the sections of every input of the
// board, so the board's channels never disagree.
//
// Ownership: the board is not owned and must outlive the channel; the channel owns its encoder,
// its image buffer (allocated by its thread) and, through its bases, its recorder and endpoint.
//
// Threads: run() is the channel's thread; the encoder and the image buffer belong to it. init(),
// reconf() and the form submission hold configLock() (see CNetVideoCnl), so they may come from
// the configuration server, "/control/control" connection threads and the channel's thread at
// once. The encoder is used under
// configLock() too, so a reconf() from another thread never sets it up anew mid-picture.
//
// Lock order: configLock(), then the board's lock, then the frame lock; the log's lock last.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "channels/CJpegEncoder.h"
#include "channels/FalconSettings.h"
#include "channels/PictureOverlay.h"
#include "channels/SignalState.h"
#include "endpoint/CFalconBoardDrv.h"
#include "endpoint/CNetVideoCnl.h"

class CFalconVideoCnl : public CNetVideoCnl {
 public:
  static constexpr size_t kImageBufferSize = 1786400;  // one grabbed 768 x 576 BGRX image and more
  static constexpr unsigned kPauseMs = 1000;           // unit of the retry and idle sleeps
  static constexpr unsigned kRetryPauses = 5;          // after a failed reconfiguration
  static constexpr unsigned kGrabFailPauses = 2;       // after a failed grab
  static constexpr uint64_t kFrameWaitNs = 1000000000ull;
  static constexpr uint64_t kDropLogIntervalNs = 60000000000ull;  // oversized-picture log

  // board must outlive the channel.
  CFalconVideoCnl(CFalconBoardDrv* board, int input);
  ~CFalconVideoCnl() override;

  std::string imageUrl(const std::string& host, bool live) override;
  std::string sourceTag() override;
  std::string fieldPrefix() override;
  std::string sectionName() override;
  std::string displayName() override;
  // "ImageSize" from "/control/control" goes to every input of the board.
  void storeImageSize(const std::string& keyword) override;

  CFalconBoardDrv* board() const { return m_board; }
  int input() const { return m_input; }
  // The input's settings in force: the value the last init() applied. Any thread.
  FalconConfig settings() const;
  // Makes next the settings in force; a change asks the channel thread to set up again.
  // configLock() is held (init()).
  void apply(const FalconConfig& next);
  bool enabled() const { return settings().enabled; }
  int quality() const { return settings().quality; }
  // "CnlOverlay" as in use: what is drawn on the pictures (channels/PictureOverlay.h).
  OverlayMode overlayMode() const { return OverlayMode(settings().overlay); }
  // Encoded picture size as configured by the last reconf.
  int encodeWidth() const { return m_encWidth.load(); }
  int encodeHeight() const { return m_encHeight.load(); }
  // Pictures dropped because they did not fit the frame record.
  uint32_t droppedFrames() const { return m_dropped.load(); }
  // Tests: a shorter unit for the retry and idle sleeps.
  void setPauseMs(unsigned ms) { m_pauseMs = ms; }
  // Tests: encode into less than the frame record's capacity, so an oversized picture can be
  // produced without a pathological image.
  void setRecordLimit(uint32_t bytes) { m_recordLimit = bytes; }
  // Tests and benchmarks: the filter, judge, encode and publish steps of one grabbed image.
  // image holds the grab as the board delivered it; false when the picture was dropped, or
  // withheld because the source gives no usable pictures and the no-signal picture stands in.
  bool processImage(uint8_t* image, uint64_t timeNs);

 protected:
  int run() override;

 private:
  bool initLocked() override;
  // The board's reconf, then the encoder for the board's format, then the endpoint's part.
  bool reconfLocked() override;
  void pause(unsigned count);
  // A failed grab: the channel has no signal once grabs have failed for PictureWatch's time.
  void noteGrabFailed();
  std::string statusText();
  // Prints the endpoint's stream URL on standard output whenever the bound address changed,
  // like the configuration address line.
  void announceEndpoint();
  void logWarning(const std::string& message, const char* function);

  CFalconBoardDrv* const m_board;
  const int m_input;

  mutable std::mutex m_configValueLock;  // a leaf lock
  FalconConfig m_config;                  // guarded by m_configValueLock
  std::atomic<unsigned> m_pauseMs{kPauseMs};
  std::atomic<int> m_encWidth{0}, m_encHeight{0};
  std::atomic<int> m_captureMode{4};
  std::atomic<uint32_t> m_generation{0};  // board format generation the encoder was set up for
  std::atomic<uint32_t> m_dropped{0};
  std::atomic<uint32_t> m_recordLimit{UINT32_MAX};

  // Channel thread (and reconf under configLock()).
  CJpegEncoder m_encoder;
  PictureOverlay m_overlay;
  std::unique_ptr<uint8_t[]> m_image;
  PictureWatch m_watch;
  uint64_t m_grabFailSinceNs = 0;  // monotonic; 0: the last grab succeeded
  uint64_t m_lastDropLogNs = 0;
  CNetAddr m_announced;
};
