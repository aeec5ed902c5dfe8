// Recordings: the pages of a channel with 100,000 events, and export throughput.
//
//  1. A tree of 100,000 events of one minute each (small pictures: E00000.jpg, one sequence
//     file of two pictures, INFO.jpg) under a channel of an in-process configuration server.
//     Times, each the median of 5 requests from connect to the end of the answer: the overview
//     (/recordings), the day page of a full day (1,440 events) and events.json of that day.
//  2. A tree of 8 events of 60 s at 12.5 pictures/s of real JPEG pictures (640 x 480), about
//     300 MB. In one interleaved run (3 rounds, the files in the page cache): `cat` of the
//     same files into one file on the same disk, the MKV export (exportRange, as
//     telvgate-export does it), the ZIP export, and `ffmpeg -f mjpeg -i concat:<the files>
//     -c copy` writing an MKV.
//
// Usage: bench_export [directory, default $TMPDIR or /tmp] [pages|export: only that part]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/CLogFile.h"
#include "base/CSettings.h"
#include "base/TextHelpers.h"
#include "bench/BenchSupport.h"
#include "channels/CVideoCnl.h"
#include "channels/CnlList.h"
#include "channels/PictureBlocks.h"
#include "confserver/CLstConfThread.h"
#include "platform/Clock.h"
#include "platform/Net.h"
#include "recording/EventInfo.h"
#include "recording/EventTree.h"
#include "recording/IndexFile.h"
#include "recordings/RecExport.h"
#include "recordings/RecTime.h"
#include "tests/jpeg_support.h"

namespace {

using bench::least;
using bench::median;

constexpr uint32_t kEvents = 100000;
constexpr uint64_t kMinuteUs = 60000000ull;
constexpr int kExportRounds = 7;

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool writeAll(const std::string& path, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b = {}) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(a.data(), 1, a.size(), f) == a.size() && std::fwrite(b.data(), 1, b.size(), f) == b.size();
  return std::fclose(f) == 0 && ok;
}

// SOI, the time-stamp segment of timeUs, then the JPEG body after its own SOI.
std::vector<uint8_t> stamped(const std::vector<uint8_t>& jpeg, uint64_t timeUs, uint32_t seq) {
  std::vector<uint8_t> out(pictureblocks::kHeaderSize + jpeg.size() - 2);
  pictureblocks::initHeader(out.data());
  pictureblocks::setFrameFields(out.data(), timeUs * 1000, seq, 0);
  std::memcpy(out.data() + pictureblocks::kHeaderSize, jpeg.data() + 2, jpeg.size() - 2);
  return out;
}

void writeIndex(const std::string& dir, uint32_t oldest, uint32_t newest, uint64_t oldestUs, uint64_t newestUs) {
  erdinfo::Record rec = erdinfo::freshRecord(uint32_t(oldestUs / 1000000));
  rec.oldest = oldest;
  rec.newest = newest;
  rec.oldestStamp.event = oldest;
  erdinfo::setStampTimeUs(rec.oldestStamp, oldestUs);
  rec.newestStamp.event = newest;
  erdinfo::setStampTimeUs(rec.newestStamp, newestUs);
  IndexFile f;
  if (f.rebuild(dir, rec) != IndexFile::Rebuild::Written) std::fprintf(stderr, "cannot write %s.erdinfo\n", dir.c_str());
}

// A channel that only has to be listed (its recording stays off; the pages find its tree
// through its settings).
class TreeChannel : public CVideoCnl {
 public:
  TreeChannel() : CVideoCnl(1, 0) { createRecorder(); }
  ~TreeChannel() override { stop(); join(); }
  std::string imageUrl(const std::string&, bool) override { return ""; }
  CNetAddr localAddr() override { return CNetAddr("127.0.0.1", 0); }
  CNetAddr peerAddr() override { return CNetAddr("127.0.0.1", 0); }
  std::string sourceTag() override { return "bench_0"; }

 protected:
  int run() override {
    while (!stopping()) waitFrameWanted(100000000ull);
    return 0;
  }
};

// Seconds from connect to the end of the answer; bytes received in *bytes.
double timedGet(uint16_t port, const std::string& target, size_t* bytes) {
  const auto t0 = std::chrono::steady_clock::now();
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  const std::string req = "GET " + target + " HTTP/1.1\r\nAuthorization: Basic " +
                          base64_encode("admin:qatrel") + "\r\n\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  char buf[65536];
  *bytes = 0;
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) *bytes += size_t(n);
  close(fd);
  return secondsSince(t0);
}

