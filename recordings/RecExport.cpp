#include "recordings/RecExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "base/Tables.h"
#include "platform/Clock.h"
#include "recordings/ExportZip.h"
#include "recordings/MuxSink.h"
#include "recordings/PictureCursor.h"
#include "recordings/RecTime.h"

namespace recordings {

namespace {

// Bytes the muxer collects before each write: large writes keep the export near the speed of
// copying the files.
constexpr int kMuxBufferBytes = 1 << 20;
constexpr uint64_t kFallbackPeriodUs = 80000;  // the recorder's default
constexpr uint64_t kMinPeriodUs = 40000, kMaxPeriodUs = 10000000;
// The video files' comment says whether the export is complete. It is written with the header,
// before that is known, as this text padded with blanks to kNoticeBytes, and overwritten in
// place when the file is finished (the rest of the room filled with zero bytes, where both
// containers' strings may end).
constexpr char kCompleteNotice[] = "Complete: yes";
constexpr size_t kNoticeBytes = 200;
// Where the containers keep the comment: with the header (avi, mkv) or, should a muxer move it,
// at the end.
constexpr size_t kNoticeSearchBytes = 64 * 1024;

std::string errnoText() { return std::strerror(errno); }

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// The mean spacing of the pictures in [fromUs, toUs), to the microsecond: many pictures at that
// rate last as long as they took to record. One pass over the range (then in the page cache).
uint64_t periodFromStamps(const RecordingTree& tree, uint64_t fromUs, uint64_t toUs) {
  PictureCursor cursor(tree);
  Picture pic;
  uint64_t n = 0, firstUs = 0, lastUs = 0;
  if (cursor.seek(fromUs))
    while (cursor.next(&pic) && pic.us < toUs) {
      if (n++ == 0) firstUs = pic.us;
      lastUs = pic.us;
    }
  if (n < 2 || lastUs <= firstUs) return kFallbackPeriodUs;
  const uint64_t us = (lastUs - firstUs) / (n - 1);
  return us < kMinPeriodUs ? kMinPeriodUs : us > kMaxPeriodUs ? kMaxPeriodUs : us;
}

std::string completeness(const ExportResult& r) {
  if (!r.cutShort) return kCompleteNotice;
  return "Complete: no. The recording cleaner deleted the oldest pictures while they were being "
         "exported; this export ends with the last picture read, at " +
         rectime::displayLocal(r.lastUs) + ".";
}

// ---- mkv / avi ----

struct MuxerDeleter {
  void operator()(AVFormatContext* oc) const {
    if (!oc) return;
    if (oc->pb) {
      av_freep(&oc->pb->buffer);
      avio_context_free(&oc->pb);
    }
    avformat_free_context(oc);
  }
};

class VideoWriter {
 public:
  VideoWriter(Format f, uint64_t periodUs) : m_format(f), m_periodUs(periodUs) {}
  ~VideoWriter() {
    m_oc.reset();
    if (m_sink.fd >= 0) close(m_sink.fd);
  }

