#pragma once
// The network camera channel: a thread that connects to an IP camera over HTTP and, once per
// frame period (sooner when a consumer asks), takes the newest JPEG of its stream, wraps it with
// the time-stamp segment and the comment block, and publishes it through the channel's frame
// store. It waits first and fetches then, so a camera asked for one picture per period keeps
// its connection; a picture that arrived whole is published even when the stream ends or turns
// bad behind it, and the channel reconnects after that. A connection that yields no picture is
// a failed attempt: it waits out the same back-off.
// Abstract: the nine vendor classes supply the connection set-up (reconnect), the camera-side
// URLs and their own settings.
//
// Threads: run(), reconnect() and the frame readers are the channel's own thread. init() and
// the readers the configuration pages use (config(), hostText()) run on the configuration
// server's thread (or the GUI thread at start-up; init() also on an endpoint connection thread
// after a "/control/control" change) while the channel thread runs. init() reads the settings
// into a new immutable IPConfig and apply() swaps it in whole under m_setLock; every reader
// takes the value in force (settings()) and keeps it for its step (the channel thread once per
// fetch), so no step mixes two submissions. stop() may be called
// from any thread: it sets the stop flag and shuts the camera socket down, so a thread blocked
// on a silent camera wakes at once; the owner then joins.
//
// Serving ("CnlServe", off by default): the channel then also answers on an endpoint of its
// own as the analog channels do (CNetVideoCnl's listener, "CnlIPAddr"/"CnlIPPort"), and its
// viewers take the pictures of the one camera connection, each at its own rate; the camera is
// fetched from as often as the fastest of them asks. Only the channel's thread starts, stops
// and renews the listener (CIPVideoCnlServe.cpp); every other use of listener() holds
// configLock(). Without "CnlServe" the listener never runs: no socket, no thread.
//
// Lock order: configLock() (held by init(), the form submission and the endpoint parts of the
// form, status and stop()) before m_setLock and m_sockLock, which are leaf locks (nothing else
// is taken while they are held, except the log's lock, always last). A removal by the form
// submission runs before configLock() is taken: joining the channel joins its listener, whose connection
// threads may wait for that lock.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/CHTTPSocket.h"
#include "channels/CamPartReader.h"
#include "channels/CamSocketStream.h"
#include "channels/IPSettings.h"
#include "channels/PictureBlocks.h"
#include "endpoint/CNetVideoCnl.h"

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

class CIPVideoCnl : public CNetVideoCnl {
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

  CIPVideoCnl(int typeCode, uint32_t index, const IPVendorTraits& traits);
  ~CIPVideoCnl() override;

  void stop() override;
  CNetAddr localAddr() override;  // the camera's address, as peerAddr()
  CNetAddr peerAddr() override;
  CNetAddr endpointAddr() override;  // where the channel is served; port 0 when it is not
  bool cameraPeriodNs(int64_t* ns) const override { *ns = framePeriodNs(); return true; }
  // "/control/control" section "telvpegparam" lists and sets this family's image sizes (by
  // their labels, "VGA.(640x480)") and the quality; other sections as for analog channels.
  std::string controlAnswer(const std::map<std::string, std::string>& query) override;
  // Only with a pan/tilt head configured ("RotorType" naming a driver).
  bool answersRotor() override;
  std::string sourceTag() override;
  // The vendor word and the channel index ("axis_3").
  virtual void sourceTag(std::string& out);

  // The vendor's connection set-up: on true m_sock is connected, the stream (or first picture)
  // was requested, the response head read with status 200, m_boundary set for multipart replies.
  virtual bool reconnect(int timeoutSec) = 0;
  // Reads the newest frame the camera has sent into rec and wraps it; rec.length 0 means no
  // frame (frameError() then says why). The parts that have already arrived whole behind the
  // first one are read too and only the last one is kept, so a camera streaming faster than
  // the channel fetches never makes it publish the past; more is never waited for.
  virtual void getFrameSrv(FrameRec& rec, int timeoutSec);
  // Why the last fetch or connection yielded no picture (for the log); channel thread.
  const std::string& frameError() const { return m_frameError; }

  // Test hooks: shorter pauses than the real ones.
  void setRetryPauseMs(unsigned ms) { m_retryPauseMs = ms; }
  void setRequestPauseMs(unsigned ms) { m_requestPauseMs = ms; }

  // The settings in force: the value the last init() applied. Any thread.
  std::shared_ptr<const IPConfig> settings() const;
  // Makes next the settings in force; a change of anything the camera connection uses raises
  // the reconnect flag. The caller holds configLock() (init()).
  void apply(std::shared_ptr<const IPConfig> next);
  // Parts of the settings in force (tests, status).
  int64_t framePeriodNs() const { return settings()->periodNs; }
  int quality() const { return settings()->quality; }
  int imageSize() const { return settings()->imageSize; }
  int camID() const { return settings()->camID; }
  std::string camAddr() const { return settings()->camAddr; }
  uint16_t camPort() const { return settings()->camPort; }
  std::string boundary() const;
  // A copy of the settings in force.
  IPConfig config() const { return *settings(); }
  // Camera address and port as text ("host:port").
  std::string hostText() const;
  // The family's description (settings, form label, log names).
  const IPVendorTraits& traits() const { return m_traits; }
  // Whether the channel is to be served on its own endpoint ("CnlServe", as init() read it).
  bool serveWanted() const { return m_serveWanted.load(); }