void pagesBench(const std::string& base) {
  const std::string root = base + "/pages";
  const std::string dir = root + "/bench_0/";
  const uint64_t nowUs = platform::nowNs() / 1000;
  const uint64_t firstUs = nowUs - uint64_t(kEvents) * kMinuteUs;
  std::vector<uint8_t> small = jpegtest::referenceEncode(jpegtest::naturalPicture(64, 48, 7).data(), 64, 48, 50, false);
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<uint8_t> buf;
  for (uint32_t n = 1; n <= kEvents; ++n) {
    const uint64_t t = firstUs + uint64_t(n - 1) * kMinuteUs;
    const std::string ev = eventtree::eventDir(dir, n);
    eventtree::createPath(ev);
    writeAll(ev + "E00000.jpg", stamped(small, t, n * 3));
    writeAll(ev + "M00001.jpg", stamped(small, t + 20000000, n * 3 + 1), stamped(small, t + 40000000, n * 3 + 2));
    eventinfo::Info info;
    info.sequenceFiles = 1;
    info.firstSeconds = t / 1000000;
    info.lastSeconds = (t + 40000000) / 1000000;
    writeAll(ev + "INFO.jpg", eventinfo::infoFile(info));
  }
  writeIndex(dir, 1, kEvents, firstUs, firstUs + uint64_t(kEvents - 1) * kMinuteUs);
  std::printf("tree of %u events written in %.1f s\n", kEvents, secondsSince(t0));

  g_settings.writeString("System", "ConfIPAddr", "127.0.0.1");
  g_settings.writeInt("System", "ConfIPPort", 0);
  g_settings.writeString("Channel 1 0", "CnlEventRootPath", root);
  TreeChannel* cnl = new TreeChannel;
  {
    std::lock_guard<std::mutex> g(g_cnlUseLock);
    startListedChannel(cnl);
  }
  CLstConfThread server;
  server.setAnnounce(false);
  server.setLingerMs(0);
  server.init("", 0);
  server.start();
  for (int i = 0; i < 500 && server.setUpCount() == 0; ++i) platform::sleepMs(10);
  const uint16_t port = server.address().port;

  const uint64_t day = rectime::dayStart(nowUs) - 86400ull * 1000000;  // yesterday: a full day
  const std::string c = "c=Channel+1+0";
  const struct { const char* name; std::string target; } rows[] = {
      {"/recordings (overview)", "/recordings"},
      {"day page, 1,440 events", "/recordings?" + c + "&day=" + rectime::dayOf(day)},
      {"events.json, one day", "/recordings/events.json?" + c + "&from=" + std::to_string(day / 1000000) +
                                   "&to=" + std::to_string(day / 1000000 + 86400)},
  };
  std::printf("\n| request (%u events in the tree) | median of 5 | answer |\n|---|---|---|\n", kEvents);
  for (const auto& r : rows) {
    std::vector<double> t;
    size_t bytes = 0;
    for (int i = 0; i < 5; ++i) t.push_back(timedGet(port, r.target, &bytes));
    std::printf("| %s | %.1f ms | %zu bytes |\n", r.name, median(t) * 1000, bytes);
  }
  server.shutdown();
  for (CVideoCnl* ch : takeAllChannels()) {
    ch->stop();
    ch->join();
    releaseTakenChannel(ch);
    delete ch;
  }
}