  // Into the file at path, or (path null) to stream, which is never sought back: the header
  // then carries durationMs and a comment that cannot be rewritten.
  bool open(const std::string* path, const ExportStream* stream, int64_t durationMs, int width,
            int height, const ExportRequest& req, std::string* error) {
    if (path) {
      // Read and write: the comment is found again and rewritten when the file is finished.
      m_sink.fd = ::open(path->c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
      if (m_sink.fd < 0) return fail("Unable to create " + *path + " (" + errnoText() + ")", error);
    } else {
      m_sink.stream = stream;
    }
    AVFormatContext* oc = nullptr;
    const char* muxer = m_format == Format::Mkv ? "matroska" : "avi";
    if (avformat_alloc_output_context2(&oc, nullptr, muxer, nullptr) < 0 || !oc)
      return fail(std::string("No ") + muxer + " muxer in libavformat", error);
    m_oc.reset(oc);
    uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kMuxBufferBytes));
    oc->pb = buffer ? avio_alloc_context(buffer, kMuxBufferBytes, 1, &m_sink, nullptr, muxSinkWrite,
                                         path ? muxSinkSeek : nullptr)
                    : nullptr;
    if (!oc->pb) {
      av_free(buffer);
      return fail("Out of memory for the muxer", error);
    }
    if (!path) {
      oc->pb->seekable = 0;
      oc->duration = durationMs * 1000;  // the muxer writes it with the header
    }
    oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Packet data goes from the muxer straight to write() rather than through the buffer
    // (small writes of headers and indexes are still collected).
    oc->pb->direct = 1;
    m_stream = avformat_new_stream(oc, nullptr);
    if (!m_stream) return fail("Out of memory for the muxer", error);
    AVCodecParameters* par = m_stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_MJPEG;
    par->width = width;
    par->height = height;
    par->format = AV_PIX_FMT_YUVJ420P;
    if (m_format == Format::Mkv) {
      m_stream->time_base = AVRational{1, 1000};
    } else {
      m_stream->time_base = AVRational{int(m_periodUs), 1000000};
      m_stream->avg_frame_rate = AVRational{1000000, int(m_periodUs)};
    }
    av_dict_set(&oc->metadata, "title",
                (req.channelName + " " + rectime::isoLocal(req.fromUs) + " - " +
                 rectime::isoLocal(req.toUs)).c_str(), 0);
    av_dict_set(&oc->metadata, "encoder", (std::string("TelvGate ") + kTelvGateVersion).c_str(), 0);
    av_dict_set(&oc->metadata, "comment", path ? noticeRoom(kCompleteNotice).c_str() : kCompleteNotice, 0);
    AVDictionary* options = nullptr;
    // The clusters' CRC-32 elements are optional; computing them took a third of the time.
    if (m_format == Format::Mkv) av_dict_set(&options, "write_crc32", "0", 0);
    const int r = avformat_write_header(oc, &options);
    av_dict_free(&options);
    if (r < 0) return fail("Unable to write the " + std::string(muxer) + " header: " + avError(r) + sinkText(), error);
    m_packet = av_packet_alloc();
    return m_packet ? true : fail("Out of memory for the muxer", error);
  }

  bool write(const Picture& pic, uint64_t firstUs, std::string* error) {
    AVPacket* pkt = m_packet;
    pkt->data = const_cast<uint8_t*>(pic.data);
    pkt->size = int(pic.size);
    pkt->stream_index = 0;
    pkt->flags = AV_PKT_FLAG_KEY;
    // mkv: milliseconds from the first picture (what the container stores; rounding keeps
    // every stamp within 0.5 ms, and strictly rising); avi: one tick of the period each.
    AVRational tb{1, 1000};
    int64_t ts = m_count, duration = 1;
    if (m_format == Format::Mkv) {
      const int64_t ms = int64_t((pic.us - firstUs + 500) / 1000);
      ts = ms > m_lastTs ? ms : m_lastTs + 1;
      // Each picture lasts as long as the spacing before it (the last one's length is what the
      // file's duration adds to the last stamp); a spacing longer than the longest recording
      // period is a gap in the recording, not a picture's length.
      if (m_count > 0 && ts - m_lastTs <= int64_t(kMaxPeriodUs / 1000)) m_lengthMs = ts - m_lastTs;
      duration = m_lengthMs;
    } else {
      tb = AVRational{int(m_periodUs), 1000000};
    }
    m_lastTs = ts;
    pkt->pts = pkt->dts = av_rescale_q(ts, tb, m_stream->time_base);
    pkt->duration = av_rescale_q(duration, tb, m_stream->time_base);
    ++m_count;
    m_sink.keptBegin = pic.data;
    m_sink.keptEnd = pic.data + pic.size;
    const int r = av_write_frame(m_oc.get(), pkt);
    m_sink.keptBegin = m_sink.keptEnd = nullptr;
    // av_write_frame leaves the packet's fields for us; the bytes stay the cursor's.
    pkt->data = nullptr;
    pkt->size = 0;
    if (r < 0) return fail("Unable to write a picture: " + avError(r) + sinkText(), error);
    return true;
  }

  // Writes what is queued: before the cursor reuses the bytes of the pictures written so far.
  void flushQueued() { m_sink.flush(); }

  // Ends the file; notice (at most kNoticeBytes) replaces the comment written with the header.
  bool finish(const std::string& notice, std::string* error) {
    av_packet_free(&m_packet);
    const int r = av_write_trailer(m_oc.get());
    if (r < 0 || m_sink.failed) return fail("Unable to finish the file: " + avError(r) + sinkText(), error);
    avio_flush(m_oc->pb);
    if (!m_sink.flush()) return fail("Unable to finish the file" + sinkText(), error);
    if (m_sink.fd < 0) return true;  // streamed
    if (!writeNotice(notice)) return fail("Unable to finish the file (" + errnoText() + ")", error);
    const int fd = m_sink.fd;
    m_sink.fd = -1;
    if (close(fd) != 0) return fail("Unable to finish the file (" + errnoText() + ")", error);
    return true;
  }

