#pragma once
// The recording tree on disk: naming of event directories, path normalisation, reading an
// event's time, measuring the tree (the index rebuild) and deleting events (the cleaner).
//
// Layout below a channel directory (which always ends with "/"):
//   <top>/<sub>/ with top = N / 1000 and sub = N mod 1000, three digits each, for event N;
//   an event directory holds E00000.jpg, M00001.jpg .. M00006.jpg and INFO.jpg.
//
// Nothing here follows a symbolic link or opens anything but a regular file or a directory:
// the tree may contain links (to other disks, to other channels) and special files, and a
// scan or a clean-up must neither wander outside the tree nor block on a FIFO.
// Stateless; any thread may call these functions.
#include <cstdint>
#include <functional>
#include <string>

namespace eventtree {

// "<channelDir><NNN>/<NNN>/" for event n (channelDir ends with "/").
std::string eventDir(const std::string& channelDir, uint32_t n);
// "<channelDir><NNN>" (no final separator): the top-level directory holding event n.
std::string topDir(const std::string& channelDir, uint32_t n);
// "M0000" + i + ".jpg" for i = 1..6.
std::string sequenceFileName(int i);

// True for the names counted as recorded data: "[EM]000??.jpg" (case-insensitive).
bool isRecordedFileName(const std::string& name);

// Unifies separators ("\" and "/") to "/", folds repeated ones, resolves "." and ".."
// (never above the root) and keeps a trailing separator when the input had one.
std::string normalizePath(const std::string& path);
bool isAbsolutePath(const std::string& path);
// A root the recorder may build its trees in (and the cleaner delete in): absolute, without
// any ".." component (in either separator, before normalising), and neither one of the
// system's own folders (/, /etc, /usr, /bin, /sbin, /lib*, /boot, /dev, /proc, /sys, /run) nor
// inside one.
bool isAcceptableRoot(const std::string& path);

// Creates a directory and every missing parent, each of mode 0750 whatever the umask
// (recordings are not for every local user). True when it exists as a directory afterwards.
// "/" always exists.
bool createPath(const std::string& path);

// Reads the frame time (microseconds since 1970) from the time-stamp comment segment of a
// stored picture file. False when the file is missing, is not a regular file, or does not
// begin with a readable segment chain leading to a "TLF\0" comment segment.
bool readEventTime(const std::string& file, uint64_t* timeUs);
// The same search over bytes in memory.
bool readEventTimeFromBytes(const uint8_t* data, size_t length, uint64_t* timeUs);

struct ScanResult {
  bool found = false;  // at least one event with a readable time
  uint32_t oldestEvent = 0, newestEvent = 0;
  uint64_t oldestUs = 0, newestUs = 0;
  uint64_t bytes = 0;  // sizes of the recorded files of the events found
  uint32_t events = 0;
};

// Measures a channel's tree. Directories with three-character names that are not numbers
// of 0..999 are reported through `unknown` (full path) and skipped; events without a readable
// E00000.jpg time are skipped silently, and so are the events for which `skip` (when given)
// is true. Symbolic links are never entered. When `stop` (when given) turns true the scan
// ends early with what it has found so far.
ScanResult scanTree(const std::string& channelDir,
                    const std::function<void(const std::string&)>& unknown,
                    const std::function<bool(uint32_t event)>& skip = nullptr,
                    const std::function<bool()>& stop = nullptr);

// Deletes a file, a link (the link only) or a directory tree; returns the bytes of the
// regular files that were deleted. A missing path gives 0.
uint64_t removeTree(const std::string& path);

// Size in bytes of the regular file at path; 0 when it is not one.
uint64_t regularFileSize(const std::string& path);

}  // namespace eventtree