void exportBench(const std::string& base) {
  const std::string dir = base + "/export/bench_0/";
  const int w = 640, h = 480;
  std::vector<std::vector<uint8_t>> pics;
  for (uint32_t s = 0; s < 16; ++s)
    pics.push_back(jpegtest::referenceEncode(jpegtest::naturalPicture(w, h, s + 1).data(), w, h, 80, false));
  const uint64_t startUs = platform::nowNs() / 1000 - 3600ull * 1000000;
  uint32_t seq = 0;
  std::vector<std::string> files;
  uint64_t bytes = 0, count = 0;
  for (uint32_t n = 1; n <= 8; ++n) {
    const std::string ev = eventtree::eventDir(dir, n);
    eventtree::createPath(ev);
    uint64_t t = startUs + uint64_t(n - 1) * kMinuteUs;
    std::vector<uint8_t> first = stamped(pics[seq % 16], t, seq);
    ++seq;
    writeAll(ev + "E00000.jpg", first);
    files.push_back(ev + "E00000.jpg");
    bytes += first.size();
    ++count;
    for (int i = 1; i <= 6; ++i) {
      std::vector<uint8_t> file;
      for (int k = 0; k < 125; ++k) {  // 10 s at 12.5 pictures/s
        t += 80000;
        std::vector<uint8_t> p = stamped(pics[seq % 16], t, seq);
        ++seq;
        file.insert(file.end(), p.begin(), p.end());
        ++count;
      }
      writeAll(ev + eventtree::sequenceFileName(i), file);
      files.push_back(ev + eventtree::sequenceFileName(i));
      bytes += file.size();
    }
  }
  writeIndex(dir, 1, 8, startUs, startUs + 7 * kMinuteUs);
  std::string list, concat = "concat:";
  for (size_t i = 0; i < files.size(); ++i) {
    list += " " + files[i];
    concat += (i ? "|" : "") + files[i];
  }
  const std::string out = base + "/export/out";
  recordings::RecordingTree tree(dir);
  recordings::ExportRequest req;
  req.channelName = req.channelTag = "bench_0";
  req.fromUs = startUs;
  req.toUs = startUs + 9 * kMinuteUs;
  // Each run writes a new file, with the writeback of everything before it finished, so no run
  // waits for an earlier one's disk writes; the first round warms up and is not counted.
  const auto timed = [](const std::string& file, const std::function<bool()>& run, std::vector<double>* t) {
    unlink(file.c_str());
    sync();
    const auto t0 = std::chrono::steady_clock::now();
    if (!run()) std::fprintf(stderr, "%s: failed\n", file.c_str());
    if (t) t->push_back(secondsSince(t0));
  };
  std::vector<double> tCat, tMkv, tZip, tFfmpeg;
  for (int round = 0; round <= kExportRounds; ++round) {
    timed(out + ".cat", [&] { return std::system(("cat" + list + " > " + out + ".cat").c_str()) == 0; },
          round ? &tCat : nullptr);
    timed(out + ".mkv", [&] {
      req.format = recordings::Format::Mkv;
      return recordings::exportRange(tree, req, out + ".mkv").pictures == count;
    }, round ? &tMkv : nullptr);
    timed(out + ".zip", [&] {
      req.format = recordings::Format::Zip;
      return recordings::exportRange(tree, req, out + ".zip").pictures == count;
    }, round ? &tZip : nullptr);
    timed(out + ".ff.mkv", [&] {
      return std::system(("ffmpeg -v error -y -f mjpeg -i '" + concat + "' -c copy " + out + ".ff.mkv").c_str()) == 0;
    }, round ? &tFfmpeg : nullptr);
  }
  const double mb = double(bytes) / 1048576.0, cat = median(tCat), catMin = least(tCat);
  std::printf("\n| export of %llu pictures, %.0f MB (%d rounds, interleaved) | time median (min) | MB/s | vs cat median (min) |\n"
              "|---|---|---|---|\n",
              static_cast<unsigned long long>(count), mb, kExportRounds);
  const struct { const char* name; const std::vector<double>& t; } rows[] = {
      {"`cat` of the files into one file", tCat},
      {"MKV export (telvgate-export)", tMkv},
      {"ZIP export (telvgate-export)", tZip},
      {"`ffmpeg -f mjpeg -i concat:... -c copy` to MKV", tFfmpeg}};
  for (const auto& r : rows)
    std::printf("| %s | %.3f s (%.3f s) | %.0f | %.0f %% (%.0f %%) |\n", r.name, median(r.t), least(r.t),
                mb / median(r.t), 100.0 * cat / median(r.t), 100.0 * catMin / least(r.t));
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = argc > 1 ? argv[1] : std::string(tmp && *tmp ? tmp : "/tmp");
  const std::string only = argc > 2 ? argv[2] : "";
  base += "/bench_export." + std::to_string(getpid());
  eventtree::createPath(base);
  if (only != "export") pagesBench(base);
  if (only != "pages") exportBench(base);
  eventtree::removeTree(base);
  return 0;
}