 private:
  bool fail(const std::string& why, std::string* error) {
    if (m_packet) av_packet_free(&m_packet);
    *error = why;
    return false;
  }
  static std::string noticeRoom(const std::string& text) {
    return text + std::string(kNoticeBytes - text.size(), ' ');
  }
  // Finds the comment's room near the start or the end of the file and writes notice into it.
  bool writeNotice(const std::string& notice) {
    const std::string room = noticeRoom(kCompleteNotice);
    struct stat st;
    if (fstat(m_sink.fd, &st) != 0) return false;
    const off_t size = st.st_size, span = off_t(kNoticeSearchBytes);
    for (off_t start : {off_t(0), size > span ? size - span : off_t(0)}) {
      std::string bytes(size_t(std::min(span, size - start)), '\0');
      const ssize_t got = pread(m_sink.fd, &bytes[0], bytes.size(), start);
      if (got < 0) return false;
      bytes.resize(size_t(got));
      const size_t at = bytes.find(room);
      if (at == std::string::npos) continue;
      std::string text = notice.substr(0, kNoticeBytes);
      text.resize(kNoticeBytes, '\0');
      errno = EIO;
      return pwrite(m_sink.fd, text.data(), text.size(), start + off_t(at)) == ssize_t(text.size());
    }
    errno = ENOENT;  // the muxer did not write the comment
    return false;
  }
  std::string sinkText() const {
    return m_sink.failed ? std::string(" (") + std::strerror(m_sink.err) + ")" : std::string();
  }

  const Format m_format;
  const uint64_t m_periodUs;
  MuxSink m_sink;
  std::unique_ptr<AVFormatContext, MuxerDeleter> m_oc;
  AVStream* m_stream = nullptr;
  AVPacket* m_packet = nullptr;
  int64_t m_count = 0, m_lastTs = -1;
  int64_t m_lengthMs = int64_t(m_periodUs / 1000);  // mkv: the length given to each picture
};

std::string exportText(const ExportRequest& req, const ExportResult& r) {
  std::string t;
  t += "TelvGate " + std::string(kTelvGateVersion) + " recording export\n";
  t += "Channel: " + req.channelName + " (" + req.channelTag + ")\n";
  t += "Range: " + rectime::isoLocal(req.fromUs) + " to " + rectime::isoLocal(req.toUs) +
       " (local time of the gateway; Unix " + rectime::unixText(req.fromUs) + " to " +
       rectime::unixText(req.toUs) + ")\n";
  t += "Pictures: " + std::to_string(r.pictures) + ", recorded from " +
       rectime::displayLocal(r.firstUs) + " to " + rectime::displayLocal(r.lastUs) + "\n";
  t += "Exported: " + rectime::isoLocal(platform::nowNs() / 1000) + "\n";
  t += completeness(r) + "\n";
  t += "Each picture file is named by its recorded local time and is byte for byte the recorded "
       "picture; check them with: sha256sum -c SHA256SUMS\n";
  return t;
}

}  // namespace

bool parseFormat(const std::string& text, Format* out) {
  if (text == "mkv") *out = Format::Mkv;
  else if (text == "avi") *out = Format::Avi;
  else if (text == "zip") *out = Format::Zip;
  else return false;
  return true;
}

const char* formatExtension(Format f) {
  return f == Format::Mkv ? "mkv" : f == Format::Avi ? "avi" : "zip";
}

const char* formatMimeType(Format f) {
  return f == Format::Mkv ? "video/x-matroska" : f == Format::Avi ? "video/x-msvideo" : "application/zip";
}

std::string downloadName(const ExportRequest& req) {
  return req.channelTag + "_" + rectime::fileLocal(req.fromUs) + "_" + rectime::fileLocal(req.toUs) +
         "." + formatExtension(req.format);
}