  // Largest number of bytes read while looking for the boundary line, as a multiple of the
  // frame record's capacity: a camera that never sends it is given up on.
  static constexpr uint32_t kBoundarySearchFactor = 2;
  // The boundary of a multipart Content-Type value as cameras send it: quoted or not, other
  // parameters after it, trailing blanks (with spacedEquals also blanks around its "="); with
  // "--" in front. "" when there is none.
  static std::string boundaryLineOf(const std::string& contentType, bool spacedEquals = false);
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
  int run() override;
  bool initLocked() override;
  bool reconfLocked() override;  // CVideoCnl's: the camera connection has its own list address

  // ---- Helpers for the vendor classes (channel thread) ----
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
  // "<family>: HTTP 'Content-Type:' header not found" / "... boundary header not found" with
  // the given function name (default: the family's reconnect).
  bool takeBoundary(const char* headerName, const char* family, const char* function = nullptr,
                    bool spacedEquals = false);
  // One send of the whole text; logs "::send failed. str=..." on a short send.
  bool sendRequest(const std::string& request, const char* function);
  // Sleeps ms in slices, returning early when the channel is stopping.
  void pause(unsigned ms);
  void closeSocket();
  // Wraps the picture received into m_rxBuf (len bytes) into rec; counts it received, and
  // dropped when it is refused. The single-picture readers' tail.
  void wrapReceived(FrameRec& rec, uint32_t len);

  // Head line that gives a stream part's length, and whether a part must have one; the
  // families whose parts are no plain "Content-Length:" parts set them in their constructor.
  const char* m_partLengthName = "Content-Length:";
  bool m_partLengthRequired = false;
  // Logs at level 2 with this channel's source and the given function name.
  void logWarning(const std::string& message, const char* function);
  // A pseudo-random number from 0 to 32767 (request URLs that must not be cached); any thread.
  static int pseudoRandom();
  // "CIPAxisVideoCnl::" + member.
  std::string fn(const char* member) const;

  // The period the camera is asked for: the configured one (families that offer only some
  // rates round it to theirs). The loader stores it as the settings' period.
  virtual int64_t cameraPeriodNs(int64_t configured) const { return configured; }

  const IPVendorTraits& m_traits;

  CHTTPSocket m_sock;          // channel thread; stop() may shut it down at any time
  CamSocketStream m_stream{m_sock};  // the stream of the current connection; channel thread
  CamPartReader m_reader;            // its parts; set up for each connection by the first fetch
  bool m_readerReady = false;

  std::atomic<uint32_t> m_formatWord{0};  // from the camera's resolved address

  std::atomic<unsigned> m_retryPauseMs{kRetryPauseMs};
  std::atomic<unsigned> m_requestPauseMs{kRequestPauseMs};

  // Channel thread only.
  std::string m_boundaryLine;             // "--" + boundary; empty for bare JPEG replies
  std::vector<uint8_t> m_rxBuf;
  std::shared_ptr<const IPConfig> m_fetchConfig;  // the settings the current fetch wraps with
  std::string m_frameError;               // why the last fetch yielded no picture
  // The stream ended, or turned bad, behind the last picture published: the next round
  // reconnects once the period is over.
  bool m_streamDone = false;

 private:
  // The family's settings into c; false (logged) when a stored one is invalid, and then c
  // keeps the values in force for it and the ones read after it.
  bool vendorLoad(const std::string& section, IPConfig& c);

  // ---- Serving (CIPVideoCnlServe.cpp) ----
  bool serveInit();  // reads "CnlServe" and, when set, the endpoint settings
  // Channel thread: starts or stops serving as "CnlServe" asks, and announces a new endpoint
  // address on the standard output as the analog channels do.
  void serveStep();
  void startServing();
  void stopServing();
  static constexpr uint64_t kServeLookNs = 500000000ull;  // longest wait between serveSteps
  std::atomic<bool> m_serveWanted{false};
  bool m_serving = false;      // channel thread
  bool m_listenerRan = false;  // channel thread: the listener was started once, renew it
  CNetAddr m_announced;        // channel thread
  // The pauses after a failed attempt: 1 s, then up to 5 x 1 s, ended early by stop.
  void backOff();
  // Waits until a consumer asks for a picture or the frame period is over. The part of the
  // period a consumer cut short is allowed to the camera on top of the fetch's time-out, for
  // a camera sends no sooner than once per period it was asked for.
  void waitForPeriod();
  // Counts the parts the reader refused as received and dropped.
  void countRefused();
  // Logs a connection that yielded no picture, at most once per kNoPictureLogIntervalNs.
  void logNoPicture();
  std::string connectedStatusText();
  bool recordingEnabled() const;
  int64_t recordingPeriodNs() const;

  uint8_t m_header[pictureblocks::kHeaderSize];
  uint64_t m_lastNoPictureLogNs = 0;  // channel thread; monotonic
  int m_patienceMs = 0;               // channel thread; for the next fetch's first arrival
  uint32_t m_noPictureSuppressed = 0;

  // State below is guarded by m_setLock.
  mutable std::mutex m_setLock;
  std::shared_ptr<const IPConfig> m_config;  // never null
  std::string m_boundaryShown;  // copy of m_boundaryLine for other threads
};
