#include "recordings/RecordingJobKinds.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "base/CHTTPSocket.h"
#include "base/CLogFile.h"
#include "channels/CNetVideoClient.h"
#include "endpoint/CHTTPSrvThread.h"
#include "platform/Clock.h"
#include "recordings/PictureCursor.h"
#include "recordings/RecTime.h"

namespace recordings {

namespace {

const char kLogSource[] = "Recordings";
// The client is looked at after this many exported pictures (a poll each: cheap, not free).
constexpr unsigned kCancelCheckEvery = 32;

class PlayJob : public RecordingJob {
 public:
  PlayJob(const std::string& section, const std::string& dir, uint64_t fromUs, uint64_t toUs,
          unsigned speed)
      : RecordingJob(section, dir), m_fromUs(fromUs), m_toUs(toUs), m_speed(speed) {}

 protected:
  void work() override {
    std::map<std::string, std::string> head = {{"Content-type:", CHTTPSrvThread::kStreamType},
                            {"Cache-Control:", "private,no-cache,no-store"},
                            {"Connection:", "close"}};
    const std::string h = http::buildResponseHead(200, "OK", head);
    if (!sendAll(h.data(), h.size())) return;
    PictureCursor cursor(m_tree);
    Picture pic;
    if (!cursor.seek(m_fromUs)) return;
    uint64_t due = platform::monotonicNs(), prevUs = 0;
    bool first = true;
    while (cursor.next(&pic) && pic.us < m_toUs) {
      if (!first) {
        const uint64_t step = pic.us > prevUs ? (pic.us - prevUs) * 1000 / m_speed : 0;
        due += step < kMaxPauseNs ? step : kMaxPauseNs;
        if (!waitUntil(due)) return;
      }
      first = false;
      prevUs = pic.us;
      const std::string part = partHeader(pic.size);
      if (!sendPair(part.data(), part.size(), pic.data, pic.size)) return;
    }
  }

 private:
  const uint64_t m_fromUs, m_toUs;
  const unsigned m_speed;
};

class ExportJob : public RecordingJob {
 public:
  ExportJob(const std::string& section, const std::string& dir, const ExportRequest& req)
      : RecordingJob(section, dir), m_req(req) {}

 protected:
  void work() override {
    if (m_req.format == Format::Mkv) return stream();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/telvgate-export-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
      logFailure("Unable to create a temporary file " + pattern + " (" + std::strerror(errno) + ")");
      return sendShortAnswer(500, "Internal Server Error", "The export could not be written.");
    }
    close(fd);
    const std::string path = name.data();
    unsigned n = 0;
    const ExportResult r = exportRange(m_tree, m_req, path, [&] {
      return stopping() || (++n % kCancelCheckEvery == 0 && clientGone());
    });
    if (r.status == ExportResult::Status::Written) send(path, r);
    else if (r.status == ExportResult::Status::NothingRecorded)
      sendShortAnswer(404, "Not Found", "Nothing is recorded in this range any more.");
    else if (r.status == ExportResult::Status::Failed) {
      logFailure(r.error);
      sendShortAnswer(500, "Internal Server Error", "The export could not be written.");
    }
    unlink(path.c_str());
  }

 private:
  std::map<std::string, std::string> head() const {
    return {{"Content-Type:", formatMimeType(m_req.format)},
            {"Content-Disposition:", "attachment; filename=\"" + downloadName(m_req) + "\""},
            {"Cache-Control:", "private,no-cache,no-store"},
            {"Connection:", "close"}};
  }

  // Two passes over the range: the first only counts the bytes the muxer makes, so the second
  // goes out with its length as it is read, with no file in between.
  void stream() {
    uint64_t length = 0;
    unsigned n = 0;
    const auto cancelled = [&] { return stopping() || (++n % kCancelCheckEvery == 0 && clientGone()); };
    ExportRequest req = m_req;
    const ExportResult counted = streamRange(m_tree, req, [&](const uint8_t*, size_t alen, const uint8_t*, size_t blen) {
      length += alen + blen;
      return true;
    }, cancelled);
    if (counted.status != ExportResult::Status::Written) return answer(counted, false);
    req.toUs = counted.lastUs + 1;  // the same pictures, whatever was recorded meanwhile
    uint64_t sent = 0;
    bool started = false;
    const ExportResult r = streamRange(m_tree, req, [&](const uint8_t* a, size_t alen, const uint8_t* b, size_t blen) {
      std::string first;
      if (!started) {
        std::map<std::string, std::string> h = head();
        h["Content-Length:"] = std::to_string(length);
        first = http::buildResponseHead(200, "OK", h);
        started = true;
      }
      sent += alen + blen;
      // More than was counted (the cleaner changed the range's start): the download ends short.
      if (sent > length) return false;
      first.append(reinterpret_cast<const char*>(a), alen);
      return sendPair(first.data(), first.size(), b, blen);
    }, cancelled);
    answer(r, started);
  }

  // After an export, what is left to say: the answer if none was begun, the log.
  void answer(const ExportResult& r, bool started) {
    if (r.status == ExportResult::Status::Written && r.cutShort)
      g_logFile.log(CLogFile::Warning, kLogSource,
                    "Export of " + m_section + " cut short by the recording cleaner at " +
                        rectime::displayLocal(r.lastUs) + "; its download ends short of its length",
                    "ExportJob::work");
    else if (r.status == ExportResult::Status::NothingRecorded)
      sendShortAnswer(404, "Not Found", "Nothing is recorded in this range any more.");
    else if (r.status == ExportResult::Status::Failed) {
      logFailure(r.error);
      if (!started) sendShortAnswer(500, "Internal Server Error", "The export could not be written.");
    }
  }