namespace {

// The stamps of the last picture in [fromUs, toUs) and of the one before it in the same event
// (0 when there is none), reading only the event that holds toUs. False when that event has no
// picture in the range.
bool lastPicture(const RecordingTree& tree, uint64_t fromUs, uint64_t toUs, uint64_t* lastUs,
                 uint64_t* prevUs) {
  const RecordingTree::Range range = tree.range();
  uint32_t pos;
  uint64_t start;
  if (!tree.findPosition(range, toUs - 1, &pos, &start)) return false;
  PictureCursor cursor(tree);
  Picture pic;
  uint64_t n = 0;
  if (cursor.seek(start > fromUs ? start : fromUs))
    while (cursor.next(&pic) && pic.us < toUs) {
      *prevUs = n++ ? *lastUs : 0;
      *lastUs = pic.us;
    }
  return n > 0;
}

int64_t roundedMs(uint64_t us) { return int64_t((us + 500) / 1000); }

ExportResult exportTo(const RecordingTree& tree, ExportRequest req, const std::string* path,
                      const ExportStream* stream, const std::function<bool()>& cancelled) {
  ExportResult r;
  // A stream's header holds the duration: the range ends at the last picture recorded now.
  uint64_t lastUs = 0, prevUs = 0;
  if (stream && req.fromUs < req.toUs) {
    if (!lastPicture(tree, req.fromUs, req.toUs, &lastUs, &prevUs)) {
      r.status = ExportResult::Status::NothingRecorded;
      return r;
    }
    req.toUs = lastUs + 1;
  }
  PictureCursor cursor(tree);
  Picture pic;
  if (req.fromUs >= req.toUs || !cursor.seek(req.fromUs) || !cursor.next(&pic) || pic.us >= req.toUs) {
    r.status = ExportResult::Status::NothingRecorded;
    return r;
  }
  r.firstUs = pic.us;
  // avi plays at one rate: the range's own, unless one is given; mkv stores every time and
  // needs a period only for the length of its last picture.
  const uint64_t period = req.periodMs ? req.periodMs * 1000ull
                        : req.format == Format::Avi ? periodFromStamps(tree, req.fromUs, req.toUs)
                                                    : kFallbackPeriodUs;
  std::unique_ptr<VideoWriter> video;
  std::unique_ptr<ExportZip> zip;
  if (stream && req.format != Format::Mkv) {
    r.error = "Only mkv exports are streamed";
    return r;
  }
  if (req.format == Format::Zip) {
    zip.reset(new ExportZip);
    if (!zip->open(*path, &r.error)) return r;
  } else {
    int w = 0, h = 0;
    if (!jpegSize(pic.data, pic.size, &w, &h)) {
      r.error = "The first picture of the range has no frame header";
      return r;
    }
    video.reset(new VideoWriter(req.format, period));
    cursor.setBeforeRefill([&video] { video->flushQueued(); });
    // What the file's trailer would say: the last picture's time and the length it gets (the
    // spacing before it unless that is a gap, see VideoWriter::write).
    const int64_t lastMs = roundedMs(lastUs - r.firstUs);
    int64_t lengthMs = int64_t(period / 1000);
    if (prevUs >= r.firstUs && prevUs < lastUs) {
      const int64_t spacing = lastMs - roundedMs(prevUs - r.firstUs);
      if (spacing > 0 && spacing <= int64_t(kMaxPeriodUs / 1000)) lengthMs = spacing;
    }
    if (!video->open(path, stream, lastMs + lengthMs, w, h, req, &r.error)) return r;

  }
  do {
    if (cancelled && cancelled()) {
      r.status = ExportResult::Status::Cancelled;
      return r;
    }
    if (!(zip ? zip->add(pic, &r.error) : video->write(pic, r.firstUs, &r.error))) return r;
    ++r.pictures;
    r.pictureBytes += pic.size;
    r.lastUs = pic.us;
  } while (cursor.next(&pic) && pic.us < req.toUs);
  r.cutShort = cursor.cutShort();
  if (zip) {
    if (!zip->addText("SHA256SUMS", zip->sums(), &r.error) ||
        !zip->addText("EXPORT.txt", exportText(req, r), &r.error) || !zip->finish(&r.error))
      return r;
  } else if (!video->finish(completeness(r), &r.error)) {
    return r;
  }
  r.status = ExportResult::Status::Written;
  return r;
}

}  // namespace

ExportResult exportRange(const RecordingTree& tree, const ExportRequest& req,
                         const std::string& path, const std::function<bool()>& cancelled) {
  return exportTo(tree, req, &path, nullptr, cancelled);
}

ExportResult streamRange(const RecordingTree& tree, const ExportRequest& req,
                         const ExportStream& out, const std::function<bool()>& cancelled) {
  return exportTo(tree, req, nullptr, &out, cancelled);
}

}  // namespace recordings
