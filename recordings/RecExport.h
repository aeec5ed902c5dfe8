#pragma once
// One export of a channel's recordings between two times, into a file:
// - mkv: the recorded JPEG pictures unchanged, each at its recorded time (millisecond stamps,
//   so a variable rate is kept), muxed by libavformat;
// - avi: the same pictures one after the other at the channel's recording rate;
// - zip: the recorded picture files named by their local time, a SHA256SUMS file over them and
//   EXPORT.txt naming channel, range, gateway version, export time and whether the recording
//   cleaner cut the export short (libzip; stored, not compressed: JPEG does not shrink).
//
// Reads the tree through a PictureCursor and never changes it. Blocking; any thread, one export
// per call.
#include <cstdint>
#include <functional>
#include <string>

#include "recordings/RecordingTree.h"

namespace recordings {

enum class Format { Mkv, Avi, Zip };

// "mkv", "avi", "zip" (nothing else).
bool parseFormat(const std::string& text, Format* out);
const char* formatExtension(Format f);
const char* formatMimeType(Format f);

// Where an export's bytes go when it is not written to a file: two pieces in order (the first
// may be empty), never sought back. False stops the export (the receiver went away).
using ExportStream = std::function<bool(const uint8_t* a, size_t alen, const uint8_t* b, size_t blen)>;

struct ExportRequest {
  std::string channelName;  // for EXPORT.txt
  std::string channelTag;   // the tree's folder name, for the download name
  uint64_t fromUs = 0, toUs = 0;  // pictures stamped in [from, to)
  Format format = Format::Mkv;
  // Recording period for avi (and the last picture's length in mkv); 0: taken from the stamps
  // of the first event of the range.
  uint32_t periodMs = 0;
};

struct ExportResult {
  enum class Status { Written, NothingRecorded, Cancelled, Failed };
  Status status = Status::Failed;
  std::string error;  // for Failed: what went wrong, with the path
  uint64_t pictures = 0, pictureBytes = 0;
  uint64_t firstUs = 0, lastUs = 0;
  bool cutShort = false;  // the cleaner deleted pictures of the range during the export
};

// "<channel>_<from>_<to>.<format>" with local times without colons.
std::string downloadName(const ExportRequest& req);

// Writes the export to the file at path (created or truncated, mode 0640). cancelled is asked
// between pictures; when it says true the export stops with Cancelled. The file is left as it
// is on anything but Written; the caller removes it.
ExportResult exportRange(const RecordingTree& tree, const ExportRequest& req,
                         const std::string& path,
                         const std::function<bool()>& cancelled = nullptr);

// The mkv export handed to out while it is read, for a receiver that should not wait for the
// whole file: the last picture of the range is found first (reading only its event) and the
// export ends there, so the duration goes into the header. Nothing is sought back: there is no
// index of cues, and the comment, written with the header, says the export is complete. One
// the cleaner cuts short says so only in the result (cutShort): the caller must let the
// receiver know (a download that ends broken). out is never called for NothingRecorded; other
// formats fail.
ExportResult streamRange(const RecordingTree& tree, const ExportRequest& req,
                         const ExportStream& out, const std::function<bool()>& cancelled = nullptr);

}  // namespace recordings