  void send(const std::string& path, const ExportResult& r) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      if (fd >= 0) close(fd);
      return sendShortAnswer(500, "Internal Server Error", "The export could not be read back.");
    }
    if (r.cutShort)
      g_logFile.log(CLogFile::Warning, kLogSource,
                    "Export of " + m_section + " cut short by the recording cleaner at " +
                        rectime::displayLocal(r.lastUs), "ExportJob::work");
    std::map<std::string, std::string> fields = head();
    fields["Content-Length:"] = std::to_string(st.st_size);
    const std::string h = http::buildResponseHead(200, "OK", fields);
    if (sendAll(h.data(), h.size())) {
      off_t off = 0;
      uint64_t lastProgress = platform::monotonicNs();
      // Through a TLS session the file is read and sent in pieces; otherwise the kernel copies it.
      char piece[65536];
      while (layered() && off < st.st_size && !stopping()) {
        const ssize_t n = pread(fd, piece, sizeof piece, off);
        if (n <= 0 || !sendAll(piece, size_t(n))) break;
        off += n;
      }
      while (!layered() && off < st.st_size && !stopping()) {
        const ssize_t s = sendfile(m_fd, fd, &off, size_t(st.st_size - off));
        if (s > 0) {
          lastProgress = platform::monotonicNs();
          continue;
        }
        if (s < 0 && errno != EAGAIN && errno != EINTR) break;
        if (s == 0 || platform::monotonicNs() - lastProgress > kStallLimitNs) break;
        waitUntil(platform::monotonicNs() + 20000000);  // socket full: let it drain
      }
    }
    close(fd);
  }
  void logFailure(const std::string& why) {
    g_logFile.log(CLogFile::Error, kLogSource, "Export of " + m_section + " failed: " + why,
                  "ExportJob::work");
  }

  const ExportRequest m_req;
};

std::string jsonEscape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

class EventsJob : public RecordingJob {
 public:
  EventsJob(const std::string& section, const std::string& dir, uint64_t fromUs, uint64_t toUs)
      : RecordingJob(section, dir), m_fromUs(fromUs), m_toUs(toUs) {}

 protected:
  void work() override {
    std::map<std::string, std::string> head = {{"Content-Type:", "application/json"},
                            {"Cache-Control:", "private,no-cache,no-store"},
                            {"Connection:", "close"}};
    std::string out = http::buildResponseHead(200, "OK", head);
    out += "{\"channel\":\"" + jsonEscape(m_section) + "\",\"from\":" + rectime::unixText(m_fromUs) +
           ",\"to\":" + rectime::unixText(m_toUs) + ",\"events\":[";
    bool complete = true, first = true;
    for (const EventSpan& s : m_tree.spans(m_fromUs, m_toUs)) {
      if (stopping()) return;
      EventDetail d;
      if (!m_tree.detail(s.event, &d)) {
        complete = false;  // deleted by the cleaner meanwhile
        continue;
      }
      out += first ? "\n" : ",\n";
      first = false;
      out += "{\"event\":" + std::to_string(d.event) + ",\"first\":" + rectime::unixText(d.firstUs) +
             ",\"last\":" + rectime::unixText(d.lastUs) + ",\"firstLocal\":\"" +
             rectime::displayLocal(d.firstUs) + "\",\"lastLocal\":\"" + rectime::displayLocal(d.lastUs) +
             "\",\"pictures\":" + std::to_string(d.pictures) + ",\"bytes\":" + std::to_string(d.bytes) + "}";
      if (out.size() > 65536) {
        if (!sendAll(out.data(), out.size())) return;
        out.clear();
      }
    }
    out += std::string("\n],\"complete\":") + (complete ? "true" : "false") + "}\n";
    sendAll(out.data(), out.size());
  }

 private:
  const uint64_t m_fromUs, m_toUs;
};

}  // namespace

std::string partHeader(size_t length) {
  std::string h(CNetVideoClient::kPartHeader, CNetVideoClient::kPartHeaderSize);
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07u", unsigned(length));
  h.replace(CNetVideoClient::kLengthOffset, CNetVideoClient::kLengthDigits, digits,
            CNetVideoClient::kLengthDigits);
  return h;
}

std::unique_ptr<RecordingJob> makePlayJob(const std::string& section, const std::string& dir,
                                          uint64_t fromUs, uint64_t toUs, unsigned speed) {
  return std::unique_ptr<RecordingJob>(new PlayJob(section, dir, fromUs, toUs, speed));
}

std::unique_ptr<RecordingJob> makeExportJob(const std::string& section, const std::string& dir,
                                            const ExportRequest& req) {
  return std::unique_ptr<RecordingJob>(new ExportJob(section, dir, req));
}

std::unique_ptr<RecordingJob> makeEventsJob(const std::string& section, const std::string& dir,
                                            uint64_t fromUs, uint64_t toUs) {
  return std::unique_ptr<RecordingJob>(new EventsJob(section, dir, fromUs, toUs));
}

}  // namespace recordings
