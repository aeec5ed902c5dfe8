#pragma once
// The network camera channel: a thread that connects to an IP camera over HTTP, takes the newest
// JPEG of its stream once per frame period (or when a consumer asks), wraps it with the
// time-stamp segment and the comment block, and publishes it through the channel's frame store.
// A connection that yields no picture is a failed attempt: it waits out the same back-off.
// Abstract: the nine vendor classes supply the connection set-up (reconnect), the camera-side
// URLs and their own settings.
//
// Threads: run(), reconnect() and the frame readers are the channel's own thread. init(),
// update(), form() and status() run on the configuration server's thread (or the GUI thread at
// start-up) while the channel thread runs; the settings they write are guarded by m_setLock
// and read by the channel thread as a snapshot at each reconnect and frame. stop() may be called
// from any thread: it sets the stop flag and shuts the camera socket down, so a thread blocked
// on a silent camera wakes at once; the owner then joins.
//
// Lock order: m_setLock and m_sockLock are leaf locks (nothing else is taken while they are
// held, except the log's lock, always last).
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "channels/CVideoCnl.h"
#include "channels/PictureBlocks.h"
#include "net/CHTTPSocket.h"

struct sockaddr_in;

// One selectable image size of a vendor's form: the stored keyword and the text shown.
struct IPSizeOption {
  const char* value;
  const char* text;
};

// What distinguishes the vendor families in their settings, form and log texts.
struct IPVendorTraits {
  const char* className;    // "CIPAxisVideoCnl": qualifies every log function name
  const char* formLabel;    // "Axis IP camera (digital)"
  const char* tagPrefix;    // "axis_"
  int camIdMin, camIdMax;   // accepted camera numbers; camIdMax < 0: the family has none
  int camIdDefault;
  bool hasVideoStd;         // "CnlVideoStandard" PAL/NTSC
  std::vector<int> acceptedSizes;         // image size codes the family accepts
  std::vector<IPSizeOption> sizeOptions;  // form options, in order
  const char* defaultSize;                // stored keyword used when "ImageSize" is missing
};

class CIPVideoCnl : public CVideoCnl {
 public:
  // Real pauses; tests shorten them through the setters below.
  static constexpr unsigned kRetryPauseMs = 1000;      // after a failed connect: 1 s, then 5 x 1 s
  static constexpr unsigned kRetryWaits = 5;
  static constexpr unsigned kRequestPauseMs = 500;     // before every new connection to the camera
  static constexpr int kReconnectTimeoutSec = 5;
  static constexpr int kFrameTimeoutSec = 2;
  static constexpr int64_t kDefaultPeriodNs = 5000000000ll;
  static constexpr int64_t kMinPeriodNs = 40000000ll;
  static constexpr int64_t kMaxPeriodNs = 10000000000ll;
  // A connection that yields no picture is logged at most once per this time per channel.
  static constexpr uint64_t kNoPictureLogIntervalNs = 60000000000ull;
  // Stream data that keeps arriving for longer than this while the channel catches up with it is
  // a backlog too deep to be worth reading: the channel reconnects for a fresh stream instead.
  static constexpr uint64_t kMaxDrainNs = 500000000ull;
  // Longest wait for the part behind a drained backlog (bounded by the frame period too).
  static constexpr unsigned kSettleMaxMs = 1000;
  // Pictures in the socket's buffers up to this size cannot have held the camera up (the
  // receive buffer alone takes more), so no wait for a following part is needed.
  static constexpr uint64_t kBlockedSenderBytes = 65536;
  // How much of a stream is looked at for a part head, and how many rounds of blank lines
  // before it are taken before the line reader takes over.
  static constexpr size_t kPeekBytes = 1024;
  static constexpr int kMaxBlankRounds = 4;

  CIPVideoCnl(int typeCode, uint32_t index, const IPVendorTraits& traits);
  ~CIPVideoCnl() override;

  bool init() override;
  bool update(const FormFields& fields, std::string& html) override;
  void stop() override;
  CNetAddr localAddr() override;
  CNetAddr peerAddr() override;
  void form(std::string& html) override;
  void status(std::string& html) override;
  std::string sourceTag() override;
  // The vendor word and the channel index ("axis_3").
  virtual void sourceTag(std::string& out);

  // The vendor's connection set-up: on true m_sock is connected, the stream (or first picture)
  // was requested, the response head read with status 200, m_boundary set for multipart replies.
  virtual bool reconnect(int timeoutSec) = 0;
  // Reads the newest frame the camera has sent into rec and wraps it; rec.length 0 means no
  // frame (frameError() then says why). Parts already waiting behind the first one are read
  // too and only the last complete one is kept, so a camera streaming faster than the channel
  // fetches never makes it publish the past.
  virtual void getFrameSrv(FrameRec& rec, int timeoutSec);
  // Why the last fetch or connection yielded no picture (for the log); channel thread.
  const std::string& frameError() const { return m_frameError; }

  // Test hooks: shorter pauses than the real ones.
  void setRetryPauseMs(unsigned ms) { m_retryPauseMs = ms; }
  void setRequestPauseMs(unsigned ms) { m_requestPauseMs = ms; }

