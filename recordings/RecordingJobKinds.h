#pragma once
// The three kinds of recordings job (recordings/RecordingJobs.h): the played-back push stream,
// the export download and events.json. Each is built by the configuration thread from a
// request it has already checked, and does its reading on its own thread.
#include <cstdint>
#include <memory>
#include <string>

#include "recordings/RecExport.h"
#include "recordings/RecordingJobs.h"

namespace recordings {

// The recorded pictures from fromUs up to toUs (or the newest picture) as a push stream with
// the live stream's framing, each part sent when its stamp, divided by speed, is due. A pause
// between two pictures (a gap in the recording) lasts at most kMaxPauseNs.
std::unique_ptr<RecordingJob> makePlayJob(const std::string& section, const std::string& dir,
                                          uint64_t fromUs, uint64_t toUs, unsigned speed);
constexpr uint64_t kMaxPauseNs = 2000000000ull;

// The export with the download name and its length. mkv is sent while it is read, with no
// file in between: a first pass over the range only counts the bytes (streamRange), the second
// sends them; should the cleaner cut the second short, the download ends short of its length,
// so the client sees it broken rather than a file whose header calls it complete. avi and zip
// are written to a temporary file (mkstemp in $TMPDIR, else /tmp), then sent and removed: they
// cannot be written in order, as libavformat's avi muxer puts the frame count, the sizes and
// the index in only by going back over the file, and libzip writes each entry's sizes and CRC
// into its header after the data. Ends early when the client goes away.
std::unique_ptr<RecordingJob> makeExportJob(const std::string& section, const std::string& dir,
                                            const ExportRequest& req);

// The events overlapping [fromUs, toUs) with their exact figures, as JSON sent while it is
// read.
std::unique_ptr<RecordingJob> makeEventsJob(const std::string& section, const std::string& dir,
                                            uint64_t fromUs, uint64_t toUs);

// The push stream's part header with the length patched in (81 bytes).
std::string partHeader(size_t length);

}  // namespace recordings