  // Settings as currently held (tests, status).
  int64_t framePeriodNs() const { return m_Tns.load(); }
  int quality() const { return m_quality.load(); }
  int imageSize() const { return m_imageSize.load(); }
  int camID() const { return m_camID.load(); }
  std::string camAddr() const;
  uint16_t camPort() const { return m_camPort.load(); }
  std::string boundary() const;

  // Largest number of bytes read while looking for the boundary line, as a multiple of the
  // frame record's capacity: a camera that never sends it is given up on.
  static constexpr uint32_t kBoundarySearchFactor = 2;
  // The boundary of a multipart Content-Type value as cameras send it: quoted or not, other
  // parameters after it, trailing blanks; with "--" in front. "" when there is none.
  static std::string boundaryLineOf(const std::string& contentType);
  // A host name or dotted IPv4 address as "CamIPAddr" accepts it: letters, digits, "-", "." and
  // "_" only (no blanks, no control characters), at most 253 bytes.
  static bool isValidCameraHost(const std::string& host);

  // The frame wrapping as a pure step: header template (70 bytes, constants filled), comment
  // segment, received JPEG (starting FF D8). False when the JPEG does not start with FF D8 or
  // the wrapped picture would not fit rec's capacity (rec.length is then 0).
  static bool wrapFrame(const uint8_t header[pictureblocks::kHeaderSize],
                        const std::vector<uint8_t>& comment, const uint8_t* jpeg, uint32_t len,
                        uint64_t timeNs, uint32_t sequence, uint32_t formatWord, FrameRec& rec);
  // Number of the last picture published by any IP channel (process-wide).
  static uint32_t lastSequence();

 protected:
  FX::FXint run() override;

  // ---- Helpers for the vendor classes (channel thread) ----
  // Camera address and port as text ("host:port").
  std::string hostText() const;
  // base64 of "user:password" for the Authorization header.
  std::string authText() const;
  // Resolves the camera; logs the family's message on failure. Sets the list entry's address
  // and m_formatWord on success.
  bool resolveCamera(sockaddr_in* addr);
  // Closes the socket, pauses, creates a new one and connects (with a time-out); logs failures
  // with the given function name.
  bool openConnection(const sockaddr_in& addr, int timeoutSec, const char* function);
  // openConnection, one send of the request, read_response; true with status 200 (or any
  // status when requireStatus is 0). Logs failures as the family's request helper.
  bool request_helper(const sockaddr_in& addr, const std::string& request, int timeoutSec,
                      int requireStatus = 200, const char* function = nullptr);
  // Takes the boundary from the response header `headerName` ("Content-Type:"); logs
  // "<family>: HTTP 'Content-Type:' header not found" / "... boundary header not found".
  bool takeBoundary(const char* headerName, const char* family);
  // One send of the whole text; logs "::send failed. str=..." on a short send.
  bool sendRequest(const std::string& request, const char* function);
  // Sleeps ms in slices, returning early when the channel is stopping.
  void pause(unsigned ms);
  void closeSocket();
  // Reads one multipart part (boundary line, part head, body) into buf (capacity bytes); true
  // with the body's length. Sets m_frameError on failure. The headroom bytes in front of buf
  // are scratch space it may write to.
  bool readPart(uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutSec, uint32_t* len);
  // The part head and body behind a boundary line. Sony's camera mode has its own.
  virtual bool readPartAfterBoundary(uint8_t* buf, uint32_t capacity, int timeoutSec, uint32_t* len);
  // The fast way to a part: its head is looked at without taking it from the connection, then
  // exactly the head is taken and the body received straight into buf. Got: a part is in buf;
  // Blank: blank lines were taken, more bytes are waiting behind them; BlankOnly: blank lines
  // were taken and were all that was waiting; Failed: m_frameError says why; FallBack: the head
  // was not complete in view or not plain (no length, Sony's heads): read it line by line;
  // Nothing: a look without waiting found nothing waiting. With peekTimeoutSec 0 (the look
  // behind a part) it is readPartWaiting() instead.
  enum class Direct { Got, Blank, BlankOnly, Failed, FallBack, Nothing };
  // headroom: bytes in front of buf the caller lets it write to (scratch).
  Direct readPartDirect(uint8_t* buf, uint32_t capacity, uint32_t headroom, int peekTimeoutSec, int timeoutSec,
                        uint32_t* len);
  // The look without waiting behind a part: takes what is waiting into the socket's buffer and
  // steps over blank lines. BlankOnly: nothing else was waiting; Nothing: nothing at all; Got:
  // the next part (its head was among the bytes taken) is in buf; FallBack: more is buffered,
  // for the line reader; Failed: m_frameError says why.
  Direct readPartWaiting(uint8_t* buf, uint32_t capacity, int timeoutSec, uint32_t* len);
  // The way to a part once the bytes in front of its body are known from the last part (the
  // heads of a stream hardly ever change length): one receive of what is waiting, placed so
  // that the body lands in buf with no look first; a head of another length costs a move, and
  // bytes behind the part are kept for the next reads. Got, Failed, or FallBack (nothing taken
  // or everything put back).
  Direct readPartPredicted(uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutSec, uint32_t* len);
  // Drops up to three trailing zero bytes of padding and checks the start marker; *kept is the
  // picture's length. Sets m_frameError when it is no JPEG picture.
  bool finishBody(uint8_t* buf, uint32_t len, uint32_t* kept);
  // Bytes in front of the body of the last part read by its head (0: not known, as on a new
  // connection), and whether the receive that brought the last part took all that was waiting.
  uint32_t m_predictedLead = 0;
  bool m_tookAllWaiting = false;
  // False for families whose part heads are not plain "Content-Length:" heads.
  bool m_directParts = true;
  // Skips to the boundary line (bounded by the amount of data); sets m_frameError on failure.
  bool skipToBoundary(uint32_t capacity, int timeoutSec);
  // Receives one JPEG body of a known length (or by markers when len is 0) into buf; true with
  // the length kept (trailing zero bytes dropped). With lead, that many bytes still waiting in
  // front of the body are received along with it into the space just before buf.
  bool receiveBody(uint8_t* buf, uint32_t capacity, uint32_t len, int timeoutSec, uint32_t* kept,
                   uint32_t lead = 0);
  // receiveBody into m_rxBuf, then wrapReceived: the shared tail of a single-picture reader.
  void receiveAndWrap(FrameRec& rec, uint32_t len, int timeoutSec);
  void wrapReceived(FrameRec& rec, uint32_t len);
  // Reads the parts already waiting behind the one in buf, each over the last: buf ends up
  // holding the newest (its length in *len).
  void countReplacedPart();
  bool drainBacklog(uint8_t* buf, uint32_t capacity, uint32_t headroom, int timeoutSec, uint32_t* len);
  // Logs at level 2 with this channel's source and the given function name.
  void logWarning(const std::string& message, const char* function);
  // A pseudo-random number from 0 to 32767 (request URLs that must not be cached); any thread.
  static int pseudoRandom();
  // "CIPAxisVideoCnl::" + member.
  std::string fn(const char* member) const;

  const IPVendorTraits& m_traits;

  CHTTPSocket m_sock;          // channel thread; stop() may shut it down under m_sockLock
  std::mutex m_sockLock;       // guards create/close of m_sock against stop()'s shutdown

  std::atomic<int64_t> m_Tns{0};
  std::atomic<int> m_quality{70};
  std::atomic<int> m_imageSize{0};
  std::atomic<int> m_camID{0};
  std::atomic<int> m_videoStd{0};
  std::atomic<uint16_t> m_camPort{80};
  std::atomic<uint32_t> m_formatWord{0};

  std::atomic<unsigned> m_retryPauseMs{kRetryPauseMs};
  std::atomic<unsigned> m_requestPauseMs{kRequestPauseMs};

  // Channel thread only.
  std::string m_boundaryLine;             // "--" + boundary; empty for bare JPEG replies
  std::vector<uint8_t> m_rxBuf;
  std::vector<uint8_t> m_commentSnap;     // the comment segment the current frame is wrapped with
  uint32_t m_commentSnapVersion = 0;      // the m_commentVersion it was taken at
  std::string m_frameError;               // why the last fetch yielded no picture

 private:
  bool vendorInit();
  bool vendorUpdate(const FormFields& fields, std::string& html);
  void vendorForm(std::string& html);
  bool readPartLength(uint32_t capacity, int timeoutSec, uint32_t* len);
  bool readJpegByMarkers(uint8_t* buf, uint32_t capacity, int timeoutSec, uint32_t* len);
  // The pauses after a failed attempt: 1 s, then up to 5 x 1 s, ended early by stop.
  void backOff();
  // Waits until a consumer asks for a picture or the frame period is over; for a streaming
  // camera the wait is only armed here and taken behind the fetch's first part.
  void waitForPictureDue();
  // The armed rest of the period, ended early by a consumer asking; nothing when none is armed.
  void waitRestOfPeriod();
  // Logs a connection that yielded no picture, at most once per kNoPictureLogIntervalNs.
  void logNoPicture();
  std::string connectedStatusText();
  bool recordingEnabled() const;
  int64_t recordingPeriodNs() const;

  uint8_t m_header[pictureblocks::kHeaderSize];
  uint64_t m_lastNoPictureLogNs = 0;  // channel thread; monotonic
  uint64_t m_pictureDueNs = 0;        // channel thread; monotonic end of the armed period, 0: none
  uint32_t m_noPictureSuppressed = 0;

  // State below is guarded by m_setLock.
  mutable std::mutex m_setLock;
  std::string m_camAddr;
  std::string m_userName;
  std::string m_userPwd;
  std::vector<uint8_t> m_comment;
  // Counts the changes of m_comment (changed under m_setLock), so the channel thread can see
  // without the lock that its copy is still current.
  std::atomic<uint32_t> m_commentVersion{1};
  std::string m_boundaryShown;  // copy of m_boundaryLine for other threads
};
